#include "service/engine_kind.h"

#include "service/profile_text.h"

namespace tessary::linux_service {

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

std::string CanonicalSingBoxProtocol(const std::string& protocol) {
  std::string label = Lowercase(protocol);
  if (label == "xray-reality" || label == "quarn") return "vless";
  return label;
}

}  // namespace tessary::linux_service
