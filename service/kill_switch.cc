#include "service/kill_switch.h"

#include <gio/gio.h>
#include <json-glib/json-glib.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/constants.h"
#include "service/json_members.h"

namespace tessary::linux_service {
namespace {

constexpr size_t kMaxHostBytes = 255;
constexpr size_t kMaxInterfaceBytes = 15;

constexpr char kInterfaceNotUsable[] = "The tunnel interface name is not usable.";
constexpr char kNoServerAddress[] =
    "No server address was available for the leak-protection ruleset.";
constexpr char kNftUnavailable[] = "nftables is unavailable. Repair the TessaryVPN installation.";
constexpr char kNftNotStarted[] = "Unable to run the nftables leak-protection command.";
constexpr char kNftFailed[] = "The nftables leak-protection command failed.";

// How often a lookup in progress asks whether its connect was overtaken, and
// how long cancelled lookups get to hand back their callbacks.
constexpr guint kCancelPollMillis = 100;
constexpr gint64 kDrainMicros = G_USEC_PER_SEC;

// Hosts lose blanks, tabs and line ends only; any other control byte stays,
// so such a name fails to resolve rather than naming another host.
std::string TrimHost(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return "";
  const size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

void AddHost(std::vector<std::string>* hosts, const std::string& candidate) {
  std::string host = TrimHost(candidate);
  if (host.empty() || host.size() > kMaxHostBytes) return;
  hosts->push_back(std::move(host));
}

// Keeps the first appearance of each entry, in order, in linear time: a
// profile of a few megabytes can name a hundred thousand hosts.
void KeepFirstAppearances(std::vector<std::string>* entries) {
  std::unordered_set<std::string> seen;
  seen.reserve(entries->size());
  size_t kept = 0;
  for (size_t i = 0; i < entries->size(); ++i) {
    if (!seen.insert((*entries)[i]).second) continue;
    if (kept != i) (*entries)[kept] = std::move((*entries)[i]);
    ++kept;
  }
  entries->resize(kept);
}

// Members are read as the engines' decoders read them (see json_members.h),
// so that "Server" counts as the server the engine connects to.
void CollectXrayHostsFromArray(JsonObject* settings, const char* member,
                               std::vector<std::string>* hosts) {
  JsonArray* entries = JsonMemberArray(settings, member);
  if (entries == nullptr) return;
  const guint count = json_array_get_length(entries);
  for (guint i = 0; i < count; ++i) {
    const char* address = JsonMemberString(JsonElementObject(entries, i), "address");
    if (address != nullptr) AddHost(hosts, address);
  }
}

void CollectJsonHosts(EngineKind kind, const std::string& config, std::vector<std::string>* hosts) {
  g_autoptr(JsonParser) parser = json_parser_new();
  if (!json_parser_load_from_data(parser, config.data(), static_cast<gssize>(config.size()),
                                  nullptr)) {
    return;
  }
  JsonNode* root = json_parser_get_root(parser);
  if (root == nullptr || !JSON_NODE_HOLDS_OBJECT(root)) return;
  JsonArray* outbounds = JsonMemberArray(json_node_get_object(root), "outbounds");
  if (outbounds == nullptr) return;
  const guint count = json_array_get_length(outbounds);
  for (guint i = 0; i < count; ++i) {
    JsonObject* outbound = JsonElementObject(outbounds, i);
    if (outbound == nullptr) continue;
    if (kind == kSingBox) {
      if (const char* server = JsonMemberString(outbound, "server")) AddHost(hosts, server);
      continue;
    }
    JsonObject* settings = JsonMemberObject(outbound, "settings");
    if (settings == nullptr) continue;
    CollectXrayHostsFromArray(settings, "vnext", hosts);
    CollectXrayHostsFromArray(settings, "servers", hosts);
  }
}

// The host part of a WireGuard Endpoint value: "[v6]:port", "host:port", a
// bare name or a bare IPv6 address. "" when the value names no host.
std::string WireGuardEndpointHost(const std::string& value) {
  if (value.empty()) return "";
  if (value[0] == '[') {
    const size_t close = value.find(']');
    if (close == std::string::npos) return "";
    return value.substr(1, close - 1);
  }
  const size_t colons = static_cast<size_t>(std::count(value.begin(), value.end(), ':'));
  if (colons == 0) return value;
  if (colons == 1) return value.substr(0, value.find(':'));
  // Several colons and a bracket that does not open the value is neither a
  // bare IPv6 address nor the bracketed form.
  if (value.find('[') != std::string::npos) return "";
  return value;
}

// Sections are not tracked: an Endpoint anywhere only adds an allowed host.
void CollectWireGuardHosts(const std::string& config, std::vector<std::string>* hosts) {
  ForEachWireGuardLine(config, [hosts](const WireGuardLine& line) {
    if (line.hasEquals && line.key == "endpoint") {
      AddHost(hosts, WireGuardEndpointHost(line.value));
    }
    return true;
  });
}

// Only lines openvpn reads as options name servers: a remote line inside a
// certificate or key block is content. A <connection> block is a nested
// profile whose remote lines openvpn does use.
void CollectOpenVpnHosts(const std::string& config, std::vector<std::string>* hosts) {
  std::vector<std::string> words;
  ForEachOpenVpnLine(config, [&](const OpenVpnLine& line) {
    if (line.kind == OpenVpnLine::Kind::kDirective) {
      words = line.words;
    } else if (line.kind == OpenVpnLine::Kind::kBlockLine && line.block == "connection") {
      SplitOpenVpnWords(line.text, &words);
    } else {
      return true;
    }
    if (words.size() >= 2 && Lowercase(words[0]) == "remote") AddHost(hosts, words[1]);
    return true;
  });
}

// An embedded NUL would cut the text short for the C parsers below while the
// whole text went into the ruleset, so such text is never an address.
GInetAddress* ParseAddress(const std::string& text) {
  if (text.find('\0') != std::string::npos) return nullptr;
  return g_inet_address_new_from_string(text.c_str());
}

bool InterfaceNameUsable(const std::string& name) {
  if (name.empty() || name.size() > kMaxInterfaceBytes) return false;
  return std::all_of(name.begin(), name.end(),
                     [](char c) { return g_ascii_isalnum(c) || c == '-' || c == '.' || c == '_'; });
}

std::string JoinAddresses(const std::vector<std::string>& addresses) {
  std::string joined;
  for (const std::string& address : addresses) {
    if (!joined.empty()) joined += ", ";
    joined += address;
  }
  return joined;
}

bool NftInstalled() {
  return g_file_test(kNftBinary, G_FILE_TEST_IS_REGULAR) &&
         g_file_test(kNftBinary, G_FILE_TEST_IS_EXECUTABLE);
}

// nft may exit before it has read its input; the write must then fail with
// EPIPE instead of killing the service with SIGPIPE. The signal is blocked for
// this thread only and a SIGPIPE raised meanwhile is consumed before unblocking.
struct ScopedSigpipeBlock {
  sigset_t pipeOnly{};
  sigset_t previous{};
  bool wasPending = false;

  ScopedSigpipeBlock() {
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    wasPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
  }
  ~ScopedSigpipeBlock() {
    if (!wasPending) {
      const struct timespec zero = {0, 0};
      while (sigtimedwait(&pipeOnly, nullptr, &zero) == SIGPIPE) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  ScopedSigpipeBlock(const ScopedSigpipeBlock&) = delete;
  ScopedSigpipeBlock& operator=(const ScopedSigpipeBlock&) = delete;
};

bool RunNft(const std::vector<std::string>& arguments, const std::string& input,
            std::string* error) {
  if (!NftInstalled()) {
    *error = kNftUnavailable;
    return false;
  }
  std::vector<const char*> argv = {kTimeoutBinary, "--signal=TERM", "--kill-after=1s", "5s",
                                   kNftBinary};
  for (const std::string& argument : arguments) argv.push_back(argument.c_str());
  argv.push_back(nullptr);

  g_autoptr(GSubprocessLauncher) launcher = g_subprocess_launcher_new(static_cast<GSubprocessFlags>(
      G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_SILENCE |
      G_SUBPROCESS_FLAGS_STDERR_SILENCE));
  g_autoptr(GSubprocess) process = g_subprocess_launcher_spawnv(launcher, argv.data(), nullptr);
  if (process == nullptr) {
    *error = kNftNotStarted;
    return false;
  }

  bool delivered = true;
  {
    ScopedSigpipeBlock noSigpipe;
    GOutputStream* stdinPipe = g_subprocess_get_stdin_pipe(process);
    if (!input.empty()) {
      delivered = g_output_stream_write_all(stdinPipe, input.data(), input.size(), nullptr, nullptr,
                                            nullptr);
    }
    // Closing after a failed write still matters: nft must see end of input.
    if (!g_output_stream_close(stdinPipe, nullptr, nullptr)) delivered = false;
  }
  // The wait has no limit of its own: timeout ends nft within six seconds.
  if (!g_subprocess_wait(process, nullptr, nullptr)) delivered = false;
  if (!delivered || !g_subprocess_get_if_exited(process) ||
      g_subprocess_get_exit_status(process) != 0) {
    *error = kNftFailed;
    return false;
  }
  return true;
}

// Name lookups of one CollectEndpointAddresses call. Each pending lookup owns
// a share, so a callback that arrives after the call gave up (it never
// should: cancelled lookups return at once) still finds its record.
struct NameLookups {
  std::vector<std::vector<std::string>> addresses;  // per name, resolver order
  size_t pending = 0;
};

struct PendingLookup {
  std::shared_ptr<NameLookups> lookups;
  size_t index;
};

void NameLookupDone(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<PendingLookup> pending(static_cast<PendingLookup*>(data));
  g_autolist(GInetAddress) resolved =
      g_resolver_lookup_by_name_finish(G_RESOLVER(source), result, nullptr);
  std::vector<std::string>& texts = pending->lookups->addresses[pending->index];
  for (GList* item = resolved; item != nullptr; item = item->next) {
    g_autofree gchar* text = g_inet_address_to_string(G_INET_ADDRESS(item->data));
    if (text != nullptr) texts.emplace_back(text);
  }
  --pending->lookups->pending;
}

gboolean KeepTicking(gpointer) { return G_SOURCE_CONTINUE; }

enum class LookupEnd { kAnswered, kCancelled, kDeadline };

// Looks up every name at once with GIO's default resolver, whose threads do
// the waiting; the callbacks run here, on a private context that this thread
// iterates until all are answered, the deadline passes or `cancelled` says
// so. Unanswered names then keep an empty entry in *addresses.
LookupEnd LookUpNames(const std::vector<std::string>& names, const std::function<bool()>& cancelled,
                      std::vector<std::vector<std::string>>* addresses) {
  if (cancelled()) return LookupEnd::kCancelled;
  auto lookups = std::make_shared<NameLookups>();
  lookups->addresses.resize(names.size());
  lookups->pending = names.size();

  g_autoptr(GMainContext) context = g_main_context_new();
  g_autoptr(GMainContextPusher) pusher G_GNUC_UNUSED = g_main_context_pusher_new(context);
  g_autoptr(GResolver) resolver = g_resolver_get_default();
  g_autoptr(GCancellable) cancellable = g_cancellable_new();
  for (size_t i = 0; i < names.size(); ++i) {
    g_resolver_lookup_by_name_async(resolver, names[i].c_str(), cancellable, NameLookupDone,
                                    new PendingLookup{lookups, i});
  }
  // Wakes the iteration below so that cancellation and the deadline are seen
  // while the resolver is silent.
  g_autoptr(GSource) tick = g_timeout_source_new(kCancelPollMillis);
  g_source_set_callback(tick, KeepTicking, nullptr, nullptr);
  g_source_attach(tick, context);

  const gint64 deadline = g_get_monotonic_time() + kEndpointLookupSeconds * G_USEC_PER_SEC;
  LookupEnd end = LookupEnd::kAnswered;
  while (lookups->pending > 0) {
    if (cancelled()) {
      end = LookupEnd::kCancelled;
      break;
    }
    if (g_get_monotonic_time() >= deadline) {
      end = LookupEnd::kDeadline;
      break;
    }
    g_main_context_iteration(context, TRUE);
  }
  if (lookups->pending > 0) {
    // The resolver's threads may stay in the system resolver for a while;
    // cancelled lookups report back at once regardless.
    g_cancellable_cancel(cancellable);
    const gint64 drainEnd = g_get_monotonic_time() + kDrainMicros;
    while (lookups->pending > 0 && g_get_monotonic_time() < drainEnd) {
      g_main_context_iteration(context, TRUE);
    }
  }
  g_source_destroy(tick);
  // A copy: a straggling callback must still find its entry.
  *addresses = lookups->addresses;
  return end;
}

std::string RemovalLines() {
  const std::string table = std::string("table inet ") + kKillSwitchTable + "\n";
  return table + "delete " + table;
}

}  // namespace

std::vector<std::string> CollectEndpointHosts(EngineKind kind, const std::string& config) {
  std::vector<std::string> hosts;
  switch (kind) {
    case kSingBox:
    case kXray:
      CollectJsonHosts(kind, config, &hosts);
      break;
    case kWireGuard:
      CollectWireGuardHosts(config, &hosts);
      break;
    case kOpenVpn:
      CollectOpenVpnHosts(config, &hosts);
      break;
    case kUnsupported:
      break;
  }
  KeepFirstAppearances(&hosts);
  return hosts;
}

bool CollectEndpointAddresses(EngineKind kind, const std::string& config,
                              const std::function<bool()>& cancelled,
                              std::vector<std::string>* addresses, std::string* error) {
  const std::vector<std::string> hosts = CollectEndpointHosts(kind, config);
  if (hosts.size() > kMaxEndpointHosts) {
    *error = "The profile names more servers than the leak-protection ruleset allows (at most " +
             std::to_string(kMaxEndpointHosts) + ").";
    return false;
  }
  constexpr size_t kLiteral = static_cast<size_t>(-1);
  constexpr size_t kSkipped = static_cast<size_t>(-2);
  std::vector<size_t> nameOf(hosts.size(), kSkipped);  // index into names
  std::vector<std::string> names;
  for (size_t i = 0; i < hosts.size(); ++i) {
    // A host with a NUL byte would be looked up as a shorter name than the
    // profile wrote; it names nothing this service can trust.
    if (hosts[i].find('\0') != std::string::npos) continue;
    g_autoptr(GInetAddress) literal = ParseAddress(hosts[i]);
    if (literal != nullptr) {
      nameOf[i] = kLiteral;
      continue;
    }
    nameOf[i] = names.size();
    names.push_back(hosts[i]);
  }
  if (names.size() > kMaxEndpointNames) {
    *error =
        "The profile names more server host names than the leak-protection ruleset may look up "
        "(at most " +
        std::to_string(kMaxEndpointNames) + ").";
    return false;
  }

  std::vector<std::vector<std::string>> resolved;
  LookupEnd end = LookupEnd::kAnswered;
  if (!names.empty()) end = LookUpNames(names, cancelled, &resolved);
  if (end == LookupEnd::kCancelled) {
    *error = kCancelledMessage;
    return false;
  }

  std::vector<std::string> found;
  for (size_t i = 0; i < hosts.size(); ++i) {
    if (nameOf[i] == kLiteral) {
      found.push_back(hosts[i]);
    } else if (nameOf[i] != kSkipped) {
      for (const std::string& address : resolved[nameOf[i]]) found.push_back(address);
    }
  }
  KeepFirstAppearances(&found);
  if (end == LookupEnd::kDeadline && found.empty()) {
    *error = "The profile's server names did not resolve within " +
             std::to_string(kEndpointLookupSeconds) + " seconds.";
    return false;
  }
  *addresses = std::move(found);
  return true;
}

bool BuildKillSwitchRuleset(const std::string& interfaceName,
                            const std::vector<std::string>& addresses, std::string* ruleset,
                            std::string* error) {
  if (!InterfaceNameUsable(interfaceName)) {
    *error = kInterfaceNotUsable;
    return false;
  }
  std::vector<std::string> ipv4;
  std::vector<std::string> ipv6;
  for (const std::string& address : addresses) {
    g_autoptr(GInetAddress) parsed = ParseAddress(address);
    if (parsed == nullptr) continue;
    switch (g_inet_address_get_family(parsed)) {
      case G_SOCKET_FAMILY_IPV4:
        ipv4.push_back(address);
        break;
      case G_SOCKET_FAMILY_IPV6:
        ipv6.push_back(address);
        break;
      case G_SOCKET_FAMILY_INVALID:
      case G_SOCKET_FAMILY_UNIX:
        break;
    }
  }
  if (ipv4.empty() && ipv6.empty()) {
    *error = kNoServerAddress;
    return false;
  }

  const std::string table = std::string("table inet ") + kKillSwitchTable;
  std::string text = RemovalLines();
  text += table + " {\n";
  text += "  chain output {\n";
  text += "    type filter hook output priority 0; policy drop;\n";
  text += "    oifname \"lo\" accept\n";
  text += "    oifname \"" + interfaceName + "\" accept\n";
  // IPv6 needs neighbour discovery and multicast listener reports, and the
  // uplink its DHCP and DHCPv6 client: nothing wider, or an echo request or a
  // datagram to a DHCP port would carry anything to any host.
  text += "    icmpv6 type { 130, 131, 132, 133, 134, 135, 136, 137, 143 } accept\n";
  text += "    udp sport 68 udp dport 67 accept\n";
  text += "    udp sport 546 udp dport 547 accept\n";
  if (!ipv4.empty()) text += "    ip daddr { " + JoinAddresses(ipv4) + " } accept\n";
  if (!ipv6.empty()) text += "    ip6 daddr { " + JoinAddresses(ipv6) + " } accept\n";
  text += "  }\n";
  text += "}\n";
  *ruleset = std::move(text);
  return true;
}

bool ApplyKillSwitch(const std::string& interfaceName, const std::vector<std::string>& addresses,
                     std::string* error) {
  std::string ruleset;
  if (!BuildKillSwitchRuleset(interfaceName, addresses, &ruleset, error)) return false;
  return RunNft({"-f", "-"}, ruleset, error);
}

bool RemoveKillSwitch(std::string* error) {
  // Without nft a table loaded earlier can be neither lifted nor shown to be
  // absent, so the removal fails (RunNft says why) instead of claiming it.
  return RunNft({"-f", "-"}, RemovalLines(), error);
}

bool KillSwitchInstalled() {
  std::string ignored;
  return RunNft({"list", "table", "inet", kKillSwitchTable}, "", &ignored);
}

}  // namespace tessary::linux_service
