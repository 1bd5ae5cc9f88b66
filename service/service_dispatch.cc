// Method dispatch of tessaryvpn-service: every handler reads the same way,
// refuse while stopping, authorize, read and validate into locals, reserve,
// change state, reply.
#include <malloc.h>
#include <polkit/polkit.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>

#include "common/constants.h"
#include "service/profile_text.h"
#include "service/service.h"

namespace tessary::linux_service {
namespace {

constexpr char kShuttingDownMessage[] = "The TessaryVPN service is shutting down.";
constexpr char kUnknownMethodMessage[] = "The requested method is not implemented.";
constexpr char kNotAuthorizedMessage[] = "Authorization to manage the VPN was denied.";
constexpr char kBusyMessage[] = "Another VPN engine operation is already in progress.";
constexpr char kAuthorizationUnavailableMessage[] =
    "polkit could not be asked whether the caller may manage the VPN.";
constexpr char kTooManyRequestsMessage[] =
    "Too many requests are already waiting for authorization.";
constexpr char kSupersededMessage[] =
    "A newer connect or disconnect request was authorized before this one.";
constexpr char kProfileTooLargeMessage[] = "The VPN profile is too large or has too many entries.";

// A call at least this large is let go of on the releaser's thread, which
// then trims the heap: glibc keeps freed memory otherwise, and the parsed
// form of a message is many times its size.
constexpr gsize kLargeCallBytes = 65536;
// Long enough for the dispatcher to drop its references first.
constexpr gulong kReleaseDelayMicros = 200000;
// The bus answers for itself; a longer wait means it is not answering.
constexpr int kBusLookupTimeoutMillis = 5000;
constexpr char kWireGuardToolsMissing[] =
    "wireguard-tools is unavailable. Repair the TessaryVPN installation.";

// Fixed by the interface, not derived from the protocol mapping.
constexpr const char* kSupportedProtocols[] = {
    "singBox",   "vless",     "vmess",   "trojan",       "shadowsocks",
    "hysteria2", "tuic",      "quarn",   "xray-reality", "xray",
    "wireGuard", "amneziawg", "openVpn", "openvpn-tcp",  "openvpn-udp",
};

// The four engines, in the order every report lists them.
constexpr EngineKind kEngines[] = {kSingBox, kXray, kWireGuard, kOpenVpn};

bool IsExecutableFile(const char* path) {
  return g_file_test(path, G_FILE_TEST_IS_REGULAR) && g_file_test(path, G_FILE_TEST_IS_EXECUTABLE);
}

void ReplyEmpty(GDBusMethodInvocation* invocation) {
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

void ReplyDictionary(GDBusMethodInvocation* invocation, GVariant* dictionary) {
  g_dbus_method_invocation_return_value(invocation, g_variant_new("(@a{sv})", dictionary));
}

void HandleInitialize(Service* service, GDBusMethodInvocation* invocation) {
  g_autoptr(GVariant) snapshot = SnapshotVariant(service);
  EmitDictionarySignal(service, "SnapshotChanged", snapshot);
  g_autoptr(GVariant) path = NetworkPathVariant(service);
  EmitDictionarySignal(service, "NetworkPathChanged", path);
  ReplyEmpty(invocation);
}

void HandleGetRuntimeInfo(Service* service, GDBusMethodInvocation* invocation) {
  const EngineRuntime& runtime = service->runtime;
  const bool healthy = service->cleanupHealthy.load();
  bool ready = true;
  for (EngineKind kind : kEngines) {
    if (!runtime.IsAvailable(kind)) {
      ready = false;
      break;
    }
  }
  ready = ready && healthy;
  std::string summary = runtime.AvailabilitySummary();
  if (!healthy) summary += "; cleanup repair required";

  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&builder, "{sv}", "platformName", g_variant_new_string("linux"));
  g_variant_builder_add(&builder, "{sv}", "summary", g_variant_new_string(summary.c_str()));
  g_variant_builder_add(&builder, "{sv}", "nativeBridgeReady", g_variant_new_boolean(ready));
  g_variant_builder_add(&builder, "{sv}", "singBoxRuntimeDetected",
                        g_variant_new_boolean(runtime.IsAvailable(kSingBox)));
  g_variant_builder_add(&builder, "{sv}", "xrayRuntimeDetected",
                        g_variant_new_boolean(runtime.IsAvailable(kXray)));
  g_variant_builder_add(&builder, "{sv}", "wireGuardRuntimeDetected",
                        g_variant_new_boolean(runtime.IsAvailable(kWireGuard)));
  g_variant_builder_add(&builder, "{sv}", "openVpnRuntimeDetected",
                        g_variant_new_boolean(runtime.IsAvailable(kOpenVpn)));
  ReplyDictionary(invocation, g_variant_builder_end(&builder));
}

void HandleGetCapabilities(GDBusMethodInvocation* invocation) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&builder, "{sv}", "supportsLifecycle", g_variant_new_boolean(TRUE));
  g_variant_builder_add(&builder, "{sv}", "supportsTrafficStats", g_variant_new_boolean(FALSE));
  g_variant_builder_add(&builder, "{sv}", "supportsSplitTunnel", g_variant_new_boolean(FALSE));
  g_variant_builder_add(&builder, "{sv}", "supportedProtocols",
                        g_variant_new_strv(kSupportedProtocols, G_N_ELEMENTS(kSupportedProtocols)));
  ReplyDictionary(invocation, g_variant_builder_end(&builder));
}

void HandleGenerateWireGuardKeyPair(Service*, GDBusMethodInvocation* invocation) {
  std::string privateKey;
  std::string publicKey;
  std::string error;
  if (!GenerateWireGuardKeyPair(&privateKey, &publicKey, &error)) {
    g_dbus_method_invocation_return_dbus_error(invocation, kErrorWireGuardUnavailable,
                                               error.c_str());
    return;
  }
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&builder, "{sv}", "privateKey", g_variant_new_string(privateKey.c_str()));
  g_variant_builder_add(&builder, "{sv}", "publicKey", g_variant_new_string(publicKey.c_str()));
  GVariant* keyPair = g_variant_builder_end(&builder);
  SecureClear(&privateKey);
  ReplyDictionary(invocation, keyPair);
}

void HandleConnect(Service* service, GDBusMethodInvocation* invocation) {
  g_autoptr(GVariant) profile =
      g_variant_get_child_value(g_dbus_method_invocation_get_parameters(invocation), 0);
  // The configuration text is read straight into the worker's request so that
  // no second copy of it is left behind in this handler.
  auto request = std::make_unique<ConnectRequest>();
  request->service = service;
  request->id = LookupString(profile, "id");
  request->protocol = LookupString(profile, "protocol");
  request->rawConfig = LookupString(profile, "rawConfig");
  request->killSwitch = LookupBoolean(profile, "killSwitch", false);

  const EngineRuntime& runtime = service->runtime;
  // A worker frees the slot and publishes its outcome under workerMutex, so
  // the slot is never taken between the two.
  std::unique_lock<std::mutex> workerLock(service->workerMutex);
  const ConnectAdmission admission = AdmitConnect(
      request->id, request->protocol, &request->rawConfig, ValidateProfile,
      [&runtime](EngineKind kind) { return runtime.IsAvailable(kind); }, &service->activeWorkers);
  workerLock.unlock();
  if (!admission.accepted) {
    LogRefusal(service, invocation, admission.message);
    g_dbus_method_invocation_return_dbus_error(invocation, admission.errorName,
                                               admission.message.c_str());
    return;
  }

  request->generation = service->operationGeneration.fetch_add(1) + 1;
  request->kind = admission.kind;
  SetSnapshot(service, "preparing", request->id, "", 0);
  EmitLog(service, "info", std::string("Preparing ") + EngineName(admission.kind) + " tunnel.");

  GThread* thread = g_thread_new(
      "tessary-engine-connect",
      [](gpointer data) -> gpointer {
        ConnectWorker(static_cast<ConnectRequest*>(data));
        return nullptr;
      },
      request.release());
  g_thread_unref(thread);
  ReplyEmpty(invocation);
}

void HandleDisconnect(Service* service, GDBusMethodInvocation* invocation) {
  service->operationGeneration.fetch_add(1);
  {
    std::lock_guard<std::mutex> workerLock(service->workerMutex);
    bool expected = false;
    if (!service->disconnectInProgress.compare_exchange_strong(expected, true)) {
      ReplyEmpty(invocation);
      return;
    }
    service->activeWorkers.fetch_add(1);
  }
  const Snapshot snapshot = ReadSnapshot(service);
  SetSnapshot(service, "disconnecting", snapshot.activeProfileId, "", 0);

  GThread* thread = g_thread_new(
      "tessary-engine-disconnect",
      [](gpointer data) -> gpointer {
        DisconnectWorker(static_cast<Service*>(data));
        return nullptr;
      },
      service);
  g_thread_unref(thread);
  ReplyEmpty(invocation);
}

// Lets go of a large call's parameters on the releaser's thread, after the
// dispatcher's own references are gone, and gives the memory back: freeing
// the parsed form of a large message takes long enough to stall the main
// loop, and glibc would keep what it freed. Takes the reference.
void ReleaseLargeCall(Service* service, GVariant* parameters) {
  if (service->releaser == nullptr) {
    service->releaser = g_thread_pool_new(
        [](gpointer data, gpointer) {
          g_usleep(kReleaseDelayMicros);
          g_variant_unref(static_cast<GVariant*>(data));
          malloc_trim(0);
        },
        nullptr, 1, FALSE, nullptr);
  }
  g_thread_pool_push(service->releaser, parameters, nullptr);
}

bool IsOperation(AuthorizedHandler handler) {
  return handler == HandleConnect || handler == HandleDisconnect;
}

void ReplyError(GDBusMethodInvocation* invocation, const char* name, const char* message) {
  g_dbus_method_invocation_return_dbus_error(invocation, name, message);
}

}  // namespace

// One caller waiting for polkit's answer.
struct PendingAuthorization {
  Service* service = nullptr;
  // The dispatcher's reference; the answer spends it. Null once the caller
  // left the bus and was let go.
  GDBusMethodInvocation* invocation = nullptr;
  AuthorizedHandler onGranted = nullptr;  // null for RequestVpnPermission
  GCancellable* cancellable = nullptr;    // owned; listed in authorizationChecks
  std::string sender;
  int64_t uid = -1;
  uint64_t arrival = 0;  // of a Connect or Disconnect, else 0
  bool large = false;    // let go of on the releaser's thread
};

namespace {

// The caller's record, made on its first guarded call with its uid from the
// bus. Null when the bus could not tell; *gone then says whether the caller
// has already left.
CallerRecord* FindCaller(Service* service, GDBusMethodInvocation* invocation, bool* gone) {
  const char* sender = g_dbus_method_invocation_get_sender(invocation);
  auto found = service->callers.find(sender);
  if (found != service->callers.end()) {
    *gone = found->second.gone;
    return *gone ? nullptr : &found->second;
  }
  // The bus driver answers at once and its replies are not counted against
  // the service's awaited replies.
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      g_dbus_method_invocation_get_connection(invocation), "org.freedesktop.DBus",
      "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetConnectionUnixUser",
      g_variant_new("(s)", sender), G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE,
      kBusLookupTimeoutMillis, nullptr, &error);
  if (reply == nullptr) {
    g_autofree gchar* remote = g_dbus_error_get_remote_error(error);
    *gone = g_strcmp0(remote, "org.freedesktop.DBus.Error.NameHasNoOwner") == 0;
    if (!*gone) g_warning("Unable to identify the caller %s: %s", sender, error->message);
    return nullptr;
  }
  guint32 uid = 0;
  g_variant_get(reply, "(u)", &uid);
  CallerRecord& record = service->callers[sender];
  record.uid = uid;
  *gone = false;
  return &record;
}

CheckCounts CountsFor(Service* service, const CallerRecord& caller) {
  CheckCounts counts;
  counts.caller = static_cast<int>(caller.checks.size());
  const auto user = service->checksPerUser.find(caller.uid);
  counts.user = user != service->checksPerUser.end() ? user->second : 0;
  counts.others = service->checksOfOthers;
  counts.root = service->checksOfRoot;
  return counts;
}

void CountCheck(Service* service, CallerRecord* caller, PendingAuthorization* pending) {
  caller->checks.push_back(pending);
  if (pending->uid == 0) {
    ++service->checksOfRoot;
  } else {
    ++service->checksPerUser[pending->uid];
    ++service->checksOfOthers;
  }
}

// Ends the count of a check once polkit has let go of it.
void UncountCheck(Service* service, PendingAuthorization* pending) {
  if (pending->uid == 0) {
    --service->checksOfRoot;
  } else {
    --service->checksOfOthers;
    auto user = service->checksPerUser.find(pending->uid);
    if (user != service->checksPerUser.end() && --user->second <= 0) {
      service->checksPerUser.erase(user);
    }
  }
  auto found = service->callers.find(pending->sender);
  if (found == service->callers.end()) return;
  auto& checks = found->second.checks;
  checks.erase(std::remove(checks.begin(), checks.end(), pending), checks.end());
  if (found->second.gone && checks.empty()) service->callers.erase(found);
}

// True when a newer Connect or Disconnect, of this caller or of anyone
// polkit already allowed, makes this one stale.
bool Superseded(Service* service, const PendingAuthorization& pending) {
  if (pending.arrival == 0) return false;
  if (service->newestAuthorizedOperation > pending.arrival) return true;
  const auto found = service->callers.find(pending.sender);
  return found != service->callers.end() && found->second.newestOperation > pending.arrival;
}

// The one end of every check, on every path: answers the caller and releases
// the check.
void AnswerAuthorization(PendingAuthorization* data, bool granted, const GError* error) {
  std::unique_ptr<PendingAuthorization> pending(data);
  Service* service = pending->service;
  g_autoptr(GCancellable) cancellable = g_steal_pointer(&pending->cancellable);
  auto& checks = service->authorizationChecks;
  checks.erase(std::remove(checks.begin(), checks.end(), cancellable), checks.end());
  if (pending->invocation != nullptr && pending->large) {
    ReleaseLargeCall(service,
                     g_variant_ref(g_dbus_method_invocation_get_parameters(pending->invocation)));
  }
  const bool superseded = Superseded(service, *pending);
  UncountCheck(service, pending.get());
  GDBusMethodInvocation* invocation = pending->invocation;
  // Its caller left; it was answered then.
  if (invocation == nullptr) return;
  // The state may have changed while polkit was asked; shutdown wins over
  // whatever polkit said, including the cancellation shutdown caused.
  if (service->stopping.load()) {
    ReplyError(invocation, kErrorShuttingDown, kShuttingDownMessage);
    return;
  }
  if (error != nullptr) {
    g_warning("%s: %s",
              pending->onGranted == nullptr ? "Polkit permission request failed"
                                            : "Polkit authorization failed",
              error->message);
    ReplyError(invocation, kErrorAuthorizationUnavailable, kAuthorizationUnavailableMessage);
    return;
  }
  if (pending->onGranted == nullptr) {
    g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", granted));
    return;
  }
  if (!granted) {
    LogRefusal(service, invocation, kNotAuthorizedMessage);
    ReplyError(invocation, kErrorNotAuthorized, kNotAuthorizedMessage);
    return;
  }
  if (superseded) {
    ReplyError(invocation, kErrorSuperseded, kSupersededMessage);
    return;
  }
  if (pending->arrival != 0) service->newestAuthorizedOperation = pending->arrival;
  pending->onGranted(service, invocation);
}

void AuthorizationChecked(GObject* source, GAsyncResult* result, gpointer data) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(PolkitAuthorizationResult) answer =
      polkit_authority_check_authorization_finish(POLKIT_AUTHORITY(source), result, &error);
  const bool granted =
      answer != nullptr && polkit_authorization_result_get_is_authorized(answer) != FALSE;
  AnswerAuthorization(static_cast<PendingAuthorization*>(data), granted, error);
}

void CheckAuthorization(PendingAuthorization* pending) {
  Service* service = pending->service;
  g_autoptr(PolkitSubject) subject = polkit_system_bus_name_new(pending->sender.c_str());
  polkit_authority_check_authorization(service->authority, subject, kPolkitAction, nullptr,
                                       POLKIT_CHECK_AUTHORIZATION_FLAGS_ALLOW_USER_INTERACTION,
                                       pending->cancellable, AuthorizationChecked, pending);
}

void AuthorityReady(GObject*, GAsyncResult* result, gpointer data) {
  auto* pending = static_cast<PendingAuthorization*>(data);
  Service* service = pending->service;
  g_autoptr(GError) error = nullptr;
  g_autoptr(PolkitAuthority) authority = polkit_authority_get_finish(result, &error);
  if (authority == nullptr || service->stopping.load()) {
    AnswerAuthorization(pending, false, error);
    return;
  }
  // Checks that arrived together each asked; the first answer is kept.
  if (service->authority == nullptr) {
    service->authority = POLKIT_AUTHORITY(g_steal_pointer(&authority));
  }
  CheckAuthorization(pending);
}

void CallerLeft(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                GVariant* parameters, gpointer data) {
  auto* service = static_cast<Service*>(data);
  const gchar* name = nullptr;
  const gchar* newOwner = nullptr;
  g_variant_get(parameters, "(&s&s&s)", &name, nullptr, &newOwner);
  if (newOwner[0] != '\0') return;
  auto found = service->callers.find(name);
  if (found == service->callers.end()) return;
  if (found->second.checks.empty()) {
    service->callers.erase(found);
    return;
  }
  // Its checks stay counted until polkitd answers them, as the bus counts
  // them; what they hold is let go now.
  found->second.gone = true;
  for (PendingAuthorization* pending : found->second.checks) {
    if (pending->invocation == nullptr) continue;
    if (pending->large) {
      ReleaseLargeCall(service,
                       g_variant_ref(g_dbus_method_invocation_get_parameters(pending->invocation)));
    }
    ReplyError(g_steal_pointer(&pending->invocation), kErrorSuperseded, kSupersededMessage);
  }
}

// Empty output comes back as a null buffer.
void WipeAndFree(gpointer data, gsize size) {
  if (data != nullptr && size > 0) memset(data, 0, size);
  g_free(data);
}

// Runs one short-lived command under /usr/bin/timeout. `input` may be null.
// On success *output holds its standard output, which the caller owns and
// must release with g_bytes_unref.
bool RunKeyCommand(const char* subcommand, GBytes* input, GBytes** output, std::string* error) {
  const char* argv[] = {kTimeoutBinary, "--signal=TERM", "--kill-after=1s", "5s", kWireGuardTool,
                        subcommand,     nullptr};
  const auto flags = static_cast<GSubprocessFlags>(
      G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_SILENCE |
      (input != nullptr ? G_SUBPROCESS_FLAGS_STDIN_PIPE : G_SUBPROCESS_FLAGS_NONE));
  g_autoptr(GError) gerror = nullptr;
  g_autoptr(GSubprocess) process = g_subprocess_newv(argv, flags, &gerror);
  GBytes* collected = nullptr;
  if (process != nullptr &&
      g_subprocess_communicate(process, input, nullptr, &collected, nullptr, &gerror) &&
      g_subprocess_get_successful(process)) {
    *output = collected;
    return true;
  }
  if (collected != nullptr) {
    gsize size = 0;
    WipeAndFree(g_bytes_unref_to_data(collected, &size), size);
  }
  if (gerror != nullptr) *error = gerror->message;
  return false;
}

}  // namespace

std::string LookupString(GVariant* dictionary, const char* key) {
  g_autoptr(GVariant) value = g_variant_lookup_value(dictionary, key, G_VARIANT_TYPE_STRING);
  if (value == nullptr) return std::string();
  gsize size = 0;
  const char* text = g_variant_get_string(value, &size);
  return std::string(text, size);
}

bool LookupBoolean(GVariant* dictionary, const char* key, bool defaultValue) {
  g_autoptr(GVariant) value = g_variant_lookup_value(dictionary, key, G_VARIANT_TYPE_BOOLEAN);
  if (value == nullptr) return defaultValue;
  return g_variant_get_boolean(value) != FALSE;
}

void AuthorizeInvocation(Service* service, GDBusMethodInvocation* invocation,
                         AuthorizedHandler handler) {
  if (g_dbus_method_invocation_get_sender(invocation) == nullptr) {
    if (handler == nullptr) {
      g_dbus_method_invocation_return_value(invocation, g_variant_new("(b)", FALSE));
    } else {
      ReplyError(invocation, kErrorNotAuthorized, kNotAuthorizedMessage);
    }
    return;
  }
  GVariant* parameters = g_dbus_method_invocation_get_parameters(invocation);
  const bool large = g_variant_get_size(parameters) >= kLargeCallBytes;
  auto refuse = [&](const char* name, const char* message) {
    if (large) ReleaseLargeCall(service, g_variant_ref(parameters));
    ReplyError(invocation, name, message);
  };
  bool gone = false;
  CallerRecord* caller = FindCaller(service, invocation, &gone);
  if (caller == nullptr) {
    // A caller that already left is answered nowhere.
    refuse(gone ? kErrorSuperseded : kErrorAuthorizationUnavailable,
           gone ? kSupersededMessage : kAuthorizationUnavailableMessage);
    return;
  }
  if (!CheckFitsLimits(caller->uid, CountsFor(service, *caller))) {
    refuse(kErrorTooManyRequests, kTooManyRequestsMessage);
    return;
  }
  auto* pending = new PendingAuthorization;
  pending->service = service;
  pending->invocation = invocation;
  pending->onGranted = handler;
  pending->cancellable = g_cancellable_new();
  pending->sender = g_dbus_method_invocation_get_sender(invocation);
  pending->uid = caller->uid;
  pending->large = large;
  if (IsOperation(handler)) {
    pending->arrival = ++service->operationArrivals;
    caller->newestOperation = pending->arrival;
  }
  CountCheck(service, caller, pending);
  service->authorizationChecks.push_back(pending->cancellable);
  if (service->authority == nullptr) {
    polkit_authority_get_async(pending->cancellable, AuthorityReady, pending);
  } else {
    CheckAuthorization(pending);
  }
}

void WatchCallers(Service* service) {
  // One subscription for every caller: a rule per caller would count
  // against the bus's limit on match rules.
  service->callerWatch = g_dbus_connection_signal_subscribe(
      service->connection, "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
      "/org/freedesktop/DBus", nullptr, G_DBUS_SIGNAL_FLAGS_NONE, CallerLeft, service, nullptr);
}

bool CheckFitsLimits(int64_t uid, const CheckCounts& counts) {
  if (counts.caller >= kMaxChecksPerCaller) return false;
  if (uid == 0) return counts.root < kMaxChecksOfRoot;
  return counts.user < kMaxChecksPerUser && counts.others < kMaxChecksOfOthers;
}

bool ProfileWithinBounds(GVariant* profile) {
  // Counting is constant time for the parsed form the bus library delivers;
  // the size is only summed over a bounded number of entries.
  return g_variant_n_children(profile) <= kMaxProfileEntries &&
         g_variant_get_size(profile) <= kMaxProfileBytes;
}

void CancelAuthorizations(Service* service) {
  // A cancelled check answers from a later iteration, never from inside
  // g_cancellable_cancel, so the list does not change under this loop; the
  // copy keeps it that way should that ever differ.
  const std::vector<GCancellable*> checks = service->authorizationChecks;
  for (GCancellable* cancellable : checks) g_cancellable_cancel(cancellable);
}

bool GenerateWireGuardKeyPair(std::string* privateKey, std::string* publicKey, std::string* error) {
  if (!IsExecutableFile(kWireGuardTool) || !IsExecutableFile(kTimeoutBinary)) {
    *error = kWireGuardToolsMissing;
    return false;
  }
  GBytes* generated = nullptr;
  std::string stepError;
  if (!RunKeyCommand("genkey", nullptr, &generated, &stepError)) {
    *error = stepError.empty() ? "WireGuard key generation failed." : stepError;
    return false;
  }
  gsize size = 0;
  auto* raw = static_cast<char*>(g_bytes_unref_to_data(generated, &size));
  std::string secret = raw != nullptr ? Trim(std::string_view(raw, size)) : std::string();
  WipeAndFree(raw, size);

  std::string input = secret + "\n";
  g_autoptr(GBytes) derived = nullptr;
  bool ok = false;
  {
    // Borrows the text, so it is released before the text is wiped.
    g_autoptr(GBytes) stdinBytes = g_bytes_new_static(input.data(), input.size());
    ok = RunKeyCommand("pubkey", stdinBytes, &derived, &stepError);
  }
  SecureClear(&input);
  if (!ok) {
    SecureClear(&secret);
    *error = stepError.empty() ? "Public-key derivation failed." : stepError;
    return false;
  }
  const auto* data = static_cast<const char*>(g_bytes_get_data(derived, &size));
  std::string derivedKey = data != nullptr ? Trim(std::string_view(data, size)) : std::string();
  if (secret.empty() || derivedKey.empty()) {
    SecureClear(&secret);
    return false;
  }
  *privateKey = std::move(secret);
  *publicKey = std::move(derivedKey);
  return true;
}

ConnectAdmission AdmitConnect(
    const std::string& id, const std::string& protocol, std::string* rawConfig,
    const std::function<ProfileValidation(const std::string&, const std::string&,
                                          const std::string&)>& validate,
    const std::function<bool(EngineKind)>& isAvailable, std::atomic<int32_t>* activeWorkers) {
  ConnectAdmission admission;
  const ProfileValidation validation = validate(id, protocol, *rawConfig);
  if (!validation.valid) {
    SecureClear(rawConfig);
    admission.errorName = kErrorInvalidProfile;
    admission.message = validation.message;
    return admission;
  }
  const EngineKind kind = EngineForProtocol(protocol);
  if (!isAvailable(kind)) {
    SecureClear(rawConfig);
    admission.errorName = kErrorRuntimeUnavailable;
    admission.message =
        std::string(EngineName(kind)) + " runtime is missing. Repair the TessaryVPN installation.";
    return admission;
  }
  int32_t idle = 0;
  if (!activeWorkers->compare_exchange_strong(idle, 1)) {
    SecureClear(rawConfig);
    admission.errorName = kErrorBusy;
    admission.message = kBusyMessage;
    return admission;
  }
  admission.accepted = true;
  admission.kind = kind;
  return admission;
}

void HandleMethodCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                      const gchar* methodName, GVariant* parameters,
                      GDBusMethodInvocation* invocation, gpointer user_data) {
  auto* service = static_cast<Service*>(user_data);
  if (service->stopping.load()) {
    g_dbus_method_invocation_return_dbus_error(invocation, kErrorShuttingDown,
                                               kShuttingDownMessage);
    return;
  }
  const std::string method = methodName;
  if (method == "Initialize") {
    HandleInitialize(service, invocation);
  } else if (method == "GetRuntimeInfo") {
    HandleGetRuntimeInfo(service, invocation);
  } else if (method == "GetCapabilities") {
    HandleGetCapabilities(invocation);
  } else if (method == "GetConnectionSnapshot") {
    g_autoptr(GVariant) snapshot = SnapshotVariant(service);
    ReplyDictionary(invocation, snapshot);
  } else if (method == "GetNetworkPath") {
    g_autoptr(GVariant) path = NetworkPathVariant(service);
    ReplyDictionary(invocation, path);
  } else if (method == "RequestVpnPermission") {
    AuthorizeInvocation(service, invocation, nullptr);
  } else if (method == "GenerateWireGuardKeyPair") {
    AuthorizeInvocation(service, invocation, HandleGenerateWireGuardKeyPair);
  } else if (method == "Connect") {
    // Refused before polkit is asked and before anything of it is kept.
    g_autoptr(GVariant) profile = g_variant_get_child_value(parameters, 0);
    if (!ProfileWithinBounds(profile)) {
      ReplyError(invocation, kErrorInvalidProfile, kProfileTooLargeMessage);
      ReleaseLargeCall(service, g_variant_ref(parameters));
      return;
    }
    AuthorizeInvocation(service, invocation, HandleConnect);
  } else if (method == "Disconnect") {
    AuthorizeInvocation(service, invocation, HandleDisconnect);
  } else {
    g_dbus_method_invocation_return_dbus_error(invocation, kErrorUnknownMethod,
                                               kUnknownMethodMessage);
  }
}

}  // namespace tessary::linux_service
