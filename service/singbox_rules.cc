// Sing-box's profile rules: what sing-box would do as root beside the tunnel,
// and the traffic it would send from the host outside the route the rewrite
// forces.
#include <glib.h>
#include <json-glib/json-glib.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "service/json_members.h"
#include "service/json_rules.h"
#include "service/profile_rules.h"
#include "service/profile_text.h"

namespace tessary::linux_service {
namespace {

// Traffic sing-box sends on its own, outside the route the rewrite forces.
constexpr char kSingBoxDirectGroup[] =
    "Sing-box outbound groups may not lead to a direct outbound.";
constexpr char kSingBoxDirectDownload[] =
    "Sing-box remote rule sets must be downloaded through a proxy outbound.";
constexpr char kSingBoxDirectNtp[] = "Sing-box NTP clients must run through a proxy outbound.";
constexpr char kSingBoxGeoDatabase[] = "Sing-box DNS rules may not use GeoIP or geosite databases.";

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

}  // namespace

ProfileValidation ValidateSingBox(const std::string& config, const std::string& protocol) {
  g_autoptr(JsonParser) parser = nullptr;
  JsonObject* root = nullptr;
  JsonFindings findings;
  ProfileValidation parsed = ParseJsonObject(kSingBox, config, &parser, &root, &findings);
  if (!parsed.valid) return parsed;

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

}  // namespace tessary::linux_service
