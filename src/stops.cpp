// The stops: their handlers, and the timer of the watch and of the open.

#include "stops.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

volatile sig_atomic_t first_stop;
volatile sig_atomic_t second_stop;
volatile sig_atomic_t watch_ticks;
int wake_fd = -1;

static const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Made at start, as a handler may set a timer going but not make one.
static timer_t timer;

// Read by the handlers: lock-free atomics are safe there, and the open's
// text is published before the flag that tells it is there.
static std::atomic<pcap_t *> breakable;
static std::atomic<const char *> said;
static std::atomic<size_t> said_length;
static std::atomic<bool> opening;
static_assert(std::atomic<pcap_t *>::is_always_lock_free && std::atomic<const char *>::is_always_lock_free &&
              std::atomic<size_t>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

static char failure[64];

// A first tick at once, so that the watch's first look is at the second
// stop, and its first judgement a second later; then one a second.
static void
start_watch()
{
	const struct itimerspec every_second = {{1, 0}, {0, 1}};
	(void)timer_settime(timer, 0, &every_second, nullptr);
}

static void
start_deadline()
{
	const struct itimerspec in_a_second = {{0, 0}, {1, 0}};
	(void)timer_settime(timer, 0, &in_a_second, nullptr);
}

// The first stop wakes the capture loop, breaks libpcap's own wait, and
// starts the open's deadline while the device is opened. A second one
// starts the watch, once the open is over.
static void
hear_stop(int signo)
{
	const int saved = errno;
	if (first_stop == 0) {
		first_stop = signo;
		const uint64_t one = 1;
		(void)!write(wake_fd, &one, sizeof one);
		if (pcap_t *handle = breakable.load())
			pcap_breakloop(handle);
		if (opening.load())
			start_deadline();
	} else if (second_stop == 0) {
		second_stop = signo;
		if (!opening.load())
			start_watch();
	}
	errno = saved;
}

// The open's deadline, or a tick of the watch. At the deadline the listener
// ends by the first stop, with what was said written out: in the open
// there is no other way back.
static void
hear_tick(int, siginfo_t *info, void *)
{
	if (info->si_code != SI_TIMER)
		return;
	const int saved = errno;
	if (opening.load() && first_stop != 0) {
		const char *text = said.load();
		for (size_t left = said_length.load(); left > 0;) {
			const ssize_t written = write(STDOUT_FILENO, text, left);
			if (written <= 0)
				break;
			text += written;
			left -= static_cast<size_t>(written);
		}
		(void)signal(first_stop, SIG_DFL);
		(void)raise(first_stop);
	} else if (second_stop != 0) {
		watch_ticks = watch_ticks + 1;
	}
	errno = saved;
}

static const char *
fail(const char *call)
{
	(void)snprintf(failure, sizeof failure, "%s: %s", call, strerror(errno));
	return failure;
}

// Whoever ignored a stop before starting us (nohup, a shell's background
// job) meant it to be ignored. A stop or SIGALRM blocked in the inherited
// mask is a parent's leftover. No SA_RESTART: the wait a stop or a tick
// interrupts returns. Each handler runs with the others held.
const char *
catch_stops()
{
	wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
	if (wake_fd == -1)
		return fail("eventfd()");
	struct sigevent ticks = {};
	ticks.sigev_notify = SIGEV_SIGNAL;
	ticks.sigev_signo = SIGALRM;
	if (timer_create(CLOCK_MONOTONIC, &ticks, &timer) == -1)
		return fail("timer_create()");
	sigset_t held;
	sigemptyset(&held);
	sigaddset(&held, SIGALRM);
	for (int signo : stop_signals) {
		struct sigaction old;
		if (sigaction(signo, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
			sigaddset(&held, signo);
	}
	struct sigaction on_stop = {};
	on_stop.sa_handler = hear_stop;
	on_stop.sa_mask = held;
	for (int signo : stop_signals)
		if (sigismember(&held, signo) == 1)
			(void)sigaction(signo, &on_stop, nullptr);
	struct sigaction on_tick = {};
	on_tick.sa_sigaction = hear_tick;
	on_tick.sa_flags = SA_SIGINFO;
	on_tick.sa_mask = held;
	(void)sigaction(SIGALRM, &on_tick, nullptr);
	(void)sigprocmask(SIG_UNBLOCK, &held, nullptr);
	return nullptr;
}

void
break_on_stop(pcap_t *handle)
{
	breakable.store(handle);
}

void
open_begins(const char *text, size_t length)
{
	said.store(text);
	said_length.store(length);
	opening.store(true);
	// A stop that came before is heard here, one after by its handler.
	if (first_stop != 0)
		start_deadline();
}

// Held for a moment, as a second stop that came during the open, and found
// the watch not to be started then, must find it started now.
void
open_ends()
{
	sigset_t held, was;
	sigemptyset(&held);
	sigaddset(&held, SIGALRM);
	for (int signo : stop_signals)
		sigaddset(&held, signo);
	(void)sigprocmask(SIG_BLOCK, &held, &was);
	opening.store(false);
	if (second_stop != 0) {
		start_watch();
	} else {
		const struct itimerspec off = {};
		(void)timer_settime(timer, 0, &off, nullptr);
	}
	(void)sigprocmask(SIG_SETMASK, &was, nullptr);
}
