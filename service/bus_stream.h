// The service's own connection to the system bus. GDBus reads and parses a
// whole message on its one worker thread before any handler can refuse it,
// and every later call on the connection, root's included, waits behind it:
// a message of tens of megabytes holds the service up for seconds. The
// connection's input therefore drops the body of any message larger than
// the service would ever accept before GDBus sees it, and a method call so
// shortened is answered with the error its full size would have earned.
#pragma once

#include <gio/gio.h>

#include <string>

namespace tessary::linux_service {

// Connects to the system bus as g_bus_get does (DBUS_SYSTEM_BUS_ADDRESS or
// the default socket) and returns a new connection. A method call whose
// body is larger than maxBodyBytes is answered errorName with errorMessage.
// On failure returns null and *error holds the reason.
GDBusConnection* ConnectSystemBus(gsize maxBodyBytes, const char* errorName,
                                  const char* errorMessage, std::string* error);

// The filtering input on its own, over `base`, which carries the messages a
// bus sends to an authenticated client: every message passes byte for byte,
// except that one with a body larger than maxBodyBytes arrives with an empty
// body and no signature. Returns a new reference.
GInputStream* NewBoundedBusInput(GInputStream* base, gsize maxBodyBytes);

// True, once, when `input` dropped the body of the method call `serial` of
// `sender`.
bool TakeShortenedCall(GInputStream* input, const char* sender, guint32 serial);

}  // namespace tessary::linux_service
