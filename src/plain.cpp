// Captures counted as libpcap delivers them: D-Bus, where libpcap waits on
// the bus itself and gives nothing to poll, and a descriptor that is
// neither a packet socket nor netlink (usbmon, Bluetooth).

#include "kinds.h"

#include <poll.h>

#include <algorithm>
#include <climits>

// Broken first, dbus_read() returns after one read_write() of 100 ms.
static const char *
dispatch_bus(capture &capture, int, int, pcap_handler callback)
{
	pcap_breakloop(capture.handle);
	if (pcap_dispatch(capture.handle, -1, callback, nullptr) == PCAP_ERROR)
		return failed_read(capture);
	return nullptr;
}

// Nothing to shut: what dbus_read() pops while broken is what libdbus read
// off the bus before the stop, and the first read_write() ends it.
static const char *
stop_bus(capture &capture, pcap_handler callback, uint64_t &)
{
	int got = 0;
	do
		pcap_breakloop(capture.handle);
	while ((got = pcap_dispatch(capture.handle, -1, callback, nullptr)) > 0);
	const char *failure = got == PCAP_ERROR ? failed_read(capture) : nullptr;
	close_handle(capture);
	return failure;
}

static const char *
dispatch_descriptor(capture &capture, int wake_fd, int out_fd, pcap_handler callback)
{
	const int ready = wait_for(capture, wake_fd, out_fd, nullptr);
	if (ready > 0 && pcap_dispatch(capture.handle, -1, callback, nullptr) == PCAP_ERROR)
		return failed_read(capture);
	return nullptr;
}

// What polls readable, but no more than ps_recv says had come by the stop
// (usbmon's counts what its buffer holds), so that a flood cannot keep it.
static const char *
stop_descriptor(capture &capture, pcap_handler callback, uint64_t &counted)
{
	const char *failure = read_statistics(capture);
	uint64_t left = capture.figures.received > counted ? capture.figures.received - counted : 0;
	struct pollfd pfd = {capture.fd, POLLIN, 0};
	int got = 1;
	while (failure == nullptr && left > 0 && got > 0 && poll(&pfd, 1, 0) == 1 && pfd.revents != 0) {
		got = pcap_dispatch(capture.handle, static_cast<int>(std::min<uint64_t>(left, INT_MAX)), callback, nullptr);
		if (got == PCAP_ERROR)
			failure = failed_read(capture);
		else if (got > 0)
			left -= static_cast<uint64_t>(got);
	}
	close_handle(capture);
	return failure;
}

const kind bus = {dispatch_bus, stop_bus, end_and_close, false};
const kind descriptor = {dispatch_descriptor, stop_descriptor, end_and_close, false};
