// Standard output: the count stream and the lines printed, buffered as
// stdio would (BUFSIZ, or st_blksize if smaller; a pipe at most PIPE_BUF;
// line buffered on a terminal), but written with write(2), so that a
// failed, short or would-block write is seen. A pipe or terminal gets one
// block a write; a file, a device or a stream socket every whole block
// ready, in one write; a datagram socket one block a message. The buffer
// is fixed and this room's alone: numbers not yet formatted are kept as a
// range, however far behind the reader falls.
//
// The first failure is kept; from then on, what is written is dropped. A
// write that waits asks give_up, if set, first and each time a signal
// interrupts it (EINTR): once it says so, nothing more is written.

#ifndef LISTENER_OUTPUT_H
#define LISTENER_OUTPUT_H

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

// Formats, from p, the items of the pending numbers that begin before
// end, and takes them off pending; returns where the text ends. Writes
// less than make_text_overrun bytes past end.
char *make_text(number_text &next, char *p, const char *end, uint64_t &pending);

// Sizes the blocks for what standard output is; before anything is
// printed.
void size_output();

// What a waiting write asks whether to give up, given a count that grows
// with every write that returns and every byte the reader of a pipe,
// socket or terminal takes off its queue (FIONREAD, TIOCOUTQ).
void give_up_when(bool (*give_up)(uint64_t (*progress)()));

// Formats the numbers up to counted and writes the whole blocks:
// if told to wait, all of them; otherwise what standard output takes
// without waiting. Returns the failure, "write(): reason", or nullptr.
const char *write_numbers(uint64_t counted, bool wait);

// True while a whole block waits that standard output has not accepted.
bool output_behind();

// Adds a line, in pieces, after the text formatted so far, writing the
// blocks it fills; on a terminal, the whole line.
void say(std::initializer_list<const char *> pieces);

// Writes what the buffer holds as far as standard output takes it without
// waiting, and leaves the buffer as it was: for the last words of a
// process about to end. Async-signal-safe, in a handler that interrupts
// no other function of this room's.
void write_without_waiting();

// Writes out everything and closes standard output, so that its reader
// sees EOF at once. Returns the first failure, "write(): reason" or
// "close(): reason" (NFS and FUSE report some write errors only at close),
// or nullptr.
const char *close_output();

// Whether give_up returned true.
bool output_given_up();

#endif
