// The watchdog of the final flush after a second stop: a 1 Hz timer of its
// own (CLOCK_MONOTONIC, by SIGALRM), its first tick at once, and the
// judgement, "no progress between two ticks". A SIGALRM from outside (not
// SI_TIMER, or another timer's) is no tick.

#ifndef LISTENER_WATCHDOG_H
#define LISTENER_WATCHDOG_H

#include <cstdint>

// Makes the timer and catches SIGALRM, unblocked if the mask inherited at
// exec blocks it. Returns the failure, "call(): reason", or nullptr.
const char *make_watchdog();

// Starts the ticks, once; later calls change nothing. Async-signal-safe.
void arm_watchdog();

// Given up: a tick has come since the last check, and progress(), a count
// that grows with every sign that the reader takes text, is what it was
// at the check before. Checks only when a tick has come; stays true once
// true.
bool stalled(uint64_t (*progress)());

// For the unit tests: a tick, as the timer gives one.
void tick();

#endif
