// Fuzzes endpoint collection for every engine and feeds what it finds to the
// ruleset builder as servers. Besides crashes it checks that every host is
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
  // Between them: lines of the form [meta mark 0xM ]FAMILY daddr { LIST }
  // TRANSPORT dport PORT accept, every element an address of that family.
  std::string middle = ruleset.substr(head.size(), ruleset.size() - head.size() - tail.size());
  int lines = 0;
  while (!middle.empty()) {
    const size_t lineEnd = middle.find('\n');
    Require(lineEnd != std::string::npos);
    std::string line = middle.substr(0, lineEnd);
    middle.erase(0, lineEnd + 1);
    Require(line.rfind("    ", 0) == 0);
    line.erase(0, 4);
    if (line.rfind("meta mark 0x", 0) == 0) {
      const size_t blank = line.find(' ', 12);
      Require(blank != std::string::npos && blank > 12);
      Require(std::all_of(line.begin() + 12, line.begin() + static_cast<long>(blank),
                          [](char c) { return g_ascii_isxdigit(c); }));
      line.erase(0, blank + 1);
    }
    const char* family = line.rfind("ip6 daddr { ", 0) == 0 ? "ip6" : "ip";
    const std::string open = std::string(family) + " daddr { ";
    Require(line.rfind(open, 0) == 0);
    const size_t end = line.find(" } ");
    Require(end != std::string::npos);
    const std::string list = line.substr(open.size(), end - open.size());
    const std::string rest = line.substr(end + 3);
    const bool udp = rest.rfind("udp dport ", 0) == 0;
    Require(udp || rest.rfind("tcp dport ", 0) == 0);
    const std::string port = rest.substr(10, rest.size() - 10 - 7);
    Require(rest.size() > 17 && rest.compare(rest.size() - 7, 7, " accept") == 0);
    Require(!port.empty() &&
            std::all_of(port.begin(), port.end(), [](char c) { return g_ascii_isdigit(c); }));
    Require(atoi(port.c_str()) >= 1 && atoi(port.c_str()) <= 65535);
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
  Require(lines >= 1);
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

  // Hosts stand in for addresses, with the transport and port the profile
  // gave them and a mark from the input.
  std::vector<KillSwitchServer> servers;
  for (const Endpoint& endpoint : CollectEndpoints(kind, config)) {
    servers.push_back({endpoint.host, endpoint.transport, endpoint.port,
                       static_cast<uint32_t>(size * 2654435761u)});
  }
  // The first host doubles as an interface name, as hostile as it gets.
  for (const std::string& interfaceName :
       {std::string(kWireGuardInterface), hosts.empty() ? std::string() : hosts.front()}) {
    std::string ruleset = "untouched";
    std::string error;
    if (BuildKillSwitchRuleset({{interfaceName}, servers}, &ruleset, &error)) {
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
