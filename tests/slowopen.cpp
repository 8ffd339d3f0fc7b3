// Preloaded by the tests: pcap_open_live lingers, so that a signal can reach
// the listener while its device is being opened. Entering the open creates
// the file named by $SLOWOPEN_READY; the wait ends with a signal or after
// ten seconds, and then the device is opened for real.

#include <dlfcn.h>
#include <fcntl.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

extern "C" pcap_t *
pcap_open_live(const char *device, int snaplen, int promisc, int timeout, char *errbuf)
{
	close(open(getenv("SLOWOPEN_READY"), O_WRONLY | O_CREAT, 0600));
	struct timespec ten_seconds = {10, 0};
	nanosleep(&ten_seconds, nullptr);
	auto real = reinterpret_cast<decltype(&pcap_open_live)>(dlsym(RTLD_NEXT, "pcap_open_live"));
	return real(device, snaplen, promisc, timeout, errbuf);
}
