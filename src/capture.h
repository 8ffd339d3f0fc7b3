// The capture: one device opened live through libpcap, which it owns, with
// the kernel's figures for it. The open chooses, once, how the capture is
// waited for, read, stopped and counted (kinds.h); the caller never asks.
//
// - A packet socket (every network device, lo, any): a TPACKET_V3 ring
//   behind a socket filter that keeps one byte of each packet libpcap
//   delivers, and no other, so PACKET_STATISTICS counts exactly what was
//   delivered or dropped, whether or not libpcap has had its block yet.
// - Netlink (nflog, nfqueue): read only on POLLIN, as libpcap's
//   non-blocking reader takes EAGAIN for an error; ENOBUFS is an overflow.
//   nfqueue holds other programs' packets until libpcap's verdict.
// - D-Bus: libpcap waits on the bus itself. Elsewhere (usbmon, Bluetooth)
//   the count is what libpcap delivers.

#ifndef LISTENER_CAPTURE_H
#define LISTENER_CAPTURE_H

#include <pcap/pcap.h>

#include <csignal>
#include <cstdint>

// TPACKET_V3 block-retire timeout: long, so that a trickle during SIGSTOP
// fills few blocks. A stop reads PACKET_STATISTICS and never waits for a
// block.
constexpr int read_timeout_ms = 2000;

// Opens the device, non-blocking where there is a descriptor; on netlink,
// with the kernel copying one byte of each packet. A stop before the
// activation leaves it unopened. Returns the failure: "pcap_open_live(): "
// with libpcap's text as pcap_open_live() words it, whole;
// "pcap_set_...(): reason"; "call(): reason" where the packet socket's
// filter is refused; or nullptr.
const char *open_capture(const char *device, const volatile sig_atomic_t &stopped);

// Waits for packets, for wake_fd to be readable or for out_fd, unless -1,
// to be writable; then hands what is ready to callback, unless wake_fd
// woke it. Returns "pcap_loop(): reason", or nullptr.
const char *dispatch(int wake_fd, int out_fd, pcap_handler callback);

// At a stop: shuts the capture before anything else, then counts what was
// queued before the stop, and nothing after. On a packet socket that raises
// counted to what the ring queued (never lowers it). Elsewhere it reads
// what was queued, then closes the capture, so that no flush of standard
// output holds nfqueue's packets. Returns the first failure,
// "pcap_stats(): reason", "setsockopt(): reason" (no fence) or
// "pcap_loop(): reason", or nullptr.
const char *stop_capture(pcap_handler callback, uint64_t &counted);

// After a capture error: takes the kernel's figures as a stop does, reads
// no packet more, and closes all but a packet socket. Returns
// "pcap_stats(): reason", or nullptr.
const char *end_capture(uint64_t &counted);

// Closes the capture, if it is open.
void close_capture();

// "N packets dropped by the kernel", "some packets dropped by the kernel"
// where only overflows are known, or nullptr for none.
const char *drop_line();

// The open handle, for the benchmark's floor; nullptr if none.
pcap_t *capture_handle();

#endif
