// pcapfloor: the cost of having libpcap deliver packets at all. It opens
// DEVICE exactly as the listener does, keeping no packet bytes, but its
// callback only counts; stopped by SIGINT or SIGTERM, it reports the count
// and libpcap's drop count on standard error, as tcpdump does.

#include <pcap/pcap.h>

#include <linux/filter.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

static unsigned long count;
static pcap_t *handle;

static void
callback(u_char *, const struct pcap_pkthdr *, const u_char *)
{
	count++;
}

static void
stop(int)
{
	pcap_breakloop(handle);
}

int
main(int argc, char *argv[])
{
	if (argc < 2) {
		(void)fprintf(stderr, "usage: %s device\n", argv[0]);
		return 2;
	}
	char errbuf[PCAP_ERRBUF_SIZE];
	handle = pcap_open_live(argv[1], 1, 0, 100, errbuf);
	if (handle == nullptr) {
		(void)fprintf(stderr, "pcap_open_live(): %s\n", errbuf);
		return 1;
	}
	struct sock_filter keep_snapshot = BPF_STMT(BPF_RET | BPF_K, static_cast<__u32>(pcap_snapshot(handle)));
	struct sock_fprog every_packet = {1, &keep_snapshot};
	if (setsockopt(pcap_fileno(handle), SOL_SOCKET, SO_ATTACH_FILTER, &every_packet, sizeof every_packet) == -1) {
		(void)fprintf(stderr, "setsockopt(): %s\n", strerror(errno));
		return 1;
	}
	struct sigaction sa = {};
	sa.sa_handler = stop;
	sigaction(SIGINT, &sa, nullptr);
	sigaction(SIGTERM, &sa, nullptr);

	pcap_loop(handle, -1, callback, nullptr);
	struct pcap_stat st = {};
	pcap_stats(handle, &st);
	(void)fprintf(stderr, "%lu counted, %u dropped\n", count, st.ps_drop);
	return 0;
}
