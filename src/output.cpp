// Standard output: the count stream's text, the buffer, its writes, and
// the watch's judgement of them.

#include "output.h"

#include <limits.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

// Text made past the limit: the rest of the decade begun before it.
static constexpr size_t slack = 10 * longest_item;
// Room for the buffer-fulls one write may take: the text of a block of the
// capture's ring, which a wake hands over, fits in one.
static constexpr size_t room = size_t{32} * 1024;

static number_text next_number;
// Numbers made into text: those after it, up to the count, are still to make.
static uint64_t made;

// Text goes in at next, up to limit and past it by less than the slack,
// and out from sent, in whole blocks, the rest then moving to the start:
// buf <= sent <= next, and limit - buf is a whole number of blocks, one
// unless the destination is batched, and never more than the room.
static struct {
	char buf[room + slack];
	size_t block = BUFSIZ; // a buffer-full, as the C library sizes it
	char *limit = buf + BUFSIZ;
	char *next = buf;
	char *sent = buf;
	bool by_lines; // a terminal: each line goes out at once
	bool pipe;     // a pipe, named or not
	// Sent to with MSG_DONTWAIT, which spares the capture its waits without
	// touching the file status flags, shared with whoever handed it down.
	bool socket;
	// Polling tells a pipe or terminal has room; a file or another device
	// polls writable whether or not a write will wait.
	bool polled;
	// Neither polled nor a datagram socket, which keeps each write a
	// message: one write takes every whole buffer-full.
	bool batched;
	int error;
	const char *failed = "write()";
	// The watch: its ticks, once handed; the tick it last looked at (0, none
	// yet); and since then, whether a write returned, and what the reader of
	// a pipe, socket or terminal had still to take off its queue (-1: not
	// known).
	const volatile sig_atomic_t *ticks;
	sig_atomic_t looked;
	bool took;
	int queued = -1;
	bool stalled;
} out;

// Carries into the digits above, and moves the first digit when the number
// grows one; once in a hundred numbers, so kept out of line.
[[gnu::cold]] static void
carry(number_text &next, char *digit)
{
	while (*digit > '9') {
		*digit-- = '0';
		++*digit;
	}
	next.first = std::min(next.first, static_cast<size_t>(digit - next.digits));
}

static void
next_decade(number_text &next)
{
	char *tens = next.digits + longest_item - 4;
	tens[1] = '0';
	if (++*tens > '9' || tens < next.digits + next.first)
		carry(next, tens);
}

// Each item is copied with the longest item's length, a pair of moves; what
// lies past it is overwritten by the next item or never written.
char *
make_text(number_text &next, char *p, const char *end, uint64_t &owed)
{
	char *const last = next.digits + longest_item - 3;
	while (owed > 0 && p < end) {
		const char *first = next.digits + next.first;
		auto length = static_cast<size_t>(next.digits + longest_item - first);
		if (*last == '0' && owed >= 10) {
			// A whole decade, as most are: its items differ only in their
			// last digit, and unrolled, each is four moves and a store.
#pragma GCC unroll 10
			for (char digit = '0'; digit <= '9'; ++digit, p += length) {
				memcpy(p, first, longest_item);
				p[length - 3] = digit;
			}
			owed -= 10;
			next_decade(next);
		} else {
			memcpy(p, first, longest_item);
			p += length;
			--owed;
			if (++*last > '9')
				next_decade(next);
		}
	}
	return p;
}

// Blocks of the destination's preferred size up to BUFSIZ, BUFSIZ where it
// prefers none; but a pipe that polls writable is sure to take only
// PIPE_BUF bytes at once, whatever block its filesystem reports.
void
size_output()
{
	struct stat st = {};
	(void)fstat(STDOUT_FILENO, &st);
	if (st.st_blksize > 0 && st.st_blksize < BUFSIZ)
		out.block = static_cast<size_t>(st.st_blksize);
	out.pipe = S_ISFIFO(st.st_mode);
	if (out.pipe)
		out.block = std::min<size_t>(out.block, PIPE_BUF);
	out.socket = S_ISSOCK(st.st_mode);
	out.by_lines = isatty(STDOUT_FILENO) != 0;
	out.polled = out.by_lines || out.pipe;
	int type = SOCK_STREAM;
	socklen_t length = sizeof type;
	if (out.socket)
		(void)getsockopt(STDOUT_FILENO, SOL_SOCKET, SO_TYPE, &type, &length);
	out.batched = !out.polled && type == SOCK_STREAM;
	out.limit = out.buf + (out.batched ? room / out.block : 1) * out.block;
}

void
watch_output(const volatile sig_atomic_t *ticks)
{
	out.ticks = ticks;
}

// A reader that takes bytes, however slowly, is a reader; one that has
// stopped, or a terminal held with Ctrl-S, is not.
static void
look()
{
	int queued = -1;
	if (ioctl(STDOUT_FILENO, out.pipe ? FIONREAD : TIOCOUTQ, &queued) == -1)
		queued = -1;
	if (out.looked != 0 && !out.took && !(queued >= 0 && queued < out.queued))
		out.stalled = true;
	out.looked = *out.ticks;
	out.took = false;
	out.queued = queued;
}

// Unless told to wait, writes only while standard output has room, and not
// past a stop, whose signal interrupts a write that waits. A terminal with
// room for less than a buffer-full, a file on slow storage or another
// device can still keep a write waiting: polling cannot tell.
static void
write_out(const char *upto, bool wait)
{
	struct pollfd pfd = {STDOUT_FILENO, POLLOUT, 0};
	for (;;) {
		if (out.ticks != nullptr && *out.ticks != out.looked)
			look();
		if (out.sent >= upto || out.error != 0 || out.stalled)
			return;
		if (!wait && out.polled && poll(&pfd, 1, 0) != 1)
			return;
		auto n = static_cast<size_t>(upto - out.sent);
		ssize_t written = out.socket ? send(STDOUT_FILENO, out.sent, n, MSG_DONTWAIT)
		                             : write(STDOUT_FILENO, out.sent, n);
		if (written > 0) {
			out.sent += written;
			out.took = true;
		} else if (written == 0) {
			// Taking nothing, it would take nothing again, for ever: a
			// device with no room left.
			out.error = ENOSPC;
		} else if (errno == EAGAIN || errno == EWOULDBLOCK) {
			// Full for now. A failed poll (interrupted, short of memory)
			// only means trying the write again.
			if (!wait)
				return;
			(void)poll(&pfd, 1, -1);
		} else if (errno != EINTR) {
			out.error = errno;
		} else if (!wait) {
			return;
		}
	}
}

static char *
whole_blocks()
{
	auto whole = static_cast<size_t>(out.next - out.buf) / out.block;
	return out.buf + (out.batched ? whole : std::min<size_t>(whole, 1)) * out.block;
}

// Writes the whole buffer-fulls and moves the rest to the start; false if
// standard output has not taken them all and waiting was not allowed.
static bool
spill(bool wait)
{
	char *whole = whole_blocks();
	write_out(whole, wait);
	if (out.sent < whole && out.error == 0 && !out.stalled)
		return false;
	auto rest = static_cast<size_t>(out.next - whole);
	memmove(out.buf, whole, rest);
	out.next = out.buf + rest;
	out.sent = out.buf;
	return true;
}

static void
flush()
{
	write_out(out.next, true);
	out.next = out.sent = out.buf;
}

void
write_numbers(uint64_t counted, bool wait)
{
	while (out.error == 0 && !out.stalled) {
		uint64_t owed = counted - made;
		out.next = make_text(next_number, out.next, out.limit, owed);
		made = counted - owed;
		if (whole_blocks() == out.buf || !spill(wait))
			return;
	}
}

bool
output_behind()
{
	return whole_blocks() > out.sent;
}

void
say(std::initializer_list<const char *> pieces)
{
	for (const char *s : pieces) {
		for (size_t n = strlen(s); n > 0 && out.error == 0 && !out.stalled;) {
			if (out.next >= out.limit) {
				(void)spill(true);
				continue;
			}
			const size_t k = std::min(n, static_cast<size_t>(out.limit - out.next));
			memcpy(out.next, s, k);
			out.next += k;
			s += k;
			n -= k;
		}
	}
	if (out.by_lines)
		flush();
}

const char *
unsent_output(size_t &length)
{
	length = static_cast<size_t>(out.next - out.sent);
	return out.sent;
}

// Some filesystems (NFS, FUSE) say only at the close that a write failed.
void
close_output()
{
	flush();
	if (close(STDOUT_FILENO) == -1 && out.error == 0) {
		out.error = errno;
		out.failed = "close()";
	}
}

const char *
output_failure()
{
	static char text[64];
	if (out.error == 0)
		return nullptr;
	(void)snprintf(text, sizeof text, "%s: %s", out.failed, strerror(out.error));
	return text;
}

bool
output_stalled()
{
	return out.stalled;
}
