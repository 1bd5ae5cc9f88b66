// Profile validation: engine kinds, protocol labels and the rules that decide
// whether a profile's configuration text may run as root. Pure functions: no
// files, no processes, no state.
#pragma once

#include <string>

namespace tessary::linux_service {

// Stored and compared as a plain integer; 0 also marks an idle engine slot.
enum EngineKind : int {
  kUnsupported = 0,
  kSingBox = 1,
  kXray = 2,
  kWireGuard = 3,
  kOpenVpn = 4,
};

struct ProfileValidation {
  bool valid = false;
  std::string message;  // one sentence for the user when !valid, else empty
};

// Display name ("Sing-box", "Xray", "WireGuard", "OpenVPN"); "Unsupported"
// for anything else. Static storage.
const char* EngineName(EngineKind kind);

// Maps a client's protocol label (any case, untrimmed) to its engine.
EngineKind EngineForProtocol(const std::string& protocol);

// Identifier, size, protocol and the engine's own rules, first failure wins.
ProfileValidation ValidateProfile(const std::string& id, const std::string& protocol,
                                  const std::string& rawConfig);

// True when a WireGuard configuration carries AmneziaWG obfuscation keys and
// so must be brought up with the AmneziaWG tools.
bool WireGuardConfigRequiresAmnezia(const std::string& config);

// Lower-cased label with the VLESS aliases ("xray-reality", "quarn") mapped to
// "vless"; used to pick the sing-box outbound that serves the label.
std::string CanonicalSingBoxProtocol(const std::string& protocol);

}  // namespace tessary::linux_service
