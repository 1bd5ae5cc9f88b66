// The engine slot: fixed tools and files, time-limited commands, private
// configuration files, the WireGuard engine driven through wg-quick, the
// long-running engines and their supervision, and route verification.
#include "service/engine_runtime.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <glib/gstdio.h>
#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "common/constants.h"
#include "service/config_normalization.h"
#include "service/config_validation.h"
#include "service/kill_switch.h"
#include "service/profile_lines.h"
#include "service/profile_text.h"
#include "service/route_check.h"

namespace tessary::linux_service {
namespace {

using Environment = std::vector<std::pair<std::string, std::string>>;

constexpr GSubprocessFlags kSilentFlags = static_cast<GSubprocessFlags>(
    G_SUBPROCESS_FLAGS_STDOUT_SILENCE | G_SUBPROCESS_FLAGS_STDERR_SILENCE);
constexpr std::chrono::milliseconds kStopGrace{8000};
// How long SIGKILL may take to end a process that is not our child.
constexpr std::chrono::milliseconds kKillGrace{2000};
// How long an engine whose tunnel vanished may take to finish exiting.
constexpr std::chrono::milliseconds kDyingEngineGrace{300};
constexpr std::chrono::milliseconds kStartupBound{10000};
constexpr std::chrono::milliseconds kOpenVpnStartupBound{30000};
// How often the start-up wait looks at the cancellation flag, and how long it
// goes without looking at routes when the kernel reports no change.
constexpr std::chrono::milliseconds kStartupSlice{50};
constexpr std::chrono::milliseconds kStartupRecheck{500};
// A server that has not answered a prompted handshake in this time is taken
// for absent: WireGuard's own retry comes after five seconds.
constexpr std::chrono::milliseconds kHandshakeWait{8000};
constexpr gulong kHandshakePollMicros = 100000;

// Whether the WireGuard tunnel that is up came from awg-quick, so that the
// same tool takes it down. Written and read on different worker threads.
std::atomic<bool> g_wireguard_uses_amnezia{false};

bool IsExecutable(const char* path) { return g_file_test(path, G_FILE_TEST_IS_EXECUTABLE); }

bool InterfacePresent(const char* sysfsPath) { return g_file_test(sysfsPath, G_FILE_TEST_IS_DIR); }

// A symbolic link does not count: the engines must not be pointed elsewhere.
bool IsRegularFile(const char* path) {
  struct stat st {};
  return lstat(path, &st) == 0 && S_ISREG(st.st_mode);
}

std::string ErrnoText(int error) { return g_strerror(error); }

bool IsRegularDescriptor(int fd) {
  struct stat st {};
  return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

// Calls visit(line) for each "\n"-separated line; a final newline does not
// start another line. Stops early when visit returns false.
template <typename Visit>
void ForEachLine(const std::string& text, Visit visit) {
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    if (!visit(text.substr(start, end - start))) return;
    start = end + 1;
  }
}

// ---- command runners -------------------------------------------------------

std::vector<const char*> WithPrefix(std::initializer_list<const char*> prefix,
                                    const std::vector<const char*>& argv) {
  std::vector<const char*> full(prefix);
  full.insert(full.end(), argv.begin(), argv.end());
  full.push_back(nullptr);
  return full;
}

bool FinishCommand(GSubprocess* process, GError* spawnError, std::string* error) {
  g_autoptr(GError) waitError = nullptr;
  if (process != nullptr) {
    if (g_subprocess_wait_check(process, nullptr, &waitError)) return true;
    if (g_subprocess_get_if_exited(process) && g_subprocess_get_exit_status(process) == 124) {
      *error = "The VPN engine operation timed out.";
      return false;
    }
  }
  GError* reported = waitError != nullptr ? waitError : spawnError;
  *error = reported != nullptr && reported->message != nullptr ? reported->message
                                                               : "The VPN engine command failed.";
  return false;
}

bool RunCommand(const std::vector<const char*>& argv, std::string* error) {
  if (!IsExecutable(kTimeoutBinary)) {
    *error = "The required coreutils timeout command is unavailable.";
    return false;
  }
  std::vector<const char*> full =
      WithPrefix({kTimeoutBinary, "--signal=TERM", "--kill-after=3s", "12s"}, argv);
  g_autoptr(GError) spawnError = nullptr;
  g_autoptr(GSubprocess) process = g_subprocess_newv(full.data(), kSilentFlags, &spawnError);
  return FinishCommand(process, spawnError, error);
}

bool RunCommandWithEnvironment(const std::vector<const char*>& argv, const Environment& environment,
                               std::string* error) {
  if (!IsExecutable(kTimeoutBinary)) {
    *error = "The required coreutils timeout command is unavailable.";
    return false;
  }
  std::vector<const char*> full =
      WithPrefix({kTimeoutBinary, "--signal=TERM", "--kill-after=3s", "12s"}, argv);
  g_autoptr(GSubprocessLauncher) launcher = g_subprocess_launcher_new(kSilentFlags);
  for (const auto& [name, value] : environment) {
    g_subprocess_launcher_setenv(launcher, name.c_str(), value.c_str(), TRUE);
  }
  g_autoptr(GError) spawnError = nullptr;
  g_autoptr(GSubprocess) process = g_subprocess_launcher_spawnv(launcher, full.data(), &spawnError);
  return FinishCommand(process, spawnError, error);
}

bool CaptureCommand(const std::vector<const char*>& argv, std::string* output) {
  if (!IsExecutable(kTimeoutBinary)) return false;
  std::vector<const char*> full =
      WithPrefix({kTimeoutBinary, "--signal=TERM", "--kill-after=1s", "3s"}, argv);
  g_autoptr(GSubprocess) process =
      g_subprocess_newv(full.data(),
                        static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                                      G_SUBPROCESS_FLAGS_STDERR_SILENCE),
                        nullptr);
  if (process == nullptr) return false;
  g_autofree gchar* collected = nullptr;
  if (!g_subprocess_communicate_utf8(process, nullptr, nullptr, &collected, nullptr, nullptr)) {
    // The pipe may have failed before the child ended; never leave it behind.
    g_subprocess_force_exit(process);
    g_subprocess_wait(process, nullptr, nullptr);
    return false;
  }
  if (!g_subprocess_get_successful(process)) return false;
  *output = collected != nullptr ? collected : "";
  return true;
}

Environment AmneziaEnvironment() {
  return {
      {"PATH", std::string(kAmneziaWgRuntimeDirectory) + ":/usr/sbin:/usr/bin"},
      {"WG_QUICK_USERSPACE_IMPLEMENTATION", kAmneziaWgEngine},
  };
}

// ---- private runtime files -------------------------------------------------

// A descriptor that is closed on every path out of its scope; -1 is none.
using Descriptor = int;
void CloseDescriptor(Descriptor fd) { close(fd); }
G_DEFINE_AUTO_CLEANUP_FREE_FUNC(Descriptor, CloseDescriptor, -1)

bool WritePrivateFile(const char* path, const std::string& content, std::string* error) {
  if (g_mkdir_with_parents(kRuntimeDirectory, 0700) != 0) {
    *error = "Unable to create the private runtime directory: " + ErrnoText(errno);
    return false;
  }
  if (chmod(kRuntimeDirectory, 0700) != 0) {
    *error = "Unable to secure the private runtime directory: " + ErrnoText(errno);
    return false;
  }
  // O_NONBLOCK: a FIFO planted at the path must fail the open rather than
  // wait forever for a reader. It has no effect on the regular file we write.
  g_auto(Descriptor) fd =
      open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0600);
  if (fd < 0) {
    *error = "Unable to create the private VPN configuration: " + ErrnoText(errno);
    return false;
  }
  if (!IsRegularDescriptor(fd)) {
    // Not ours to unlink: whatever sits there is left for the removal to report.
    *error = "Private runtime data is not a regular file.";
    return false;
  }
  auto fail = [&](const char* text, int cause) {
    *error = text + ErrnoText(cause);
    unlink(path);
    return false;
  };
  if (fchmod(fd, 0600) != 0) {
    return fail("Unable to secure the private VPN configuration: ", errno);
  }
  size_t done = 0;
  while (done < content.size()) {
    ssize_t written = write(fd, content.data() + done, content.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      // A zero-length write sets no errno; name the disk as the likely cause.
      return fail("Unable to write the private VPN configuration: ", written < 0 ? errno : ENOSPC);
    }
    done += static_cast<size_t>(written);
  }
  if (fsync(fd) != 0) {
    return fail("Unable to persist the private VPN configuration: ", errno);
  }
  return true;
}

bool SecureRemoveFile(const char* path, std::string* error) {
  g_auto(Descriptor) fd = open(path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return true;
    *error = "Unable to open private runtime data for removal: " + ErrnoText(errno);
    return false;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = "Private runtime data is not a regular file.";
    return false;
  }
  static const char zeros[4096] = {};
  off_t offset = 0;
  while (offset < st.st_size) {
    size_t piece = static_cast<size_t>(std::min<off_t>(st.st_size - offset, sizeof zeros));
    ssize_t written = pwrite(fd, zeros, piece, offset);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      *error = "Unable to clear private runtime data.";
      return false;
    }
    offset += written;
  }
  fsync(fd);
  if (unlink(path) != 0 && errno != ENOENT) {
    *error = "Unable to remove private runtime data: " + ErrnoText(errno);
    return false;
  }
  return true;
}

// ---- openvpn's route to its server -----------------------------------------

// openvpn reaches its server around the tunnel through a host route via the
// uplink's gateway ("<server>/32 via <gateway>", for redirect-gateway). A
// killed openvpn leaves it behind, and once the uplink's gateway changes it
// sends every later connect to that server nowhere. A start records the host
// routes through a default route's gateway that appeared while openvpn came
// up, one "FAMILY DESTINATION GATEWAY DEVICE" line each, and whoever cleans up
// after openvpn removes those still there. A route openvpn adds for another
// server after a reconnect is not in the record.
constexpr char kOpenVpnServerRoutes[] = "/run/tessaryvpn/openvpn.routes";
constexpr gsize kServerRoutesMaxBytes = 4096;

struct GatewayRoute {
  int family = AF_INET;
  int prefixLength = 0;
  std::string destination;  // addresses in inet_ntop's form
  std::string gateway;
  std::string device;
};

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
      return SecureRemoveFile(kOpenVpnConfig, error);
    }
  }
  return true;
}

// ---- route verification ----------------------------------------------------

// A line counts when its destination is exactly `route` and its device is
// exactly `device`: "0.0.0.0/10" is not the split half "0.0.0.0/1", and a
// route through "tessaryvpn2" is not one through "tessaryvpn".
bool OutputContainsRoute(const std::string& output, const std::string& route,
                         const std::string& device) {
  const std::string deviceText = " dev " + device;
  auto endsToken = [](const std::string& line, size_t at) {
    return at >= line.size() || std::isspace(static_cast<unsigned char>(line[at]));
  };
  bool found = false;
  ForEachLine(output, [&](const std::string& line) {
    if (line.compare(0, route.size(), route) != 0 || !endsToken(line, route.size())) return true;
    for (size_t at = line.find(deviceText); at != std::string::npos;
         at = line.find(deviceText, at + 1)) {
      if (endsToken(line, at + deviceText.size())) {
        found = true;
        return false;
      }
    }
    return true;
  });
  return found;
}

bool ListingHasRoute(const std::vector<const char*>& argv, const char* route, const char* device) {
  std::string output;
  return CaptureCommand(argv, &output) && OutputContainsRoute(output, route, device);
}

// The cheap first step: the engine's default route appears in the listing.
bool ListingShowsFullRoute(EngineKind kind) {
  const std::vector<const char*> ipv4All = {kIpBinary, "-4", "route", "show", "table", "all"};
  const std::vector<const char*> ipv6All = {kIpBinary, "-6", "route", "show", "table", "all"};
  switch (kind) {
    case kUnsupported:
      return false;
    case kSingBox:
      return ListingHasRoute({kIpBinary, "-4", "route", "show", "table", "2022", "default"},
                             "default", kSingBoxInterface);
    case kXray:
      return ListingHasRoute(ipv4All, "default", kXrayInterface) &&
             ListingHasRoute(ipv6All, "default", kXrayInterface);
    case kWireGuard:
      return ListingHasRoute(ipv4All, "default", kWireGuardInterface) ||
             ListingHasRoute(ipv6All, "default", kWireGuardInterface);
    case kOpenVpn: {
      std::string output;
      if (!CaptureCommand(ipv4All, &output)) return false;
      return OutputContainsRoute(output, "default", kOpenVpnInterface) ||
             (OutputContainsRoute(output, "0.0.0.0/1", kOpenVpnInterface) &&
              OutputContainsRoute(output, "128.0.0.0/1", kOpenVpnInterface));
    }
  }
  return false;
}

// A listing shows what is configured, not what wins: a more specific route
// or a policy rule may still send traffic around the tunnel. The kernel's
// own route lookups decide.
bool HasFullRoute(EngineKind kind) {
  if (!ListingShowsFullRoute(kind)) return false;
  TunnelRoutes routes;
  std::string scratch;
  return LookUpTunnelRoutes(TunnelInterfaceFor(kind), &routes, &scratch) && IsFullTunnel(routes);
}

// What the start of an engine found of its routes.
enum class RouteVerdict { kFull, kOneFamily, kNotFull };

// Like HasFullRoute, but a tunnel that carries one family while the other
// leaves by the uplink gets that other family blocked, when `mayBlock`; the
// engine's own packets keep `exemptMark`, and its `servers` stay reachable.
RouteVerdict SecureFullRoute(EngineKind kind, uint32_t exemptMark,
                             const std::vector<std::string>& servers, bool mayBlock) {
  if (!ListingShowsFullRoute(kind)) return RouteVerdict::kNotFull;
  TunnelRoutes routes;
  std::string scratch;
  if (!LookUpTunnelRoutes(TunnelInterfaceFor(kind), &routes, &scratch)) {
    return RouteVerdict::kNotFull;
  }
  if (IsFullTunnel(routes)) return RouteVerdict::kFull;
  const bool ipv4Only = CarriesFamily(routes.ipv4) && routes.ipv6.throughTunnel == 0;
  const bool ipv6Only = CarriesFamily(routes.ipv6) && routes.ipv4.throughTunnel == 0;
  if (!routes.interfacePresent || (!ipv4Only && !ipv6Only)) return RouteVerdict::kNotFull;
  if (!mayBlock) return RouteVerdict::kOneFamily;
  if (!BlockFamily(ipv4Only ? AF_INET6 : AF_INET, exemptMark, servers, &scratch)) {
    return RouteVerdict::kNotFull;
  }
  return HasFullRoute(kind) ? RouteVerdict::kFull : RouteVerdict::kNotFull;
}

// Why a tunnel that was up no longer protects its traffic, or "" while it
// does. A kernel that cannot be asked proves nothing either way.
std::string TunnelLoss(EngineKind kind) {
  TunnelRoutes routes;
  std::string scratch;
  if (!LookUpTunnelRoutes(TunnelInterfaceFor(kind), &routes, &scratch)) return "";
  if (!routes.interfacePresent) {
    return std::string("The ") + EngineName(kind) + " tunnel interface " +
           TunnelInterfaceFor(kind) + " disappeared; traffic no longer goes through the tunnel.";
  }
  if (!IsFullTunnel(routes)) {
    return std::string("Traffic no longer goes through the ") + EngineName(kind) +
           " tunnel; the connection was stopped.";
  }
  return "";
}

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

enum class Handshake { kAnswered, kSilent, kCancelled };

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
// openvpn marks its own sockets with this, so that the kill switch admits
// the server for openvpn alone; wg-quick's marks start at 51820.
constexpr char kOpenVpnSocketMark[] = "29548";
constexpr uint32_t kOpenVpnSocketMarkValue = 29548;

// The options after the profile are the service's, so that neither the
// profile nor a server's push undoes them: pushed IPv4 routes may name the
// uplink's gateway (pushed IPv6 ones always go through the tunnel device), a
// fixed local port listens on every address, a cipher "none" carries the
// tunnel in clear text, and compression can reveal what it carries.
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

// Policy rules are listed and removed over rtnetlink in the service itself:
// this runs before every start, and a program run per family and rule would
// cost more than the rest of the clean-up.
struct PolicyRule {
  unsigned char family = 0;
  guint32 priority = 0;
  guint32 table = 0;
};

// Sends `request` on a fresh rtnetlink socket and hands each reply message to
// visit until the kernel says it is done; false on any failure or error reply
// (an error reply of ENOENT counts as done when `absentIsDone`, and one of
// EAFNOSUPPORT always).
template <typename Visit>
bool RouteNetlinkExchange(const void* request, size_t length, bool absentIsDone, Visit visit) {
  g_auto(Descriptor) fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return false;
  struct timeval timeout = {2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  if (send(fd, request, length, 0) != static_cast<ssize_t>(length)) return false;
  alignas(struct nlmsghdr) char buffer[32768];
  for (int reads = 0; reads < 4096; ++reads) {
    ssize_t received = recv(fd, buffer, sizeof buffer, 0);
    if (received < 0 && errno == EINTR) continue;
    if (received <= 0) return false;
    int left = static_cast<int>(received);
    for (auto* header = reinterpret_cast<struct nlmsghdr*>(buffer);
         NetlinkMessageFits(header, left); header = NLMSG_NEXT(header, left)) {
      if (header->nlmsg_type == NLMSG_DONE) return true;
      if (header->nlmsg_type == NLMSG_ERROR) {
        const auto* failure = static_cast<const struct nlmsgerr*>(NLMSG_DATA(header));
        // A family the kernel lacks holds no rules.
        return failure->error == 0 || failure->error == -EAFNOSUPPORT ||
               (absentIsDone && failure->error == -ENOENT);
      }
      visit(header);
    }
  }
  return false;
}

bool ListPolicyRules(unsigned char family, std::vector<PolicyRule>* rules) {
  struct {
    struct nlmsghdr header;
    struct fib_rule_hdr rule;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = RTM_GETRULE;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  request.rule.family = family;
  return RouteNetlinkExchange(&request, sizeof request, false, [&](struct nlmsghdr* header) {
    if (header->nlmsg_type != RTM_NEWRULE ||
        header->nlmsg_len < NLMSG_LENGTH(sizeof(struct fib_rule_hdr))) {
      return;
    }
    const auto* rule = static_cast<const struct fib_rule_hdr*>(NLMSG_DATA(header));
    PolicyRule entry;
    entry.family = rule->family;
    entry.table = rule->table;
    int left = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof *rule));
    for (auto* attribute = reinterpret_cast<struct rtattr*>(
             reinterpret_cast<char*>(NLMSG_DATA(header)) + NLMSG_ALIGN(sizeof *rule));
         RTA_OK(attribute, left); attribute = RTA_NEXT(attribute, left)) {
      if (RTA_PAYLOAD(attribute) < sizeof(guint32)) continue;
      if (attribute->rta_type == FRA_PRIORITY) memcpy(&entry.priority, RTA_DATA(attribute), 4);
      if (attribute->rta_type == FRA_TABLE) memcpy(&entry.table, RTA_DATA(attribute), 4);
    }
    rules->push_back(entry);
  });
}

// Deletes one rule of `rule.family` with its priority and, unless zero, its
// table; a rule already gone counts as deleted.
bool DeletePolicyRule(const PolicyRule& rule) {
  struct {
    struct nlmsghdr header;
    struct fib_rule_hdr rule;
    struct rtattr priority;
    guint32 priorityValue;
    struct rtattr table;
    guint32 tableValue;
  } request{};
  static_assert(sizeof request == NLMSG_LENGTH(sizeof(struct fib_rule_hdr)) + 2 * RTA_LENGTH(4));
  request.header.nlmsg_type = RTM_DELRULE;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
  request.rule.family = rule.family;
  request.priority.rta_type = FRA_PRIORITY;
  request.priority.rta_len = RTA_LENGTH(4);
  request.priorityValue = rule.priority;
  request.table.rta_type = FRA_TABLE;
  request.table.rta_len = RTA_LENGTH(4);
  request.tableValue = rule.table;
  request.header.nlmsg_len = rule.table != 0 ? sizeof request : sizeof request - RTA_LENGTH(4);
  return RouteNetlinkExchange(&request, request.header.nlmsg_len, true, [](struct nlmsghdr*) {});
}

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

// What either engine may have left, in one pass over the rules.
bool ClearEngineRouting(std::string* error) {
  return RemoveEngineRules(
      [](const PolicyRule& rule) { return SingBoxRule(rule) || XrayRule(rule); },
      [](guint32 priority) { return SingBoxOwnPriority(priority) || XrayOwnPriority(priority); },
      "the VPN engine", error);
}

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

// What sets the long-running engines apart. Argument vectors end with null
// and begin with the engine's program.
struct ProcessEngine {
  EngineKind kind;
  const char* configPath;
  const char* interfacePath;
  // Turns the validated profile into the text the engine runs from.
  bool (*buildConfig)(const std::string& protocol, const std::string& config, std::string* text,
                      std::string* error);
  const char* const* checkArgv;  // run on the written file first; null for none
  const char* checkFailure;
  const char* const* argv;
  std::chrono::milliseconds startupBound;
  // Run once the interface exists, until it succeeds; false while it cannot
  // yet. Null when the engine routes by itself.
  bool (*routeTunnel)(std::string* error);
  // Removes the rules and tables the engine, or its routing, may leave behind
  // when it is killed; null for none.
  bool (*clearRouting)(std::string* error);
};

constexpr ProcessEngine kProcessEngines[] = {
    {kSingBox, kSingBoxConfig, kSingBoxInterfacePath, BuildSingBoxConfig, kSingBoxCheckArgv,
     "Sing-box rejected the generated configuration.", kSingBoxArgv, kStartupBound, nullptr,
     ClearSingBoxRouting},
    {kXray, kXrayConfig, kXrayInterfacePath, BuildXrayConfig, kXrayCheckArgv,
     "Xray rejected the generated configuration.", kXrayArgv, kStartupBound, RouteXrayTunnel,
     ClearXrayRouting},
    {kOpenVpn, kOpenVpnConfig, kOpenVpnInterfacePath, BuildOpenVpnConfig, nullptr, nullptr,
     kOpenVpnArgv, kOpenVpnStartupBound, nullptr, nullptr},
};

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

// ---- process supervision ---------------------------------------------------

// What /proc/PID/stat says about a process: its state letter and its start
// time (field 22, clock ticks after boot). Both follow the last ")", since
// the command name in parentheses may itself contain blanks or brackets.
struct ProcessStat {
  char state = '\0';
  unsigned long long startTime = 0;
};

// Neither a zombie nor dead.
bool IsRunning(const ProcessStat& stat) { return stat.state != 'Z' && stat.state != 'X'; }

bool ReadProcessStat(const std::string& pid, ProcessStat* stat) {
  g_autofree gchar* contents = nullptr;
  if (!g_file_get_contents(("/proc/" + pid + "/stat").c_str(), &contents, nullptr, nullptr)) {
    return false;
  }
  const char* close = strrchr(contents, ')');
  if (close == nullptr || close[1] != ' ' || close[2] == '\0') return false;
  g_auto(GStrv) fields = g_strsplit(close + 2, " ", 0);
  // Field 3 (the state) is fields[0], so field 22 is fields[19].
  if (g_strv_length(fields) < 20 || fields[0][0] == '\0') return false;
  guint64 startTime = 0;
  if (!g_ascii_string_to_unsigned(fields[19], 10, 0, G_MAXUINT64, &startTime, nullptr)) {
    return false;
  }
  stat->state = fields[0][0];
  stat->startTime = startTime;
  return true;
}

bool ProcessIsAlive(GSubprocess* process) {
  const char* identifier = g_subprocess_get_identifier(process);
  if (identifier == nullptr || *identifier == '\0') return false;
  ProcessStat stat;
  return ReadProcessStat(identifier, &stat) && IsRunning(stat);
}

bool WaitForProcess(GSubprocess* process, std::chrono::milliseconds timeout) {
  g_autoptr(GCancellable) cancellable = g_cancellable_new();
  std::mutex mutex;
  std::condition_variable condition;
  bool finished = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mutex);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    condition.wait_until(lock, deadline, [&] { return finished; });
    if (!finished) g_cancellable_cancel(cancellable);
  });
  g_autoptr(GError) waitError = nullptr;
  bool ended = g_subprocess_wait(process, cancellable, &waitError);
  {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
  }
  condition.notify_all();
  watchdog.join();
  return ended;
}

// Ends an engine that failed to start: SIGTERM, the grace period, then SIGKILL.
void TerminateProcess(GSubprocess* process) {
  if (ProcessIsAlive(process)) g_subprocess_send_signal(process, SIGTERM);
  if (!WaitForProcess(process, kStopGrace)) {
    g_subprocess_force_exit(process);
    g_subprocess_wait(process, nullptr, nullptr);
  }
}

// ---- the record of a running process engine ---------------------------------

// A service killed outright leaves its engine running, reparented and out of
// reach of the next run's GSubprocess. The record lets that run find it and
// stop it, but only while the pid still names the same process.
struct EngineRecord {
  EngineKind kind = kUnsupported;
  pid_t pid = 0;
  unsigned long long startTime = 0;
};

constexpr gsize kEngineRecordMaxBytes = 128;

// Writes "KIND PID STARTTIME\n". A child that is already gone needs no record.
bool WriteEngineRecord(EngineKind kind, GSubprocess* child, std::string* error) {
  const char* identifier = g_subprocess_get_identifier(child);
  ProcessStat stat;
  if (identifier == nullptr || !ReadProcessStat(identifier, &stat)) return true;
  return WritePrivateFile(kEngineRecord,
                          std::to_string(static_cast<int>(kind)) + " " + identifier + " " +
                              std::to_string(stat.startTime) + "\n",
                          error);
}

// False when there is no record or it is not one this service wrote. The
// open never blocks and never follows a link, like every private-file open.
bool ReadEngineRecord(EngineRecord* record) {
  g_auto(Descriptor) fd = open(kEngineRecord, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  char buffer[kEngineRecordMaxBytes + 1];
  ssize_t size = IsRegularDescriptor(fd) ? read(fd, buffer, kEngineRecordMaxBytes) : -1;
  if (size <= 0) return false;
  buffer[size] = '\0';
  g_auto(GStrv) fields = g_strsplit_set(g_strchomp(buffer), " ", 0);
  guint64 kind = 0;
  guint64 pid = 0;
  guint64 startTime = 0;
  if (g_strv_length(fields) != 3 ||
      !g_ascii_string_to_unsigned(fields[0], 10, kSingBox, kOpenVpn, &kind, nullptr) ||
      kind == kWireGuard ||
      !g_ascii_string_to_unsigned(fields[1], 10, 2, G_MAXINT32, &pid, nullptr) ||
      !g_ascii_string_to_unsigned(fields[2], 10, 0, G_MAXUINT64, &startTime, nullptr)) {
    return false;
  }
  record->kind = static_cast<EngineKind>(kind);
  record->pid = static_cast<pid_t>(pid);
  record->startTime = startTime;
  return true;
}

// Called directly: this C library's <sys/pidfd.h> lacks C linkage for C++.
int OpenPidfd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }
void SignalPidfd(int pidfd, int signal) {
  syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0);
}

// Waits up to `timeout` for the process behind `pidfd` to end.
bool WaitForPidfd(int pidfd, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    struct pollfd ready = {pidfd, POLLIN, 0};
    int result = poll(&ready, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (result > 0) return true;
    if (result == 0 || errno != EINTR) return false;
  }
}

// Whether the recorded pid still names the engine the record was written for:
// the same start time, still running, still the engine's program (also after
// a package update replaced the file it runs from).
bool IsRecordedEngine(const EngineRecord& record, const char* program) {
  ProcessStat stat;
  const std::string pid = std::to_string(record.pid);
  if (!ReadProcessStat(pid, &stat) || stat.startTime != record.startTime || !IsRunning(stat)) {
    return false;
  }
  g_autofree gchar* executable = g_file_read_link(("/proc/" + pid + "/exe").c_str(), nullptr);
  if (executable == nullptr) return false;
  const std::string running = executable;
  return running == program || running == std::string(program) + " (deleted)";
}

// Stops the engine an earlier run of the service recorded, as StopProcess
// would, when it is still that engine; anything else the pid now names is
// left alone. The record goes unless the engine could not be ended.
bool StopOrphanEngine(std::string* error) {
  EngineRecord record;
  const ProcessEngine* engine = nullptr;
  if (ReadEngineRecord(&record)) engine = ProcessEngineFor(record.kind);
  // Holding a pidfd pins the process: once the checks pass, the signals
  // cannot reach another process that reused the pid.
  g_auto(Descriptor) pidfd = engine != nullptr ? OpenPidfd(record.pid) : -1;
  if (pidfd >= 0 && IsRecordedEngine(record, engine->argv[0])) {
    SignalPidfd(pidfd, SIGTERM);
    bool endedInTime = WaitForPidfd(pidfd, kStopGrace);
    bool ended = endedInTime;
    if (!endedInTime) {
      SignalPidfd(pidfd, SIGKILL);
      ended = WaitForPidfd(pidfd, kKillGrace);
    }
    if (!ended) {
      *error = std::string(EngineName(record.kind)) +
               " left running by an earlier run of the service could not be stopped.";
      return false;
    }
    if (!endedInTime) {
      std::string scratch;
      SecureRemoveFile(kEngineRecord, &scratch);
      *error = std::string(EngineName(record.kind)) +
               " required forced termination; route cleanup needs verification.";
      return false;
    }
  }
  return SecureRemoveFile(kEngineRecord, error);
}

// Everything a process engine runs from: its files and its record.
bool RemoveProcessEngineFiles(EngineKind kind, std::string* error) {
  std::string recordError;
  const bool recordRemoved = SecureRemoveFile(kEngineRecord, &recordError);
  const ProcessEngine* engine = ProcessEngineFor(kind);
  if (engine != nullptr && engine->clearRouting != nullptr && !engine->clearRouting(error)) {
    return false;
  }
  if (!RemoveConfigFor(kind, error)) return false;
  if (!recordRemoved) *error = recordError;
  return recordRemoved;
}

// ---- start-up wait ----------------------------------------------------------

// A socket on the kernel's link, address, route and rule notifications, so
// that the start-up wait looks again the moment the engine changes any of
// them. -1 when none can be had: the wait then looks at fixed intervals.
int OpenRouteMonitor() {
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) return -1;
  struct sockaddr_nl address {};
  address.nl_family = AF_NETLINK;
  address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                      RTMGRP_IPV6_ROUTE | RTMGRP_IPV4_RULE;
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  const int ipv6Rules = RTNLGRP_IPV6_RULE;
  setsockopt(fd, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &ipv6Rules, sizeof ipv6Rules);
  return fd;
}

// Reads what is queued; the messages only say that something changed. A full
// queue (ENOBUFS) says the same.
void DrainRouteMonitor(int fd) {
  char buffer[8192];
  for (int reads = 0; reads < 64; ++reads) {
    if (recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) < 0 && errno != ENOBUFS) return;
  }
}

enum class StartupOutcome { kReady, kExited, kCancelled, kTimedOut, kFailed };

// Waits, up to the engine's start-up bound, for its interface and the full
// route through it, waking on the kernel's notifications and on the engine's
// exit; an engine that exits is reported at once.
StartupOutcome WaitForStartup(const ProcessEngine& entry, GSubprocess* child,
                              const std::function<bool()>& cancelled,
                              const std::function<bool()>& tunnelReady, std::string* error) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + entry.startupBound;
  g_auto(Descriptor) monitor = OpenRouteMonitor();
  const char* identifier = g_subprocess_get_identifier(child);
  g_auto(Descriptor) pidfd =
      identifier != nullptr ? OpenPidfd(static_cast<pid_t>(atoi(identifier))) : -1;
  bool routed = entry.routeTunnel == nullptr;
  bool look = true;
  auto lastLook = Clock::now();
  while (true) {
    if (cancelled()) return StartupOutcome::kCancelled;
    if (!ProcessIsAlive(child)) return StartupOutcome::kExited;
    if (look || Clock::now() - lastLook >= kStartupRecheck) {
      look = false;
      lastLook = Clock::now();
      if (InterfacePresent(entry.interfacePath)) {
        if (!routed) {
          std::string routeError;
          routed = entry.routeTunnel(&routeError);
        }
        if (routed && tunnelReady()) return StartupOutcome::kReady;
      }
    }
    const auto now = Clock::now();
    if (now >= deadline) return StartupOutcome::kTimedOut;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    struct pollfd ready[2] = {{monitor, POLLIN, 0}, {pidfd, POLLIN, 0}};
    const int result = poll(
        ready, 2, static_cast<int>(std::min<long long>(left.count() + 1, kStartupSlice.count())));
    if (result < 0 && errno != EINTR) {
      *error = "Unable to wait for the VPN engine: " + ErrnoText(errno) + ".";
      return StartupOutcome::kFailed;
    }
    if (result > 0 && (ready[0].revents & POLLIN) != 0) {
      DrainRouteMonitor(monitor);
      look = true;
    }
    if (result > 0 && (ready[1].revents & POLLIN) != 0) look = true;
    if (monitor < 0) look = true;
  }
}

const char* InterfacePathFor(EngineKind kind) {
  switch (kind) {
    case kSingBox:
      return kSingBoxInterfacePath;
    case kXray:
      return kXrayInterfacePath;
    case kWireGuard:
      return kWireGuardInterfacePath;
    case kOpenVpn:
      return kOpenVpnInterfacePath;
    case kUnsupported:
      break;
  }
  return "";
}

}  // namespace

const char* TunnelInterfaceFor(EngineKind kind) {
  switch (kind) {
    case kUnsupported:
      return "";
    case kSingBox:
      return kSingBoxInterface;
    case kXray:
      return kXrayInterface;
    case kWireGuard:
      return kWireGuardInterface;
    case kOpenVpn:
      return kOpenVpnInterface;
  }
  return "";
}

EngineRuntime::~EngineRuntime() {
  std::string scratch;
  Stop(&scratch);
}

bool EngineRuntime::IsAvailable(EngineKind engine) const {
  auto commonSet = [] {
    return IsExecutable(kDnsHelper) && IsExecutable(kResolveCtl) && IsExecutable(kIpBinary) &&
           IsExecutable(kTimeoutBinary);
  };
  switch (engine) {
    case kUnsupported:
      return false;
    case kSingBox:
      return IsExecutable(kSingBoxBinary) && IsExecutable(kIpBinary);
    case kXray:
      return IsExecutable(kXrayBinary) && IsRegularFile(kXrayGeoIp) &&
             IsRegularFile(kXrayGeoSite) && IsExecutable(kIpBinary);
    case kWireGuard:
      return IsExecutable(kWireGuardQuick) && IsExecutable(kWireGuardTool) && commonSet();
    case kOpenVpn:
      return IsExecutable(kOpenVpnBinary) && commonSet();
  }
  return false;
}

std::string EngineRuntime::AvailabilitySummary() const {
  auto status = [this](EngineKind engine) { return IsAvailable(engine) ? "ready" : "missing"; };
  return std::string("Sing-box ") + status(kSingBox) + "; Xray " + status(kXray) + "; WireGuard " +
         status(kWireGuard) + "; OpenVPN " + status(kOpenVpn);
}

bool EngineRuntime::Start(EngineKind engine, const std::string& protocol, const std::string& config,
                          const std::function<bool()>& cancelled, std::string* error) {
  if (cancelled()) {
    *error = kCancelledMessage;
    return false;
  }
  if (!IsAvailable(engine)) {
    *error = std::string(EngineName(engine)) +
             " runtime is unavailable. Repair the TessaryVPN installation.";
    return false;
  }
  if (!Recover(error)) return false;
  // What holds the name now is none of ours (the clean-up took ours down);
  // an engine started over it would report that tunnel as its own.
  if (InterfacePresent(InterfacePathFor(engine))) {
    *error = std::string("The tunnel interface ") + TunnelInterfaceFor(engine) +
             " already exists; remove it or stop the program that created it.";
    return false;
  }
  if (cancelled()) {
    *error = kCancelledMessage;
    return false;
  }
  const bool started = engine == kWireGuard
                           ? StartWireGuard(config, cancelled, error)
                           : StartProcessEngine(engine, protocol, config, cancelled, error);
  std::string scratch;
  if (!started) LiftFamilyBlocks(&scratch);
  return started;
}

bool EngineRuntime::StartWireGuard(const std::string& config,
                                   const std::function<bool()>& cancelled, std::string* error) {
  std::string rewritten;
  std::vector<std::string> dns;
  RewriteWireGuardConfig(config, &rewritten, &dns);
  if (dns.empty()) {
    SecureClear(&rewritten);
    *error = "WireGuard did not provide a DNS server.";
    return false;
  }
  bool written = WritePrivateFile(kWireGuardConfig, rewritten, error);
  SecureClear(&rewritten);
  if (!written) return false;

  std::string scratch;
  bool amnezia = WireGuardConfigRequiresAmnezia(config);
  if (amnezia && !(IsExecutable(kAmneziaWgQuick) && IsExecutable(kAmneziaWgTool) &&
                   IsExecutable(kAmneziaWgEngine))) {
    SecureRemoveFile(kWireGuardConfig, &scratch);
    *error =
        "This server needs the AmneziaWG tools, which are missing. Repair the TessaryVPN "
        "installation.";
    return false;
  }
  g_wireguard_uses_amnezia.store(amnezia);
  if (!RunWireGuardQuick("up", amnezia, &scratch)) {
    if (InterfacePresent(kWireGuardInterfacePath)) {
      StopWireGuard(&scratch);
    } else {
      SecureRemoveFile(kWireGuardConfig, &scratch);
    }
    *error = "WireGuard failed to connect.";
    return false;
  }
  if (!InterfacePresent(kWireGuardInterfacePath)) {
    SecureRemoveFile(kWireGuardConfig, &scratch);
    *error = "WireGuard exited without creating the expected interface.";
    return false;
  }
  if (SecureFullRoute(kWireGuard, WireGuardMark(amnezia), {}, true) != RouteVerdict::kFull) {
    StopWireGuard(&scratch);
    *error = "WireGuard did not install a full-tunnel route.";
    return false;
  }
  // An interface and routes say nothing of the server: only its answer does.
  const Handshake handshake = WaitForWireGuardHandshake(amnezia, cancelled);
  if (handshake == Handshake::kCancelled) {
    *error = StopWireGuard(&scratch)
                 ? kCancelledMessage
                 : "The cancelled WireGuard connection could not be cleaned up.";
    return false;
  }
  if (handshake == Handshake::kSilent) {
    StopWireGuard(&scratch);
    *error =
        "The WireGuard server did not answer. Check that the server is online and that the "
        "profile's endpoint and keys are current.";
    return false;
  }
  std::vector<std::string> apply = {"apply-wireguard"};
  apply.insert(apply.end(), dns.begin(), dns.end());
  if (!RunWireGuardDnsCommand(apply, &scratch)) {
    StopWireGuard(&scratch);
    *error = "WireGuard connected but DNS setup failed.";
    return false;
  }
  if (cancelled()) {
    *error = StopWireGuard(&scratch)
                 ? kCancelledMessage
                 : "The cancelled WireGuard connection could not be cleaned up.";
    return false;
  }
  kind = kWireGuard;
  configPath = kWireGuardConfig;
  return true;
}

bool EngineRuntime::StartProcessEngine(EngineKind engine, const std::string& protocol,
                                       const std::string& config,
                                       const std::function<bool()>& cancelled, std::string* error) {
  const ProcessEngine* entry = ProcessEngineFor(engine);
  if (entry == nullptr) {
    *error = std::string(EngineName(engine)) +
             " runtime is unavailable. Repair the TessaryVPN installation.";
    return false;
  }
  std::string text;
  const bool written = entry->buildConfig(protocol, config, &text, error) &&
                       WritePrivateFile(entry->configPath, text, error);
  SecureClear(&text);
  if (!written) return false;

  std::string scratch;
  if (entry->checkArgv != nullptr && !RunCommand(ArgvWithoutNull(entry->checkArgv), &scratch)) {
    SecureRemoveFile(entry->configPath, &scratch);
    *error = entry->checkFailure;
    return false;
  }

  // openvpn's route to its server is told apart by what the start adds.
  const std::vector<GatewayRoute> routesBefore =
      engine == kOpenVpn ? GatewayRoutes() : std::vector<GatewayRoute>{};
  g_autoptr(GSubprocessLauncher) launcher = g_subprocess_launcher_new(kSilentFlags);
  g_subprocess_launcher_set_cwd(launcher, kAmneziaWgRuntimeDirectory);
  g_subprocess_launcher_setenv(launcher, "XRAY_LOCATION_ASSET", kAmneziaWgRuntimeDirectory, TRUE);
  g_autoptr(GError) spawnError = nullptr;
  g_autoptr(GSubprocess) child = g_subprocess_launcher_spawnv(launcher, entry->argv, &spawnError);
  if (child == nullptr) {
    SecureRemoveFile(entry->configPath, &scratch);
    *error = spawnError != nullptr && spawnError->message != nullptr
                 ? spawnError->message
                 : "Unable to start the VPN engine.";
    return false;
  }
  // Recorded before the wait: the service may be killed during it too.
  if (!WriteEngineRecord(engine, child, error)) {
    TerminateProcess(child);
    RemoveProcessEngineFiles(engine, &scratch);
    return false;
  }

  // An engine adds its routes one at a time: a family seen without the
  // tunnel is blocked only when it is still so a moment later.
  using Clock = std::chrono::steady_clock;
  bool oneFamilySeen = false;
  Clock::time_point oneFamilySince;
  std::vector<std::string> servers;
  const auto tunnelReady = [&] {
    const bool mayBlock = oneFamilySeen && Clock::now() - oneFamilySince >= kStartupRecheck;
    const RouteVerdict verdict = SecureFullRoute(engine, 0, servers, mayBlock);
    if (verdict == RouteVerdict::kOneFamily && !oneFamilySeen) {
      // The engine's sockets carry no mark: its servers stay reachable in
      // the family about to be blocked. None found leaves none open.
      std::string unresolved;
      std::vector<KillSwitchServer> found;
      CollectEndpointAddresses(engine, config, cancelled, &found, &unresolved);
      servers.clear();
      for (const KillSwitchServer& server : found) servers.push_back(server.address);
      oneFamilySince = Clock::now();
    }
    oneFamilySeen = verdict == RouteVerdict::kOneFamily;
    return verdict == RouteVerdict::kFull;
  };
  StartupOutcome outcome = WaitForStartup(*entry, child, cancelled, tunnelReady, error);
  if (engine == kOpenVpn) RecordOpenVpnServerRoutes(routesBefore);
  if (outcome == StartupOutcome::kReady) {
    process = static_cast<GSubprocess*>(g_steal_pointer(&child));
    kind = engine;
    configPath = entry->configPath;
    return true;
  }
  std::string exitText;
  if (outcome == StartupOutcome::kExited) {
    g_subprocess_wait(child, nullptr, nullptr);
    exitText = g_subprocess_get_if_signaled(child)
                   ? " was ended by signal " + std::to_string(g_subprocess_get_term_sig(child))
                   : " exited with status " + std::to_string(g_subprocess_get_exit_status(child));
  }
  TerminateProcess(child);
  RemoveProcessEngineFiles(engine, &scratch);
  if (outcome == StartupOutcome::kCancelled) {
    *error = kCancelledMessage;
  } else if (outcome == StartupOutcome::kExited) {
    *error = std::string(EngineName(engine)) + exitText + " during startup.";
  } else if (outcome == StartupOutcome::kTimedOut) {
    *error = std::string(EngineName(engine)) + " did not establish its TUN interface in time.";
  }
  return false;
}

bool EngineRuntime::StopProcess(std::string* error) {
  if (process == nullptr) return true;
  EngineKind stopped = kind;
  if (ProcessIsAlive(process)) g_subprocess_send_signal(process, SIGTERM);
  bool endedInTime = WaitForProcess(process, kStopGrace);
  if (!endedInTime) {
    g_subprocess_force_exit(process);
    g_subprocess_wait(process, nullptr, nullptr);
  }
  g_clear_object(&process);
  kind = kUnsupported;
  configPath.clear();

  std::string removalError;
  bool removed = RemoveProcessEngineFiles(stopped, &removalError);
  if (!endedInTime) {
    *error = std::string(EngineName(stopped)) +
             " required forced termination; route cleanup needs verification.";
    return false;
  }
  if (!removed) {
    *error = removalError;
    return false;
  }
  return true;
}

bool EngineRuntime::StopEngine(std::string* error) {
  if (process != nullptr) return StopProcess(error);
  if (kind == kWireGuard || IsRegularFile(kWireGuardConfig) ||
      InterfacePresent(kWireGuardInterfacePath)) {
    if (!StopWireGuard(error)) return false;
  }
  kind = kUnsupported;
  configPath.clear();
  return true;
}

bool EngineRuntime::Stop(std::string* error) {
  std::string killSwitchError;
  bool killSwitchRemoved = RemoveKillSwitch(&killSwitchError);
  if (killSwitchRemoved) {
    leakProtectionHeld = false;
    leakProtection = {};
  }
  bool engineStopped = StopEngine(error);
  // Lifted only once the engine is down: until then the family stays held.
  std::string blockError;
  const bool blocksLifted = engineStopped && LiftFamilyBlocks(&blockError);
  if (engineStopped && !killSwitchRemoved) {
    *error = killSwitchError;
    return false;
  }
  if (engineStopped && !blocksLifted) {
    *error = blockError;
    return false;
  }
  return engineStopped;
}

bool EngineRuntime::Recover(std::string* error) {
  // An engine that a killed run left behind goes first, while that run's kill
  // switch still holds its traffic. A held process owns the record instead,
  // and Stop ends it.
  std::string orphanError;
  const bool orphanStopped = process != nullptr || StopOrphanEngine(&orphanError);
  // A held kill switch covers both families, so a family block of the old
  // tunnel goes with it; left, it would also block the next tunnel.
  const bool engineStopped =
      leakProtectionHeld ? StopEngine(error) && LiftFamilyBlocks(error) : Stop(error);
  const bool cleaned = engineStopped && StopWireGuard(error) && ClearEngineRouting(error) &&
                       SecureRemoveFile(kSingBoxConfig, error) &&
                       SecureRemoveFile(kXrayConfig, error) && RemoveConfigFor(kOpenVpn, error);
  if (!orphanStopped) {
    *error = orphanError;
    return false;
  }
  return cleaned;
}

namespace {

// What the kill switch admits for `engine` running `config`: its interface
// and its servers, for the engine's own sockets where it marks them.
// `running` says whether the engine is up, so that its mark can be read.
bool LeakProtectionRules(EngineKind engine, const std::string& config, bool running,
                         const std::function<bool()>& cancelled, KillSwitchRules* rules,
                         std::string* error) {
  const char* interfaceName = TunnelInterfaceFor(engine);
  if (interfaceName == nullptr || interfaceName[0] == '\0') {
    *error = "No tunnel interface is active.";
    return false;
  }
  std::vector<KillSwitchServer> servers;
  if (!CollectEndpointAddresses(engine, config, cancelled, &servers, error)) return false;
  if (cancelled()) {
    *error = kCancelledMessage;
    return false;
  }
  // Before its start wg-quick has not picked its mark yet: while one tunnel
  // replaces another, the new servers are admitted for any local process.
  // The rewritten Xray configuration marks every outbound socket.
  uint32_t mark = 0;
  if (engine == kOpenVpn) mark = kOpenVpnSocketMarkValue;
  if (engine == kXray) mark = kXrayRoutingMark;
  if (engine == kWireGuard && running) mark = WireGuardMark(g_wireguard_uses_amnezia.load());
  for (KillSwitchServer& server : servers) server.mark = mark;
  rules->interfaces = {interfaceName};
  rules->servers = std::move(servers);
  return true;
}

}  // namespace

bool EngineRuntime::ApplyLeakProtection(const std::string& config,
                                        const std::function<bool()>& cancelled,
                                        std::string* error) {
  KillSwitchRules rules;
  if (!LeakProtectionRules(kind, config, true, cancelled, &rules, error) ||
      !ApplyKillSwitch(rules, error)) {
    return false;
  }
  leakProtectionHeld = true;
  leakProtection = std::move(rules);
  return true;
}

bool EngineRuntime::BridgeLeakProtection(EngineKind next, const std::string& config, bool wanted,
                                         const std::function<bool()>& cancelled,
                                         std::string* error) {
  if (!wanted) {
    leakProtectionHeld = false;
    return true;
  }
  if (!leakProtectionHeld) return true;
  KillSwitchRules rules;
  if (!LeakProtectionRules(next, config, false, cancelled, &rules, error)) return false;
  KillSwitchRules bridge = MergeKillSwitchRules(leakProtection, rules);
  if (!ApplyKillSwitch(bridge, error)) return false;
  leakProtection = std::move(bridge);
  return true;
}

bool EngineRuntime::PollUnexpectedExit(std::string* error) {
  if (process == nullptr) return PollTunnelLoss(error);
  if (ProcessIsAlive(process)) {
    if (TunnelLoss(kind).empty()) return false;
    // A dying engine closes its interface before it is reaped: its death,
    // not the lost interface, is what happened.
    if (!WaitForProcess(process, kDyingEngineGrace)) return PollTunnelLoss(error);
  }
  EngineKind stopped = kind;
  g_subprocess_wait(process, nullptr, nullptr);
  g_clear_object(&process);
  kind = kUnsupported;
  configPath.clear();
  std::string scratch;
  RemoveProcessEngineFiles(stopped, &scratch);
  *error = std::string(EngineName(stopped)) + " stopped unexpectedly.";
  return true;
}

bool EngineRuntime::PollTunnelLoss(std::string* error) {
  if (kind == kUnsupported) return false;
  const std::string loss = TunnelLoss(kind);
  if (loss.empty()) return false;
  // The engine no longer protects anything; the kill switch and any family
  // block stay until a disconnect lifts them.
  std::string scratch;
  if (process != nullptr) {
    StopProcess(&scratch);
  } else {
    StopWireGuard(&scratch);
  }
  kind = kUnsupported;
  configPath.clear();
  *error = loss;
  return true;
}

}  // namespace tessary::linux_service
