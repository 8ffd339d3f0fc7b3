"""A D-Bus client of the tests' and the benchmark's own, which sends
signals as fast as the bus takes them, and whether a listener on a bus
waits with nothing left to read."""
import os
import re
import socket
import struct
import subprocess

from netns import read

SYS_POLL = 7  # <asm/unistd_64.h>


def dbus_waiting(pid):
    """Whether libpcap waits for the bus, 100 ms at a time, with nothing
    unread in the process's sockets."""
    call = read(f"/proc/{pid}/syscall").split()
    queued = subprocess.run(["ss", "-x", "-p", "-H"], capture_output=True, text=True).stdout
    return call[0] == str(SYS_POLL) and call[3] == "0x64" and not re.search(rf"^\S+\s+\S+\s+[1-9].*pid={pid},",
                                                                       queued, re.M)


class DBusClient:
    """A connection of its own to the bus at a unix:path= address, which
    sends signals as fast as the bus takes them: the wire protocol, with
    the little it needs (AUTH EXTERNAL, Hello, signals of one byte array)."""

    def __init__(self, address):
        path = re.search(r"unix:path=([^,]+)", address)[1]
        self.socket = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.socket.connect(path)
        self.socket.sendall(b"\0AUTH EXTERNAL %s\r\n" % str(os.getuid()).encode().hex().encode())
        assert self.socket.recv(4096).startswith(b"OK ")
        self.socket.sendall(b"BEGIN\r\n")
        self.serial = 0
        self.send(1, [(1, "o", "/org/freedesktop/DBus"), (6, "s", "org.freedesktop.DBus"),
                      (2, "s", "org.freedesktop.DBus"), (3, "s", "Hello")])

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.socket.close()

    def send(self, kind, fields, body=b""):
        """A message of the kind (1, a method call; 4, a signal), with its
        header fields as (code, type, value) and its body."""
        self.serial += 1
        message = bytearray(struct.pack("<cBBBIII", b"l", kind, 0, 1, len(body), self.serial, 0))
        for code, kind_of, value in fields:
            message += bytes(-len(message) % 8) + bytes([code, 1]) + kind_of.encode() + b"\0"
            if kind_of == "g":
                message += bytes([len(value)]) + value.encode() + b"\0"
            else:
                message += bytes(-len(message) % 4) + struct.pack("<I", len(value)) + value.encode() + b"\0"
        struct.pack_into("<I", message, 12, len(message) - 16)
        self.socket.sendall(bytes(message) + bytes(-len(message) % 8) + body)

    def signals(self, n, size):
        body = struct.pack("<I", size) + bytes(size)
        for _ in range(n):
            self.send(4, [(1, "o", "/"), (2, "s", "org.example"), (3, "s", "Ping"), (8, "g", "ay")], body)
