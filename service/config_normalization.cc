#include "service/config_normalization.h"

#include <glib.h>
#include <json-glib/json-glib.h>
#include <string.h>

#include <cstddef>

#include "common/constants.h"
#include "common/secure_clear.h"
#include "service/engine_kind.h"
#include "service/json_members.h"
#include "service/json_rules.h"
#include "service/profile_text.h"

namespace tessary::linux_service {
namespace {

constexpr char kInboundTag[] = "tessary-tun";

// Inbound members that would let traffic, users, applications or addresses
// bypass the tunnel, or move the tunnel into another namespace.
constexpr const char* kSingBoxRemovedInboundMembers[] = {
    "route_address",
    "inet4_route_address",
    "inet6_route_address",
    "route_exclude_address",
    "inet4_route_exclude_address",
    "inet6_route_exclude_address",
    "route_address_set",
    "route_exclude_address_set",
    "include_interface",
    "exclude_interface",
    "include_uid",
    "include_uid_range",
    "exclude_uid",
    "exclude_uid_range",
    "include_package",
    "exclude_package",
    "include_android_user",
    "include_mac_address",
    "exclude_mac_address",
    "netns",
    // DNS on the interface: the defaults hijack port 53 into sing-box's own
    // DNS, and another address would send it elsewhere.
    "dns_mode",
    "dns_address",
    // Connections to these would be turned back to the host itself.
    "loopback_address",
    // Only auto_redirect reads these; it stays off.
    "auto_redirect_iproute2_fallback_rule_index",
    "auto_redirect_input_mark",
    "auto_redirect_output_mark",
    "auto_redirect_reset_mark",
    "auto_redirect_nfqueue",
};

constexpr const char* kXrayRemovedTunMembers[] = {
    "gateway",
    "autoSystemRoutingTable",
    "autoOutboundsInterface",
};

struct ParsedJson {
  JsonParser* parser = nullptr;
  std::size_t inputBytes = 0;
  ParsedJson() = default;
  ~ParsedJson() {
    if (parser != nullptr) g_object_unref(parser);
  }
  ParsedJson(const ParsedJson&) = delete;
  ParsedJson& operator=(const ParsedJson&) = delete;
};

// Loads the text into a fresh parser through the one door into json-glib;
// false on anything it refuses (the parser's own message is never shown),
// including an object holding two member names that the engine's decoder
// would take for one.
bool Parse(const std::string& config, ParsedJson* parsed) {
  parsed->parser = json_parser_new();
  parsed->inputBytes = config.size();
  return LoadJson(parsed->parser, config) == JsonLoad::kLoaded;
}

JsonObject* RootObject(const ParsedJson& parsed) {
  JsonNode* root = json_parser_get_root(parsed.parser);
  if (root == nullptr || !JSON_NODE_HOLDS_OBJECT(root)) return nullptr;
  return json_node_get_object(root);
}

// Every setter first drops the members spelled differently that the decoder
// would read for the same name, so the value set here is the one it reads.
void SetString(JsonObject* object, const char* name, const char* value) {
  RemoveJsonMemberAliases(object, name);
  json_object_set_string_member(object, name, value);
}

void SetBoolean(JsonObject* object, const char* name, gboolean value) {
  RemoveJsonMemberAliases(object, name);
  json_object_set_boolean_member(object, name, value);
}

void SetInt(JsonObject* object, const char* name, gint64 value) {
  RemoveJsonMemberAliases(object, name);
  json_object_set_int_member(object, name, value);
}

// Takes ownership of |value|.
void SetArray(JsonObject* object, const char* name, JsonArray* value) {
  RemoveJsonMemberAliases(object, name);
  json_object_set_array_member(object, name, value);
}

// The object the decoder reads for `name`, replacing a member of any other
// type by an empty object first.
JsonObject* EnsureObjectMember(JsonObject* object, const char* name) {
  JsonObject* existing = JsonMemberObject(object, name);
  if (existing != nullptr) return existing;
  RemoveJsonMember(object, name);
  json_object_set_object_member(object, name, json_object_new());
  return json_object_get_object_member(object, name);
}

JsonArray* StringArray(std::initializer_list<const char*> values) {
  JsonArray* array = json_array_new();
  for (const char* value : values) json_array_add_string_element(array, value);
  return array;
}

// The text holds the profile's secrets, so it is built in one buffer that
// never has to grow (a grown buffer would leave its old copy freed unwiped)
// and wiped before release. Written compactly, a value takes at most about
// eight times its input bytes ("1e9," becomes "1000000000.0,"), and the
// members normalization adds fit in the margin. The pages beyond what is
// written are never touched, so the size costs address space only.
constexpr std::size_t kSerializedGrowth = 8;
constexpr std::size_t kSerializedMargin = 65536;

bool Serialize(const ParsedJson& parsed, std::string* text) {
  g_autoptr(JsonGenerator) generator = json_generator_new();
  json_generator_set_root(generator, json_parser_get_root(parsed.parser));
  GString* buffer = g_string_sized_new(parsed.inputBytes * kSerializedGrowth + kSerializedMargin);
  json_generator_to_gstring(generator, buffer);
  const bool produced = buffer->len > 0;
  if (produced) text->assign(buffer->str, buffer->len);
  SecureClear(buffer->str, buffer->len);
  g_string_free(buffer, TRUE);
  return produced;
}

}  // namespace

bool NormalizeSingBoxConfig(const std::string& protocol, const std::string& config,
                            std::string* normalized, std::string* error) {
  ParsedJson parsed;
  if (!Parse(config, &parsed)) {
    *error = "Unable to normalize the Sing-box configuration.";
    return false;
  }
  JsonObject* root = RootObject(parsed);
  if (root == nullptr) {
    *error = "The Sing-box configuration root is invalid.";
    return false;
  }
  JsonArray* inbounds = JsonMemberArray(root, "inbounds");
  if (inbounds == nullptr || json_array_get_length(inbounds) != 1 ||
      !JSON_NODE_HOLDS_OBJECT(json_array_get_element(inbounds, 0))) {
    *error = "The Sing-box TUN inbound is invalid.";
    return false;
  }

  JsonObject* inbound = json_array_get_object_element(inbounds, 0);
  SetString(inbound, "tag", kInboundTag);
  SetString(inbound, "interface_name", kSingBoxInterface);
  SetArray(inbound, "address", StringArray({"172.19.0.1/30", "fdfe:dcba:9876::1/126"}));
  SetBoolean(inbound, "auto_route", TRUE);
  SetBoolean(inbound, "strict_route", TRUE);
  // auto_redirect needs the kernel's nftables queue support, without which
  // sing-box refuses to start at all; auto_route with strict_route already
  // sends everything through the tunnel.
  SetBoolean(inbound, "auto_redirect", FALSE);
  SetInt(inbound, "iproute2_table_index", kSingBoxRouteTable);
  SetInt(inbound, "iproute2_rule_index", kSingBoxRulePriority);
  for (const char* member : kSingBoxRemovedInboundMembers) RemoveJsonMember(inbound, member);

  const char* selected = TunnelOutboundTag(kSingBox, root, protocol);
  if (selected == nullptr) {
    *error = "The selected Sing-box proxy outbound is unavailable.";
    return false;
  }
  // Copied: the rewrite below may replace the member it is borrowed from.
  const std::string tag = selected;

  JsonObject* route = EnsureObjectMember(root, "route");
  SetBoolean(route, "auto_detect_interface", TRUE);
  // A dialer's own routing_mark would win over the default one and open the
  // kill switch's door to sockets without it.
  SetInt(route, "default_mark", kSingBoxRoutingMark);
  for (const char* section : {"outbounds", "endpoints"}) {
    JsonArray* dialers = JsonMemberArray(root, section);
    const guint count = dialers != nullptr ? json_array_get_length(dialers) : 0;
    for (guint i = 0; i < count; ++i) {
      JsonObject* dialer = JsonElementObject(dialers, i);
      if (dialer != nullptr) RemoveJsonMember(dialer, "routing_mark");
    }
  }
  JsonObject* ntp = JsonMemberObject(root, "ntp");
  if (ntp != nullptr) RemoveJsonMember(ntp, "routing_mark");
  SetString(route, "final", tag.c_str());
  JsonArray* rules = json_array_new();
  JsonObject* sniff = json_object_new();
  json_object_set_string_member(sniff, "action", "sniff");
  json_array_add_object_element(rules, sniff);
  JsonObject* hijack = json_object_new();
  json_object_set_string_member(hijack, "protocol", "dns");
  json_object_set_string_member(hijack, "action", "hijack-dns");
  json_array_add_object_element(rules, hijack);
  SetArray(route, "rules", rules);

  JsonArray* servers = JsonMemberArray(JsonMemberObject(root, "dns"), "servers");
  if (servers != nullptr) {
    const guint count = json_array_get_length(servers);
    for (guint i = 0; i < count; ++i) {
      JsonObject* server = JsonElementObject(servers, i);
      // Hosts and fake-IP servers answer from memory and take no detour;
      // sing-box refuses one there.
      const char* type = server != nullptr ? JsonMemberString(server, "type") : nullptr;
      const std::string kind = type != nullptr ? Lowercase(type) : "";
      if (server != nullptr && kind != "hosts" && kind != "fakeip") {
        SetString(server, "detour", tag.c_str());
      }
      if (server != nullptr) RemoveJsonMember(server, "routing_mark");
    }
  }

  if (!Serialize(parsed, normalized)) {
    *error = "Unable to serialize the normalized Sing-box configuration.";
    return false;
  }
  return true;
}

bool NormalizeXrayConfig(const std::string& config, std::string* normalized, std::string* error) {
  ParsedJson parsed;
  if (!Parse(config, &parsed)) {
    *error = "Unable to normalize the Xray configuration.";
    return false;
  }
  JsonObject* root = RootObject(parsed);
  if (root == nullptr) {
    *error = "The Xray configuration root is invalid.";
    return false;
  }
  JsonArray* inbounds = JsonMemberArray(root, "inbounds");
  if (inbounds == nullptr || json_array_get_length(inbounds) != 1) {
    *error = "The Xray TUN inbound is unavailable.";
    return false;
  }
  if (!JSON_NODE_HOLDS_OBJECT(json_array_get_element(inbounds, 0))) {
    *error = "The Xray TUN inbound is invalid.";
    return false;
  }

  JsonObject* inbound = json_array_get_object_element(inbounds, 0);
  SetString(inbound, "tag", kInboundTag);
  JsonObject* settings = EnsureObjectMember(inbound, "settings");
  SetString(settings, "name", kXrayInterface);
  // Newer Xray releases route by themselves when asked through these; the
  // service routes around this one's interface, and two would fight.
  for (const char* member : kXrayRemovedTunMembers) RemoveJsonMember(settings, member);

  // Every outbound socket carries the mark that keeps it out of the tunnel's
  // table: without it, Xray's connection to its server would loop back in.
  JsonArray* outbounds = JsonMemberArray(root, "outbounds");
  const guint outboundCount = outbounds != nullptr ? json_array_get_length(outbounds) : 0;
  for (guint i = 0; i < outboundCount; ++i) {
    JsonObject* outbound = JsonElementObject(outbounds, i);
    if (outbound == nullptr) continue;
    JsonObject* sockopt =
        EnsureObjectMember(EnsureObjectMember(outbound, "streamSettings"), "sockopt");
    SetInt(sockopt, "mark", kXrayRoutingMark);
  }

  const char* selected = TunnelOutboundTag(kXray, root, "");
  if (selected == nullptr) {
    *error = "The Xray proxy outbound is unavailable.";
    return false;
  }
  const std::string tag = selected;

  JsonObject* routing = EnsureObjectMember(root, "routing");
  JsonObject* rule = json_object_new();
  json_object_set_string_member(rule, "type", "field");
  json_object_set_array_member(rule, "inboundTag", StringArray({kInboundTag}));
  json_object_set_string_member(rule, "outboundTag", tag.c_str());
  JsonArray* rules = json_array_new();
  json_array_add_object_element(rules, rule);
  SetArray(routing, "rules", rules);

  if (!Serialize(parsed, normalized)) {
    *error = "Unable to serialize the normalized Xray configuration.";
    return false;
  }
  return true;
}

}  // namespace tessary::linux_service
