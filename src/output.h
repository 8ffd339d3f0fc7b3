// Standard output: the count stream and the lines said, buffered as the C
// library would buffer them, but written with write(2), so that a failed,
// short or would-block write is seen. Text goes out a buffer-full, of the
// size the destination prefers, at a time: one to a pipe, which then takes
// it without waiting, or a terminal, which also gets each line at once;
// every whole one that is ready, in one call, to a file, a device or a
// stream socket. The buffer's memory is fixed: the numbers not yet made
// into text are kept as a range, however far behind the reader falls.
//
// A failure of standard output is kept, and from then on what is written
// is dropped. The watch, once the second stop has started its ticks, looks
// at standard output at each of them, and gives it up, as stalled, once it
// has taken nothing from one tick to the next: nothing more is written.

#ifndef LISTENER_OUTPUT_H
#define LISTENER_OUTPUT_H

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

// The longest item of the count stream: twenty digits and ", ".
constexpr size_t longest_item = 22;

// The next number of the count stream, kept as decimal text with its ", ",
// so that making a number is adding one to the last digit, not turning a
// binary number into text anew. Twenty digits outlast a 64-bit count. Zeros
// lead them up to digits[first], never past the last digit; the room past
// the text lets every item be copied with the longest item's length.
struct number_text {
	char digits[2 * longest_item] = "00000000000000000001, ";
	size_t first = longest_item - 3;
};

// Makes, from p, the text of as many of the owed numbers as begin before
// end, and takes them off owed; returns where the text ends, which is past
// end by less than the text of one decade. Bytes past the text may be
// written.
char *make_text(number_text &next, char *p, const char *end, uint64_t &owed);

// Sizes the buffer for what standard output is; before anything is said.
void size_output();

// The watch's ticks, counted by whoever keeps the stops.
void watch_output(const volatile sig_atomic_t *ticks);

// Makes the text of the numbers counted, up to counted, and writes it: if
// told to wait, until only a part of a buffer-full is left; otherwise only
// what standard output takes without keeping the capture waiting.
void write_numbers(uint64_t counted, bool wait);

// True while a buffer-full is ready that standard output has not taken.
bool output_behind();

// Adds a line, given in pieces, after the text made so far, writing the
// buffer-fulls it fills, and the whole line on a terminal.
void say(std::initializer_list<const char *> pieces);

// What has been said and not yet written, as one piece of text.
const char *unsent_output(size_t &length);

// Writes out everything buffered, and closes standard output, so that its
// reader sees the end at once; a failed close is kept as a failed write is.
void close_output();

// How standard output failed, as "write(): reason" or "close(): reason", or
// nullptr.
const char *output_failure();

// Whether the watch gave standard output up.
bool output_stalled();

#endif
