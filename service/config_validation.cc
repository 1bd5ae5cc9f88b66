// Profile validation. Everything here is a pure function of its arguments and
// of constant tables, so any of it may run on any thread.
#include "service/config_validation.h"

#include <cctype>
#include <cstddef>
#include <initializer_list>

namespace tessary::linux_service {
namespace {

constexpr std::size_t kMaxIdentifierBytes = 256;
constexpr std::size_t kMaxConfigBytes = 2097152;

std::string Lowercase(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return text;
}

ProfileValidation Invalid(const std::string& message) { return {false, message}; }

bool IdentifierIsValid(const std::string& id) {
  if (id.empty() || id.size() > kMaxIdentifierBytes) return false;
  for (char c : id) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

bool LabelIn(const std::string& label, std::initializer_list<const char*> labels) {
  for (const char* candidate : labels) {
    if (label == candidate) return true;
  }
  return false;
}

// The engine rules land separately; until then no engine's profile is run.
ProfileValidation EngineRulesMissing() {
  return Invalid("This Linux build does not recognize the selected VPN protocol.");
}

}  // namespace

const char* EngineName(EngineKind kind) {
  switch (kind) {
    case kSingBox:
      return "Sing-box";
    case kXray:
      return "Xray";
    case kWireGuard:
      return "WireGuard";
    case kOpenVpn:
      return "OpenVPN";
    case kUnsupported:
      break;
  }
  return "Unsupported";
}

EngineKind EngineForProtocol(const std::string& protocol) {
  const std::string label = Lowercase(protocol);
  if (LabelIn(label, {"vless", "vmess", "trojan", "shadowsocks", "hysteria2", "tuic", "quarn",
                      "xray-reality", "sing-box", "singbox"})) {
    return kSingBox;
  }
  if (LabelIn(label, {"xray", "xray-core"})) return kXray;
  if (LabelIn(label, {"wireguard", "wire-guard", "wg", "amneziawg"})) return kWireGuard;
  if (LabelIn(label, {"openvpn", "open-vpn", "openvpn3", "openvpn3-core", "ovpn", "openvpn-tcp",
                      "openvpn-udp"})) {
    return kOpenVpn;
  }
  return kUnsupported;
}

ProfileValidation ValidateProfile(const std::string& id, const std::string& protocol,
                                  const std::string& rawConfig) {
  if (!IdentifierIsValid(id)) return Invalid("The profile identifier is invalid.");
  if (rawConfig.empty() || rawConfig.size() > kMaxConfigBytes ||
      rawConfig.find('\0') != std::string::npos) {
    return Invalid("The VPN configuration is empty or too large.");
  }
  switch (EngineForProtocol(protocol)) {
    case kUnsupported:
      return Invalid("This Linux build does not recognize the selected VPN protocol.");
    case kSingBox:
    case kXray:
    case kWireGuard:
    case kOpenVpn:
      return EngineRulesMissing();
  }
  return Invalid("This Linux build does not recognize the selected VPN protocol.");
}

bool WireGuardConfigRequiresAmnezia(const std::string&) { return false; }

std::string CanonicalSingBoxProtocol(const std::string& protocol) {
  std::string label = Lowercase(protocol);
  if (label == "xray-reality" || label == "quarn") return "vless";
  return label;
}

}  // namespace tessary::linux_service
