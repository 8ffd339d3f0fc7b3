// The capture: the open, the socket's filter, and the kernel's figures.

#include "capture.h"

#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

// Copied, as it outlives the handle, which a capture that holds other
// programs' traffic closes before the report.
static char failure[PCAP_ERRBUF_SIZE + 32];

static const char *
fail(const char *call, const char *text)
{
	(void)snprintf(failure, sizeof failure, "%s: %s", call, text);
	return failure;
}

// The kernel keeps of a packet what the socket's filter returns, not the
// snapshot: unfiltered, its ring would fill with bytes nobody reads. This
// filter keeps one byte of every packet but those that libpcap would take
// from the ring only to throw away: a packet leaving the loopback device,
// which comes in there too, and any frame sent on a CAN device, whatever
// its protocol, which the CAN stack loops back (libpcap looks only at the
// device's type). So the ring holds only packets that are counted, and the
// kernel's figures count them. It is set on the socket itself, as libpcap,
// were the kernel to refuse it, would warn on standard error and keep
// whole packets. Then the socket is bound to every protocol, on the device
// libpcap bound it to; a failed look at that fails the bind.
static const char *
count_only_what_libpcap_delivers(int fd)
{
	const auto loopback = static_cast<__u32>(if_nametoindex("lo"));
	struct sock_filter program[] = {
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<__u32>(SKF_AD_OFF) + SKF_AD_PKTTYPE),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 0, 4),
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<__u32>(SKF_AD_OFF) + SKF_AD_IFINDEX),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, loopback, 3, 0),
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<__u32>(SKF_AD_OFF) + SKF_AD_HATYPE),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ARPHRD_CAN, 1, 0),
		BPF_STMT(BPF_RET | BPF_K, 1),
		BPF_STMT(BPF_RET | BPF_K, 0),
	};
	struct sock_fprog counted = {sizeof program / sizeof program[0], program};
	struct sockaddr_ll bound = {};
	socklen_t size = sizeof bound;
	(void)getsockname(fd, reinterpret_cast<struct sockaddr *>(&bound), &size);
	bound.sll_protocol = htons(ETH_P_ALL);
	if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &counted, sizeof counted) == -1)
		return fail("setsockopt()", strerror(errno));
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&bound), sizeof bound) == -1)
		return fail("bind()", strerror(errno));
	return nullptr;
}

// The failure is said as pcap_open_live says it.
const char *
open_capture(const char *device, capture &capture)
{
	char errbuf[PCAP_ERRBUF_SIZE];
	pcap_t *handle = pcap_create(device, errbuf);
	if (handle == nullptr)
		return fail("pcap_open_live()", errbuf);
	// libpcap's largest snapshot: it reads netfilter's log, which the kernel
	// sends in batches of messages, into a buffer of the snapshot and 128
	// bytes, and would cut a batch longer than that, losing the packets past
	// the cut without a word. A packet socket keeps only what its filter
	// returns.
	(void)pcap_set_snaplen(handle, 262144);
	(void)pcap_set_timeout(handle, read_timeout_ms);
	// Bound to EtherType 0xFFFF, which no packet has (IEEE reserves it), a
	// packet socket takes nothing until its filter is on: a packet taken
	// before, that libpcap would throw away, would count. Other devices
	// take no notice.
	(void)pcap_set_protocol_linux(handle, 0xFFFF);
	if (int status = pcap_activate(handle); status < 0) {
		const char *why = pcap_geterr(handle);
		const bool explained = status == PCAP_ERROR_NO_SUCH_DEVICE || status == PCAP_ERROR_PERM_DENIED ||
		                       status == PCAP_ERROR_PROMISC_PERM_DENIED;
		if (status == PCAP_ERROR)
			(void)snprintf(errbuf, sizeof errbuf, "%s: %s", device, why);
		else if (explained && why[0] != '\0')
			(void)snprintf(errbuf, sizeof errbuf, "%s: %s (%s)", device, pcap_statustostr(status), why);
		else
			(void)snprintf(errbuf, sizeof errbuf, "%s: %s", device, pcap_statustostr(status));
		pcap_close(handle);
		return fail("pcap_open_live()", errbuf);
	}
	const int fd = pcap_fileno(handle);
	int domain = -1;
	socklen_t length = sizeof domain;
	(void)getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length);
	if (const char *refused = domain == AF_PACKET ? count_only_what_libpcap_delivers(fd) : nullptr) {
		pcap_close(handle);
		return refused;
	}
	// What libpcap asks for a packet socket's ring, 2 MiB, not the system's
	// far smaller default: the kernel drops the traffic that a queue's
	// socket cannot hold. Forced past the system's ceiling where the
	// capability allows.
	if (const int ring_size = 2 * 1024 * 1024; domain == AF_NETLINK &&
	    setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &ring_size, sizeof ring_size) == -1)
		(void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &ring_size, sizeof ring_size);
	// So that the loop can wait for packets, for a stop and for room in
	// standard output at once; where there is nothing to poll, libpcap
	// waits itself.
	capture.fd = pcap_get_selectable_fd(handle);
	if (capture.fd >= 0 && pcap_setnonblock(handle, 1, errbuf) == PCAP_ERROR) {
		pcap_close(handle);
		return fail("pcap_setnonblock()", errbuf);
	}
	capture.handle = handle;
	capture.ring = domain == AF_PACKET;
	capture.netlink = domain == AF_NETLINK;
	return nullptr;
}

// Differences of unsigned 32-bit numbers stay right across a wrap.
void
add_reading(capture &capture, const struct pcap_stat &reading)
{
	const struct pcap_stat &seen = capture.seen;
	capture.taken += (reading.ps_recv - reading.ps_drop) - (seen.ps_recv - seen.ps_drop);
	capture.dropped += reading.ps_drop - seen.ps_drop;
	capture.seen = reading;
}

// Every ten seconds, by a clock read without a system call: 2^32 packets
// in that time would be 429 million a second, more than a socket takes.
void
read_figures(capture &capture, bool forced)
{
	struct timespec now = {};
	(void)clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
	if (!forced && now.tv_sec < capture.due)
		return;
	capture.due = now.tv_sec + 10;
	struct pcap_stat reading;
	if (pcap_stats(capture.handle, &reading) == PCAP_ERROR) {
		capture.unread = fail("pcap_stats()", pcap_geterr(capture.handle));
		return;
	}
	capture.unread = nullptr;
	add_reading(capture, reading);
}

const char *
drop_line(const capture &capture)
{
	static char line[64];
	if (capture.dropped == 0)
		return nullptr;
	if (capture.netlink)
		return "some packets dropped by the kernel";
	(void)snprintf(line, sizeof line, "%" PRIu64 " %s dropped by the kernel", capture.dropped,
	               capture.dropped == 1 ? "packet" : "packets");
	return line;
}

// Taking it stops the poll from reporting it, and keeps it from libpcap's
// reader, which would then try the socket again and, non-blocking, take
// the EAGAIN for a failure. ENOBUFS is the only error the kernel sets on a
// netlink socket.
void
take_overflow(capture &capture)
{
	int error = 0;
	socklen_t length = sizeof error;
	if (getsockopt(capture.fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0)
		++capture.dropped;
}

static uint64_t
receive_memory(int fd)
{
	uint32_t memory[SK_MEMINFO_VARS] = {};
	socklen_t length = sizeof memory;
	(void)getsockopt(fd, SOL_SOCKET, SO_MEMINFO, memory, &length);
	return memory[SK_MEMINFO_RMEM_ALLOC];
}

// Netlink: the kernel takes no message into a socket whose memory is over
// its receive buffer, nor, from the first it refuses, any until the socket
// is empty. A message of the socket's own, sent to itself behind what
// waited and larger than the least buffer, is never read: with the buffer
// at its least, the socket is then never empty nor under it while what
// waited is read and its memory counted down, and all that comes after is
// refused. The error the refusals leave is no drop.
void
hold_back(capture &capture)
{
	if (!capture.netlink)
		return;
	take_overflow(capture);
	capture.waiting = capture.held = receive_memory(capture.fd);
	char last[4096] = {};
	struct nlmsghdr header = {};
	header.nlmsg_len = sizeof last;
	header.nlmsg_type = NLMSG_NOOP;
	memcpy(last, &header, sizeof header);
	struct sockaddr_nl self = {};
	socklen_t length = sizeof self;
	if (getsockname(capture.fd, reinterpret_cast<struct sockaddr *>(&self), &length) == 0)
		(void)sendto(capture.fd, &last, sizeof last, MSG_DONTWAIT, reinterpret_cast<struct sockaddr *>(&self),
		             sizeof self);
	const int least = 0;
	(void)setsockopt(capture.fd, SOL_SOCKET, SO_RCVBUF, &least, sizeof least);
}

bool
holds_more(capture &capture)
{
	if (capture.netlink) {
		int error = 0;
		socklen_t length = sizeof error;
		(void)getsockopt(capture.fd, SOL_SOCKET, SO_ERROR, &error, &length);
		const uint64_t now = receive_memory(capture.fd);
		capture.waiting -= std::min(capture.waiting, capture.held > now ? capture.held - now : 0);
		capture.held = now;
		if (capture.waiting == 0)
			return false;
	}
	struct pollfd pfd = {capture.fd, POLLIN, 0};
	return poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLIN) != 0;
}
