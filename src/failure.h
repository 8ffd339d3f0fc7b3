// Every failure is reported as "call(): reason", with the system's or libpcap's
// own text, on a line of its own. The text is formatted here, into a buffer of
// the caller's, where it stays until that buffer's next failure: it must
// outlive the call, as pcap_close() frees pcap_geterr()'s. The reason may
// come in pieces, a device's name and libpcap's text, joined as they are.
// A buffer too small cuts the end off; never overruns.

#ifndef LISTENER_FAILURE_H
#define LISTENER_FAILURE_H

#include <algorithm>
#include <cstddef>
#include <cstring>

template <size_t size, typename... Pieces>
const char *
fail(char (&text)[size], const char *call, Pieces... reason)
{
	size_t length = 0;
	for (const char *piece : {call, ": ", static_cast<const char *>(reason)...}) {
		const size_t n = std::min(strlen(piece), size - 1 - length);
		memcpy(text + length, piece, n);
		length += n;
	}
	text[length] = '\0';
	return text;
}

#endif
