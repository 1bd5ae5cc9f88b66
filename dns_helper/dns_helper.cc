// tessaryvpn-dns: points systemd-resolved at a tunnel's DNS servers and takes
// that setting back, by running resolvectl. Started by the service for
// WireGuard tunnels and OpenVPN clean-up, and by OpenVPN as its up and down
// script. It keeps no state, writes no files and talks to no bus: the only
// lasting effect is resolved's per-link setting of one of the two tunnels.
#include <gio/gio.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "common/constants.h"
#include "common/tool_run.h"

namespace tessary::linux_service {

// The only links this program ever touches; anything else is refused so that
// an OpenVPN environment cannot steer it at the machine's own interfaces.
struct Tunnel {
  const char* interface;
  const char* presencePath;  // its sysfs directory exists while the link does
};

constexpr Tunnel kWireGuardTunnel{kWireGuardInterface, kWireGuardInterfacePath};
constexpr Tunnel kOpenVpnTunnel{kOpenVpnInterface, kOpenVpnInterfacePath};

namespace {

// OpenVPN numbers pushed options from 1; nothing beyond this is looked at.
constexpr int kMaxForeignOption = 256;

constexpr char kTooManyAddresses[] = "Too many WireGuard DNS addresses.";
constexpr char kInvalidAddress[] = "Invalid WireGuard DNS address.";
constexpr char kUnexpectedInterface[] = "Unexpected OpenVPN interface.";
constexpr char kNoPushedServer[] = "OpenVPN did not provide a valid DNS server.";
constexpr char kApplyFailed[] = "Unable to apply VPN DNS through systemd-resolved.";
constexpr char kUnexpectedEvent[] = "Unexpected VPN DNS lifecycle event.";

int Fail(const char* message) {
  std::fputs(message, stderr);
  std::fputc('\n', stderr);
  return 1;
}

bool IsAddress(const char* text) {
  g_autoptr(GInetAddress) address = g_inet_address_new_from_string(text);
  return address != nullptr;
}

// sysfs entries under /sys/class/net are links to directories, so the
// directory test must follow links.
bool IsPresent(const Tunnel& tunnel) {
  return g_file_test(tunnel.presencePath, G_FILE_TEST_IS_DIR);
}

// ASCII-only case folding: OpenVPN sends "DNS" and "DNS6" in upper case, and
// the locale must not change what matches.
bool EqualsIgnoringCase(const std::string& text, const char* expected) {
  return g_ascii_strcasecmp(text.c_str(), expected) == 0;
}

// The first `count` words of `text`, split at runs of white space; missing
// words are empty.
std::vector<std::string> FirstWords(const char* text, size_t count) {
  std::vector<std::string> words(count);
  size_t found = 0;
  const char* cursor = text;
  while (found < count) {
    while (*cursor != '\0' && g_ascii_isspace(*cursor)) ++cursor;
    if (*cursor == '\0') break;
    const char* start = cursor;
    while (*cursor != '\0' && !g_ascii_isspace(*cursor)) ++cursor;
    words[found++].assign(start, static_cast<size_t>(cursor - start));
  }
  return words;
}

}  // namespace

// Runs one resolvectl command within the resolver's limit, so a hung
// resolved cannot hold up the service or OpenVPN. The child shares this
// program's environment and standard input (GSubprocess would give it
// /dev/null); its output is dropped. Succeeds exactly on a normal exit with
// status 0.
bool Run(const std::vector<std::string>& words) {
  ToolCommand command;
  command.argv = {kResolveCtl};
  for (const std::string& word : words) command.argv.push_back(word.c_str());
  command.limit = ToolLimit::kResolver;
  command.inheritInput = true;
  return RunTool(command, nullptr);
}

// Clears the link's DNS setting. An absent link has nothing left to clear.
bool Revert(const Tunnel& tunnel) {
  if (!IsPresent(tunnel)) return true;
  return Run({"revert", tunnel.interface});
}

// Sets the servers, routes every name to them and makes the link the default
// route. Any failed step reverts the link, so it is never left with servers
// that only some names reach.
bool Apply(const Tunnel& tunnel, const std::vector<std::string>& servers) {
  if (!IsPresent(tunnel) || servers.empty()) return false;
  std::vector<std::string> dns = {"dns", tunnel.interface};
  dns.insert(dns.end(), servers.begin(), servers.end());
  if (Run(dns) && Run({"domain", tunnel.interface, "~."}) &&
      Run({"default-route", tunnel.interface, "true"})) {
    return true;
  }
  Revert(tunnel);
  return false;
}

// The servers an OpenVPN server pushed as "dhcp-option DNS|DNS6 ADDRESS", in
// the order of their option numbers. Gaps in the numbering are normal (other
// pushed options are removed or filtered), so every index is looked at. More
// than kMaxDnsServers yields an empty list, which the caller refuses.
std::vector<std::string> DnsServersFromEnvironment() {
  std::vector<std::string> servers;
  for (int index = 1; index <= kMaxForeignOption; ++index) {
    const std::string name = "foreign_option_" + std::to_string(index);
    const char* value = g_getenv(name.c_str());
    if (value == nullptr) continue;
    const std::vector<std::string> words = FirstWords(value, 3);
    if (!EqualsIgnoringCase(words[0], "dhcp-option")) continue;
    if (!EqualsIgnoringCase(words[1], "dns") && !EqualsIgnoringCase(words[1], "dns6")) continue;
    if (!IsAddress(words[2].c_str())) continue;
    if (servers.size() == kMaxDnsServers) return {};
    servers.push_back(words[2]);
  }
  return servers;
}

namespace {

int ApplyWireGuard(int argc, char** argv) {
  if (static_cast<size_t>(argc - 2) > kMaxDnsServers) return Fail(kTooManyAddresses);
  std::vector<std::string> servers;
  for (int index = 2; index < argc; ++index) {
    if (!IsAddress(argv[index])) return Fail(kInvalidAddress);
    servers.emplace_back(argv[index]);
  }
  return Apply(kWireGuardTunnel, servers) ? 0 : 1;
}

// OpenVPN runs this program with its script environment and its own
// positional arguments, which are ignored: only the environment says which
// event this is.
int RunOpenVpnScript() {
  const char* dev = g_getenv("dev");
  if (dev == nullptr || std::strcmp(dev, kOpenVpnTunnel.interface) != 0) {
    return Fail(kUnexpectedInterface);
  }
  const char* event = g_getenv("script_type");
  if (event == nullptr) return Fail(kUnexpectedEvent);
  if (std::strcmp(event, "down") == 0 || std::strcmp(event, "route-pre-down") == 0) {
    return Revert(kOpenVpnTunnel) ? 0 : 1;
  }
  if (std::strcmp(event, "up") != 0) return Fail(kUnexpectedEvent);
  const std::vector<std::string> servers = DnsServersFromEnvironment();
  if (servers.empty()) return Fail(kNoPushedServer);
  return Apply(kOpenVpnTunnel, servers) ? 0 : Fail(kApplyFailed);
}

}  // namespace
}  // namespace tessary::linux_service

int main(int argc, char** argv) {
  using namespace tessary::linux_service;
  const char* mode = argc > 1 ? argv[1] : nullptr;
  if (mode != nullptr && std::strcmp(mode, "revert") == 0) {
    return Revert(kOpenVpnTunnel) ? 0 : 1;
  }
  if (mode != nullptr && std::strcmp(mode, "revert-wireguard") == 0) {
    return Revert(kWireGuardTunnel) ? 0 : 1;
  }
  if (mode != nullptr && std::strcmp(mode, "apply-wireguard") == 0 && argc > 2) {
    return ApplyWireGuard(argc, argv);
  }
  return RunOpenVpnScript();
}
