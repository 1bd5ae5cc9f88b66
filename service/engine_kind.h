// The engines the service runs and the protocol labels clients name them by.
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

// Display name ("Sing-box", "Xray", "WireGuard", "OpenVPN"); "Unsupported"
// for anything else. Static storage.
const char* EngineName(EngineKind kind);

// Maps a client's protocol label (any case, untrimmed) to its engine.
EngineKind EngineForProtocol(const std::string& protocol);

// Lower-cased label with the VLESS aliases ("xray-reality", "quarn") mapped to
// "vless"; used to pick the sing-box outbound that serves the label.
std::string CanonicalSingBoxProtocol(const std::string& protocol);

}  // namespace tessary::linux_service
