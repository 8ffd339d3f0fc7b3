// listener: capture live on one device and number every packet it delivers,
// on one line of standard output.

#include <pcap/pcap.h>

#include <fcntl.h>
#include <limits.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <cinttypes>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>

// How long the kernel may hold captured packets, in the block of its ring it
// is filling, before it hands them over. Each block it hands over takes a
// place in the ring until the listener runs, so the ring of 8 blocks keeps
// up to 16 s of a trickle that comes while the listener is stopped or
// starved, twice what tcpdump's 1 s keeps. A stop does not wait for the
// block: it counts the packets in it from the kernel's figures.
static constexpr int read_timeout_ms = 2000;

// After a second stop, the tick of the watch that sees whether standard
// output still takes text: a reader that has stopped ends the listener at
// the second tick, within two of these.
static constexpr time_t stall_seconds = 1;

// The longest item of the count stream: twenty digits and ", ".
static constexpr size_t longest_item = 22;

// Packets counted, by my_callback, and numbers made into text, by
// write_numbers: the numbers still to write are those after made, up to
// count. That range is all the listener keeps of them, however far behind
// standard output falls, so that counting never waits for the reader.
static uint64_t count;
static uint64_t made;

// The next number to make, by make_text alone, kept as decimal text with its
// ", " so that making a number is adding one to the last digit, not turning
// a binary number into text anew. Twenty digits outlast a 64-bit counter.
// Zeros lead up to first_digit, never past last_digit; the room past the
// text lets every item be copied with the longest item's length.
static char number[2 * longest_item] = "00000000000000000001, ";
static char *const last_digit = number + longest_item - 3;
static char *first_digit = last_digit;

// Standard output's buffer, written with write(2), not stdio, so that a
// failed, short or would-block write is seen. Text goes in at next and out a
// buffer-full at a time, up to end, as far as the C library would fill it
// for the destination; sent marks how much has gone. So buf <= sent <= next,
// end <= buf + BUFSIZ, and next passes end only by text made past a full
// buffer, less than the slack, until spill moves that to the start: outside
// write_numbers, next is before end unless a write failed.
static constexpr size_t out_slack = 10 * longest_item;
static struct {
	char buf[BUFSIZ + out_slack];
	char *end = buf + BUFSIZ;
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
	int error; // why it failed; from then on what is written is dropped
	const char *failed = "write()"; // the call that failed
	// What the watch judges standard output by, from one of its ticks to
	// the next, after a second stop: whether a write returned, and what the
	// reader of a pipe, socket or terminal had still to take off its queue
	// (-1: not known). Only write_out and the watch touch them.
	bool took;
	int queued = -1;
	bool watched; // a tick has come, so the next one judges
} out;

// What the kernel says of the capture, carried into 64 bits from libpcap's
// 32-bit counters, which wrap: so they are read whenever the capture wakes.
// taken: packets the ring took, each counted once libpcap hands it over, as
// the socket's filter lets in no packet that libpcap would not hand over;
// dropped: those the kernel dropped for want of room in it.
static struct {
	struct pcap_stat seen;
	uint64_t taken;
	uint64_t dropped;
} kernel;

// The capture, which open_capture opens and finish closes. What the device
// is decides, once, where it is opened, how it is read and counted; the
// loop and the ending read these and never ask what the device is.
static struct {
	// Set once the capture is open, so that a stop can break libpcap's own
	// wait (D-Bus) from its handler; finish holds the stops before closing
	// it, so that the handler never meets a capture closed.
	pcap_t *volatile handle;
	// What to poll for packets; -1 where libpcap gives nothing to poll
	// (D-Bus) and waits itself, looking every 100 ms for a break.
	int fd;
	// A packet socket (every network device, lo, any): its ring takes only
	// packets that libpcap hands over, so the kernel's figures count them
	// whether handed over yet or not, and its drops exactly. Elsewhere the
	// figures count something else, and the count is what libpcap delivers.
	bool ring;
	// Netlink (netfilter): libpcap's drop figure counts overflows of the
	// socket, and more besides, not the messages lost in them; it says only
	// that some were.
	bool overflows;
} capture = {nullptr, -1, false, false};

static const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};
// Those of them the listener handles: not the ones ignored when it started.
static sigset_t stops;
// The first stop that came, by which the listener ends once all is written;
// and the second, which ends it sooner, by its own signal, if standard
// output then stalls. Only the handlers set them.
static volatile sig_atomic_t stop_signal;
static volatile sig_atomic_t second_signal;
// The watch: a timer of the listener's own, which the second stop sets
// ticking every stall_seconds, by SIGALRM. Its handler, there from the
// start, only notes a tick, and only one of this timer's, not a SIGALRM
// from outside; write_out, whose waits the tick interrupts, judges
// standard output, and clears it.
static timer_t watch;
static volatile sig_atomic_t ticked;

// How the capture ended, for the report: libpcap's text when the capture
// failed, and when its figures could not be had; empty otherwise.
struct ending {
	char capture_error[PCAP_ERRBUF_SIZE];
	char stats_error[PCAP_ERRBUF_SIZE];
};

// Counting is all a packet costs: its text is made when standard output can
// take it.
static void
my_callback(u_char *, const struct pcap_pkthdr *, const u_char *)
{
	++count;
}

// Carries into the digits above, and moves the first digit when the number
// grows one; once in a hundred numbers, so kept out of line.
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

// Once a decade: the last digit starts again from 0, the tens go up by one.
static void
next_decade()
{
	*last_digit = '0';
	char *tens = last_digit - 1;
	if (++*tens > '9' || tens < first_digit)
		carry(tens);
}

// Makes, from p, the text of as many of the owed numbers as begin before
// end, and takes them off owed; returns where the text ends, which may be
// past end by less than out_slack. Each item is copied with the longest
// item's length, which makes the copy a pair of moves; what lies past it is
// overwritten by the next item or never written.
static char *
make_text(char *p, const char *end, uint64_t &owed)
{
	while (owed > 0 && p < end) {
		const char *first = first_digit;
		auto length = static_cast<size_t>(number + longest_item - first);
		if (*last_digit == '0' && owed >= 10) {
			// A whole decade, as most are: its items differ only in their
			// last digit, and unrolled, each is four moves and a store.
#pragma GCC unroll 10
			for (char digit = '0'; digit <= '9'; ++digit, p += length) {
				memcpy(p, first, longest_item);
				p[length - 3] = digit;
			}
			owed -= 10;
			next_decade();
		} else {
			memcpy(p, first, longest_item);
			p += length;
			--owed;
			if (++*last_digit > '9')
				next_decade();
		}
	}
	return p;
}

// At a tick of the watch: ends the listener by the second stop's own signal
// if standard output has taken nothing since the tick before, neither in a
// write that returned nor in bytes that the reader of a pipe, socket or
// terminal took off its queue. A reader that takes bytes, however slowly,
// is a reader; one that has stopped, or a terminal held with Ctrl-S, is not.
static void
watch_output()
{
	ticked = 0;
	int queued = -1;
	if (ioctl(STDOUT_FILENO, out.pipe ? FIONREAD : TIOCOUTQ, &queued) == -1)
		queued = -1;
	if (out.watched && !out.took && !(queued >= 0 && queued < out.queued)) {
		(void)signal(second_signal, SIG_DFL);
		(void)raise(second_signal);
	}
	out.watched = true;
	out.took = false;
	out.queued = queued;
}

// Writes the buffer from sent up to upto; unless told to wait, only while
// standard output has room, and not past a stop, which the capture takes
// first: a pipe or terminal that polls writable, a socket not full. A pipe
// that polls writable has a page free, so it takes a buffer-full, at most a
// page for a pipe, without waiting. A terminal with room for less, a file on
// slow storage or another device can still keep a write waiting: polling
// cannot tell. A stop interrupts that wait, where the storage lets it.
static void
write_out(const char *upto, bool wait)
{
	struct pollfd pfd = {STDOUT_FILENO, POLLOUT, 0};
	while (out.sent < upto && out.error == 0) {
		if (ticked != 0)
			watch_output();
		if (!wait && out.polled && poll(&pfd, 1, 0) != 1)
			return;
		auto n = static_cast<size_t>(upto - out.sent);
		ssize_t written = out.socket ? send(STDOUT_FILENO, out.sent, n, MSG_DONTWAIT)
		                             : write(STDOUT_FILENO, out.sent, n);
		if (written >= 0) {
			out.sent += written;
			out.took = true;
		} else if (errno == EAGAIN || errno == EWOULDBLOCK) {
			// Full for now. A failed poll (interrupted, short of memory)
			// only means trying the write again.
			if (!wait)
				return;
			(void)poll(&pfd, 1, -1);
		} else if (errno == EINTR) {
			if (!wait)
				return;
		} else {
			out.error = errno;
		}
	}
}

// Writes a full buffer and starts the next with the text made past it; false
// if standard output has not taken it all and waiting was not allowed.
static bool
spill(bool wait)
{
	assert(out.end <= out.next && out.next < out.end + out_slack);
	write_out(out.end, wait);
	if (out.sent < out.end && out.error == 0)
		return false;
	auto past = static_cast<size_t>(out.next - out.end);
	memmove(out.buf, out.end, past);
	out.next = out.buf + past;
	out.sent = out.buf;
	return true;
}

// Makes the text of the numbers counted and writes it, a buffer-full at a
// time; unless told to wait, only while standard output takes it at once.
static void
write_numbers(bool wait)
{
	while (out.error == 0) {
		uint64_t owed = count - made;
		out.next = make_text(out.next, out.end, owed);
		made = count - owed;
		if (out.next < out.end || !spill(wait))
			return;
	}
}

// Writes out all that is buffered, the numbers counted first.
static void
flush()
{
	write_numbers(true);
	write_out(out.next, true);
	out.next = out.sent = out.buf;
}

// Writes a line, given in pieces, after the numbers counted; nothing, once
// standard output has failed.
static void
say(std::initializer_list<const char *> pieces)
{
	write_numbers(true);
	for (const char *s : pieces) {
		for (size_t n = strlen(s), k; n > 0 && out.error == 0; s += k, n -= k) {
			assert(out.next < out.end);
			k = std::min(n, static_cast<size_t>(out.end - out.next));
			memcpy(out.next, s, k);
			out.next += k;
			if (out.next == out.end)
				(void)spill(true);
		}
	}
	if (out.by_lines)
		flush();
}

// The signal handlers: they may only call async-signal-safe functions, and
// must leave errno as they found it.

// A tick of the watch; a SIGALRM from outside is none, and only interrupts
// what it interrupts.
static void
tick(int, siginfo_t *info, void *)
{
	if (info->si_code == SI_TIMER)
		ticked = 1;
}

// The first stop ends the capture, and breaks libpcap's own wait. A second
// one sets the watch going, so that a reader that has stopped reading, or a
// terminal held with Ctrl-S, cannot keep the listener; while standard
// output takes text, it loses nothing, so that a terminal's hangup, which
// comes twice, or a supervisor's SIGTERM and SIGHUP, cut no write-out
// short. Further stops change nothing.
static void
stop(int signo)
{
	if (stop_signal == 0) {
		stop_signal = signo;
		pcap_t *handle = capture.handle;
		if (handle != nullptr) {
			int saved = errno;
			pcap_breakloop(handle);
			errno = saved;
		}
	} else if (second_signal == 0) {
		int saved = errno;
		second_signal = signo;
		const struct itimerspec every = {{stall_seconds, 0}, {stall_seconds, 0}};
		(void)timer_settime(watch, 0, &every, nullptr);
		errno = saved;
	}
}

// Carries libpcap's figures into the kernel's. Differences of unsigned
// 32-bit numbers stay right across a wrap.
static void
carry_stats(const struct pcap_stat &ps)
{
	kernel.taken += (ps.ps_recv - ps.ps_drop) - (kernel.seen.ps_recv - kernel.seen.ps_drop);
	kernel.dropped += ps.ps_drop - kernel.seen.ps_drop;
	kernel.seen = ps;
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

// A standard descriptor closed at start would be taken by the next file
// opened, libpcap's socket or eventfd, and our output would go there. Each
// is taken with /dev/null, opened the wrong way round so that using it
// fails, as the C library does for privileged programs; false if that fails,
// as there is no safe place left to say so.
static bool
guard_descriptors()
{
	for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
		if (fcntl(fd, F_GETFD) == -1 && open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) != fd)
			return false;
	return true;
}

// From the start, so that a stop during the open is honoured too, and
// without SA_RESTART, so that the wait it interrupts returns. Whoever ignored
// SIGINT, SIGTERM or SIGHUP before starting us (nohup, a shell's background
// job) meant it to be ignored; a stop or SIGALRM blocked in the mask we
// inherited is a parent's leftover, and is let in. The handler runs with
// the other stops held, so that it is never interrupted by one. SIGALRM is
// the watch's from the start, so that one from outside, at any moment,
// ends nothing. The watch's timer is made here, as the second stop's
// handler may only set it going; the error, if it cannot be, is returned.
static int
catch_stops()
{
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
	struct sigaction watch_tick = {};
	watch_tick.sa_sigaction = tick;
	watch_tick.sa_flags = SA_SIGINFO;
	sigaction(SIGALRM, &watch_tick, nullptr);
	sigset_t let_in = stops;
	sigaddset(&let_in, SIGALRM);
	sigprocmask(SIG_UNBLOCK, &let_in, nullptr);
	struct sigevent alarm = {};
	alarm.sigev_notify = SIGEV_SIGNAL;
	alarm.sigev_signo = SIGALRM;
	return timer_create(CLOCK_MONOTONIC, &alarm, &watch) == -1 ? errno : 0;
}

// Buffered as the C library would buffer it: by lines on a terminal, in
// blocks of the destination's preferred size up to BUFSIZ. But a pipe, named
// or not, that polls writable is sure to take only PIPE_BUF bytes at once,
// whatever block its filesystem reports.
static void
size_output()
{
	// Unknown, standard output is none of those, and gets BUFSIZ.
	struct stat st = {};
	(void)fstat(STDOUT_FILENO, &st);
	if (st.st_blksize > 0 && st.st_blksize < BUFSIZ)
		out.end = out.buf + st.st_blksize;
	if (S_ISFIFO(st.st_mode) && out.end - out.buf > PIPE_BUF)
		out.end = out.buf + PIPE_BUF;
	out.socket = S_ISSOCK(st.st_mode);
	out.pipe = S_ISFIFO(st.st_mode);
	out.by_lines = isatty(STDOUT_FILENO) != 0;
	out.polled = out.by_lines || out.pipe;
}

// Opens the device for a live capture, and decides from what it is how the
// capture is read and counted; false, the failure said, if it cannot.
static bool
open_capture(const char *device)
{
	char errbuf[PCAP_ERRBUF_SIZE];
	pcap_t *handle = pcap_create(device, errbuf);
	if (handle == nullptr) {
		say({"pcap_open_live(): ", errbuf, "\n"});
		return false;
	}
	// libpcap's largest snapshot. A packet socket keeps of a packet only
	// what its filter returns; but libpcap reads netfilter's log, which the
	// kernel sends in batches of messages, into a buffer of the snapshot
	// and 128 bytes, and a batch longer than that would be cut, losing the
	// packets past the cut without a word. The longest seen was one message
	// of 65,092 bytes, for a packet of 65,000.
	(void)pcap_set_snaplen(handle, 262144);
	(void)pcap_set_timeout(handle, read_timeout_ms);
	// Bound to EtherType 0xFFFF, which no packet has (IEEE reserves it), a
	// packet socket takes nothing until its filter is on: a packet taken
	// before, that libpcap would throw away, would count. Other devices
	// take no notice.
	(void)pcap_set_protocol_linux(handle, 0xFFFF);
	if (int status = pcap_activate(handle); status < 0) {
		// Said as pcap_open_live says it.
		const char *why = pcap_geterr(handle);
		const bool explained = status == PCAP_ERROR_NO_SUCH_DEVICE || status == PCAP_ERROR_PERM_DENIED ||
		                       status == PCAP_ERROR_PROMISC_PERM_DENIED;
		if (status == PCAP_ERROR)
			(void)snprintf(errbuf, sizeof errbuf, "%s: %s", device, why);
		else if (explained && why[0] != '\0')
			(void)snprintf(errbuf, sizeof errbuf, "%s: %s (%s)", device, pcap_statustostr(status), why);
		else
			(void)snprintf(errbuf, sizeof errbuf, "%s: %s", device, pcap_statustostr(status));
		pcap_close(handle);
		say({"pcap_open_live(): ", errbuf, "\n"});
		return false;
	}
	const int fd = pcap_fileno(handle);
	int domain = -1;
	socklen_t length = sizeof domain;
	(void)getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &domain, &length);
	if (domain == AF_PACKET) {
		// The kernel keeps of a packet what the socket's filter returns, not
		// the snapshot: unfiltered, its ring would fill with bytes nobody
		// reads. This filter keeps one byte of every packet but those that
		// libpcap would take from the ring only to throw away: a packet
		// leaving the loopback device, which comes in there too, and a CAN
		// frame sent, which the CAN stack loops back. So the ring holds only
		// packets that are counted, and the kernel's figures count them. It
		// is set on the socket itself, as libpcap, were the kernel to refuse
		// it, would warn on standard error and keep whole packets.
		const auto loopback = static_cast<__u32>(if_nametoindex("lo"));
		struct sock_filter program[] = {
			BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<__u32>(SKF_AD_OFF) + SKF_AD_PKTTYPE),
			BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 0, 4),
			BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<__u32>(SKF_AD_OFF) + SKF_AD_IFINDEX),
			BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, loopback, 3, 0),
			BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<__u32>(SKF_AD_OFF) + SKF_AD_HATYPE),
			BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ARPHRD_CAN, 1, 0),
			BPF_STMT(BPF_RET | BPF_K, 1),
			BPF_STMT(BPF_RET | BPF_K, 0),
		};
		struct sock_fprog counted = {sizeof program / sizeof program[0], program};
		// Then bound to every protocol, on the device libpcap bound it to;
		// a failed look at that fails the bind.
		struct sockaddr_ll bound = {};
		socklen_t size = sizeof bound;
		(void)getsockname(fd, reinterpret_cast<struct sockaddr *>(&bound), &size);
		bound.sll_protocol = htons(ETH_P_ALL);
		const char *failed = nullptr;
		if (setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &counted, sizeof counted) == -1)
			failed = "setsockopt(): ";
		else if (bind(fd, reinterpret_cast<struct sockaddr *>(&bound), sizeof bound) == -1)
			failed = "bind(): ";
		if (failed != nullptr) {
			int error = errno;
			pcap_close(handle);
			say({failed, strerror(error), "\n"});
			return false;
		}
	}
	capture.fd = pcap_get_selectable_fd(handle);
	capture.ring = domain == AF_PACKET;
	capture.overflows = domain == AF_NETLINK;
	// So that the loop can wait for packets and for standard output at
	// once; where there is nothing to poll, libpcap waits itself.
	if (capture.fd >= 0 && pcap_setnonblock(handle, 1, errbuf) == PCAP_ERROR) {
		pcap_close(handle);
		say({"pcap_setnonblock(): ", errbuf, "\n"});
		return false;
	}
	capture.handle = handle;
	return true;
}

// Captures until a stop comes, standard output fails or the capture does;
// then, on a packet socket, counts what the ring took by then, handed over
// or not: the figures are read as soon as the stop is seen, and nothing
// after counts. The capture stays open through the write-out: finish closes
// it.
static ending
count_packets()
{
	ending end = {};
	// A stop that came while the device was opened ends the capture before
	// it begins: all the ring took came after it.
	if (stop_signal != 0)
		return end;
	pcap_t *handle = capture.handle;
	// It waits for packets, and for room in standard output while a
	// buffer-full waits, with the stops let in; they are held only from
	// looking for one until the wait lets them in, so that none comes
	// between. Standard output is polled only while it is behind: polled
	// for nothing, it still reports a hang-up, and would never let the wait
	// begin. Where there is nothing to poll, libpcap waits itself, and a
	// stop breaks its wait.
	struct pollfd fds[2] = {{capture.fd, POLLIN, 0}, {-1, POLLOUT, 0}};
	sigset_t waiting;
	sigprocmask(SIG_BLOCK, nullptr, &waiting);
	while (out.error == 0) {
		int result;
		if (capture.fd >= 0) {
			fds[0].revents = 0;
			fds[1].fd = out.next >= out.end ? STDOUT_FILENO : -1;
			// libpcap may want to look again whether a device down has gone.
			const struct timeval *tv = pcap_get_required_select_timeout(handle);
			struct timespec timeout;
			if (tv != nullptr)
				TIMEVAL_TO_TIMESPEC(tv, &timeout);
			sigprocmask(SIG_BLOCK, &stops, nullptr);
			if (stop_signal != 0)
				break;
			// A failed wait (interrupted, short of memory) means looking
			// again.
			int ready = ppoll(fds, 2, tv != nullptr ? &timeout : nullptr, &waiting);
			sigprocmask(SIG_SETMASK, &waiting, nullptr);
			// Read only when the capture is ready, or libpcap's time has
			// come: netfilter's reader takes a read that would wait for an
			// error.
			result = stop_signal == 0 && (ready == 0 || fds[0].revents != 0)
			                 ? pcap_dispatch(handle, -1, my_callback, nullptr)
			                 : 0;
		} else {
			result = stop_signal == 0 ? pcap_dispatch(handle, -1, my_callback, nullptr) : 0;
		}
		if (stop_signal != 0)
			break;
		if (result == PCAP_ERROR) {
			(void)snprintf(end.capture_error, sizeof end.capture_error, "%s", pcap_geterr(handle));
			break;
		}
		// A failure is said at the end, where it will fail again.
		(void)read_stats(handle);
		write_numbers(false);
	}
	sigprocmask(SIG_SETMASK, &waiting, nullptr);

	if (!read_stats(handle)) {
		(void)snprintf(end.stats_error, sizeof end.stats_error, "%s", pcap_geterr(handle));
	} else if (capture.ring) {
		assert(count <= kernel.taken);
		count = kernel.taken;
	}
	return end;
}

// Says, each on a line after the count stream, what the kernel dropped, or
// why that is not known, and how the capture failed; returns the status.
static int
report(const ending &end)
{
	const char *newline = count != 0 ? "\n" : "";
	if (end.stats_error[0] != '\0') {
		say({newline, "pcap_stats(): ", end.stats_error, "\n"});
		newline = "";
	} else if (kernel.dropped > 0 && capture.overflows) {
		say({newline, "some packets dropped by the kernel\n"});
		newline = "";
	} else if (kernel.dropped > 0) {
		char figure[24];
		(void)snprintf(figure, sizeof figure, "%" PRIu64, kernel.dropped);
		say({newline, figure, kernel.dropped == 1 ? " packet" : " packets", " dropped by the kernel\n"});
		newline = "";
	}
	// Named for the capture loop, as the line has always been.
	if (end.capture_error[0] != '\0')
		say({newline, "pcap_loop(): ", end.capture_error, "\n"});
	return end.capture_error[0] != '\0' || end.stats_error[0] != '\0' ? 1 : 0;
}

// Every way the listener ends comes through here. Standard output is
// closed once all is written, before the capture, whose close waits for the
// kernel, some 30 ms: so its reader sees the end at once. Its close is
// checked as a write is, as some filesystems (NFS, FUSE) say only then that
// a write failed.
static int
finish(int status)
{
	flush();
	if (out.error == 0 && close(STDOUT_FILENO) == -1) {
		out.error = errno;
		out.failed = "close()";
	}
	if (out.error != 0) {
		// Standard output is what failed, so this one message goes to
		// standard error; if that fails too, nothing is left to tell.
		(void)fprintf(stderr, "%s: %s\n", out.failed, strerror(out.error));
		status = 1;
	}
	const struct itimerspec off = {};
	(void)timer_settime(watch, 0, &off, nullptr);
	sigprocmask(SIG_BLOCK, &stops, nullptr);
	if (capture.handle != nullptr)
		pcap_close(capture.handle);
	// End by the signal's own default action, so that the caller sees the
	// status it would have without the handler.
	if (stop_signal != 0) {
		(void)signal(stop_signal, SIG_DFL);
		sigprocmask(SIG_UNBLOCK, &stops, nullptr);
		(void)raise(stop_signal);
	}
	return status;
}

int
main(int argc, char *argv[])
{
	if (!guard_descriptors())
		return 1;
	int watchless = catch_stops();
	size_output();
	if (watchless != 0) {
		say({"timer_create(): ", strerror(watchless), "\n"});
		return finish(1);
	}
	if (argc < 2) {
		say({"usage: ", argc > 0 && argv[0][0] != '\0' ? argv[0] : "listener", " capture-device\n"});
		return finish(1);
	}
	say({"Listening on device : ", argv[1], " \n"});
	if (!open_capture(argv[1]))
		return finish(1);
	return finish(report(count_packets()));
}
