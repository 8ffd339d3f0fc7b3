// pcapfloor: the cost of having libpcap deliver packets at all. It opens
// DEVICE with the listener's own open_capture, so exactly as the listener
// does: keeping no packet bytes, and leaving out in the kernel what libpcap
// would not hand over. But it runs pcap_loop, and its callback only counts;
// stopped by SIGINT or SIGTERM, it reports the count and libpcap's drop
// count on standard error, as tcpdump does. Given "defaults" after the
// device, it opens the device with the same snapshot length and read
// timeout but sets no filter of its own: the kernel stores whole packets,
// and libpcap walks, and throws away, the copy of each loopback packet
// that leaves.

#include "capture.h"

#include <csignal>
#include <cstdio>
#include <cstring>

static unsigned long delivered;
static pcap_t *floor_handle;

static void
callback(u_char *, const struct pcap_pkthdr *, const u_char *)
{
	delivered++;
}

static void
break_loop(int)
{
	pcap_breakloop(floor_handle);
}

int
main(int argc, char *argv[])
{
	if (argc < 2) {
		(void)fprintf(stderr, "usage: %s device [defaults]\n", argv[0]);
		return 2;
	}
	char errbuf[PCAP_ERRBUF_SIZE];
	if (argc > 2 && strcmp(argv[2], "defaults") == 0) {
		floor_handle = pcap_open_live(argv[1], 1, 0, read_timeout_ms, errbuf);
		if (floor_handle == nullptr)
			(void)fprintf(stderr, "pcap_open_live(): %s\n", errbuf);
	} else {
		const volatile sig_atomic_t never = 0;
		if (const char *failure = open_capture(argv[1], never))
			(void)fprintf(stderr, "%s\n", failure);
		floor_handle = capture_handle();
		// The listener's open makes the capture non-blocking, for its loop.
		if (floor_handle != nullptr && pcap_setnonblock(floor_handle, 0, errbuf) == PCAP_ERROR) {
			(void)fprintf(stderr, "pcap_setnonblock(): %s\n", errbuf);
			return 1;
		}
	}
	if (floor_handle == nullptr)
		return 1;
	struct sigaction sa = {};
	sa.sa_handler = break_loop;
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);

	pcap_loop(floor_handle, -1, callback, nullptr);
	struct pcap_stat st = {};
	pcap_stats(floor_handle, &st);
	(void)fprintf(stderr, "%lu counted, %u dropped\n", delivered, st.ps_drop);
	return 0;
}
