// The one record of tessaryvpn-service and its published state: the
// connection snapshot, the network path, log entries and their signals.
// It calls into neither the dispatch nor the workers, which both call into it.
//
// Lock order: engineMutex, then workerMutex, then snapshotMutex. snapshotMutex
// guards only the copying of the four snapshot fields and is never held while
// a dictionary is built or a signal is emitted.
#pragma once

#include <gio/gio.h>
#include <polkit/polkit.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/stage.h"
#include "service/engine_runtime.h"

namespace tessary::linux_service {

// One caller's authorization check; defined with the dispatch.
struct PendingAuthorization;

// A caller of the guarded methods, known by its unique bus name from its
// first such call until it leaves the bus. Main thread only.
struct CallerRecord {
  int64_t uid = -1;
  bool gone = false;  // left the bus: its checks answer nobody and start nothing
  // Arrival number of its newest Connect or Disconnect that went to polkit.
  uint64_t newestOperation = 0;
  std::vector<PendingAuthorization*> checks;  // each owned by its check
};

// The one record of the process, owned by RunService; every callback gets a
// pointer to it.
struct Service {
  GMainLoop* loop = nullptr;              // quitting it starts shutdown
  GDBusConnection* connection = nullptr;  // owned reference; null before the bus is acquired
  guint registrationId = 0;
  GNetworkMonitor* networkMonitor = nullptr;  // owned reference; may stay null
  gulong networkChangedHandler = 0;
  GMutex snapshotMutex;
  std::mutex engineMutex;
  EngineRuntime runtime;
  Stage stage = Stage::kDisconnected;
  std::string activeProfileId;
  std::string lastError;
  int64_t connectedAtEpochMillis = 0;
  std::atomic<uint64_t> operationGeneration{0};
  std::atomic<int32_t> activeWorkers{0};
  std::mutex workerMutex;
  std::condition_variable workersIdle;
  std::atomic<bool> disconnectInProgress{false};
  std::atomic<bool> cleanupHealthy{true};
  std::atomic<bool> networkAvailable{false};
  std::atomic<bool> exitFailure{false};
  std::atomic<bool> stopping{false};
  // polkit, asked without blocking the main loop; obtained by the first
  // check that needs it. Main thread only.
  PolkitAuthority* authority = nullptr;  // owned reference
  // The cancellable of each check still waiting for polkit, each owned by its
  // check. Shutdown cancels them, so that an authentication dialog nobody
  // answers cannot hold up the stop. Main thread only.
  std::vector<GCancellable*> authorizationChecks;
  // Every check is a call of this service's to polkitd until polkitd
  // answers, and the bus lets one connection await only so many replies;
  // these count them by caller, by user and by pool. Main thread only.
  std::map<std::string, CallerRecord> callers;
  std::map<int64_t, int> checksPerUser;
  int checksOfOthers = 0;
  int checksOfRoot = 0;
  // Connect and Disconnect calls are numbered as they arrive, so that one
  // authorized after a newer one was starts nothing. Main thread only.
  uint64_t operationArrivals = 0;
  uint64_t newestAuthorizedOperation = 0;
  guint callerWatch = 0;            // NameOwnerChanged subscription
  GThreadPool* releaser = nullptr;  // lets go of large calls off the main thread

  Service() { g_mutex_init(&snapshotMutex); }
  ~Service() { g_mutex_clear(&snapshotMutex); }
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;
};

// A copy of the snapshot fields, taken under snapshotMutex.
struct Snapshot {
  Stage stage = Stage::kDisconnected;
  std::string activeProfileId;
  std::string lastError;
  int64_t connectedAtEpochMillis = 0;
};

// Milliseconds since the Unix epoch from the real-time clock.
int64_t NowEpochMillis();

// ---- snapshot, log and network path (any thread) ----

// Replaces the four snapshot fields at once, then emits SnapshotChanged.
void SetSnapshot(Service* service, Stage stage, const std::string& activeProfileId,
                 const std::string& lastError, int64_t connectedAtEpochMillis);
Snapshot ReadSnapshot(Service* service);
// Snapshot dictionary without empty keys; a non-floating reference the caller
// releases.
GVariant* SnapshotVariant(Service* service);
// The six network-path keys in their fixed order; non-floating.
GVariant* NetworkPathVariant(Service* service);
// How an entry of level "info", "warning" or "error" reaches the journal:
// GLib's level (never the fatal one) and the syslog priority ("6", "4", "3").
struct LogSeverity {
  GLogLevelFlags flags;
  const char* priority;
};
LogSeverity LogSeverityFor(const std::string& level);
// Emits LogEmitted and writes the message, followed by `reason` when there is
// one, to the GLib log with the level's priority.
void EmitLog(Service* service, const char* level, const std::string& message,
             const std::string& reason = "");
// Writes a warning naming the refused method, the caller's uid and the
// refusal message (never anything of a profile). Call it before answering,
// on the main thread: the uid comes from the caller's record when there is
// one.
void LogRefusal(Service* service, GDBusMethodInvocation* invocation, const std::string& message);
// Emits `signalName` with the dictionary as the only argument; does nothing
// before the bus is acquired. The caller keeps its reference.
void EmitDictionarySignal(Service* service, const char* signalName, GVariant* dictionary);
void NetworkChanged(GNetworkMonitor* monitor, gboolean available, gpointer user_data);

}  // namespace tessary::linux_service
