// Netfilter's log and queue (nflog, nfqueue), over a netlink socket that
// libpcap reads only on POLLIN: its non-blocking reader takes EAGAIN for an
// error. ENOBUFS is an overflow, which says that messages were lost, not
// how many; nfqueue's own figures in /proc say how many packets.

#include "failure.h"
#include "kinds.h"

#include <linux/filter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_log.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// A config message to the log or the queue, the same for each group of the
// device's name, parsed as libpcap parses it ("nflog:1,2"). No NLM_F_ACK:
// the reply would go to libpcap's reader, which skips an NLMSG_ERROR.
struct config {
	struct nlmsghdr header;
	struct nfgenmsg nfgen;
	struct nlattr first;
	uint8_t first_value[8]; // nfqnl_msg_config_params, nfulnl_msg_config_mode or _cmd
	struct nlattr second;
	uint32_t second_value;
};

static void
send_to_groups(int fd, const char *device, config &config)
{
	const struct sockaddr_nl kernel = {AF_NETLINK, 0, 0, 0};
	const char *p = strchr(device, ':');
	char *end = nullptr;
	do {
		const auto group = static_cast<uint16_t>(p != nullptr ? strtol(p + 1, &end, 0) : 0);
		config.nfgen = {AF_UNSPEC, NFNETLINK_V0, htons(group)};
		(void)sendto(fd, &config, config.header.nlmsg_len, 0, reinterpret_cast<const struct sockaddr *>(&kernel),
		             sizeof kernel);
	} while ((p = end) != nullptr && *p == ',');
}

// Room for bursts, as a ring has: 2 MiB, past rmem_max where
// CAP_NET_ADMIN allows; one byte of each packet, not the snapshot (not 0:
// libpcap hands over only a message with a payload); nfqueue's maxlen past
// what the socket holds of those.
void
size_netlink(int fd, const char *device, bool queue)
{
	const int size = 2 * 1024 * 1024;
	if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == -1)
		(void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
	config copy = {};
	static_assert(NFQNL_COPY_PACKET == NFULNL_COPY_PACKET && sizeof copy == 40);
	copy.header = {queue ? 40U : 32U, 0, NLM_F_REQUEST, 0, 0};
	copy.header.nlmsg_type = queue ? NFNL_SUBSYS_QUEUE << 8 | NFQNL_MSG_CONFIG : NFNL_SUBSYS_ULOG << 8 | NFULNL_MSG_CONFIG;
	copy.first = {NLA_HDRLEN + 6, queue ? __u16{NFQA_CFG_PARAMS} : __u16{NFULA_CFG_MODE}};
	const uint32_t range = htonl(1);
	memcpy(copy.first_value, &range, sizeof range);
	copy.first_value[sizeof range] = NFQNL_COPY_PACKET;
	copy.second = {NLA_HDRLEN + sizeof copy.second_value, NFQA_CFG_QUEUE_MAXLEN};
	copy.second_value = htonl(65536);
	send_to_groups(fd, device, copy);
}

// NFULNL_CFG_CMD_UNBIND: __instance_destroy() flushes the batch the kernel
// holds for the group into the socket, within the sendto(), and a logger
// on another CPU then finds the instance's copy_mode disabled: the socket
// holds every packet logged before, and none after.
static void
unbind_log(int fd, const char *device)
{
	config unbind = {};
	unbind.header = {NLMSG_LENGTH(sizeof unbind.nfgen + NLA_HDRLEN + 4), NFNL_SUBSYS_ULOG << 8 | NFULNL_MSG_CONFIG,
	                 NLM_F_REQUEST, 0, 0};
	unbind.first = {NLA_HDRLEN + 1, NFULA_CFG_CMD};
	unbind.first_value[0] = NFULNL_CFG_CMD_UNBIND;
	send_to_groups(fd, device, unbind);
}

// netlink_unicast() runs the filter before netlink_attachskb(), so even a
// full socket queues nothing after it: nfqueue's packets queued after get
// no verdict of ours, and drop at the close.
const char *
fence(int fd)
{
	struct sock_filter drop = BPF_STMT(BPF_RET | BPF_K, 0);
	const struct sock_fprog program = {1, &drop};
	if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) == 0)
		return nullptr;
	static char failure[64];
	return fail(failure, "setsockopt()", strerror(errno));
}

// Taking SO_ERROR clears POLLERR and keeps ENOBUFS from libpcap's reader,
// which would recv() again and take EAGAIN for a failure.
static void
take_overflow(capture &capture)
{
	int error = 0;
	socklen_t length = sizeof error;
	if (getsockopt(capture.fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0)
		++capture.figures.overflows;
}

static const char *
dispatch_netlink(capture &capture, int wake_fd, int out_fd, pcap_handler callback)
{
	const int ready = wait_for(capture, wake_fd, out_fd, nullptr);
	if (ready > 0 && (ready & POLLERR) != 0)
		take_overflow(capture);
	if (ready > 0 && (ready & POLLIN) != 0 && pcap_dispatch(capture.handle, -1, callback, nullptr) == PCAP_ERROR)
		return failed_read(capture);
	return nullptr;
}

// nfqueue's own queue_dropped (over maxlen) and user_dropped (a full
// socket) for our portid, in place of the overflows, where /proc shows
// them. A packet the fence refuses is no drop: netlink_unicast() reports
// it delivered, and the queue holds it until the close.
static void
take_queue_drops(capture &capture)
{
	struct sockaddr_nl self = {};
	socklen_t length = sizeof self;
	FILE *queues = nullptr;
	if (getsockname(capture.fd, reinterpret_cast<struct sockaddr *>(&self), &length) == -1 ||
	    (queues = fopen("/proc/net/netfilter/nfnetlink_queue", "re")) == nullptr)
		return;
	bool found = false;
	unsigned long field[7]; // queue, portid, total, mode, range, queue_dropped, user_dropped
	for (char row[128]; fgets(row, sizeof row, queues) != nullptr;) {
		char *p = row;
		std::generate(field, field + 7, [&p] { return strtoul(p, &p, 10); });
		if (field[1] == self.nl_pid) {
			capture.figures.dropped = (found ? capture.figures.dropped : 0) + field[5] + field[6];
			found = true;
		}
	}
	(void)fclose(queues);
	if (found)
		capture.figures.overflows = 0;
}

static const char *
end_queue(capture &capture, uint64_t &counted)
{
	take_queue_drops(capture);
	return end_and_close(capture, counted);
}

// Behind the fence, what polls readable was queued before it; without
// one, nothing is read.
static const char *
read_fenced(capture &capture, const char *unfenced, const char *unread, pcap_handler callback)
{
	struct pollfd pfd = {capture.fd, POLLIN, 0};
	int got = 0;
	while (unfenced == nullptr && got != PCAP_ERROR && poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLIN) != 0)
		got = pcap_dispatch(capture.handle, -1, callback, nullptr);
	const char *failure = unfenced != nullptr ? unfenced : unread;
	if (failure == nullptr && got == PCAP_ERROR)
		failure = failed_read(capture);
	close_handle(capture);
	return failure;
}

// The overflows before the fence are read after it, as none can follow.
static const char *
stop_log(capture &capture, pcap_handler callback, uint64_t &)
{
	unbind_log(capture.fd, capture.device);
	const char *unfenced = fence(capture.fd);
	take_overflow(capture);
	return read_fenced(capture, unfenced, read_statistics(capture), callback);
}

static const char *
stop_queue(capture &capture, pcap_handler callback, uint64_t &)
{
	const char *unfenced = fence(capture.fd);
	take_overflow(capture);
	const char *unread = read_statistics(capture);
	take_queue_drops(capture);
	return read_fenced(capture, unfenced, unread, callback);
}

const kind netfilter_log = {dispatch_netlink, stop_log, end_and_close, true};
const kind netfilter_queue = {dispatch_netlink, stop_queue, end_queue, true};
