// The stops: SIGINT, SIGTERM and SIGHUP, caught from the start unless they
// were ignored at exec (nohup), and never blocked, so each is heard at once.
//
// - 1st: first_stop, and a write to wake_fd, an eventfd, so that a poll(2)
//   begun just before it still returns. The listener ends by that signal
//   once everything is written.
// - 2nd: arm a 1 Hz SIGALRM watchdog, its first tick at once; a flush with
//   no progress between two ticks dies by the 2nd's signal.
// - A stop during the open arms a 1 s deadline: an open that has not
//   returned by then (a bus that never answers) ends the listener by the
//   stop, with what was said written as far as standard output takes it
//   without waiting.
//
// The handlers make async-signal-safe calls alone, and leave errno as
// they found it.

#ifndef LISTENER_STOPS_H
#define LISTENER_STOPS_H

#include <csignal>
#include <cstddef>

// The 1st stop's signal and the 2nd's, 0 until they come; set by the
// handler alone.
extern volatile sig_atomic_t first_stop;
extern volatile sig_atomic_t second_stop;
// The watchdog's ticks, from our own POSIX timer (SI_TIMER): a SIGALRM
// from outside is none. Counted by the handler alone.
extern volatile sig_atomic_t watch_ticks;
extern int wake_fd;

// Catches the stops and SIGALRM, and unblocks any of them, and SIGPIPE,
// blocked in the mask inherited at exec. Returns the failure, "call():
// reason", or nullptr.
const char *catch_stops();

// Around the open of the device. The text said and not yet written must
// stay in place until open_ends(): the deadline's handler writes it.
void open_begins(const char *text, size_t length);
void open_ends();

// Ends the process by the signal's default action, so that the caller sees
// the status it would have without the handler. Async-signal-safe.
void end_by(int signo);

#endif
