// Releasing the D-Bus messages that libpcap keeps: libdbus's own functions
// are the next definitions, found with dlsym(RTLD_NEXT).

#include "dbus.h"

#include <dlfcn.h>

#include <cstdint>

// Popped by libpcap and not yet released.
static DBusMessage *kept;

template <typename F>
static F *
next(const char *name) noexcept
{
	return reinterpret_cast<F *>(dlsym(RTLD_NEXT, name));
}

static void (*const release)(DBusMessage *) = next<void(DBusMessage *)>("dbus_message_unref");
// dbus_bool_t is a uint32_t.
static void (*const set_exit_on_disconnect)(DBusConnection *, uint32_t) =
	next<void(DBusConnection *, uint32_t)>("dbus_connection_set_exit_on_disconnect");

DBusMessage *
dbus_connection_pop_message(DBusConnection *connection)
{
	static auto *const pop = next<DBusMessage *(DBusConnection *)>("dbus_connection_pop_message");
	set_exit_on_disconnect(connection, 0);
	if (kept != nullptr)
		release(kept);
	kept = pop(connection);
	return kept;
}

void
dbus_message_unref(DBusMessage *message)
{
	if (message == kept)
		kept = nullptr;
	release(message);
}
