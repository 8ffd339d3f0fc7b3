// Preloaded by the tests: pcap_open_live lingers, so that a signal can reach
// the listener while its device is being opened. Entering the open creates
// the file named by $SLOWOPEN_READY; the open goes on, for real, once the
// test has removed it. The wait does not end on a signal: one that came just
// before the sleep would be missed.

#include <dlfcn.h>
#include <fcntl.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

extern "C" pcap_t *
pcap_open_live(const char *device, int snaplen, int promisc, int timeout, char *errbuf)
{
	const char *ready = getenv("SLOWOPEN_READY");
	close(open(ready, O_WRONLY | O_CREAT, 0600));
	struct timespec tick = {0, 10000000};
	while (access(ready, F_OK) == 0)
		(void)nanosleep(&tick, nullptr);
	auto real = reinterpret_cast<decltype(&pcap_open_live)>(dlsym(RTLD_NEXT, "pcap_open_live"));
	return real(device, snaplen, promisc, timeout, errbuf);
}
