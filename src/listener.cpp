// listener: capture live on one device and number every packet it delivers,
// on one line of standard output.

#include <pcap/pcap.h>

#include <fcntl.h>
#include <limits.h>
#include <linux/filter.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

// How long the kernel may hold captured packets, in the block of its ring
// that it is filling, before it hands them over: short, as a stop waits for
// that block, and long enough to let an idle listener sleep.
static constexpr int read_timeout_ms = 100;
// How long a stop waits for that block: the read timeout, and as much again
// for the timer's slack and a busy machine.
static constexpr int drain_limit_ms = 2 * read_timeout_ms;

// The longest item of the count stream: twenty digits and ", ".
static constexpr size_t longest_item = 22;

// Packets counted, and numbers made into text: the numbers still to write
// are those after made, up to count. That range is all the listener keeps of
// them, however far behind standard output falls, so that counting never
// waits for the reader. At a billion packets a second, 64 bits last five
// centuries.
static uint64_t count;
static uint64_t made;

// The next number to make, kept as decimal text with its ", ", so that
// making a number is adding one to the last digit rather than turning a
// binary number into text anew. Twenty digits outlast a 64-bit counter: at a
// billion packets a second they last three thousand years. The room past the
// text lets every item be copied with the same length.
static char number[2 * longest_item] = "00000000000000000001, ";
static char *const last_digit = number + longest_item - 3;
// The first digit written, past the leading zeros.
static char *first_digit = last_digit;

// Standard output's buffer. It is written with write(2) rather than through
// stdio so that a failed, short or would-block write is seen. It fills up to
// out_end, as far as the C library would fill it for the destination, and is
// written a buffer-full at a time, out_sent marking how much of that has
// gone; the slack past BUFSIZ takes the ten items of a decade.
static char out[BUFSIZ + 10 * longest_item];
static char *out_end = out + BUFSIZ;
static char *out_next = out;
static char *out_sent = out;
static bool line_buffered;
// A socket is sent to with MSG_DONTWAIT, which spares the capture its waits
// without touching the file status flags: those are shared with whoever
// handed the socket down.
static bool out_socket;
// Whether polling tells that standard output has room: it does for a pipe or
// a terminal. A file or another device polls writable whether or not a write
// will wait, so there the poll would be a system call for nothing.
static bool out_polled;
// Why standard output failed; from then on what is written is dropped.
static int write_error;

// What the kernel says of the capture, carried into 64 bits: libpcap's
// counters are 32 bits wide and wrap, after seven minutes at ten million
// packets a second, so they are read at least once a second while packets
// come. taken is the packets the ring took, each counted once libpcap hands
// it over; dropped, those the kernel dropped for want of room in the ring.
static struct pcap_stat stats_seen;
static uint64_t taken;
static uint64_t dropped;

static const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};
// Those of them the listener handles: not the ones ignored when it started.
static sigset_t stops;
// The first stop that came, by which the listener ends.
static volatile sig_atomic_t stop_signal;

// Writes the buffer from out_sent up to upto. Unless told to wait, it leaves
// the rest for later once standard output has no room: a pipe or a terminal
// that polls unwritable, a socket that is full. A pipe that polls writable
// has a page free, and so takes a whole buffer-full without waiting, a
// buffer-full for a pipe being a page at most. A terminal with room for less
// than a buffer-full, a file on slow storage or another device can still keep
// a write waiting: polling cannot tell.
static void
write_out(const char *upto, bool wait)
{
	struct pollfd pfd = {STDOUT_FILENO, POLLOUT, 0};
	while (out_sent < upto && write_error == 0) {
		if (!wait && out_polled && poll(&pfd, 1, 0) != 1)
			return;
		size_t n = static_cast<size_t>(upto - out_sent);
		ssize_t written = out_socket ? send(STDOUT_FILENO, out_sent, n, MSG_DONTWAIT)
		                             : write(STDOUT_FILENO, out_sent, n);
		if (written >= 0) {
			out_sent += written;
		} else if (errno == EAGAIN || errno == EWOULDBLOCK) {
			// Full for now. A failed poll (interrupted, short of memory)
			// only means trying the write again.
			if (!wait)
				return;
			(void)poll(&pfd, 1, -1);
		} else if (errno != EINTR) {
			write_error = errno;
		}
	}
}

// Writes a full buffer and starts the next with what lay past it; false if
// standard output has not taken it all and waiting was not allowed.
static bool
spill(bool wait)
{
	write_out(out_end, wait);
	if (out_sent < out_end && write_error == 0)
		return false;
	size_t left = static_cast<size_t>(out_next - out_end);
	memmove(out, out_end, left);
	out_next = out + left;
	out_sent = out;
	return true;
}

// Carries on past the tens, once in a hundred numbers, and moves the first
// digit when the number grows one; so kept out of line.
[[gnu::cold]] static void
carry(char *digit)
{
	while (*digit > '9') {
		*digit-- = '0';
		++*digit;
	}
	if (digit < first_digit)
		first_digit = digit;
}

// Once a decade: the last digit starts again from 0 and the tens go up by
// one.
static void
next_decade()
{
	*last_digit = '0';
	char *tens = last_digit - 1;
	if (++*tens > '9' || tens < first_digit)
		carry(tens);
}

// Makes the text of the numbers counted and writes it, a buffer-full at a
// time; unless told to wait, only for as long as standard output takes it
// without waiting.
static void
write_numbers(bool wait)
{
	while (write_error == 0) {
		// Each item is copied from number with the longest item's length,
		// which makes the copy a pair of moves; what lies past it is
		// overwritten by the next item or never written.
		char *p = out_next;
		uint64_t left = count - made;
		while (left > 0 && p < out_end) {
			const char *first = first_digit;
			size_t length = static_cast<size_t>(number + longest_item - first);
			if (*last_digit == '0' && left >= 10) {
				// A whole decade, as most are: its items differ only in
				// their last digit, and unrolled, each is four moves and a
				// store.
#pragma GCC unroll 10
				for (char digit = '0'; digit <= '9'; ++digit, p += length) {
					memcpy(p, first, longest_item);
					p[length - 3] = digit;
				}
				left -= 10;
				next_decade();
			} else {
				memcpy(p, first, longest_item);
				p += length;
				--left;
				if (++*last_digit > '9')
					next_decade();
			}
		}
		made = count - left;
		out_next = p;
		if (out_next < out_end || !spill(wait))
			return;
	}
}

// Writes out all that is buffered, the numbers counted first.
static void
flush()
{
	write_numbers(true);
	write_out(out_next, true);
	out_next = out_sent = out;
}

// Writes a line, given in pieces, after the numbers counted.
static void
say(std::initializer_list<const char *> pieces)
{
	write_numbers(true);
	for (const char *s : pieces) {
		for (size_t n = strlen(s), k; n > 0; s += k, n -= k) {
			k = std::min(n, static_cast<size_t>(out_end - out_next));
			memcpy(out_next, s, k);
			out_next += k;
			if (out_next == out_end)
				(void)spill(true);
		}
	}
	if (line_buffered)
		flush();
}

// Counting is all a packet costs here: its number is made into text when
// standard output can take it.
static void
my_callback(u_char *, const struct pcap_pkthdr *, const u_char *)
{
	++count;
}

// Runs in a signal handler, so it may only call async-signal-safe functions,
// and must leave errno as it found it.
static void
stop(int signo)
{
	if (stop_signal == 0) {
		stop_signal = signo;
		return;
	}
	// A further stop ends the process at once, by its own default action,
	// only while standard output takes nothing more: the way out of a
	// write-out that hangs. While the text goes out it is absorbed, so that
	// a terminal's hangup, which comes twice, or a supervisor's SIGTERM and
	// SIGHUP, still get every number.
	int saved = errno;
	struct pollfd pfd = {STDOUT_FILENO, POLLOUT, 0};
	if (poll(&pfd, 1, 0) == 0) {
		(void)signal(signo, SIG_DFL);
		(void)raise(signo);
	}
	errno = saved;
}

static int64_t
now_ms()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Carries libpcap's figures into taken and dropped. Differences of unsigned
// 32-bit numbers stay right across a wrap.
static void
carry_stats(const struct pcap_stat &ps)
{
	taken += (ps.ps_recv - ps.ps_drop) - (stats_seen.ps_recv - stats_seen.ps_drop);
	dropped += ps.ps_drop - stats_seen.ps_drop;
	stats_seen = ps;
}

// False, with libpcap's text in the handle, if the figures cannot be had.
static bool
read_stats(pcap_t *handle)
{
	struct pcap_stat ps;
	if (pcap_stats(handle, &ps) == PCAP_ERROR)
		return false;
	carry_stats(ps);
	return true;
}

// Counts what the ring took before the end and has not handed over yet: the
// kernel hands over the block it is filling once the block is full, or a
// read timeout after it began it. So it waits while the kernel's figures say
// a packet is still to come, for drain_limit_ms at most: on lo and any the
// kernel also takes the copy of each loopback packet leaving, which libpcap
// does not hand over.
static void
drain(pcap_t *handle)
{
	const int64_t deadline = now_ms() + drain_limit_ms;
	struct pollfd pfd = {pcap_get_selectable_fd(handle), POLLIN, 0};
	for (;;) {
		(void)pcap_dispatch(handle, -1, my_callback, nullptr);
		int64_t left = deadline - now_ms();
		if (count >= taken || left <= 0)
			break;
		(void)poll(&pfd, 1, static_cast<int>(left));
	}
	// What came after the end is not counted.
	count = std::min(count, taken);
}

// Every way the listener ends comes through here.
static int
finish(int status)
{
	flush();
	if (write_error != 0) {
		// Standard output is what failed, so this one message goes to
		// standard error; if that fails too, nothing is left to tell.
		(void)fprintf(stderr, "write(): %s\n", strerror(write_error));
		status = 1;
	}
	// End by the signal's own default action, so that the caller sees the
	// status it would have without the handler.
	if (stop_signal != 0) {
		(void)signal(stop_signal, SIG_DFL);
		(void)raise(stop_signal);
	}
	return status;
}

int
main(int argc, char *argv[])
{
	// A standard descriptor closed at start would be taken by the next file
	// opened, libpcap's packet socket or eventfd, and our output would go
	// there. Occupy each with /dev/null, opened the wrong way round so that
	// using it fails, as the C library does for privileged programs. Should
	// that fail, there is no safe place left to say so.
	for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
		if (fcntl(fd, F_GETFD) == -1 &&
		    open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) != fd)
			return 1;

	// From the start, so that a stop during the open is honoured too, and
	// without SA_RESTART, so that the wait it interrupts returns. Whoever
	// ignored a stop signal before starting us (nohup, a shell's background
	// job) meant it to be ignored. The handler runs with the other stops
	// held, so that it is never interrupted by one.
	sigemptyset(&stops);
	for (int signo : stop_signals) {
		struct sigaction old;
		if (sigaction(signo, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
			sigaddset(&stops, signo);
	}
	struct sigaction sa = {};
	sa.sa_handler = stop;
	sa.sa_mask = stops;
	for (int signo : stop_signals)
		if (sigismember(&stops, signo) == 1)
			sigaction(signo, &sa, nullptr);

	// Buffered as the C library would buffer it: by lines on a terminal, in
	// blocks of the destination's preferred size up to BUFSIZ. But a pipe,
	// named or not, that polls writable is sure to take only PIPE_BUF bytes
	// at once, whatever block its filesystem reports.
	struct stat st;
	if (fstat(STDOUT_FILENO, &st) == 0) {
		if (st.st_blksize > 0 && st.st_blksize < BUFSIZ)
			out_end = out + st.st_blksize;
		if (S_ISFIFO(st.st_mode) && out_end - out > PIPE_BUF)
			out_end = out + PIPE_BUF;
		out_socket = S_ISSOCK(st.st_mode);
		out_polled = S_ISFIFO(st.st_mode);
	}
	line_buffered = isatty(STDOUT_FILENO) != 0;
	out_polled = out_polled || line_buffered;

	if (argc < 2) {
		say({"usage: ", argc > 0 && argv[0][0] != '\0' ? argv[0] : "listener", " capture-device\n"});
		return finish(1);
	}
	say({"Listening on device : ", argv[1], " \n"});

	// The least snapshot libpcap allows: the listener never looks inside a
	// packet.
	char errbuf[PCAP_ERRBUF_SIZE];
	pcap_t *handle = pcap_open_live(argv[1], 1, 0, read_timeout_ms, errbuf);
	if (handle == nullptr) {
		say({"pcap_open_live(): ", errbuf, "\n"});
		return finish(1);
	}
	// The kernel keeps of each packet what the socket's filter returns, not
	// the snapshot: without a filter, its ring would fill with bytes nobody
	// reads, and hold a seventeenth as many full-size frames as short ones.
	// This filter takes every packet and keeps the snapshot of it. It is set
	// on the socket itself, as libpcap, were the kernel to refuse it, would
	// only warn on standard error and keep whole packets.
	struct sock_filter keep_snapshot = BPF_STMT(BPF_RET | BPF_K, static_cast<__u32>(pcap_snapshot(handle)));
	struct sock_fprog every_packet = {1, &keep_snapshot};
	if (setsockopt(pcap_fileno(handle), SOL_SOCKET, SO_ATTACH_FILTER, &every_packet, sizeof every_packet) == -1) {
		int error = errno;
		pcap_close(handle);
		say({"setsockopt(): ", strerror(error), "\n"});
		return finish(1);
	}
	// So that the loop can wait for packets and for standard output at once.
	if (pcap_setnonblock(handle, 1, errbuf) == PCAP_ERROR) {
		pcap_close(handle);
		say({"pcap_setnonblock(): ", errbuf, "\n"});
		return finish(1);
	}

	// The capture loop waits for packets, for room in standard output while
	// a buffer-full waits for it, and for a stop. The stop signals are let
	// in only during that wait, so that none can come between looking for
	// one and waiting. Standard output is polled only while it is behind: a
	// descriptor polled for nothing still reports a hang-up, and would never
	// let the wait begin. Live captures on Linux are always selectable.
	struct pollfd fds[2] = {{pcap_get_selectable_fd(handle), POLLIN, 0}, {-1, POLLOUT, 0}};
	sigset_t waiting;
	sigprocmask(SIG_BLOCK, &stops, &waiting);
	bool capture_failed = false;
	int64_t stats_due = now_ms() + 1000;
	while (stop_signal == 0 && write_error == 0) {
		fds[1].fd = out_next >= out_end ? STDOUT_FILENO : -1;
		// libpcap may want to be called again after a while, to see
		// whether a device that went down has gone.
		const struct timeval *tv = pcap_get_required_select_timeout(handle);
		struct timespec timeout;
		if (tv != nullptr)
			TIMEVAL_TO_TIMESPEC(tv, &timeout);
		// A failed wait (interrupted, short of memory) only means looking
		// again.
		(void)ppoll(fds, 2, tv != nullptr ? &timeout : nullptr, &waiting);
		if (pcap_dispatch(handle, -1, my_callback, nullptr) == PCAP_ERROR) {
			// Kept past the capture's closing.
			(void)snprintf(errbuf, sizeof errbuf, "%s", pcap_geterr(handle));
			capture_failed = true;
			break;
		}
		// A failure here is said when the capture ends, as it will fail
		// there too.
		if (now_ms() >= stats_due) {
			(void)read_stats(handle);
			stats_due = now_ms() + 1000;
		}
		write_numbers(false);
	}

	// What the ring took by the end is all counted, and what the kernel
	// dropped (while the listener was stopped or short of CPU, or in a burst
	// larger than the ring) is said. The capture is closed before writing
	// out, which may take long: nothing after the end counts.
	char stats_error[PCAP_ERRBUF_SIZE] = "";
	if (read_stats(handle))
		drain(handle);
	else
		(void)snprintf(stats_error, sizeof stats_error, "%s", pcap_geterr(handle));
	pcap_close(handle);
	// Stops that came since the first are absorbed: the write-out has not
	// begun. From now on one may end it, should it wait.
	const struct timespec at_once = {0, 0};
	while (sigtimedwait(&stops, nullptr, &at_once) > 0) {
	}
	sigprocmask(SIG_SETMASK, &waiting, nullptr);

	// Each on a line of its own, after the count stream if there is one.
	int status = capture_failed ? 1 : 0;
	const char *newline = count != 0 ? "\n" : "";
	if (stats_error[0] != '\0') {
		say({newline, "pcap_stats(): ", stats_error, "\n"});
		newline = "";
		status = 1;
	} else if (dropped > 0) {
		char figure[24];
		(void)snprintf(figure, sizeof figure, "%" PRIu64, dropped);
		say({newline, figure, dropped == 1 ? " packet" : " packets", " dropped by the kernel\n"});
		newline = "";
	}
	// Named for the capture loop, as the line has always been.
	if (capture_failed)
		say({newline, "pcap_loop(): ", errbuf, "\n"});
	return finish(status);
}
