// Endpoint collection and the kill-switch ruleset text: pure logic, run on
// the host. Nothing here resolves a name or runs nft, and no EngineRuntime is
// made (its destructor lifts the kill switch); those paths are proven inside
// the sandbox (kill_switch_nft_test, kill_switch_leak_test).
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "service/kill_switch.h"

namespace tessary::linux_service {
namespace {

using Hosts = std::vector<std::string>;

std::string ReadFixture(const std::string& name) {
  std::ifstream in(std::string(TESSARY_ENDPOINT_DATA) + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

struct HostCase {
  const char* name;
  EngineKind kind;
  std::string config;
  Hosts expected;
};

void ExpectHosts(const std::vector<HostCase>& cases) {
  for (const HostCase& c : cases) {
    EXPECT_EQ(CollectEndpointHosts(c.kind, c.config), c.expected) << c.name;
  }
}

TEST(CollectEndpointHosts, SingBoxOutbounds) {
  ExpectHosts({
      {"direct outbound and two proxies on one server give one host",
       kSingBox,
       R"({"outbounds":[{"type":"direct","tag":"direct"},
           {"type":"vless","server":"203.0.113.5","server_port":443},
           {"type":"trojan","server":"203.0.113.5","server_port":8443}]})",
       {"203.0.113.5"}},
      {"servers of other types are skipped",
       kSingBox,
       R"({"outbounds":[{"server":443},{"server":null},{"server":{"a":"b"}},
           {"server":["198.51.100.1"]},{"server":true},{"server":"vpn.example"}]})",
       {"vpn.example"}},
      {"elements that are not objects are skipped",
       kSingBox,
       R"({"outbounds":["198.51.100.1",7,null,[{"server":"x.example"}],{"server":"y.example"}]})",
       {"y.example"}},
      {"order of first appearance",
       kSingBox,
       R"({"outbounds":[{"server":"b.example"},{"server":"a.example"},{"server":"b.example"}]})",
       {"b.example", "a.example"}},
      {"hosts are trimmed of blank, tab, CR and LF only",
       kSingBox,
       "{\"outbounds\":[{\"server\":\" \\t203.0.113.9\\r\\n\"},{\"server\":\"\\u000bv.example\"}]}",
       {"203.0.113.9", "\vv.example"}},
      {"blank and empty servers are skipped",
       kSingBox,
       R"({"outbounds":[{"server":""},{"server":" \t "}]})",
       {}},
      {"dns servers and endpoints outside outbounds do not count",
       kSingBox,
       R"({"dns":{"servers":[{"server":"192.0.2.53"}]},"outbounds":[{"type":"direct"}]})",
       {}},
      {"names read as the engine folds them",
       kSingBox,
       "{\"Outbounds\":[{\"SERVER\":\"a.example\"},{\"\u017ferver\":\"b.example\"}]}",
       {"a.example", "b.example"}},
      {"outbounds that are not an array", kSingBox, R"({"outbounds":{"server":"x.example"}})", {}},
      {"root that is not an object", kSingBox, R"([{"outbounds":[{"server":"x.example"}]}])", {}},
      {"text that is not JSON", kSingBox, "outbounds: [server: x.example]", {}},
      {"empty text", kSingBox, "", {}},
  });
}

TEST(CollectEndpointHosts, XrayVnextBeforeServers) {
  ExpectHosts({
      {"vnext addresses come before servers addresses of the same outbound",
       kXray,
       R"({"outbounds":[{"protocol":"mixed","settings":{
           "servers":[{"address":"s1.example"},{"address":"s2.example"}],
           "vnext":[{"address":"v1.example"},{"address":"v2.example"}]}}]})",
       {"v1.example", "v2.example", "s1.example", "s2.example"}},
      {"outbounds in order, duplicates once",
       kXray,
       R"({"outbounds":[{"settings":{"servers":[{"address":"198.51.100.4"}]}},
           {"settings":{"vnext":[{"address":"203.0.113.4"},{"address":"198.51.100.4"}]}}]})",
       {"198.51.100.4", "203.0.113.4"}},
      {"wrong shapes are skipped",
       kXray,
       R"({"outbounds":[{"settings":"x"},{"settings":{"vnext":{"address":"a.example"}}},
           {"settings":{"vnext":[{"address":5},"b.example",{"address":null},{"addr":"c"}]}},
           {"server":"d.example"},{"settings":{"servers":[{"address":"e.example"}]}}]})",
       {"e.example"}},
      {"names read as the engine folds them",
       kXray,
       R"({"OutBounds":[{"Settings":{"VNext":[{"Address":"v.example"}],"servers":[]}}]})",
       {"v.example"}},
      {"text that is not JSON", kXray, R"({"outbounds":[{"settings":)", {}},
  });
}

TEST(CollectEndpointHosts, WireGuardEndpointForms) {
  ExpectHosts({
      {"IPv4 with port", kWireGuard, "[Peer]\nEndpoint = 203.0.113.7:51820\n", {"203.0.113.7"}},
      {"bracketed IPv6 with port", kWireGuard, "Endpoint = [2001:db8::7]:51820", {"2001:db8::7"}},
      {"bare IPv6 is taken whole", kWireGuard, "Endpoint = 2001:db8::8", {"2001:db8::8"}},
      {"name with port", kWireGuard, "Endpoint = vpn.example:51820", {"vpn.example"}},
      {"name without port", kWireGuard, "Endpoint = vpn.example", {"vpn.example"}},
      {"opening bracket without a closing one", kWireGuard, "Endpoint = [2001:db8::9:51820", {}},
      {"empty brackets", kWireGuard, "Endpoint = []:51820", {}},
      {"a bracket inside a colon-rich value is neither form",
       kWireGuard,
       "Endpoint = 2001:db8::[7]:51820",
       {}},
      {"empty value", kWireGuard, "Endpoint =\nEndpoint = \t\n", {}},
      {"no equals sign", kWireGuard, "Endpoint 203.0.113.7:51820", {}},
      {"key in any case, no blanks around =",
       kWireGuard,
       "ENDPOINT=192.0.2.1:1\neNdPoInT\t=\t192.0.2.2:2\n",
       {"192.0.2.1", "192.0.2.2"}},
      {"commented lines do not count",
       kWireGuard,
       "# Endpoint = 192.0.2.1:1\n  ;Endpoint = 192.0.2.2:2\n\t#Endpoint=192.0.2.3:3\n",
       {}},
      {"other keys and sections are ignored, sections are not tracked",
       kWireGuard,
       "[Interface]\nAddress = 10.0.0.2/32\nEndpoint = 192.0.2.4:4\n[Peer]\n"
       "PublicKey = abc=\nAllowedIPs = 0.0.0.0/0, ::/0\nEndpoint = 192.0.2.5:5",
       {"192.0.2.4", "192.0.2.5"}},
      {"CRLF line ends", kWireGuard, "[Peer]\r\nEndpoint = 192.0.2.6:6\r\n", {"192.0.2.6"}},
      {"a comment after the port stays out of the host",
       kWireGuard,
       "Endpoint = 192.0.2.7:51820 # gateway",
       {"192.0.2.7"}},
      {"a comment ends the value as wg reads it",
       kWireGuard,
       "Endpoint = 192.0.2.9:51820#[2001:db8::9]:1",
       {"192.0.2.9"}},
      {"two peers on one server give one host",
       kWireGuard,
       "Endpoint = 192.0.2.8:1\nEndpoint = 192.0.2.8:2\n",
       {"192.0.2.8"}},
  });
}

TEST(CollectEndpointHosts, OpenVpnRemotes) {
  ExpectHosts({
      {"remote alone contributes nothing", kOpenVpn, "client\nremote\nremote   \n", {}},
      {"upper-case REMOTE counts; port and protocol are ignored",
       kOpenVpn,
       "REMOTE vpn.example 1194 udp\nRemote 198.51.100.3\n",
       {"vpn.example", "198.51.100.3"}},
      {"words split at tabs", kOpenVpn, "remote\t203.0.113.8\t443", {"203.0.113.8"}},
      {"remote lines inside inline blocks, connection blocks too, are content",
       kOpenVpn,
       "<ca>\n-----BEGIN CERTIFICATE-----\nremote inline.example 1\n"
       "-----END CERTIFICATE-----\n</ca>\n<key> ;c\nremote key.example 1\n</key>\n"
       "<connection>\n    remote a.example 1194 udp\n</connection>\n",
       {}},
      {"a block ends where openvpn ends it",
       kOpenVpn,
       "<ca>\nx\n</ca>x\nremote after.example 1\n</ca>\n",
       {"after.example"}},
      {"words as openvpn splits them",
       kOpenVpn,
       "\"remote\" 'q.example' 1\n--remote d.example # c\nremote\\ x.example\n",
       {"q.example", "d.example"}},
      {"comments and look-alike directives",
       kOpenVpn,
       "#remote a.example\n;remote b.example\nremote-random\nremote-cert-tls server\n"
       "tls-remote c.example\n",
       {}},
      {"CRLF line ends and a last line without one",
       kOpenVpn,
       "remote 192.0.2.10 1194\r\nremote 192.0.2.11",
       {"192.0.2.10", "192.0.2.11"}},
  });
}

// Each server as "host transport port": the engine's own choice of both.
Hosts Described(const std::vector<Endpoint>& endpoints) {
  Hosts described;
  for (const Endpoint& e : endpoints) {
    described.push_back(e.host + " " + e.transport + " " + std::to_string(e.port));
  }
  return described;
}

Hosts Described(const std::vector<KillSwitchServer>& servers) {
  Hosts described;
  for (const KillSwitchServer& s : servers) {
    described.push_back(s.address + " " + s.transport + " " + std::to_string(s.port) +
                        (s.mark != 0 ? " mark " + std::to_string(s.mark) : ""));
  }
  return described;
}

TEST(CollectEndpoints, TransportAndPortAsTheEngineUsesThem) {
  const struct {
    const char* name;
    EngineKind kind;
    std::string config;
    Hosts expected;
  } cases[] = {
      {"WireGuard: UDP to the endpoint's port; a port out of range or missing is none",
       kWireGuard,
       "Endpoint = 203.0.113.7:51820\nEndpoint = [2001:db8::7]:443\nEndpoint = a.example\n"
       "Endpoint = 192.0.2.1:70000\nEndpoint = 192.0.2.2:+1\n",
       {"203.0.113.7 udp 51820", "2001:db8::7 udp 443", "a.example udp 0", "192.0.2.1 udp 0",
        "192.0.2.2 udp 0"}},
      {"OpenVPN: the remote's own words, else the last port and proto, else 1194/udp",
       kOpenVpn,
       "remote a.example\nremote b.example 443 tcp-client\nremote c.example 8443\n",
       {"a.example udp 1194", "b.example tcp 443", "c.example udp 8443"}},
      {"OpenVPN: port, rport and proto apply wherever they stand",
       kOpenVpn,
       "remote a.example\nport 1195\nproto tcp4\nremote b.example 1 udp6\nrport 443\n",
       {"a.example tcp 443", "b.example udp 1"}},
      {"OpenVPN: a protocol openvpn does not know admits nothing",
       kOpenVpn,
       "remote e.example 1194 sctp\n",
       {"e.example udp 0"}},
      {"OpenVPN: proxies are reached over TCP, SOCKS on 1080 by default",
       kOpenVpn,
       "remote f.example 443 tcp\nhttp-proxy p.example 3128\nsocks-proxy s.example\n",
       {"f.example tcp 443", "p.example tcp 3128", "s.example tcp 1080"}},
      {"sing-box: by outbound type and transport",
       kSingBox,
       R"({"outbounds":[{"type":"trojan","server":"192.0.2.1","server_port":443},
           {"type":"hysteria2","server":"192.0.2.2","server_port":8443},
           {"type":"shadowsocks","server":"192.0.2.3","server_port":8388},
           {"type":"shadowsocks","server":"192.0.2.4","server_port":1,"network":"tcp"},
           {"type":"vless","server":"192.0.2.5","server_port":2,"transport":{"type":"quic"}},
           {"type":"vmess","server":"192.0.2.6"},
           {"type":"vmess","server":"192.0.2.7","server_port":65536}]})",
       {"192.0.2.1 tcp 443", "192.0.2.2 udp 8443", "192.0.2.3 tcp 8388", "192.0.2.3 udp 8388",
        "192.0.2.4 tcp 1", "192.0.2.5 udp 2", "192.0.2.6 tcp 0", "192.0.2.7 tcp 0"}},
      {"Xray: by stream network and protocol; a port may be text",
       kXray,
       R"({"outbounds":[{"protocol":"vmess","streamSettings":{"network":"kcp"},
           "settings":{"vnext":[{"address":"192.0.2.1","port":443}]}},
           {"protocol":"vless","settings":{"vnext":[{"address":"192.0.2.2","port":"8443"}]}},
           {"protocol":"shadowsocks","settings":{"servers":[{"address":"192.0.2.3","port":1}]}}]})",
       {"192.0.2.1 udp 443", "192.0.2.2 tcp 8443", "192.0.2.3 tcp 1", "192.0.2.3 udp 1"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Described(CollectEndpoints(c.kind, c.config)), c.expected) << c.name;
  }
}

TEST(CollectEndpointHosts, HostLengthLimit) {
  const std::string name255 = std::string(251, 'a') + ".com";
  const std::string name256 = std::string(252, 'b') + ".com";
  ASSERT_EQ(name255.size(), 255u);
  ASSERT_EQ(name256.size(), 256u);
  ExpectHosts({
      {"255 bytes are added", kOpenVpn, "remote " + name255 + " 1194\n", {name255}},
      {"256 bytes are dropped", kOpenVpn, "remote " + name256 + " 1194\n", {}},
      {"the limit applies after trimming",
       kSingBox,
       "{\"outbounds\":[{\"server\":\"  " + name255 + "\\t\"}]}",
       {name255}},
      {"the limit applies to every engine", kWireGuard, "Endpoint = " + name256 + ":1", {}},
  });
}

TEST(CollectEndpointHosts, UnsupportedKindsGiveNothing) {
  const std::string config = "remote 192.0.2.1\nEndpoint = 192.0.2.1:1\n";
  EXPECT_EQ(CollectEndpointHosts(kUnsupported, config), Hosts{});
  EXPECT_EQ(CollectEndpointHosts(static_cast<EngineKind>(5), config), Hosts{});
  EXPECT_EQ(CollectEndpointHosts(static_cast<EngineKind>(-1), config), Hosts{});
}

// Published profiles; each expectation follows from reading the file against
// the rules (which members and directives name servers).
TEST(CollectEndpointHosts, PublishedProfiles) {
  const struct {
    const char* file;
    EngineKind kind;
    Hosts expected;
  } cases[] = {
      // The dns servers "1.1.1.1" and "223.5.5.5" are not outbounds.
      {"singbox/box-for-magisk-1.12-tun-auto-redirect-log-file-clash-api.json",
       kSingBox,
       {"queen.sing-box.id"}},
      {"singbox/chika-tun-fakeip-rule-actions-local-rule-set-cache-file.json",
       kSingBox,
       {"127.0.0.1"}},
      {"singbox/chika-vless-vision-reality-client-empty-server.json", kSingBox, {}},
      {"singbox/box-for-magisk-HEAD-placeholder-not-json.json", kSingBox, {}},
      {"xray/box-for-magisk-xray-tproxy-dokodemo-dns-hosts-vmess-ws.json",
       kXray,
       {"u.taamarin.com"}},
      {"xray/xtls-examples-trojan-tcp-tls-minimal-client-no-final-newline.jsonc",
       kXray,
       {"example.com"}},
      // A template placeholder is a host like any other; it just will not resolve.
      {"xray/xtls-examples-shadowsocks-tcp-client.jsonc", kXray, {"{{ host }}"}},
      {"wireguard/nm-test-three-peers-ipv6-bracket-endpoint.conf",
       kWireGuard,
       {"192.95.5.67", "2607:5300:60:6b0::c05f:543", "test.wireguard.com"}},
      {"wireguard/homelab-cgnat-client-inline-comments-PostDOwn.conf", kWireGuard, {"1.2.3.4"}},
      {"wireguard/warp-dual-stack-no-final-newline.conf", kWireGuard, {"162.159.192.1"}},
      {"wireguard/wg-android-test-INVALID-empty-endpoint.conf", kWireGuard, {}},
      {"wireguard/amneziawg-client-template-placeholders.conf", kWireGuard, {"$SERVER_IP_ADDRESS"}},
      {"openvpn/provider-protonvpn-tcp-tls-crypt-multi-remote.ovpn", kOpenVpn, {"79.135.105.1"}},
      {"openvpn/provider-torguard-crlf-ca-file-and-inline.ovpn",
       kOpenVpn,
       {"au.torguardvpnaccess.com", "137.59.253.200"}},
      // Validation refuses connection blocks; their remote lines are content.
      {"openvpn/provider-smartvpn-connection-blocks.ovpn", kOpenVpn, {}},
      {"openvpn/nm-test-inline-blocks-crl-verify-comments-inside.ovpn",
       kOpenVpn,
       {"173.8.149.245"}},
      {"openvpn/upstream-sample-client.conf", kOpenVpn, {"my-server-1"}},
  };
  for (const auto& c : cases) {
    const std::string config = ReadFixture(c.file);
    ASSERT_FALSE(config.empty()) << c.file;
    EXPECT_EQ(CollectEndpointHosts(c.kind, config), c.expected) << c.file;
  }
}

// An OpenVPN profile with one remote line per host.
std::string Remotes(const Hosts& hosts) {
  std::string config;
  for (const std::string& host : hosts) config += "remote " + host + " 1194\n";
  return config;
}

Hosts NumberedHosts(size_t count, const std::string& prefix, const std::string& suffix) {
  Hosts hosts;
  for (size_t i = 0; i < count; ++i) hosts.push_back(prefix + std::to_string(i) + suffix);
  return hosts;
}

// A profile of a few megabytes names about a hundred thousand hosts;
// duplicate removal must not be quadratic in them.
TEST(CollectEndpointHosts, HundredThousandHostsInLinearTime) {
  const Hosts distinct = NumberedHosts(100000, "h", ".example");
  Hosts twice = distinct;
  twice.insert(twice.end(), distinct.rbegin(), distinct.rend());
  const auto started = std::chrono::steady_clock::now();
  const Hosts hosts = CollectEndpointHosts(kOpenVpn, Remotes(twice));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(hosts, distinct);
}

Hosts OpenVpnDefault(const Hosts& addresses) {
  Hosts described;
  for (const std::string& address : addresses) described.push_back(address + " udp 1194");
  return described;
}

// Only literal addresses, or profiles refused before any lookup: a name
// would be looked up in the host's DNS.
TEST(CollectEndpointAddresses, LiteralsAndBounds) {
  Hosts v4;
  for (int i = 0; i < 1024; ++i) {
    v4.push_back("10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256));
  }
  Hosts v4AndOneMore = v4;
  v4AndOneMore.push_back("192.0.2.1");
  Hosts v4Repeated = v4;
  v4Repeated.insert(v4Repeated.end(), v4.begin(), v4.end());
  const Hosts names = NumberedHosts(129, "n", ".example");
  const std::string kTooManyHosts =
      "The profile names more servers than the leak-protection ruleset allows (at most 1024).";
  const std::string kTooManyNames =
      "The profile names more server host names than the leak-protection ruleset may look up "
      "(at most 128).";
  const struct {
    const char* name;
    EngineKind kind;
    std::string config;
    Hosts expected;
    std::string error;  // "" for success
  } cases[] = {
      {"literals as written, each text once, without their port only when it has none",
       kWireGuard,
       "Endpoint = [2001:DB8:0:0::7]:51820\nEndpoint = [2001:db8::7]:51820\n"
       "Endpoint = 203.0.113.7:51820\nEndpoint = 203.0.113.7:51820\nEndpoint = 192.0.2.8\n",
       {"2001:DB8:0:0::7 udp 51820", "2001:db8::7 udp 51820", "203.0.113.7 udp 51820"},
       ""},
      {"Xray vnext before servers",
       kXray,
       R"({"outbounds":[{"settings":{"vnext":[{"address":"192.0.2.1","port":1}],
           "servers":[{"address":"2001:db8::1","port":2},{"address":"192.0.2.1","port":1}]}}]})",
       {"192.0.2.1 tcp 1", "2001:db8::1 tcp 2"},
       ""},
      {"no engine", kUnsupported, "remote 192.0.2.1", {}, ""},
      {"not JSON", kSingBox, "not json", {}, ""},
      {"as many servers as the ruleset allows", kOpenVpn, Remotes(v4), OpenVpnDefault(v4), ""},
      {"duplicates do not count against the bound", kOpenVpn, Remotes(v4Repeated),
       OpenVpnDefault(v4), ""},
      {"one server more", kOpenVpn, Remotes(v4AndOneMore), {}, kTooManyHosts},
      {"one name more than may be looked up", kOpenVpn, Remotes(names), {}, kTooManyNames},
  };
  const std::function<bool()> never = [] { return false; };
  for (const auto& c : cases) {
    std::vector<KillSwitchServer> servers = {{"untouched", "udp", 1, 0}};
    std::string error = "untouched";
    const bool collected = CollectEndpointAddresses(c.kind, c.config, never, &servers, &error);
    if (c.error.empty()) {
      EXPECT_TRUE(collected) << c.name << ": " << error;
      EXPECT_EQ(Described(servers), c.expected) << c.name;
      EXPECT_EQ(error, "untouched") << c.name;
    } else {
      EXPECT_FALSE(collected) << c.name;
      EXPECT_EQ(error, c.error) << c.name;
      EXPECT_EQ(Described(servers), Hosts{"untouched udp 1"}) << c.name;
    }
  }
}

TEST(CollectEndpointAddresses, HostWithNulByteIsNeverAnAddress) {
  // C parsers would read "192.0.2.9" while the whole text reached nft.
  const std::string config("Endpoint = 192.0.2.9\0} accept:51820\n", 36);
  ASSERT_EQ(CollectEndpointHosts(kWireGuard, config).size(), 1u);
  std::vector<KillSwitchServer> servers;
  std::string error;
  EXPECT_TRUE(CollectEndpointAddresses(
      kWireGuard, config, [] { return false; }, &servers, &error));
  EXPECT_EQ(Described(servers), Hosts{});
  // openvpn's own reader ends the line at the NUL, and so does the collector:
  // the text after it never becomes part of a host.
  const std::string openvpn("remote 192.0.2.9\0} accept\n", 26);
  EXPECT_EQ(CollectEndpointHosts(kOpenVpn, openvpn), Hosts{"192.0.2.9"});
}

std::string Ruleset(const std::vector<std::string>& interfaces, const std::string& openings) {
  std::string text =
      "table inet tessaryvpn\n"
      "delete table inet tessaryvpn\n"
      "table inet tessaryvpn {\n"
      "  chain output {\n"
      "    type filter hook output priority 0; policy drop;\n"
      "    oifname \"lo\" accept\n";
  for (const std::string& name : interfaces) text += "    oifname \"" + name + "\" accept\n";
  return text +
         "    icmpv6 type { 130, 131, 132, 133, 134, 135, 136, 137, 143 } accept\n"
         "    udp sport 68 udp dport 67 accept\n"
         "    udp sport 546 udp dport 547 accept\n" +
         openings +
         "  }\n"
         "}\n";
}

// `addresses`, each for one transport, port and mark.
std::vector<KillSwitchServer> Servers(const Hosts& addresses, const char* transport, uint16_t port,
                                      uint32_t mark) {
  std::vector<KillSwitchServer> servers;
  for (const std::string& address : addresses) servers.push_back({address, transport, port, mark});
  return servers;
}

TEST(BuildKillSwitchRuleset, TextIsExact) {
  const std::string dualStack =
      Ruleset({"tessaryvpn"},
              "    meta mark 0xca6c ip daddr { 203.0.113.7 } udp dport 51820 accept\n"
              "    meta mark 0xca6c ip6 daddr { 2001:db8::7 } udp dport 51820 accept\n");
  std::vector<KillSwitchServer> apart = Servers({"192.0.2.1"}, "udp", 1194, 29548);
  apart.push_back({"192.0.2.1", "tcp", 1194, 29548});
  apart.push_back({"192.0.2.2", "udp", 1194, 29548});
  apart.push_back({"192.0.2.3", "udp", 51820, 0});
  apart.push_back({"192.0.2.1", "udp", 1194, 29548});
  const struct {
    const char* name;
    KillSwitchRules rules;
    std::string expected;
  } cases[] = {
      {"both families, for the engine's mark only",
       {{"tessaryvpn"}, Servers({"203.0.113.7", "2001:db8::7"}, "udp", 51820, 0xca6c)},
       dualStack},
      {"IPv4 ahead of IPv6 whatever the list order",
       {{"tessaryvpn"}, Servers({"2001:db8::7", "203.0.113.7"}, "udp", 51820, 0xca6c)},
       dualStack},
      {"three IPv4 servers on one line, no ip6 line",
       {{"tun-tessaryvpn"}, Servers({"192.0.2.1", "198.51.100.2", "203.0.113.3"}, "tcp", 443, 0)},
       Ruleset({"tun-tessaryvpn"},
               "    ip daddr { 192.0.2.1, 198.51.100.2, 203.0.113.3 } tcp dport 443 accept\n")},
      {"IPv6 only, written as the list holds them",
       {{"tessary-sbox0"}, Servers({"2001:DB8::1", "2001:db8:0:0::2"}, "tcp", 8443, 0)},
       Ruleset({"tessary-sbox0"},
               "    ip6 daddr { 2001:DB8::1, 2001:db8:0:0::2 } tcp dport 8443 accept\n")},
      {"transports, ports and marks apart, each server once; two tunnels while one replaces "
       "the other",
       {{"tessaryvpn", "tun-tessaryvpn", "tessaryvpn"}, apart},
       Ruleset({"tessaryvpn", "tun-tessaryvpn"},
               "    meta mark 0x736c ip daddr { 192.0.2.1, 192.0.2.2 } udp dport 1194 accept\n"
               "    meta mark 0x736c ip daddr { 192.0.2.1 } tcp dport 1194 accept\n"
               "    ip daddr { 192.0.2.3 } udp dport 51820 accept\n")},
      {"entries that do not parse, or admit no transport or port, are skipped",
       {{"tessaryvpn"},
        {{"vpn.example", "udp", 51820, 0xca6c},
         {"", "udp", 51820, 0xca6c},
         {" 203.0.113.7", "udp", 51820, 0xca6c},
         {"203.0.113.7", "udp", 51820, 0xca6c},
         {"192.0.2.0/24", "udp", 51820, 0xca6c},
         {"fe80::1%lo", "udp", 51820, 0xca6c},
         {"192.0.2.1", "udp", 0, 0xca6c},
         {"192.0.2.1", "sctp", 51820, 0xca6c},
         {"192.0.2.1", "", 51820, 0xca6c},
         {"2001:db8::7", "udp", 51820, 0xca6c},
         {"203.0.113.7 } accept", "udp", 51820, 0xca6c},
         {"1.2.3", "udp", 51820, 0xca6c},
         {std::string("192.0.2.1\0x", 11), "udp", 51820, 0xca6c}}},
       dualStack},
  };
  for (const auto& c : cases) {
    std::string ruleset = "stale";
    std::string error = "untouched";
    EXPECT_TRUE(BuildKillSwitchRuleset(c.rules, &ruleset, &error)) << c.name;
    EXPECT_EQ(ruleset, c.expected) << c.name;
    EXPECT_EQ(error, "untouched") << c.name;
  }
}

// What a reconnect loads: both tunnels' openings, the held one's first.
TEST(MergeKillSwitchRules, KeepsBothTunnelsOpeningsEachOnce) {
  const KillSwitchRules held = {{"tessaryvpn"}, Servers({"192.0.2.1"}, "udp", 51820, 0xca6c)};
  KillSwitchRules next = {{"tun-tessaryvpn"}, Servers({"192.0.2.2"}, "udp", 1194, 29548)};
  next.servers.push_back({"192.0.2.1", "udp", 51820, 0xca6c});
  next.servers.push_back({"192.0.2.1", "udp", 51820, 0});
  const KillSwitchRules merged = MergeKillSwitchRules(held, next);
  EXPECT_EQ(merged.interfaces, (Hosts{"tessaryvpn", "tun-tessaryvpn"}));
  EXPECT_EQ(Described(merged.servers),
            (Hosts{"192.0.2.1 udp 51820 mark 51820", "192.0.2.2 udp 1194 mark 29548",
                   "192.0.2.1 udp 51820"}));
  EXPECT_EQ(Described(MergeKillSwitchRules({}, next).servers), Described(next.servers));
}

TEST(BuildKillSwitchRuleset, RefusesWhatNftCannotBeGiven) {
  const std::string kNotUsable = "The tunnel interface name is not usable.";
  const std::string kNoAddress = "No server address was available for the leak-protection ruleset.";
  const std::vector<KillSwitchServer> good = Servers({"203.0.113.7"}, "udp", 51820, 0);
  const struct {
    const char* name;
    std::vector<std::string> interfaces;
    std::vector<KillSwitchServer> servers;
    std::string expected;  // "" for success
  } cases[] = {
      {"15 bytes with every allowed kind of byte", {"aZ0-._bcdefghij"}, good, ""},
      {"16 bytes", {"abcdefghijklmnop"}, good, kNotUsable},
      {"empty", {""}, good, kNotUsable},
      {"no interface at all", {}, good, kNotUsable},
      {"one bad name among good ones", {"tessaryvpn", "a b"}, good, kNotUsable},
      {"blank", {"tessary vpn"}, good, kNotUsable},
      {"double quote", {"tess\"ary"}, good, kNotUsable},
      {"line feed", {"tessary\n"}, good, kNotUsable},
      {"semicolon", {"a;b"}, good, kNotUsable},
      {"slash", {"a/b"}, good, kNotUsable},
      {"non-ASCII letter", {"tessary\xc3\xa9"}, good, kNotUsable},
      {"embedded NUL", {std::string("tess\0ary", 8)}, good, kNotUsable},
      {"the name is judged before any address", {"bad name"}, {}, kNotUsable},
      {"no address at all", {"tessaryvpn"}, {}, kNoAddress},
      {"no entry parses",
       {"tessaryvpn"},
       Servers({"vpn.example", "", "203.0.113.300", "::g"}, "udp", 51820, 0),
       kNoAddress},
      {"no entry has a port", {"tessaryvpn"}, Servers({"203.0.113.7"}, "udp", 0, 0), kNoAddress},
  };
  for (const auto& c : cases) {
    std::string ruleset = "untouched";
    std::string error = "untouched";
    const bool built = BuildKillSwitchRuleset({c.interfaces, c.servers}, &ruleset, &error);
    if (c.expected.empty()) {
      EXPECT_TRUE(built) << c.name;
      EXPECT_EQ(error, "untouched") << c.name;
      continue;
    }
    EXPECT_FALSE(built) << c.name;
    EXPECT_EQ(error, c.expected) << c.name;
    EXPECT_EQ(ruleset, "untouched") << c.name;
  }
}

}  // namespace
}  // namespace tessary::linux_service
