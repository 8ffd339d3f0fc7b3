"""A FUSE filesystem of the tests' own, served by a thread of the test
process: a file and a named pipe whose block size, close, and writes the
test sets, to stand in for storage that no machine here has (a hung NFS
server, a filesystem that says at close that a write failed)."""
import ctypes
import errno
import os
import stat
import struct
import threading
import types

LIBC = ctypes.CDLL(None, use_errno=True)


def serve_filesystem(mountpoint, blksize=4096, flush_error=0, takes_nothing=False):
    """Mounts at mountpoint a filesystem that holds a named pipe, "fifo",
    and a file, "file", which keeps what is written to it, unless it
    takes_nothing, when every write takes no byte; its close (FUSE's flush)
    fails with flush_error when a process other than the test's own closes
    it; it reports blocks of blksize bytes, and takes writes of up to
    64 KiB whole. A thread answers the kernel's FUSE requests until the
    filesystem is unmounted. Returns the filesystem: from its hold() until
    its release(), a write to the file waits, as on a hung server, and one
    that the kernel interrupts fails with EINTR; written holds what the
    file took, and writes the size of each write."""
    fuse = os.open("/dev/fuse", os.O_RDWR)
    options = f"fd={fuse},rootmode=40000,user_id=0,group_id=0".encode()
    if LIBC.mount(b"testfs", mountpoint.encode(), b"fuse", 0, options) != 0:
        raise OSError(ctypes.get_errno(), "mount fuse")
    forever = 1 << 40
    nodes = {1: stat.S_IFDIR | 0o755, 2: stat.S_IFIFO | 0o666, 3: stat.S_IFREG | 0o666}
    names = {b"fifo": 2, b"file": 3}
    fs = types.SimpleNamespace(written=bytearray(), writes=[], holding=False, held={}, lock=threading.Lock())

    def reply(unique, error=0, body=b""):
        os.write(fuse, struct.pack("=IiQ", 16 + len(body), error, unique) + body)

    def take(unique, offset, data):
        if takes_nothing:
            data = b""
        fs.written[offset:offset + len(data)] = data
        fs.writes.append(len(data))
        reply(unique, body=struct.pack("=II", len(data), 0))

    def hold():
        with fs.lock:
            fs.holding = True

    def release():
        with fs.lock:
            fs.holding = False
            for unique, write in fs.held.items():
                take(unique, *write)
            fs.held.clear()
    fs.hold, fs.release = hold, release

    def attr(node):
        # struct fuse_attr: ino, size, blocks, times, modes and ids, rdev, blksize, flags.
        return struct.pack("=6Q4I4I2I", node, 0, 0, 0, 0, 0, 0, 0, 0, nodes[node], 1, 0, 0, 0, blksize, 0)

    def answer():
        while True:
            try:
                request = os.read(fuse, 1 << 20)
            except OSError:  # unmounted
                return os.close(fuse)
            _, opcode, unique, node, _, _, pid = struct.unpack_from("=IIQQIII", request)
            error, body = 0, b""
            if opcode == 26:  # INIT: protocol 7.31, nothing asked for, writes of up to 64 KiB
                body = struct.pack("=4I2H2I2HI7I", 7, 31, 0, 0, 0, 0, 65536, 1, 0, 0, 0, *[0] * 7)
            elif opcode == 1 and request[40:].split(b"\0")[0] in names:  # LOOKUP
                found = names[request[40:].split(b"\0")[0]]
                body = struct.pack("=4Q2I", found, 0, forever, forever, 0, 0) + attr(found)
            elif opcode == 3:  # GETATTR
                body = struct.pack("=Q2I", forever, 0, 0) + attr(node)
            elif opcode == 14:  # OPEN: written straight through
                body = struct.pack("=QII", 1, 1, 0)
            elif opcode == 16:  # WRITE, after its fuse_write_in
                offset, size = struct.unpack_from("=8xQI", request, 40)
                with fs.lock:
                    if fs.holding:
                        fs.held[unique] = (offset, request[80:80 + size])
                    else:
                        take(unique, offset, request[80:80 + size])
                continue
            elif opcode == 36:  # INTERRUPT: of a held write, which fails; no answer of its own
                interrupted = struct.unpack_from("=Q", request, 40)[0]
                with fs.lock:
                    if fs.held.pop(interrupted, None) is not None:
                        reply(interrupted, -errno.EINTR)
                continue
            elif opcode == 25:  # FLUSH
                error = -flush_error if pid != os.getpid() else 0
            elif opcode in (2, 42):  # FORGET, BATCH_FORGET: no answer
                continue
            elif opcode != 18:  # RELEASE is answered with no error
                error = -errno.ENOENT if opcode == 1 else -errno.ENOSYS
            reply(unique, error, body)
    threading.Thread(target=answer, daemon=True).start()
    return fs


def unmount(path):
    LIBC.umount2(path.encode(), 2)  # MNT_DETACH

