// Preloaded into the listener by the tests, to reach what no real device
// shows on this machine. Each behaviour is on only where its variable is set:
//
// PCAPSHIM_HOLD_OPEN=FILE, PCAPSHIM_HOLD_CLOSE=FILE: pcap_activate, or
//   pcap_close, creates FILE and goes on, for real, once the test has
//   removed it; so a signal can come while the device is opened, and the
//   test can see what a reader gets before the capture is closed. The wait
//   does not end on a signal: one that came just before the sleep would be
//   missed.
// PCAPSHIM_STOP_IN_CREATE=1: pcap_create raises SIGTERM before it returns.
// PCAPSHIM_HOLD_BACK=FILE: a one-instruction socket filter, as the
//   listener fences a netlink capture with at a stop, creates FILE once it
//   is attached, and goes on once the test has removed it.
// PCAPSHIM_DELIVERED=FILE: the packets libpcap handed to the callback are
//   counted, and the count written to FILE after each read.
// PCAPSHIM_NOT_A_SOCKET=1: the capture's descriptor is a character device,
//   as usbmon's is, and the capture is bound as libpcap binds it when not
//   told otherwise; the capture itself still comes from the real socket.
// PCAPSHIM_NOTHING_RECEIVED=1: the kernel's figures say that no packet was
//   received, fewer than libpcap hands over.
// PCAPSHIM_LATE_WRITE=1: a write to standard output after one that a
//   signal interrupted waits 1.2 s, signals or not, before it is made: a
//   tick of the watch then always comes after the listener looked for one
//   and before its write waits.

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/filter.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>

template <typename F>
static F *
real(F *, const char *name) noexcept
{
	return reinterpret_cast<F *>(dlsym(RTLD_NEXT, name));
}

static void
hold(const char *variable)
{
	const char *file = getenv(variable);
	if (file == nullptr)
		return;
	close(open(file, O_WRONLY | O_CREAT, 0600));
	struct timespec tick = {0, 10000000};
	while (access(file, F_OK) == 0)
		(void)nanosleep(&tick, nullptr);
}

static unsigned long delivered;
static pcap_handler callback;

static void
count_delivered(u_char *user, const struct pcap_pkthdr *header, const u_char *bytes)
{
	++delivered;
	callback(user, header, bytes);
}

extern "C" pcap_t *
pcap_create(const char *device, char *errbuf)
{
	pcap_t *handle = real(pcap_create, "pcap_create")(device, errbuf);
	if (getenv("PCAPSHIM_STOP_IN_CREATE") != nullptr)
		(void)raise(SIGTERM);
	return handle;
}

extern "C" int
pcap_activate(pcap_t *handle)
{
	hold("PCAPSHIM_HOLD_OPEN");
	return real(pcap_activate, "pcap_activate")(handle);
}

extern "C" int
pcap_dispatch(pcap_t *handle, int cnt, pcap_handler handler, u_char *user)
{
	const char *file = getenv("PCAPSHIM_DELIVERED");
	if (file == nullptr)
		return real(pcap_dispatch, "pcap_dispatch")(handle, cnt, handler, user);
	callback = handler;
	const int got = real(pcap_dispatch, "pcap_dispatch")(handle, cnt, count_delivered, user);
	const int saved = errno;
	if (FILE *f = fopen(file, "w"); f != nullptr) {
		(void)fprintf(f, "%lu\n", delivered);
		(void)fclose(f);
	}
	errno = saved;
	return got;
}

extern "C" void
pcap_close(pcap_t *handle)
{
	hold("PCAPSHIM_HOLD_CLOSE");
	real(pcap_close, "pcap_close")(handle);
}

extern "C" int
pcap_stats(pcap_t *handle, struct pcap_stat *ps)
{
	const int status = real(pcap_stats, "pcap_stats")(handle, ps);
	if (status == 0 && getenv("PCAPSHIM_NOTHING_RECEIVED") != nullptr)
		ps->ps_recv = ps->ps_drop;
	return status;
}

extern "C" int
setsockopt(int fd, int level, int optname, const void *optval, socklen_t optlen)
{
	const int status = real(setsockopt, "setsockopt")(fd, level, optname, optval, optlen);
	if (level == SOL_SOCKET && optname == SO_ATTACH_FILTER && optlen == sizeof(sock_fprog) &&
	    static_cast<const sock_fprog *>(optval)->len == 1)
		hold("PCAPSHIM_HOLD_BACK");
	return status;
}

// Found once, at load: the listener's signal handlers write too, and may
// not look a symbol up.
static auto *const real_write = real(write, "write");

extern "C" ssize_t
write(int fd, const void *buf, size_t n)
{
	static bool interrupted;
	if (fd != STDOUT_FILENO)
		return real_write(fd, buf, n);
	if (interrupted && getenv("PCAPSHIM_LATE_WRITE") != nullptr) {
		struct timespec left = {1, 200000000};
		while (nanosleep(&left, &left) == -1)
			;
	}
	const ssize_t written = real_write(fd, buf, n);
	interrupted = written == -1 && errno == EINTR;
	return written;
}

extern "C" int
pcap_fileno(pcap_t *handle)
{
	static int device = -1;
	if (getenv("PCAPSHIM_NOT_A_SOCKET") == nullptr)
		return real(pcap_fileno, "pcap_fileno")(handle);
	if (device == -1)
		device = open("/dev/null", O_RDONLY);
	return device;
}

extern "C" int
pcap_set_protocol_linux(pcap_t *handle, int protocol)
{
	if (getenv("PCAPSHIM_NOT_A_SOCKET") != nullptr)
		return 0;
	return real(pcap_set_protocol_linux, "pcap_set_protocol_linux")(handle, protocol);
}
