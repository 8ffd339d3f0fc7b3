// Tests of what no end-to-end test reaches in reasonable time, linked with
// the listener's own rooms: the text of numbers near and past 2^64,
// libpcap's 32-bit figures carried past 2^32, and the drop line, whose
// figure no end-to-end test can set.

#include "capture.h"
#include "output.h"

#include <cstdio>
#include <cstring>
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

// The next number to make, as make_text keeps it: twenty digits, led by
// zeros up to the first.
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

// From a start, the text of thirty numbers, made into a room of a given size
// at a time, as standard output's buffer takes it: in one room, and in rooms
// smaller than an item or than a decade, so that every start within a
// decade is met. The text may run past the room by less than a decade's.
static void
check_text(u128 start)
{
	std::string wanted;
	for (unsigned i = 0; i < 30; ++i)
		wanted += decimal(start + i) + ", ";
	for (size_t room : {64, 1, 7, 23}) {
		number_text text = text_at(start);
		std::string made_text;
		const size_t decade = 10 * longest_item;
		char buf[64 + decade];
		for (uint64_t owed = 30; owed > 0 && made_text.size() <= wanted.size();) {
			const char *end = make_text(text, buf, buf + room, owed);
			expect(end >= buf + room || owed == 0, {"stopped short of the room with numbers owed"});
			expect(end < buf + room + decade, {"ran past the room by a decade's text or more"});
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
	struct capture figures;
	for (const auto &r : readings) {
		struct pcap_stat ps = {};
		ps.ps_recv = static_cast<u_int>(r[0]);
		ps.ps_drop = static_cast<u_int>(r[1]);
		add_reading(figures, ps);
		expect(figures.taken == r[0] - r[1], {"taken ", std::to_string(figures.taken)});
		expect(figures.dropped == r[1], {"dropped ", std::to_string(figures.dropped)});
	}
}

// One packet, or several; on netlink, whose figure counts overflows and
// more, only that some were; none, no line.
static void
test_drop_line_says_one_packet_or_packets()
{
	const struct {
		bool netlink;
		uint64_t dropped;
		const char *line;
	} cases[] = {
		{false, 1, "1 packet dropped by the kernel"},
		{false, 2, "2 packets dropped by the kernel"},
		{true, 3, "some packets dropped by the kernel"},
		{true, 0, nullptr},
		{false, 0, nullptr},
	};
	for (const auto &c : cases) {
		struct capture figures;
		figures.netlink = c.netlink;
		figures.dropped = c.dropped;
		const char *line = drop_line(figures);
		expect(line == c.line || (line != nullptr && c.line != nullptr && strcmp(line, c.line) == 0),
		       {"dropped ", std::to_string(c.dropped), ": ", line != nullptr ? line : "no line"});
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
