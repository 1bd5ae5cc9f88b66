// Method dispatch of tessaryvpn-service with polkit authorization; it reads
// and changes the state and starts the workers, never the other way round.
#pragma once

#include <gio/gio.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "common/constants.h"
#include "service/config_validation.h"
#include "service/service_state.h"

namespace tessary::linux_service {

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

}  // namespace tessary::linux_service
