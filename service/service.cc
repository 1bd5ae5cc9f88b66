// Process life, the published state and the worker threads of
// tessaryvpn-service. Method dispatch lives in service_dispatch.cc.
#include "service/service.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <utility>

#include "common/constants.h"
#include "service/bus_stream.h"
#include "service/kill_switch.h"

namespace tessary::linux_service {
namespace {

// Introspection data of the interface. Clients rely on these exact names.
constexpr char kIntrospectionXml[] = R"XML(<node>
  <interface name="org.tessaryvpn.Service1">
    <method name="Initialize"/>
    <method name="GetRuntimeInfo">
      <arg name="runtime" type="a{sv}" direction="out"/>
    </method>
    <method name="GetCapabilities">
      <arg name="capabilities" type="a{sv}" direction="out"/>
    </method>
    <method name="GetConnectionSnapshot">
      <arg name="snapshot" type="a{sv}" direction="out"/>
    </method>
    <method name="GetNetworkPath">
      <arg name="path" type="a{sv}" direction="out"/>
    </method>
    <method name="RequestVpnPermission">
      <arg name="granted" type="b" direction="out"/>
    </method>
    <method name="GenerateWireGuardKeyPair">
      <arg name="keyPair" type="a{sv}" direction="out"/>
    </method>
    <method name="Connect">
      <arg name="profile" type="a{sv}" direction="in"/>
    </method>
    <method name="Disconnect"/>
    <signal name="SnapshotChanged">
      <arg name="snapshot" type="a{sv}"/>
    </signal>
    <signal name="LogEmitted">
      <arg name="entry" type="a{sv}"/>
    </signal>
    <signal name="NetworkPathChanged">
      <arg name="path" type="a{sv}"/>
    </signal>
  </interface>
</node>)XML";

// While draining workers at shutdown the main context is still served in
// short slices, so that callers arriving then are refused with ShuttingDown
// instead of waiting for a reply that never comes.
constexpr auto kDrainSlice = std::chrono::milliseconds(50);
constexpr int kDrainDispatchesPerSlice = 64;

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

// Ends a worker's share of the shutdown wait. Called with engineMutex held so
// that the wait cannot miss the last notification.
// Frees the worker slot, then publishes the worker's outcome: a caller that
// reacts to it is not answered Busy, and since Connect and Disconnect reserve
// the slot under the same lock, a new operation's first stage cannot come
// before this outcome.
void FinishWorker(Service* service, const std::function<void()>& publish = nullptr) {
  std::lock_guard<std::mutex> lock(service->workerMutex);
  service->activeWorkers.fetch_sub(1);
  if (publish) publish();
  service->workersIdle.notify_all();
}

void WaitForWorkers(Service* service) {
  std::unique_lock<std::mutex> lock(service->workerMutex);
  while (service->activeWorkers.load() != 0) {
    service->workersIdle.wait_for(lock, kDrainSlice);
    if (service->activeWorkers.load() == 0) break;
    lock.unlock();
    for (int i = 0; i < kDrainDispatchesPerSlice; ++i) {
      if (!g_main_context_iteration(nullptr, FALSE)) break;
    }
    lock.lock();
  }
}

// Callers still waiting for polkit when shutdown begins are answered
// ShuttingDown once their cancelled check comes back, which polkit's library
// reports from a later iteration. The wait is bounded so that a polkit that
// never lets go cannot keep the service from stopping its engine.
constexpr guint kAuthorizationDrainMillis = 2000;

void AnswerPendingAuthorizations(Service* service) {
  CancelAuthorizations(service);
  bool expired = false;
  const guint timer = g_timeout_add(
      kAuthorizationDrainMillis,
      [](gpointer flag) -> gboolean {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_REMOVE;
      },
      &expired);
  while (!service->authorizationChecks.empty() && !expired) {
    g_main_context_iteration(nullptr, TRUE);
  }
  if (!expired) g_source_remove(timer);
  if (!service->authorizationChecks.empty()) {
    g_warning("Polkit did not release %zu authorization checks at shutdown.",
              service->authorizationChecks.size());
  }
}

// The engine state (interfaces, the nftables table, DNS, private files) belongs
// to one service process. A second instance started by hand must not run the
// start-up recovery or the final stop, which would tear down the live tunnel
// and lift its kill switch. The lock sits on the runtime directory itself, so
// it leaves no file behind and ends with the process.
enum class InstanceLock { kHeld, kHeldElsewhere, kUnavailable };

InstanceLock TakeInstanceLock(int* fd) {
  g_mkdir_with_parents(kRuntimeDirectory, 0700);
  *fd = open(kRuntimeDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (*fd < 0) return InstanceLock::kUnavailable;
  if (flock(*fd, LOCK_EX | LOCK_NB) == 0) return InstanceLock::kHeld;
  const bool busy = errno == EWOULDBLOCK;
  close(*fd);
  *fd = -1;
  return busy ? InstanceLock::kHeldElsewhere : InstanceLock::kUnavailable;
}

// journald names a process by its command name, cut to 15 characters,
// unless each record names it.
constexpr char kLogIdentifier[] = "tessaryvpn-service";

GLogWriterOutput WriteLogRecord(GLogLevelFlags flags, const GLogField* fields, gsize count,
                                gpointer data) {
  std::vector<GLogField> named(fields, fields + count);
  named.push_back({"SYSLOG_IDENTIFIER", kLogIdentifier, -1});
  return g_log_writer_default(flags, named.data(), named.size(), data);
}

}  // namespace

int64_t NowEpochMillis() { return g_get_real_time() / 1000; }

// ---- snapshot, log and network path ----

void SetSnapshot(Service* service, const std::string& stage, const std::string& activeProfileId,
                 const std::string& lastError, int64_t connectedAtEpochMillis) {
  LockSnapshot(service);
  service->stage = stage;
  service->activeProfileId = activeProfileId;
  service->lastError = lastError;
  service->connectedAtEpochMillis = connectedAtEpochMillis;
  UnlockSnapshot(service);

  g_autoptr(GVariant) snapshot = SnapshotVariant(service);
  EmitDictionarySignal(service, "SnapshotChanged", snapshot);
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
  AddString(&builder, "stage", snapshot.stage);
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
  EmitDictionarySignal(service, "LogEmitted", entry);

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
  // Asked without blocking the main loop; the caller may be gone by then,
  // which the line then says.
  g_dbus_connection_call(
      service->connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "GetConnectionUnixUser", g_variant_new("(s)", sender), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
      [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Refusal> owned(static_cast<Refusal*>(data));
        g_autoptr(GVariant) reply =
            g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
        if (reply == nullptr) {
          g_warning("Refused %s from a caller that has left the bus: %s", owned->method.c_str(),
                    owned->message.c_str());
          return;
        }
        guint32 uid = 0;
        g_variant_get(reply, "(u)", &uid);
        g_warning("Refused %s from uid %u: %s", owned->method.c_str(), uid, owned->message.c_str());
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
  EmitDictionarySignal(service, "NetworkPathChanged", path);
}

// ---- workers ----

bool ConnectCancelled(const Service* service, uint64_t generation) {
  return service->stopping.load() || service->operationGeneration.load() != generation;
}

void ConnectWorker(ConnectRequest* request) {
  std::unique_ptr<ConnectRequest> owned(request);
  Service* service = request->service;
  std::unique_lock<std::mutex> engineLock(service->engineMutex);

  std::function<void()> publish;
  if (request->generation != service->operationGeneration.load()) {
    // Overtaken before it began: whatever overtook it reports.
    SecureClear(&request->rawConfig);
  } else {
    SetSnapshot(service, "connecting", request->id, "", 0);
    const uint64_t generation = request->generation;
    const std::function<bool()> cancelled = [service, generation] {
      return ConnectCancelled(service, generation);
    };
    std::string message;
    // A reconnect under the kill switch keeps a table in place throughout.
    const bool started =
        service->runtime.BridgeLeakProtection(request->kind, request->rawConfig,
                                              request->killSwitch, cancelled, &message) &&
        service->runtime.Start(request->kind, request->protocol, request->rawConfig, cancelled,
                               &message);
    const std::string engine = EngineName(request->kind);
    if (started) {
      service->cleanupHealthy.store(true);
      bool current = request->generation == service->operationGeneration.load();
      bool leakProtected = false;
      std::string leakMessage;
      if (current && request->killSwitch) {
        leakProtected =
            service->runtime.ApplyLeakProtection(request->rawConfig, cancelled, &leakMessage);
        // Server lookups take time; a Disconnect or shutdown meanwhile owns
        // the outcome, and this tunnel must not be reported as up.
        current = request->generation == service->operationGeneration.load();
      }
      SecureClear(&request->rawConfig);
      if (current) {
        if (request->killSwitch) {
          if (leakProtected) {
            EmitLog(service, "info", "Kill switch active for this tunnel.");
          } else {
            EmitLog(service, "warning", "Kill switch could not be applied: " + leakMessage);
          }
        }
        publish = [service, request, engine] {
          SetSnapshot(service, "connected", request->id, "", NowEpochMillis());
          EmitLog(service, "info", engine + " tunnel connected.");
        };
      } else if (service->runtime.leakProtectionHeld) {
        // Whatever overtook this connect decides about the kill switch.
        service->cleanupHealthy.store(service->runtime.Recover(&message));
      } else {
        service->cleanupHealthy.store(service->runtime.Stop(&message));
      }
    } else {
      SecureClear(&request->rawConfig);
      std::string recoverMessage;
      const bool recovered = service->runtime.Recover(&recoverMessage);
      service->cleanupHealthy.store(recovered);
      if (!recovered) message += " The failed engine could not be fully cleaned up.";
      if (service->runtime.leakProtectionHeld) {
        message += std::string(" ") + kLeakProtectionHeldNote;
      }
      if (request->generation == service->operationGeneration.load()) {
        publish = [service, request, engine, message] {
          SetSnapshot(service, "error", request->id, message, 0);
          EmitLog(service, "error", engine + " connection failed.", message);
        };
      }
    }
  }

  FinishWorker(service, publish);
  engineLock.unlock();
}

void DisconnectWorker(Service* service) {
  std::unique_lock<std::mutex> engineLock(service->engineMutex);
  std::string message;
  const bool stopped = service->runtime.Stop(&message);
  service->cleanupHealthy.store(stopped);
  FinishWorker(service, [service, stopped, &message] {
    service->disconnectInProgress.store(false);
    if (stopped) {
      SetSnapshot(service, "disconnected", "", "", 0);
      EmitLog(service, "info", "VPN tunnel disconnected.");
    } else {
      SetSnapshot(service, "error", "", message, 0);
      EmitLog(service, "error", "VPN disconnect cleanup failed.", message);
    }
  });
  engineLock.unlock();
}

// ---- process ----

void BusAcquired(GDBusConnection* connection, const gchar*, gpointer user_data) {
  auto* service = static_cast<Service*>(user_data);
  g_set_object(&service->connection, connection);

  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusNodeInfo) node = g_dbus_node_info_new_for_xml(kIntrospectionXml, &error);
  if (node == nullptr) g_error("Unable to parse D-Bus interface: %s", error->message);

  static const GDBusInterfaceVTable vtable = {HandleMethodCall, nullptr, nullptr, {nullptr}};
  service->registrationId = g_dbus_connection_register_object(
      connection, kObjectPath, node->interfaces[0], &vtable, service, nullptr, &error);
  if (service->registrationId == 0) {
    g_error("Unable to register D-Bus object: %s", error->message);
  }
  WatchCallers(service);
  EmitLog(service, "info", "TessaryVPN Linux service started.");
}

void NameLost(GDBusConnection*, const gchar*, gpointer user_data) {
  auto* service = static_cast<Service*>(user_data);
  service->exitFailure.store(true);
  service->stopping.store(true);
  service->operationGeneration.fetch_add(1);
  g_warning("TessaryVPN Linux service lost its D-Bus name.");
  g_main_loop_quit(service->loop);
}

gboolean ShutdownSignal(gpointer user_data) {
  auto* service = static_cast<Service*>(user_data);
  bool expected = false;
  if (service->stopping.compare_exchange_strong(expected, true)) {
    service->operationGeneration.fetch_add(1);
    const Snapshot snapshot = ReadSnapshot(service);
    SetSnapshot(service, "disconnecting", snapshot.activeProfileId, "", 0);
    g_main_loop_quit(service->loop);
  }
  // The source stays: removing GLib's last source for a signal restores the
  // default action, and a repeated SIGTERM would then kill the process in
  // the middle of its final stop, leaving the tunnel and kill switch behind.
  // `stopping` already makes every later delivery a no-op.
  return G_SOURCE_CONTINUE;
}

gboolean PollActiveEngine(gpointer user_data) {
  auto* service = static_cast<Service*>(user_data);
  if (service->activeWorkers.load() != 0) return G_SOURCE_CONTINUE;
  std::unique_lock<std::mutex> engineLock(service->engineMutex, std::try_to_lock);
  if (!engineLock.owns_lock()) return G_SOURCE_CONTINUE;
  std::string message;
  if (service->runtime.PollUnexpectedExit(&message)) {
    service->cleanupHealthy.store(false);
    const Snapshot snapshot = ReadSnapshot(service);
    SetSnapshot(service, "error", snapshot.activeProfileId, message, 0);
    EmitLog(service, "error", "The active VPN engine stopped unexpectedly.", message);
  }
  return G_SOURCE_CONTINUE;
}

namespace {

// Everything from the start-up recovery to the final stop; the Service and
// its engine slot are destroyed before the instance lock is let go.
int ServeUntilShutdown() {
  Service service;
  service.loop = g_main_loop_new(nullptr, FALSE);

  {
    std::lock_guard<std::mutex> engineLock(service.engineMutex);
    // A table left by the last run means that run ended while protecting the
    // user, who must not find traffic flowing in the clear until they say so.
    service.runtime.leakProtectionHeld = KillSwitchInstalled();
    std::string message;
    service.cleanupHealthy.store(service.runtime.Recover(&message));
    if (service.runtime.leakProtectionHeld) {
      if (message.empty()) {
        message = "The last run of the service ended while the kill switch was on.";
      }
      message += std::string(" ") + kLeakProtectionHeldNote;
    }
    if (!message.empty()) SetSnapshot(&service, "error", "", message, 0);
  }

  GNetworkMonitor* monitor = g_network_monitor_get_default();
  if (monitor != nullptr) {
    service.networkMonitor = G_NETWORK_MONITOR(g_object_ref(monitor));
    service.networkAvailable.store(g_network_monitor_get_network_available(monitor) != FALSE);
    service.networkChangedHandler =
        g_signal_connect(monitor, "network-changed", G_CALLBACK(NetworkChanged), &service);
  }

  // A Connect's body is its profile dictionary; a larger one is refused
  // before the bus library parses it.
  std::string busError;
  g_autoptr(GDBusConnection) bus =
      ConnectSystemBus(kMaxProfileBytes, kErrorInvalidProfile, kProfileTooLargeMessage, &busError);
  guint ownerId = 0;
  if (bus != nullptr) {
    BusAcquired(bus, kBusName, &service);
    ownerId = g_bus_own_name_on_connection(bus, kBusName, G_BUS_NAME_OWNER_FLAGS_NONE, nullptr,
                                           NameLost, &service, nullptr);
  } else {
    g_warning("%s", busError.c_str());
    g_idle_add_once([](gpointer data) { NameLost(nullptr, kBusName, data); }, &service);
  }
  g_unix_signal_add(SIGTERM, ShutdownSignal, &service);
  g_unix_signal_add(SIGINT, ShutdownSignal, &service);
  const guint pollId = g_timeout_add(1000, PollActiveEngine, &service);

  g_main_loop_run(service.loop);

  service.stopping.store(true);
  service.operationGeneration.fetch_add(1);
  AnswerPendingAuthorizations(&service);
  WaitForWorkers(&service);

  {
    std::lock_guard<std::mutex> engineLock(service.engineMutex);
    std::string message;
    if (!service.runtime.Stop(&message)) {
      service.exitFailure.store(true);
      service.cleanupHealthy.store(false);
    }
    if (!message.empty()) {
      SetSnapshot(&service, "error", "", message, 0);
    } else {
      SetSnapshot(&service, "disconnected", "", "", 0);
    }
  }

  g_source_remove(pollId);
  if (service.releaser != nullptr) g_thread_pool_free(service.releaser, FALSE, TRUE);
  if (ownerId != 0) g_bus_unown_name(ownerId);
  if (service.networkMonitor != nullptr) {
    if (service.networkChangedHandler != 0) {
      g_signal_handler_disconnect(service.networkMonitor, service.networkChangedHandler);
    }
    g_clear_object(&service.networkMonitor);
  }
  if (service.connection != nullptr) {
    if (service.registrationId != 0) {
      g_dbus_connection_unregister_object(service.connection, service.registrationId);
    }
    if (service.callerWatch != 0) {
      g_dbus_connection_signal_unsubscribe(service.connection, service.callerWatch);
    }
    // The final snapshot must leave the process before it exits.
    g_dbus_connection_flush_sync(service.connection, nullptr, nullptr);
    g_clear_object(&service.connection);
  }
  g_clear_object(&service.authority);
  g_main_loop_unref(service.loop);
  return service.exitFailure.load() ? 1 : 0;
}

}  // namespace

int RunService() {
  // GLib before 2.76 keeps GVariant and GBytes memory in its own slab
  // allocator, which never gives it back; the parsed form of one large
  // message would stay resident. The variable is read before main runs, so
  // the service starts itself once more with it set.
  if (g_getenv("G_SLICE") == nullptr) {
    g_setenv("G_SLICE", "always-malloc", TRUE);
    // The same first argument: doctor knows the service by its command line.
    g_autofree gchar* commandLine = nullptr;
    if (!g_file_get_contents("/proc/self/cmdline", &commandLine, nullptr, nullptr) ||
        commandLine[0] == '\0') {
      g_free(commandLine);
      commandLine = g_strdup(kServiceBinary);
    }
    char* const argv[] = {commandLine, nullptr};
    execv("/proc/self/exe", argv);
    g_warning("Unable to restart with the system allocator: %s", g_strerror(errno));
  }
  g_set_prgname(kLogIdentifier);
  g_log_set_writer_func(WriteLogRecord, nullptr, nullptr);
  int lockFd = -1;
  switch (TakeInstanceLock(&lockFd)) {
    case InstanceLock::kHeld:
    case InstanceLock::kUnavailable:
      break;
    case InstanceLock::kHeldElsewhere:
      // The running instance owns the bus name too; leave everything to it.
      g_warning("Another TessaryVPN Linux service instance is running.");
      g_warning("TessaryVPN Linux service lost its D-Bus name.");
      return 1;
  }

  const int status = ServeUntilShutdown();
  // Released only now, so that a successor started meanwhile cannot recover
  // over a tunnel that is still being taken down.
  if (lockFd >= 0) close(lockFd);
  return status;
}

}  // namespace tessary::linux_service
