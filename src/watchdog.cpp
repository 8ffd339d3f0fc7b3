// The watchdog: its timer, its ticks and its judgement.

#include "watchdog.h"
#include "failure.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

static const struct itimerspec every_second = {{1, 0}, {0, 1}};

// Made at start: a handler may arm a timer, not create one.
static timer_t timer;
// Counted by the handler alone; armed once, by exchange().
static volatile sig_atomic_t ticks;
static std::atomic<bool> armed;
static_assert(std::atomic<bool>::is_always_lock_free);

// The tick last looked at (0, none), progress() then, and the judgement.
static sig_atomic_t looked;
static uint64_t progress_then;
static bool gave_up;

void
tick()
{
	ticks = ticks + 1;
}

static void
hear_tick(int, siginfo_t *info, void *)
{
	if (info->si_code == SI_TIMER && info->si_value.sival_ptr == &timer)
		tick();
}

const char *
make_watchdog()
{
	static char failure[64];
	struct sigevent event = {};
	event.sigev_notify = SIGEV_SIGNAL;
	event.sigev_signo = SIGALRM;
	event.sigev_value.sival_ptr = &timer;
	if (timer_create(CLOCK_MONOTONIC, &event, &timer) == -1)
		return fail(failure, "timer_create()", strerror(errno));
	struct sigaction on_tick = {};
	on_tick.sa_sigaction = hear_tick;
	on_tick.sa_flags = SA_SIGINFO;
	sigset_t alarm;
	sigemptyset(&alarm);
	sigaddset(&alarm, SIGALRM);
	if (sigaction(SIGALRM, &on_tick, nullptr) == -1)
		return fail(failure, "sigaction()", strerror(errno));
	if (sigprocmask(SIG_UNBLOCK, &alarm, nullptr) == -1)
		return fail(failure, "sigprocmask()", strerror(errno));
	return nullptr;
}

void
arm_watchdog()
{
	if (!armed.exchange(true))
		(void)timer_settime(timer, 0, &every_second, nullptr);
}

bool
stalled(uint64_t (*progress)())
{
	const sig_atomic_t now = ticks;
	if (gave_up || now == looked)
		return gave_up;
	const uint64_t progress_now = progress();
	gave_up = looked != 0 && progress_now == progress_then;
	looked = now;
	progress_then = progress_now;
	return gave_up;
}
