// Every failure is said as "call(): reason", with the system's or libpcap's
// own text, on a line of its own. The text is made here, into a buffer of
// the caller's, where it stays until that buffer's next failure: it must
// outlive the call, as pcap_close() frees pcap_geterr()'s.

#ifndef LISTENER_FAILURE_H
#define LISTENER_FAILURE_H

#include <cstddef>
#include <cstdio>

template <size_t size>
const char *
fail(char (&text)[size], const char *call, const char *reason)
{
	(void)snprintf(text, size, "%s: %s", call, reason);
	return text;
}

#endif
