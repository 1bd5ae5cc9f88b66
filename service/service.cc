// Process life of tessaryvpn-service: the bus name and object, the start-up
// recovery, the engine poll and the shutdown. It sits on top of the dispatch,
// the workers and the state, none of which calls back into it.
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
// Also said by a second instance, which the running one keeps from the name.
constexpr char kNameLostMessage[] = "TessaryVPN Linux service lost its D-Bus name.";

GLogWriterOutput WriteLogRecord(GLogLevelFlags flags, const GLogField* fields, gsize count,
                                gpointer data) {
  std::vector<GLogField> named(fields, fields + count);
  named.push_back({"SYSLOG_IDENTIFIER", kLogIdentifier, -1});
  return g_log_writer_default(flags, named.data(), named.size(), data);
}

}  // namespace

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
  g_warning("%s", kNameLostMessage);
  g_main_loop_quit(service->loop);
}

gboolean ShutdownSignal(gpointer user_data) {
  auto* service = static_cast<Service*>(user_data);
  bool expected = false;
  if (service->stopping.compare_exchange_strong(expected, true)) {
    service->operationGeneration.fetch_add(1);
    const Snapshot snapshot = ReadSnapshot(service);
    SetSnapshot(service, Stage::kDisconnecting, snapshot.activeProfileId, "", 0);
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
  const EngineLoss loss = service->runtime.DetectEngineLoss(&message);
  if (loss == EngineLoss::kNone) return G_SOURCE_CONTINUE;
  service->cleanupHealthy.store(false);
  if (loss == EngineLoss::kEngineExited) {
    ReportEngineLoss(service, loss, message);
    return G_SOURCE_CONTINUE;
  }
  // Stopping the engine can take seconds (wg-quick down, the stop grace):
  // it runs as a worker, so that calls are answered meanwhile and a Connect
  // or Disconnect finds the slot taken as during any other worker.
  StartLostEngineStop(service, message);
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
    if (!message.empty()) SetSnapshot(&service, Stage::kError, "", message, 0);
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
      SetSnapshot(&service, Stage::kError, "", message, 0);
    } else {
      SetSnapshot(&service, Stage::kDisconnected, "", "", 0);
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
      g_warning("%s", kNameLostMessage);
      return 1;
  }

  const int status = ServeUntilShutdown();
  // Released only now, so that a successor started meanwhile cannot recover
  // over a tunnel that is still being taken down.
  if (lockFd >= 0) close(lockFd);
  return status;
}

}  // namespace tessary::linux_service
