// Profile validation. Everything here is a pure function of its arguments and
// of constant tables, so any of it may run on any thread.
#include "service/config_validation.h"

#include <cstddef>
#include <string>

#include "common/constants.h"
#include "service/engine_kind.h"
#include "service/profile_rules.h"
#include "service/profile_text.h"

namespace tessary::linux_service {
namespace {

constexpr std::size_t kMaxIdentifierBytes = 256;

// ---------------------------------------------------------------------------
// Shared helpers

bool IdentifierIsValid(const std::string& id) {
  if (id.empty() || id.size() > kMaxIdentifierBytes) return false;
  for (char c : id) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Public entry points

ProfileValidation ValidateProfile(const std::string& id, const std::string& protocol,
                                  const std::string& rawConfig) {
  if (!IdentifierIsValid(id)) return Invalid("The profile identifier is invalid.");
  if (rawConfig.empty() || rawConfig.size() > kMaxConfigBytes ||
      rawConfig.find('\0') != std::string::npos) {
    return Invalid("The VPN configuration is empty or too large.");
  }
  switch (EngineForProtocol(protocol)) {
    case kSingBox:
      return ValidateSingBox(rawConfig, protocol);
    case kXray:
      return ValidateXray(rawConfig);
    case kWireGuard:
      return ValidateWireGuard(rawConfig);
    case kOpenVpn:
      return ValidateOpenVpn(rawConfig);
    case kUnsupported:
      break;
  }
  return Invalid("This Linux build does not recognize the selected VPN protocol.");
}

}  // namespace tessary::linux_service