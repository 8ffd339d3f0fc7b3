// sendframes: send COUNT broadcast Ethernet frames of SIZE bytes on DEVICE,
// as fast as the device takes them or at RATE frames a second, and report
// the rate reached. Given a PID and a number AFTER, it sends SIGINT to PID
// as soon as AFTER frames have been sent, and goes on. On lo it sends UDP datagrams to a socket of its own on
// 127.0.0.1 that never reads them, each a frame of SIZE bytes there: a
// packet leaving lo and the same packet coming in, as local traffic is.

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// Frames per sendmmsg call at full speed: enough that the call's own cost
// is small beside the frames'.
static const unsigned BATCH = 64;

static double
seconds()
{
	struct timespec ts;
	clock_gettime(CLOCK_MONOTONIC, &ts);
	return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int
main(int argc, char *argv[])
{
	if (argc < 3) {
		(void)fprintf(stderr, "usage: %s device count [size [rate [pid after]]]\n", argv[0]);
		return 2;
	}
	long count = strtol(argv[2], nullptr, 10);
	size_t size = argc > 3 ? strtoul(argv[3], nullptr, 10) : 60;
	double rate = argc > 4 ? strtod(argv[4], nullptr) : 0;
	const pid_t stopped = argc > 6 ? static_cast<pid_t>(strtol(argv[5], nullptr, 10)) : 0;
	const long after = argc > 6 ? strtol(argv[6], nullptr, 10) : -1;
	static unsigned char frame[9018];
	if (size < 14 || size > sizeof frame) {
		(void)fprintf(stderr, "%s: size must be 14 to %zu bytes\n", argv[0], sizeof frame);
		return 2;
	}

	bool loopback = strcmp(argv[1], "lo") == 0;
	int fd;
	struct sockaddr_in self = {};
	// The Ethernet, IPv4 and UDP headers that lo puts before a datagram.
	const size_t headers = 14 + 20 + 8;
	if (loopback) {
		self.sin_family = AF_INET;
		self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
		socklen_t length = sizeof self;
		fd = socket(AF_INET, SOCK_DGRAM, 0);
		if (size < headers || fd < 0 || bind(fd, reinterpret_cast<struct sockaddr *>(&self), length) < 0 ||
		    getsockname(fd, reinterpret_cast<struct sockaddr *>(&self), &length) < 0 ||
		    connect(fd, reinterpret_cast<struct sockaddr *>(&self), length) < 0) {
			(void)fprintf(stderr, "%s: lo: %s\n", argv[0], size < headers ? "size too small" : strerror(errno));
			return 1;
		}
	} else {
		// Protocol 0: this socket only sends, so the kernel hands it nothing.
		fd = socket(AF_PACKET, SOCK_RAW, 0);
		struct sockaddr_ll addr = {};
		addr.sll_family = AF_PACKET;
		addr.sll_ifindex = static_cast<int>(if_nametoindex(argv[1]));
		int one = 1;
		if (fd < 0 || addr.sll_ifindex == 0 ||
		    bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) < 0 ||
		    setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one) < 0) {
			(void)fprintf(stderr, "%s: %s: %s\n", argv[0], argv[1], strerror(errno));
			return 1;
		}
		// Broadcast from a locally administered address; EtherType 0x88b5
		// is set aside for local experiments, so no protocol stack takes
		// them.
		memset(frame, 0xff, 6);
		const unsigned char source_and_type[] = {0x02, 0, 0, 0, 0, 1, 0x88, 0xb5};
		memcpy(frame + 6, source_and_type, sizeof source_and_type);
	}

	struct iovec iov = {frame, loopback ? size - headers : size};
	struct mmsghdr msgs[BATCH] = {};
	for (auto &m : msgs) {
		m.msg_hdr.msg_iov = &iov;
		m.msg_hdr.msg_iovlen = 1;
	}

	// When paced, batches are small enough to keep the rate smooth: one
	// frame at a time for a trickle, or where a stop is timed; and sleeps
	// end on time, not up to the default 50 us of timer slack late. Where
	// a stop is timed, frames late never catch up in a burst, so that none
	// comes sooner after the signal than the rate has it.
	unsigned batch = rate <= 0 ? BATCH : rate < 1000 || after >= 0 ? 1 : 10;
	if (rate > 0 && prctl(PR_SET_TIMERSLACK, 1) == -1) {
		(void)fprintf(stderr, "%s: prctl: %s\n", argv[0], strerror(errno));
		return 1;
	}
	double start = seconds();
	long sent = 0;
	while (sent < count) {
		if (rate > 0) {
			double wait = start + static_cast<double>(sent) / rate - seconds();
			if (after >= 0 && wait < 0)
				start -= wait;
			if (wait > 0) {
				auto whole = static_cast<time_t>(wait);
				struct timespec ts = {whole, static_cast<long>((wait - static_cast<double>(whole)) * 1e9)};
				(void)nanosleep(&ts, nullptr);
			}
		}
		const long until = sent < after ? after : count;
		unsigned n = until - sent < batch ? unsigned(until - sent) : batch;
		int r = sendmmsg(fd, msgs, n, 0);
		if (r < 0 && errno != ENOBUFS && errno != EAGAIN && errno != EINTR) {
			(void)fprintf(stderr, "%s: sendmmsg: %s\n", argv[0], strerror(errno));
			return 1;
		}
		if (r > 0)
			sent += r;
		if (r > 0 && sent == after && kill(stopped, SIGINT) == -1) {
			(void)fprintf(stderr, "%s: kill: %s\n", argv[0], strerror(errno));
			return 1;
		}
	}
	double elapsed = seconds() - start;
	(void)printf("%ld frames of %zu bytes in %.3f s, %.0f frames/s\n", sent, size, elapsed,
	             static_cast<double>(sent) / elapsed);
	return 0;
}
