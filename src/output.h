// Standard output: the count stream and the lines said, buffered as stdio
// would (BUFSIZ, or st_blksize if smaller; a pipe at most PIPE_BUF; line
// buffered on a terminal), but written with write(2), so that a failed,
// short or would-block write is seen. A pipe or terminal gets one block a
// write; a file, a device or a stream socket every whole block ready, in
// one write; a datagram socket one block a message. The buffer is fixed:
// numbers not yet made into text are kept as a range, however far behind
// the reader falls.
//
// The first failure is kept; from then on, what is written is dropped.
// Once the 2nd stop's watchdog ticks, a write-out that makes no progress
// between two ticks (no write returned, the reader's queue, FIONREAD or
// TIOCOUTQ, no shorter) is given up as stalled: nothing more is written.

#ifndef LISTENER_OUTPUT_H
#define LISTENER_OUTPUT_H

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

// The longest item of the count stream: twenty digits and ", ".
constexpr size_t longest_item = 22;
// How far past its end make_text() may write: a decade begun before the
// end, each item copied with longest_item bytes.
constexpr size_t make_text_overrun = 10 * longest_item;

// ASCII decimal counter: 20 zero-padded digits and ", "; the item starts at
// digits[first]. Sized 2 x longest_item so a fixed 22-byte memcpy never
// reads past it.
struct number_text {
	char digits[2 * longest_item] = "00000000000000000001, ";
	size_t first = longest_item - 3;
};

// Makes, from p, the items of the owed numbers that begin before end, and
// takes them off owed; returns where the text ends. Writes less than
// make_text_overrun bytes past end.
char *make_text(number_text &next, char *p, const char *end, uint64_t &owed);

// Sizes the blocks for what standard output is; before anything is said.
void size_output();

// The watchdog's tick count, kept by the stops.
void watch_output(const volatile sig_atomic_t *ticks);

// Makes the text of the numbers up to counted and writes the whole blocks:
// if told to wait, all of them; otherwise what standard output takes
// without waiting. Returns the failure, "write(): reason", or nullptr.
const char *write_numbers(uint64_t counted, bool wait);

// True while a whole block waits that standard output has not taken.
bool output_behind();

// Adds a line, in pieces, after the text made so far, writing the blocks it
// fills; on a terminal, the whole line.
void say(std::initializer_list<const char *> pieces);

// What is said and not yet written.
const char *unsent_output(size_t &length);

// Writes out everything and closes standard output, so that its reader
// sees EOF at once. Returns the first failure, "write(): reason" or
// "close(): reason" (NFS and FUSE report some write errors only at close),
// or nullptr.
const char *close_output();

// Whether the watchdog gave standard output up.
bool output_stalled();

#endif
