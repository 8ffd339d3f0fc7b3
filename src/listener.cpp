// listener: capture live on one device and number every packet it delivers,
// on one line of standard output.

#include "capture.h"
#include "output.h"
#include "stops.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>

// Packets counted: each that libpcap delivers, and at the end of a capture
// whose ring the kernel's figures count, what they say the ring took.
static uint64_t count;

static struct capture capture;

// Counting is all a packet costs: its text is made when standard output
// can take it.
static void
my_callback(u_char *, const struct pcap_pkthdr *, const u_char *)
{
	++count;
}

// Copied, as the handle may be closed before it is said.
static const char *
failed_read()
{
	static char text[PCAP_ERRBUF_SIZE + 16];
	(void)snprintf(text, sizeof text, "pcap_loop(): %s", pcap_geterr(capture.handle));
	return text;
}

// Waits for packets, for the stop and, while a buffer-full waits, for room
// in standard output: polled for nothing, it would still report a hang-up,
// and never let the wait begin. Netfilter's reader, non-blocking, takes a
// read with nothing to read for a failure, so netlink is read only when
// ready. Where there is nothing to poll, libpcap waits itself.
static const char *
capture_until_stopped()
{
	struct pollfd fds[] = {{capture.fd, POLLIN, 0}, {wake_fd, POLLIN, 0}, {-1, POLLOUT, 0}};
	while (first_stop == 0 && output_failure() == nullptr) {
		int got = 0;
		if (capture.fd >= 0) {
			fds[0].revents = 0;
			fds[2].fd = output_behind() ? STDOUT_FILENO : -1;
			// libpcap may want to look again whether a device down has gone.
			const struct timeval *tv = pcap_get_required_select_timeout(capture.handle);
			const int ready = poll(fds, 3, tv != nullptr ? static_cast<int>(tv->tv_sec * 1000 + tv->tv_usec / 1000) : -1);
			if (first_stop != 0)
				break;
			if (capture.netlink && (fds[0].revents & POLLERR) != 0)
				take_overflow(capture);
			if (ready == 0 || (fds[0].revents & (capture.netlink ? POLLIN : ~0)) != 0)
				got = pcap_dispatch(capture.handle, -1, my_callback, nullptr);
		} else {
			got = pcap_dispatch(capture.handle, -1, my_callback, nullptr);
		}
		if (got == PCAP_ERROR)
			return failed_read();
		read_figures(capture, false);
		write_numbers(count, false);
	}
	return nullptr;
}

// What waited in a capture that libpcap counts, read without waiting for
// more. libpcap's D-Bus reader hands over a message it holds before it
// looks for a break, and reads the bus, up to 100 ms, only when it holds
// none.
static const char *
read_what_waits()
{
	if (capture.fd < 0) {
		int got;
		do
			pcap_breakloop(capture.handle);
		while ((got = pcap_dispatch(capture.handle, -1, my_callback, nullptr)) > 0);
		return got == PCAP_ERROR ? failed_read() : nullptr;
	}
	hold_back(capture);
	while (holds_more(capture))
		if (pcap_dispatch(capture.handle, -1, my_callback, nullptr) == PCAP_ERROR)
			return failed_read();
	return nullptr;
}

// Taken from the stops first, so that no handler breaks a closed capture.
static void
close_capture()
{
	break_on_stop(nullptr);
	pcap_close(capture.handle);
	capture.handle = nullptr;
}

// Captures until a stop, or until standard output or the capture fails.
// The kernel's figures are read as soon as it ends: on a packet socket they
// count what the ring took, handed over or not, and a stop counts that, but
// never less than was counted. Elsewhere a stop counts what libpcap
// delivers of what already waits. Such a capture is closed then, before
// the write-out, so that a queue of other programs' traffic (nfqueue) is
// let go whatever the reader of standard output does.
static const char *
count_packets()
{
	// All the ring took after a stop during the open came after the stop.
	if (first_stop != 0)
		return nullptr;
	break_on_stop(capture.fd < 0 ? capture.handle : nullptr);
	const char *failure = capture_until_stopped();
	read_figures(capture, true);
	if (capture.ring && capture.taken > count)
		count = capture.taken;
	if (!capture.ring) {
		if (first_stop != 0 && failure == nullptr)
			failure = read_what_waits();
		close_capture();
	}
	return failure;
}

// After the count stream, each on a line of its own: what the kernel
// dropped, or why that is not known, and how the capture failed.
static int
report(const char *failure)
{
	write_numbers(count, true);
	const char *newline = count != 0 ? "\n" : "";
	if (const char *figures = capture.unread != nullptr ? capture.unread : drop_line(capture)) {
		say({newline, figures, "\n"});
		newline = "";
	}
	if (failure != nullptr)
		say({newline, failure, "\n"});
	return failure != nullptr || capture.unread != nullptr ? 1 : 0;
}

// Every way the listener ends comes through here. Standard output is
// closed once all is written, before a packet socket, whose close waits
// for the kernel, so that its reader sees the end at once.
static int
finish(int status)
{
	close_output();
	if (const char *failure = output_failure()) {
		// Standard output is what failed, so this one line goes to standard
		// error; if that fails too, nothing is left to tell.
		(void)fprintf(stderr, "%s\n", failure);
		status = 1;
	}
	if (capture.handle != nullptr)
		close_capture();
	// By the signal's own default action, so that the caller sees the
	// status it would have without the handler: the second stop's once
	// standard output was given up.
	if (const int signo = output_stalled() ? second_stop : first_stop; signo != 0) {
		(void)signal(signo, SIG_DFL);
		(void)raise(signo);
	}
	return status;
}

// A standard descriptor closed at start would be taken by the next file
// opened, libpcap's socket or the stops' eventfd, and our output would go
// there. Each is taken with /dev/null, opened the wrong way round so that
// using it fails, as the C library does for privileged programs; false if
// that fails, as there is no safe place left to say so.
static bool
keep_standard_descriptors()
{
	for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
		if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) != fd)
			return false;
	return true;
}

static int
fail(const char *failure)
{
	say({failure, "\n"});
	return finish(1);
}

int
main(int argc, char *argv[])
{
	if (!keep_standard_descriptors())
		return 1;
	size_output();
	watch_output(&watch_ticks);
	if (const char *failure = catch_stops())
		return fail(failure);
	if (argc < 2) {
		say({"usage: ", argc > 0 && argv[0][0] != '\0' ? argv[0] : "listener", " capture-device\n"});
		return finish(1);
	}
	say({"Listening on device : ", argv[1], " \n"});
	size_t unsent = 0;
	const char *said = unsent_output(unsent);
	open_begins(said, unsent);
	const char *failure = open_capture(argv[1], capture);
	open_ends();
	if (failure != nullptr)
		return fail(failure);
	return finish(report(count_packets()));
}
