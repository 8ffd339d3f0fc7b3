// Standard output: the count stream's text, the buffer and its writes.

#include "output.h"
#include "failure.h"

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

// The most one batched write takes: the text of a TPACKET_V3 block.
static constexpr size_t batch = size_t{32} * 1024;

static number_text next_number;
// Numbers formatted; those after it, up to the count, are pending.
static uint64_t formatted;

// Text goes in at next, up to limit (and past it by make_text_overrun),
// and out from sent, in whole blocks, the rest then moved to the start:
// buf <= sent <= next; limit - buf is one block, or batch / block whole
// blocks where batched.
static struct {
	char buf[batch + make_text_overrun];
	size_t block = BUFSIZ;
	char *limit = buf + BUFSIZ;
	char *next = buf;
	char *sent = buf;
	bool by_lines; // isatty()
	bool pipe;     // S_ISFIFO
	// send(MSG_DONTWAIT): O_NONBLOCK would change the open file description
	// shared with whoever handed it down.
	bool socket;
	// POLLOUT on a pipe or terminal means room; a file always polls ready.
	bool polled;
	// Not polled, and not SOCK_DGRAM, which keeps each write a message.
	bool batched;
	int error;
	const char *failed = "write()";
	// Writes that returned, and the bytes they took, for progress().
	uint64_t writes;
	uint64_t written;
	bool (*give_up)(uint64_t (*progress)());
	bool given_up;
} out;

// Once in a hundred numbers, so out of line.
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

// Each item is copied with longest_item bytes, two moves; the bytes past
// it are overwritten by the next item, or lie past the text.
char *
make_text(number_text &next, char *p, const char *end, uint64_t &pending)
{
	char *const last = next.digits + longest_item - 3;
	while (pending > 0 && p < end) {
		const char *first = next.digits + next.first;
		auto length = static_cast<size_t>(next.digits + longest_item - first);
		if (*last == '0' && pending >= 10) {
			// Items of a decade differ in their last digit alone. Begun at
			// end - 1, the tenth's copy ends 9 items and one copy later.
			static_assert(make_text_overrun >= 9 * longest_item + longest_item);
#pragma GCC unroll 10
			for (char digit = '0'; digit <= '9'; ++digit, p += length) {
				memcpy(p, first, longest_item);
				p[length - 3] = digit;
			}
			pending -= 10;
			next_decade(next);
		} else {
			memcpy(p, first, longest_item);
			p += length;
			--pending;
			if (++*last > '9')
				next_decade(next);
		}
	}
	return p;
}

// A pipe that polls writable takes PIPE_BUF without waiting, whatever
// st_blksize its filesystem reports.
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
	out.limit = out.buf + (out.batched ? batch / out.block : 1) * out.block;
}

void
give_up_when(bool (*give_up)(uint64_t (*progress)()))
{
	out.give_up = give_up;
}

// A write that returned, or a reader's queue that shrank: a stopped reader,
// or a terminal stopped with Ctrl-S, makes none. Compared for equality only,
// so a wrap does no harm.
static uint64_t
progress()
{
	int queued = 0;
	if (ioctl(STDOUT_FILENO, out.pipe ? FIONREAD : TIOCOUTQ, &queued) == -1)
		queued = 0;
	return out.writes + out.written - static_cast<uint64_t>(queued);
}

// Unless told to wait: only while POLLOUT, and returning on EINTR, which a
// stop's signal gives a write that waits.
static void
write_out(const char *upto, bool wait)
{
	struct pollfd pfd = {STDOUT_FILENO, POLLOUT, 0};
	for (;;) {
		out.given_up = out.given_up || (wait && out.give_up != nullptr && out.give_up(progress));
		if (out.sent >= upto || out.error != 0 || out.given_up)
			return;
		if (!wait && out.polled && poll(&pfd, 1, 0) != 1)
			return;
		auto n = static_cast<size_t>(upto - out.sent);
		ssize_t written = out.socket ? send(STDOUT_FILENO, out.sent, n, MSG_DONTWAIT)
		                             : write(STDOUT_FILENO, out.sent, n);
		if (written > 0) {
			out.sent += written;
			++out.writes;
			out.written += static_cast<uint64_t>(written);
		} else if (written == 0) {
			// It would return 0 again, for ever.
			out.error = ENOSPC;
		} else if (errno == EAGAIN || errno == EWOULDBLOCK) {
			// Handed down O_NONBLOCK; a failed poll() only means a retry.
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

// False if the whole blocks were not all written, without waiting.
static bool
write_blocks(bool wait)
{
	char *whole = whole_blocks();
	write_out(whole, wait);
	if (out.sent < whole && out.error == 0 && !out.given_up)
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

static const char *
failure()
{
	static char text[64];
	return out.error != 0 ? fail(text, out.failed, strerror(out.error)) : nullptr;
}

const char *
write_numbers(uint64_t counted, bool wait)
{
	while (out.error == 0 && !out.given_up) {
		uint64_t pending = counted - formatted;
		out.next = make_text(next_number, out.next, out.limit, pending);
		formatted = counted - pending;
		if (whole_blocks() == out.buf || !write_blocks(wait))
			break;
	}
	return failure();
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
		for (size_t n = strlen(s); n > 0 && out.error == 0 && !out.given_up;) {
			if (out.next >= out.limit) {
				(void)write_blocks(true);
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

// No write waits: a full pipe or terminal polls not writable, a socket
// takes MSG_DONTWAIT, and a pipe that polls writable takes PIPE_BUF.
void
write_without_waiting()
{
	const int saved = errno;
	const char *text = out.sent;
	auto left = static_cast<size_t>(out.next - out.sent);
	struct pollfd pfd = {STDOUT_FILENO, POLLOUT, 0};
	while (left > 0 && poll(&pfd, 1, 0) == 1 && pfd.revents == POLLOUT) {
		const size_t n = std::min<size_t>(left, PIPE_BUF);
		ssize_t written = out.socket ? send(STDOUT_FILENO, text, n, MSG_DONTWAIT) : write(STDOUT_FILENO, text, n);
		if (written <= 0)
			break;
		text += written;
		left -= static_cast<size_t>(written);
	}
	errno = saved;
}

const char *
close_output()
{
	flush();
	if (close(STDOUT_FILENO) == -1 && out.error == 0) {
		out.error = errno;
		out.failed = "close()";
	}
	return failure();
}

bool
output_given_up()
{
	return out.given_up;
}
