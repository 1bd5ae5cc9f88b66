#include "service/kill_switch.h"

#include <gio/gio.h>
#include <json-glib/json-glib.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/constants.h"
#include "common/tool_run.h"
#include "service/json_members.h"
#include "service/profile_lines.h"
#include "service/profile_text.h"

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

// Ports as the engines write them: decimal, 1 to 65535; 0 for anything else.
uint16_t ParsePort(const std::string& text) {
  if (text.empty() || text.size() > 5) return 0;
  if (!std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return 0;
  }
  const unsigned long value = std::stoul(text);
  return value <= 65535 ? static_cast<uint16_t>(value) : 0;
}

void AddEndpoint(std::vector<Endpoint>* endpoints, const std::string& candidate,
                 const char* transport, uint16_t port) {
  std::string host = TrimHost(candidate);
  if (host.empty() || host.size() > kMaxHostBytes) return;
  endpoints->push_back({std::move(host), transport, port});
}

// Keeps the first appearance of each entry, in order, in linear time: a
// profile of a few megabytes can name a hundred thousand hosts.
template <typename Entry, typename KeyOf>
void KeepFirstAppearances(std::vector<Entry>* entries, KeyOf keyOf) {
  std::unordered_set<std::string> seen;
  seen.reserve(entries->size());
  size_t kept = 0;
  for (size_t i = 0; i < entries->size(); ++i) {
    if (!seen.insert(keyOf((*entries)[i])).second) continue;
    if (kept != i) (*entries)[kept] = std::move((*entries)[i]);
    ++kept;
  }
  entries->resize(kept);
}

void KeepFirstAppearances(std::vector<std::string>* entries) {
  KeepFirstAppearances(entries, [](const std::string& entry) { return entry; });
}

// NUL separates the parts; none after the host can hold one, so each key
// names one entry even for a host with a NUL byte.
std::string EndpointKey(const std::string& host, const std::string& transport, uint16_t port,
                        uint32_t mark) {
  return host + '\0' + transport + '\0' + std::to_string(port) + '\0' + std::to_string(mark);
}

// A JSON port as the engines take it: a number, or its decimal text.
uint16_t JsonPort(JsonObject* object, const char* member) {
  JsonNode* node = JsonMember(object, member);
  if (node == nullptr || !JSON_NODE_HOLDS_VALUE(node)) return 0;
  if (json_node_get_value_type(node) == G_TYPE_INT64) {
    const gint64 value = json_node_get_int(node);
    return value > 0 && value <= 65535 ? static_cast<uint16_t>(value) : 0;
  }
  if (json_node_get_value_type(node) == G_TYPE_STRING) return ParsePort(json_node_get_string(node));
  return 0;
}

void AddJsonEndpoint(std::vector<Endpoint>* endpoints, const char* host, bool tcp, bool udp,
                     uint16_t port) {
  if (tcp) AddEndpoint(endpoints, host, "tcp", port);
  if (udp) AddEndpoint(endpoints, host, "udp", port);
}

// Members are read as the engines' decoders read them (see json_members.h),
// so that "Server" counts as the server the engine connects to.
void CollectXrayHostsFromArray(JsonObject* settings, const char* member, bool tcp, bool udp,
                               std::vector<Endpoint>* endpoints) {
  JsonArray* entries = JsonMemberArray(settings, member);
  if (entries == nullptr) return;
  const guint count = json_array_get_length(entries);
  for (guint i = 0; i < count; ++i) {
    JsonObject* entry = JsonElementObject(entries, i);
    const char* address = JsonMemberString(entry, "address");
    if (address != nullptr) AddJsonEndpoint(endpoints, address, tcp, udp, JsonPort(entry, "port"));
  }
}

bool StringIn(const char* value, std::initializer_list<const char*> set) {
  if (value == nullptr) return false;
  return std::any_of(set.begin(), set.end(),
                     [value](const char* e) { return strcmp(value, e) == 0; });
}

// The transports a sing-box outbound reaches its server with.
void SingBoxTransports(JsonObject* outbound, bool* tcp, bool* udp) {
  const char* type = JsonMemberString(outbound, "type");
  if (StringIn(type, {"wireguard", "hysteria", "hysteria2", "tuic"})) {
    *tcp = false;
    *udp = true;
  } else if (StringIn(type, {"shadowsocks"})) {
    // Shadowsocks relays UDP as UDP unless the profile limits it to one.
    const char* network = JsonMemberString(outbound, "network");
    *tcp = network == nullptr || strcmp(network, "udp") != 0;
    *udp = network == nullptr || strcmp(network, "tcp") != 0;
  } else {
    const char* transport = JsonMemberString(JsonMemberObject(outbound, "transport"), "type");
    *udp = StringIn(transport, {"quic"});
    *tcp = !*udp;
  }
}

// The transports an Xray outbound reaches its servers with.
void XrayTransports(JsonObject* outbound, bool* tcp, bool* udp) {
  const char* protocol = JsonMemberString(outbound, "protocol");
  const char* network = JsonMemberString(JsonMemberObject(outbound, "streamSettings"), "network");
  *udp = StringIn(network, {"kcp", "mkcp", "quic"}) || StringIn(protocol, {"hysteria"});
  *tcp = !*udp;
  if (StringIn(protocol, {"shadowsocks"})) *udp = true;
}

void CollectJsonEndpoints(EngineKind kind, const std::string& config,
                          std::vector<Endpoint>* endpoints) {
  g_autoptr(JsonParser) parser = json_parser_new();
  if (LoadJson(parser, config) != JsonLoad::kLoaded) return;
  JsonNode* root = json_parser_get_root(parser);
  if (root == nullptr || !JSON_NODE_HOLDS_OBJECT(root)) return;
  JsonArray* outbounds = JsonMemberArray(json_node_get_object(root), "outbounds");
  if (outbounds == nullptr) return;
  const guint count = json_array_get_length(outbounds);
  for (guint i = 0; i < count; ++i) {
    JsonObject* outbound = JsonElementObject(outbounds, i);
    if (outbound == nullptr) continue;
    bool tcp = true;
    bool udp = false;
    if (kind == kSingBox) {
      if (const char* server = JsonMemberString(outbound, "server")) {
        SingBoxTransports(outbound, &tcp, &udp);
        AddJsonEndpoint(endpoints, server, tcp, udp, JsonPort(outbound, "server_port"));
      }
      continue;
    }
    JsonObject* settings = JsonMemberObject(outbound, "settings");
    if (settings == nullptr) continue;
    XrayTransports(outbound, &tcp, &udp);
    CollectXrayHostsFromArray(settings, "vnext", tcp, udp, endpoints);
    CollectXrayHostsFromArray(settings, "servers", tcp, udp, endpoints);
  }
}

// Sections are not tracked: an Endpoint anywhere only adds an allowed host.
void CollectWireGuardEndpoints(const std::string& config, std::vector<Endpoint>* endpoints) {
  ForEachWireGuardLine(config, [endpoints](const WireGuardLine& line) {
    if (line.hasEquals && line.key == "endpoint") {
      const WireGuardEndpoint endpoint = ReadWireGuardEndpoint(line.value);
      AddEndpoint(endpoints, endpoint.host, "udp", ParsePort(endpoint.port));
    }
    return true;
  });
}

// openvpn's transport word: "udp", "udp6", "tcp-client", "tcp4" and the like.
const char* OpenVpnTransport(const std::string& proto) {
  const std::string word = Lowercase(proto);
  if (word.rfind("udp", 0) == 0) return "udp";
  if (word.rfind("tcp", 0) == 0) return "tcp";
  return nullptr;
}

struct OpenVpnRemote {
  std::string host;
  std::string port;   // "" for the profile's last "port" or "rport", else 1194
  std::string proto;  // "" for the profile's last "proto", else udp
};

// Only lines openvpn reads as options name servers: a remote line inside a
// certificate or key block is content. Validation admits no other block.
void CollectOpenVpnEndpoints(const std::string& config, std::vector<Endpoint>* endpoints) {
  std::string defaultPort = "1194";
  std::string defaultProto = "udp";
  std::vector<OpenVpnRemote> remotes;
  std::vector<std::pair<std::string, std::string>> proxies;  // host, port
  ForEachOpenVpnLine(config, [&](const OpenVpnLine& line) {
    if (line.kind != OpenVpnLine::Kind::kDirective) return true;
    const std::vector<std::string>& words = line.words;
    if (words.size() < 2) return true;
    const std::string directive = Lowercase(words[0]);
    if (directive == "remote") {
      remotes.push_back(
          {words[1], words.size() > 2 ? words[2] : "", words.size() > 3 ? words[3] : ""});
    } else if (directive == "port" || directive == "rport") {
      defaultPort = words[1];
    } else if (directive == "proto") {
      defaultProto = words[1];
    } else if (directive == "http-proxy" || directive == "socks-proxy") {
      // openvpn then reaches its servers through the proxy, over TCP.
      const std::string port = words.size() > 2 ? words[2] : "1080";
      proxies.push_back({words[1], directive == "http-proxy" && words.size() < 3 ? "" : port});
    }
    return true;
  });
  for (const OpenVpnRemote& remote : remotes) {
    const char* transport = OpenVpnTransport(remote.proto.empty() ? defaultProto : remote.proto);
    const uint16_t port = ParsePort(remote.port.empty() ? defaultPort : remote.port);
    AddEndpoint(endpoints, remote.host, transport != nullptr ? transport : "udp",
                transport != nullptr ? port : 0);
  }
  for (const auto& [host, port] : proxies) AddEndpoint(endpoints, host, "tcp", ParsePort(port));
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

bool RunNft(const std::vector<std::string>& arguments, const std::string& input,
            std::string* error) {
  if (!NftInstalled()) {
    *error = kNftUnavailable;
    return false;
  }
  ToolCommand command;
  command.argv = {kNftBinary};
  for (const std::string& argument : arguments) command.argv.push_back(argument.c_str());
  command.limit = ToolLimit::kFirewall;
  command.input = &input;
  ToolResult result;
  if (RunTool(command, &result)) return true;
  *error = result.started ? kNftFailed : kNftNotStarted;
  return false;
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

std::vector<Endpoint> CollectEndpoints(EngineKind kind, const std::string& config) {
  std::vector<Endpoint> endpoints;
  switch (kind) {
    case kSingBox:
    case kXray:
      CollectJsonEndpoints(kind, config, &endpoints);
      break;
    case kWireGuard:
      CollectWireGuardEndpoints(config, &endpoints);
      break;
    case kOpenVpn:
      CollectOpenVpnEndpoints(config, &endpoints);
      break;
    case kUnsupported:
      break;
  }
  KeepFirstAppearances(&endpoints, [](const Endpoint& endpoint) {
    return EndpointKey(endpoint.host, endpoint.transport, endpoint.port, 0);
  });
  return endpoints;
}

std::vector<std::string> CollectEndpointHosts(EngineKind kind, const std::string& config) {
  std::vector<std::string> hosts;
  for (Endpoint& endpoint : CollectEndpoints(kind, config)) {
    hosts.push_back(std::move(endpoint.host));
  }
  KeepFirstAppearances(&hosts);
  return hosts;
}

KillSwitchRules MergeKillSwitchRules(const KillSwitchRules& first, const KillSwitchRules& second) {
  KillSwitchRules merged = first;
  merged.interfaces.insert(merged.interfaces.end(), second.interfaces.begin(),
                           second.interfaces.end());
  merged.servers.insert(merged.servers.end(), second.servers.begin(), second.servers.end());
  KeepFirstAppearances(&merged.interfaces);
  KeepFirstAppearances(&merged.servers, [](const KillSwitchServer& server) {
    return EndpointKey(server.address, server.transport, server.port, server.mark);
  });
  return merged;
}

bool CollectEndpointAddresses(EngineKind kind, const std::string& config,
                              const std::function<bool()>& cancelled,
                              std::vector<KillSwitchServer>* servers, std::string* error) {
  const std::vector<Endpoint> endpoints = CollectEndpoints(kind, config);
  std::vector<std::string> hosts;
  for (const Endpoint& endpoint : endpoints) hosts.push_back(endpoint.host);
  KeepFirstAppearances(&hosts);
  if (hosts.size() > kMaxEndpointHosts) {
    *error = "The profile names more servers than the leak-protection ruleset allows (at most " +
             std::to_string(kMaxEndpointHosts) + ").";
    return false;
  }
  std::unordered_map<std::string, size_t> nameOf;  // host to its index in names
  std::vector<std::string> names;
  for (const std::string& host : hosts) {
    // A host with a NUL byte would be looked up as a shorter name than the
    // profile wrote; it names nothing this service can trust.
    if (host.find('\0') != std::string::npos) continue;
    g_autoptr(GInetAddress) literal = ParseAddress(host);
    if (literal != nullptr) continue;
    nameOf.emplace(host, names.size());
    names.push_back(host);
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

  std::vector<KillSwitchServer> found;
  for (const Endpoint& endpoint : endpoints) {
    if (endpoint.port == 0 || endpoint.host.find('\0') != std::string::npos) continue;
    const auto name = nameOf.find(endpoint.host);
    if (name == nameOf.end()) {
      found.push_back({endpoint.host, endpoint.transport, endpoint.port, 0});
      continue;
    }
    for (const std::string& address : resolved[name->second]) {
      found.push_back({address, endpoint.transport, endpoint.port, 0});
    }
  }
  KeepFirstAppearances(&found, [](const KillSwitchServer& server) {
    return EndpointKey(server.address, server.transport, server.port, server.mark);
  });
  if (end == LookupEnd::kDeadline && found.empty()) {
    *error = "The profile's server names did not resolve within " +
             std::to_string(kEndpointLookupSeconds) + " seconds.";
    return false;
  }
  *servers = std::move(found);
  return true;
}

bool BuildKillSwitchRuleset(const KillSwitchRules& rules, std::string* ruleset,
                            std::string* error) {
  if (rules.interfaces.empty() ||
      !std::all_of(rules.interfaces.begin(), rules.interfaces.end(), InterfaceNameUsable)) {
    *error = kInterfaceNotUsable;
    return false;
  }
  // Servers that share family, transport, port and mark share one rule, in
  // the order of their first server, IPv4 ahead of IPv6.
  struct Opening {
    const char* family;
    std::string transport;
    uint16_t port;
    uint32_t mark;
    std::vector<std::string> addresses;
  };
  std::vector<Opening> openings;
  for (const KillSwitchServer& server : rules.servers) {
    if (server.port == 0 || (server.transport != "udp" && server.transport != "tcp")) continue;
    g_autoptr(GInetAddress) parsed = ParseAddress(server.address);
    if (parsed == nullptr) continue;
    const GSocketFamily family = g_inet_address_get_family(parsed);
    if (family != G_SOCKET_FAMILY_IPV4 && family != G_SOCKET_FAMILY_IPV6) continue;
    const char* familyWord = family == G_SOCKET_FAMILY_IPV4 ? "ip" : "ip6";
    auto opening = std::find_if(openings.begin(), openings.end(), [&](const Opening& o) {
      return strcmp(o.family, familyWord) == 0 && o.transport == server.transport &&
             o.port == server.port && o.mark == server.mark;
    });
    if (opening == openings.end()) {
      openings.push_back({familyWord, server.transport, server.port, server.mark, {}});
      opening = openings.end() - 1;
    }
    if (std::find(opening->addresses.begin(), opening->addresses.end(), server.address) ==
        opening->addresses.end()) {
      opening->addresses.push_back(server.address);
    }
  }
  if (openings.empty()) {
    *error = kNoServerAddress;
    return false;
  }
  std::stable_partition(openings.begin(), openings.end(),
                        [](const Opening& o) { return strcmp(o.family, "ip") == 0; });

  std::vector<std::string> interfaces = rules.interfaces;
  KeepFirstAppearances(&interfaces);
  const std::string table = std::string("table inet ") + kKillSwitchTable;
  std::string text = RemovalLines();
  text += table + " {\n";
  text += "  chain output {\n";
  text += "    type filter hook output priority 0; policy drop;\n";
  text += "    oifname \"lo\" accept\n";
  for (const std::string& name : interfaces) text += "    oifname \"" + name + "\" accept\n";
  // IPv6 needs neighbour discovery and multicast listener reports, and the
  // uplink its DHCP and DHCPv6 client: nothing wider, or an echo request or a
  // datagram to a DHCP port would carry anything to any host.
  text += "    icmpv6 type { 130, 131, 132, 133, 134, 135, 136, 137, 143 } accept\n";
  text += "    udp sport 68 udp dport 67 accept\n";
  text += "    udp sport 546 udp dport 547 accept\n";
  for (const Opening& opening : openings) {
    text += "    ";
    // Setting a socket mark takes CAP_NET_ADMIN: a marked packet is the
    // engine's, never an unprivileged user's.
    if (opening.mark != 0) {
      char mark[16];
      snprintf(mark, sizeof mark, "0x%x", opening.mark);
      text += std::string("meta mark ") + mark + " ";
    }
    text += std::string(opening.family) + " daddr { " + JoinAddresses(opening.addresses) + " } " +
            opening.transport + " dport " + std::to_string(opening.port) + " accept\n";
  }
  text += "  }\n";
  text += "}\n";
  *ruleset = std::move(text);
  return true;
}

bool ApplyKillSwitch(const KillSwitchRules& rules, std::string* error) {
  std::string ruleset;
  if (!BuildKillSwitchRuleset(rules, &ruleset, error)) return false;
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
