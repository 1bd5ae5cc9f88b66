// The published state of tessaryvpn-service: the connection snapshot, the
// network path and log entries, and the signals that carry them.
#include "service/service_state.h"

#include <memory>

#include "common/constants.h"

namespace tessary::linux_service {
namespace {

// GMutex is futex-based inside GLib, which ThreadSanitizer does not see; tell
// it about the ordering the mutex provides so that TSan builds check the
// snapshot fields instead of reporting every copy as a race.
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

void LockSnapshot(Service* service) {
  g_mutex_lock(&service->snapshotMutex);
#if defined(__SANITIZE_THREAD__)
  __tsan_acquire(&service->snapshotMutex);
#endif
}

void UnlockSnapshot(Service* service) {
#if defined(__SANITIZE_THREAD__)
  __tsan_release(&service->snapshotMutex);
#endif
  g_mutex_unlock(&service->snapshotMutex);
}

void AddString(GVariantBuilder* builder, const char* key, const std::string& value) {
  g_variant_builder_add(builder, "{sv}", key, g_variant_new_string(value.c_str()));
}

// A uid below zero stands for a caller that has left the bus.
void WarnRefused(const std::string& method, const std::string& message, int64_t uid) {
  if (uid < 0) {
    g_warning("Refused %s from a caller that has left the bus: %s", method.c_str(),
              message.c_str());
  } else {
    g_warning("Refused %s from uid %" G_GINT64_FORMAT ": %s", method.c_str(),
              static_cast<gint64>(uid), message.c_str());
  }
}

}  // namespace

int64_t NowEpochMillis() { return g_get_real_time() / 1000; }

// ---- snapshot, log and network path ----

void SetSnapshot(Service* service, Stage stage, const std::string& activeProfileId,
                 const std::string& lastError, int64_t connectedAtEpochMillis) {
  LockSnapshot(service);
  service->stage = stage;
  service->activeProfileId = activeProfileId;
  service->lastError = lastError;
  service->connectedAtEpochMillis = connectedAtEpochMillis;
  UnlockSnapshot(service);

  g_autoptr(GVariant) snapshot = SnapshotVariant(service);
  EmitDictionarySignal(service, kSignalSnapshotChanged, snapshot);
}

Snapshot ReadSnapshot(Service* service) {
  Snapshot copy;
  LockSnapshot(service);
  copy.stage = service->stage;
  copy.activeProfileId = service->activeProfileId;
  copy.lastError = service->lastError;
  copy.connectedAtEpochMillis = service->connectedAtEpochMillis;
  UnlockSnapshot(service);
  return copy;
}

GVariant* SnapshotVariant(Service* service) {
  const Snapshot snapshot = ReadSnapshot(service);
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  AddString(&builder, "stage", StageName(snapshot.stage));
  if (!snapshot.activeProfileId.empty()) {
    AddString(&builder, "activeProfileId", snapshot.activeProfileId);
  }
  if (!snapshot.lastError.empty()) AddString(&builder, "lastError", snapshot.lastError);
  if (snapshot.connectedAtEpochMillis > 0) {
    g_variant_builder_add(&builder, "{sv}", "connectedAtEpochMillis",
                          g_variant_new_int64(snapshot.connectedAtEpochMillis));
  }
  return g_variant_ref_sink(g_variant_builder_end(&builder));
}

GVariant* NetworkPathVariant(Service* service) {
  const bool available = service->networkAvailable.load();
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&builder, "{sv}", "status",
                        g_variant_new_string(available ? "satisfied" : "unsatisfied"));
  g_variant_builder_add(&builder, "{sv}", "isReachable", g_variant_new_boolean(available));
  g_variant_builder_add(&builder, "{sv}", "interfaceType", g_variant_new_string("unknown"));
  g_variant_builder_add(&builder, "{sv}", "isExpensive", g_variant_new_boolean(FALSE));
  g_variant_builder_add(&builder, "{sv}", "isConstrained", g_variant_new_boolean(FALSE));
  g_variant_builder_add(&builder, "{sv}", "timestampEpochMillis",
                        g_variant_new_int64(NowEpochMillis()));
  return g_variant_ref_sink(g_variant_builder_end(&builder));
}

LogSeverity LogSeverityFor(const std::string& level) {
  if (level == "error") return {G_LOG_LEVEL_CRITICAL, "3"};
  if (level == "warning") return {G_LOG_LEVEL_WARNING, "4"};
  return {G_LOG_LEVEL_MESSAGE, "6"};
}

void EmitLog(Service* service, const char* level, const std::string& message,
             const std::string& reason) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&builder, "{sv}", "level", g_variant_new_string(level));
  AddString(&builder, "message", message);
  g_variant_builder_add(&builder, "{sv}", "timestamp", g_variant_new_int64(NowEpochMillis()));
  g_autoptr(GVariant) entry = g_variant_ref_sink(g_variant_builder_end(&builder));
  EmitDictionarySignal(service, kSignalLogEmitted, entry);

  // The journal gets the priority of the entry's level, and the reason that
  // the entry itself leaves to the snapshot. GLib's own mapping would give
  // every entry "notice", and its error level would end the process.
  const LogSeverity severity = LogSeverityFor(level);
  const std::string text = reason.empty() ? message : message + " " + reason;
  const GLogField fields[] = {
      {"PRIORITY", severity.priority, -1},
      {"MESSAGE", text.c_str(), -1},
      {"TESSARYVPN_LEVEL", level, -1},
  };
  g_log_structured_array(severity.flags, fields, G_N_ELEMENTS(fields));
}

void LogRefusal(Service* service, GDBusMethodInvocation* invocation, const std::string& message) {
  struct Refusal {
    std::string method;
    std::string message;
  };
  const gchar* sender = g_dbus_method_invocation_get_sender(invocation);
  auto refusal = std::make_unique<Refusal>();
  refusal->method = g_dbus_method_invocation_get_method_name(invocation);
  refusal->message = message;
  if (service->connection == nullptr || sender == nullptr) {
    g_warning("Refused %s from an unknown caller: %s", refusal->method.c_str(), message.c_str());
    return;
  }
  // Authorization already asked the bus for the caller's uid and kept it.
  const auto found = service->callers.find(sender);
  if (found != service->callers.end()) {
    WarnRefused(refusal->method, message, found->second.gone ? -1 : found->second.uid);
    return;
  }
  // Otherwise asked without blocking the main loop; the caller may be gone
  // by then, which the line then says.
  g_dbus_connection_call(
      service->connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "GetConnectionUnixUser", g_variant_new("(s)", sender), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Refusal> owned(static_cast<Refusal*>(data));
        g_autoptr(GVariant) reply =
            g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
        guint32 uid = 0;
        if (reply != nullptr) g_variant_get(reply, "(u)", &uid);
        WarnRefused(owned->method, owned->message, reply != nullptr ? int64_t{uid} : -1);
      },
      refusal.release());
}

void EmitDictionarySignal(Service* service, const char* signalName, GVariant* dictionary) {
  if (service->connection == nullptr) return;
  g_autoptr(GError) error = nullptr;
  if (!g_dbus_connection_emit_signal(service->connection, nullptr, kObjectPath, kInterfaceName,
                                     signalName, g_variant_new("(@a{sv})", dictionary), &error)) {
    g_warning("Unable to emit %s: %s", signalName, error->message);
  }
}

void NetworkChanged(GNetworkMonitor*, gboolean available, gpointer user_data) {
  auto* service = static_cast<Service*>(user_data);
  // The monitor speaks up on every route change, several times per tunnel
  // brought up or down. Availability is all the path reports besides its
  // timestamp, and only this handler changes it, so the last value stored is
  // the last one any client was told about.
  if (service->networkAvailable.exchange(available != FALSE) == (available != FALSE)) return;
  g_autoptr(GVariant) path = NetworkPathVariant(service);
  EmitDictionarySignal(service, kSignalNetworkPathChanged, path);
}

}  // namespace tessary::linux_service
