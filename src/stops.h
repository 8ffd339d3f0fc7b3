// The stops: SIGINT, SIGTERM and SIGHUP, caught from the start unless they
// were ignored then, and never blocked, so that each is heard at once. The
// first ends the capture; the listener ends by it once everything is
// written. A second starts the watch, by which a write-out that standard
// output no longer takes ends, by the second's own signal. A stop during
// the open of the device ends the listener a second later if the open has
// not returned by then.
//
// The handlers only set the state below, write to wake_fd, set the timer
// going and break a wait that libpcap makes itself: async-signal-safe
// calls alone, with errno left as they found it.

#ifndef LISTENER_STOPS_H
#define LISTENER_STOPS_H

#include <pcap/pcap.h>

#include <csignal>
#include <cstddef>

// The first stop's signal and the second's, 0 until they come; set by the
// handlers alone.
extern volatile sig_atomic_t first_stop;
extern volatile sig_atomic_t second_stop;
// The watch's ticks: one as the second stop comes, then one a second, by
// SIGALRM from a timer of the listener's own; a SIGALRM from outside is
// none. Counted by the handler alone.
extern volatile sig_atomic_t watch_ticks;
// An eventfd that turns readable at the first stop: a poll(2) that began
// just before the stop came still ends at once.
extern int wake_fd;

// Catches the stops and the watch's ticks, and lets in any of them blocked
// in the mask inherited from the parent. Returns the failure, as
// "call(): reason", or nullptr.
const char *catch_stops();

// The capture whose wait libpcap makes itself (D-Bus), which the first stop
// then breaks with pcap_breakloop(); nullptr for none. Handed back nullptr
// before the capture is closed: no handler uses a handle after that.
void break_on_stop(pcap_t *handle);

// Around the open of the device, which may never return (a bus that never
// answers). Given the text said and not yet written: a stop that the open
// outlasts by a second writes it out and ends the listener by its signal.
// The text must stay in place until open_ends(): a handler reads it.
void open_begins(const char *text, size_t length);
void open_ends();

#endif
