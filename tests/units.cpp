// Tests of what no end-to-end test can reach in reasonable time, built from
// the listener's own source: libpcap's 32-bit figures carried past 2^32.

#define main listener_main
#include "../src/listener.cpp" // NOLINT(bugprone-suspicious-include): built again, with main renamed
#undef main

static int failures;

static void
expect(uint64_t got, uint64_t wanted, const char *what)
{
	if (got != wanted) {
		(void)fprintf(stderr, "%s: %" PRIu64 ", not %" PRIu64 "\n", what, got, wanted);
		++failures;
	}
}

// libpcap's counters of packets received (dropped ones included) and
// dropped are 32 bits wide. Fed readings whose 64-bit truth is known, each
// counter wrapping at its own time and less than 2^32 on from the last,
// taken and dropped follow the truth.
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
		expect(kernel.taken, r[0] - r[1], "taken");
		expect(kernel.dropped, r[1], "dropped");
	}
}

int
main()
{
	test_figures_carry_past_32_bits();
	return failures == 0 ? 0 : 1;
}
