// pcapfloor: the cost of having libpcap deliver packets at all. It opens
// DEVICE exactly as the listener does, keeping no packet bytes and leaving
// out in the kernel what libpcap would not hand over, but its callback only
// counts; stopped by SIGINT or SIGTERM, it reports the count and libpcap's
// drop count on standard error, as tcpdump does. Given "defaults" after the
// device, it sets no filter of its own: the kernel stores whole packets,
// and libpcap walks and throws away the copy of each loopback packet that
// leaves.

#include <pcap/pcap.h>

#include <linux/filter.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netpacket/packet.h>
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
		(void)fprintf(stderr, "usage: %s device [defaults]\n", argv[0]);
		return 2;
	}
	char errbuf[PCAP_ERRBUF_SIZE];
	handle = pcap_open_live(argv[1], 1, 0, 2000, errbuf);
	if (handle == nullptr) {
		(void)fprintf(stderr, "pcap_open_live(): %s\n", errbuf);
		return 1;
	}
	const auto loopback = static_cast<__u32>(if_nametoindex("lo"));
	struct sock_filter program[] = {
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<__u32>(SKF_AD_OFF) + SKF_AD_PKTTYPE),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, PACKET_OUTGOING, 0, 4),
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<__u32>(SKF_AD_OFF) + SKF_AD_IFINDEX),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, loopback, 3, 0),
		BPF_STMT(BPF_LD | BPF_W | BPF_ABS, static_cast<__u32>(SKF_AD_OFF) + SKF_AD_HATYPE),
		BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ARPHRD_CAN, 1, 0),
		BPF_STMT(BPF_RET | BPF_K, static_cast<__u32>(pcap_snapshot(handle))),
		BPF_STMT(BPF_RET | BPF_K, 0),
	};
	struct sock_fprog counted = {sizeof program / sizeof program[0], program};
	if ((argc < 3 || strcmp(argv[2], "defaults") != 0) &&
	    setsockopt(pcap_fileno(handle), SOL_SOCKET, SO_ATTACH_FILTER, &counted, sizeof counted) == -1) {
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
