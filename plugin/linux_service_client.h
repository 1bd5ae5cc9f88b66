// The plug-in's only door to the TessaryVPN service: one GDBus proxy on the
// system bus, calls through it, and the conversions between the service's
// a{sv} dictionaries and the FlValue maps the application's channels carry.
#pragma once

#include <flutter_linux/flutter_linux.h>
#include <gio/gio.h>

namespace tessary::linux_service {

// Creates, synchronously, a proxy for the service on the system bus, without
// starting the service. The proxy receives the service's signals, and its
// calls let the bus start the service on demand. Returns a new reference, or
// null with `error` set.
GDBusProxy* CreateProxy(GError** error);

// True when `proxy` is not null and the service's name currently has an
// owner on the bus.
bool HasOwner(GDBusProxy* proxy);

// Calls `method` asynchronously (120 s limit); `callback` always runs later
// from the main context, also when `proxy` is null (the call then fails with
// G_IO_ERROR_NOT_CONNECTED), so callers need only one completion path.
// A floating `parameters` is consumed.
void CallAsync(GDBusProxy* proxy, const char* method, GVariant* parameters,
               GAsyncReadyCallback callback, gpointer user_data);

// Finishes a CallAsync. `proxy` must be the one passed to CallAsync. Returns
// the reply tuple (new reference) or null with `error` set.
GVariant* CallFinish(GDBusProxy* proxy, GAsyncResult* result, GError** error);

// Converts a GVariant to the FlValue the channels carry (integers of every
// width become 64-bit ints, strings, object paths and signatures become
// strings, `as` a list, `a{sv}` a map); types without a counterpart and a
// null pointer become null. Returns a new reference.
FlValue* VariantToFlValue(GVariant* value);

// Converts an a{sv} dictionary to a map in the dictionary's order; anything
// else gives an empty map. Returns a new reference.
FlValue* DictToFlValue(GVariant* dictionary);

// Builds an a{sv} dictionary from the string-keyed bool, int, float, string
// and list entries of `map`; other entries are skipped, and anything but a
// map gives an empty dictionary. Returns a non-floating reference.
GVariant* FlMapToDict(FlValue* map);

}  // namespace tessary::linux_service
