// The long-running engines: their table, their configuration, the routing
// the service does or clears for them, and OpenVPN's route to its server.
#include "service/process_engines.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <glib.h>
#include <netinet/in.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/constants.h"
#include "service/config_normalization.h"
#include "service/engine_commands.h"
#include "service/engine_files.h"
#include "service/profile_lines.h"
#include "service/profile_text.h"
#include "service/route_check.h"

namespace tessary::linux_service {

// ---- openvpn's route to its server -----------------------------------------

// openvpn reaches its server around the tunnel through a host route via the
// uplink's gateway ("<server>/32 via <gateway>", for redirect-gateway). A
// killed openvpn leaves it behind, and once the uplink's gateway changes it
// sends every later connect to that server nowhere. A start records the host
// routes through a default route's gateway that appeared while openvpn came
// up, one "FAMILY DESTINATION GATEWAY DEVICE" line each, and whoever cleans up
// after openvpn removes those still there. A route openvpn adds for another
// server after a reconnect is not in the record.
constexpr gsize kServerRoutesMaxBytes = 4096;

namespace {

bool SameRoute(const GatewayRoute& a, const GatewayRoute& b) {
  return a.family == b.family && a.prefixLength == b.prefixLength &&
         a.destination == b.destination && a.gateway == b.gateway && a.device == b.device;
}

std::string AddressText(int family, const void* address) {
  char text[INET6_ADDRSTRLEN] = {};
  return inet_ntop(family, address, text, sizeof text) != nullptr ? text : "";
}

// 32 hexadecimal digits, as /proc/net/ipv6_route writes an address.
bool ParseHexAddress(const char* hex, unsigned char (&address)[16]) {
  if (strlen(hex) != 32) return false;
  for (int i = 0; i < 16; ++i) {
    const int high = g_ascii_xdigit_value(hex[2 * i]);
    const int low = g_ascii_xdigit_value(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    address[i] = static_cast<unsigned char>(high * 16 + low);
  }
  return true;
}

}  // namespace

// The kernel's routes that have a gateway, read from its own listings
// without running anything: /proc/net/route (the main IPv4 table) and
// /proc/net/ipv6_route.
std::vector<GatewayRoute> GatewayRoutes() {
  std::vector<GatewayRoute> routes;
  g_autofree gchar* ipv4 = nullptr;
  if (g_file_get_contents("/proc/net/route", &ipv4, nullptr, nullptr)) {
    ForEachLine(ipv4, [&](const std::string& line) {
      char device[17] = {};
      unsigned int destination = 0, gateway = 0, flags = 0, mask = 0;
      // Iface Destination Gateway Flags RefCnt Use Metric Mask ...; the
      // addresses are the network-order words printed as numbers.
      if (sscanf(line.c_str(), "%16s %x %x %x %*d %*d %*d %x", device, &destination, &gateway,
                 &flags, &mask) == 5 &&
          gateway != 0) {
        routes.push_back({AF_INET, __builtin_popcount(mask), AddressText(AF_INET, &destination),
                          AddressText(AF_INET, &gateway), device});
      }
      return true;
    });
  }
  g_autofree gchar* ipv6 = nullptr;
  if (g_file_get_contents("/proc/net/ipv6_route", &ipv6, nullptr, nullptr)) {
    ForEachLine(ipv6, [&](const std::string& line) {
      char destination[33] = {}, source[33] = {}, nextHop[33] = {}, device[17] = {};
      unsigned int prefixLength = 0, sourceLength = 0;
      unsigned char destinationBytes[16] = {}, gatewayBytes[16] = {};
      static const unsigned char kNone[16] = {};
      if (sscanf(line.c_str(), "%32s %x %32s %x %32s %*x %*x %*x %*x %16s", destination,
                 &prefixLength, source, &sourceLength, nextHop, device) == 6 &&
          ParseHexAddress(destination, destinationBytes) &&
          ParseHexAddress(nextHop, gatewayBytes) && memcmp(gatewayBytes, kNone, 16) != 0) {
        routes.push_back({AF_INET6, static_cast<int>(prefixLength),
                          AddressText(AF_INET6, destinationBytes),
                          AddressText(AF_INET6, gatewayBytes), device});
      }
      return true;
    });
  }
  return routes;
}

// Records the host routes that are not in |before| and go through the
// gateway and device of one of its default routes.
void RecordOpenVpnServerRoutes(const std::vector<GatewayRoute>& before) {
  std::string text;
  for (const GatewayRoute& route : GatewayRoutes()) {
    const auto same = [&](const GatewayRoute& known) { return SameRoute(known, route); };
    const auto viaDefault = [&](const GatewayRoute& known) {
      return known.prefixLength == 0 && known.family == route.family &&
             known.gateway == route.gateway && known.device == route.device;
    };
    if (route.prefixLength != (route.family == AF_INET ? 32 : 128) ||
        std::any_of(before.begin(), before.end(), same) ||
        !std::any_of(before.begin(), before.end(), viaDefault)) {
      continue;
    }
    text += std::string(route.family == AF_INET ? "4 " : "6 ") + route.destination + " " +
            route.gateway + " " + route.device + "\n";
  }
  std::string scratch;
  if (!text.empty()) WritePrivateFile(kOpenVpnServerRoutes, text, &scratch);
}

namespace {

// Removes the recorded routes that are still there, then the record; the
// record stays when a route could not be removed, for the next clean-up.
bool RemoveOpenVpnServerRoutes(std::string* error) {
  g_auto(Descriptor) fd =
      open(kOpenVpnServerRoutes, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return errno == ENOENT || SecureRemoveFile(kOpenVpnServerRoutes, error);
  char buffer[kServerRoutesMaxBytes + 1];
  const ssize_t size = IsRegularDescriptor(fd) ? read(fd, buffer, kServerRoutesMaxBytes) : -1;
  buffer[std::max<ssize_t>(size, 0)] = '\0';
  const std::vector<GatewayRoute> present = GatewayRoutes();
  bool removed = true;
  ForEachLine(buffer, [&](const std::string& line) {
    g_auto(GStrv) fields = g_strsplit(line.c_str(), " ", 0);
    if (g_strv_length(fields) != 4) return true;
    const bool ipv4 = strcmp(fields[0], "4") == 0;
    if (!ipv4 && strcmp(fields[0], "6") != 0) return true;
    const GatewayRoute route = {ipv4 ? AF_INET : AF_INET6, ipv4 ? 32 : 128, fields[1], fields[2],
                                fields[3]};
    const auto same = [&](const GatewayRoute& known) { return SameRoute(known, route); };
    // Only what the kernel lists now goes to ip, so nothing of the file but
    // a route that exists can reach its command line.
    if (!std::any_of(present.begin(), present.end(), same)) return true;
    const std::string destination = route.destination + (ipv4 ? "/32" : "/128");
    std::string scratch;
    if (!RunCommand({kIpBinary, ipv4 ? "-4" : "-6", "route", "del", destination.c_str(), "via",
                     route.gateway.c_str(), "dev", route.device.c_str()},
                    &scratch)) {
      removed = false;
    }
    return true;
  });
  if (!removed) {
    *error = "Unable to remove the route to the OpenVPN server.";
    return false;
  }
  return SecureRemoveFile(kOpenVpnServerRoutes, error);
}

}  // namespace

bool RemoveConfigFor(EngineKind kind, std::string* error) {
  switch (kind) {
    case kUnsupported:
      return true;
    case kSingBox:
      return SecureRemoveFile(kSingBoxConfig, error);
    case kXray:
      return SecureRemoveFile(kXrayConfig, error);
    case kWireGuard:
      return SecureRemoveFile(kWireGuardConfig, error);
    case kOpenVpn: {
      // resolved forgets a link's settings with the link, and the helper
      // clears nothing once the interface is gone: it is not run then.
      if (IsExecutable(kDnsHelper) && IsExecutable(kResolveCtl) &&
          InterfacePresent(kOpenVpnInterfacePath)) {
        std::string scratch;
        if (!RunCommand({kDnsHelper, "revert"}, &scratch)) {
          *error = "Unable to revert OpenVPN DNS state.";
          return false;
        }
      }
      if (!RemoveOpenVpnServerRoutes(error)) return false;
      std::string scratch;
      if (!SecureRemoveFile(kOpenVpnPid, &scratch)) unlink(kOpenVpnPid);
      unlink(kOpenVpnRoutesAdded);
      return SecureRemoveFile(kOpenVpnConfig, error);
    }
  }
  return true;
}

// ---- OpenVPN ---------------------------------------------------------------

// Forces the device onto "tun-tessaryvpn"; inline blocks (certificates and
// keys) pass through untouched. Lines are read as validation read them, so
// every line openvpn takes for a dev option is the one replaced.
std::string RewriteOpenVpnConfig(const std::string& config) {
  // Reserved once: growing would free partial copies of inline keys unwiped.
  // Only device lines grow, each to deviceLine, and each takes at least
  // "dev" and a newline of the input.
  const std::string deviceLine = std::string("dev ") + kOpenVpnInterface;
  std::string rewritten;
  rewritten.reserve(config.size() + 1 + (config.size() / 4 + 1) * deviceLine.size());
  ForEachOpenVpnLine(config, [&](const OpenVpnLine& line) {
    if (line.kind == OpenVpnLine::Kind::kDirective && Lowercase(line.words[0]) == "dev") {
      rewritten.append(deviceLine);
    } else {
      rewritten.append(line.text);
    }
    rewritten.push_back('\n');
    return true;
  });
  return rewritten;
}

// ---- process engines -------------------------------------------------------

namespace {

bool BuildSingBoxConfig(const std::string& protocol, const std::string& config, std::string* text,
                        std::string* error) {
  return NormalizeSingBoxConfig(protocol, config, text, error);
}

bool BuildXrayConfig(const std::string&, const std::string& config, std::string* text,
                     std::string* error) {
  return NormalizeXrayConfig(config, text, error);
}

bool BuildOpenVpnConfig(const std::string&, const std::string& config, std::string* text,
                        std::string*) {
  *text = RewriteOpenVpnConfig(config);
  return true;
}

constexpr const char* kSingBoxCheckArgv[] = {kSingBoxBinary, "check", "-c", kSingBoxConfig,
                                             nullptr};
constexpr const char* kSingBoxArgv[] = {kSingBoxBinary,    "run",  "-c", kSingBoxConfig,
                                        "--disable-color", nullptr};
constexpr const char* kXrayCheckArgv[] = {kXrayBinary, "run",       "-test",
                                          "-config",   kXrayConfig, nullptr};
constexpr const char* kXrayArgv[] = {kXrayBinary, "run", "-config", kXrayConfig, nullptr};
// The options after the profile are the service's, so that neither the
// profile nor a server's push undoes them: pushed IPv4 routes may name the
// uplink's gateway (pushed IPv6 ones always go through the tunnel device), a
// fixed local port listens on every address, a cipher "none" carries the
// tunnel in clear text, and compression can reveal what it carries. The
// route-up command says that every route of the session is in.
constexpr const char* kOpenVpnArgv[] = {kOpenVpnBinary,
                                        "--config",
                                        kOpenVpnConfig,
                                        "--script-security",
                                        "2",
                                        "--up",
                                        kDnsHelper,
                                        "--down",
                                        kDnsHelper,
                                        "--down-pre",
                                        "--route-up",
                                        kOpenVpnRouteUpCommand,
                                        "--auth-nocache",
                                        "--writepid",
                                        kOpenVpnPid,
                                        "--verb",
                                        "3",
                                        "--suppress-timestamps",
                                        "--pull-filter",
                                        "ignore",
                                        "route ",
                                        "--nobind",
                                        "--data-ciphers",
                                        "AES-256-GCM:AES-128-GCM:CHACHA20-POLY1305",
                                        "--allow-compression",
                                        "no",
                                        "--mark",
                                        kOpenVpnSocketMark,
                                        nullptr};

// ---- engine routing ----------------------------------------------------------

// Deletes, in both families, every rule that `ours` picks. Rules at a
// priority the service chose for an engine go by priority alone; others by
// their table too.
bool RemoveEngineRules(bool (*ours)(const PolicyRule&), bool (*ownPriority)(guint32),
                       const char* engine, std::string* error) {
  for (unsigned char family : {AF_INET, AF_INET6}) {
    std::vector<PolicyRule> rules;
    if (!ListPolicyRules(family, &rules)) {
      *error =
          std::string("Unable to list routing rules to clear what ") + engine + " left behind.";
      return false;
    }
    for (PolicyRule rule : rules) {
      if (!ours(rule)) continue;
      if (ownPriority(rule.priority)) rule.table = 0;
      if (!DeletePolicyRule(rule)) {
        *error = std::string("Unable to remove a routing rule ") + engine + " left behind.";
        return false;
      }
    }
  }
  return true;
}

// sing-box with auto_route numbers its rules from iproute2_rule_index up to
// ten above it (and with auto_redirect, which the service leaves off, one
// more at its fallback index). A sing-box that ends on SIGTERM removes them;
// one that is killed leaves them, and its strict rules would keep routing
// into a table that no longer exists.
constexpr guint32 kSingBoxFallbackRulePriority = 32768;

bool SingBoxOwnPriority(guint32 priority) {
  return priority >= kSingBoxRulePriority && priority <= kSingBoxRulePriority + 10;
}

bool SingBoxRule(const PolicyRule& rule) {
  return SingBoxOwnPriority(rule.priority) ||
         (rule.priority == kSingBoxFallbackRulePriority &&
          rule.table == static_cast<guint32>(kSingBoxRouteTable));
}

bool ClearSingBoxRouting(std::string* error) {
  return RemoveEngineRules(SingBoxRule, SingBoxOwnPriority, "Sing-box", error);
}

// This Xray brings its TUN interface up and nothing more, so the service
// routes for it the way wg-quick does for WireGuard: everything but Xray's
// own marked sockets goes to table 2023, whose default route is the tunnel;
// the main table keeps its more specific routes (the uplink's own network).
constexpr char kXrayTableText[] = "2023";
constexpr char kXrayMarkText[] = "2023";
static_assert(kXrayRouteTable == 2023 && kXrayRoutingMark == 2023);
constexpr guint32 kXrayMarkRulePriority = 9101;
constexpr char kXrayMarkRulePriorityText[] = "9101";
constexpr char kXraySuppressRulePriorityText[] = "9100";
constexpr guint32 kXraySuppressRulePriority = 9100;

bool XrayOwnPriority(guint32 priority) {
  return priority == kXrayMarkRulePriority || priority == kXraySuppressRulePriority;
}

bool XrayRule(const PolicyRule& rule) { return XrayOwnPriority(rule.priority); }

bool ClearXrayRouting(std::string* error) {
  return RemoveEngineRules(XrayRule, XrayOwnPriority, "Xray", error);
}

}  // namespace

bool ClearEngineRouting(std::string* error) {
  return RemoveEngineRules(
      [](const PolicyRule& rule) { return SingBoxRule(rule) || XrayRule(rule); },
      [](guint32 priority) { return SingBoxOwnPriority(priority) || XrayOwnPriority(priority); },
      "the VPN engine", error);
}

namespace {

bool InterfaceIsUp(const char* name) {
  g_autofree gchar* flags = nullptr;
  if (!g_file_get_contents((std::string("/sys/class/net/") + name + "/flags").c_str(), &flags,
                           nullptr, nullptr)) {
    return false;
  }
  return (g_ascii_strtoull(flags, nullptr, 16) & 0x1) != 0;  // IFF_UP; sysfs writes "0x..."
}

bool RouteXrayTunnel(std::string* error) {
  if (!InterfaceIsUp(kXrayInterface)) return false;
  std::string scratch;
  const std::vector<std::vector<const char*>> steps = {
      {kIpBinary, "-4", "address", "replace", kXrayInterfaceAddress4, "dev", kXrayInterface},
      {kIpBinary, "-6", "address", "replace", kXrayInterfaceAddress6, "dev", kXrayInterface,
       "nodad"},
      {kIpBinary, "-4", "route", "replace", "default", "dev", kXrayInterface, "table",
       kXrayTableText},
      {kIpBinary, "-6", "route", "replace", "default", "dev", kXrayInterface, "table",
       kXrayTableText},
      {kIpBinary, "-4", "rule", "add", "priority", kXrayMarkRulePriorityText, "not", "fwmark",
       kXrayMarkText, "table", kXrayTableText},
      {kIpBinary, "-4", "rule", "add", "priority", kXraySuppressRulePriorityText, "table", "main",
       "suppress_prefixlength", "0"},
      {kIpBinary, "-6", "rule", "add", "priority", kXrayMarkRulePriorityText, "not", "fwmark",
       kXrayMarkText, "table", kXrayTableText},
      {kIpBinary, "-6", "rule", "add", "priority", kXraySuppressRulePriorityText, "table", "main",
       "suppress_prefixlength", "0"},
  };
  for (const auto& step : steps) {
    if (!RunCommand(step, &scratch)) {
      *error = "Unable to route through the Xray tunnel interface.";
      return false;
    }
  }
  return true;
}

constexpr std::chrono::milliseconds kStartupBound{10000};
constexpr std::chrono::milliseconds kOpenVpnStartupBound{30000};

constexpr ProcessEngine kProcessEngines[] = {
    {kSingBox, kSingBoxConfig, kSingBoxInterfacePath, BuildSingBoxConfig, kSingBoxCheckArgv,
     "Sing-box rejected the generated configuration.", kSingBoxArgv, kStartupBound, nullptr,
     ClearSingBoxRouting, nullptr},
    {kXray, kXrayConfig, kXrayInterfacePath, BuildXrayConfig, kXrayCheckArgv,
     "Xray rejected the generated configuration.", kXrayArgv, kStartupBound, RouteXrayTunnel,
     ClearXrayRouting, nullptr},
    {kOpenVpn, kOpenVpnConfig, kOpenVpnInterfacePath, BuildOpenVpnConfig, nullptr, nullptr,
     kOpenVpnArgv, kOpenVpnStartupBound, nullptr, nullptr, kOpenVpnRoutesAdded},
};

}  // namespace

const ProcessEngine* ProcessEngineFor(EngineKind kind) {
  for (const ProcessEngine& engine : kProcessEngines) {
    if (engine.kind == kind) return &engine;
  }
  return nullptr;
}

std::vector<const char*> ArgvWithoutNull(const char* const* argv) {
  std::vector<const char*> list;
  for (; *argv != nullptr; ++argv) list.push_back(*argv);
  return list;
}

}  // namespace tessary::linux_service
