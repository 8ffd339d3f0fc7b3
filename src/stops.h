// The stops: SIGINT, SIGTERM and SIGHUP, caught from the start unless they
// were ignored at exec (nohup), and never blocked, so each is heard at once.
//
// - 1st: first_stop, and a write to wake_fd, an eventfd, so that a poll(2)
//   begun just before it still returns. The listener ends by that signal
//   once everything is written.
// - 2nd: second_stop, and the caller's on_second.
// - A stop during the open arms a 1 s deadline, a timer of its own that
//   fires with a stop's signal (SI_TIMER): an open that has not returned
//   by then (a bus that never answers) ends the listener by the stop,
//   after the caller's last_words.
//
// The handlers make async-signal-safe calls alone, and leave errno as
// they found it.

#ifndef LISTENER_STOPS_H
#define LISTENER_STOPS_H

#include <csignal>

// The 1st stop's signal and the 2nd's, 0 until they come; set by the
// handler alone.
extern volatile sig_atomic_t first_stop;
extern volatile sig_atomic_t second_stop;
extern int wake_fd;

// Catches the stops, and unblocks any of them, and SIGPIPE, blocked in
// the mask inherited at exec. on_second must be async-signal-safe.
// Returns the failure, "call(): reason", or nullptr.
const char *catch_stops(void (*on_second)());

// Around the open of the device. last_words, async-signal-safe, is what
// the deadline's handler calls before it ends the listener.
void open_begins(void (*last_words)());
void open_ends();

// Ends the process by the signal's default action, so that the caller sees
// the status it would have without the handler. Async-signal-safe.
void end_by(int signo);

#endif
