#!/usr/bin/env python3
"""Per-packet cost of the listener, beside the floor and a peer, and what
each keeps of the traffic behind a slow reader, in a burst or in a trickle.

The floor is pcapfloor: libpcap delivering every packet through pcap_loop to
a callback that only counts, the device opened exactly as the listener opens
it, keeping no packet bytes and leaving out in the kernel what libpcap would
not hand over.  On lo a second floor, "defaults", takes libpcap's defaults
but for a snapshot of one byte: the kernel stores whole packets and libpcap
walks, and throws away, the copy of each loopback packet that leaves.  The
peer is tcpdump writing to /dev/null.  Each captures the same traffic, sent
by sendframes (frames on a veth pair in a private network namespace, or
UDP datagrams on lo), in interleaved rounds that each start with a
different tool.

usage: run.py BUILD_DIR [--frames N] [--size BYTES] [--rounds R] [--loopback]
       run.py BUILD_DIR --callgrind [--frames N] [--rate FPS] [--check]
       run.py BUILD_DIR --slow-reader [--frames N] [--stalled N]
       run.py BUILD_DIR --bursts [--frames N]
       run.py BUILD_DIR --stops
       run.py BUILD_DIR --stop-in-flood [--runs R]
       run.py BUILD_DIR --nflog|--nfqueue [--frames N] [--rounds R]
       run.py BUILD_DIR --dbus [--frames N]

CPU time comes from /proc/PID/schedstat, over the window from the capture's
start to just after the last frame was delivered, and is divided by the
packets the tool counted; so do system calls, which perf counts at the
kernel's raw_syscalls:sys_enter tracepoint where it can.  On the veth pair
the listener runs twice a round, writing to /dev/null and to a file.  With
--loopback, the traffic is datagrams on lo.  With --callgrind, the listener
and the floor run under valgrind instead, at a rate they keep up with even
there, and the result is user-space instructions per packet, an idle run's
start-up, waiting and shutdown taken off; with --check, the run fails if the listener takes more than 1.10 times
the floor's.  With --slow-reader, the listener and tcpdump (writing the
packets, -w -) each write into a pipe read 512 bytes every 5 ms, about
100 KB a second, and then into one whose reader starts only once every
frame has come.  With --bursts, frames of 60, 1514 and 9014 bytes, and
datagrams on lo, come while the listener or tcpdump is stopped, and what
its capture ring held is what it counts once let go; then 40 and 60
frames come at 5 a second while it is stopped.  With --stops, the listener is stopped
straight after a burst, and the time until its output is all written, and
until it has ended, is measured.  With --stop-in-flood, 200,000
datagrams go on lo at 50,000 a second, logged to nflog and then queued to
nfqueue, and the listener gets SIGINT as soon as the 100,000th is sent:
what it counted of those sent after the signal, and of those before.  With --nflog, the datagrams on lo are
logged by an iptables rule to netfilter's log, and the tools capture on
nflog; the drops libpcap reports there count overflows of its socket, not
packets.  With --nfqueue, they are queued to netfilter's queue instead, and
each tool, capturing on nfqueue, lets every one through.  With --dbus, N
signals of 8 bytes and then 1,000 more go over a session bus of the
benchmark's own, and each tool's count and resident memory are taken once
it has read them all, or has stopped reading.
"""
import argparse
import os
import re
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from dbusclient import DBusClient, dbus_waiting  # noqa: E402
from netns import DEVICE, PEER, add_pair, capturing, enter, frames_received, ip, pause, read  # noqa: E402
# Well past the capture's read timeout, which bounds how long the kernel holds
# frames: by then every frame sent has been delivered.
SETTLE = 4.5


def proc_value(pid, name, key):
    """A value from a /proc file of "key: value" lines (status, io)."""
    return int(re.search(key + r":\s*(\d+)", read(f"/proc/{pid}/{name}"))[1])


def wait_capturing(proc, ready=capturing, timeout=60):
    deadline = time.monotonic() + timeout
    while not ready(proc.pid):
        if proc.poll() is not None or time.monotonic() > deadline:
            sys.exit(f"{proc.args[0]} did not start capturing")
        time.sleep(0.01)


class Tool:
    def __init__(self, name, cmd, count, ready=capturing):
        self.name, self.cmd, self.count, self.ready = name, cmd, count, ready

    def start(self, prefix=(), stdout=None, device=DEVICE):
        self.device = device
        self.out, self.err = tempfile.TemporaryFile(), tempfile.TemporaryFile()
        cmd = [device if arg == DEVICE else arg for arg in self.cmd]
        self.proc = subprocess.Popen([*prefix, *cmd], stdout=stdout or self.out, stderr=self.err)
        wait_capturing(self.proc, self.ready)

    def stop(self, reader=None):
        """Ends the tool; returns the packets it counted and those it says
        the kernel dropped, from its output (or what the reader took of it)
        and its standard error."""
        self.proc.terminate()
        if reader is not None:
            reader.join()
        # Ended but not yet reaped, its I/O account is still there to read.
        os.waitid(os.P_PID, self.proc.pid, os.WEXITED | os.WNOWAIT)
        wchar = proc_value(self.proc.pid, "io", "wchar")
        self.proc.wait()
        self.out.seek(0)
        self.err.seek(0)
        out = self.out.read() if reader is None else bytes(reader.received)
        return self.count(out, self.err.read().decode(), wchar, self.device)


class Reader(threading.Thread):
    """Reads a pipe to its end, once told to start: 512 bytes at a time with
    a pause after each, or as fast as it can."""

    def __init__(self, fd, pause):
        super().__init__(daemon=True)
        self.fd, self.pause, self.go, self.received = fd, pause, threading.Event(), bytearray()
        self.start()

    def begin(self):
        self.last = time.monotonic()
        self.go.set()

    def run(self):
        self.go.wait()
        while data := os.read(self.fd, 512 if self.pause else 1 << 16):
            self.received.extend(data)
            self.last = time.monotonic()
            time.sleep(self.pause)
        self.last = time.monotonic()

    def caught_up(self, quiet=0.5):
        """Waits until the writer has given nothing for a while: all it has
        left is what it holds back until it ends."""
        while time.monotonic() - self.last < quiet:
            time.sleep(0.05)


def listener_count(out, err, wchar, device):
    """The last number written and the number on the drop line or, with the
    output thrown away, how many items the bytes it wrote hold: all it wrote
    but the announcement and the 8 bytes by which the stop wakes its loop."""
    if out:
        counted = re.findall(rb"(\d+), ", out)
        dropped = re.search(rb"^(\d+) packets? dropped by the kernel$", out, re.M)
        return int(counted[-1]) if counted else 0, int(dropped[1]) if dropped else 0
    n, left = 0, wchar - len(f"Listening on device : {device} \n") - 8
    for digits in range(1, 21):
        width, span = digits + 2, 9 * 10 ** (digits - 1)
        if left < width * span:
            return n + left // width, None
        n, left = n + span, left - width * span


def floor_count(out, err, wchar, device):
    m = re.search(r"(\d+) counted, (\d+) dropped", err)
    return int(m[1]), int(m[2])


def tcpdump_count(out, err, wchar, device):
    """The packets captured or, given the savefile it wrote, the packets in
    it; and those it says the kernel dropped."""
    dropped = int(re.search(r"(\d+) packets? dropped by kernel", err)[1])
    if not out:
        return int(re.search(r"(\d+) packets? captured", err)[1]), dropped
    written, at = 0, 24
    while at + 16 <= len(out):
        at += 16 + struct.unpack_from("=I", out, at + 8)[0]
        written += at <= len(out)
    return written, dropped


def send(build, frames, size, rate=0, on=PEER):
    out = subprocess.run([f"{build}/bench/sendframes", on, str(frames), str(size), str(rate)],
                         check=True, capture_output=True, text=True).stdout
    return float(re.search(r"([\d.]+) frames/s", out)[1])


def netfilter_bound(kind):
    """Whether netfilter's log or queue is bound, copying packets, as
    libpcap sets it up for a capture on nflog or nfqueue."""
    def bound(pid):
        path = f"/proc/net/netfilter/nfnetlink_{kind}"
        rows = read(path).split("\n") if os.path.exists(path) else []
        return any(len(row.split()) > 3 and row.split()[3] == "2" for row in rows)
    return bound


class Syscalls:
    """Counts a process's system calls from now until stop(), with perf
    attached to the kernel's tracepoint; None where perf cannot."""

    def __init__(self, pid):
        try:
            self.perf = subprocess.Popen(["perf", "stat", "-x,", "-e", "raw_syscalls:sys_enter", "-p", str(pid)],
                                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        except FileNotFoundError:
            self.perf = None
        time.sleep(0.2)

    def stop(self):
        if self.perf is None:
            return None
        self.perf.send_signal(signal.SIGINT)
        m = re.search(r"^(\d+),", self.perf.communicate()[1], re.M)
        return int(m[1]) if m else None


def cpu_rounds(build, tools, args):
    what = ("datagrams on lo, logged to nflog" if args.nflog else "datagrams on lo, queued to nfqueue"
            if args.nfqueue else "datagrams on lo" if args.loopback else "frames")
    print(f"{args.frames} {what} of {args.size} bytes, {args.rounds} rounds; CPU ns per packet counted, "
          "system calls per 1,000 packets counted, packets counted, drops libpcap saw (the listener, "
          "writing to /dev/null or, as \"to file\", to a file: the packets the device got less those it "
          "counted, as its drop line says), peak RSS\n")
    print(f"{'round':>5}  {'tool':9}{'ns/packet':>10}{'calls/1k':>9}{'counted':>10}{'drops':>7}{'RSS KiB':>9}"
          f"{'sent/s':>11}")
    results = {tool.name: [] for tool in tools}
    calls = {tool.name: [] for tool in tools}
    listener_drops = 0
    for r in range(1, args.rounds + 1):
        # Each round starts with the next tool: whichever runs first after a
        # pause runs slower, and no tool should always take that place.
        first = (r - 1) % len(tools)
        for tool in tools[first:] + tools[:first]:
            into = tempfile.TemporaryFile(dir=build) if tool.name == "to file" else None
            tool.start(stdout=into or subprocess.DEVNULL, device=args.device)
            before = int(read(f"/proc/{tool.proc.pid}/schedstat").split()[0])
            syscalls = Syscalls(tool.proc.pid)
            arrived = frames_received(args.send_on if args.netfilter else args.device)
            rate = send(build, args.frames, args.size, on=args.send_on)
            time.sleep(SETTLE)
            ns = int(read(f"/proc/{tool.proc.pid}/schedstat").split()[0]) - before
            made = syscalls.stop()
            arrived = frames_received(args.send_on if args.netfilter else args.device) - arrived
            rss = proc_value(tool.proc.pid, "status", "VmHWM")
            counted, drops = tool.stop()
            if into:
                into.close()
            if drops is None:
                drops = arrived - counted
                listener_drops += drops
            results[tool.name].append(ns / counted)
            per_1k = "-" if made is None else f"{1000 * made / counted:.2f}"
            if made is not None:
                calls[tool.name].append(1000 * made / counted)
            print(f"{r:>5}  {tool.name:9}{ns / counted:>10.1f}{per_1k:>9}{counted:>10}{drops:>7}{rss:>9}"
                  f"{rate:>11.0f}")
    print()
    median = {name: statistics.median(v) for name, v in results.items()}
    for name, m in median.items():
        made = f"{statistics.median(calls[name]):>9.2f}" if calls[name] else f"{'-':>9}"
        print(f"median  {name:9}{m:>10.1f}{made}")
    # No target: CPU time and calls are this machine's, and CPU time moves
    # by 0.1 or more from run to run; CI checks instructions (--callgrind).
    varies = "one machine's, moving from run to run"
    print(f"listener/floor: {median['listener'] / median['floor']:.2f} CPU time ({varies})")
    if "to file" in median:
        print(f"to file/floor: {median['to file'] / median['floor']:.2f} CPU time")
    for name in ("listener", "to file"):
        if calls.get(name) and calls["floor"]:
            print(f"{name}/floor: {statistics.median(calls[name]) / statistics.median(calls['floor']):.2f} "
                  "system calls")
    if "defaults" in median:
        print(f"listener/defaults: {median['listener'] / median['defaults']:.2f} CPU time")
    print(f"packets the listener dropped: {listener_drops}")
    if "tcpdump" in median:
        print(f"listener/tcpdump: {median['listener'] / median['tcpdump']:.2f} CPU time")


def behind_readers(build, tools, args):
    print(f"{args.frames} frames of {args.size} bytes at full speed, the output read 512 bytes every "
          f"5 ms (about 100 KB a second); then {args.stalled} frames, the output read only once the last "
          "has come; each tool stopped once its reader has caught up. Counted (tcpdump: packets "
          "written), dropped as libpcap reports it, resident KiB when idle and at the peak, seconds "
          "until the reader had it all\n")
    print(f"{'reader':8}{'tool':9}{'sent':>9}{'counted':>9}{'dropped':>9}{'idle':>7}{'peak':>7}{'seconds':>9}")
    for reader_name, frames, pause in (("slow", args.frames, 0.005), ("stalled", args.stalled, 0)):
        for tool in tools:
            r, w = os.pipe()
            reader = Reader(r, pause)
            if pause:
                reader.begin()
            tool.start(stdout=w)
            os.close(w)
            idle = proc_value(tool.proc.pid, "status", "VmRSS")
            start = time.monotonic()
            send(build, frames, args.size)
            time.sleep(SETTLE)
            # The stalled reader starts now; the slow one goes on.
            reader.begin()
            # Stopped once the reader has caught up, so that the tool had
            # every chance to deliver what it captured.
            reader.caught_up()
            peak = proc_value(tool.proc.pid, "status", "VmHWM")
            counted, dropped = tool.stop(reader)
            os.close(r)
            print(f"{reader_name:8}{tool.name:9}{frames:>9}{counted:>9}{dropped:>9}{idle:>7}{peak:>7}"
                  f"{reader.last - start:>9.1f}")


def bursts(build, tools, args):
    print(f"{args.frames} packets at full speed while each tool is stopped (SIGSTOP), then let go: "
          "packets held by its capture ring and counted (tcpdump: captured), and dropped as it says; "
          "frames on the veth pair, or datagrams on lo\n")
    print(f"{'device':8}{'traffic':>10}{'bytes':>6}  {'tool':9}{'sent':>8}{'held':>8}{'dropped':>9}{'sum':>8}")
    for device, on, size in ((DEVICE, PEER, 60), (DEVICE, PEER, 1514), (DEVICE, PEER, 9014), ("any", PEER, 1514),
                             ("lo", "lo", 60), ("any", "lo", 60)):
        for tool in tools:
            tool.start(device=device)
            pause(tool.proc.pid)
            send(build, args.frames, size, on=on)
            os.kill(tool.proc.pid, signal.SIGCONT)
            time.sleep(SETTLE)
            held, dropped = tool.stop()
            traffic = "datagrams" if on == "lo" else "frames"
            print(f"{device:8}{traffic:>10}{size:>6}  {tool.name:9}{args.frames:>8}{held:>8}{dropped:>9}"
                  f"{held + dropped:>8}")
    for trickle in (40, 60):
        print(f"\n{trickle} frames at 5 a second ({trickle // 5} s) while each tool is stopped, then let go: "
              "held and dropped, in each of three runs\n")
        for tool in tools:
            runs = []
            for _ in range(3):
                tool.start()
                pause(tool.proc.pid)
                send(build, trickle, 60, rate=5)
                os.kill(tool.proc.pid, signal.SIGCONT)
                time.sleep(SETTLE)
                runs.append("%d+%d" % tool.stop())
            print(f"{tool.name:9}{'  '.join(runs)}")


def stops(build, listener, runs=10):
    print(f"The listener stopped (SIGTERM) straight after 5000 packets, {runs} runs each, writing into a pipe: "
          "packets counted, and milliseconds from the signal until its output was all written, until the "
          "reader saw the end of the pipe, and until the process had ended\n")
    print(f"{'device':8}{'traffic':>10}{'counted':>10}{'written':>16}{'end seen':>16}{'ended':>16}")
    for device, on in ((DEVICE, PEER), ("any", "lo"), ("lo", "lo")):
        counted, written, seen, ended = set(), [], [], []
        for _ in range(runs):
            r, w = os.pipe()
            listener.start(stdout=w, device=device)
            os.close(w)
            send(build, 5000, 60, on=on)
            start = time.monotonic()
            listener.proc.terminate()
            out, last = b"", start
            while data := os.read(r, 1 << 16):
                out, last = out + data, time.monotonic()
            seen.append(1000 * (time.monotonic() - start))
            written.append(1000 * (last - start))
            os.close(r)
            listener.proc.wait()
            ended.append(1000 * (time.monotonic() - start))
            counted.add(listener_count(out, "", 0, device)[0])
        traffic = "datagrams" if on == "lo" else "frames"
        print(f"{device:8}{traffic:>10}{'/'.join(map(str, sorted(counted))):>10}"
              + "".join(f"{min(t):>7.1f} to {max(t):<5.1f}" for t in (written, seen, ended)))


def stop_in_flood(build, args):
    print(f"200000 datagrams on lo at 50000 a second, SIGINT to the listener straight after the 100000th, "
          f"{args.runs} runs each: datagrams counted that were sent after the signal (median, and each run), "
          "and those sent before that were not counted\n")
    iptables = shutil.which("iptables", path=os.environ["PATH"] + ":/usr/sbin:/sbin")
    for kind, target in (("log", ["NFLOG", "--nflog-group", "0"]), ("queue", ["NFQUEUE", "--queue-num", "0"])):
        rule = ["OUTPUT", "-o", "lo", "-p", "udp", "-j", *target]
        subprocess.run([iptables, "-A", *rule], check=True)
        listener = Tool("listener", [f"{build}/listener", "nf" + kind], listener_count, netfilter_bound(kind))
        after, missing = [], []
        for _ in range(args.runs):
            listener.start(device="nf" + kind)
            subprocess.run([f"{build}/bench/sendframes", "lo", "200000", "60", "50000", str(listener.proc.pid),
                            "100000"], check=True, capture_output=True)
            listener.proc.wait()
            listener.out.seek(0)
            counted = listener_count(listener.out.read(), "", 0, "nf" + kind)[0]
            after.append(max(0, counted - 100000))
            missing.append(max(0, 100000 - counted))
        subprocess.run([iptables, "-D", *rule], check=True)
        print(f"nf{kind:6} after: {statistics.median(after):g} ({' '.join(map(str, after))}); "
              f"missing: {' '.join(map(str, missing))}")


def dbus(build, tools, args):
    print(f"{args.frames} signals of 8 bytes, then 1000 more, on a private session bus: messages counted "
          "(tcpdump: captured), of those the bus sent, resident KiB at the end, and whether the tool still "
          "read the bus\n")
    print(f"{'tool':9}{'counted':>9}{'sent':>9}{'RSS KiB':>9}  reading")
    directory = tempfile.mkdtemp()
    bus = subprocess.Popen(["dbus-daemon", "--session", "--nofork", "--address=unix:dir=" + directory,
                            "--print-address"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    address = bus.stdout.readline().decode().strip()
    os.environ["DBUS_SESSION_BUS_ADDRESS"] = address
    for tool in tools:
        tool.start(device="dbus-session")
        with DBusClient(address) as client:
            for n in (args.frames, 1000):
                for _ in range(n // 1000):
                    client.signals(1000, 8)
                deadline = time.monotonic() + 60
                while not dbus_waiting(tool.proc.pid) and time.monotonic() < deadline:
                    time.sleep(0.2)
            reading = dbus_waiting(tool.proc.pid)
            rss = proc_value(tool.proc.pid, "status", "VmRSS")
            counted, _ = tool.stop()
        # The monitor's own four messages, and the client's Hello and reply.
        print(f"{tool.name:9}{counted:>9}{4 + 2 + args.frames + 1000:>9}{rss:>9}  {'yes' if reading else 'no'}")
    bus.terminate()
    bus.wait()
    shutil.rmtree(directory)


def callgrind_total(path):
    with open(path) as f:
        return int(re.search(r"^(?:summary|totals): (\d+)", f.read(), re.M)[1])


def instructions(build, tools, args):
    seconds = args.frames / args.rate
    print(f"{args.frames} frames of {args.size} bytes at {args.rate:.0f} a second, under callgrind; "
          "user-space instructions\n")
    print(f"{'tool':9}{'loaded':>14}{'idle':>14}{'counted':>9}{'per packet':>12}")
    per_packet = {}
    for tool in tools:
        total = {}
        for loaded in (True, False):
            cg = tempfile.NamedTemporaryFile(suffix=".callgrind")
            tool.start(["valgrind", "--tool=callgrind", "--callgrind-out-file=" + cg.name])
            if loaded:
                send(build, args.frames, args.size, args.rate)
            else:
                time.sleep(seconds)
            time.sleep(SETTLE)
            counted, _ = tool.stop()
            total[loaded] = callgrind_total(cg.name)
            if loaded:
                loaded_counted, profile = counted, cg
        per_packet[tool.name] = (total[True] - total[False]) / loaded_counted
        print(f"{tool.name:9}{total[True]:>14}{total[False]:>14}{loaded_counted:>9}{per_packet[tool.name]:>12.1f}")
        if tool.name == "listener":
            listener_profile = subprocess.run(["callgrind_annotate", profile.name],
                                              capture_output=True, text=True).stdout
    ratio = per_packet['listener'] / per_packet['floor']
    print(f"\nlistener/floor: {ratio:.2f} (target: at most 1.10)\n")
    print("Where the listener's instructions go (loaded run, the costliest functions):")
    rows = re.findall(r"^\s*([\d,]+) \(\s*[\d.]+%\)\s+[^:\s]*:(.*?)(?: \[(.*)\])?$", listener_profile, re.M)
    for ir, function, obj in rows[:5]:
        print(f"{int(ir.replace(',', '')) / args.frames:>8.1f}/packet  {function}  {os.path.basename(obj)}")
    if args.check and ratio > 1.10:
        sys.exit(f"the listener takes {ratio:.2f} times the floor's instructions a packet, more than 1.10")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("build")
    ap.add_argument("--frames", type=int)
    ap.add_argument("--size", type=int, default=60)
    ap.add_argument("--rounds", type=int, default=6)
    ap.add_argument("--callgrind", action="store_true")
    ap.add_argument("--rate", type=float, default=20000)
    ap.add_argument("--slow-reader", action="store_true")
    ap.add_argument("--stalled", type=int, default=1000000)
    ap.add_argument("--bursts", action="store_true")
    ap.add_argument("--loopback", action="store_true")
    ap.add_argument("--check", action="store_true")
    ap.add_argument("--stops", action="store_true")
    ap.add_argument("--stop-in-flood", action="store_true")
    ap.add_argument("--runs", type=int, default=7)
    ap.add_argument("--nflog", action="store_true")
    ap.add_argument("--nfqueue", action="store_true")
    ap.add_argument("--dbus", action="store_true")
    args = ap.parse_args()
    args.netfilter = "log" if args.nflog else "queue" if args.nfqueue else None
    args.frames = args.frames or (50000 if args.callgrind else 30000 if args.bursts
                                  else 200000 if args.slow_reader else 1000000)
    args.device, args.send_on = (("nf" + args.netfilter, "lo") if args.netfilter else ("lo", "lo") if args.loopback
                                 else (DEVICE, PEER))
    build = os.path.abspath(args.build)
    # What make alone has not installed or built is said in one line.
    if not os.path.exists(f"{build}/listener"):
        sys.exit(f"{sys.argv[0]}: no listener in {build}: run make first")
    for needed, mode in (("valgrind", args.callgrind), ("iptables", args.netfilter or args.stop_in_flood)):
        if mode and shutil.which(needed, path=os.environ["PATH"] + ":/usr/sbin:/sbin") is None:
            sys.exit(f"{sys.argv[0]}: {needed} is missing: make bench installs it")
    if subprocess.run(["cmake", "--build", build, "--target", "sendframes", "pcapfloor"],
                      stdout=subprocess.DEVNULL).returncode != 0:
        sys.exit(f"{sys.argv[0]}: the benchmark's programs do not build in {build}")

    add_pair()
    ip("link", "set", "lo", "up")
    if args.netfilter:
        # Every datagram sendframes sends on lo, logged or queued once.
        iptables = shutil.which("iptables", path=os.environ["PATH"] + ":/usr/sbin:/sbin")
        target = ["NFLOG", "--nflog-group", "0"] if args.nflog else ["NFQUEUE", "--queue-num", "0"]
        subprocess.run([iptables, "-A", "OUTPUT", "-o", "lo", "-p", "udp", "-j", *target], check=True)
    ready = netfilter_bound(args.netfilter) if args.netfilter else capturing
    listener = Tool("listener", [f"{build}/listener", DEVICE], listener_count, ready)
    floor = Tool("floor", [f"{build}/bench/pcapfloor", DEVICE], floor_count, ready)
    if args.callgrind:
        instructions(build, [listener, floor], args)
        return
    if args.stops:
        stops(build, listener)
        return
    if args.stop_in_flood:
        stop_in_flood(build, args)
        return
    if args.dbus:
        tools = [Tool("listener", listener.cmd, listener_count, dbus_waiting)]
        if shutil.which("tcpdump"):
            tools.append(Tool("tcpdump", ["tcpdump", "-i", DEVICE, "-n", "-w", "/dev/null"], tcpdump_count,
                              dbus_waiting))
        dbus(build, tools, args)
        return
    # The floor writes nothing, so it has no place behind a reader; and it
    # holds what the listener holds.
    tools = [listener] if args.slow_reader or args.bursts else [listener, floor]
    if not (args.slow_reader or args.bursts or args.loopback or args.netfilter):
        tools.insert(1, Tool("to file", listener.cmd, listener_count, ready))
    if args.loopback:
        tools.append(Tool("defaults", [f"{build}/bench/pcapfloor", DEVICE, "defaults"], floor_count))
    if shutil.which("tcpdump"):
        tools.append(Tool("tcpdump", ["tcpdump", "-i", DEVICE, "-p", "-n", "-Z", "root",
                                      "-w", "-" if args.slow_reader else "/dev/null"], tcpdump_count, ready))
    else:
        print("tcpdump: not installed, so no peer row\n")
    if args.slow_reader:
        behind_readers(build, tools, args)
    elif args.bursts:
        bursts(build, tools, args)
    else:
        cpu_rounds(build, tools, args)


if __name__ == "__main__":
    enter()
    main()
