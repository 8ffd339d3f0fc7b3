// The stops: their handler, and the open's deadline.

#include "stops.h"
#include "failure.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>

volatile sig_atomic_t first_stop;
volatile sig_atomic_t second_stop;
int wake_fd = -1;

static const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};
static const struct itimerspec one_second = {{0, 0}, {1, 0}};

// Made at start, with a stop's signal that is caught: a handler may arm a
// timer, not create one.
static timer_t deadline;
static void (*on_second_stop)();

// Read by the handler, so lock-free atomics; last_words is stored before
// the flag that says it is there.
static std::atomic<void (*)()> last_words;
static std::atomic<bool> opening;
static_assert(std::atomic<void (*)()>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

void
end_by(int signo)
{
	(void)signal(signo, SIG_DFL);
	(void)raise(signo);
}

// The deadline's signal comes from its timer (SI_TIMER), which no process
// can send; nor does it count as a stop.
static void
hear_stop(int signo, siginfo_t *info, void *)
{
	const int saved = errno;
	if (info->si_code == SI_TIMER && info->si_value.sival_ptr == &deadline) {
		if (opening.load()) {
			last_words.load()();
			end_by(first_stop);
		}
	} else if (first_stop == 0) {
		first_stop = signo;
		const uint64_t one = 1;
		(void)!write(wake_fd, &one, sizeof one);
		if (opening.load())
			(void)timer_settime(deadline, 0, &one_second, nullptr);
	} else if (second_stop == 0) {
		second_stop = signo;
		on_second_stop();
	}
	errno = saved;
}

// A stop ignored at exec stays ignored. No SA_RESTART: a poll() or write()
// the signal interrupts returns EINTR. The handler runs with the stops
// blocked (sa_mask).
const char *
catch_stops(void (*on_second)())
{
	static char failure[64];
	on_second_stop = on_second;
	wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
	if (wake_fd == -1)
		return fail(failure, "eventfd()", strerror(errno));
	sigset_t caught;
	sigemptyset(&caught);
	for (int signo : stop_signals) {
		struct sigaction old;
		if (sigaction(signo, nullptr, &old) == -1)
			return fail(failure, "sigaction()", strerror(errno));
		if (old.sa_handler != SIG_IGN)
			sigaddset(&caught, signo);
	}
	struct sigaction on_stop = {};
	on_stop.sa_sigaction = hear_stop;
	on_stop.sa_flags = SA_SIGINFO;
	on_stop.sa_mask = caught;
	struct sigevent event = {};
	event.sigev_notify = SIGEV_SIGNAL;
	event.sigev_value.sival_ptr = &deadline;
	for (int signo : stop_signals) {
		if (sigismember(&caught, signo) != 1)
			continue;
		if (sigaction(signo, &on_stop, nullptr) == -1)
			return fail(failure, "sigaction()", strerror(errno));
		if (event.sigev_signo != 0)
			continue;
		event.sigev_signo = signo;
		if (timer_create(CLOCK_MONOTONIC, &event, &deadline) == -1)
			return fail(failure, "timer_create()", strerror(errno));
	}
	// SIGPIPE too: blocked, a write to a pipe with no reader would fail
	// with EPIPE, as if it were ignored.
	sigaddset(&caught, SIGPIPE);
	if (sigprocmask(SIG_UNBLOCK, &caught, nullptr) == -1)
		return fail(failure, "sigprocmask()", strerror(errno));
	return nullptr;
}

// A stop before the store is seen here, one after by its handler.
void
open_begins(void (*words)())
{
	last_words.store(words);
	opening.store(true);
	if (first_stop != 0)
		(void)timer_settime(deadline, 0, &one_second, nullptr);
}

// A deadline still armed fires unheeded: opening is false by then.
void
open_ends()
{
	opening.store(false);
}
