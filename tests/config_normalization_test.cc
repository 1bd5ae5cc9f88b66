// The sing-box and Xray rewrites, checked on the parsed output: what the
// engine will run must be the service's inbound, route and DNS, whatever the
// profile asked for, and every refusal must carry its own sentence.
#include <gtest/gtest.h>

// The nesting scan is file-private; the unit is included whole.
#include "service/config_normalization.cc"
#include "service/config_validation.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <vector>

namespace tessary::linux_service {
namespace {

std::string ReadData(const std::string& name) {
  const char* source = g_getenv("TESSARY_SOURCE_DIR");
  std::string path =
      std::string(source ? source : TESSARY_SOURCE_DIR_DEFAULT) + "/tests/data/normalize/" + name;
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  EXPECT_FALSE(text.str().empty()) << path;
  return text.str();
}

// A parsed output document; members are looked up by path.
struct Doc {
  JsonParser* parser = json_parser_new();
  JsonObject* root = nullptr;
  explicit Doc(const std::string& text) {
    if (json_parser_load_from_data(parser, text.data(), static_cast<gssize>(text.size()),
                                   nullptr)) {
      JsonNode* node = json_parser_get_root(parser);
      if (node != nullptr && JSON_NODE_HOLDS_OBJECT(node)) root = json_node_get_object(node);
    }
  }
  ~Doc() { g_object_unref(parser); }
  Doc(const Doc&) = delete;
  Doc& operator=(const Doc&) = delete;
};

// Output members are looked up as the engines read them.
JsonObject* Obj(JsonObject* object, const char* name) { return JsonMemberObject(object, name); }
JsonArray* Arr(JsonObject* object, const char* name) { return JsonMemberArray(object, name); }
std::string Str(JsonObject* object, const char* name) {
  const char* value = JsonMemberString(object, name);
  return value != nullptr ? value : "<missing>";
}
JsonObject* Element(JsonArray* array, guint index) {
  if (array == nullptr || index >= json_array_get_length(array)) return nullptr;
  JsonNode* node = json_array_get_element(array, index);
  return JSON_NODE_HOLDS_OBJECT(node) ? json_node_get_object(node) : nullptr;
}
std::vector<std::string> Strings(JsonArray* array) {
  std::vector<std::string> values;
  if (array == nullptr) return values;
  for (guint i = 0; i < json_array_get_length(array); ++i) {
    JsonNode* node = json_array_get_element(array, i);
    values.push_back(JSON_NODE_HOLDS_VALUE(node) && json_node_get_value_type(node) == G_TYPE_STRING
                         ? json_node_get_string(node)
                         : "<not a string>");
  }
  return values;
}
bool BoolIsTrue(JsonObject* object, const char* name) {
  JsonNode* node = JsonMember(object, name);
  return node != nullptr && JSON_NODE_HOLDS_VALUE(node) &&
         json_node_get_value_type(node) == G_TYPE_BOOLEAN && json_node_get_boolean(node);
}
gint64 Int(JsonObject* object, const char* name) {
  JsonNode* node = JsonMember(object, name);
  if (node == nullptr || !JSON_NODE_HOLDS_VALUE(node) ||
      json_node_get_value_type(node) != G_TYPE_INT64) {
    return -1;
  }
  return json_node_get_int(node);
}

std::string SingBox(const std::string& protocol, const std::string& config, std::string* error) {
  std::string normalized = "untouched";
  *error = "untouched";
  const bool ok = NormalizeSingBoxConfig(protocol, config, &normalized, error);
  if (ok) {
    EXPECT_EQ(*error, "untouched");
    EXPECT_NE(normalized, "untouched");
    return normalized;
  }
  EXPECT_EQ(normalized, "untouched");
  return "";
}

std::string Xray(const std::string& config, std::string* error) {
  std::string normalized = "untouched";
  *error = "untouched";
  const bool ok = NormalizeXrayConfig(config, &normalized, error);
  if (ok) {
    EXPECT_EQ(*error, "untouched");
    EXPECT_NE(normalized, "untouched");
    return normalized;
  }
  EXPECT_EQ(normalized, "untouched");
  return "";
}

TEST(SingBoxNormalization, CorpusTunProfileGetsTheServiceInboundRouteAndDns) {
  std::string error;
  const std::string out = SingBox(
      "vless", ReadData("box-for-magisk-1.12-tun-auto-redirect-log-file-clash-api.json"), &error);
  ASSERT_FALSE(out.empty()) << error;
  Doc doc(out);
  ASSERT_NE(doc.root, nullptr) << out;

  JsonArray* inbounds = Arr(doc.root, "inbounds");
  ASSERT_NE(inbounds, nullptr);
  ASSERT_EQ(json_array_get_length(inbounds), 1u);
  JsonObject* tun = Element(inbounds, 0);
  EXPECT_EQ(Str(tun, "tag"), "tessary-tun");
  EXPECT_EQ(Str(tun, "interface_name"), "tessary-sbox0");
  EXPECT_EQ(Strings(Arr(tun, "address")),
            (std::vector<std::string>{"172.19.0.1/30", "fdfe:dcba:9876::1/126"}));
  EXPECT_TRUE(BoolIsTrue(tun, "auto_route"));
  EXPECT_TRUE(BoolIsTrue(tun, "strict_route"));
  ASSERT_TRUE(json_object_has_member(tun, "auto_redirect"));  // off: needs nftables queue support
  EXPECT_FALSE(BoolIsTrue(tun, "auto_redirect"));
  EXPECT_EQ(Int(tun, "iproute2_table_index"), 2022);
  EXPECT_EQ(Int(tun, "iproute2_rule_index"), 9000);
  // The profile's own choices outside the rewrite stay.
  EXPECT_EQ(Str(tun, "type"), "tun");
  EXPECT_EQ(Str(tun, "stack"), "mixed");
  EXPECT_EQ(Int(tun, "mtu"), 9000);

  // The first outbound is "direct"; the vless one is selected.
  JsonObject* route = Obj(doc.root, "route");
  EXPECT_EQ(Str(route, "final"), "SBOX");
  EXPECT_TRUE(BoolIsTrue(route, "auto_detect_interface"));
  EXPECT_TRUE(BoolIsTrue(route, "find_process"));
  EXPECT_EQ(Str(route, "default_domain_resolver"), "ali");
  JsonArray* rules = Arr(route, "rules");
  ASSERT_NE(rules, nullptr);
  ASSERT_EQ(json_array_get_length(rules), 2u);
  JsonObject* sniff = Element(rules, 0);
  ASSERT_NE(sniff, nullptr);
  EXPECT_EQ(json_object_get_size(sniff), 1u);
  EXPECT_EQ(Str(sniff, "action"), "sniff");
  JsonObject* hijack = Element(rules, 1);
  ASSERT_NE(hijack, nullptr);
  EXPECT_EQ(json_object_get_size(hijack), 2u);
  EXPECT_EQ(Str(hijack, "protocol"), "dns");
  EXPECT_EQ(Str(hijack, "action"), "hijack-dns");

  // Both DNS servers, including one that named another detour, use the proxy.
  JsonArray* servers = Arr(Obj(doc.root, "dns"), "servers");
  ASSERT_NE(servers, nullptr);
  ASSERT_EQ(json_array_get_length(servers), 2u);
  EXPECT_EQ(Str(Element(servers, 0), "detour"), "SBOX");
  EXPECT_EQ(Str(Element(servers, 1), "detour"), "SBOX");
  EXPECT_EQ(Str(Element(servers, 1), "server"), "223.5.5.5");
  EXPECT_EQ(Str(Obj(doc.root, "dns"), "final"), "cloudflare");

  // Root members the rewrite does not own are passed through; judging them is
  // validation's business.
  EXPECT_TRUE(json_object_has_member(doc.root, "log"));
  EXPECT_TRUE(json_object_has_member(doc.root, "experimental"));
  EXPECT_EQ(json_array_get_length(Arr(doc.root, "outbounds")), 3u);
}

TEST(SingBoxNormalization, CorpusProfileRoutesAndDnsFollowTheSelectedOutbound) {
  std::string error;
  const std::string out = SingBox(
      "socks", ReadData("chika-tun-fakeip-rule-actions-local-rule-set-cache-file.json"), &error);
  ASSERT_FALSE(out.empty()) << error;
  Doc doc(out);
  JsonObject* route = Obj(doc.root, "route");
  EXPECT_EQ(Str(route, "final"), "proxy");
  EXPECT_EQ(json_array_get_length(Arr(route, "rules")), 2u);
  EXPECT_NE(Arr(route, "rule_set"), nullptr);
  JsonArray* servers = Arr(Obj(doc.root, "dns"), "servers");
  ASSERT_NE(servers, nullptr);
  ASSERT_EQ(json_array_get_length(servers), 6u);
  for (guint i = 0; i < 6; ++i) EXPECT_EQ(Str(Element(servers, i), "detour"), "proxy") << i;
  JsonObject* tun = Element(Arr(doc.root, "inbounds"), 0);
  EXPECT_EQ(Strings(Arr(tun, "address")),
            (std::vector<std::string>{"172.19.0.1/30", "fdfe:dcba:9876::1/126"}));
  EXPECT_EQ(Str(tun, "stack"), "system");
}

std::string Upper(const char* text) {
  std::string upper(text);
  for (char& c : upper) c = g_ascii_toupper(c);
  return upper;
}

TEST(SingBoxNormalization, BypassMembersAreRemovedAndOthersKept) {
  // Spelled as written and in capitals, which the engine reads the same way.
  for (const bool capitals : {false, true}) {
    SCOPED_TRACE(capitals ? "capitals" : "as written");
    std::string inbound =
        capitals ? R"({"type":"tun","stack":"gvisor","mtu":1400,"INTERFACE_NAME":"evil0",)"
                   R"("Address":["10.0.0.1/8"],"Auto_Route":false,"STRICT_ROUTE":false,)"
                   R"("IPROUTE2_TABLE_INDEX":1,"Tag":"mine")"
                 : R"({"type":"tun","stack":"gvisor","mtu":1400,"interface_name":"evil0",)"
                   R"("address":["10.0.0.1/8"],"auto_route":false,"strict_route":false,)"
                   R"("iproute2_table_index":1,"tag":"mine")";
    for (const char* member : kSingBoxRemovedInboundMembers) {
      inbound += ",\"" + (capitals ? Upper(member) : std::string(member)) + "\":[\"x\"]";
    }
    inbound += "}";
    const std::string config =
        R"({"inbounds":[)" + inbound + R"(],"outbounds":[{"type":"trojan","tag":"t"}]})";
    std::string error;
    const std::string out = SingBox("trojan", config, &error);
    ASSERT_FALSE(out.empty()) << error;
    Doc doc(out);
    JsonObject* tun = Element(Arr(doc.root, "inbounds"), 0);
    ASSERT_NE(tun, nullptr);
    for (const char* member : kSingBoxRemovedInboundMembers) {
      EXPECT_FALSE(json_object_has_member(tun, member)) << member;
    }
    EXPECT_EQ(Str(tun, "tag"), "tessary-tun");
    EXPECT_EQ(Str(tun, "interface_name"), "tessary-sbox0");
    EXPECT_TRUE(BoolIsTrue(tun, "auto_route"));
    EXPECT_TRUE(BoolIsTrue(tun, "strict_route"));
    EXPECT_EQ(Int(tun, "iproute2_table_index"), 2022);
    EXPECT_EQ(Str(tun, "stack"), "gvisor");
    EXPECT_EQ(Int(tun, "mtu"), 1400);
    EXPECT_EQ(json_object_get_size(tun), 11u);  // type stack mtu + the eight set members
  }
}

struct SelectionCase {
  const char* name;
  const char* protocol;
  const char* outbounds;
  const char* tag;  // "" when the selection must fail
};

TEST(SingBoxNormalization, ProxyOutboundSelection) {
  const SelectionCase cases[] = {
      {"vless skips direct block dns", "vless",
       R"([{"type":"direct","tag":"d"},{"type":"block","tag":"b"},{"type":"DNS","tag":"n"},)"
       R"({"type":"vless","tag":"v"}])",
       "v"},
      {"type compared without case", "vless", R"([{"type":"VLESS","tag":"v"}])", "v"},
      {"label compared without case", "VMess",
       R"([{"type":"vless","tag":"a"},{"type":"vmess","tag":"m"}])", "m"},
      {"sing-box takes any proxy", "sing-box",
       R"([{"type":"Direct","tag":"d"},{"type":"selector","tag":"sel"},{"type":"vless","tag":"v"}])",
       "sel"},
      {"singbox takes urltest", "singbox",
       R"([{"type":"block","tag":"b"},{"type":"urltest","tag":"u"}])", "u"},
      {"trojan without a trojan outbound", "trojan",
       R"([{"type":"vless","tag":"v"},{"type":"selector","tag":"s"}])", ""},
      {"untagged empty-tag and non-string tags skipped", "vless",
       R"([{"type":"vless"},{"type":"vless","tag":""},{"type":"vless","tag":7},)"
       R"({"type":["vless"],"tag":"arr"},"vless",null,{"type":"vless","tag":"ok"}])",
       "ok"},
      {"direct only", "sing-box", R"([{"type":"direct","tag":"d"}])", ""},
      {"outbounds not an array", "vless", R"({"type":"vless","tag":"v"})", ""},
      {"quarn means vless", "quarn",
       R"([{"type":"direct","tag":"d"},{"type":"trojan","tag":"t"},{"type":"Vless","tag":"v"}])",
       "v"},
      {"xray-reality in capitals means vless", "XRAY-Reality",
       R"([{"type":"dns","tag":"n"},{"type":"vless","tag":"v"}])", "v"},
      {"quarn does not take trojan", "Quarn", R"([{"type":"trojan","tag":"t"}])", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string config =
        std::string(R"({"inbounds":[{"type":"tun"}],"outbounds":)") + c.outbounds + "}";
    std::string error;
    const std::string out = SingBox(c.protocol, config, &error);
    if (c.tag[0] == '\0') {
      EXPECT_TRUE(out.empty());
      EXPECT_EQ(error, "The selected Sing-box proxy outbound is unavailable.");
      continue;
    }
    ASSERT_FALSE(out.empty()) << error;
    Doc doc(out);
    EXPECT_EQ(Str(Obj(doc.root, "route"), "final"), c.tag);
  }
}

TEST(SingBoxNormalization, RouteAndDnsSectionsOfEveryShape) {
  struct Case {
    const char* name;
    const char* extra;  // root members besides inbounds and outbounds
    const char* keptRouteMember;
    bool dnsExpected;
  };
  // Every dialer's own mark goes, in whatever spelling: the default mark,
  // which the kill switch admits, is the one sing-box uses.
  const Case cases[] = {
      {"route as an array is replaced", R"("route":[{"outbound":"x"}])", nullptr, false},
      {"route absent is created", R"("log":{})", nullptr, false},
      {"route rules, final and mark replaced, others kept",
       R"("route":{"rules":[{"port":53,"outbound":"direct"}],"final":"direct","auto_detect_interface":false,)"
       R"("default_mark":255,"find_process":true})",
       "find_process", false},
      {"Route in other capitals is the route",
       R"("Route":{"Rules":[{"port":53}],"FINAL":"direct","Auto_Detect_Interface":false,)"
       R"("Default_Mark":255,"Find_Process":true})",
       "Find_Process", false},
      {"servers not an array left alone", R"("dns":{"servers":{"type":"udp"}})", nullptr, true},
      {"dns not an object left alone", R"("dns":"8.8.8.8")", nullptr, false},
      {"dialers' own marks removed",
       R"("dns":{"servers":[{"type":"udp","server":"192.0.2.53","ROUTING_MARK":5}]},)"
       R"("ntp":{"enabled":true,"Routing_Mark":"0x5"},)"
       R"("endpoints":[{"type":"wireguard","tag":"wg","routing_mark":5}])",
       nullptr, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string config =
        std::string(R"({"inbounds":[{"type":"tun"}],)") +
        R"("outbounds":[{"type":"direct","tag":"direct","routing_mark":7},)" +
        R"({"type":"vless","tag":"px","Routing_Mark":"0x7"}],)" + c.extra + "}";
    std::string error;
    const std::string out = SingBox("vless", config, &error);
    ASSERT_FALSE(out.empty()) << error;
    Doc doc(out);
    JsonObject* route = Obj(doc.root, "route");
    ASSERT_NE(route, nullptr);
    EXPECT_EQ(Str(route, "final"), "px");
    EXPECT_TRUE(BoolIsTrue(route, "auto_detect_interface"));
    EXPECT_EQ(Int(route, "default_mark"), 2022);
    EXPECT_EQ(json_array_get_length(Arr(route, "rules")), 2u);
    EXPECT_EQ(json_object_get_size(route), c.keptRouteMember ? 5u : 4u);
    if (c.keptRouteMember) {
      EXPECT_TRUE(json_object_has_member(route, c.keptRouteMember));
    }
    EXPECT_EQ(Obj(doc.root, "dns") != nullptr, c.dnsExpected);
    if (c.dnsExpected && Arr(Obj(doc.root, "dns"), "servers") == nullptr) {
      EXPECT_EQ(Str(Obj(Obj(doc.root, "dns"), "servers"), "detour"), "<missing>");
    }
    std::vector<JsonObject*> dialers = {Element(Arr(doc.root, "outbounds"), 0),
                                        Element(Arr(doc.root, "outbounds"), 1)};
    if (Arr(doc.root, "endpoints") != nullptr) {
      dialers.push_back(Element(Arr(doc.root, "endpoints"), 0));
      dialers.push_back(Obj(doc.root, "ntp"));
      dialers.push_back(Element(Arr(Obj(doc.root, "dns"), "servers"), 0));
      EXPECT_EQ(Str(dialers.back(), "detour"), "px");
    }
    for (JsonObject* dialer : dialers) {
      ASSERT_NE(dialer, nullptr);
      for (const char* spelling : {"routing_mark", "Routing_Mark", "ROUTING_MARK"}) {
        EXPECT_FALSE(json_object_has_member(dialer, spelling)) << spelling;
      }
    }
  }
}

struct FailureCase {
  const char* name;
  std::string config;
  const char* message;
};

TEST(SingBoxNormalization, FailureMessages) {
  const std::string ok = R"("outbounds":[{"type":"vless","tag":"v"}])";
  const FailureCase cases[] = {
      {"not JSON", "placeholder", "Unable to normalize the Sing-box configuration."},
      {"unterminated", R"({"inbounds":[)", "Unable to normalize the Sing-box configuration."},
      {"corpus placeholder", "{{ .config }}", "Unable to normalize the Sing-box configuration."},
      {"invalid UTF-8", "{\"a\":\"\xff\"}", "Unable to normalize the Sing-box configuration."},
      {"empty text", "", "The Sing-box configuration root is invalid."},
      {"root array", "[{}]", "The Sing-box configuration root is invalid."},
      {"root string", "\"tun\"", "The Sing-box configuration root is invalid."},
      {"no inbounds", "{" + ok + "}", "The Sing-box TUN inbound is invalid."},
      {"inbounds object", R"({"inbounds":{"type":"tun"},)" + ok + "}",
       "The Sing-box TUN inbound is invalid."},
      {"no inbound", R"({"inbounds":[],)" + ok + "}", "The Sing-box TUN inbound is invalid."},
      {"two inbounds", R"({"inbounds":[{"type":"tun"},{"type":"tun"}],)" + ok + "}",
       "The Sing-box TUN inbound is invalid."},
      {"string inbound", R"({"inbounds":["tun"],)" + ok + "}",
       "The Sing-box TUN inbound is invalid."},
      {"no outbounds", R"({"inbounds":[{"type":"tun"}]})",
       "The selected Sing-box proxy outbound is unavailable."},
      {"a second Inbounds",
       R"({"inbounds":[{"type":"tun"}],"Inbounds":[{"type":"mixed"}],)" + ok + "}",
       "Unable to normalize the Sing-box configuration."},
      {"exact repeat", R"({"inbounds":[{"type":"tun"}],)" + ok + "," + ok + "}",
       "Unable to normalize the Sing-box configuration."},
      {"two corpus inbounds",
       ReadData("template-1.12-selector-urltest-all-placeholders-clash-api.json"),
       "The Sing-box TUN inbound is invalid."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    EXPECT_TRUE(SingBox("sing-box", c.config, &error).empty());
    EXPECT_EQ(error, c.message);
  }
  // A mixed inbound is rewritten like any other, but the corpus client has an
  // untagged outbound only.
  std::string error;
  EXPECT_TRUE(SingBox("hysteria2", ReadData("chika-hysteria2-client.json"), &error).empty());
  EXPECT_EQ(error, "The selected Sing-box proxy outbound is unavailable.");
}

TEST(XrayNormalization, CorpusProfileGetsTheServiceInboundAndOneRule) {
  std::string error;
  const std::string out =
      Xray(ReadData("box-for-magisk-xray-tproxy-dokodemo-dns-hosts-vmess-ws.json"), &error);
  ASSERT_FALSE(out.empty()) << error;
  Doc doc(out);
  ASSERT_NE(doc.root, nullptr);
  JsonArray* inbounds = Arr(doc.root, "inbounds");
  ASSERT_EQ(json_array_get_length(inbounds), 1u);
  JsonObject* inbound = Element(inbounds, 0);
  EXPECT_EQ(Str(inbound, "tag"), "tessary-tun");
  JsonObject* settings = Obj(inbound, "settings");
  EXPECT_EQ(Str(settings, "name"), "tessary-xray0");
  // The service routes around this Xray's interface; it must not route too.
  for (const char* member : {"gateway", "autoSystemRoutingTable", "autoOutboundsInterface"}) {
    EXPECT_FALSE(json_object_has_member(settings, member)) << member;
  }
  EXPECT_EQ(Str(settings, "network"), "tcp,udp");  // other settings stay
  // Every outbound's sockets are marked to leave past the tunnel.
  JsonArray* outbounds = Arr(doc.root, "outbounds");
  ASSERT_GT(json_array_get_length(outbounds), 1u);
  for (guint i = 0; i < json_array_get_length(outbounds); ++i) {
    JsonObject* sockopt = Obj(Obj(Element(outbounds, i), "streamSettings"), "sockopt");
    ASSERT_NE(sockopt, nullptr) << i;
    EXPECT_EQ(Int(sockopt, "mark"), 2023) << i;
  }
  EXPECT_NE(Obj(inbound, "sniffing"), nullptr);

  JsonObject* routing = Obj(doc.root, "routing");
  EXPECT_EQ(Str(routing, "domainStrategy"), "IPIfNonMatch");
  EXPECT_EQ(Str(routing, "domainMatcher"), "mph");
  JsonArray* rules = Arr(routing, "rules");
  ASSERT_EQ(json_array_get_length(rules), 1u);
  JsonObject* rule = Element(rules, 0);
  EXPECT_EQ(json_object_get_size(rule), 3u);
  EXPECT_EQ(Str(rule, "type"), "field");
  EXPECT_EQ(Strings(Arr(rule, "inboundTag")), (std::vector<std::string>{"tessary-tun"}));
  EXPECT_EQ(Str(rule, "outboundTag"), "proxy");
  EXPECT_NE(Obj(doc.root, "dns"), nullptr);
}

TEST(XrayNormalization, OutboundSelectionAndSectionShapes) {
  struct Case {
    const char* name;
    const char* inbound;
    const char* outbounds;
    const char* routing;  // nullptr: none
    const char* tag;
  };
  const Case cases[] = {
      {"freedom then vless", R"({"protocol":"socks"})",
       R"([{"protocol":"freedom","tag":"direct"},{"protocol":"vless","tag":"px"}])", nullptr, "px"},
      {"case of protocol ignored", R"({"protocol":"socks","settings":{}})",
       R"([{"protocol":"Blackhole","tag":"b"},{"protocol":"DNS","tag":"n"},{"protocol":"Trojan","tag":"t"}])",
       R"({"rules":[{"type":"field","outboundTag":"b"},{"type":"field"}],"domainStrategy":"AsIs"})",
       "t"},
      {"settings not an object replaced", R"({"protocol":"tun","settings":"x"})",
       R"([{"protocol":"vmess"},{"protocol":"vmess","tag":""},{"protocol":3,"tag":"n"},)"
       R"({"protocol":"vmess","tag":"m"}])",
       R"(["not","an","object"])", "m"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string config =
        std::string(R"({"inbounds":[)") + c.inbound + R"(],"outbounds":)" + c.outbounds;
    if (c.routing) config += std::string(R"(,"routing":)") + c.routing;
    config += "}";
    std::string error;
    const std::string out = Xray(config, &error);
    ASSERT_FALSE(out.empty()) << error;
    Doc doc(out);
    JsonObject* settings = Obj(Element(Arr(doc.root, "inbounds"), 0), "settings");
    EXPECT_EQ(Str(settings, "name"), "tessary-xray0");
    JsonArray* rules = Arr(Obj(doc.root, "routing"), "rules");
    ASSERT_EQ(json_array_get_length(rules), 1u);
    EXPECT_EQ(Str(Element(rules, 0), "outboundTag"), c.tag);
  }
}

TEST(XrayNormalization, FailureMessages) {
  const std::string ok = R"("outbounds":[{"protocol":"vless","tag":"v"}])";
  const FailureCase cases[] = {
      {"not JSON", "{", "Unable to normalize the Xray configuration."},
      {"root null", "null", "The Xray configuration root is invalid."},
      {"no inbounds", "{" + ok + "}", "The Xray TUN inbound is unavailable."},
      {"two inbounds", R"({"inbounds":[{},{}],)" + ok + "}",
       "The Xray TUN inbound is unavailable."},
      {"inbounds not an array", R"({"inbounds":{},)" + ok + "}",
       "The Xray TUN inbound is unavailable."},
      {"string inbound", R"({"inbounds":["tun"],)" + ok + "}", "The Xray TUN inbound is invalid."},
      {"Routing after routing", R"({"inbounds":[{}],"routing":{},"Routing":{},)" + ok + "}",
       "Unable to normalize the Xray configuration."},
      {"Kelvin sign in settings",
       "{\"inbounds\":[{\"settings\":{\"key\":\"a\",\"\\u212aey\":\"b\"}}]," + ok + "}",
       "Unable to normalize the Xray configuration."},
      {"freedom and blackhole only",
       R"({"inbounds":[{}],"outbounds":[{"protocol":"freedom","tag":"d"},{"protocol":"blackhole","tag":"b"}]})",
       "The Xray proxy outbound is unavailable."},
      {"corpus: two inbounds", ReadData("xtls-examples-shadowsocks-tcp-client.jsonc"),
       "The Xray TUN inbound is unavailable."},
      {"corpus: untagged trojan",
       ReadData("xtls-examples-trojan-tcp-tls-minimal-client-no-final-newline.jsonc"),
       "The Xray proxy outbound is unavailable."},
      {"corpus: freedom and blackhole",
       ReadData("3x-ui-panel-base-template-api-stats-policy-metrics-tunnel.json"),
       "The Xray proxy outbound is unavailable."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string error;
    EXPECT_TRUE(Xray(c.config, &error).empty());
    EXPECT_EQ(error, c.message);
  }
}

// A valid sing-box profile with `inner` as the value of one extra member.
std::string ProfileWith(const std::string& inner) {
  return R"({"inbounds":[{"type":"tun"}],"outbounds":[{"type":"vless","tag":"v"}],"x":)" + inner +
         "}";
}
std::string Nested(int arrays, const std::string& core) {
  return std::string(arrays, '[') + core + std::string(arrays, ']');
}

TEST(NestingLimit, MatchesTheLevelsValidationAdmits) {
  struct Case {
    const char* name;
    std::string text;
    bool admitted;
  };
  const Case cases[] = {
      // The member "x" is level 1, so 63 arrays put the number at level 64.
      {"number at level 64", ProfileWith(Nested(63, "1")), true},
      {"number at level 65", ProfileWith(Nested(64, "1")), false},
      {"empty array at level 64", ProfileWith(Nested(64, "")), true},
      {"empty object at level 65", ProfileWith(Nested(64, "{}")), false},
      {"member name at level 65", ProfileWith(Nested(63, R"({"k":1})")), false},
      {"string at level 65", ProfileWith(Nested(64, R"("s")")), false},
      {"single-quoted string at level 65", ProfileWith(Nested(64, "'s'")), false},
      {"comment at level 65 is no node", ProfileWith(Nested(64, "/* c */")), true},
      {"brackets in strings",
       ProfileWith(R"([")" + std::string(500, '[') + R"(", "\"[[[", "]]]]]]"])"), true},
      // The engines end single quotes and comments elsewhere than json-glib.
      {"brackets in single quotes", ProfileWith("['" + std::string(500, '{') + "\"']"), false},
      {"brackets in comments", ProfileWith("/* " + std::string(500, '[') + " \" */ 1"), true},
      {"slash comment", ProfileWith("/ c / 1"), false},
      {"escaped quote then brackets", ProfileWith(R"(["\"" )" + Nested(64, "1") + "]"), false},
      {"surrogate pair", ProfileWith(R"("\ud83d\ude00 \u005b")"), true},
      {"short unicode escape", ProfileWith(R"(["\u12"])"), false},
      {"escape swallowing the quote", ProfileWith(R"(["\u00"", "]]]"])"), false},
      {"lone high surrogate", ProfileWith(R"(["\ud800x"])"), false},
      {"lone low surrogate", ProfileWith(R"(["\udc00"])"), false},
      {"unterminated comment", ProfileWith("1 /"), false},
      {"NUL byte", ProfileWith(std::string("\"a\0b\"", 5)), false},
      {"closing more than opened", "{}]]]" + Nested(80, ""), false},
      {"trailing document", "{}" + Nested(100, ""), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const JsonTextScan scan = ScanJsonText(c.text);
    EXPECT_EQ(!scan.tooDeep && !scan.nodeTooDeep && !scan.readDifferently, c.admitted);
    std::string error;
    const std::string out = SingBox("vless", c.text, &error);
    if (!c.admitted) {
      EXPECT_EQ(error, "Unable to normalize the Sing-box configuration.");
      std::string xrayError;
      EXPECT_TRUE(Xray(c.text, &xrayError).empty());
      EXPECT_EQ(xrayError, "Unable to normalize the Xray configuration.");
    } else if (c.text.rfind(R"({"inbounds")", 0) == 0) {
      EXPECT_FALSE(out.empty()) << error;
    }
  }
}

TEST(NestingLimit, DeepInputIsRefusedWithoutReachingTheParser) {
  // Deep enough to overflow json-glib's recursive parser on a default stack.
  const std::string deep = ProfileWith(Nested(200000, "1"));
  std::string error;
  EXPECT_TRUE(SingBox("vless", deep, &error).empty());
  EXPECT_EQ(error, "Unable to normalize the Sing-box configuration.");
  EXPECT_TRUE(Xray("{\"a\":" + std::string(200000, '{'), &error).empty());
  EXPECT_EQ(error, "Unable to normalize the Xray configuration.");
}

TEST(Normalization, OutputIsStableAndCompact) {
  // Running the rewrite on its own output changes nothing, so a profile that
  // was already normalized is not disturbed.
  std::string error;
  const std::string once = SingBox(
      "vless", ReadData("box-for-magisk-1.12-tun-auto-redirect-log-file-clash-api.json"), &error);
  ASSERT_FALSE(once.empty()) << error;
  EXPECT_EQ(SingBox("vless", once, &error), once);
  EXPECT_EQ(once.find('\n'), std::string::npos);
  const std::string xray =
      Xray(ReadData("box-for-magisk-xray-tproxy-dokodemo-dns-hosts-vmess-ws.json"), &error);
  ASSERT_FALSE(xray.empty()) << error;
  EXPECT_EQ(Xray(xray, &error), xray);
}

// ---------------------------------------------------------------------------
// Traffic the engines send from the host, judged by the engines themselves

// The engine the service would run: TESSARY_ENGINE_DIR when set, else the
// installed runtime, else what scripts/install-engines built. "" when absent.
std::string EngineBinary(const char* name, const char* installed) {
  const char* dir = g_getenv("TESSARY_ENGINE_DIR");
  if (dir != nullptr) {
    const std::string path = std::string(dir) + "/" + name;
    return access(path.c_str(), X_OK) == 0 ? path : "";
  }
  if (access(installed, X_OK) == 0) return installed;
  const char* source = g_getenv("TESSARY_SOURCE_DIR");
  const std::string script =
      std::string(source ? source : TESSARY_SOURCE_DIR_DEFAULT) + "/scripts/install-engines";
  if (access(script.c_str(), X_OK) != 0) return "";
  const gchar* argv[] = {script.c_str(), "--where", nullptr};
  g_autofree gchar* out = nullptr;
  if (!g_spawn_sync(nullptr, const_cast<gchar**>(argv), nullptr, G_SPAWN_STDERR_TO_DEV_NULL,
                    nullptr, nullptr, &out, nullptr, nullptr, nullptr)) {
    return "";
  }
  std::istringstream lines(out != nullptr ? out : "");
  std::string engine, path;
  while (lines >> engine >> path) {
    if (engine == name && access(path.c_str(), X_OK) == 0) return path;
  }
  return "";
}

// How a row asks the engine: its own configuration check, or a short run.
enum class EngineStep { kCheck, kRun };

// Runs the engine on |config| in a network namespace of its own that has no
// route anywhere (Xray's check already brings up its TUN interface): its
// configuration check, or a run stopped after six seconds, long enough for
// the start-up connections to be logged. True when it exited with status 0;
// *output gets what it printed.
bool RunEngine(const std::string& binary, bool singBox, EngineStep step, const std::string& config,
               std::string* output) {
  g_autofree gchar* path = nullptr;
  const gint fd = g_file_open_tmp("tessary-engine-XXXXXX.json", &path, nullptr);
  if (fd < 0) return false;
  const bool written =
      write(fd, config.data(), config.size()) == static_cast<ssize_t>(config.size());
  close(fd);
  // An engine that ignores the signal at its limit is killed five seconds later.
  const char* limit = step == EngineStep::kRun ? "6" : "60";
  const char* ownNamespace = geteuid() == 0 ? "-n" : "-rn";
  std::vector<const gchar*> argv = {"timeout", "-k",         "5",           limit,
                                    "unshare", ownNamespace, binary.c_str()};
  if (step == EngineStep::kRun) {
    argv.insert(argv.end(), {"run", "-c", path, nullptr});
  } else if (singBox) {
    argv.insert(argv.end(), {"check", "-c", path, nullptr});
  } else {
    argv.insert(argv.end(), {"run", "-test", "-c", path, nullptr});
  }
  g_autofree gchar* out = nullptr;
  g_autofree gchar* err = nullptr;
  gint status = -1;
  const bool ran =
      written && g_spawn_sync(nullptr, const_cast<gchar**>(argv.data()), nullptr,
                              G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out, &err, &status, nullptr);
  unlink(path);
  *output = std::string(out != nullptr ? out : "") + (err != nullptr ? err : "");
  return ran && g_spawn_check_wait_status(status, nullptr);
}

// Each profile passes every rule but the one that refuses it, and the rewrite
// would still run it. The engine shows what the rewritten configuration keeps:
// a group leading nowhere but direct as the route's final outbound, a rule-set
// download, an NTP query and an observatory probe leaving from the host, a DNS
// server that skips routing. sing-box 1.12 and later refuse geosite rules;
// older releases download the database and write it to their directory.
TEST(DirectTrafficClasses, RefusedThoughTheEngineWouldRunThem) {
  const std::string sbDns = R"("log": {"level": "info"}, "dns": {"servers": [{"type": "udp",
                                "server": "192.0.2.53", "tag": "remote"}]}, )";
  const std::string sbTun = R"("inbounds": [{"type": "tun", "auto_route": true}], )";
  const std::string sbOut = R"("outbounds": [{"type": "shadowsocks", "tag": "proxy",
      "server": "192.0.2.1", "server_port": 8388, "method": "aes-128-gcm", "password": "x"},
      {"type": "direct", "tag": "direct"}])";
  const std::string xTun = R"("log": {"loglevel": "info"},
                              "inbounds": [{"protocol": "tun", "tag": "t"}], )";
  const std::string xOut = R"("outbounds": [{"protocol": "shadowsocks", "tag": "proxy",
      "settings": {"servers": [{"address": "192.0.2.1", "port": 8388, "method": "aes-128-gcm",
      "password": "x"}]}}, {"protocol": "freedom", "tag": "direct"}])";
  const struct {
    const char* what;
    bool singBox;
    const char* protocol;
    std::string profile;
    const char* refusal;
    EngineStep step;
    bool exitsZero;       // for a check; a run is not judged by its status
    const char* printed;  // nullptr: anything
  } cases[] = {
      {"selector whose only member is direct", true, "sing-box",
       "{" + sbDns + sbTun +
           R"("outbounds": [{"type": "selector", "tag": "all", "outbounds": ["direct"]},
                            {"type": "direct", "tag": "direct"}]})",
       "Sing-box outbound groups may not lead to a direct outbound.", EngineStep::kCheck, true,
       nullptr},
      {"remote rule set through direct", true, "shadowsocks",
       "{" + sbDns + sbTun +
           R"("route": {"rule_set": [{"type": "remote", "tag": "r", "format": "binary",
              "url": "http://192.0.2.80/r.srs", "download_detour": "direct"}]}, )" +
           sbOut + "}",
       "Sing-box remote rule sets must be downloaded through a proxy outbound.", EngineStep::kRun,
       false, "outbound/direct[direct]: outbound connection to 192.0.2.80:80"},
      {"ntp client from the host", true, "shadowsocks",
       "{" + sbDns + sbTun + R"("ntp": {"enabled": true, "server": "192.0.2.123"}, )" + sbOut + "}",
       "Sing-box NTP clients must run through a proxy outbound.", EngineStep::kRun, false,
       "dial udp 192.0.2.123:123"},
      {"geosite dns rule", true, "shadowsocks",
       R"({"dns": {"servers": [{"type": "udp", "server": "192.0.2.53", "tag": "remote"}],
                   "rules": [{"geosite": ["cn"], "server": "remote"}]}, )" +
           sbTun + sbOut + "}",
       "Sing-box DNS rules may not use GeoIP or geosite databases.", EngineStep::kCheck, false,
       "removed in sing-box 1.12.0"},
      {"observatory probing freedom", false, "xray",
       R"({"observatory": {"subjectSelector": ["direct"], "probeURL": "http://192.0.2.80/"}, )" +
           xTun + xOut + "}",
       "Xray observatories may not probe through freedom or DNS outbounds.", EngineStep::kRun,
       false, "detour [direct] for [tcp:192.0.2.80:80]"},
      {"dns over https in local mode", false, "xray",
       R"({"dns": {"servers": ["https+local://192.0.2.53/dns-query"]}, )" + xTun + xOut + "}",
       "Xray DNS servers may not bypass routing in local mode.", EngineStep::kCheck, true,
       "created DOHL client"},
  };
  const std::string singBox = EngineBinary("sing-box", kSingBoxBinary);
  const std::string xray = EngineBinary("xray", kXrayBinary);
  for (const auto& c : cases) {
    const ProfileValidation verdict = ValidateProfile("p", c.protocol, c.profile);
    EXPECT_FALSE(verdict.valid) << c.what;
    EXPECT_EQ(verdict.message, c.refusal) << c.what;
    std::string error;
    const std::string normalized =
        c.singBox ? SingBox(c.protocol, c.profile, &error) : Xray(c.profile, &error);
    ASSERT_FALSE(normalized.empty()) << c.what << ": " << error;
    const std::string& engine = c.singBox ? singBox : xray;
    if (engine.empty()) continue;
    std::string printed;
    const bool exitedZero = RunEngine(engine, c.singBox, c.step, normalized, &printed);
    if (c.step == EngineStep::kCheck) {
      EXPECT_EQ(exitedZero, c.exitsZero) << c.what << ": " << printed;
    }
    if (c.printed != nullptr) {
      EXPECT_NE(printed.find(c.printed), std::string::npos) << c.what << ": " << printed;
    }
  }
  if (singBox.empty() || xray.empty()) {
    GTEST_SKIP() << "the real engines' verdicts need sing-box and xray (scripts/install-engines "
                    "or TESSARY_ENGINE_DIR); found sing-box '"
                 << singBox << "', xray '" << xray << "'";
  }
}

}  // namespace
}  // namespace tessary::linux_service
