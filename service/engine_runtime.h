// The single engine slot of the service: availability of the engines, their
// start, supervision and stop, and the private files they run from. Callers
// serialize every mutating call under one mutex; the slot has no lock.
#pragma once

#include <gio/gio.h>

#include <functional>
#include <string>

#include "common/secure_clear.h"
#include "service/engine_kind.h"
#include "service/kill_switch.h"

namespace tessary::linux_service {

struct EngineRuntime {
  EngineKind kind = kUnsupported;  // kUnsupported exactly when idle
  GSubprocess* process = nullptr;  // owned; only for sing-box, Xray, OpenVPN
  std::string configPath;          // private configuration while active
  // Set while a kill-switch table protects the user: one this run applied,
  // admitting `leakProtection`, or one a run that ended unexpectedly left
  // (`leakProtection` then empty). Engine clean-up (Recover, and so Start)
  // keeps such a table; only Stop lifts it.
  bool leakProtectionHeld = false;
  KillSwitchRules leakProtection;

  EngineRuntime() = default;
  ~EngineRuntime();  // stops whatever is active, ignoring the result
  EngineRuntime(const EngineRuntime&) = delete;
  EngineRuntime& operator=(const EngineRuntime&) = delete;

  bool IsAvailable(EngineKind kind) const;
  std::string AvailabilitySummary() const;

  // Every fallible operation returns true on success and otherwise stores one
  // sentence in *error, which is left untouched on success.
  bool Start(EngineKind kind, const std::string& protocol, const std::string& config,
             const std::function<bool()>& cancelled, std::string* error);
  bool Stop(std::string* error);
  bool Recover(std::string* error);
  // True once after the engine died or its tunnel stopped carrying the
  // traffic (interface gone, routes around it); the engine is then stopped.
  bool PollUnexpectedExit(std::string* error);
  // Installs the kill switch for the running engine's interface and the
  // servers `config` names; gives up as soon as `cancelled` returns true.
  bool ApplyLeakProtection(const std::string& config, const std::function<bool()>& cancelled,
                           std::string* error);
  // Before a Start. With `wanted` (the new profile's kill switch) and a table
  // held, replaces the table in one nft transaction by one that admits what
  // both the held table and the tunnel of `next` and `config` need, so that
  // the switch never leaves the network open. Without `wanted`, the table is
  // no longer held and the Start lifts it.
  bool BridgeLeakProtection(EngineKind next, const std::string& config, bool wanted,
                            const std::function<bool()>& cancelled, std::string* error);

  bool StartWireGuard(const std::string& config, const std::function<bool()>& cancelled,
                      std::string* error);
  bool StartProcessEngine(EngineKind kind, const std::string& protocol, const std::string& config,
                          const std::function<bool()>& cancelled, std::string* error);
  bool StopProcess(std::string* error);
  bool StopEngine(std::string* error);
  bool PollTunnelLoss(std::string* error);
};

// Why traffic stays blocked while no tunnel is up.
inline constexpr char kLeakProtectionHeldNote[] =
    "Leak protection still blocks traffic; Disconnect lifts it.";

// Interface name each engine is forced to use; "" for none. Static storage.
const char* TunnelInterfaceFor(EngineKind kind);

}  // namespace tessary::linux_service
