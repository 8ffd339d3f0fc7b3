// The kinds of capture, and the state they share with the open. What the
// capture's descriptor is (SO_DOMAIN) chooses, once, at the open, one table
// of what differs between them: how the capture is waited for and read,
// what a stop shuts and reads, and what libpcap's ps_drop counts.
//
// - ring (ring.cpp): AF_PACKET, every network device, lo and any.
// - netfilter_log, netfilter_queue (netlink.cpp): nflog and nfqueue.
// - bus, descriptor (plain.cpp): D-Bus, and the rest (usbmon, Bluetooth),
//   counted as libpcap delivers.
//
// A kind's stop shuts the capture before anything else, and reads no more
// than was queued at the stop. For capture.cpp, the kinds and the unit tests:
// listener.cpp has capture.h.

#ifndef LISTENER_KINDS_H
#define LISTENER_KINDS_H

#include <pcap/pcap.h>

#include <cstdint>
#include <ctime>

// libpcap's 32-bit ps_recv and ps_drop, as last read, carried into 64 bits.
// ps_drop is the kernel's count of packets dropped, but on netlink, where
// it counts ENOBUFS overflows, which say that messages were lost, not how
// many.
struct figures {
	struct pcap_stat seen;
	uint64_t received;
	uint64_t dropped;
	uint64_t overflows;
};

struct capture;

struct kind {
	// Waits for packets, for wake_fd to be readable or for out_fd, unless
	// -1, to be writable; hands what is ready to callback, unless wake_fd
	// woke it. Returns "pcap_loop(): reason", or nullptr.
	const char *(*dispatch)(capture &capture, int wake_fd, int out_fd, pcap_handler callback);
	// At a stop: shuts the capture, reads the figures, counts what was
	// queued before; closes it, but a packet socket, whose close waits for
	// synchronize_net(). Returns the first failure, or nullptr.
	const char *(*stop)(capture &capture, pcap_handler callback, uint64_t &counted);
	// After a capture error: the figures, and no read.
	const char *(*end)(capture &capture, uint64_t &counted);
	bool drops_are_overflows;
};

extern const kind ring, netfilter_log, netfilter_queue, bus, descriptor;

// Written by the open, then by the kind's functions alone.
struct capture {
	pcap_t *handle = nullptr;
	int fd = -1;                  // pcap_get_selectable_fd(); -1 for D-Bus
	const char *device = nullptr; // argv's, which lives as long as the process
	const struct kind *kind = nullptr;
	struct figures figures = {};
	time_t due = 0; // when the figures are read again, before they can wrap
};

// Unsigned 32-bit differences stay right across a wrap.
void add_reading(figures &figures, const struct pcap_stat &reading, bool overflows);
// "N packets dropped by the kernel", "some packets dropped by the kernel"
// where only overflows are known, or nullptr for none.
const char *drops(const figures &figures);

// capture.cpp's, for the kinds: pcap_stats() into the figures, or
// "pcap_stats(): reason"; "pcap_loop(): reason"; the close; an end after
// a capture error that reads the figures and closes; and a wait
// for the capture's descriptor, wake_fd or out_fd, which returns the
// descriptor's revents, POLLIN when the timeout (none if nullptr) passed,
// or -1 if wake_fd woke it.
const char *read_statistics(capture &capture);
const char *failed_read(const capture &capture);
void close_handle(capture &capture);
const char *end_and_close(capture &capture, uint64_t &counted);
int wait_for(const capture &capture, int wake_fd, int out_fd, const struct timeval *timeout);

// What the open sets up for a kind: the packet socket's filter and bind,
// "call(): reason" or nullptr; netlink's buffer and one-byte copies.
const char *count_only_what_libpcap_delivers(int fd);
void size_netlink(int fd, const char *device, bool queue);

// The netlink fence, a filter that drops every message: "setsockopt():
// reason", or nullptr.
const char *fence(int fd);

#endif
