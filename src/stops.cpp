// The stops: their handlers, the watchdog and the open's deadline.

#include "stops.h"
#include "failure.h"

#include <limits.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

volatile sig_atomic_t first_stop;
volatile sig_atomic_t second_stop;
volatile sig_atomic_t watch_ticks;
int wake_fd = -1;

static const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};
static const struct itimerspec watchdog = {{1, 0}, {0, 1}};
static const struct itimerspec deadline = {{0, 0}, {1, 0}};

// Made at start: a handler may arm a timer, not create one.
static timer_t timer;

// Read by the handlers, so lock-free atomics; the text is stored before
// the flag that says it is there.
static std::atomic<const char *> said;
static std::atomic<size_t> said_length;
static std::atomic<bool> opening;
static std::atomic<bool> watching;
static_assert(std::atomic<const char *>::is_always_lock_free && std::atomic<size_t>::is_always_lock_free &&
              std::atomic<bool>::is_always_lock_free);

void
end_by(int signo)
{
	(void)signal(signo, SIG_DFL);
	(void)raise(signo);
}

// exchange(): of the handler and open_ends(), only one arms the watchdog,
// whose first tick is at once.
static void
hear_stop(int signo)
{
	const int saved = errno;
	if (first_stop == 0) {
		first_stop = signo;
		const uint64_t one = 1;
		(void)!write(wake_fd, &one, sizeof one);
		if (opening.load())
			(void)timer_settime(timer, 0, &deadline, nullptr);
	} else if (second_stop == 0) {
		second_stop = signo;
		if (!opening.load() && !watching.exchange(true))
			(void)timer_settime(timer, 0, &watchdog, nullptr);
	}
	errno = saved;
}

// At the deadline, no write waits: a full pipe or terminal polls not
// writable, a socket takes MSG_DONTWAIT, and a pipe that polls writable
// takes PIPE_BUF. The stop is pending, held by sa_mask, until we return.
static void
hear_tick(int, siginfo_t *info, void *)
{
	if (info->si_code != SI_TIMER)
		return;
	const int saved = errno;
	if (opening.load() && first_stop != 0) {
		const char *text = said.load();
		struct pollfd out = {STDOUT_FILENO, POLLOUT, 0};
		for (size_t left = said_length.load(); left > 0 && poll(&out, 1, 0) == 1 && out.revents == POLLOUT;) {
			const size_t n = std::min<size_t>(left, PIPE_BUF);
			ssize_t written = send(STDOUT_FILENO, text, n, MSG_DONTWAIT);
			if (written == -1 && errno == ENOTSOCK)
				written = write(STDOUT_FILENO, text, n);
			if (written <= 0)
				break;
			text += written;
			left -= static_cast<size_t>(written);
		}
		end_by(first_stop);
	} else if (watching.load()) {
		watch_ticks = watch_ticks + 1;
	}
	errno = saved;
}

// A stop ignored at exec stays ignored. No SA_RESTART: a poll() or write()
// the signal interrupts returns EINTR. Each handler runs with the others
// held.
const char *
catch_stops()
{
	static char failure[64];
	wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
	if (wake_fd == -1)
		return fail(failure, "eventfd()", strerror(errno));
	struct sigevent ticks = {};
	ticks.sigev_notify = SIGEV_SIGNAL;
	ticks.sigev_signo = SIGALRM;
	if (timer_create(CLOCK_MONOTONIC, &ticks, &timer) == -1)
		return fail(failure, "timer_create()", strerror(errno));
	sigset_t held;
	sigemptyset(&held);
	sigaddset(&held, SIGALRM);
	for (int signo : stop_signals) {
		struct sigaction old;
		if (sigaction(signo, nullptr, &old) == -1)
			return fail(failure, "sigaction()", strerror(errno));
		if (old.sa_handler != SIG_IGN)
			sigaddset(&held, signo);
	}
	struct sigaction on_stop = {};
	on_stop.sa_handler = hear_stop;
	on_stop.sa_mask = held;
	struct sigaction on_tick = {};
	on_tick.sa_sigaction = hear_tick;
	on_tick.sa_flags = SA_SIGINFO;
	on_tick.sa_mask = held;
	for (int signo : stop_signals)
		if (sigismember(&held, signo) == 1 && sigaction(signo, &on_stop, nullptr) == -1)
			return fail(failure, "sigaction()", strerror(errno));
	if (sigaction(SIGALRM, &on_tick, nullptr) == -1)
		return fail(failure, "sigaction()", strerror(errno));
	// SIGPIPE too: blocked, a write to a pipe with no reader would fail
	// with EPIPE, as if it were ignored.
	sigaddset(&held, SIGPIPE);
	if (sigprocmask(SIG_UNBLOCK, &held, nullptr) == -1)
		return fail(failure, "sigprocmask()", strerror(errno));
	return nullptr;
}

// A stop before the store is seen here, one after by its handler.
void
open_begins(const char *text, size_t length)
{
	said.store(text);
	said_length.store(length);
	opening.store(true);
	if (first_stop != 0)
		(void)timer_settime(timer, 0, &deadline, nullptr);
}

// A deadline still armed only ticks: opening is false by then.
void
open_ends()
{
	opening.store(false);
	if (second_stop != 0 && !watching.exchange(true))
		(void)timer_settime(timer, 0, &watchdog, nullptr);
}
