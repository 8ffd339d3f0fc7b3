// A packet socket's capture: every network device, lo and any. Its
// TPACKET_V3 ring is read by libpcap a block at a time; PACKET_STATISTICS
// counts what the socket filter let into the ring, handed over or not, and
// what the ring dropped.

#include "failure.h"
#include "kinds.h"

#include <linux/filter.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netpacket/packet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

// One byte of each packet libpcap delivers, none of the rest: outgoing on
// lo (seen again incoming) and CAN frames sent (looped back by the CAN
// stack), which linux_check_direction() discards. Not pcap_setfilter(),
// which on refusal filters in user space. Then ETH_P_ALL, on that device.
const char *
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

// libpcap asks for a timeout where a device that went down can only be
// seen gone by a read.
static const char *
dispatch_ring(capture &capture, int wake_fd, int out_fd, pcap_handler callback)
{
	const int ready = wait_for(capture, wake_fd, out_fd, pcap_get_required_select_timeout(capture.handle));
	if (ready > 0 && pcap_dispatch(capture.handle, -1, callback, nullptr) == PCAP_ERROR)
		return failed_read(capture);
	return nullptr;
}

// PACKET_STATISTICS is the shutter: what the ring queues after the reading
// is not counted, and what it queued before is, handed over or not.
static const char *
end_ring(capture &capture, uint64_t &counted)
{
	const char *unread = read_statistics(capture);
	counted = std::max(counted, capture.figures.received - capture.figures.dropped);
	return unread;
}

static const char *
stop_ring(capture &capture, pcap_handler, uint64_t &counted)
{
	return end_ring(capture, counted);
}

const kind ring = {dispatch_ring, stop_ring, end_ring, false};
