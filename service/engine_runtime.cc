// The engine slot: availability of the engines, their start, supervision and
// stop, and the kill switch around them. The engines themselves, their files
// and route checks are in the units whose internal headers follow.
#include "service/engine_runtime.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <utility>
#include <vector>

#include "common/constants.h"
#include "service/config_normalization.h"
#include "service/config_validation.h"
#include "service/engine_commands.h"
#include "service/engine_files.h"
#include "service/kill_switch.h"
#include "service/process_engines.h"
#include "service/process_supervision.h"
#include "service/route_check.h"
#include "service/route_listing.h"
#include "service/wireguard_engine.h"

namespace tessary::linux_service {
namespace {

constexpr GSubprocessFlags kSilentFlags = static_cast<GSubprocessFlags>(
    G_SUBPROCESS_FLAGS_STDOUT_SILENCE | G_SUBPROCESS_FLAGS_STDERR_SILENCE);
// How long an engine whose tunnel vanished may take to finish exiting.
constexpr std::chrono::milliseconds kDyingEngineGrace{300};

}  // namespace

EngineRuntime::~EngineRuntime() {
  std::string scratch;
  Stop(&scratch);
}

bool EngineRuntime::IsAvailable(EngineKind engine) const {
  auto commonSet = [] {
    return IsExecutable(kDnsHelper) && IsExecutable(kResolveCtl) && IsExecutable(kIpBinary) &&
           IsExecutable(kTimeoutBinary);
  };
  switch (engine) {
    case kUnsupported:
      return false;
    case kSingBox:
      return IsExecutable(kSingBoxBinary) && IsExecutable(kIpBinary);
    case kXray:
      return IsExecutable(kXrayBinary) && IsRegularFile(kXrayGeoIp) &&
             IsRegularFile(kXrayGeoSite) && IsExecutable(kIpBinary);
    case kWireGuard:
      return IsExecutable(kWireGuardQuick) && IsExecutable(kWireGuardTool) && commonSet();
    case kOpenVpn:
      return IsExecutable(kOpenVpnBinary) && commonSet();
  }
  return false;
}

std::string EngineRuntime::AvailabilitySummary() const {
  auto status = [this](EngineKind engine) { return IsAvailable(engine) ? "ready" : "missing"; };
  return std::string("Sing-box ") + status(kSingBox) + "; Xray " + status(kXray) + "; WireGuard " +
         status(kWireGuard) + "; OpenVPN " + status(kOpenVpn);
}

bool EngineRuntime::Start(EngineKind engine, const std::string& protocol, const std::string& config,
                          const std::function<bool()>& cancelled, std::string* error) {
  if (cancelled()) {
    *error = kCancelledMessage;
    return false;
  }
  if (!IsAvailable(engine)) {
    *error = std::string(EngineName(engine)) +
             " runtime is unavailable. Repair the TessaryVPN installation.";
    return false;
  }
  if (!Recover(error)) return false;
  // What holds the name now is none of ours (the clean-up took ours down);
  // an engine started over it would report that tunnel as its own.
  if (InterfacePresent(InterfacePathFor(engine))) {
    *error = std::string("The tunnel interface ") + TunnelInterfaceFor(engine) +
             " already exists; remove it or stop the program that created it.";
    return false;
  }
  if (cancelled()) {
    *error = kCancelledMessage;
    return false;
  }
  const bool started = engine == kWireGuard
                           ? StartWireGuard(config, cancelled, error)
                           : StartProcessEngine(engine, protocol, config, cancelled, error);
  std::string scratch;
  if (!started) LiftFamilyBlocks(&scratch);
  return started;
}

bool EngineRuntime::StartWireGuard(const std::string& config,
                                   const std::function<bool()>& cancelled, std::string* error) {
  std::string rewritten;
  std::vector<std::string> dns;
  RewriteWireGuardConfig(config, &rewritten, &dns);
  if (dns.empty()) {
    SecureClear(&rewritten);
    *error = "WireGuard did not provide a DNS server.";
    return false;
  }
  bool written = WritePrivateFile(kWireGuardConfig, rewritten, error);
  SecureClear(&rewritten);
  if (!written) return false;

  std::string scratch;
  bool amnezia = WireGuardConfigRequiresAmnezia(config);
  if (amnezia && !(IsExecutable(kAmneziaWgQuick) && IsExecutable(kAmneziaWgTool) &&
                   IsExecutable(kAmneziaWgEngine))) {
    SecureRemoveFile(kWireGuardConfig, &scratch);
    *error =
        "This server needs the AmneziaWG tools, which are missing. Repair the TessaryVPN "
        "installation.";
    return false;
  }
  g_wireguard_uses_amnezia.store(amnezia);
  if (!RunWireGuardQuick("up", amnezia, &scratch)) {
    if (InterfacePresent(kWireGuardInterfacePath)) {
      StopWireGuard(&scratch);
    } else {
      SecureRemoveFile(kWireGuardConfig, &scratch);
    }
    *error = "WireGuard failed to connect.";
    return false;
  }
  if (!InterfacePresent(kWireGuardInterfacePath)) {
    SecureRemoveFile(kWireGuardConfig, &scratch);
    *error = "WireGuard exited without creating the expected interface.";
    return false;
  }
  if (SecureFullRoute(kWireGuard, WireGuardMark(amnezia), {}, true) != RouteVerdict::kFull) {
    StopWireGuard(&scratch);
    *error = "WireGuard did not install a full-tunnel route.";
    return false;
  }
  // An interface and routes say nothing of the server: only its answer does.
  const Handshake handshake = WaitForWireGuardHandshake(amnezia, cancelled);
  if (handshake == Handshake::kCancelled) {
    *error = StopWireGuard(&scratch)
                 ? kCancelledMessage
                 : "The cancelled WireGuard connection could not be cleaned up.";
    return false;
  }
  if (handshake == Handshake::kSilent) {
    StopWireGuard(&scratch);
    *error =
        "The WireGuard server did not answer. Check that the server is online and that the "
        "profile's endpoint and keys are current.";
    return false;
  }
  std::vector<std::string> apply = {"apply-wireguard"};
  apply.insert(apply.end(), dns.begin(), dns.end());
  if (!RunWireGuardDnsCommand(apply, &scratch)) {
    StopWireGuard(&scratch);
    *error = "WireGuard connected but DNS setup failed.";
    return false;
  }
  if (cancelled()) {
    *error = StopWireGuard(&scratch)
                 ? kCancelledMessage
                 : "The cancelled WireGuard connection could not be cleaned up.";
    return false;
  }
  kind = kWireGuard;
  configPath = kWireGuardConfig;
  return true;
}

bool EngineRuntime::StartProcessEngine(EngineKind engine, const std::string& protocol,
                                       const std::string& config,
                                       const std::function<bool()>& cancelled, std::string* error) {
  const ProcessEngine* entry = ProcessEngineFor(engine);
  if (entry == nullptr) {
    *error = std::string(EngineName(engine)) +
             " runtime is unavailable. Repair the TessaryVPN installation.";
    return false;
  }
  std::string text;
  const bool written = entry->buildConfig(protocol, config, &text, error) &&
                       WritePrivateFile(entry->configPath, text, error);
  SecureClear(&text);
  if (!written) return false;

  std::string scratch;
  if (entry->checkArgv != nullptr && !RunCommand(ArgvWithoutNull(entry->checkArgv), &scratch)) {
    SecureRemoveFile(entry->configPath, &scratch);
    *error = entry->checkFailure;
    return false;
  }

  // A sign left by an earlier start would say too early that all routes are in.
  if (entry->routesAdded != nullptr) unlink(entry->routesAdded);
  // openvpn's route to its server is told apart by what the start adds.
  const std::vector<GatewayRoute> routesBefore =
      engine == kOpenVpn ? GatewayRoutes() : std::vector<GatewayRoute>{};
  g_autoptr(GSubprocessLauncher) launcher = g_subprocess_launcher_new(kSilentFlags);
  g_subprocess_launcher_set_cwd(launcher, kAmneziaWgRuntimeDirectory);
  g_subprocess_launcher_setenv(launcher, "XRAY_LOCATION_ASSET", kAmneziaWgRuntimeDirectory, TRUE);
  g_autoptr(GError) spawnError = nullptr;
  g_autoptr(GSubprocess) child = g_subprocess_launcher_spawnv(launcher, entry->argv, &spawnError);
  if (child == nullptr) {
    SecureRemoveFile(entry->configPath, &scratch);
    *error = spawnError != nullptr && spawnError->message != nullptr
                 ? spawnError->message
                 : "Unable to start the VPN engine.";
    return false;
  }
  // Recorded before the wait: the service may be killed during it too.
  if (!WriteEngineRecord(engine, child, error)) {
    TerminateProcess(child);
    RemoveProcessEngineFiles(engine, &scratch);
    return false;
  }

  // An engine adds its routes one at a time: a family seen without the
  // tunnel is blocked only when it is still so a moment later, or at once
  // when the engine has said that all its routes are in.
  using Clock = std::chrono::steady_clock;
  bool oneFamilySeen = false;
  Clock::time_point oneFamilySince;
  std::vector<std::string> servers;
  const auto tunnelReady = [&] {
    const bool routesAdded = entry->routesAdded != nullptr && access(entry->routesAdded, F_OK) == 0;
    const bool mayBlock =
        oneFamilySeen && (routesAdded || Clock::now() - oneFamilySince >= kStartupRecheck);
    RouteVerdict verdict = SecureFullRoute(engine, 0, servers, mayBlock);
    if (verdict == RouteVerdict::kOneFamily && !oneFamilySeen) {
      // The engine's sockets carry no mark: its servers stay reachable in
      // the family about to be blocked. None found leaves none open.
      std::string unresolved;
      std::vector<KillSwitchServer> found;
      CollectEndpointAddresses(engine, config, cancelled, &found, &unresolved);
      servers.clear();
      for (const KillSwitchServer& server : found) servers.push_back(server.address);
      oneFamilySince = Clock::now();
      if (routesAdded) verdict = SecureFullRoute(engine, 0, servers, true);
    }
    oneFamilySeen = verdict == RouteVerdict::kOneFamily;
    return verdict == RouteVerdict::kFull;
  };
  StartupOutcome outcome = WaitForStartup(*entry, child, cancelled, tunnelReady, error);
  if (engine == kOpenVpn) RecordOpenVpnServerRoutes(routesBefore);
  if (outcome == StartupOutcome::kReady) {
    process = static_cast<GSubprocess*>(g_steal_pointer(&child));
    kind = engine;
    configPath = entry->configPath;
    return true;
  }
  std::string exitText;
  if (outcome == StartupOutcome::kExited) {
    g_subprocess_wait(child, nullptr, nullptr);
    exitText = g_subprocess_get_if_signaled(child)
                   ? " was ended by signal " + std::to_string(g_subprocess_get_term_sig(child))
                   : " exited with status " + std::to_string(g_subprocess_get_exit_status(child));
  }
  TerminateProcess(child);
  RemoveProcessEngineFiles(engine, &scratch);
  if (outcome == StartupOutcome::kCancelled) {
    *error = kCancelledMessage;
  } else if (outcome == StartupOutcome::kExited) {
    *error = std::string(EngineName(engine)) + exitText + " during startup.";
  } else if (outcome == StartupOutcome::kTimedOut) {
    *error = std::string(EngineName(engine)) + " did not establish its TUN interface in time.";
  }
  return false;
}

bool EngineRuntime::StopProcess(std::string* error) {
  if (process == nullptr) return true;
  EngineKind stopped = kind;
  if (ProcessIsAlive(process)) g_subprocess_send_signal(process, SIGTERM);
  bool endedInTime = WaitForProcess(process, kStopGrace);
  if (!endedInTime) {
    g_subprocess_force_exit(process);
    g_subprocess_wait(process, nullptr, nullptr);
  }
  g_clear_object(&process);
  kind = kUnsupported;
  configPath.clear();

  std::string removalError;
  bool removed = RemoveProcessEngineFiles(stopped, &removalError);
  if (!endedInTime) {
    *error = std::string(EngineName(stopped)) +
             " required forced termination; route cleanup needs verification.";
    return false;
  }
  if (!removed) {
    *error = removalError;
    return false;
  }
  return true;
}

bool EngineRuntime::StopEngine(std::string* error) {
  if (process != nullptr) return StopProcess(error);
  if (kind == kWireGuard || IsRegularFile(kWireGuardConfig) ||
      InterfacePresent(kWireGuardInterfacePath)) {
    if (!StopWireGuard(error)) return false;
  }
  kind = kUnsupported;
  configPath.clear();
  return true;
}

bool EngineRuntime::Stop(std::string* error) {
  std::string killSwitchError;
  bool killSwitchRemoved = RemoveKillSwitch(&killSwitchError);
  if (killSwitchRemoved) {
    leakProtectionHeld = false;
    leakProtection = {};
  }
  bool engineStopped = StopEngine(error);
  // Lifted only once the engine is down: until then the family stays held.
  std::string blockError;
  const bool blocksLifted = engineStopped && LiftFamilyBlocks(&blockError);
  if (engineStopped && !killSwitchRemoved) {
    *error = killSwitchError;
    return false;
  }
  if (engineStopped && !blocksLifted) {
    *error = blockError;
    return false;
  }
  return engineStopped;
}

bool EngineRuntime::Recover(std::string* error) {
  // An engine that a killed run left behind goes first, while that run's kill
  // switch still holds its traffic. A held process owns the record instead,
  // and Stop ends it.
  std::string orphanError;
  const bool orphanStopped = process != nullptr || StopOrphanEngine(&orphanError);
  // A held kill switch covers both families, so a family block of the old
  // tunnel goes with it; left, it would also block the next tunnel.
  const bool engineStopped =
      leakProtectionHeld ? StopEngine(error) && LiftFamilyBlocks(error) : Stop(error);
  const bool cleaned = engineStopped && StopWireGuard(error) && ClearEngineRouting(error) &&
                       SecureRemoveFile(kSingBoxConfig, error) &&
                       SecureRemoveFile(kXrayConfig, error) && RemoveConfigFor(kOpenVpn, error);
  if (!orphanStopped) {
    *error = orphanError;
    return false;
  }
  return cleaned;
}

namespace {

// What the kill switch admits for `engine` running `config`: its interface
// and its servers, for the engine's own sockets where it marks them.
// `running` says whether the engine is up, so that its mark can be read.
bool LeakProtectionRules(EngineKind engine, const std::string& config, bool running,
                         const std::function<bool()>& cancelled, KillSwitchRules* rules,
                         std::string* error) {
  const char* interfaceName = TunnelInterfaceFor(engine);
  if (interfaceName == nullptr || interfaceName[0] == '\0') {
    *error = "No tunnel interface is active.";
    return false;
  }
  std::vector<KillSwitchServer> servers;
  if (!CollectEndpointAddresses(engine, config, cancelled, &servers, error)) return false;
  if (cancelled()) {
    *error = kCancelledMessage;
    return false;
  }
  // Before its start wg-quick has not picked its mark yet: while one tunnel
  // replaces another, the new servers are admitted for any local process.
  // The rewritten sing-box and Xray configurations mark every socket they dial.
  uint32_t mark = 0;
  if (engine == kOpenVpn) mark = kOpenVpnSocketMarkValue;
  if (engine == kSingBox) mark = kSingBoxRoutingMark;
  if (engine == kXray) mark = kXrayRoutingMark;
  if (engine == kWireGuard && running) mark = WireGuardMark(g_wireguard_uses_amnezia.load());
  for (KillSwitchServer& server : servers) server.mark = mark;
  rules->interfaces = {interfaceName};
  rules->servers = std::move(servers);
  return true;
}

}  // namespace

bool EngineRuntime::ApplyLeakProtection(const std::string& config,
                                        const std::function<bool()>& cancelled,
                                        std::string* error) {
  KillSwitchRules rules;
  if (!LeakProtectionRules(kind, config, true, cancelled, &rules, error) ||
      !ApplyKillSwitch(rules, error)) {
    return false;
  }
  leakProtectionHeld = true;
  leakProtection = std::move(rules);
  return true;
}

bool EngineRuntime::BridgeLeakProtection(EngineKind next, const std::string& config, bool wanted,
                                         const std::function<bool()>& cancelled,
                                         std::string* error) {
  if (!wanted) {
    leakProtectionHeld = false;
    return true;
  }
  if (!leakProtectionHeld) return true;
  KillSwitchRules rules;
  if (!LeakProtectionRules(next, config, false, cancelled, &rules, error)) return false;
  KillSwitchRules bridge = MergeKillSwitchRules(leakProtection, rules);
  if (!ApplyKillSwitch(bridge, error)) return false;
  leakProtection = std::move(bridge);
  return true;
}

bool EngineRuntime::PollUnexpectedExit(std::string* error) {
  EngineLoss loss = DetectEngineLoss(error);
  if (loss == EngineLoss::kTunnelLost) loss = StopLostEngine(error);
  return loss != EngineLoss::kNone;
}

EngineLoss EngineRuntime::DetectEngineLoss(std::string* error) {
  if (kind == kUnsupported) return EngineLoss::kNone;
  if (process != nullptr && !ProcessIsAlive(process)) {
    ForgetExitedEngine(error);
    return EngineLoss::kEngineExited;
  }
  const std::string loss = TunnelLoss(kind);
  if (loss.empty()) return EngineLoss::kNone;
  *error = loss;
  return EngineLoss::kTunnelLost;
}

EngineLoss EngineRuntime::StopLostEngine(std::string* error) {
  // A Disconnect may have stopped it first.
  if (kind == kUnsupported) return EngineLoss::kNone;
  if (process != nullptr) {
    // A dying engine closes its interface before it is reaped: its death,
    // not the lost interface, is what happened.
    if (WaitForProcess(process, kDyingEngineGrace)) {
      ForgetExitedEngine(error);
      return EngineLoss::kEngineExited;
    }
  }
  // The engine no longer protects anything; the kill switch and any family
  // block stay until a disconnect lifts them.
  std::string scratch;
  if (process != nullptr) {
    StopProcess(&scratch);
  } else {
    StopWireGuard(&scratch);
  }
  kind = kUnsupported;
  configPath.clear();
  return EngineLoss::kTunnelLost;
}

void EngineRuntime::ForgetExitedEngine(std::string* error) {
  EngineKind stopped = kind;
  g_subprocess_wait(process, nullptr, nullptr);
  g_clear_object(&process);
  kind = kUnsupported;
  configPath.clear();
  std::string scratch;
  RemoveProcessEngineFiles(stopped, &scratch);
  *error = std::string(EngineName(stopped)) + " stopped unexpectedly.";
}

}  // namespace tessary::linux_service
