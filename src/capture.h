// The capture: the device opened live through libpcap, and what the kernel
// says of it. What the device is decides, once, where it is opened, how it
// is read and how it is counted; the loop and the ending read the fields
// below and never ask what the device is.

#ifndef LISTENER_CAPTURE_H
#define LISTENER_CAPTURE_H

#include <pcap/pcap.h>

#include <cstdint>
#include <ctime>

// How long the kernel may hold packets in the block of the ring it is
// filling before it hands them over. Each block it hands over takes a
// place in the ring until the listener runs, so a slow tick keeps a
// trickle that comes while the listener is stopped for longer. A stop does
// not wait for the block.
constexpr int read_timeout_ms = 2000;

struct capture {
	pcap_t *handle = nullptr;
	// What to poll for packets; -1 where libpcap gives nothing to poll
	// (D-Bus) and waits itself, looking every 100 ms for a break.
	int fd = -1;
	// A packet socket (every network device, lo, any): its ring takes only
	// packets that libpcap hands over, so the kernel's figures count them
	// exactly, handed over or not, and its drops. Elsewhere the figures
	// count something else, and the count is what libpcap delivers.
	bool ring = false;
	// Netlink (netfilter's log and queue): an error on the socket is an
	// overflow, which says that messages were lost, not how many.
	bool netlink = false;

	// The kernel's figures, carried into 64 bits from libpcap's 32-bit
	// counters, which wrap. taken: packets the ring took; dropped: those
	// it dropped for want of room, or the overflows of a netlink socket.
	struct pcap_stat seen = {};
	uint64_t taken = 0;
	uint64_t dropped = 0;
	// Why the figures could not be read the last time, or nullptr; and
	// when they are next read, in seconds of CLOCK_MONOTONIC_COARSE.
	const char *unread = nullptr;
	time_t due = 0;
	// At a stop, the socket memory that what waited in a netlink socket
	// takes, not yet read; and how much the socket held at the last look.
	uint64_t waiting = 0;
	uint64_t held = 0;
};

// Opens the device, non-blocking where there is something to poll. Returns
// the failure, as "call(): reason" with libpcap's text, or nullptr.
const char *open_capture(const char *device, capture &capture);

// Reads the kernel's figures into the capture; when due, if not forced:
// often enough that libpcap's counters cannot wrap between two reads.
void read_figures(capture &capture, bool forced);
void add_reading(capture &capture, const struct pcap_stat &reading);

// The line that says what the kernel dropped, or nullptr for nothing.
const char *drop_line(const capture &capture);

// Takes the error a netlink socket reports, an overflow, into the drops.
void take_overflow(capture &capture);

// At a stop: what waits in the capture is to be read, and nothing that
// comes after. holds_more() says, without waiting, whether some of it is
// still to read.
void hold_back(capture &capture);
bool holds_more(capture &capture);

#endif
