// The capture: the open, the waits and reads, the statistics, the fence.

#include "capture.h"
#include "failure.h"

#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_log.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <linux/netlink.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// One byte of each packet libpcap delivers, none of the rest: outgoing on
// lo (seen again incoming) and CAN frames sent (looped back by the CAN
// stack), which linux_check_direction() discards. Not pcap_setfilter(),
// which on refusal filters in user space. Then ETH_P_ALL, on that device.
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

// A config message to netfilter's log or queue, the same for each group of
// the device's name, parsed as libpcap parses it ("nflog:1,2"). No
// NLM_F_ACK: the reply would go to libpcap's reader, which skips an
// NLMSG_ERROR.
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
		config.nfgen = {AF_UNSPEC, NFNETLINK_V0, htons(p != nullptr ? static_cast<uint16_t>(strtol(p + 1, &end, 0)) : 0)};
		(void)sendto(fd, &config, config.header.nlmsg_len, 0, reinterpret_cast<const struct sockaddr *>(&kernel), sizeof kernel);
	} while ((p = end) != nullptr && *p == ',');
}

// Bursts held as a ring holds them: 2 MiB, past rmem_max where CAP_NET_ADMIN
// allows; one byte of each packet, not the snapshot (not 0: libpcap hands
// over only a message with a payload); nfqueue's maxlen past what the socket
// holds of those.
static void
size_netlink(int fd, const char *device, bool queue)
{
	const int size = 2 * 1024 * 1024;
	if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == -1)
		(void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
	config config = {};
	static_assert(NFQNL_COPY_PACKET == NFULNL_COPY_PACKET && sizeof config == 40);
	config.header = {queue ? 40U : 32U, 0, NLM_F_REQUEST, 0, 0};
	config.header.nlmsg_type = queue ? NFNL_SUBSYS_QUEUE << 8 | NFQNL_MSG_CONFIG : NFNL_SUBSYS_ULOG << 8 | NFULNL_MSG_CONFIG;
	config.first = {NLA_HDRLEN + 6, queue ? __u16{NFQA_CFG_PARAMS} : __u16{NFULA_CFG_MODE}};
	const uint32_t range = htonl(1);
	memcpy(config.first_value, &range, sizeof range);
	config.first_value[sizeof range] = NFQNL_COPY_PACKET;
	config.second = {NLA_HDRLEN + sizeof config.second_value, NFQA_CFG_QUEUE_MAXLEN};
	config.second_value = htonl(65536);
	send_to_groups(fd, device, config);
}

// NFULNL_CFG_CMD_UNBIND: __instance_destroy() flushes the batch the kernel
// holds for the group into the socket, within the sendto(), and a logger
// on another CPU then finds the instance's copy_mode disabled: the socket
// holds every packet logged before, and none after.
static void
unbind_log(int fd, const char *device)
{
	config config = {};
	config.header = {NLMSG_LENGTH(sizeof config.nfgen + NLA_HDRLEN + 4), NFNL_SUBSYS_ULOG << 8 | NFULNL_MSG_CONFIG,
	                 NLM_F_REQUEST, 0, 0};
	config.first = {NLA_HDRLEN + 1, NFULA_CFG_CMD};
	config.first_value[0] = NFULNL_CFG_CMD_UNBIND;
	send_to_groups(fd, device, config);
}

// An argument is at most MAX_ARG_STRLEN, 32 pages: 128 KiB on x86-64.
static constexpr size_t longest_argument = 32 * 4096;

const char *
open_capture(const char *device, capture &capture, const volatile sig_atomic_t &stopped)
{
	static char failure[longest_argument + 2 * PCAP_ERRBUF_SIZE + 64];
	char errbuf[PCAP_ERRBUF_SIZE];
	pcap_t *handle = pcap_create(device, errbuf);
	if (handle == nullptr)
		return fail(failure, "pcap_open_live()", errbuf);
	// MAXIMUM_SNAPLEN: nflog's reader recv()s into snapshot + 128 bytes and
	// would cut a longer batch of messages short, losing packets unsaid.
	// EtherType 0xFFFF (IEEE reserved): a packet socket takes nothing until
	// its filter is on. Other devices ignore it.
	const char *refused = nullptr;
	if (int status = pcap_set_snaplen(handle, 262144); status != 0)
		refused = fail(failure, "pcap_set_snaplen()", pcap_statustostr(status));
	else if ((status = pcap_set_timeout(handle, read_timeout_ms)) != 0)
		refused = fail(failure, "pcap_set_timeout()", pcap_statustostr(status));
	else if ((status = pcap_set_protocol_linux(handle, 0xFFFF)) != 0)
		refused = fail(failure, "pcap_set_protocol_linux()", pcap_statustostr(status));
	// A stop before the activation: nfqueue would be bound for a moment,
	// and drop what it took then at the close.
	if (refused != nullptr || stopped != 0) {
		pcap_close(handle);
		return refused;
	}
	if (int status = pcap_activate(handle); status < 0) {
		const char *why = pcap_geterr(handle);
		const bool explained = (status == PCAP_ERROR_NO_SUCH_DEVICE || status == PCAP_ERROR_PERM_DENIED ||
		                        status == PCAP_ERROR_PROMISC_PERM_DENIED) && why[0] != '\0';
		fail(failure, "pcap_open_live()", device, ": ", status == PCAP_ERROR ? why : pcap_statustostr(status),
		     explained ? " (" : "", explained ? why : "", explained ? ")" : "");
		pcap_close(handle);
		return failure;
	}
	const int fd = pcap_fileno(handle);
	int domain = -1;
	socklen_t length = sizeof domain;
	(void)getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length);
	if (const char *filtered = domain == AF_PACKET ? count_only_what_libpcap_delivers(fd) : nullptr) {
		pcap_close(handle);
		return filtered;
	}
	if (domain == AF_NETLINK)
		size_netlink(fd, device, capture.queue = pcap_datalink(handle) != DLT_NFLOG);
	capture.fd = pcap_get_selectable_fd(handle);
	if (capture.fd >= 0 && pcap_setnonblock(handle, 1, errbuf) == PCAP_ERROR) {
		pcap_close(handle);
		return fail(failure, "pcap_setnonblock()", errbuf);
	}
	capture.handle = handle;
	capture.device = device;
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
	(capture.netlink ? capture.overflows : capture.dropped) += reading.ps_drop - seen.ps_drop;
	capture.seen = reading;
}

// Taking SO_ERROR clears POLLERR and keeps ENOBUFS from libpcap's reader,
// which would recv() again and take EAGAIN for a failure.
static void
take_overflow(capture &capture)
{
	int error = 0;
	socklen_t length = sizeof error;
	if (getsockopt(capture.fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0)
		++capture.overflows;
}

static const char *
failed_read(const capture &capture)
{
	static char failure[PCAP_ERRBUF_SIZE + 16];
	return fail(failure, "pcap_loop()", pcap_geterr(capture.handle));
}

static const char *
read_statistics(capture &capture)
{
	struct pcap_stat reading;
	if (pcap_stats(capture.handle, &reading) == PCAP_ERROR) {
		static char failure[PCAP_ERRBUF_SIZE + 16];
		return fail(failure, "pcap_stats()", pcap_geterr(capture.handle));
	}
	add_reading(capture, reading);
	return nullptr;
}

// D-Bus: break first, so that dbus_read() returns after one read_write().
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
	// Every 10 s by the vDSO's clock: 2^32 packets in 10 s are 429 million/s.
	struct timespec now = {};
	if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) == 0 && now.tv_sec >= capture.due &&
	    read_statistics(capture) == nullptr)
		capture.due = now.tv_sec + 10;
	return nullptr;
}

// Fence: a filter that drops every message. netlink_unicast() runs it before
// netlink_attachskb(), so even a full socket queues nothing after: nfqueue's
// packets queued after get no verdict of ours, and drop at the close. The
// overflows before it are taken after, as none can follow it.
const char *
fence(capture &capture)
{
	struct sock_filter drop = BPF_STMT(BPF_RET | BPF_K, 0);
	const struct sock_fprog program = {1, &drop};
	const int attached = setsockopt(capture.fd, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program);
	const int error = errno;
	take_overflow(capture);
	if (attached == 0)
		return nullptr;
	static char failure[64];
	return fail(failure, "setsockopt()", strerror(error));
}

// nfqueue's own queue_dropped (over maxlen) and user_dropped (a full socket)
// for our portid, in place of the overflows, where /proc shows them.
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
			capture.dropped = (found ? capture.dropped : 0) + field[5] + field[6];
			found = true;
		}
	}
	(void)fclose(queues);
	if (found)
		capture.overflows = 0;
}

// Nothing more is read: a bus that died would give libdbus its
// Disconnected message. The ring's figures still count what it took.
const char *
end_capture(capture &capture, uint64_t &counted)
{
	const char *unread = read_statistics(capture);
	if (capture.ring) {
		counted = std::max(counted, capture.taken);
		return unread;
	}
	if (capture.queue)
		take_queue_drops(capture);
	close_capture(capture);
	return unread;
}

// The capture is shut first: the ring's figures read, nflog's groups
// unbound, netlink fenced. Then what was queued before: on netlink, what
// polls readable behind the fence; on D-Bus, what dbus_read() holds;
// elsewhere (usbmon) what polls readable.
const char *
stop_capture(capture &capture, pcap_handler callback, uint64_t &counted)
{
	if (capture.ring)
		return end_capture(capture, counted);
	if (capture.netlink && !capture.queue)
		unbind_log(capture.fd, capture.device);
	const char *shut = capture.netlink ? fence(capture) : nullptr;
	const char *unread = read_statistics(capture);
	if (capture.queue)
		take_queue_drops(capture);
	int got = 0;
	struct pollfd pfd = {capture.fd, POLLIN, 0};
	if (capture.fd < 0) {
		do
			pcap_breakloop(capture.handle);
		while ((got = pcap_dispatch(capture.handle, -1, callback, nullptr)) > 0);
	} else {
		while (shut == nullptr && got != PCAP_ERROR && poll(&pfd, 1, 0) == 1 && (pfd.revents & POLLIN) != 0)
			got = pcap_dispatch(capture.handle, -1, callback, nullptr);
	}
	const char *failure = shut != nullptr ? shut : unread;
	if (failure == nullptr && got == PCAP_ERROR)
		failure = failed_read(capture);
	close_capture(capture);
	return failure;
}

void
close_capture(capture &capture)
{
	if (capture.handle == nullptr)
		return;
	pcap_close(capture.handle);
	capture.handle = nullptr;
}

const char *
drop_line(const capture &capture)
{
	static char line[64];
	if (capture.dropped == 0)
		return capture.overflows != 0 ? "some packets dropped by the kernel" : nullptr;
	(void)snprintf(line, sizeof line, "%" PRIu64 " %s dropped by the kernel", capture.dropped,
	               capture.dropped == 1 ? "packet" : "packets");
	return line;
}
