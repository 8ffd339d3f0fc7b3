// A stand-in for libdbus's messages, for the unit tests: each pop makes a
// message with one reference, and each unref of a message that is not alive
// is noted, as a second release would be.

#include <cstdint>
#include <set>

struct DBusConnection;
struct DBusMessage {
	int references;
};

static std::set<DBusMessage *> &
alive()
{
	static std::set<DBusMessage *> messages;
	return messages;
}
static int twice;

extern "C" DBusMessage *
dbus_connection_pop_message(DBusConnection *)
{
	auto *message = new DBusMessage{1};
	alive().insert(message);
	return message;
}

extern "C" void
dbus_message_unref(DBusMessage *message)
{
	if (alive().count(message) == 0) {
		++twice;
		return;
	}
	if (--message->references == 0) {
		alive().erase(message);
		delete message;
	}
}

// Every connection here stays.
extern "C" void
dbus_connection_set_exit_on_disconnect(DBusConnection *, uint32_t)
{
}

// Messages alive, and unrefs of messages that were not.
extern "C" int
fakedbus_alive()
{
	return static_cast<int>(alive().size());
}

extern "C" int
fakedbus_twice()
{
	return twice;
}
