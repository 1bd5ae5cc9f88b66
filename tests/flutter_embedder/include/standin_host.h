// The application's side of the embedder stand-in, for tests only: it plays
// the engine that owns the messenger and the Dart code that talks over the
// platform channels. Calls and listen/cancel requests are encoded with the
// standard method codec and delivered to the channel's handler exactly as
// the engine delivers a platform message; everything the plug-in sends back
// (responses, events) is recorded and decoded for inspection.
#pragma once

#include <flutter_linux/flutter_linux.h>

#include <cstddef>

namespace standin {

struct Host;

// A new engine with its messenger and a registrar for one plug-in.
Host* HostNew();
// Shuts the engine down: closes every channel (dropping the handlers and the
// data they hold, as the engine does) and frees the host.
void HostFree(Host* host);

// The registrar to pass to the plug-in's register function. Owned by host.
FlPluginRegistrar* HostRegistrar(Host* host);

// True when something registered a handler on `channel`.
bool HostHasHandler(Host* host, const char* channel);

// Sends method call `method` with `args` (nullable, meaning null) on
// `channel`. Returns the call's id, or -1 when no handler is registered.
int HostInvoke(Host* host, const char* channel, const char* method, FlValue* args);
// Event channel requests: "listen" and "cancel" with null arguments.
int HostListen(Host* host, const char* channel);
int HostCancel(Host* host, const char* channel);

// The decoded response to call `id`, or null while it is unanswered.
// Owned by host. A not-implemented answer is an FlMethodNotImplementedResponse.
FlMethodResponse* HostResponse(Host* host, int id);
// How many times call `id` was answered (the embedder refuses a second one).
int HostResponseCount(Host* host, int id);

// Events sent on an event channel since the host was made, decoded.
size_t HostEventCount(Host* host, const char* channel);
// Event `index` on `channel`: its value (owned by host), or null for an
// error event or the end of the stream.
FlValue* HostEvent(Host* host, const char* channel, size_t index);

// Method calls, responses, method channels and event channels alive in the
// process; zero once everything a plug-in took has been released.
int HostLiveObjects();

// Iterates the default main context until `condition` holds or `timeout_ms`
// passes. Returns whether the condition held.
template <typename Condition>
bool HostRunUntil(Condition condition, int timeout_ms) {
  gint64 deadline = g_get_monotonic_time() + static_cast<gint64>(timeout_ms) * 1000;
  while (!condition()) {
    if (g_get_monotonic_time() >= deadline) return false;
    g_main_context_iteration(nullptr, FALSE);
    if (!condition()) g_usleep(2000);
  }
  return true;
}

}  // namespace standin
