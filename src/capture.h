// The capture: one device opened live through libpcap. What its descriptor
// is (SO_DOMAIN) decides, once, at the open, how the capture is waited for,
// read, counted at the end and closed; the caller never asks.
//
// - AF_PACKET (every network device, lo, any): a TPACKET_V3 ring behind a
//   socket filter that keeps one byte of each packet libpcap delivers, and
//   no other, so PACKET_STATISTICS counts exactly what was delivered or
//   dropped, whether or not libpcap has had its block yet.
// - AF_NETLINK (nflog, nfqueue): read only on POLLIN, as libpcap's
//   non-blocking reader takes EAGAIN for an error; ENOBUFS is an overflow,
//   which says that messages were lost, not how many. nfqueue holds other
//   programs' packets until libpcap's verdict.
// - No descriptor (D-Bus): libpcap waits on the bus itself.
// Elsewhere (usbmon) the count is what libpcap delivers.
//
// The fields are written by the functions below alone.

#ifndef LISTENER_CAPTURE_H
#define LISTENER_CAPTURE_H

#include <pcap/pcap.h>

#include <csignal>
#include <cstdint>
#include <ctime>

// TPACKET_V3 block-retire timeout: long, so that a trickle during SIGSTOP
// fills few blocks. The end reads PACKET_STATISTICS and never waits for a
// block.
constexpr int read_timeout_ms = 2000;

struct capture {
	pcap_t *handle = nullptr;
	const char *device = nullptr; // argv's, which lives as long as the process
	int fd = -1; // pcap_get_selectable_fd(); -1 for D-Bus
	bool ring = false;
	bool netlink = false;
	bool queue = false; // nfqueue

	// libpcap's 32-bit ps_recv and ps_drop, as last read, carried into 64
	// bits: taken, what the ring took; dropped, the packets the kernel
	// dropped (the ring's, or nfqueue's own figures at the end). On netlink
	// ps_drop and ENOBUFS count overflows instead, which say that messages
	// were lost, not how many. Read again when due (CLOCK_MONOTONIC_COARSE
	// seconds), before the counters can wrap.
	struct pcap_stat seen = {};
	uint64_t taken = 0;
	uint64_t dropped = 0;
	uint64_t overflows = 0;
	time_t due = 0;
};

// Opens the device, non-blocking where there is a descriptor; on netlink,
// with the kernel copying one byte of each packet. A stop before the
// activation leaves it unopened. Returns the failure,
// "pcap_open_live(): " with libpcap's text as pcap_open_live() words it,
// whole, "pcap_set_...(): reason", or nullptr.
const char *open_capture(const char *device, capture &capture, const volatile sig_atomic_t &stopped);

// Waits for packets, for wake_fd to be readable or for out_fd, unless -1,
// to be writable; then hands what is ready to callback, unless wake_fd
// woke it. Returns "pcap_loop(): reason", or nullptr.
const char *dispatch(capture &capture, int wake_fd, int out_fd, pcap_handler callback);

// At a stop: shuts the capture before anything else, then counts what it
// held from before the stop, and nothing after. On a packet socket that
// raises counted to what the ring took (never lowers it). Elsewhere it
// reads what was queued, then closes the capture, so that no write-out
// holds nfqueue's packets. Returns "pcap_stats(): reason",
// "setsockopt(): reason" (no fence) or "pcap_loop(): reason", or nullptr.
const char *stop_capture(capture &capture, pcap_handler callback, uint64_t &counted);

// After a capture error: reads the kernel's statistics as stop_capture()
// does, and no packet more, and closes all but a packet socket. Returns
// "pcap_stats(): reason", or nullptr.
const char *end_capture(capture &capture, uint64_t &counted);

// Closes the capture, if it is open.
void close_capture(capture &capture);

// "N packets dropped by the kernel", "some packets dropped by the kernel"
// where only overflows are known, or nullptr for none.
const char *drop_line(const capture &capture);

// For the unit tests: a PACKET_STATISTICS reading carried into the
// capture's figures; the netlink fence, "setsockopt(): reason" or nullptr.
void add_reading(capture &capture, const struct pcap_stat &reading);
const char *fence(capture &capture);

#endif
