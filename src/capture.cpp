// The capture: the open, the socket filter, the wait and the reads, the
// kernel's statistics, the fence at the end, and the close.

#include "capture.h"
#include "failure.h"

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

// One byte of each packet libpcap delivers, none of the rest: outgoing on
// lo (seen again incoming) and CAN frames sent (looped back by the CAN
// stack), which linux_check_direction() discards. Set by us, not by
// pcap_setfilter(), which on refusal falls back to filtering in user space.
// Then rebound from EtherType 0xFFFF to ETH_P_ALL on the same device.
static const char *
count_only_what_libpcap_delivers(int fd)
{
	static char failure[64];
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
	if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&bound), &size) == -1)
		return fail(failure, "getsockname()", strerror(errno));
	bound.sll_protocol = htons(ETH_P_ALL);
	if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &counted, sizeof counted) == -1)
		return fail(failure, "setsockopt()", strerror(errno));
	if (bind(fd, reinterpret_cast<struct sockaddr *>(&bound), sizeof bound) == -1)
		return fail(failure, "bind()", strerror(errno));
	return nullptr;
}

const char *
open_capture(const char *device, capture &capture)
{
	static char failure[PCAP_ERRBUF_SIZE + 32];
	char errbuf[PCAP_ERRBUF_SIZE];
	pcap_t *handle = pcap_create(device, errbuf);
	if (handle == nullptr)
		return fail(failure, "pcap_open_live()", errbuf);
	// MAXIMUM_SNAPLEN: nflog's reader recv()s into snapshot + 128 bytes and
	// would cut a longer batch of messages short, losing packets unsaid.
	(void)pcap_set_snaplen(handle, 262144);
	(void)pcap_set_timeout(handle, read_timeout_ms);
	// EtherType 0xFFFF (IEEE reserved): a packet socket takes nothing until
	// its filter is on. Other devices ignore it.
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
		return fail(failure, "pcap_open_live()", errbuf);
	}
	const int fd = pcap_fileno(handle);
	int domain = -1;
	socklen_t length = sizeof domain;
	(void)getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length);
	if (const char *refused = domain == AF_PACKET ? count_only_what_libpcap_delivers(fd) : nullptr) {
		pcap_close(handle);
		return refused;
	}
	// 2 MiB, as libpcap's ring, past rmem_max where CAP_NET_ADMIN allows:
	// nfnetlink drops what the socket cannot queue.
	if (const int size = 2 * 1024 * 1024;
	    domain == AF_NETLINK && setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == -1)
		(void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
	capture.fd = pcap_get_selectable_fd(handle);
	if (capture.fd >= 0 && pcap_setnonblock(handle, 1, errbuf) == PCAP_ERROR) {
		pcap_close(handle);
		return fail(failure, "pcap_setnonblock()", errbuf);
	}
	capture.handle = handle;
	capture.ring = domain == AF_PACKET;
	capture.netlink = domain == AF_NETLINK;
	return nullptr;
}

// Unsigned 32-bit differences stay right across a wrap.
void
add_reading(capture &capture, const struct pcap_stat &reading)
{
	const struct pcap_stat &seen = capture.seen;
	capture.taken += (reading.ps_recv - reading.ps_drop) - (seen.ps_recv - seen.ps_drop);
	capture.dropped += reading.ps_drop - seen.ps_drop;
	capture.seen = reading;
}

// Taking SO_ERROR clears the POLLERR, and keeps the ENOBUFS from libpcap's
// reader, which would recv() again and take EAGAIN for a failure.
static void
take_overflow(capture &capture)
{
	int error = 0;
	socklen_t length = sizeof error;
	if (getsockopt(capture.fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0)
		++capture.dropped;
}

static const char *
failed_read(const capture &capture)
{
	static char failure[PCAP_ERRBUF_SIZE + 16];
	return fail(failure, "pcap_loop()", pcap_geterr(capture.handle));
}

// D-Bus: pcap_breakloop() first, so that dbus_read() hands over a message
// it holds, or returns after one 100 ms dbus_connection_read_write().
const char *
dispatch(capture &capture, int wake_fd, int out_fd, pcap_handler callback)
{
	int got = 0;
	if (capture.fd < 0) {
		pcap_breakloop(capture.handle);
		got = pcap_dispatch(capture.handle, -1, callback, nullptr);
	} else {
		struct pollfd fds[] = {{capture.fd, POLLIN, 0}, {wake_fd, POLLIN, 0}, {out_fd, POLLOUT, 0}};
		// Where a device that went down can only be seen gone by a look.
		const struct timeval *tv = pcap_get_required_select_timeout(capture.handle);
		const int ready = poll(fds, 3, tv != nullptr ? static_cast<int>(tv->tv_sec * 1000 + tv->tv_usec / 1000) : -1);
		if (fds[1].revents != 0)
			return nullptr;
		if (capture.netlink && (fds[0].revents & POLLERR) != 0)
			take_overflow(capture);
		if (ready == 0 || (fds[0].revents & (capture.netlink ? POLLIN : ~0)) != 0)
			got = pcap_dispatch(capture.handle, -1, callback, nullptr);
	}
	if (got == PCAP_ERROR)
		return failed_read(capture);
	// Every 10 s by the vDSO's coarse clock: 2^32 packets in that time
	// would be 429 million a second. A failed read is tried again.
	struct timespec now = {};
	struct pcap_stat reading;
	if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) == 0 && now.tv_sec >= capture.due &&
	    pcap_stats(capture.handle, &reading) == 0) {
		add_reading(capture, reading);
		capture.due = now.tv_sec + 10;
	}
	return nullptr;
}

static uint64_t
receive_memory(int fd)
{
	uint32_t memory[SK_MEMINFO_VARS] = {};
	socklen_t length = sizeof memory;
	(void)getsockopt(fd, SOL_SOCKET, SO_MEMINFO, memory, &length);
	return memory[SK_MEMINFO_RMEM_ALLOC];
}

// Fence: queue a 4 KiB NLMSG_NOOP to ourselves as a sentinel, then
// SO_RCVBUF=0: netlink_attachskb() refuses while rmem_alloc > rcvbuf, so
// only the messages queued before the end are read, counted down by their
// rmem_alloc. The ENOBUFS of the refusals is no drop.
void
hold_back(capture &capture)
{
	take_overflow(capture);
	capture.waiting = capture.held = receive_memory(capture.fd);
	char sentinel[4096] = {};
	struct nlmsghdr header = {};
	header.nlmsg_len = sizeof sentinel;
	header.nlmsg_type = NLMSG_NOOP;
	memcpy(sentinel, &header, sizeof header);
	struct sockaddr_nl self = {};
	socklen_t length = sizeof self;
	if (getsockname(capture.fd, reinterpret_cast<struct sockaddr *>(&self), &length) == 0)
		(void)sendto(capture.fd, sentinel, sizeof sentinel, MSG_DONTWAIT, reinterpret_cast<struct sockaddr *>(&self),
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

// The statistics are read before the fence, whose refusals libpcap's
// netlink reader would count as drops. Elsewhere what is queued is what
// polls readable (usbmon), or what dbus_read() holds.
const char *
drain(capture &capture, pcap_handler callback, uint64_t &counted)
{
	struct pcap_stat reading;
	const char *unread = nullptr;
	if (pcap_stats(capture.handle, &reading) == PCAP_ERROR) {
		static char failure[PCAP_ERRBUF_SIZE + 16];
		unread = fail(failure, "pcap_stats()", pcap_geterr(capture.handle));
	} else {
		add_reading(capture, reading);
	}
	if (capture.ring) {
		counted = std::max(counted, capture.taken);
		return unread;
	}
	int got = 0;
	if (capture.fd < 0) {
		do
			pcap_breakloop(capture.handle);
		while ((got = pcap_dispatch(capture.handle, -1, callback, nullptr)) > 0);
	} else {
		if (capture.netlink)
			hold_back(capture);
		while (got != PCAP_ERROR && holds_more(capture))
			got = pcap_dispatch(capture.handle, -1, callback, nullptr);
	}
	const char *read_failure = got == PCAP_ERROR ? failed_read(capture) : nullptr;
	close_capture(capture);
	return unread != nullptr ? unread : read_failure;
}

void
close_capture(capture &capture)
{
	if (capture.handle == nullptr)
		return;
	pcap_close(capture.handle);
	capture.handle = nullptr;
	capture.fd = -1;
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
