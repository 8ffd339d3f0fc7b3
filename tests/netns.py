"""What the tests and the benchmark share: a private network namespace to
run in, a veth pair there whose only frames are one's own, and whether a
process's capture is on."""
import os
import signal
import subprocess
import sys
import time

# The listener captures on DEVICE; frames are sent on PEER.
DEVICE, PEER = "veth1", "veth0"


def read(path):
    with open(path) as f:
        return f.read()


def write(path, text):
    with open(path, "w") as f:
        f.write(text)


def enter():
    """Runs the calling script again in network and mount namespaces of its
    own, unless it runs in them already; an ordinary user becomes root of a
    user namespace of their own. There IPv6 is off, so that the kernel sends
    nothing of its own accord. Where the namespaces are refused, says why in
    one line, and what to do, and ends."""
    if os.environ.get("LISTENER_NETNS") != "1":
        os.environ["LISTENER_NETNS"] = "1"
        unshare = ["unshare", "--net", "--mount", *([] if os.geteuid() == 0 else ["--map-root-user"])]
        refused = subprocess.run([*unshare, "true"], capture_output=True, text=True).stderr
        if "propagation" in refused:
            # unshare makes the new namespace's mounts private, which needs /
            # to be a mount point: in a chroot it is not.
            sys.exit(f"{sys.argv[0]}: the tests need mount namespaces, and / is not a mount point here (a "
                     "chroot?): bind-mount the root onto itself before entering it, or run them in a container or VM")
        if refused and os.geteuid() != 0:
            sys.exit(f"{sys.argv[0]}: the tests need a user namespace, which is refused here (in a chroot, or by "
                     "the kernel's settings): run them as root, in a container or VM")
        if refused:
            sys.exit(f"{sys.argv[0]}: the tests need network and mount namespaces, which are refused here "
                     f"({refused.strip()}): run them as root in a container or VM")
        os.execvp("unshare", [*unshare, sys.executable, *sys.argv])
    for conf in ("all", "default"):
        write(f"/proc/sys/net/ipv6/conf/{conf}/disable_ipv6", "1")


def ip(*args):
    subprocess.run(["ip", *args], check=True)


def add_pair():
    """The veth pair, up, with room for jumbo frames."""
    ip("link", "add", PEER, "mtu", "9000", "type", "veth", "peer", "name", DEVICE, "mtu", "9000")
    ip("link", "set", PEER, "up")
    ip("link", "set", DEVICE, "up")


def sockets(pid):
    """The inodes of the process's sockets."""
    inodes = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            link = os.readlink(f"/proc/{pid}/fd/{fd}")
        except FileNotFoundError:  # closed meanwhile
            continue
        if link.startswith("socket:["):
            inodes.add(link[8:-1])
    return inodes


def capturing(pid):
    """Whether the process's capture is on: it has a packet socket bound to
    every protocol, in the namespace's own /proc/net/packet. The listener
    binds its socket so once its filter is on; libpcap binds tcpdump's once
    its ring is set up."""
    rows = [line.split() for line in read("/proc/net/packet").splitlines()[1:]]
    return any(row[3] == "0003" and row[8] in sockets(pid) for row in rows)


def frames_received(device):
    """How many frames the device has received, from the namespace's own
    /proc/net/dev."""
    line = next(line for line in read("/proc/net/dev").splitlines() if line.strip().startswith(device + ":"))
    return int(line.split(":")[1].split()[1])


def state(pid):
    """The process's state: R running, S sleeping, T stopped, Z a zombie."""
    return read(f"/proc/{pid}/stat").rsplit(")", 1)[1].split()[0]


def pause(pid):
    """Stops the process (SIGSTOP), and returns once it is stopped."""
    os.kill(pid, signal.SIGSTOP)
    while state(pid) != "T":
        time.sleep(0.01)
