// libpcap's D-Bus reader takes each message off the bus with
// dbus_connection_pop_message(), on a connection from dbus_bus_get(), which
// sets exit-on-disconnect: popping a dead bus's Disconnected message would
// _exit(1), with nothing written. Each pop turns it off first, so that the
// end is libpcap's capture error.
//
// libpcap's D-Bus reader (1.10.3, 1.10.5) takes each message off the bus
// with dbus_connection_pop_message() and never calls dbus_message_unref():
// once max_received_size (63 MiB) of messages are alive, libdbus reads no
// more, and the capture stops counting without a word. Defined in the
// listener, these two stand between libpcap and libdbus: the message that
// libpcap took last and has not released is released at its next pop; one
// that libpcap releases itself, as a later libpcap does, is released by it
// alone. libpcap calls them on the capturing thread only.

#ifndef LISTENER_DBUS_H
#define LISTENER_DBUS_H

struct DBusConnection;
struct DBusMessage;

extern "C" DBusMessage *dbus_connection_pop_message(DBusConnection *connection);
extern "C" void dbus_message_unref(DBusMessage *message);

#endif
