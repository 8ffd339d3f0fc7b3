// Tests of what no end-to-end test reaches in reasonable time, built from the
// listener's own source with its main renamed: the text of numbers near and
// past 2^64, libpcap's 32-bit figures carried past 2^32, and the drop line,
// whose figure no end-to-end test can set.

#define main listener_main
#include "../src/listener.cpp" // NOLINT(bugprone-suspicious-include): built again, with main renamed
#undef main

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

// Sets the next number to make, as make_text keeps it: twenty digits, led by
// zeros up to the first.
static void
start_text_at(u128 n)
{
	std::string digits = decimal(n);
	digits.insert(0, 20 - digits.size(), '0');
	memcpy(number, digits.c_str(), 20);
	first_digit = number + digits.find_first_not_of('0');
}

// From a start, the text of thirty numbers, made into a room of a given size
// at a time as write_numbers makes it: in one room, and in rooms smaller than
// an item or than a decade, so that every start within a decade is met.
static void
check_text(u128 start)
{
	std::string wanted;
	for (unsigned i = 0; i < 30; ++i)
		wanted += decimal(start + i) + ", ";
	for (size_t room : {64, 1, 7, 23}) {
		start_text_at(start);
		std::string made_text;
		char buf[64 + out_slack];
		for (uint64_t owed = 30; owed > 0 && made_text.size() <= wanted.size();) {
			const char *end = make_text(buf, buf + room, owed);
			expect(end >= buf + room || owed == 0, {"stopped short of the room with numbers owed"});
			expect(end < buf + room + out_slack, {"ran past the room by the slack or more"});
			made_text.append(buf, static_cast<size_t>(end - buf));
			if (end == buf)
				break;
		}
		expect(made_text == wanted, {"from ", decimal(start), " in rooms of ", std::to_string(room), ":\n  ",
		                             made_text, "\nnot\n  ", wanted});
	}
}

// At every change in the number of digits, from one to twenty, in the last
// decades before 2^64 and across it, and far past it, where the count has
// wrapped and the text goes on.
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

// libpcap's counters of packets received (dropped ones included) and
// dropped are 32 bits wide. Fed readings whose 64-bit truth is known, each
// counter wrapping at its own time and less than 2^32 on from the last, the
// kernel's figures follow the truth.
static void
test_figures_carry_past_32_bits()
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
	for (const auto &r : readings) {
		struct pcap_stat ps = {};
		ps.ps_recv = static_cast<u_int>(r[0]);
		ps.ps_drop = static_cast<u_int>(r[1]);
		carry_stats(ps);
		expect(kernel.taken == r[0] - r[1], {"taken ", std::to_string(kernel.taken)});
		expect(kernel.dropped == r[1], {"dropped ", std::to_string(kernel.dropped)});
	}
}

// After the count stream, on a line of its own: one packet, or several; on
// netlink, whose figure counts overflows and more, only that some were.
static void
test_drop_line_says_one_packet_or_packets()
{
	const struct {
		bool overflows;
		uint64_t dropped;
		const char *line;
	} cases[] = {
		{false, 1, "1 packet dropped by the kernel"},
		{false, 2, "2 packets dropped by the kernel"},
		{true, 3, "some packets dropped by the kernel"},
	};
	for (const auto &c : cases) {
		FILE *file = tmpfile();
		(void)dup2(fileno(file), STDOUT_FILENO);
		made = count = 5;
		kernel.dropped = c.dropped;
		capture.overflows = c.overflows;
		expect(report(ending{}) == 0, {"the status is not 0"});
		flush();
		char text[64] = "";
		(void)pread(fileno(file), text, sizeof text - 1, 0);
		(void)fclose(file);
		expect(text == "\n" + std::string(c.line) + "\n", {"dropped ", std::to_string(c.dropped), ": ", text});
	}
}

int
main()
{
	test_text_grows_a_digit_and_passes_64_bits();
	test_figures_carry_past_32_bits();
	test_drop_line_says_one_packet_or_packets();
	return failures == 0 ? 0 : 1;
}
