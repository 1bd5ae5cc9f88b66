// What the units holding the engines' profile rules share with the dispatch in
// config_validation.cc. Not for callers outside validation.
#pragma once

#include <string>

#include "service/config_validation.h"

namespace tessary::linux_service {

inline ProfileValidation Invalid(const std::string& message) { return {false, message}; }

// Each engine's rules, for a configuration of allowed size without NUL bytes.
ProfileValidation ValidateWireGuard(const std::string& config);
ProfileValidation ValidateOpenVpn(const std::string& config);
// |protocol| selects the sing-box outbound that carries the tunnel.
ProfileValidation ValidateSingBox(const std::string& config, const std::string& protocol);
ProfileValidation ValidateXray(const std::string& config);

}  // namespace tessary::linux_service
