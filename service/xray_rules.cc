// Xray's profile rules: what Xray would do as root beside the tunnel, and the
// traffic it would send from the host outside the route the rewrite forces.
#include <glib.h>
#include <json-glib/json-glib.h>
#include <string.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "service/json_members.h"
#include "service/json_rules.h"
#include "service/profile_rules.h"

namespace tessary::linux_service {
namespace {

// Traffic Xray sends on its own, outside the route the rewrite forces.
constexpr char kXrayDirectObservatory[] =
    "Xray observatories may not probe through freedom or DNS outbounds.";
constexpr char kXrayLocalDns[] = "Xray DNS servers may not bypass routing in local mode.";

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

ProfileValidation ValidateXray(const std::string& config) {
  g_autoptr(JsonParser) parser = nullptr;
  JsonObject* root = nullptr;
  JsonFindings findings;
  ProfileValidation parsed = ParseJsonObject(kXray, config, &parser, &root, &findings);
  if (!parsed.valid) return parsed;

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
