// Tests of what no end-to-end run reaches, linked with the listener's own
// parts: the count stream's text at every change in its number of digits,
// across 2^64, from every start within a decade and within its overrun;
// libpcap's 32-bit statistics carried past 2^32; the netlink fence; the
// release of D-Bus messages, against a stand-in for libdbus; and
// standard output's writes, through the linker's --wrap of write(), send()
// and poll(), each case in a process of its own, as the output's state is
// the process's.

#include "dbus.h"
#include "kinds.h"
#include "output.h"
#include "watchdog.h"

#include <linux/netlink.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

static int failures;

// Says what went wrong, given in pieces, unless ok.
static void
expect(bool ok, std::initializer_list<std::string> what)
{
	if (!ok) {
		for (const std::string &piece : what)
			(void)fputs(piece.c_str(), stderr);
		(void)fputc('\n', stderr);
		++failures;
	}
}

__extension__ typedef unsigned __int128 u128;

static std::string
decimal(u128 n)
{
	std::string digits;
	do
		digits.insert(digits.begin(), static_cast<char>('0' + n % 10));
	while ((n /= 10) != 0);
	return digits;
}

static std::string
stream(u128 first, uint64_t n)
{
	std::string text;
	for (uint64_t i = 0; i < n; ++i)
		text += decimal(first + i) + ", ";
	return text;
}

// The next number to make, as make_text keeps it.
static number_text
text_at(u128 n)
{
	std::string digits = decimal(n);
	digits.insert(0, 20 - digits.size(), '0');
	number_text text;
	memcpy(text.digits, digits.c_str(), 20);
	text.first = digits.find_first_not_of('0');
	return text;
}

// Thirty numbers from a start, made into rooms smaller than an item, than
// a decade, and larger, as the buffer's limit cuts them.
static void
check_text(u128 start)
{
	const std::string wanted = stream(start, 30);
	for (size_t room : {64, 1, 7, 23}) {
		number_text text = text_at(start);
		std::string made_text;
		char buf[64 + make_text_overrun];
		for (uint64_t owed = 30; owed > 0 && made_text.size() <= wanted.size();) {
			const char *end = make_text(text, buf, buf + room, owed);
			expect(end >= buf + room || owed == 0, {"stopped short of the room with numbers owed"});
			made_text.append(buf, static_cast<size_t>(end - buf));
			if (end == buf)
				break;
		}
		expect(made_text == wanted, {"from ", decimal(start), " in rooms of ", std::to_string(room), ":\n  ",
		                             made_text, "\nnot\n  ", wanted});
	}
}

static void
test_text_grows_a_digit_and_passes_64_bits()
{
	const u128 two_to_64 = static_cast<u128>(1) << 64;
	std::vector<u128> starts = {1, 87, two_to_64 - 13, two_to_64 - 1, two_to_64 * 5 + 3};
	for (u128 power = 1000; power <= static_cast<u128>(10000000000000000000U); power *= 10)
		starts.push_back(power - 13);
	for (u128 start : starts)
		check_text(start);
}

// However many are owed, from wherever in a decade: a decade is made whole
// only when ten are owed.
static void
test_text_of_every_count_from_every_start_in_a_decade()
{
	for (u128 start = 1; start <= 21; ++start)
		for (uint64_t n = 0; n <= 21; ++n) {
			number_text text = text_at(start);
			char buf[1024];
			uint64_t owed = n;
			const char *end = make_text(text, buf, buf + sizeof buf - make_text_overrun, owed);
			const std::string made_text(buf, static_cast<size_t>(end - buf));
			expect(owed == 0 && made_text == stream(start, n),
			       {"from ", decimal(start), ", ", std::to_string(n), " owed: ", made_text});
		}
}

// Begun a byte before the end, at a decade of twenty digits: nothing is
// written from make_text_overrun past the end on.
static void
test_text_stays_within_its_overrun()
{
	char buf[64 + make_text_overrun + 64];
	memset(buf, 'x', sizeof buf);
	char *const end = buf + 64;
	number_text text = text_at(static_cast<u128>(10000000000000000000U));
	uint64_t owed = 100;
	(void)make_text(text, end - 1, end, owed);
	expect(std::string(end + make_text_overrun, buf + sizeof buf) == std::string(64, 'x'),
	       {"wrote past make_text_overrun"});
}

// 64-bit truths, each counter wrapping at its own time, less than 2^32 on
// from the last reading; and the drop line gives the carried figure.
static void
test_statistics_carry_past_32_bits()
{
	const uint64_t readings[][2] = {
		{0, 0},
		{4000000000, 1000},
		{4294967295, 1001},
		{4294967296 + 5000, 2000},
		{8000000000, 3000000000},
		{11000000000, 4294967296 + 9},
		{15000000000, 8000000000},
	};
	struct figures figures = {};
	for (const auto &r : readings) {
		struct pcap_stat ps = {};
		ps.ps_recv = static_cast<u_int>(r[0]);
		ps.ps_drop = static_cast<u_int>(r[1]);
		add_reading(figures, ps, false);
		expect(figures.received == r[0], {"received ", std::to_string(figures.received)});
		expect(figures.dropped == r[1], {"dropped ", std::to_string(figures.dropped)});
	}
	const char *line = drops(figures);
	expect(line != nullptr && strcmp(line, "8000000000 packets dropped by the kernel") == 0, {"the drop line"});
}

// A socket full when the fence goes up: what was queued before is read to
// the last, and a message sent once there is room again is not.
static void
test_netlink_fence_holds_a_full_socket()
{
	const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_USERSOCK);
	struct sockaddr_nl self = {};
	self.nl_family = AF_NETLINK;
	socklen_t length = sizeof self;
	if (fd == -1 || bind(fd, reinterpret_cast<sockaddr *>(&self), sizeof self) == -1 ||
	    getsockname(fd, reinterpret_cast<sockaddr *>(&self), &length) == -1) {
		expect(false, {"netlink socket: ", strerror(errno)});
		return;
	}
	auto send_one = [&] {
		struct nlmsghdr header = {};
		header.nlmsg_len = sizeof header;
		return sendto(fd, &header, sizeof header, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&self),
		              sizeof self) == sizeof header;
	};
	int queued = 0;
	while (send_one())
		++queued;
	expect(errno == EAGAIN && queued > 0, {"socket not full: ", strerror(errno)});
	expect(fence(fd) == nullptr, {"fence: ", strerror(errno)});
	struct nlmsghdr header;
	int read = recv(fd, &header, sizeof header, 0) == sizeof header ? 1 : 0;
	send_one();
	while (recv(fd, &header, sizeof header, 0) == sizeof header)
		++read;
	expect(read == queued, {"read ", std::to_string(read), " of ", std::to_string(queued), " queued before"});
	close(fd);
}

extern "C" int fakedbus_alive();
extern "C" int fakedbus_twice();

// As libpcap 1.10.3's dbus_read() takes a message, and as a libpcap that
// releases it; in turn, and each many times over.
static void
test_dbus_messages_are_released_once_whoever_keeps_them()
{
	const struct {
		const char *libpcap;
		bool releases;
	} readers[] = {{"keeps", false}, {"releases", true}, {"keeps", false}};
	for (const auto &reader : readers)
		for (int i = 0; i < 1000; ++i) {
			DBusMessage *message = dbus_connection_pop_message(nullptr);
			if (reader.releases)
				dbus_message_unref(message);
			expect(fakedbus_alive() == (reader.releases ? 0 : 1) && fakedbus_twice() == 0,
			       {"libpcap ", reader.libpcap, ": ", std::to_string(fakedbus_alive()), " alive, ",
			        std::to_string(fakedbus_twice()), " released twice"});
		}
}

// Standard output's writes as the test scripts them: each takes what its
// step says, all of what it is given by default, and is noted by its size.
// A step may also tick the watchdog, as SIGALRM would during the write.
struct step {
	ssize_t takes; // bytes, or -1 for all
	int error;
	bool ticks;
};
static struct {
	bool on;
	std::deque<step> script;
	std::vector<size_t> sizes;
	std::string taken;
} fake; // NOLINT(cert-err58-cpp): a test's, which may throw at start

// The names --wrap gives.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" ssize_t __real_write(int fd, const void *buf, size_t n);
extern "C" ssize_t __real_send(int fd, const void *buf, size_t n, int flags);
extern "C" int __real_poll(struct pollfd *fds, nfds_t nfds, int timeout);

static ssize_t
take(const void *buf, size_t n)
{
	const step s = fake.script.empty() ? step{-1, 0, false} : fake.script.front();
	if (!fake.script.empty())
		fake.script.pop_front();
	fake.sizes.push_back(n);
	if (s.ticks)
		tick();
	if (s.error != 0) {
		errno = s.error;
		return -1;
	}
	const size_t k = s.takes < 0 ? n : std::min(n, static_cast<size_t>(s.takes));
	fake.taken.append(static_cast<const char *>(buf), k);
	return static_cast<ssize_t>(k);
}

extern "C" ssize_t
__wrap_write(int fd, const void *buf, size_t n)
{
	return fake.on && fd == STDOUT_FILENO ? take(buf, n) : __real_write(fd, buf, n);
}

extern "C" ssize_t
__wrap_send(int fd, const void *buf, size_t n, int flags)
{
	return fake.on && fd == STDOUT_FILENO ? take(buf, n) : __real_send(fd, buf, n, flags);
}

// Standard output always has room.
extern "C" int
__wrap_poll(struct pollfd *fds, nfds_t nfds, int timeout)
{
	if (!fake.on || nfds != 1 || fds[0].fd != STDOUT_FILENO)
		return __real_poll(fds, nfds, timeout);
	fds[0].revents = POLLOUT;
	return 1;
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

// Runs the case in a child whose standard output is a file, or a pipe
// that nobody reads, sized as the listener sizes it; the writes are
// scripted.
template <typename F>
static void
apart(const char *name, bool pipe_out, F check)
{
	const pid_t child = fork();
	if (child == 0) {
		failures = 0;
		int fds[2];
		FILE *file = tmpfile();
		if (pipe_out ? pipe(fds) == -1 : file == nullptr)
			_exit(2);
		(void)dup2(pipe_out ? fds[1] : fileno(file), STDOUT_FILENO);
		size_output();
		give_up_when(stalled);
		fake.on = true;
		check();
		fake.on = false;
		_exit(failures == 0 ? 0 : 1);
	}
	int status = 0;
	(void)waitpid(child, &status, 0);
	expect(WIFEXITED(status) && WEXITSTATUS(status) == 0, {"  in: ", name});
}

// Text of 4096-byte blocks, as a pipe and a file on most filesystems
// prefer: the first numbers' text of blocks whole blocks and some.
static uint64_t
numbers_for(size_t blocks)
{
	uint64_t n = 0;
	while (stream(1, n).size() < blocks * 4096 + 100)
		n += 10;
	return n;
}

static void
test_writes_of_standard_output()
{
	apart("a file gets every whole block ready in one write", false, [] {
		const uint64_t n = numbers_for(3);
		write_numbers(n, false);
		expect(fake.sizes == std::vector<size_t>{size_t{3} * 4096}, {"writes other than one of 3 blocks"});
		close_output();
		expect(fake.taken == stream(1, n), {"text other than the numbers'"});
	});
	apart("a short write and EAGAIN keep what was sent", true, [] {
		const uint64_t n = numbers_for(2);
		fake.script = {{1000, 0, false}, {0, EAGAIN, false}};
		write_numbers(n, false);
		expect(fake.sizes == std::vector<size_t>{4096, 3096}, {"writes other than a block, then the rest"});
		write_numbers(n, false);
		close_output();
		expect(fake.taken == stream(1, n), {"text other than the numbers'"});
	});
	apart("a write of 0 is ENOSPC", true, [] {
		fake.script = {{0, 0, false}};
		write_numbers(numbers_for(1), false);
		const char *failure = close_output();
		expect(failure != nullptr && strcmp(failure, "write(): No space left on device") == 0 && fake.sizes.size() == 1,
		       {"not one write, failed with ENOSPC"});
	});
	apart("EINTR returns, unless told to wait", true, [] {
		const uint64_t n = numbers_for(1);
		fake.script = {{0, EINTR, false}, {0, EINTR, false}};
		expect(write_numbers(n, false) == nullptr && fake.sizes.size() == 1, {"not back after one EINTR"});
		write_numbers(n, true);
		expect(fake.sizes.size() == 3 && fake.taken == stream(1, n).substr(0, 4096), {"not on to the write after"});
	});
	apart("two ticks with no progress stall the write-out", true, [] {
		fake.script = {{0, EINTR, true}, {0, EINTR, true}, {0, EINTR, true}};
		write_numbers(numbers_for(1), true);
		expect(output_given_up() && fake.sizes.size() == 2, {"not stalled at the 2nd tick"});
	});
	apart("progress between ticks keeps the write-out going", true, [] {
		const uint64_t n = numbers_for(2);
		for (int i = 0; i < 40; ++i)
			fake.script.push_back({i % 2 == 0 ? 0 : 300, i % 2 == 0 ? EINTR : 0, i % 2 == 0});
		write_numbers(n, true);
		close_output();
		expect(!output_given_up() && fake.taken == stream(1, n), {"given up though it took text"});
	});
}

int
main()
{
	test_text_grows_a_digit_and_passes_64_bits();
	test_text_of_every_count_from_every_start_in_a_decade();
	test_text_stays_within_its_overrun();
	test_statistics_carry_past_32_bits();
	test_netlink_fence_holds_a_full_socket();
	test_dbus_messages_are_released_once_whoever_keeps_them();
	test_writes_of_standard_output();
	return failures == 0 ? 0 : 1;
}
