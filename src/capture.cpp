// The capture: the open, which chooses the kind; the statistics; and what
// every kind shares.

#include "capture.h"
#include "failure.h"
#include "kinds.h"

#include <poll.h>
#include <sys/socket.h>

#include <cinttypes>
#include <cstdio>
#include <ctime>

static struct capture opened;

// An argument is at most MAX_ARG_STRLEN, 32 pages: 128 KiB on x86-64. The
// failure quotes the device's name and two texts of libpcap's.
static constexpr size_t longest_argument = static_cast<size_t>(32) * 4096;
static constexpr size_t longest_open_failure = longest_argument + 2 * static_cast<size_t>(PCAP_ERRBUF_SIZE) + 64;

// MAXIMUM_SNAPLEN: nflog's reader recv()s into snapshot + 128 bytes and
// would cut a longer batch of messages short, losing packets with no drop
// reported.
// EtherType 0xFFFF (IEEE reserved): a packet socket takes nothing until its
// filter is on. Other devices ignore it. A stop before the activation
// leaves the device unactivated: nfqueue would be bound for a moment, and
// drop what it took then at the close.
static const char *
activate(pcap_t *handle, const char *device, const volatile sig_atomic_t &stopped)
{
	static char failure[longest_open_failure];
	if (int status = pcap_set_snaplen(handle, 262144); status != 0)
		return fail(failure, "pcap_set_snaplen()", pcap_statustostr(status));
	if (int status = pcap_set_timeout(handle, read_timeout_ms); status != 0)
		return fail(failure, "pcap_set_timeout()", pcap_statustostr(status));
	if (int status = pcap_set_protocol_linux(handle, 0xFFFF); status != 0)
		return fail(failure, "pcap_set_protocol_linux()", pcap_statustostr(status));
	if (stopped != 0)
		return nullptr;
	const int status = pcap_activate(handle);
	if (status >= 0)
		return nullptr;
	const char *why = pcap_geterr(handle);
	const bool explained = (status == PCAP_ERROR_NO_SUCH_DEVICE || status == PCAP_ERROR_PERM_DENIED ||
	                        status == PCAP_ERROR_PROMISC_PERM_DENIED) &&
	                       why[0] != '\0';
	return fail(failure, "pcap_open_live()", device, ": ", status == PCAP_ERROR ? why : pcap_statustostr(status),
	            explained ? " (" : "", explained ? why : "", explained ? ")" : "");
}

const char *
open_capture(const char *device, const volatile sig_atomic_t &stopped)
{
	static char failure[PCAP_ERRBUF_SIZE + 32];
	char errbuf[PCAP_ERRBUF_SIZE];
	pcap_t *handle = pcap_create(device, errbuf);
	if (handle == nullptr)
		return fail(failure, "pcap_open_live()", errbuf);
	const char *refused = activate(handle, device, stopped);
	if (refused != nullptr || stopped != 0) {
		pcap_close(handle);
		return refused;
	}
	const int fd = pcap_get_selectable_fd(handle);
	int domain = -1;
	socklen_t length = sizeof domain;
	(void)getsockopt(pcap_fileno(handle), SOL_SOCKET, SO_DOMAIN, &domain, &length);
	const kind *chosen = fd < 0 ? &bus : &descriptor;
	if (domain == AF_PACKET) {
		chosen = &ring;
		refused = count_only_what_libpcap_delivers(pcap_fileno(handle));
	} else if (domain == AF_NETLINK) {
		const bool queue = pcap_datalink(handle) != DLT_NFLOG;
		chosen = queue ? &netfilter_queue : &netfilter_log;
		size_netlink(fd, device, queue);
	}
	if (refused == nullptr && fd >= 0 && pcap_setnonblock(handle, 1, errbuf) == PCAP_ERROR)
		refused = fail(failure, "pcap_setnonblock()", errbuf);
	if (refused != nullptr) {
		pcap_close(handle);
		return refused;
	}
	opened = {handle, fd, device, chosen, {}, 0};
	return nullptr;
}

void
add_reading(figures &figures, const struct pcap_stat &reading, bool overflows)
{
	figures.received += reading.ps_recv - figures.seen.ps_recv;
	(overflows ? figures.overflows : figures.dropped) += reading.ps_drop - figures.seen.ps_drop;
	figures.seen = reading;
}

const char *
read_statistics(capture &capture)
{
	struct pcap_stat reading;
	if (pcap_stats(capture.handle, &reading) == PCAP_ERROR) {
		static char failure[PCAP_ERRBUF_SIZE + 16];
		return fail(failure, "pcap_stats()", pcap_geterr(capture.handle));
	}
	add_reading(capture.figures, reading, capture.kind->drops_are_overflows);
	return nullptr;
}

const char *
failed_read(const capture &capture)
{
	static char failure[PCAP_ERRBUF_SIZE + 16];
	return fail(failure, "pcap_loop()", pcap_geterr(capture.handle));
}

void
close_handle(capture &capture)
{
	if (capture.handle == nullptr)
		return;
	pcap_close(capture.handle);
	capture.handle = nullptr;
}

const char *
end_and_close(capture &capture, uint64_t &)
{
	const char *unread = read_statistics(capture);
	close_handle(capture);
	return unread;
}

int
wait_for(const capture &capture, int wake_fd, int out_fd, const struct timeval *timeout)
{
	struct pollfd fds[] = {{capture.fd, POLLIN, 0}, {wake_fd, POLLIN, 0}, {out_fd, POLLOUT, 0}};
	const int timeout_ms = timeout != nullptr ? static_cast<int>(timeout->tv_sec * 1000 + timeout->tv_usec / 1000) : -1;
	const int ready = poll(fds, 3, timeout_ms);
	if (fds[1].revents != 0)
		return -1;
	return ready == 0 ? POLLIN : fds[0].revents;
}

// Every 10 s by the vDSO's clock: 2^32 packets in 10 s are 429 million/s.
const char *
dispatch(int wake_fd, int out_fd, pcap_handler callback)
{
	if (const char *failure = opened.kind->dispatch(opened, wake_fd, out_fd, callback))
		return failure;
	struct timespec now = {};
	if (clock_gettime(CLOCK_MONOTONIC_COARSE, &now) == 0 && now.tv_sec >= opened.due &&
	    read_statistics(opened) == nullptr)
		opened.due = now.tv_sec + 10;
	return nullptr;
}

const char *
stop_capture(pcap_handler callback, uint64_t &counted)
{
	return opened.kind->stop(opened, callback, counted);
}

const char *
end_capture(uint64_t &counted)
{
	return opened.kind->end(opened, counted);
}

void
close_capture()
{
	close_handle(opened);
}

const char *
drops(const figures &figures)
{
	static char line[64];
	if (figures.dropped == 0)
		return figures.overflows != 0 ? "some packets dropped by the kernel" : nullptr;
	(void)snprintf(line, sizeof line, "%" PRIu64 " %s dropped by the kernel", figures.dropped,
	               figures.dropped == 1 ? "packet" : "packets");
	return line;
}

const char *
drop_line()
{
	return drops(opened.figures);
}

pcap_t *
capture_handle()
{
	return opened.handle;
}
