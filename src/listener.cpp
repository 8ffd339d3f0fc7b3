// listener: capture live on one device and number every packet it delivers,
// on one line of standard output.

#include <pcap/pcap.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>

// The longest item of the count stream: twenty digits and ", ".
static constexpr size_t longest_item = 22;

// The number the next packet gets, kept as decimal text with its ", ", so
// that counting a packet is adding one to the last digit rather than turning
// a binary number into text anew. Twenty digits outlast a 64-bit counter:
// at a billion packets a second they last three thousand years. The room
// past the text lets every item be copied with the same length.
static char count[2 * longest_item] = "00000000000000000001, ";
static char *const last_digit = count + longest_item - 3;
// The first digit written, past the leading zeros.
static char *number = last_digit;

// Standard output's buffer. It is written with write(2) rather than through
// stdio so that a failed, short or would-block write is seen, and so that an
// item costs one copy rather than a check per character. It fills up to
// out_end, as far as the C library would fill it for the destination, and
// is written a buffer-full at a time; the slack past BUFSIZ takes a whole
// item.
static char out[BUFSIZ + longest_item];
static char *out_end = out + BUFSIZ;
static char *out_next = out;
static bool line_buffered;
// Why standard output failed; from then on what is written is dropped.
static int write_error;

// Shared with the signal handler, which may come before the open returns.
static pcap_t *volatile handle;
static volatile sig_atomic_t stop_signal;

static void
write_out(const char *p, size_t n)
{
	while (n > 0 && write_error == 0) {
		ssize_t written = write(STDOUT_FILENO, p, n);
		if (written >= 0) {
			p += written;
			n -= static_cast<size_t>(written);
		} else if (errno == EAGAIN || errno == EWOULDBLOCK) {
			// A non-blocking output we were handed: wait until it takes
			// more. A failed poll (interrupted, short of memory) only
			// means trying the write again.
			struct pollfd pfd = {STDOUT_FILENO, POLLOUT, 0};
			(void)poll(&pfd, 1, -1);
		} else if (errno != EINTR) {
			write_error = errno;
			// Counting on with nowhere to write would lose every number
			// without a word.
			if (handle != nullptr)
				pcap_breakloop(handle);
		}
	}
}

// Once a buffer-full, so kept out of line, off the per-packet path.
[[gnu::cold]] static void
spill()
{
	while (out_next >= out_end) {
		write_out(out, static_cast<size_t>(out_end - out));
		size_t left = static_cast<size_t>(out_next - out_end);
		memmove(out, out_end, left);
		out_next = out + left;
	}
}

static void
flush()
{
	write_out(out, static_cast<size_t>(out_next - out));
	out_next = out;
}

// Writes a line, given in pieces.
static void
say(std::initializer_list<const char *> pieces)
{
	for (const char *s : pieces) {
		for (size_t n = strlen(s), k; n > 0; s += k, n -= k) {
			k = std::min(n, static_cast<size_t>(out_end - out_next));
			memcpy(out_next, s, k);
			out_next += k;
			spill();
		}
	}
	if (line_buffered)
		flush();
}

// Once in ten packets, so kept off the per-packet path too.
[[gnu::cold]] static void
carry()
{
	char *digit = last_digit;
	while (*digit > '9') {
		*digit-- = '0';
		++*digit;
	}
	if (digit < number)
		number = digit;
}

static void
my_callback(u_char *, const struct pcap_pkthdr *, const u_char *)
{
	// Always the longest item's length, which makes the copy a pair of
	// moves; what lies past the item is overwritten by the next one or
	// never written.
	memcpy(out_next, number, longest_item);
	out_next += count + longest_item - number;

	if (++*last_digit > '9')
		carry();
	if (out_next >= out_end)
		spill();
}

// Runs in a signal handler, so it may only call async-signal-safe functions;
// pcap_breakloop is documented as one.
static void
stop(int signo)
{
	stop_signal = signo;
	if (handle != nullptr)
		pcap_breakloop(handle);
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
	// End by the signal's own default action (the handler reset itself), so
	// that the caller sees the status it would have without the handler.
	if (stop_signal != 0)
		(void)raise(stop_signal);
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

	// From the start, so that a stop during the open is honoured too.
	// Without SA_RESTART, so that a wait for packets interrupted by the
	// signal returns and the loop sees the break; with SA_RESETHAND, so that
	// a second signal ends the process even if writing out hangs.
	struct sigaction sa = {};
	sa.sa_handler = stop;
	sa.sa_flags = SA_RESETHAND;
	sigemptyset(&sa.sa_mask);
	for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
		struct sigaction old;
		// Whoever ignored a stop signal before starting us (nohup, a shell's
		// background job) meant it to be ignored.
		sigaction(signo, nullptr, &old);
		if (old.sa_handler != SIG_IGN)
			sigaction(signo, &sa, nullptr);
	}

	// Buffered as the C library would buffer it: by lines on a terminal, in
	// blocks of the destination's preferred size up to BUFSIZ.
	struct stat st;
	if (fstat(STDOUT_FILENO, &st) == 0 && st.st_blksize > 0 && st.st_blksize < BUFSIZ)
		out_end = out + st.st_blksize;
	line_buffered = isatty(STDOUT_FILENO) != 0;

	if (argc < 2) {
		say({"usage: ", argc > 0 ? argv[0] : "listener", " capture-device\n"});
		return finish(1);
	}
	say({"Listening on device : ", argv[1], " \n"});

	char errbuf[PCAP_ERRBUF_SIZE];
	// The read timeout bounds how long the kernel may hold captured packets
	// before handing them over, and so what a stop leaves uncounted;
	// 100 ms keeps that short and still lets an idle listener sleep.
	handle = pcap_open_live(argv[1], 8192, 0, 100, errbuf);
	if (handle == nullptr) {
		say({"pcap_open_live(): ", errbuf, "\n"});
		return finish(1);
	}
	// A stop or a failed write that came before the loop could see it.
	if (stop_signal != 0 || write_error != 0)
		return finish(0);

	if (pcap_loop(handle, -1, my_callback, nullptr) == PCAP_ERROR) {
		// On a line of its own, after the count stream if there is one.
		say({strcmp(number, "1, ") != 0 ? "\n" : "", "pcap_loop(): ", pcap_geterr(handle), "\n"});
		return finish(1);
	}
	return finish(0);
}
