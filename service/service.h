// The process of tessaryvpn-service: bus ownership, main loop, method
// dispatch with polkit authorization, the connection snapshot and its signals,
// and the connect and disconnect worker threads.
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
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "common/constants.h"
#include "service/config_validation.h"
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
  std::string stage = "disconnected";
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
  std::string stage;
  std::string activeProfileId;
  std::string lastError;
  int64_t connectedAtEpochMillis = 0;
};

// Work item of one connect worker; created by the Connect handler and owned
// and destroyed by the worker, which wipes rawConfig on every path.
struct ConnectRequest {
  Service* service = nullptr;  // not owned
  uint64_t generation = 0;
  EngineKind kind = kUnsupported;
  std::string id;
  std::string protocol;
  std::string rawConfig;
  bool killSwitch = false;
};

// Milliseconds since the Unix epoch from the real-time clock.
int64_t NowEpochMillis();

// ---- snapshot, log and network path (any thread) ----

// Replaces the four snapshot fields at once, then emits SnapshotChanged.
void SetSnapshot(Service* service, const std::string& stage, const std::string& activeProfileId,
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
// refusal message (never anything of a profile). Call it before answering.
void LogRefusal(Service* service, GDBusMethodInvocation* invocation, const std::string& message);
// Emits `signalName` with the dictionary as the only argument; does nothing
// before the bus is acquired. The caller keeps its reference.
void EmitDictionarySignal(Service* service, const char* signalName, GVariant* dictionary);
void NetworkChanged(GNetworkMonitor* monitor, gboolean available, gpointer user_data);

// ---- dispatch and authorization (main thread) ----

void HandleMethodCall(GDBusConnection* connection, const gchar* sender, const gchar* objectPath,
                      const gchar* interfaceName, const gchar* methodName, GVariant* parameters,
                      GDBusMethodInvocation* invocation, gpointer user_data);
// A guarded method's work once polkit allowed its caller; it answers the
// invocation.
using AuthorizedHandler = void (*)(Service* service, GDBusMethodInvocation* invocation);
// Asks polkit, allowing it to let the user authenticate, whether the caller
// may manage the VPN, without blocking the main loop: the user may take as
// long as they like. Takes over the dispatcher's invocation. The answer is
// handled on the main thread: ShuttingDown when shutdown began meanwhile,
// NotAuthorized when refused, else `handler`, which then makes the method's
// own checks against the state of that moment. A null handler is
// RequestVpnPermission's question, answered with a plain boolean.
void AuthorizeInvocation(Service* service, GDBusMethodInvocation* invocation,
                         AuthorizedHandler handler);
// Cancels every check still waiting for polkit; each caller is answered
// ShuttingDown once polkit has let go of it (a later main-context iteration).
void CancelAuthorizations(Service* service);
// Follows callers leaving the bus, so that their checks are let go at once.
void WatchCallers(Service* service);

// Checks in flight to polkit, well below the 128 replies the system bus lets
// one connection await. Root has a share of its own, so no other user can
// fill what root needs to disconnect.
inline constexpr int kMaxChecksPerCaller = 4;
inline constexpr int kMaxChecksPerUser = 8;
inline constexpr int kMaxChecksOfOthers = 32;
inline constexpr int kMaxChecksOfRoot = 32;
static_assert(kMaxChecksOfOthers + kMaxChecksOfRoot <= 96,
              "checks in flight must stay well below the bus's 128 awaited replies");
struct CheckCounts {
  int caller = 0;  // of this unique bus name
  int user = 0;    // of its uid
  int others = 0;  // of every uid but 0
  int root = 0;    // of uid 0
};
// True when one more check of a caller of `uid` stays within the limits.
bool CheckFitsLimits(int64_t uid, const CheckCounts& counts);

// A Connect profile holds four keys the service reads; clients may add a
// few of their own, never more than this, nor more bytes than a profile of
// the largest configuration.
inline constexpr gsize kMaxProfileEntries = 64;
inline constexpr gsize kMaxProfileBytes = kMaxConfigBytes + 65536;
inline constexpr char kProfileTooLargeMessage[] =
    "The VPN profile is too large or has too many entries.";
// False when the a{sv} profile has more entries or bytes than that; cheap
// on any dictionary the bus delivers.
bool ProfileWithinBounds(GVariant* profile);

// Typed reads from an a{sv} dictionary; a key of another type counts as absent.
std::string LookupString(GVariant* dictionary, const char* key);
bool LookupBoolean(GVariant* dictionary, const char* key, bool defaultValue);

// Runs wg genkey and wg pubkey under /usr/bin/timeout. On false *error holds
// the reason, which stays empty when the tools printed an empty key.
bool GenerateWireGuardKeyPair(std::string* privateKey, std::string* publicKey, std::string* error);

// Outcome of the checks a Connect makes before anything changes.
struct ConnectAdmission {
  bool accepted = false;
  EngineKind kind = kUnsupported;
  const char* errorName = "";  // full D-Bus error name when !accepted
  std::string message;         // its message when !accepted
};

// Validation, then availability, then the 0-to-1 reservation of
// activeWorkers. Every rejection wipes *rawConfig; on acceptance it is left
// for the worker. Validation and availability are passed in so that the
// rejection path can be exercised without a bus or an engine.
ConnectAdmission AdmitConnect(
    const std::string& id, const std::string& protocol, std::string* rawConfig,
    const std::function<ProfileValidation(const std::string&, const std::string&,
                                          const std::string&)>& validate,
    const std::function<bool(EngineKind)>& isAvailable, std::atomic<int32_t>* activeWorkers);

// ---- workers ----

// True once the request's work is overtaken by a newer operation or shutdown.
bool ConnectCancelled(const Service* service, uint64_t generation);
// Both take ownership of what they are given and run on their own thread.
void ConnectWorker(ConnectRequest* request);
void DisconnectWorker(Service* service);

// ---- process ----

void BusAcquired(GDBusConnection* connection, const gchar* name, gpointer user_data);
void NameLost(GDBusConnection* connection, const gchar* name, gpointer user_data);
gboolean ShutdownSignal(gpointer user_data);
gboolean PollActiveEngine(gpointer user_data);

// The whole life of the service; returns the process exit status.
int RunService();

}  // namespace tessary::linux_service
