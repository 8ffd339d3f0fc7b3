#!/usr/bin/env python3
"""End-to-end tests of the listener binary (named by $LISTENER) on a veth pair.

The script runs itself again inside a private network namespace, so the pair
and every frame on it are the test's own; IPv6 is off there, so the kernel
sends nothing on its own.  Frames are sent on one end of the pair through an
AF_PACKET socket; the listener captures on the other end.
"""
import collections
import errno
import fcntl
import os
import re
import select
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time
import tty
import unittest

from dbusclient import DBusClient, dbus_waiting
from fusefs import serve_filesystem, unmount
from netns import DEVICE, PEER, add_pair, capturing, enter, frames_received, ip, pause, read, sockets, state, write

LISTENER = os.path.abspath(os.environ.get("LISTENER", "build/listener"))
# Preloaded, it holds libpcap's open or close, counts what libpcap delivers,
# or gives the capture a descriptor that is not a socket.
PCAPSHIM = os.path.abspath(os.environ.get("PCAPSHIM", "build/libpcapshim.so"))
ANNOUNCE = b"Listening on device : veth1 \n"
DISAPPEARED = b"pcap_loop(): The interface disappeared\n"
# The preferred block of a pipe or a socket, and so the size of the
# listener's buffer for one; a terminal's is smaller.
PAGE = 4096
TERMINAL_BLOCK = 1024
# More than one buffer-full of numbers, so that the listener writes while it captures.
MORE_THAN_A_BUFFER = 2000
# Far more frames than the capture ring holds, whatever their size.
FLOOD = 60000
STOPS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
# The listener's read timeout: the longest the kernel holds a captured frame
# before handing it over.
READ_TIMEOUT = 2
# Long enough for the listener to have done with what it was given.
SETTLE = 0.3
# In the initial user namespace root is mapped whole; under unshare's
# --map-root-user only one id is, and no other user can be switched to.
REAL_ROOT = read("/proc/self/uid_map").split() == ["0", "0", "4294967295"]
# From <linux/if_packet.h> and <asm/socket.h>, which Python's socket module lacks.
SOL_PACKET, PACKET_QDISC_BYPASS, SO_RCVBUFFORCE = 263, 20, 33
# nfqueue's own figures, which an unprivileged user namespace cannot read.
QUEUES = "/proc/net/netfilter/nfnetlink_queue"
# From <asm/unistd_64.h>.
SYS_WRITE, SYS_POLL = 1, 7


def stream(first, last):
    return b"".join(b"%d, " % n for n in range(first, last + 1))


def signals_pending(pid):
    """Whether a signal sent to the process waits to be taken."""
    return any(int(mask, 16) for mask in re.findall(r"^(?:SigPnd|ShdPnd):\s*(\w+)", read(f"/proc/{pid}/status"), re.M))


def in_syscall(pid, number):
    """Whether the process is asleep in the system call of that number."""
    return read(f"/proc/{pid}/syscall").split()[0] == str(number)


def counts(out):
    """The last number of the count stream, and the number the drop line
    gives."""
    counted = re.findall(rb"(\d+), ", out)
    dropped = re.search(rb"^(\d+) packets? dropped by the kernel$", out, re.M)
    return int(counted[-1]) if counted else 0, int(dropped[1]) if dropped else 0


def wait_for(condition, what, timeout=10):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.01)


def read_until(fd, n, timeout=10):
    """Reads from fd until n bytes have come, or what came before the time was up."""
    got = b""
    deadline = time.monotonic() + timeout
    while len(got) < n and select.select([fd], [], [], max(0, deadline - time.monotonic()))[0]:
        chunk = os.read(fd, 65536)
        if not chunk:
            break
        got += chunk
    return got


def own_kib(pid):
    """The memory of the process's own that is resident, counted page by
    page: not the libraries' code, which the kernel pages in 64 KiB at a
    time as it is first run, nor the capture's ring."""
    return int(re.search(r"^Anonymous:\s*(\d+) kB", read(f"/proc/{pid}/smaps_rollup"), re.M)[1])


def cpu_seconds(pid):
    """The CPU time the process has taken, user and system."""
    fields = read(f"/proc/{pid}/stat").rsplit(")", 1)[1].split()
    return sum(int(ticks) for ticks in fields[11:13]) / os.sysconf("SC_CLK_TCK")


def pcap_open_error(device, prefix=()):
    """What libpcap itself says when asked to open the device, as the user
    the prefix command runs it as."""
    script = ("import ctypes, ctypes.util, sys\npcap = ctypes.CDLL(ctypes.util.find_library('pcap'))\n"
              "pcap.pcap_open_live.restype = ctypes.c_void_p\nerrbuf = ctypes.create_string_buffer(256)\n"
              "assert pcap.pcap_open_live(sys.argv[1].encode(), 8192, 0, 100, errbuf) is None\n"
              "sys.stdout.buffer.write(errbuf.value)")
    return subprocess.run([*prefix, sys.executable, "-c", script, device], capture_output=True, check=True).stdout


class ListenerTest(unittest.TestCase):
    binary = LISTENER

    def setUp(self):
        add_pair()
        self.addCleanup(subprocess.run, ["ip", "link", "del", PEER], stderr=subprocess.DEVNULL)
        self.sender = socket.socket(socket.AF_PACKET, socket.SOCK_RAW)
        self.addCleanup(self.sender.close)
        self.sender.bind((PEER, 0))
        # Until the kernel gets round to giving a device that has just come up
        # its queueing discipline, the placeholder drops every frame: go past it.
        self.sender.setsockopt(SOL_PACKET, PACKET_QDISC_BYPASS, 1)

    def send(self, n, sizes=(60,), settle=True):
        """Sends n frames and, unless told not to, waits for the listener to
        count them."""
        # Broadcast, so that no address filter stands between the ends; 0x88b5
        # is the EtherType set aside for local experiments.
        for i in range(n):
            self.sender.send(b"\xff" * 6 + b"\x02\0\0\0\0\1\x88\xb5" + bytes(sizes[i % len(sizes)] - 14))
        if settle:
            time.sleep(SETTLE)

    def loopback(self, n):
        """Sends n UDP datagrams to a socket on 127.0.0.1 that never reads
        them: each is a packet leaving lo and the same packet coming in."""
        if not hasattr(self, "udp"):
            self.udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
            self.addCleanup(self.udp.close)
            self.udp.bind(("127.0.0.1", 0))
        for _ in range(n):
            self.udp.sendto(b"x", self.udp.getsockname())

    def flood(self, frames, sizes=(60,), device=DEVICE, then=0, stdout=None, stop=True):
        """Sends the frames while the listener is stopped, so that only its
        capture ring holds them, lets it go on, sends `then` frames more and
        stops it at once, unless told not to; returns the frames the device
        got, and the listener."""
        proc = self.start(device, stdout=stdout)
        before = frames_received(DEVICE)
        pause(proc.pid)
        self.send(frames, sizes, settle=False)
        proc.send_signal(signal.SIGCONT)
        self.send(then, sizes, settle=False)
        if stop:
            proc.terminate()
        return frames_received(DEVICE) - before, proc

    ring_held = {}

    def ring(self, device=DEVICE):
        """How many packets the capture ring holds while the listener is
        stopped, measured once for each device."""
        if device not in ListenerTest.ring_held:
            _, proc = self.flood(FLOOD, device=device)
            out, _ = self.finish(proc)
            held, dropped = counts(out)
            self.assertGreater(dropped, 0)
            ListenerTest.ring_held[device] = held
        return ListenerTest.ring_held[device]

    def start(self, *args, ignore=(), blocked=(), prefix=(), stdout=None, closed=(), env=None, ready=capturing):
        """Runs the listener on args (behind the prefix command), with its
        SIGINT, SIGTERM, SIGHUP and SIGPIPE at their defaults but for those in ignore,
        the signals in blocked blocked, the given standard output (a file of
        the test's by default) and the standard descriptors in closed closed;
        returns once ready(pid)."""
        def preexec():
            for signo in (*STOPS, signal.SIGPIPE):
                signal.signal(signo, signal.SIG_IGN if signo in ignore else signal.SIG_DFL)
            signal.pthread_sigmask(signal.SIG_SETMASK, blocked)
            for fd in closed:
                os.close(fd)
        out, err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        self.addCleanup(out.close)
        self.addCleanup(err.close)
        proc = subprocess.Popen([*prefix, self.binary, *args], stdout=stdout or out, stderr=err,
                                preexec_fn=preexec, env=env)
        proc.out, proc.err = out, err
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        wait_for(lambda: ready(proc.pid), "the listener to be ready")
        return proc

    def finish(self, proc, err=b""):
        """Waits for the listener to end, checks what it wrote to standard
        error, and returns its output and exit status (minus the signal's
        number if a signal ended it)."""
        proc.wait(timeout=10)
        proc.err.seek(0)
        self.assertEqual(proc.err.read(), err, "standard error")
        proc.out.seek(0)
        return proc.out.read(), proc.returncode

    def assert_ends(self, proc, out=b"", status=-signal.SIGTERM, err=b""):
        """Checks that the listener ends with that standard output, standard
        error and exit status (minus the signal's number if a signal ended
        it)."""
        self.assertEqual(self.finish(proc, err), (out, status))

    def assert_counted(self, proc, n, device=DEVICE, signo=signal.SIGTERM, stop=True):
        """Stops the listener with signo, unless it has been already, and
        checks that it wrote the announcement and the numbers 1 to n, and
        ended by that signal."""
        if stop:
            proc.send_signal(signo)
        self.assert_ends(proc, b"Listening on device : %s \n" % device.encode() + stream(1, n), -signo)

    def one_page_pipe(self, full=False):
        """A pipe that one buffer-full fills; filled, if told, with a page of
        "x"."""
        r, w = os.pipe()
        self.addCleanup(os.close, r)
        fcntl.fcntl(w, fcntl.F_SETPIPE_SZ, PAGE)
        if full:
            os.write(w, b"x" * PAGE)
        return r, w

    def shim(self, **settings):
        """An environment in which the listener runs with the shim preloaded,
        with each PCAPSHIM_ variable named (lower case, without the prefix)
        set: a file in a directory of the test's own for hold_open,
        hold_close and delivered, returned in a dictionary with the
        environment."""
        directory = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, directory)
        files = {name: os.path.join(directory, name) for name, value in settings.items() if value is True}
        # AddressSanitizer wants to be loaded first, which a preload prevents.
        env = dict(os.environ, LD_PRELOAD=PCAPSHIM, ASAN_OPTIONS="verify_asan_link_order=0")
        for name, value in settings.items():
            env["PCAPSHIM_" + name.upper()] = files.get(name, str(value))
        return env, files

    def read_slowly(self, r, chunk=512, pause=0.05):
        """Reads the pipe in a thread of its own, a chunk at a time with a
        pause after each, until its end or until told to read on at full
        speed; returns what came so far, the thread, and the event that
        tells it."""
        received, fast = bytearray(), threading.Event()

        def read():
            while data := os.read(r, 65536 if fast.is_set() else chunk):
                received.extend(data)
                if not fast.is_set():
                    time.sleep(pause)
        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        return received, reader, fast

    def slow_open(self):
        """An environment in which the listener's pcap_activate waits for
        the file it makes to be removed, and that file."""
        env, files = self.shim(hold_open=True)
        return env, files["hold_open"]

    def filesystem(self, **settings):
        """The test's own FUSE filesystem (serve_filesystem), mounted for the
        test, with the path of its file and of its named pipe."""
        if not os.access("/dev/fuse", os.R_OK | os.W_OK):
            self.skipTest("FUSE, which makes the filesystem, is for root only here")
        mountpoint = tempfile.mkdtemp()
        self.addCleanup(os.rmdir, mountpoint)
        fs = serve_filesystem(mountpoint, **settings)
        self.addCleanup(unmount, mountpoint)
        fs.file, fs.fifo = os.path.join(mountpoint, "file"), os.path.join(mountpoint, "fifo")
        return fs

    def run_to_end(self, *args, executable=None, cwd=None, env=None):
        proc = subprocess.run(args, executable=executable, capture_output=True, timeout=10, cwd=cwd, env=env)
        self.assertEqual(proc.stderr, b"")
        return proc.stdout, proc.returncode


class CountStream(ListenerTest):
    def test_numbers_every_frame_including_ones_longer_than_the_snapshot(self):
        proc = self.start(DEVICE)
        # Few enough, and few enough long ones, to fit the kernel's queues and
        # the capture buffer at once, even if the listener does not run while
        # they are sent.
        self.send(300, sizes=(60,) * 18 + (1500, 9014))
        self.assert_counted(proc, 300)

    def test_idle_listener_sleeps(self):
        proc = self.start(DEVICE)
        time.sleep(1)
        self.assertLess(cpu_seconds(proc.pid), 0.1, "CPU seconds in one idle second")


class Buffering(ListenerTest):
    """Text goes out as the C library would send it: a buffer-full of the
    size the destination prefers at a time, and each line at once on a
    terminal."""

    def terminal(self):
        """A pseudo-terminal in raw mode, so that its master reads exactly
        what is written to the slave."""
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        tty.setraw(slave)
        return master, slave

    def test_terminal_gets_each_line_at_once_and_the_count_a_block_at_a_time(self):
        master, slave = self.terminal()
        env, opening = self.slow_open()
        proc = self.start(DEVICE, stdout=slave, env=env, ready=lambda pid: os.path.exists(opening))
        os.close(slave)
        # Before the device is open, as it is written before the open.
        self.assertEqual(read_until(master, len(ANNOUNCE)), ANNOUNCE)
        os.unlink(opening)
        wait_for(lambda: capturing(proc.pid), "the capture")
        # 1142 bytes: a terminal's block and some.
        count = stream(1, 250)
        self.send(250)
        self.assertEqual(read_until(master, TERMINAL_BLOCK, timeout=3 * READ_TIMEOUT), count[:TERMINAL_BLOCK])
        proc.terminate()
        self.assertEqual(read_until(master, len(count) - TERMINAL_BLOCK), count[TERMINAL_BLOCK:])
        self.assert_ends(proc)

    def test_each_write_is_one_buffer_full_of_the_size_the_destination_prefers(self):
        # A datagram socket keeps every write apart.
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.addCleanup(ours.close)
        proc = self.start(DEVICE, stdout=theirs)
        theirs.close()
        self.send(3000)
        proc.terminate()
        self.assert_ends(proc)
        writes = []
        while select.select([ours], [], [], 0)[0]:
            writes.append(ours.recv(65536))
        text = ANNOUNCE + stream(1, 3000)
        self.assertEqual(b"".join(writes), text)
        self.assertEqual([len(w) for w in writes], [PAGE] * (len(text) // PAGE) + [len(text) % PAGE])

    def test_file_gets_every_whole_buffer_full_ready_in_one_write(self):
        # Two blocks of the ring fill, each with the text of several pages;
        # the file, on the test's FUSE filesystem, sees each write whole.
        fs = self.filesystem()
        with open(fs.file, "r+b") as file:
            proc = self.start(DEVICE, stdout=file)
        self.send(6000)
        proc.terminate()
        self.assert_ends(proc)
        self.assertEqual(bytes(fs.written), ANNOUNCE + stream(1, 6000))
        self.assertEqual([size % PAGE for size in fs.writes[:-1]], [0] * (len(fs.writes) - 1))
        self.assertGreater(max(fs.writes), PAGE)


class Stops(ListenerTest):
    def test_stop_signal_writes_out_the_count_and_ends_by_that_signal(self):
        for signo, frames in zip(STOPS, (0, 5, 40)):
            with self.subTest(signal=signo.name, frames=frames):
                proc = self.start(DEVICE)
                self.send(frames)
                proc.send_signal(signo)
                self.assert_ends(proc, ANNOUNCE + stream(1, frames), -signo)

    def test_frames_right_before_a_stop_are_all_counted(self):
        # The kernel hands over the block of its ring that it is filling only
        # once the block is full or a read timeout has passed.
        for signo in STOPS:
            for run in range(3):
                with self.subTest(signal=signo.name, run=run):
                    proc = self.start(DEVICE)
                    self.send(50, settle=False)
                    proc.send_signal(signo)
                    self.assert_ends(proc, ANNOUNCE + stream(1, 50), -signo)

    def test_count_is_what_libpcap_hands_over_on_a_device_on_lo_and_on_any(self):
        # Frames on the pair and datagrams on lo, which libpcap hands over
        # once each; once it has had every block, the kernel's figures, from
        # which a stop counts, must say the same.
        procs = {device: self.start(device) for device in (DEVICE, "lo", "any")}
        self.send(7, settle=False)
        self.loopback(5)
        time.sleep(2.5 * READ_TIMEOUT)
        for device, counted in ((DEVICE, 7), ("lo", 5), ("any", 12)):
            with self.subTest(device=device):
                self.assert_counted(procs[device], counted, device)

    def test_traffic_from_before_the_start_counts_only_what_libpcap_delivers(self):
        # Datagrams flood lo from before the capture opens until it is on:
        # once every block is handed over, the count from the kernel's
        # figures must be what libpcap delivered, as the shim counts it.
        for device in ("lo", "any"):
            with self.subTest(device=device):
                env, files = self.shim(delivered=True)
                flooding = threading.Event()
                flooding.set()

                def flood():
                    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
                        udp.bind(("127.0.0.1", 0))
                        while flooding.is_set():
                            for _ in range(100):
                                udp.sendto(b"x", udp.getsockname())
                thread = threading.Thread(target=flood)
                thread.start()
                proc = self.start(device, env=env)
                flooding.clear()
                thread.join()
                time.sleep(1.25 * READ_TIMEOUT)
                proc.terminate()
                out, status = self.finish(proc)
                self.assertEqual((counts(out)[0], status), (int(read(files["delivered"])), -signal.SIGTERM))

    def test_figures_below_what_was_counted_never_lower_the_count(self):
        env, files = self.shim(nothing_received=1, delivered=True)
        proc = self.start(DEVICE, env=env)
        self.send(5, settle=False)
        wait_for(lambda: os.path.exists(files["delivered"]) and read(files["delivered"]) == "5\n",
                 "libpcap to deliver the frames")
        self.assert_counted(proc, 5)

    def test_can_frame_sent_is_counted_once(self):
        # The CAN stack loops every frame sent back in, and libpcap hands
        # over only that copy.
        if subprocess.run(["ip", "link", "add", "vcan0", "type", "vcan"], stderr=subprocess.DEVNULL).returncode:
            self.skipTest("this kernel has no vcan")
        self.addCleanup(ip, "link", "del", "vcan0")
        ip("link", "set", "vcan0", "up")
        proc = self.start("vcan0")
        with socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as can:
            can.bind(("vcan0",))
            for _ in range(5):
                can.send(struct.pack("=IB3x8s", 0x123, 8, bytes(8)))
        proc.terminate()
        self.assert_ends(proc, b"Listening on device : vcan0 \n" + stream(1, 5))

    def test_traffic_after_a_stop_is_not_counted_on_lo_nor_on_any(self):
        for device in ("lo", "any"):
            with self.subTest(device=device):
                proc = self.start(device)
                self.loopback(500)
                proc.terminate()
                wait_for(lambda: not signals_pending(proc.pid), "the stop to be taken")
                while proc.poll() is None:
                    self.loopback(50)
                self.assert_counted(proc, 500, device, stop=False)

    def test_stop_signal_ignored_at_start_stays_ignored(self):
        proc = self.start(DEVICE, ignore=(signal.SIGINT, signal.SIGHUP))
        proc.send_signal(signal.SIGINT)
        proc.send_signal(signal.SIGHUP)
        self.send(3)
        self.assert_counted(proc, 3)

    def test_stop_while_the_device_is_opened_writes_out_what_was_said_and_counts_nothing(self):
        # Frames flood from the open on, so that all the ring takes comes
        # after the stop. A stop inside pcap_create() (the shim raises it)
        # leaves the device unactivated: pcap_activate() would make the
        # shim's file.
        rejected = b"Listening on device : nosuchdev \npcap_open_live(): %s\n" % pcap_open_error("nosuchdev")
        for device, expected, stop_in in ((DEVICE, ANNOUNCE, "activate"), ("any", b"Listening on device : any \n",
                                          "activate"), ("nosuchdev", rejected, "activate"),
                                          ("lo", b"Listening on device : lo \n", "create"),
                                          ("nflog", b"Listening on device : nflog \n", "create")):
            with self.subTest(device=device, stop_in=stop_in):
                env, opening = self.slow_open()
                if stop_in == "create":
                    env["PCAPSHIM_STOP_IN_CREATE"] = "1"
                    proc = self.start(device, env=env, ready=lambda pid: True)
                    self.assert_ends(proc, expected)
                    self.assertFalse(os.path.exists(opening), "pcap_activate() called")
                    continue
                proc = self.start(device, env=env, ready=lambda pid: os.path.exists(opening))
                proc.terminate()
                wait_for(lambda: not signals_pending(proc.pid), "the stop to be taken")
                os.unlink(opening)
                while proc.poll() is None:
                    self.send(20, settle=False)
                self.assert_ends(proc, expected)

    def test_stop_that_the_open_outlasts_by_a_second_ends_it_with_what_was_said(self):
        # The open, held, never returns; a terminal's hangup sends two.
        env, opening = self.slow_open()
        proc = self.start(DEVICE, env=env, ready=lambda pid: os.path.exists(opening))
        proc.send_signal(signal.SIGHUP)
        proc.send_signal(signal.SIGHUP)
        self.assert_ends(proc, ANNOUNCE, -signal.SIGHUP)

    def test_open_outlasted_by_a_second_ends_it_even_with_standard_output_full(self):
        # What was said goes out only as far as standard output takes it
        # without waiting: here a full pipe, never read, takes nothing.
        r, w = self.one_page_pipe(full=True)
        env, opening = self.slow_open()
        proc = self.start(DEVICE, stdout=w, env=env, ready=lambda pid: os.path.exists(opening))
        os.close(w)
        stop = time.monotonic()
        proc.terminate()
        self.assert_ends(proc)
        self.assertLess(time.monotonic() - stop, 2, "seconds from the stop to the end")
        self.assertEqual(os.read(r, 2 * PAGE), b"x" * PAGE)

    def test_stops_blocked_in_the_inherited_mask_are_let_in(self):
        # A child of a program that takes signals with sigwait inherits them
        # blocked: the stops, and SIGALRM, by which a second stop ends a
        # write-out that has stalled.
        for blocked in (STOPS, (*STOPS, signal.SIGALRM)):
            with self.subTest(blocked=[signo.name for signo in blocked]):
                r, w = self.one_page_pipe()
                proc = self.start(DEVICE, stdout=w, blocked=blocked)
                os.close(w)
                self.send(MORE_THAN_A_BUFFER)
                proc.send_signal(signal.SIGINT)
                wait_for(lambda: in_syscall(proc.pid, SYS_WRITE), "the write-out to wait")
                proc.send_signal(signal.SIGTERM)
                self.assert_ends(proc)
                self.assertEqual(os.read(r, 2 * PAGE), ANNOUNCE + stream(1, MORE_THAN_A_BUFFER)[:PAGE - len(ANNOUNCE)])

    def test_stop_interrupts_a_write_the_storage_holds_and_counts_only_what_came_before(self):
        # Standard output is a file whose writes the filesystem holds, as a
        # hung server would, answering the kernel's interrupts. A second
        # stop while the write-out is held ends it, as nothing is taken.
        for second in (None, signal.SIGTERM):
            with self.subTest(second=second and second.name):
                fs = self.filesystem()
                fs.hold()
                with open(fs.file, "r+b") as file:
                    proc = self.start(DEVICE, stdout=file)
                self.send(3000, settle=False)
                wait_for(lambda: in_syscall(proc.pid, SYS_WRITE), "a write to be held")
                proc.send_signal(signal.SIGINT)
                wait_for(lambda: not signals_pending(proc.pid), "the stop to be taken")
                self.send(1000, settle=False)
                if second is not None:
                    proc.send_signal(second)
                    self.assert_ends(proc, b"", -second)
                    continue
                wait_for(lambda: in_syscall(proc.pid, SYS_WRITE), "the write-out to be held")
                fs.release()
                self.assert_ends(proc, b"", -signal.SIGINT)
                self.assertEqual(bytes(fs.written), ANNOUNCE + stream(1, 3000))


class Watchdog(ListenerTest):
    """A second stop arms a watchdog: the write-out goes on while standard
    output takes text, however slowly, and ends by the second's signal once
    it takes none from one tick to the next."""

    def test_second_stop_while_the_count_goes_to_a_file_is_absorbed(self):
        # A supervisor's SIGTERM and then SIGHUP, or a terminal's hangup,
        # which comes twice.
        for first, second in ((signal.SIGTERM, signal.SIGHUP), (signal.SIGHUP, signal.SIGHUP)):
            with self.subTest(first=first.name, second=second.name):
                proc = self.start(DEVICE)
                self.send(MORE_THAN_A_BUFFER, settle=False)
                proc.send_signal(first)
                # Taken first: of two waiting, the kernel would hand over
                # the lower-numbered first.
                wait_for(lambda: not signals_pending(proc.pid), "the first stop to be taken")
                time.sleep(0.001)
                proc.send_signal(second)
                self.assert_ends(proc, ANNOUNCE + stream(1, MORE_THAN_A_BUFFER), -first)

    def test_terminal_that_hangs_up_leaves_every_number_in_the_file(self):
        # An interactive shell on a terminal runs the listener into a file, as
        # a user would, and the terminal goes away, as a dropped ssh
        # session's does: the shell and the kernel each send SIGHUP.
        for run in range(5):
            with self.subTest(run=run):
                out = os.path.join(tempfile.mkdtemp(), "count")
                self.addCleanup(shutil.rmtree, os.path.dirname(out))
                master, slave = os.openpty()
                shell = subprocess.Popen(["bash", "--norc", "--noprofile", "-i"], stdin=slave, stdout=slave,
                                         stderr=slave, start_new_session=True,
                                         preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
                self.addCleanup(shell.wait)
                os.close(slave)
                os.write(master, f"{LISTENER} {DEVICE} > {out}\n".encode())
                children = f"/proc/{shell.pid}/task/{shell.pid}/children"
                wait_for(lambda: read(children).split() and capturing(read(children).split()[0]), "the capture")
                listener = read(children).split()[0]
                self.send(10, settle=False)
                os.close(master)
                wait_for(lambda: not os.path.exists(f"/proc/{listener}") or state(listener) == "Z", "the end")
                self.assertEqual(read(out).encode(), ANNOUNCE + stream(1, 10))

    def test_second_stop_ends_a_write_to_a_terminal_held_with_ctrl_s(self):
        master, slave = os.openpty()
        self.addCleanup(os.close, master)
        os.write(master, b"\x13")
        proc = self.start(DEVICE, stdout=slave, ready=lambda pid: in_syscall(pid, SYS_WRITE))
        os.close(slave)
        proc.terminate()
        wait_for(lambda: not signals_pending(proc.pid), "the first stop to be taken")
        self.assertIsNone(proc.poll())
        proc.send_signal(signal.SIGINT)
        self.assert_ends(proc, b"", -signal.SIGINT)

    def test_second_stop_during_the_open_still_ends_a_stalled_write_out(self):
        # The open returns within its second; what was said then waits for
        # a pipe that is full and never read.
        r, w = self.one_page_pipe(full=True)
        env, opening = self.slow_open()
        proc = self.start(DEVICE, stdout=w, env=env, ready=lambda pid: os.path.exists(opening))
        os.close(w)
        for signo in (signal.SIGTERM, signal.SIGHUP):
            proc.send_signal(signo)
            wait_for(lambda: not signals_pending(proc.pid), "the stop to be taken")
        os.unlink(opening)
        self.assert_ends(proc, b"", -signal.SIGHUP)

    def test_second_stop_loses_nothing_while_a_steady_reader_keeps_up(self):
        # A stream socket, as journald gives a service, and a pipe, each read
        # 512 bytes every 5 ms: full for moments all the time while the text
        # of 20000 numbers goes out, for a second or more.
        frames = 20000
        text = ANNOUNCE + stream(1, frames)
        for kind in ("socket", "pipe"):
            for gap in (0.001, 0.02):
                with self.subTest(kind=kind, gap=gap):
                    if kind == "socket":
                        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
                        self.addCleanup(ours.close)
                        theirs.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 2 * PAGE)
                        r, w = ours.fileno(), theirs.detach()
                    else:
                        r, w = self.one_page_pipe()
                    proc = self.start(DEVICE, stdout=w)
                    os.close(w)
                    received, reader, _ = self.read_slowly(r, pause=0.005)
                    self.send(frames, settle=False)
                    proc.terminate()
                    wait_for(lambda: not signals_pending(proc.pid), "the first stop to be taken")
                    time.sleep(gap)
                    proc.send_signal(signal.SIGHUP)
                    reader.join(timeout=30)
                    self.assert_ends(proc)
                    self.assertEqual(bytes(received), text)

    def test_second_stop_loses_nothing_to_a_reader_slower_than_a_page_a_second(self):
        # Each write of a page into a one-page pipe waits for the whole page
        # to be read, two seconds and more: the watch sees the reader by
        # what it takes off the pipe. SIGALRM from outside, once before the
        # stops and every 21 ms after, is not the watch's tick.
        frames = 1200  # a page and a half of text
        text = ANNOUNCE + stream(1, frames)
        for rate, alarms in ((1000, False), (2000, True)):
            with self.subTest(bytes_a_second=rate, alarms=alarms):
                r, w = self.one_page_pipe()
                proc = self.start(DEVICE, stdout=w)
                os.close(w)
                self.send(frames)
                received, reader, _ = self.read_slowly(r, chunk=rate // 10, pause=0.1)
                if alarms:
                    proc.send_signal(signal.SIGALRM)
                proc.terminate()
                wait_for(lambda: not signals_pending(proc.pid), "the first stop to be taken")
                proc.send_signal(signal.SIGHUP)
                while alarms and proc.poll() is None:
                    proc.send_signal(signal.SIGALRM)
                    time.sleep(0.021)
                reader.join(timeout=30)
                self.assert_ends(proc)
                self.assertEqual(bytes(received), text)

    def test_second_stop_ends_a_stalled_write_out_within_two_seconds_whenever_its_ticks_come(self):
        # Once the second stop has interrupted the write-out's wait, the shim
        # holds each write 1.2 s first, so that a tick always comes between
        # the look for one and the write: the write that then waits still
        # ends at the tick after.
        env, _ = self.shim(late_write=1)
        for run in range(3):
            with self.subTest(run=run):
                r, w = self.one_page_pipe()
                proc = self.start(DEVICE, stdout=w, env=env)
                os.close(w)
                self.send(MORE_THAN_A_BUFFER)
                proc.terminate()
                wait_for(lambda: in_syscall(proc.pid, SYS_WRITE), "the write-out to wait")
                second = time.monotonic()
                proc.send_signal(signal.SIGHUP)
                self.assert_ends(proc, b"", -signal.SIGHUP)
                self.assertLess(time.monotonic() - second, 2.5, "seconds from the second stop to the end")

    def test_second_stop_ends_the_write_out_once_the_reader_has_stopped(self):
        # The pipe is not read until the listener waits in its write-out. A
        # second stop then ends it, by its own signal, once the pipe has
        # taken nothing for a second; one that came with the first, before
        # the write-out began, or one after which the reader reads again,
        # loses nothing.
        text = ANNOUNCE + stream(1, MORE_THAN_A_BUFFER)
        for first, second, when in ((signal.SIGTERM, signal.SIGTERM, "stalled"),
                                    (signal.SIGTERM, signal.SIGHUP, "stalled"),
                                    (signal.SIGHUP, signal.SIGINT, "stalled"),
                                    (signal.SIGTERM, signal.SIGHUP, "read again"),
                                    (signal.SIGHUP, signal.SIGTERM, "before")):
            with self.subTest(first=first.name, second=second.name, when=when):
                r, w = self.one_page_pipe()
                proc = self.start(DEVICE, stdout=w)
                os.close(w)
                self.send(MORE_THAN_A_BUFFER)
                if when == "before":
                    # Both at once: of two waiting, the kernel hands over
                    # the lower-numbered first.
                    pause(proc.pid)
                    proc.send_signal(first)
                    proc.send_signal(second)
                    proc.send_signal(signal.SIGCONT)
                else:
                    proc.send_signal(first)
                wait_for(lambda: in_syscall(proc.pid, SYS_WRITE), "the write-out to wait")
                if when != "before":
                    wait_for(lambda: not signals_pending(proc.pid), "the first stop to be taken")
                    proc.send_signal(second)
                if when == "stalled":
                    self.assert_ends(proc, b"", -second)
                    self.assertEqual(os.read(r, 2 * PAGE), text[:PAGE])
                else:
                    self.assertEqual(read_until(r, len(text)), text)
                    self.assert_ends(proc, b"", -first)


class CaptureErrors(ListenerTest):
    """An error that ends the capture (the device removed) is said after the
    numbers and any drop line, with status 1; a stop while the listener
    ends is the stop."""

    def remove_device_after(self, frames, down_first=False):
        # Straight after the frames, which the kernel may still hold.
        proc = self.start(DEVICE)
        self.send(frames, settle=False)
        if down_first:
            # Taken down, the device gives the capture no further wakeup when
            # it goes: libpcap has to be asked again after a while.
            ip("link", "set", DEVICE, "down")
            time.sleep(SETTLE)
        ip("link", "del", PEER)
        return self.finish(proc)

    def test_device_removed_before_any_frame_is_a_capture_error(self):
        self.assertEqual(self.remove_device_after(0), (ANNOUNCE + DISAPPEARED, 1))

    def test_device_removed_after_frames_is_a_capture_error_on_a_line_of_its_own(self):
        self.assertEqual(self.remove_device_after(3), (ANNOUNCE + stream(1, 3) + b"\n" + DISAPPEARED, 1))

    def test_device_taken_down_and_then_removed_is_a_capture_error_too(self):
        self.assertEqual(self.remove_device_after(3, down_first=True), (ANNOUNCE + stream(1, 3) + b"\n" + DISAPPEARED, 1))

    def test_stop_while_the_capture_is_closed_after_an_error_is_the_stop(self):
        env, files = self.shim(hold_close=True)
        proc = self.start(DEVICE, env=env)
        self.send(3)
        ip("link", "del", PEER)
        wait_for(lambda: os.path.exists(files["hold_close"]), "the close")
        proc.terminate()
        wait_for(lambda: not signals_pending(proc.pid), "the stop to be taken")
        os.unlink(files["hold_close"])
        self.assert_ends(proc, ANNOUNCE + stream(1, 3) + b"\n" + DISAPPEARED)

    def test_stop_while_a_capture_error_is_written_out_is_the_stop(self):
        # The pipe is read only once the listener waits to write out what it
        # has after the error.
        r, w = self.one_page_pipe()
        proc = self.start(DEVICE, stdout=w)
        os.close(w)
        self.send(MORE_THAN_A_BUFFER)
        ip("link", "del", PEER)
        wait_for(lambda: in_syscall(proc.pid, SYS_WRITE), "the write-out to wait")
        proc.terminate()
        text = ANNOUNCE + stream(1, MORE_THAN_A_BUFFER) + b"\n" + DISAPPEARED
        self.assertEqual(read_until(r, len(text)), text)
        self.assert_ends(proc)

    def test_drops_are_said_before_a_capture_error(self):
        arrived, proc = self.flood(FLOOD, stop=False)
        ip("link", "del", PEER)
        out, status = self.finish(proc)
        counted, dropped = counts(out)
        self.assertEqual(out, ANNOUNCE + stream(1, counted) + b"\n%d packets dropped by the kernel\n" % dropped
                         + DISAPPEARED)
        self.assertEqual((counted + dropped, status), (arrived, 1))


class FailingOutput(ListenerTest):
    def test_full_disk_ends_the_capture_or_the_stop_with_the_failure_said(self):
        for frames, stop, status in ((MORE_THAN_A_BUFFER, None, 1), (3, signal.SIGTERM, -signal.SIGTERM)):
            with self.subTest(frames=frames), open("/dev/full", "wb") as full:
                proc = self.start(DEVICE, stdout=full)
                self.send(frames)
                if stop is not None:
                    proc.send_signal(stop)
                self.assert_ends(proc, b"", status, err=b"write(): No space left on device\n")

    def test_reader_gone_is_a_failure_said_or_sigpipe_at_its_default(self):
        # Blocked in the inherited mask, SIGPIPE is let in, as the stops are.
        for ignore, blocked, err, status in (((signal.SIGPIPE,), (), b"write(): Broken pipe\n", 1),
                                             ((), (), b"", -signal.SIGPIPE),
                                             ((), (signal.SIGPIPE,), b"", -signal.SIGPIPE)):
            with self.subTest(sigpipe="ignored" if ignore else "blocked" if blocked else "default"):
                r, w = os.pipe()
                proc = self.start(DEVICE, stdout=w, ignore=ignore, blocked=blocked)
                os.close(w)
                os.close(r)
                self.send(MORE_THAN_A_BUFFER)
                self.assert_ends(proc, b"", status, err=err)

    def test_closed_standard_descriptors_are_never_libpcaps(self):
        # With standard error closed too, the failure has nowhere to be said.
        for closed, err in (((1,), b"write(): Bad file descriptor\n"), ((0, 1, 2), b"")):
            with self.subTest(closed=closed):
                proc = self.start(DEVICE, closed=closed)
                self.assertEqual([os.readlink(f"/proc/{proc.pid}/fd/{fd}") for fd in closed],
                                 ["/dev/null"] * len(closed))
                self.send(3)
                proc.terminate()
                self.assert_ends(proc, b"", -signal.SIGTERM, err=err)

    def test_close_that_fails_is_said_as_a_failed_write_is(self):
        # Some filesystems (NFS, FUSE) say only at close that a write failed.
        path = self.filesystem(flush_error=errno.EIO).file
        for args, status in (((), 1), ((DEVICE,), -signal.SIGTERM)):
            with self.subTest(args=args), open(path, "r+b") as file:
                proc = self.start(*args, stdout=file, ready=lambda pid: not args or capturing(pid))
                if args:
                    proc.terminate()
                self.assert_ends(proc, b"", status, err=b"close(): Input/output error\n")

    def test_write_that_takes_nothing_is_a_full_device(self):
        path = self.filesystem(takes_nothing=True).file
        with open(path, "r+b") as file:
            proc = self.start(DEVICE, stdout=file)
        self.send(MORE_THAN_A_BUFFER)
        self.assert_ends(proc, b"", 1, err=b"write(): No space left on device\n")

    def test_reader_sees_the_end_before_the_capture_is_closed(self):
        # Closing the capture waits for the kernel: the shim holds it until
        # the reader has seen the end of the pipe.
        env, files = self.shim(hold_close=True)
        r, w = os.pipe()
        self.addCleanup(os.close, r)
        proc = self.start(DEVICE, stdout=w, env=env)
        os.close(w)
        self.send(3)
        proc.terminate()
        self.assertEqual(read_until(r, float("inf")), ANNOUNCE + stream(1, 3))
        self.assertTrue(select.select([r], [], [], 0)[0] and os.read(r, 1) == b"", "the end of the pipe")
        wait_for(lambda: os.path.exists(files["hold_close"]), "the close")
        os.unlink(files["hold_close"])
        self.assert_ends(proc)


class SlowReader(ListenerTest):
    """Counting never waits for standard output: the numbers it has not
    taken yet are kept as a range, and go out as it takes them."""

    def large_block_fifo(self):
        """A named pipe one page large, on a filesystem that reports blocks
        of 64 KiB, as some FUSE, NFS and XFS mounts do."""
        fifo = self.filesystem(blksize=65536).fifo
        r = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        self.addCleanup(os.close, r)
        os.set_blocking(r, True)
        w = os.open(fifo, os.O_WRONLY)
        fcntl.fcntl(w, fcntl.F_SETPIPE_SZ, PAGE)
        self.assertEqual(os.fstat(w).st_blksize, 65536)
        return r, w

    def test_reader_far_behind_costs_no_frame_nor_memory_and_catches_up_without_frames(self):
        # Handed down non-blocking, the pipe is waited for all the same; a
        # named pipe takes a page at once, whatever block it reports.
        for kind in ("pipe", "non-blocking pipe", "named pipe with large blocks"):
            with self.subTest(kind):
                frames = 2 * self.ring()
                r, w = self.large_block_fifo() if kind.startswith("named") else self.one_page_pipe()
                os.set_blocking(w, kind != "non-blocking pipe")
                proc = self.start(DEVICE, stdout=w)
                os.close(w)
                idle = own_kib(proc.pid)
                # Some 10 KB a second, while twice as many frames come as the
                # ring holds, and their text a hundred times as fast: a write
                # that waited for the reader would hold the capture up for
                # longer than the ring lasts.
                received, reader, fast = self.read_slowly(r)
                text = ANNOUNCE + stream(1, frames)
                self.send(frames)
                self.assertGreater(len(text) - len(received), len(text) // 2, "bytes the reader is behind")
                self.assertLess(own_kib(proc.pid) - idle, 64, "KiB more of its own than when idle")
                # No frame comes any more, and the full buffers still go out
                # as the pipe takes them; the last waits for the stop.
                fast.set()
                full = len(text) // PAGE * PAGE
                wait_for(lambda: len(received) >= full, "the full buffers")
                self.assertIsNone(proc.poll())
                proc.terminate()
                reader.join(timeout=10)
                self.assert_ends(proc)
                self.assertEqual(bytes(received), text)

    def test_full_non_blocking_output_is_waited_for_without_spinning(self):
        r, w = self.one_page_pipe()
        os.set_blocking(w, False)
        os.write(w, b"x" * PAGE)
        proc = self.start(DEVICE, stdout=w)
        os.close(w)
        self.send(5)
        proc.terminate()
        # Writing out now waits for the pipe to take more.
        before = cpu_seconds(proc.pid)
        time.sleep(1)
        self.assertLess(cpu_seconds(proc.pid) - before, 0.1, "CPU seconds in one second of waiting")
        text = b"x" * PAGE + ANNOUNCE + stream(1, 5)
        self.assertEqual((read_until(r, len(text)), self.finish(proc)), (text, (b"", -signal.SIGTERM)))

    def test_short_writes_are_carried_on_and_a_full_socket_costs_no_frame(self):
        # A TCP connection with a small window and a send buffer of a few
        # pages, read only after the stop: writes that fill the buffer are
        # cut short, while the frames come twice as many as the ring holds.
        frames = 2 * self.ring()
        with socket.create_server(("127.0.0.1", 0)) as server:
            theirs = socket.create_connection(server.getsockname())
            ours, _ = server.accept()
        self.addCleanup(ours.close)
        ours.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 * PAGE)
        theirs.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 2 * PAGE)
        proc = self.start(DEVICE, stdout=theirs)
        theirs.close()
        self.send(frames)
        proc.terminate()
        received = read_until(ours.fileno(), float("inf"))
        self.assert_ends(proc)
        self.assertEqual(received, ANNOUNCE + stream(1, frames))


class KeepsNoBytes(ListenerTest):
    """The kernel keeps only a header record of each packet, so that the
    ring holds as many frames of any size."""

    def test_bursts_of_full_size_and_jumbo_frames_fit_the_ring_while_stopped(self):
        # Three quarters of what the ring holds of short frames, as the
        # kernel may hand over a block before it is full.
        for device in (DEVICE, "any"):
            frames = self.ring(device) * 3 // 4
            for size in (1514, 9014):
                with self.subTest(device=device, size=size):
                    arrived, proc = self.flood(frames, sizes=(size,), device=device)
                    self.assertEqual(arrived, frames)
                    self.assert_counted(proc, frames, device, stop=False)

    @unittest.skipUnless(tuple(map(int, re.findall(r"\d+", os.uname().release)[:2])) >= (6, 9),
                         "this kernel keeps net.core.optmem_max for the whole machine")
    def test_filter_the_kernel_refuses_is_said_with_its_reason(self):
        # What a socket's options and filter may take: too little for any
        # filter, in this network namespace alone.
        optmem = "/proc/sys/net/core/optmem_max"
        self.addCleanup(write, optmem, read(optmem))
        write(optmem, "8")
        self.assertEqual(self.run_to_end(LISTENER, DEVICE),
                         (ANNOUNCE + b"setsockopt(): Cannot allocate memory\n", 1))


class Drops(ListenerTest):
    """What the kernel dropped for want of room in the capture ring is said,
    after the count stream: counted and dropped add up to what came."""

    def test_a_stop_in_a_flood_counts_or_says_dropped_every_frame_that_came(self):
        # Full-size frames go on coming after the listener is let go, and it
        # is stopped straight after the last, which the kernel still holds.
        arrived, proc = self.flood(FLOOD, sizes=(1514,), then=1000)
        out, status = self.finish(proc)
        counted, dropped = counts(out)
        self.assertEqual(out, ANNOUNCE + stream(1, counted) + b"\n%d packets dropped by the kernel\n" % dropped)
        self.assertEqual((counted + dropped, status), (arrived, -signal.SIGTERM))
        self.assertGreater(dropped, 1)

    def test_loopback_burst_while_stopped_adds_up_and_fills_the_ring_as_frames_do(self):
        # Each datagram is one packet to the capture, on lo and on any, and
        # takes one place in the ring, as a frame on the pair does.
        for device in ("lo", "any"):
            with self.subTest(device=device):
                proc = self.start(device)
                before = frames_received("lo")
                pause(proc.pid)
                self.loopback(30000)
                proc.send_signal(signal.SIGCONT)
                proc.terminate()
                arrived = frames_received("lo") - before
                out, status = self.finish(proc)
                counted, dropped = counts(out)
                self.assertEqual((counted + dropped, status), (arrived, -signal.SIGTERM))
                self.assertGreater(counted, self.ring(DEVICE if device == "lo" else "any") * 3 // 4)

    def test_trickle_while_stopped_is_kept(self):
        # The kernel hands over a block of the ring a read timeout after it
        # began it, however few packets it holds: 40 frames over 2 s take a
        # block or two of the ring's eight.
        proc = self.start(DEVICE)
        pause(proc.pid)
        for _ in range(40):
            self.send(1, settle=False)
            time.sleep(0.05)
        proc.send_signal(signal.SIGCONT)
        self.assert_counted(proc, 40)

    def test_failed_output_stays_the_only_thing_said(self):
        with open("/dev/full", "wb") as full:
            _, proc = self.flood(FLOOD, stdout=full, stop=False)
        self.assert_ends(proc, b"", 1, err=b"write(): No space left on device\n")


class Devices(ListenerTest):
    """Every device libpcap opens counts what libpcap delivers: netfilter's
    log and queue, fed by rules of the test's own on lo; a D-Bus bus of the
    test's own; and a capture whose descriptor is not a socket, as usbmon's
    is not, which the shim stands in for where the kernel has no usbmon."""

    def netfilter(self, *target):
        """Has every datagram that loopback() sends go to target."""
        self.loopback(0)
        iptables = shutil.which("iptables", path=os.environ["PATH"] + ":/usr/sbin:/sbin")
        rule = ["OUTPUT", "-o", "lo", "-p", "udp", "--dport", str(self.udp.getsockname()[1]), "-j", *target]
        if iptables is None or subprocess.run([iptables, "-A", *rule], capture_output=True).returncode != 0:
            self.skipTest("iptables cannot add a rule here")
        self.addCleanup(subprocess.run, [iptables, "-D", *rule])

    def netlink_memory(self, pid):
        """What waits in the process's netlink sockets, in bytes of memory;
        None once it has none."""
        rows = [line.split() for line in read("/proc/net/netlink").splitlines()[1:]]
        held = [int(row[4]) for row in rows if row[9] in sockets(pid)]
        return sum(held) if held else None

    def drained(self, pid):
        """Whether nothing waits in the process's netlink socket."""
        return not self.netlink_memory(pid)

    def through(self, wait=0):
        """How many datagrams have come through to the test's socket, each
        waited for up to wait seconds."""
        received = 0
        while select.select([self.udp], [], [], wait)[0]:
            received += len(self.udp.recv(1))
        return received

    def assert_queue_counted(self, out, device, sent):
        """Checks that out is the count stream and the drop line of a queue
        that sent datagrams went through: with nfqueue's own figures, the
        number that adds up with those counted to what was sent; without,
        that some were dropped. Returns the count."""
        counted, dropped = counts(out)
        if os.access(QUEUES, os.R_OK):
            said = b"\n%d packets dropped by the kernel\n" % dropped if dropped else b""
            self.assertEqual(counted + dropped, sent, "counted and dropped")
        else:
            said = b"\nsome packets dropped by the kernel\n" if counted < sent else b""
        self.assertEqual(out, b"Listening on device : %s \n" % device.encode() + stream(1, counted) + said)
        return counted

    def datagrams(self, n, size=1):
        """Sends n datagrams of size bytes to the test's socket on lo, from
        sockets of their own, each sending while its buffer has room, so
        that a queue that holds them keeps no sender waiting."""
        self.loopback(0)
        senders = []
        while n > 0:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sender:
                sender.setblocking(False)
                try:
                    while n > 0:
                        sender.sendto(bytes(size), self.udp.getsockname())
                        n -= 1
                except BlockingIOError:
                    senders.append(sender.detach())
        for fd in senders:
            os.close(fd)

    def test_netfilter_log_counts_every_datagram_paced_or_said_dropped_in_a_burst(self):
        # The kernel sends its log in batches, the last a second after it
        # began at most: the capture has had all once none waits, in the
        # instance (its queue in /proc) or in the socket. Into a pipe read
        # only once the log is all read, so that the listener then wakes for
        # room there alone, and must read the capture only when it is ready.
        log = "/proc/net/netfilter/nfnetlink_log"
        self.netfilter("NFLOG", "--nflog-group", "0")
        if not os.access(log, os.R_OK):
            self.skipTest("/proc/net/netfilter is for real root only here")
        for n, pace in ((300, 0.001), (20000, 0)):
            with self.subTest(datagrams=n):
                r, w = self.one_page_pipe()
                proc = self.start("nflog", stdout=w, ready=lambda pid: in_syscall(pid, SYS_POLL))
                os.close(w)
                for _ in range(n):
                    self.loopback(1)
                    time.sleep(pace)
                wait_for(lambda: read(log).split()[2] == "0" and self.drained(proc.pid), "the log to be read")
                received, reader, fast = self.read_slowly(r, chunk=PAGE, pause=0.01)
                # Full buffers go out as the pipe takes them.
                wait_for(lambda: len(received) >= (2 * PAGE if n > 300 else 0), "full buffers")
                proc.terminate()
                fast.set()
                reader.join(timeout=10)
                self.assert_ends(proc)
                counted, _ = counts(received)
                said = b"" if counted == n else b"\nsome packets dropped by the kernel\n"
                self.assertEqual(bytes(received), b"Listening on device : nflog \n" + stream(1, counted) + said)
                self.assertGreater(counted, n * 9 // 10 if pace == 0 else n - 1)

    def test_netfilter_queue_counts_every_datagram_and_lets_each_through(self):
        self.netfilter("NFQUEUE", "--queue-num", "0")
        # Held in the queue with no verdict, datagrams fill the sender's buffer.
        self.udp.settimeout(10)
        proc = self.start("nfqueue", ready=lambda pid: in_syscall(pid, SYS_POLL))
        received = 0
        for _ in range(300):
            self.loopback(1)
            while select.select([self.udp], [], [], 0)[0]:
                received += len(self.udp.recv(1))
        while received < 300 and select.select([self.udp], [], [], 10)[0]:
            received += len(self.udp.recv(1))
        self.assertEqual(received, 300, "datagrams through the queue")
        # The kernel copies one byte of it to the listener; the verdict lets
        # the whole of it through.
        datagram = os.urandom(65000)
        self.udp.sendto(datagram, self.udp.getsockname())
        self.assertEqual(self.udp.recv(65536), datagram)
        self.assert_counted(proc, 301, "nfqueue")

    def test_netfilter_queue_overflowed_by_a_burst_says_what_the_kernel_dropped(self):
        # 20,000 datagrams, while the listener is frozen or at full speed,
        # overflow the queue's socket however little of each the kernel
        # copies, and the capture goes on. With nfqueue's own figures, the
        # drop line gives them, and counted and dropped add up to what the
        # rule queued; without, it says that some were dropped.
        self.netfilter("NFQUEUE", "--queue-num", "3")
        for run, frozen in ((0, True), (1, True), (2, False), (3, False)):
            with self.subTest(run=run, frozen=frozen):
                proc = self.start("nfqueue:3", ready=lambda pid: in_syscall(pid, SYS_POLL))
                if frozen:
                    pause(proc.pid)
                self.datagrams(20000)
                proc.send_signal(signal.SIGCONT)
                proc.terminate()
                out, status = self.finish(proc)
                self.assertEqual(status, -signal.SIGTERM)
                counted = self.assert_queue_counted(out, "nfqueue:3", 20000)
                if frozen:
                    self.assertLess(counted, 20000, "counted of a burst the socket cannot hold")

    def test_stop_counts_what_netfilter_handed_over_while_the_listener_was_frozen(self):
        log = "/proc/net/netfilter/nfnetlink_log"
        for device, target in (("nflog:4", ("NFLOG", "--nflog-group", "4")),
                               ("nfqueue:4", ("NFQUEUE", "--queue-num", "4"))):
            with self.subTest(device=device):
                self.netfilter(*target)
                if device.startswith("nflog") and not os.access(log, os.R_OK):
                    self.skipTest("/proc/net/netfilter is for real root only here")
                # The kernel copies one byte of each, whatever its size, so
                # the system's default buffer, which an ordinary user's
                # capture keeps, holds 300. Real root's 2 MiB hold 3,000,
                # more than the queue's default maxlen of 1,024.
                # The log's last batch goes out a second after it began, or
                # at the stop, which does not wait for it.
                bursts = ((300, 1, True), (300, 65000, True), (300, 1, False))
                bursts += ((3000, 1, True),) * (REAL_ROOT and device.startswith("nfqueue"))
                for n, size, sent in bursts:
                    proc = self.start(device, ready=lambda pid: in_syscall(pid, SYS_POLL))
                    pause(proc.pid)
                    self.datagrams(n, size=size)
                    wait_for(lambda: not sent or not os.access(log, os.R_OK) or all(
                        row.split()[2] == "0" for row in read(log).splitlines()), "the log to be sent")
                    proc.terminate()
                    proc.send_signal(signal.SIGCONT)
                    self.assert_counted(proc, n, device, stop=False)

    def test_stop_counts_what_the_queue_held_and_nothing_that_floods_in_after(self):
        # The queue's socket is full when the stop comes. The shim holds the
        # listener once it has fenced the socket, while two senders of
        # their own flood it with datagrams of their own, and goes on while
        # they flood: the listener reads what was queued before, lets that
        # through, and counts it, and none of the flood.
        self.netfilter("NFQUEUE", "--queue-num", "6")
        try:
            self.udp.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 64 << 20)
            whole = True
        except PermissionError:  # capped: what comes through may overflow it
            whole = False
        flood = ("import socket, sys\ns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\ns.setblocking(False)\n"
                 "for n in range(1 << 60):\n if n == 1000: print(flush=True)\n"
                 " try: s.sendto(b'x', ('127.0.0.1', %d))\n except BlockingIOError: pass" % self.udp.getsockname()[1])
        for run in range(4):
            with self.subTest(run=run):
                env, files = self.shim(hold_back=True)
                proc = self.start("nfqueue:6", env=env, ready=lambda pid: in_syscall(pid, SYS_POLL))
                pause(proc.pid)
                self.datagrams(20000)
                proc.terminate()
                proc.send_signal(signal.SIGCONT)
                wait_for(lambda: os.path.exists(files["hold_back"]), "the queue to be fenced")
                flooders = [subprocess.Popen([sys.executable, "-c", flood], stdout=subprocess.PIPE) for _ in range(2)]
                for flooder in flooders:
                    self.addCleanup(flooder.stdout.close)
                    flooder.stdout.readline()
                os.unlink(files["hold_back"])
                out, status = self.finish(proc)
                for flooder in flooders:
                    flooder.kill()
                    flooder.wait()
                came = collections.Counter()
                while select.select([self.udp], [], [], 0.2)[0]:
                    came[self.udp.recv(1)] += 1
                self.assertEqual(status, -signal.SIGTERM)
                counted = self.assert_queue_counted(out, "nfqueue:6", 20000)
                self.assertEqual(came[b"x"], 0, "datagrams of the flood let through")
                self.assertLess(counted, 20000, "counted of a burst the socket cannot hold")
                if whole:
                    self.assertEqual(came[b"\0"], counted, "datagrams let through")

    def test_queue_is_let_go_at_a_stop_whatever_the_reader_of_standard_output_does(self):
        # The pipe is full, and its reader only comes back once every
        # datagram sent after the stop has gone through the queue, which
        # lets them by once it has no listener.
        self.netfilter("NFQUEUE", "--queue-num", "5", "--queue-bypass")
        r, w = self.one_page_pipe(full=True)
        proc = self.start("nfqueue:5", stdout=w, ready=lambda pid: in_syscall(pid, SYS_POLL))
        os.close(w)
        self.datagrams(20)
        wait_for(lambda: self.drained(proc.pid), "the queue to be read")
        proc.send_signal(signal.SIGINT)
        wait_for(lambda: self.netlink_memory(proc.pid) is None, "the queue to be closed")
        self.datagrams(200)
        self.assertEqual(self.through(), 220, "datagrams through the queue")
        text = b"x" * PAGE + b"Listening on device : nfqueue:5 \n" + stream(1, 20)
        self.assertEqual(read_until(r, len(text)), text)
        self.assert_ends(proc, b"", -signal.SIGINT)

    def test_stop_during_the_open_lets_the_queue_go_before_the_write_out(self):
        # The open is held until the stop has come. Standard output is a full
        # pipe, read only once the datagrams sent after the stop have gone
        # by the queue, which --queue-bypass does once nothing is bound to it.
        self.netfilter("NFQUEUE", "--queue-num", "7", "--queue-bypass")
        r, w = self.one_page_pipe(full=True)
        env, opening = self.slow_open()
        proc = self.start("nfqueue:7", stdout=w, env=env, ready=lambda pid: os.path.exists(opening))
        os.close(w)
        proc.terminate()
        wait_for(lambda: not signals_pending(proc.pid), "the stop to be taken")
        os.unlink(opening)
        wait_for(lambda: in_syscall(proc.pid, SYS_WRITE), "the write-out to wait")
        wait_for(lambda: self.netlink_memory(proc.pid) is None, "the queue to be closed")
        self.datagrams(40)
        self.assertEqual(self.through(wait=1), 40, "datagrams through the queue")
        text = b"x" * PAGE + b"Listening on device : nfqueue:7 \n"
        self.assertEqual(read_until(r, len(text)), text)
        self.assert_ends(proc)

    def test_dbus_open_that_never_returns_is_ended_by_a_stop(self):
        # The bus takes the connection and never answers.
        directory = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, directory)
        bus = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.addCleanup(bus.close)
        bus.bind(os.path.join(directory, "bus"))
        bus.listen()
        env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS="unix:path=" + os.path.join(directory, "bus"))
        proc = self.start("dbus-session", env=env, ready=lambda pid: select.select([bus], [], [], 0)[0])
        stop = time.monotonic()
        proc.terminate()
        self.assert_ends(proc, b"Listening on device : dbus-session \n")
        self.assertLess(time.monotonic() - stop, 2, "seconds from the stop to the end")

    def session_bus(self):
        """A session bus of the test's own: the environment that names it."""
        if shutil.which("dbus-daemon") is None:
            self.skipTest("no dbus-daemon")
        directory = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, directory)
        bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--address=unix:dir=" + directory,
                                "--print-address"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(bus.stdout.close)
        self.addCleanup(bus.wait)
        self.addCleanup(bus.terminate)
        self.bus = bus
        return dict(os.environ, DBUS_SESSION_BUS_ADDRESS=bus.stdout.readline().decode().strip())

    def test_dbus_bus_that_dies_is_a_capture_error(self):
        # libdbus would _exit(1) on a dead bus's Disconnected message, as it
        # does for a connection from dbus_bus_get(), not for a dbus://
        # address's. The bus is killed quiet or in a flood of signals.
        for run, (device, scene) in enumerate((("dbus-session", "quiet"),) * 3 + (("dbus-session", "flood"),) * 3 +
                                              (("dbus://", "quiet"),)):
            with self.subTest(run=run, device=device, scene=scene):
                env = self.session_bus()
                if device == "dbus://":
                    device += env["DBUS_SESSION_BUS_ADDRESS"]
                proc = self.start(device, env=env, ready=dbus_waiting)
                client = DBusClient(env["DBUS_SESSION_BUS_ADDRESS"])
                self.addCleanup(client.socket.close)
                flooding = threading.Thread(target=lambda: self.assertRaises(OSError, client.signals, 1 << 30, 8))
                if scene == "flood":
                    flooding.start()
                    wait_for(lambda: os.fstat(proc.out.fileno()).st_size > 0, "a block of the count")
                killed = time.monotonic()
                self.bus.kill()
                out, status = self.finish(proc)
                self.assertLess(time.monotonic() - killed, 1.5, "seconds from the bus's end to the listener's")
                if flooding.is_alive():
                    flooding.join()
                self.assertRegex(out, rb"[^\n]\npcap_loop\(\): [^\n]+\n$")
                self.assertEqual((out[:out.rindex(b"\npcap_loop")], status),
                                 (b"Listening on device : %s \n" % device.encode() + stream(1, counts(out)[0]), 1))

    def test_dbus_counts_every_message_and_a_stop_breaks_its_wait(self):
        # A monitor of a bus sees four messages as it starts, and four for
        # each dbus-send: its Hello, the reply, its name, and its signal.
        env = self.session_bus()
        for signals in (0, 20):
            with self.subTest(signals=signals):
                proc = self.start("dbus-session", env=env, ready=dbus_waiting)
                for _ in range(signals):
                    subprocess.run(["dbus-send", "--session", "--type=signal", "/", "org.example.Ping"],
                                   env=env, check=True)
                wait_for(lambda: dbus_waiting(proc.pid), "the messages to be read")
                self.assert_counted(proc, 4 + 4 * signals, "dbus-session")

    def test_dbus_counts_past_what_libdbus_keeps_alive_in_flat_memory(self):
        # 2,000 signals of 64 KiB and then 10 more: twice the 63 MiB of
        # messages that libdbus keeps alive before it reads no more, and
        # that libpcap 1.10 never releases. One connection: its Hello, the
        # reply, and its signals.
        # AddressSanitizer would keep what is freed in its quarantine.
        env = dict(self.session_bus(), ASAN_OPTIONS="quarantine_size_mb=0")
        proc = self.start("dbus-session", env=env, ready=dbus_waiting)
        idle = own_kib(proc.pid)
        with DBusClient(env["DBUS_SESSION_BUS_ADDRESS"]) as client:
            for signals in (2000, 10):
                client.signals(signals, 65536)
                wait_for(lambda: dbus_waiting(proc.pid), "the messages to be read", timeout=30)
                self.assertLess(own_kib(proc.pid) - idle, 16 << 10, "KiB more of its own than when idle")
            self.assert_counted(proc, 4 + 2 + 2010, "dbus-session")

    def test_descriptor_that_is_not_a_socket_is_left_alone_and_counts_what_libpcap_delivers(self):
        env, _ = self.shim(not_a_socket=1)
        proc = self.start(DEVICE, env=env)
        self.send(5, settle=False)
        # Nothing is counted from the kernel's figures: it waits for libpcap.
        time.sleep(1.25 * READ_TIMEOUT)
        self.assert_counted(proc, 5)


class Arguments(ListenerTest):
    def test_no_device_prints_usage_with_the_invocation_name(self):
        self.assertEqual(self.run_to_end(LISTENER), (b"usage: %s capture-device\n" % LISTENER.encode(), 1))
        self.assertEqual(self.run_to_end("lsn", executable=LISTENER), (b"usage: lsn capture-device\n", 1))
        # Python will not start a program with an empty name; bash will.
        self.assertEqual(self.run_to_end("bash", "-c", 'exec -a "" "$0"', LISTENER),
                         (b"usage: listener capture-device\n", 1))

    def test_device_libpcap_rejects_gives_its_text_and_only_the_first_argument_counts(self):
        # A long name fails as any absent device does, and libpcap's reason
        # is never cut, as its own pcap_open_live() cuts it.
        reason = pcap_open_error("nosuchdev")[len("nosuchdev"):]
        for args in (["nosuchdev"], ["nosuchdev", DEVICE, "-x"], ["x" * 300], ["x" * 3000]):
            with self.subTest(args=[arg[:20] for arg in args]):
                name = args[0].encode()
                expected = b"Listening on device : %s \npcap_open_live(): %s%s\n" % (name, name, reason)
                self.assertEqual(self.run_to_end(LISTENER, *args), (expected, 1))


class Readme(ListenerTest):
    """The README's first sh block, run by bash as a script, with a sudo
    that only runs its command, as root needs none, and says what it is
    told to on standard error first; where it runs, build/ holds the
    listener under test, or nothing."""

    def setUp(self):
        super().setUp()
        readme = read(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "README.md"))
        self.script, self.printed = re.search(r"```sh\n(.*?)```\n\n```\n(.*?)```", readme, re.S).groups()
        self.top = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.top)
        os.mkdir(os.path.join(self.top, "build"))
        self.stub("sudo", '[ -n "$SUDO_SAYS" ] && echo "$SUDO_SAYS" >&2\n[ "$1" = -v ] && exit 0\nexec "$@"')
        self.env = dict(os.environ, PATH=self.top + ":" + os.environ["PATH"])

    def stub(self, name, script):
        """A command of that name, ahead of the system's in the PATH."""
        write(os.path.join(self.top, name), "#!/bin/sh\n" + script + "\n")
        os.chmod(os.path.join(self.top, name), 0o755)

    def build(self, delay=0):
        """build/listener: the listener, which takes delay seconds more to
        start, as under load."""
        os.makedirs(os.path.join(self.top, "build"), exist_ok=True)
        listener = os.path.join(self.top, "build", "listener")
        write(listener, f"#!/bin/sh\nsleep {delay}\nexec {LISTENER} \"$@\"\n")
        os.chmod(listener, 0o755)

    def run_example(self, script=None, env=None):
        """Standard output and error, and the status, of the example, which
        must end within 10 s."""
        proc = subprocess.run(["bash", "-c", script or self.script], capture_output=True, timeout=10,
                              cwd=self.top, env=env or self.env)
        return proc.stdout, proc.stderr, proc.returncode

    def test_opening_example_prints_what_it_shows_and_waits_for_its_own_capture(self):
        # The second time, another listener is on lo already, and this one
        # takes a while to start; a wait for any listener's capture would
        # send the datagrams before this one captures. sudo's own warnings
        # go to standard error, and change nothing.
        for others, delay in (((), 0), (("lo",), 0.5)):
            with self.subTest(others=others):
                for device in others:
                    self.start(device)
                self.build(delay)
                out, err, status = self.run_example(env=dict(self.env, SUDO_SAYS="sudo: unable to resolve host x"))
                self.assertEqual((out, status), (self.printed.encode(), 0))
                self.assertEqual(set(err.splitlines()), {b"sudo: unable to resolve host x"})

    def test_opening_example_waits_for_a_capture_on_any_too(self):
        self.build()
        script = self.script.replace("build/listener lo", "build/listener any").replace("\\*:lo", "\\*:\\*")
        self.assertEqual(self.run_example(script), (self.printed.replace("lo", "any").encode(), b"", 0))

    def test_opening_example_ends_saying_why_where_it_cannot_work(self):
        # Before the build, on a device that cannot be opened, and where ss
        # cannot run: what says why is the last word.
        self.build()
        device = self.script.replace("listener lo", "listener nosuchdev")
        out, err, _ = self.run_example(device)
        self.assertEqual((out, err), (b"Listening on device : nosuchdev \npcap_open_live(): %s\n\n"
                                      % pcap_open_error("nosuchdev"), b""))
        self.stub("ss", 'echo "sudo: ss: command not found" >&2; exit 1')
        out, err, _ = self.run_example()
        self.assertEqual(err, b"sudo: ss: command not found\n")
        os.unlink(os.path.join(self.top, "ss"))
        os.unlink(os.path.join(self.top, "build", "listener"))
        out, err, _ = self.run_example()
        self.assertRegex(err, rb"^\S*sh: \d+: exec: build/listener: not found\n")


@unittest.skipUnless(REAL_ROOT, "switching to an unprivileged user needs root outside a user namespace")
class Privileges(ListenerTest):

    def setUp(self):
        super().setUp()
        # A copy the unprivileged user can reach, wherever the build lives.
        bindir = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, bindir)
        os.chmod(bindir, 0o755)
        self.binary = shutil.copy(LISTENER, bindir)

    def as_nobody(self, *options):
        return ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", *options]

    def counts_three_frames(self, prefix):
        proc = self.start(DEVICE, prefix=prefix)
        self.send(3)
        self.assert_counted(proc, 3)

    def test_cap_net_raw_alone_is_enough(self):
        self.counts_three_frames(self.as_nobody("--inh-caps=+net_raw", "--ambient-caps=+net_raw"))

    def test_manual_pages_capability_recipe_works_as_written(self):
        # Its commands, for a user of the test's own, and the netfilter
        # variant, in a mount namespace of their own, over a copy of /etc
        # and /usr/local/bin; then that user, logged in again, captures.
        page = read(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "listener.1"))
        recipe = re.search(r"\.EX\n(# groupadd.*?)\.EE", page, re.S)[1].replace("\\-", "-")
        netfilter = re.search(r"give it\n\.B (\S+)\ninstead", page)[1]
        etc = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, etc)
        for caps, device in (("cap_net_raw=ep", DEVICE), (netfilter, "nflog")):
            with self.subTest(caps=caps):
                commands = "\n".join(line[2:] for line in recipe.splitlines()).replace("cap_net_raw=ep", caps)
                script = (f"set -e\ncp -a /etc/. {etc}\nmount --bind {etc} /etc\nmount -t tmpfs tmpfs /usr/local/bin\n"
                          f'cp "$1" /usr/local/bin/listener\nuseradd --no-create-home alice\n{commands}\nshift\n'
                          # Through sh, as setpriv's own exec() still has root's capabilities.
                          'exec setpriv --reuid=alice --regid=alice --init-groups sh -c '
                          '\'exec /usr/local/bin/listener "$@"\' sh "$@"')
                proc = self.start(device, prefix=["unshare", "--mount", "sh", "-c", script, "sh"],
                                  ready=capturing if device == DEVICE else lambda pid: in_syscall(pid, SYS_POLL))
                self.send(3)
                self.assert_counted(proc, 3 if device == DEVICE else 0, device)

    def test_user_without_capture_rights_gets_libpcaps_permission_text(self):
        # Whatever libpcap's words for it: its own pcap_open_live()'s, as
        # that user.
        said = pcap_open_error(DEVICE, self.as_nobody())
        self.assertIn(b"permission", said)
        self.assertEqual(self.run_to_end(*self.as_nobody(), self.binary, DEVICE),
                         (ANNOUNCE + b"pcap_open_live(): %s\n" % said, 1))


if __name__ == "__main__":
    enter()
    # For TCP connections of the test's own, which never touch the veth pair.
    ip("link", "set", "lo", "up")
    unittest.main(verbosity=2)
