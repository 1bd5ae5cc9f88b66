// Fuzzes endpoint collection for every engine and feeds what it finds to the
// ruleset builder as addresses. Besides crashes it checks that every host is
// 1 to 255 bytes, trimmed and unique, and that whatever the profile holds, a
// built ruleset keeps the fixed shape: nothing a profile writes can add a
// line, a brace or a rule to the nft input. Nothing is resolved and nft never
// runs: this is safe on the host.
#include <gio/gio.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "common/constants.h"
#include "service/kill_switch.h"

namespace {

using namespace tessary::linux_service;

void Require(bool holds) {
  if (!holds) abort();
}

bool Trimmed(const std::string& host) {
  const std::string edges = " \t\r\n";
  return edges.find(host.front()) == std::string::npos &&
         edges.find(host.back()) == std::string::npos;
}

void CheckRulesetShape(const std::string& interfaceName, const std::string& ruleset) {
  const std::string head =
      std::string("table inet tessaryvpn\n") + "delete table inet tessaryvpn\n" +
      "table inet tessaryvpn {\n" + "  chain output {\n" +
      "    type filter hook output priority 0; policy drop;\n" + "    oifname \"lo\" accept\n" +
      "    oifname \"" + interfaceName + "\" accept\n" +
      "    icmpv6 type { 130, 131, 132, 133, 134, 135, 136, 137, 143 } accept\n" +
      "    udp sport 68 udp dport 67 accept\n" + "    udp sport 546 udp dport 547 accept\n";
  const std::string tail = "  }\n}\n";
  Require(ruleset.compare(0, head.size(), head) == 0);
  Require(ruleset.size() > head.size() + tail.size());
  Require(ruleset.compare(ruleset.size() - tail.size(), tail.size(), tail) == 0);
  // Between them: an ip and/or an ip6 line whose every element is an address
  // of that family.
  std::string middle = ruleset.substr(head.size(), ruleset.size() - head.size() - tail.size());
  int lines = 0;
  for (const char* family : {"ip", "ip6"}) {
    const std::string open = std::string("    ") + family + " daddr { ";
    const std::string close = " } accept\n";
    if (middle.rfind(open, 0) != 0) continue;
    const size_t end = middle.find(close);
    Require(end != std::string::npos);
    std::string list = middle.substr(open.size(), end - open.size());
    middle.erase(0, end + close.size());
    ++lines;
    size_t start = 0;
    while (true) {
      const size_t comma = list.find(", ", start);
      const std::string address = list.substr(start, comma - start);
      Require(address.find('\0') == std::string::npos);
      GInetAddress* parsed = g_inet_address_new_from_string(address.c_str());
      Require(parsed != nullptr);
      Require(g_inet_address_get_family(parsed) ==
              (std::string(family) == "ip" ? G_SOCKET_FAMILY_IPV4 : G_SOCKET_FAMILY_IPV6));
      g_object_unref(parsed);
      if (comma == std::string::npos) break;
      start = comma + 2;
    }
  }
  Require(lines >= 1 && middle.empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const EngineKind kind = static_cast<EngineKind>(data[0] % 6);
  const std::string config(reinterpret_cast<const char*>(data + 1), size - 1);

  const std::vector<std::string> hosts = CollectEndpointHosts(kind, config);
  std::set<std::string> seen;
  for (const std::string& host : hosts) {
    Require(!host.empty() && host.size() <= 255);
    Require(Trimmed(host));
    Require(seen.insert(host).second);
  }
  if (kind == kUnsupported || kind > kOpenVpn) Require(hosts.empty());

  // The first host doubles as an interface name, as hostile as it gets.
  for (const std::string& interfaceName :
       {std::string(kWireGuardInterface), hosts.empty() ? std::string() : hosts.front()}) {
    std::string ruleset = "untouched";
    std::string error;
    if (BuildKillSwitchRuleset(interfaceName, hosts, &ruleset, &error)) {
      Require(error.empty());
      CheckRulesetShape(interfaceName, ruleset);
    } else {
      Require(ruleset == "untouched");
      Require(error == "The tunnel interface name is not usable." ||
              error == "No server address was available for the leak-protection ruleset.");
    }
  }
  return 0;
}
