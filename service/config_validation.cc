// PLACEHOLDER: replaced by the validation work.
#include "service/config_validation.h"

namespace tessary::linux_service {

const char* EngineName(EngineKind) { return "Unsupported"; }
EngineKind EngineForProtocol(const std::string&) { return kUnsupported; }
ProfileValidation ValidateProfile(const std::string&, const std::string&, const std::string&) {
  return {false, "This Linux build does not recognize the selected VPN protocol."};
}
bool WireGuardConfigRequiresAmnezia(const std::string&) { return false; }
std::string CanonicalSingBoxProtocol(const std::string& protocol) { return protocol; }

}  // namespace tessary::linux_service
