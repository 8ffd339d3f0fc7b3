// listener: capture live on one device and number every packet it delivers,
// on one line of standard output.

#include <pcap/pcap.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <initializer_list>

// The number the next packet gets, kept as decimal text with its ", ", so
// that counting a packet is adding one to the last digit rather than turning
// a binary number into text anew. Twenty digits outlast a 64-bit counter:
// at a billion packets a second they last three thousand years.
static char count[] = "00000000000000000001, ";
static char *const last_digit = count + sizeof count - 4;
// The first digit written, past the leading zeros.
static char *number = last_digit;

static pcap_t *handle;
static volatile sig_atomic_t stop_signal;

static void
my_callback(u_char *, const struct pcap_pkthdr *, const u_char *)
{
	// putc_unlocked is the cheapest way into stdout's buffer, and this is its
	// only thread. The local copy of stdout spares a reload per character.
	FILE *out = stdout;
	for (const char *c = number; c < count + sizeof count - 1; c++)
		putc_unlocked(*c, out);

	char *digit = last_digit;
	while (*digit == '9')
		*digit-- = '0';
	(*digit)++;
	if (digit < number)
		number = digit;
}

// Runs in a signal handler, so it may only call async-signal-safe functions;
// pcap_breakloop is documented as one.
static void
stop(int signo)
{
	stop_signal = signo;
	pcap_breakloop(handle);
}

int
main(int argc, char *argv[])
{
	if (argc < 2) {
		printf("usage: %s capture-device\n", argc > 0 ? argv[0] : "listener");
		return 1;
	}
	printf("Listening on device : %s \n", argv[1]);

	char errbuf[PCAP_ERRBUF_SIZE];
	// The read timeout bounds how long the kernel may hold captured packets
	// before handing them over, and so what a stop leaves uncounted;
	// 100 ms keeps that short and still lets an idle listener sleep.
	handle = pcap_open_live(argv[1], 8192, 0, 100, errbuf);
	if (handle == nullptr) {
		printf("pcap_open_live(): %s\n", errbuf);
		return 1;
	}

	// Without SA_RESTART, so that a wait for packets interrupted by the
	// signal returns and the loop sees the break.
	struct sigaction sa = {};
	sa.sa_handler = stop;
	sigemptyset(&sa.sa_mask);
	for (int signo : {SIGINT, SIGTERM, SIGHUP}) {
		struct sigaction old;
		// Whoever ignored a stop signal before starting us (nohup, a shell's
		// background job) meant it to be ignored.
		sigaction(signo, nullptr, &old);
		if (old.sa_handler != SIG_IGN)
			sigaction(signo, &sa, nullptr);
	}

	if (pcap_loop(handle, -1, my_callback, nullptr) == PCAP_ERROR) {
		// On a line of its own, after the count stream if there is one.
		printf("%spcap_loop(): %s\n", strcmp(number, "1, ") != 0 ? "\n" : "", pcap_geterr(handle));
		return 1;
	}
	if (stop_signal != 0) {
		// Write out what is counted, then end by the signal's own default
		// action, so that the caller sees the status it would have without
		// the handler. A failure here has nowhere to be reported.
		(void)fflush(stdout);
		(void)signal(stop_signal, SIG_DFL);
		(void)raise(stop_signal);
	}
	return 0;
}
