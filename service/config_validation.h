// Profile validation: the rules that decide whether a profile's configuration
// text may run as root. Pure functions: no files, no processes, no state.
#pragma once

#include <string>

namespace tessary::linux_service {

struct ProfileValidation {
  bool valid = false;
  std::string message;  // one sentence for the user when !valid, else empty
};

// Identifier, size, protocol and the engine's own rules, first failure wins.
ProfileValidation ValidateProfile(const std::string& id, const std::string& protocol,
                                  const std::string& rawConfig);

// True when a WireGuard configuration carries AmneziaWG obfuscation keys and
// so must be brought up with the AmneziaWG tools.
bool WireGuardConfigRequiresAmnezia(const std::string& config);

}  // namespace tessary::linux_service
