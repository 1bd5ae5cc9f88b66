// The WireGuard engine: wg-quick runs, the handshake wait and the clean-up of
// what wg-quick leaves behind.
#include "service/wireguard_engine.h"

#include <arpa/inet.h>
#include <glib.h>
#include <netinet/in.h>
#include <stdio.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <utility>

#include "common/constants.h"
#include "service/engine_commands.h"
#include "service/engine_files.h"
#include "service/profile_lines.h"
#include "service/profile_text.h"

namespace tessary::linux_service {

std::atomic<bool> g_wireguard_uses_amnezia{false};

namespace {

// A server that has not answered a prompted handshake in this time is taken
// for absent: WireGuard's own retry comes after five seconds.
constexpr std::chrono::milliseconds kHandshakeWait{8000};
constexpr gulong kHandshakePollMicros = 100000;

}  // namespace

// ---- WireGuard -------------------------------------------------------------

// Copies the configuration without the DNS lines of [Interface], whose
// addresses go to *dns in file order; DNS is applied by the DNS helper. The
// lines are those wg-quick would take for DNS, read by the validator's reader.
void RewriteWireGuardConfig(const std::string& config, std::string* rewritten,
                            std::vector<std::string>* dns) {
  // Reserved once: growing would free partial copies of the key unwiped.
  // The copy is never longer than the input and a final newline.
  rewritten->reserve(rewritten->size() + config.size() + 1);
  ForEachWireGuardLine(config, [&](const WireGuardLine& line) {
    if (line.section != WireGuardSection::kInterface || line.sectionLine || line.key != "dns") {
      rewritten->append(line.text);
      rewritten->push_back('\n');
      return true;
    }
    for (std::string& server : SplitWireGuardList(line.value)) dns->push_back(std::move(server));
    return true;
  });
}

bool RunWireGuardDnsCommand(const std::vector<std::string>& arguments, std::string* error) {
  std::vector<const char*> argv = {kDnsHelper};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  return RunCommand(argv, error);
}

bool RunWireGuardQuick(const char* action, bool amnezia, std::string* error) {
  if (amnezia) {
    return RunCommandWithEnvironment({kAmneziaWgQuick, action, kWireGuardConfig},
                                     AmneziaEnvironment(), error);
  }
  return RunCommand({kWireGuardQuick, action, kWireGuardConfig}, error);
}

// The mark wg-quick gave the tunnel's own packets to its server; 0 for none.
uint32_t WireGuardMark(bool amnezia) {
  std::string output;
  if (!CaptureCommand(
          {amnezia ? kAmneziaWgTool : kWireGuardTool, "show", kWireGuardInterface, "fwmark"},
          &output)) {
    return 0;
  }
  guint64 mark = 0;
  const std::string text = Trim(output);
  if (text.rfind("0x", 0) != 0 ||
      !g_ascii_string_to_unsigned(text.c_str() + 2, 16, 0, G_MAXUINT32, &mark, nullptr)) {
    return 0;
  }
  return static_cast<uint32_t>(mark);
}

namespace {

// WireGuard handshakes only when it has something to send: a datagram into
// the tunnel, to a benchmarking address that no server answers, starts one.
// Both families are tried; the one the tunnel does not carry goes nowhere.
void PromptWireGuardHandshake() {
  for (const int family : {AF_INET, AF_INET6}) {
    g_auto(Descriptor) fd = socket(family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) continue;
    setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, kWireGuardInterface, sizeof kWireGuardInterface);
    sockaddr_storage target{};
    socklen_t size = 0;
    if (family == AF_INET) {
      auto* ipv4 = reinterpret_cast<sockaddr_in*>(&target);
      ipv4->sin_family = AF_INET;
      ipv4->sin_port = htons(9);
      inet_pton(AF_INET, "198.18.0.1", &ipv4->sin_addr);
      size = sizeof *ipv4;
    } else {
      auto* ipv6 = reinterpret_cast<sockaddr_in6*>(&target);
      ipv6->sin6_family = AF_INET6;
      ipv6->sin6_port = htons(9);
      inet_pton(AF_INET6, "2001:2::1", &ipv6->sin6_addr);
      size = sizeof *ipv6;
    }
    const char nothing = 0;
    sendto(fd, &nothing, 1, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&target), size);
  }
}

// Whether some peer has completed a handshake ("KEY\tSECONDS" per peer, 0
// for never).
bool WireGuardHandshakeSeen(bool amnezia) {
  std::string output;
  if (!CaptureCommand({amnezia ? kAmneziaWgTool : kWireGuardTool, "show", kWireGuardInterface,
                       "latest-handshakes"},
                      &output)) {
    return false;
  }
  bool seen = false;
  ForEachLine(output, [&](const std::string& line) {
    const size_t tab = line.find('\t');
    guint64 stamp = 0;
    seen =
        tab != std::string::npos && g_ascii_string_to_unsigned(Trim(line.substr(tab + 1)).c_str(),
                                                               10, 1, G_MAXUINT64, &stamp, nullptr);
    return !seen;
  });
  return seen;
}

}  // namespace

// Waits a bounded time for the first handshake, prompting one each second
// (WireGuard itself retries an unanswered one only every five seconds).
Handshake WaitForWireGuardHandshake(bool amnezia, const std::function<bool()>& cancelled) {
  const auto deadline = std::chrono::steady_clock::now() + kHandshakeWait;
  auto nextPrompt = std::chrono::steady_clock::now();
  while (!cancelled()) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= nextPrompt) {
      PromptWireGuardHandshake();
      nextPrompt = now + std::chrono::seconds(1);
    }
    if (WireGuardHandshakeSeen(amnezia)) return Handshake::kAnswered;
    if (std::chrono::steady_clock::now() >= deadline) return Handshake::kSilent;
    g_usleep(kHandshakePollMicros);
  }
  return Handshake::kCancelled;
}

namespace {

// ---- what wg-quick leaves when its interface vanishes ----------------------

// For a full tunnel, wg-quick adds per address family the rule "not fwmark T
// table T" (T being the number it gave both) and right above it "table main
// suppress_prefixlength 0", routes in table T through the interface, and an
// nft table "wg-quick-" + interface per family. Its down removes them only
// while the interface exists; a userspace engine that died with the service
// takes the interface and the routes along and leaves the rest.

constexpr char kSuppressRule[] = "from all lookup main suppress_prefixlength 0";

// Whether `listing` of "ip route show table all" has a route in `table`.
bool ListingUsesTable(const std::string& listing, unsigned table) {
  const std::string token = " table " + std::to_string(table);
  bool used = false;
  ForEachLine(listing, [&](const std::string& line) {
    for (size_t at = line.find(token); at != std::string::npos; at = line.find(token, at + 1)) {
      const size_t end = at + token.size();
      if (end == line.size() || std::isspace(static_cast<unsigned char>(line[end]))) {
        used = true;
        return false;
      }
    }
    return true;
  });
  return used;
}

// The table of a rule shaped exactly like wg-quick's "not fwmark T table T".
bool WireGuardQuickMarkRule(const std::string& selector, unsigned* table) {
  unsigned mark = 0;
  unsigned lookup = 0;
  int consumed = 0;
  if (sscanf(selector.c_str(), "not from all fwmark 0x%x lookup %u%n", &mark, &lookup, &consumed) !=
          2 ||
      static_cast<size_t>(consumed) != selector.size() || mark != lookup || mark == 0) {
    return false;
  }
  *table = lookup;
  return true;
}

// Removes the rule pairs above whose table has no route left in either
// family, so that another tunnel's rules, whose table still routes, stay.
bool RemoveWireGuardQuickRules(std::string* error) {
  std::string routes4;
  std::string routes6;
  if (!CaptureCommand({kIpBinary, "-4", "route", "show", "table", "all"}, &routes4) ||
      !CaptureCommand({kIpBinary, "-6", "route", "show", "table", "all"}, &routes6)) {
    *error = "Unable to list routes to clear what WireGuard left behind.";
    return false;
  }
  for (const char* family : {"-4", "-6"}) {
    std::string listing;
    if (!CaptureCommand({kIpBinary, family, "rule", "show"}, &listing)) {
      *error = "Unable to list routing rules to clear what WireGuard left behind.";
      return false;
    }
    std::vector<std::pair<unsigned, std::string>> rules;  // priority, selector
    ForEachLine(listing, [&](const std::string& line) {
      unsigned priority = 0;
      int consumed = 0;
      if (sscanf(line.c_str(), "%u:%n", &priority, &consumed) == 1) {
        rules.emplace_back(priority, Trim(line.substr(static_cast<size_t>(consumed))));
      }
      return true;
    });
    for (const auto& [priority, selector] : rules) {
      unsigned table = 0;
      if (!WireGuardQuickMarkRule(selector, &table) || ListingUsesTable(routes4, table) ||
          ListingUsesTable(routes6, table)) {
        continue;
      }
      const std::string priorityText = std::to_string(priority);
      const std::string tableText = std::to_string(table);
      std::string scratch;
      if (!RunCommand({kIpBinary, family, "rule", "delete", "priority", priorityText.c_str(), "not",
                       "fwmark", tableText.c_str(), "table", tableText.c_str()},
                      &scratch)) {
        *error = "Unable to remove a routing rule WireGuard left behind.";
        return false;
      }
      const unsigned markPriority = priority;
      const bool paired = std::any_of(rules.begin(), rules.end(), [&](const auto& rule) {
        return rule.first + 1 == markPriority && rule.second == kSuppressRule;
      });
      const std::string above = std::to_string(priority - 1);
      if (paired && !RunCommand({kIpBinary, family, "rule", "delete", "priority", above.c_str(),
                                 "table", "main", "suppress_prefixlength", "0"},
                                &scratch)) {
        *error = "Unable to remove a routing rule WireGuard left behind.";
        return false;
      }
    }
  }
  return true;
}

// Without nft, wg-quick used iptables, whose rules without the interface
// match nothing.
bool RemoveWireGuardQuickTables(std::string* error) {
  if (!IsExecutable(kNftBinary)) return true;
  std::string listing;
  if (!CaptureCommand({kNftBinary, "list", "tables"}, &listing)) {
    *error = "Unable to list the nftables tables WireGuard left behind.";
    return false;
  }
  // awg-quick is wg-quick under another name and may name its tables so.
  const std::string ours[] = {std::string("wg-quick-") + kWireGuardInterface,
                              std::string("awg-quick-") + kWireGuardInterface};
  bool removed = true;
  ForEachLine(listing, [&](const std::string& line) {
    g_auto(GStrv) words = g_strsplit(Trim(line).c_str(), " ", 0);
    if (g_strv_length(words) != 3 || g_strcmp0(words[0], "table") != 0) return true;
    if (g_strcmp0(words[1], "ip") != 0 && g_strcmp0(words[1], "ip6") != 0) return true;
    if (std::find(std::begin(ours), std::end(ours), words[2]) == std::end(ours)) return true;
    std::string scratch;
    if (!RunCommand({kNftBinary, "delete", "table", words[1], words[2]}, &scratch)) {
      *error = "Unable to remove an nftables table WireGuard left behind.";
      removed = false;
    }
    return removed;
  });
  return removed;
}

}  // namespace

bool StopWireGuard(std::string* error) {
  bool configPresent = IsRegularFile(kWireGuardConfig);
  bool interfacePresent = InterfacePresent(kWireGuardInterfacePath);
  if (!configPresent && !interfacePresent) return true;
  if (!configPresent) {
    *error =
        "The WireGuard interface exists without its private configuration; administrator repair "
        "is required.";
    return false;
  }
  if (!interfacePresent) {
    // The file stays until the rest is gone, so that the next try sees it.
    return RemoveWireGuardQuickRules(error) && RemoveWireGuardQuickTables(error) &&
           SecureRemoveFile(kWireGuardConfig, error);
  }

  std::string scratch;
  bool dnsReverted = RunWireGuardDnsCommand({"revert-wireguard"}, &scratch);
  if (!RunWireGuardQuick("down", g_wireguard_uses_amnezia.load(), &scratch)) {
    *error = "WireGuard disconnect cleanup failed.";
    return false;
  }
  g_wireguard_uses_amnezia.store(false);
  if (InterfacePresent(kWireGuardInterfacePath)) {
    *error = "WireGuard reported disconnect but its interface still exists.";
    return false;
  }
  if (!SecureRemoveFile(kWireGuardConfig, error)) return false;
  if (!dnsReverted) {
    *error = "WireGuard disconnected but DNS cleanup failed.";
    return false;
  }
  return true;
}

}  // namespace tessary::linux_service
