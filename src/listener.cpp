// listener: capture live on one device and number every packet it delivers,
// on one line of standard output.

#include "capture.h"
#include "failure.h"
#include "output.h"
#include "stops.h"
#include "watchdog.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

// Each packet libpcap delivers, and what a stop or the end after a capture
// error adds from the kernel's figures.
static uint64_t count;

// The text is formatted when standard output can take it.
static void
my_callback(u_char *, const struct pcap_pkthdr *, const u_char *)
{
	++count;
}

// Wait, dispatch, write, until a capture error, a stop or a failed write
// (which close_output() reports). A stop is handled before anything else,
// so that the capture is shut as near to it as it can be.
static const char *
count_packets()
{
	// What the capture took after a stop during the open came after it.
	if (first_stop != 0) {
		close_capture();
		return nullptr;
	}
	for (;;) {
		if (first_stop != 0)
			return stop_capture(my_callback, count);
		const int out_fd = output_behind() ? STDOUT_FILENO : -1;
		if (const char *failure = dispatch(wake_fd, out_fd, my_callback)) {
			// The capture error is the failure reported, before any of the end's.
			(void)end_capture(count);
			return failure;
		}
		// A stop during the dispatch is handled before any write.
		if (first_stop == 0 && write_numbers(count, false) != nullptr)
			return stop_capture(my_callback, count);
	}
}

// Every way the listener ends: the numbers, then the drop line and the
// failure, each on a line of its own. Standard output is closed before the
// capture, whose pcap_close() of a packet socket waits for synchronize_net(),
// so that its reader sees EOF at once. A failed write goes to stderr, as
// stdout is what failed. A final flush the watchdog gave up ends by the
// second stop's signal.
static int
finish(const char *failure)
{
	write_numbers(count, true);
	const char *newline = count != 0 ? "\n" : "";
	if (const char *dropped = drop_line()) {
		say({newline, dropped, "\n"});
		newline = "";
	}
	if (failure != nullptr)
		say({newline, failure, "\n"});
	if (const char *lost = close_output()) {
		(void)fprintf(stderr, "%s\n", lost);
		failure = lost;
	}
	close_capture();
	if (const int signo = output_given_up() ? second_stop : first_stop; signo != 0)
		end_by(signo);
	return failure != nullptr ? 1 : 0;
}

// A standard descriptor closed at exec would be reused by the next open()
// (libpcap's socket, the eventfd) and our output would go there: /dev/null
// takes it, opened the wrong way round so that using it fails, as libc does
// for set-user-ID programs. If that fails, there is nowhere safe to say so.
static const char *
keep_standard_descriptors()
{
	static char failure[64];
	for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
		if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) != fd)
			return fail(failure, "open()", strerror(errno));
	return nullptr;
}

int
main(int argc, char *argv[])
{
	if (const char *failure = keep_standard_descriptors())
		return finish(failure);
	size_output();
	give_up_when(stalled);
	if (const char *failure = make_watchdog())
		return finish(failure);
	if (const char *failure = catch_stops(arm_watchdog))
		return finish(failure);
	if (argc < 2) {
		static char usage[PATH_MAX + 32];
		(void)snprintf(usage, sizeof usage, "usage: %s capture-device",
		               argc > 0 && argv[0][0] != '\0' ? argv[0] : "listener");
		return finish(usage);
	}
	say({"Listening on device : ", argv[1], " \n"});
	open_begins(write_without_waiting);
	const char *failure = open_capture(argv[1], first_stop);
	open_ends();
	return finish(failure != nullptr ? failure : count_packets());
}
