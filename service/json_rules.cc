// The JSON engines' profile rules: the limits every sing-box and Xray
// document is held to, what either engine would do as root beside the tunnel,
// and which outbound carries the tunnel.
#include "service/json_rules.h"

#include <glib.h>
#include <string.h>

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "service/json_members.h"
#include "service/profile_rules.h"
#include "service/profile_text.h"

namespace tessary::linux_service {
namespace {

constexpr std::size_t kMaxJsonNodes = 100000;

constexpr char kJsonMalformed[] = "The JSON VPN configuration is malformed.";
constexpr char kJsonNotObject[] = "The JSON VPN configuration must be an object.";
constexpr char kJsonTooComplex[] = "The JSON VPN configuration exceeds complexity limits.";
constexpr char kJsonNumber[] =
    "The JSON VPN configuration contains a number its engine would not receive as written.";

// Traffic the engines send on their own, outside the route the rewrite forces.
constexpr char kSingBoxDirectGroup[] =
    "Sing-box outbound groups may not lead to a direct outbound.";
constexpr char kSingBoxDirectDownload[] =
    "Sing-box remote rule sets must be downloaded through a proxy outbound.";
constexpr char kSingBoxDirectNtp[] = "Sing-box NTP clients must run through a proxy outbound.";
constexpr char kSingBoxGeoDatabase[] = "Sing-box DNS rules may not use GeoIP or geosite databases.";
constexpr char kXrayDirectObservatory[] =
    "Xray observatories may not probe through freedom or DNS outbounds.";
constexpr char kXrayLocalDns[] = "Xray DNS servers may not bypass routing in local mode.";

// What the JSON engines' rules refuse wherever it occurs in a document.
struct JsonFindings {
  bool fileMember = false;        // a file or directory path on the host
  bool externalResource = false;  // external geodata or a local-file resource
  bool ambiguousNames = false;    // an object with two names that fold alike
  // Objects holding a member that can make a sing-box outbound act on the
  // system (a "type" of "tor", a "system_interface" or a "netns"), or one
  // spelled so that it may; borrowed from the document.
  std::vector<JsonObject*> systemMembers;
};

// ---------------------------------------------------------------------------
// JSON safety checks

// Calls |visit| with each member's name and value in member order until it
// returns true; true when it did. Iterates without copying the member list.
template <typename Visit>
bool AnyMember(JsonObject* object, Visit visit) {
  JsonObjectIter iter;
  json_object_iter_init_ordered(&iter, object);
  const char* name = nullptr;
  JsonNode* value = nullptr;
  while (json_object_iter_next_ordered(&iter, &name, &value)) {
    if (visit(name, value)) return true;
  }
  return false;
}

bool JsonMemberHasNonEmptyString(JsonObject* object, const char* name) {
  const char* value = JsonMemberString(object, name);
  return value != nullptr && value[0] != '\0';
}

bool JsonStringEquals(JsonObject* object, const char* name, const char* expected) {
  // g_ascii_strcasecmp folds exactly the letters Lowercase folds.
  const char* value = JsonMemberString(object, name);
  return value != nullptr && g_ascii_strcasecmp(value, expected) == 0;
}

bool JsonBooleanIsTrue(JsonObject* object, const char* name) {
  JsonNode* node = JsonMember(object, name);
  return node != nullptr && JSON_NODE_HOLDS_VALUE(node) &&
         json_node_get_value_type(node) == G_TYPE_BOOLEAN && json_node_get_boolean(node);
}

// Members that name a file or directory on the host, which the engine would
// open as root: Xray's certificate and key files and its TLS key log, and
// every sing-box member ending in "_path" or "_directory" (certificates, keys,
// ECH configurations, a program to run, data directories). A transport's URL
// "path" has no such ending and stays allowed. Names compare as the decoders
// fold them, so the Kelvin sign cannot hide a "key_path".
bool EndsWithIgnoringAsciiCase(const char* text, std::size_t length, const char* suffix) {
  const std::size_t suffixLength = std::char_traits<char>::length(suffix);
  return length >= suffixLength && g_ascii_strcasecmp(text + length - suffixLength, suffix) == 0;
}

bool IsForbiddenFileMemberName(const char* name) {
  // Every member name passes here. An ASCII name folds by ASCII case alone,
  // so only names with other characters pay for the full fold.
  std::size_t length = 0;
  bool ascii = true;
  for (; name[length] != '\0'; ++length) {
    if (static_cast<unsigned char>(name[length]) >= 0x80) ascii = false;
  }
  // Every forbidden name ends in one of these letters.
  if (ascii && (length == 0 || strchr("eEgGhHyY", name[length - 1]) == nullptr)) return false;
  std::string folded;
  const char* text = name;
  if (!ascii) {
    folded = FoldJsonMemberName(name);
    text = folded.c_str();
    length = folded.size();
  }
  for (const char* forbidden : {"CERTIFICATEFILE", "KEYFILE", "MASTERKEYLOG"}) {
    if (g_ascii_strcasecmp(text, forbidden) == 0) return true;
  }
  return EndsWithIgnoringAsciiCase(text, length, "_PATH") ||
         EndsWithIgnoringAsciiCase(text, length, "_DIRECTORY");
}

// A file or directory named on the host: a forbidden member name whose
// value is a non-empty string or a non-empty array. Any other value is not a
// hit by itself (an object value is searched like any other).
bool IsForbiddenFileMember(const char* name, JsonNode* value) {
  if (!IsForbiddenFileMemberName(name)) return false;
  if (JSON_NODE_HOLDS_VALUE(value) && json_node_get_value_type(value) == G_TYPE_STRING) {
    const char* text = json_node_get_string(value);
    return text != nullptr && text[0] != '\0';
  }
  return JSON_NODE_HOLDS_ARRAY(value) && json_array_get_length(json_node_get_array(value)) > 0;
}

// Xray's external geodata references ("ext:" and "ext-ip:"), in any case.
bool IsExternalReference(JsonNode* value) {
  // json_node_get_string answers nullptr for a value of another type.
  const char* text = json_node_get_string(value);
  if (text == nullptr || (text[0] | 0x20) != 'e') return false;
  return (g_ascii_strncasecmp(text, "ext:", 4) == 0 ||
          g_ascii_strncasecmp(text, "ext-ip:", 7) == 0);
}

// A rule set or other resource loaded from a local file.
bool IsLocalFileResource(JsonObject* object) {
  return JsonStringEquals(object, "type", "local") && JsonMemberHasNonEmptyString(object, "path");
}

// The door's walk looks, in the same pass that checks member names, for the
// content the engine rules refuse anywhere in a document: one traversal
// instead of several keeps validation close to the cost of parsing, and as
// every search here is an "anywhere in the document" test, gathering them
// on the way answers exactly what separate searches would.
// Whether |name| folds like |folded|, a folded ASCII name.
bool NameFoldsLike(const char* name, const char* folded) {
  for (const char* c = name; *c != '\0'; ++c) {
    if (static_cast<unsigned char>(*c) >= 0x80) return FoldJsonMemberName(name) == folded;
  }
  return g_ascii_strcasecmp(name, folded) == 0;
}

void FindInMember(JsonObject* object, const char* name, JsonNode* value, void* context) {
  auto* findings = static_cast<JsonFindings*>(context);
  if (IsForbiddenFileMember(name, value)) findings->fileMember = true;
  // Only a few members are looked at further, which spares lookups in every
  // object: a name whose first byte is ASCII folds like "type" only if that
  // byte is a T, and so on.
  const auto first = static_cast<unsigned char>(name[0]);
  const char lower = static_cast<char>(first | 0x20);
  if (first < 0x80 && lower != 't' && lower != 's' && lower != 'n') return;
  if (first >= 0x80 || lower == 't') {
    // A local resource's or a tor outbound's "type" member says so.
    const char* text =
        JSON_NODE_HOLDS_VALUE(value) && json_node_get_value_type(value) == G_TYPE_STRING
            ? json_node_get_string(value)
            : nullptr;
    if (text != nullptr && g_ascii_strcasecmp(text, "local") == 0 && IsLocalFileResource(object)) {
      findings->externalResource = true;
    }
    if (text != nullptr && g_ascii_strcasecmp(text, "tor") == 0) {
      findings->systemMembers.push_back(object);
    }
  }
  if (NameFoldsLike(name, "SYSTEM_INTERFACE") || NameFoldsLike(name, "NETNS")) {
    findings->systemMembers.push_back(object);
  }
}

void FindInValue(JsonNode* value, void* findings) {
  if (IsExternalReference(value)) static_cast<JsonFindings*>(findings)->externalResource = true;
}

// Parses |config| once, through the one door into json-glib. On success
// hands the caller one reference to the parser (*parser, released with
// g_object_unref), its root object (*root, borrowed from the parser) and what
// the door's walk found (*findings); on failure
// leaves all three as they were and releases everything it took.
// The nesting bound comes first, so a document nested deeper than the limit
// reads as too complex even when it is malformed as well.
ProfileValidation ParseJsonObject(const std::string& config, JsonParser** parser, JsonObject** root,
                                  JsonFindings* findings) {
  g_autoptr(JsonParser) loaded = json_parser_new();
  JsonFindings found;
  JsonVisit visit;
  visit.member = FindInMember;
  visit.value = FindInValue;
  visit.context = &found;
  const JsonLoad load = LoadJson(loaded, config, &visit);
  switch (load) {
    case JsonLoad::kTooDeep:
      return Invalid(kJsonTooComplex);
    case JsonLoad::kReadDifferently:
    case JsonLoad::kMalformed:
      return Invalid(kJsonMalformed);
    case JsonLoad::kBadNumber:
      return Invalid(kJsonNumber);
    case JsonLoad::kLoaded:
    case JsonLoad::kAmbiguous:
      break;
  }
  JsonNode* rootNode = json_parser_get_root(loaded);
  if (rootNode == nullptr || !JSON_NODE_HOLDS_OBJECT(rootNode)) return Invalid(kJsonNotObject);
  if (visit.nodes > kMaxJsonNodes) return Invalid(kJsonTooComplex);
  found.ambiguousNames = load == JsonLoad::kAmbiguous;
  *findings = found;
  *root = json_node_get_object(rootNode);
  *parser = static_cast<JsonParser*>(g_steal_pointer(&loaded));
  return {true, ""};
}

// ---------------------------------------------------------------------------
// Sing-box

ProfileValidation CheckSingBoxDns(JsonObject* root) {
  JsonObject* dns = JsonMemberObject(root, "dns");
  if (dns == nullptr) {
    return Invalid("Sing-box profiles require app-owned remote DNS configuration.");
  }
  JsonArray* servers = JsonMemberArray(dns, "servers");
  if (servers == nullptr || json_array_get_length(servers) == 0) {
    return Invalid("Sing-box profiles require at least one remote DNS server.");
  }
  const guint length = json_array_get_length(servers);
  for (guint i = 0; i < length; ++i) {
    JsonObject* server = JsonElementObject(servers, i);
    if (server == nullptr) return Invalid("Sing-box DNS servers must use structured entries.");
    if (!JsonMemberHasNonEmptyString(server, "type") ||
        !JsonMemberHasNonEmptyString(server, "server")) {
      return Invalid("The Sing-box DNS server is incomplete.");
    }
    const std::string type = Lowercase(JsonMemberString(server, "type"));
    if (!LabelIn(type, {"tcp", "udp", "tls", "https", "quic", "h3"})) {
      return Invalid("Sing-box DNS must use a remote network server type.");
    }
  }
  return {true, ""};
}

ProfileValidation CheckSingBoxInbound(JsonObject* root) {
  JsonArray* inbounds = JsonMemberArray(root, "inbounds");
  if (inbounds == nullptr) return Invalid("Sing-box profiles must contain a TUN inbound.");
  if (json_array_get_length(inbounds) != 1) {
    return Invalid("Sing-box profiles must contain exactly one app-owned TUN inbound.");
  }
  JsonObject* inbound = JsonElementObject(inbounds, 0);
  if (inbound == nullptr) return Invalid("The Sing-box TUN inbound is invalid.");
  if (!JsonStringEquals(inbound, "type", "tun") || !JsonBooleanIsTrue(inbound, "auto_route")) {
    return Invalid("Sing-box profiles require an auto-route TUN inbound.");
  }
  return {true, ""};
}

// What sing-box does as root beside the tunnel: services open listeners, an
// endpoint creates an interface or listens on the host, network namespaces
// start a holder program or enter a namespace file, certificate providers
// reach their CA from the host and store what they obtain, NTP may set the
// system clock, a tor outbound runs a program, an outbound may dial from
// another network namespace, and the legacy WireGuard outbound may create a
// system interface.
bool SingBoxActsOnTheSystem(JsonObject* root, const JsonFindings& findings) {
  for (const char* name :
       {"services", "endpoints", "network_namespaces", "certificate_providers"}) {
    if (JsonMember(root, name) != nullptr) return true;
  }
  if (JsonBooleanIsTrue(JsonMemberObject(root, "ntp"), "write_to_system")) return true;
  // Only an outbound the walk found such a member in can qualify.
  std::vector<JsonObject*> candidates = findings.systemMembers;
  std::sort(candidates.begin(), candidates.end());
  JsonArray* outbounds = JsonMemberArray(root, "outbounds");
  const guint length =
      outbounds != nullptr && !candidates.empty() ? json_array_get_length(outbounds) : 0;
  for (guint i = 0; i < length; ++i) {
    JsonObject* outbound = JsonElementObject(outbounds, i);
    if (!std::binary_search(candidates.begin(), candidates.end(), outbound)) continue;
    if (JsonStringEquals(outbound, "type", "tor") ||
        JsonBooleanIsTrue(outbound, "system_interface") ||
        JsonMember(outbound, "netns") != nullptr) {
      return true;
    }
  }
  return false;
}

// Older releases download the route's GeoIP and geosite databases and write
// them to the path the profile names.
bool SingBoxDownloadsGeoData(JsonObject* root) {
  JsonObject* route = JsonMemberObject(root, "route");
  return JsonMemberHasNonEmptyString(JsonMemberObject(route, "geoip"), "path") ||
         JsonMemberHasNonEmptyString(JsonMemberObject(route, "geosite"), "path");
}

// The outbound tags of a profile as sing-box looks them up (exactly), and
// those that send traffic straight out of the host: direct outbounds and the
// selector and URL-test groups with such a member at any depth (a group may
// pick it, and a URL test probes through every member). Found backwards from
// the direct outbounds, so member cycles and long chains cost one pass. The
// tags are borrowed from the document, which outlives the record.
struct SingBoxTags {
  std::unordered_set<std::string_view> all;
  std::unordered_set<std::string_view> direct;
  // Some outbound other than a direct one goes direct: a group that leads
  // to a direct outbound.
  bool groupLeadsDirect = false;
};

SingBoxTags CollectSingBoxTags(JsonArray* outbounds) {
  SingBoxTags tags;
  // (member, group) pairs, sorted by member once gathered.
  std::vector<std::pair<std::string_view, std::string_view>> groupsListing;
  std::vector<std::string_view> pending;
  std::vector<std::string_view> notDirect;  // tags of outbounds of other types
  const guint length = json_array_get_length(outbounds);
  tags.all.reserve(length);
  for (guint i = 0; i < length; ++i) {
    JsonObject* outbound = JsonElementObject(outbounds, i);
    const char* tag = JsonMemberString(outbound, "tag");
    if (tag == nullptr) continue;
    tags.all.insert(tag);
    const char* type = JsonMemberString(outbound, "type");
    if (type != nullptr && g_ascii_strcasecmp(type, "direct") == 0) {
      pending.push_back(tag);
      continue;
    }
    notDirect.push_back(tag);
    if (type == nullptr) continue;
    if (g_ascii_strcasecmp(type, "selector") != 0 && g_ascii_strcasecmp(type, "urltest") != 0) {
      continue;
    }
    JsonArray* members = JsonMemberArray(outbound, "outbounds");
    const guint count = members != nullptr ? json_array_get_length(members) : 0;
    for (guint m = 0; m < count; ++m) {
      JsonNode* member = json_array_get_element(members, m);
      if (JSON_NODE_HOLDS_VALUE(member) && json_node_get_value_type(member) == G_TYPE_STRING) {
        groupsListing.emplace_back(json_node_get_string(member), tag);
      }
    }
  }
  const auto byMember = [](const std::pair<std::string_view, std::string_view>& a,
                           const std::pair<std::string_view, std::string_view>& b) {
    return a.first < b.first;
  };
  if (!pending.empty()) std::sort(groupsListing.begin(), groupsListing.end(), byMember);
  while (!pending.empty()) {
    const std::string_view tag = pending.back();
    pending.pop_back();
    if (!tags.direct.insert(tag).second) continue;
    const auto groups = std::equal_range(groupsListing.begin(), groupsListing.end(),
                                         std::make_pair(tag, std::string_view()), byMember);
    for (auto group = groups.first; group != groups.second; ++group) {
      pending.push_back(group->second);
    }
  }
  tags.groupLeadsDirect = !tags.direct.empty() && std::any_of(notDirect.begin(), notDirect.end(),
                                                              [&](std::string_view tag) {
                                                                return tags.direct.count(tag) != 0;
                                                              });
  return tags;
}

// Whether |detour| names an outbound of the profile that cannot go direct.
bool SingBoxDetourIsProxy(const SingBoxTags& tags, const char* detour) {
  return detour != nullptr && detour[0] != '\0' && tags.all.count(detour) != 0 &&
         tags.direct.count(detour) == 0;
}

// A remote rule set is fetched by sing-box itself: through its download detour,
// its own HTTP client, the profile's default HTTP client or, with none of
// those, the route's final outbound, which the rewrite makes the proxy.
bool SingBoxDownloadsDirect(JsonObject* root, const SingBoxTags& tags) {
  JsonArray* ruleSets = JsonMemberArray(JsonMemberObject(root, "route"), "rule_set");
  const guint length = ruleSets != nullptr ? json_array_get_length(ruleSets) : 0;
  for (guint i = 0; i < length; ++i) {
    JsonObject* ruleSet = JsonElementObject(ruleSets, i);
    if (!JsonStringEquals(ruleSet, "type", "remote")) continue;
    if (JsonMember(root, "http_clients") != nullptr ||
        JsonMember(ruleSet, "http_client") != nullptr) {
      return true;
    }
    const char* detour = JsonMemberString(ruleSet, "download_detour");
    if (detour != nullptr && detour[0] != '\0' && !SingBoxDetourIsProxy(tags, detour)) {
      return true;
    }
  }
  return false;
}

// An enabled NTP client dials its server from the host unless its detour
// names a proxy.
bool SingBoxNtpRunsDirect(JsonObject* root, const SingBoxTags& tags) {
  JsonObject* ntp = JsonMemberObject(root, "ntp");
  return JsonBooleanIsTrue(ntp, "enabled") &&
         !SingBoxDetourIsProxy(tags, JsonMemberString(ntp, "detour"));
}

// Rules naming GeoIP or geosite codes make releases before 1.12 download
// those databases (through whatever detour "route" names for them, direct
// included) and write them into their working directory as root; later
// releases refuse the rule. The rewrite keeps the DNS rules, nested logical
// rules included.
bool SingBoxUsesGeoDatabase(JsonNode* node) {
  if (JSON_NODE_HOLDS_ARRAY(node)) {
    JsonArray* array = json_node_get_array(node);
    const guint length = json_array_get_length(array);
    for (guint i = 0; i < length; ++i) {
      if (SingBoxUsesGeoDatabase(json_array_get_element(array, i))) return true;
    }
    return false;
  }
  if (!JSON_NODE_HOLDS_OBJECT(node)) return false;
  JsonObject* object = json_node_get_object(node);
  for (const char* name : {"geosite", "geoip", "source_geoip"}) {
    if (JsonMember(object, name) != nullptr) return true;
  }
  return AnyMember(object,
                   [](const char*, JsonNode* child) { return SingBoxUsesGeoDatabase(child); });
}

// What the rewrite leaves in place and sing-box would still send from the
// host: group members, rule-set downloads, NTP and GeoIP or geosite downloads.
ProfileValidation CheckSingBoxDirectTraffic(JsonObject* root, JsonArray* outbounds) {
  const SingBoxTags tags = CollectSingBoxTags(outbounds);
  if (tags.groupLeadsDirect) return Invalid(kSingBoxDirectGroup);
  if (SingBoxDownloadsDirect(root, tags)) return Invalid(kSingBoxDirectDownload);
  if (SingBoxNtpRunsDirect(root, tags)) return Invalid(kSingBoxDirectNtp);
  JsonNode* dnsRules = JsonMember(JsonMemberObject(root, "dns"), "rules");
  if (dnsRules != nullptr && SingBoxUsesGeoDatabase(dnsRules)) return Invalid(kSingBoxGeoDatabase);
  return {true, ""};
}

// ---------------------------------------------------------------------------
// Xray

// Xray's WireGuard outbound brings up a system TUN interface of its own when
// it runs with network privileges, unless told not to.
bool XrayCreatesSystemInterface(JsonObject* root) {
  JsonArray* outbounds = JsonMemberArray(root, "outbounds");
  const guint length = outbounds != nullptr ? json_array_get_length(outbounds) : 0;
  for (guint i = 0; i < length; ++i) {
    JsonObject* outbound = JsonElementObject(outbounds, i);
    if (JsonStringEquals(outbound, "protocol", "wireguard") &&
        !JsonBooleanIsTrue(JsonMemberObject(outbound, "settings"), "noKernelTun")) {
      return true;
    }
  }
  return false;
}

// Observatories probe every outbound whose tag begins with one of their
// subject selectors, through that outbound itself: a probe through freedom, or
// through a DNS outbound (which dials its server from the host), leaves the
// host outside the tunnel. The tags with a given prefix sit together once
// sorted, so each selector costs one search.
bool XrayObservesDirect(JsonObject* root, JsonArray* outbounds) {
  std::vector<std::string> directTags;
  const guint length = json_array_get_length(outbounds);
  for (guint i = 0; i < length; ++i) {
    JsonObject* outbound = JsonElementObject(outbounds, i);
    const char* tag = JsonMemberString(outbound, "tag");
    if (tag != nullptr && (JsonStringEquals(outbound, "protocol", "freedom") ||
                           JsonStringEquals(outbound, "protocol", "dns"))) {
      directTags.push_back(tag);
    }
  }
  std::sort(directTags.begin(), directTags.end());
  for (const char* name : {"observatory", "burstObservatory"}) {
    JsonArray* selectors = JsonMemberArray(JsonMemberObject(root, name), "subjectSelector");
    const guint count = selectors != nullptr ? json_array_get_length(selectors) : 0;
    for (guint s = 0; s < count; ++s) {
      JsonNode* selector = json_array_get_element(selectors, s);
      if (!JSON_NODE_HOLDS_VALUE(selector) || json_node_get_value_type(selector) != G_TYPE_STRING) {
        continue;
      }
      const std::string prefix = json_node_get_string(selector);
      const auto first = std::lower_bound(directTags.begin(), directTags.end(), prefix);
      if (first != directTags.end() && first->compare(0, prefix.size(), prefix) == 0) return true;
    }
  }
  return false;
}

// A DNS server whose scheme ends in "+local" ("https+local", "tcp+local",
// "quic+local", ...) queries from the host instead of through routing.
bool XrayDnsSkipsRouting(JsonObject* root) {
  JsonArray* servers = JsonMemberArray(JsonMemberObject(root, "dns"), "servers");
  const guint length = servers != nullptr ? json_array_get_length(servers) : 0;
  for (guint i = 0; i < length; ++i) {
    JsonNode* server = json_array_get_element(servers, i);
    const char* address = nullptr;
    if (JSON_NODE_HOLDS_VALUE(server) && json_node_get_value_type(server) == G_TYPE_STRING) {
      address = json_node_get_string(server);
    } else if (JSON_NODE_HOLDS_OBJECT(server)) {
      address = JsonMemberString(json_node_get_object(server), "address");
    }
    if (address == nullptr) continue;
    const char* colon = strchr(address, ':');
    const std::size_t scheme = colon != nullptr ? colon - address : strlen(address);
    if (scheme >= 6 && g_ascii_strncasecmp(address + scheme - 6, "+local", 6) == 0) return true;
  }
  return false;
}

}  // namespace

const char* TunnelOutboundTag(EngineKind engine, JsonObject* root, const std::string& protocol) {
  const bool singBox = engine == kSingBox;
  const char* kindMember = singBox ? "type" : "protocol";
  const std::string wanted = singBox ? CanonicalSingBoxProtocol(protocol) : "";
  const bool anyProxy = !singBox || wanted == "singbox" || wanted == "sing-box";
  JsonArray* outbounds = JsonMemberArray(root, "outbounds");
  const guint length = outbounds != nullptr ? json_array_get_length(outbounds) : 0;
  for (guint i = 0; i < length; ++i) {
    JsonObject* outbound = JsonElementObject(outbounds, i);
    const char* tag = JsonMemberString(outbound, "tag");
    const char* kind = JsonMemberString(outbound, kindMember);
    if (tag == nullptr || tag[0] == '\0' || kind == nullptr || kind[0] == '\0') continue;
    const std::string label = Lowercase(kind);
    const bool carriesNoTunnel = singBox ? LabelIn(label, {"direct", "block", "dns"})
                                         : LabelIn(label, {"freedom", "blackhole", "dns"});
    if (!carriesNoTunnel && (anyProxy || label == wanted)) return tag;
  }
  return nullptr;
}

ProfileValidation ValidateSingBox(const std::string& config, const std::string& protocol) {
  g_autoptr(JsonParser) parser = nullptr;
  JsonObject* root = nullptr;
  JsonFindings findings;
  ProfileValidation parsed = ParseJsonObject(config, &parser, &root, &findings);
  if (!parsed.valid) return parsed;

  if (findings.ambiguousNames) {
    return Invalid(
        "The Sing-box profile contains member names that Sing-box could read differently.");
  }
  if (JsonMember(root, "experimental") != nullptr) {
    return Invalid("Sing-box experimental services are not permitted in VPN profiles.");
  }
  if (JsonMemberHasNonEmptyString(JsonMemberObject(root, "log"), "output")) {
    return Invalid("Sing-box profiles may not write logs to files.");
  }
  if (SingBoxActsOnTheSystem(root, findings)) {
    return Invalid(
        "Sing-box profiles may not run programs or services that act on the system outside the "
        "tunnel.");
  }
  if (findings.fileMember) {
    return Invalid("Sing-box profiles may not reference privileged certificate files.");
  }
  if (findings.externalResource || SingBoxDownloadsGeoData(root)) {
    return Invalid("Sing-box profiles may not load external resources as root.");
  }
  ProfileValidation dns = CheckSingBoxDns(root);
  if (!dns.valid) return dns;
  ProfileValidation inbound = CheckSingBoxInbound(root);
  if (!inbound.valid) return inbound;

  JsonArray* outbounds = JsonMemberArray(root, "outbounds");
  if (outbounds == nullptr || json_array_get_length(outbounds) == 0) {
    return Invalid("Sing-box profiles must contain at least one outbound.");
  }
  if (TunnelOutboundTag(kSingBox, root, protocol) != nullptr) {
    return CheckSingBoxDirectTraffic(root, outbounds);
  }
  return Invalid(
      "The Sing-box configuration does not contain a tagged proxy outbound matching the selected "
      "VPN protocol.");
}

ProfileValidation ValidateXray(const std::string& config) {
  g_autoptr(JsonParser) parser = nullptr;
  JsonObject* root = nullptr;
  JsonFindings findings;
  ProfileValidation parsed = ParseJsonObject(config, &parser, &root, &findings);
  if (!parsed.valid) return parsed;

  if (findings.ambiguousNames) {
    return Invalid("The Xray profile contains member names that Xray could read differently.");
  }
  if (JsonMember(root, "api") != nullptr) {
    return Invalid("Xray API listeners are not permitted in VPN profiles.");
  }
  if (JsonMember(root, "metrics") != nullptr) {
    return Invalid("Xray metrics listeners are not permitted in VPN profiles.");
  }
  if (XrayCreatesSystemInterface(root)) {
    return Invalid(
        "Xray WireGuard outbounds must set noKernelTun so that they create no system interface.");
  }
  JsonObject* log = JsonMemberObject(root, "log");
  if (JsonMemberHasNonEmptyString(log, "access") || JsonMemberHasNonEmptyString(log, "error")) {
    return Invalid("Xray profiles may not write logs to files.");
  }
  if (findings.fileMember) {
    return Invalid("Xray profiles may not reference privileged certificate files.");
  }
  if (findings.externalResource) {
    return Invalid("Xray profiles may not load external resources as root.");
  }

  JsonArray* inbounds = JsonMemberArray(root, "inbounds");
  if (inbounds == nullptr) return Invalid("Xray profiles must contain a TUN inbound.");
  if (json_array_get_length(inbounds) != 1) {
    return Invalid("Xray profiles must contain exactly one app-owned TUN inbound.");
  }
  // Xray still reads the older single "inbound" and the "inboundDetour" list
  // beside "inbounds": each would be one more listener.
  if (JsonMember(root, "inbound") != nullptr || JsonMember(root, "inboundDetour") != nullptr) {
    return Invalid("Xray profiles must contain exactly one app-owned TUN inbound.");
  }
  if (!JsonStringEquals(JsonElementObject(inbounds, 0), "protocol", "tun")) {
    return Invalid("The Xray inbound must use the TUN protocol.");
  }

  JsonArray* outbounds = JsonMemberArray(root, "outbounds");
  if (outbounds == nullptr) return Invalid("Xray profiles must contain at least one outbound.");
  if (TunnelOutboundTag(kXray, root, "") == nullptr) {
    return Invalid("Xray profiles require a tagged proxy outbound.");
  }
  // What the rewrite leaves in place and Xray would still send from the host.
  if (XrayObservesDirect(root, outbounds)) return Invalid(kXrayDirectObservatory);
  if (XrayDnsSkipsRouting(root)) return Invalid(kXrayLocalDns);
  return {true, ""};
}

}  // namespace tessary::linux_service
