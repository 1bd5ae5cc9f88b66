// PLACEHOLDER: replaced by the engine runtime work.
#include "service/engine_runtime.h"

namespace tessary::linux_service {

EngineRuntime::~EngineRuntime() = default;
bool EngineRuntime::IsAvailable(EngineKind) const { return false; }
std::string EngineRuntime::AvailabilitySummary() const {
  return "Sing-box missing; Xray missing; WireGuard missing; OpenVPN missing";
}
bool EngineRuntime::Start(EngineKind, const std::string&, const std::string&,
                          const std::function<bool()>&, std::string* error) {
  *error = "Unsupported runtime is unavailable. Repair the TessaryVPN installation.";
  return false;
}
bool EngineRuntime::Stop(std::string*) { return true; }
bool EngineRuntime::Recover(std::string*) { return true; }
bool EngineRuntime::PollUnexpectedExit(std::string*) { return false; }
bool EngineRuntime::StartWireGuard(const std::string&, const std::function<bool()>&,
                                   std::string* error) {
  *error = "WireGuard failed to connect.";
  return false;
}
bool EngineRuntime::StartProcessEngine(EngineKind, const std::string&, const std::string&,
                                       const std::function<bool()>&, std::string* error) {
  *error = "Unable to start the VPN engine.";
  return false;
}
bool EngineRuntime::StopProcess(std::string*) { return true; }
const char* TunnelInterfaceFor(EngineKind) { return ""; }
void SecureClear(std::string* text) noexcept {
  if (text) text->clear();
}

}  // namespace tessary::linux_service
