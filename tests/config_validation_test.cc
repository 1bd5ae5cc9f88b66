// Table-driven tests of profile validation. The unit's file-private helpers are
// reached by including its source directly.
#include "service/config_validation.cc"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessary::linux_service {
namespace {

constexpr char kBadId[] = "The profile identifier is invalid.";
constexpr char kBadSize[] = "The VPN configuration is empty or too large.";
constexpr char kBadProtocol[] = "This Linux build does not recognize the selected VPN protocol.";

TEST(EngineNames, EveryKindAndOutOfRangeValues) {
  EXPECT_STREQ(EngineName(kSingBox), "Sing-box");
  EXPECT_STREQ(EngineName(kXray), "Xray");
  EXPECT_STREQ(EngineName(kWireGuard), "WireGuard");
  EXPECT_STREQ(EngineName(kOpenVpn), "OpenVPN");
  EXPECT_STREQ(EngineName(kUnsupported), "Unsupported");
  EXPECT_STREQ(EngineName(static_cast<EngineKind>(5)), "Unsupported");
  EXPECT_STREQ(EngineName(static_cast<EngineKind>(4096)), "Unsupported");
  EXPECT_STREQ(EngineName(static_cast<EngineKind>(-1)), "Unsupported");
}

TEST(EngineForProtocol, LabelsMatchWholeAndIgnoreCase) {
  const struct {
    const char* label;
    EngineKind kind;
  } cases[] = {
      {"vless", kSingBox},
      {"VMess", kSingBox},
      {"trojan", kSingBox},
      {"Shadowsocks", kSingBox},
      {"hysteria2", kSingBox},
      {"TUIC", kSingBox},
      {"quarn", kSingBox},
      {"Xray-Reality", kSingBox},
      {"sing-box", kSingBox},
      {"singBox", kSingBox},
      {"xray", kXray},
      {"XRAY-CORE", kXray},
      {"WireGuard", kWireGuard},
      {"wire-guard", kWireGuard},
      {"WG", kWireGuard},
      {"AmneziaWG", kWireGuard},
      {"openVpn", kOpenVpn},
      {"open-vpn", kOpenVpn},
      {"openvpn3", kOpenVpn},
      {"OpenVPN3-Core", kOpenVpn},
      {"ovpn", kOpenVpn},
      {"openvpn-tcp", kOpenVpn},
      {"OPENVPN-UDP", kOpenVpn},
      {"", kUnsupported},
      {" openvpn", kUnsupported},
      {"openvpn ", kUnsupported},
      {"open vpn", kUnsupported},
      {"wireguard2", kUnsupported},
      {"ikev2", kUnsupported},
      {"vless\n", kUnsupported},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EngineForProtocol(c.label), c.kind) << "label \"" << c.label << "\"";
  }
}

TEST(CanonicalSingBoxProtocol, AliasesBecomeVless) {
  EXPECT_EQ(CanonicalSingBoxProtocol("Xray-Reality"), "vless");
  EXPECT_EQ(CanonicalSingBoxProtocol("QUARN"), "vless");
  EXPECT_EQ(CanonicalSingBoxProtocol("VMess"), "vmess");
  EXPECT_EQ(CanonicalSingBoxProtocol("SingBox"), "singbox");
}

TEST(ValidateProfile, IdentifierSizeAndProtocolInOrder) {
  const std::string longest(kMaxConfigBytes, 'x');
  const struct {
    std::string id;
    std::string protocol;
    std::string config;
    const char* message;  // nullptr: these checks pass and the engine decides
  } cases[] = {
      {"", "wireguard", "x", kBadId},
      {std::string(256, 'a'), "ikev2", "x", kBadProtocol},
      {std::string(257, 'a'), "wireguard", "x", kBadId},
      {"a\tb", "wireguard", "x", kBadId},
      {"a\nb", "wireguard", "x", kBadId},
      {"a\x1f", "wireguard", "x", kBadId},
      {"a\x7f", "wireguard", "x", kBadId},
      {std::string("a\0b", 3), "wireguard", "x", kBadId},
      {"caf\xc3\xa9 \xe2\x80\x94 ~", "ikev2", "x", kBadProtocol},
      {"", "ikev2", "", kBadId},
      {"home", "ikev2", "", kBadSize},
      {"home", "wireguard", "", kBadSize},
      {"home", "wireguard", std::string(kMaxConfigBytes + 1, 'x'), kBadSize},
      {"home", "ikev2", longest, kBadProtocol},
      {"home", "wireguard", std::string("x\0", 2), kBadSize},
      {"home", "wireguard", std::string("\0x", 2), kBadSize},
      {"home", "ikev2", "[Interface]", kBadProtocol},
  };
  for (const auto& c : cases) {
    const ProfileValidation result = ValidateProfile(c.id, c.protocol, c.config);
    EXPECT_FALSE(result.valid) << "id of " << c.id.size() << " bytes, " << c.protocol;
    EXPECT_EQ(result.message, c.message) << "id of " << c.id.size() << " bytes, " << c.protocol;
  }
}

}  // namespace
}  // namespace tessary::linux_service
