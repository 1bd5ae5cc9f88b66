// The process of tessaryvpn-service: bus ownership, main loop, start-up
// recovery and shutdown, on top of the dispatch, the workers and the state.
#pragma once

#include <gio/gio.h>

#include "service/service_dispatch.h"
#include "service/service_state.h"
#include "service/service_workers.h"
#include "service/wireguard_keys.h"

namespace tessary::linux_service {

// ---- process ----

void BusAcquired(GDBusConnection* connection, const gchar* name, gpointer user_data);
void NameLost(GDBusConnection* connection, const gchar* name, gpointer user_data);
gboolean ShutdownSignal(gpointer user_data);
gboolean PollActiveEngine(gpointer user_data);

// The whole life of the service; returns the process exit status.
int RunService();

}  // namespace tessary::linux_service
