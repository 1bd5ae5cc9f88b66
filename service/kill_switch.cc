// PLACEHOLDER: replaced by the leak-protection work.
#include "service/kill_switch.h"

#include "service/engine_runtime.h"

namespace tessary::linux_service {

std::vector<std::string> CollectEndpointHosts(EngineKind, const std::string&) { return {}; }
std::vector<std::string> CollectEndpointAddresses(EngineKind, const std::string&) { return {}; }
bool BuildKillSwitchRuleset(const std::string&, const std::vector<std::string>&, std::string*,
                            std::string* error) {
  *error = "No server address was available for the leak-protection ruleset.";
  return false;
}
bool ApplyKillSwitch(const std::string&, const std::vector<std::string>&, std::string* error) {
  *error = "No server address was available for the leak-protection ruleset.";
  return false;
}
bool RemoveKillSwitch(std::string*) { return true; }
bool KillSwitchInstalled() { return false; }

bool EngineRuntime::ApplyLeakProtection(const std::string&, std::string* error) {
  *error = "No tunnel interface is active.";
  return false;
}

}  // namespace tessary::linux_service
