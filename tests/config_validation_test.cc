// Table-driven tests of profile validation. The rule units' file-private
// helpers are reached by including their sources directly.
#include "service/config_validation.cc"
#include "service/json_rules.cc"
#include "service/openvpn_rules.cc"
#include "service/singbox_rules.cc"
#include "service/wireguard_rules.cc"
#include "service/xray_rules.cc"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

namespace tessary::linux_service {
namespace {

constexpr char kBadId[] = "The profile identifier is invalid.";
constexpr char kBadSize[] = "The VPN configuration is empty or too large.";
constexpr char kBadProtocol[] = "This Linux build does not recognize the selected VPN protocol.";

TEST(EngineNames, EveryKindAndOutOfRangeValues) {
  EXPECT_STREQ(EngineName(kSingBox), "Sing-box");
  EXPECT_STREQ(EngineName(kXray), "Xray");
  EXPECT_STREQ(EngineName(kWireGuard), "WireGuard");
  EXPECT_STREQ(EngineName(kOpenVpn), "OpenVPN");
  EXPECT_STREQ(EngineName(kUnsupported), "Unsupported");
  EXPECT_STREQ(EngineName(static_cast<EngineKind>(5)), "Unsupported");
  EXPECT_STREQ(EngineName(static_cast<EngineKind>(4096)), "Unsupported");
  EXPECT_STREQ(EngineName(static_cast<EngineKind>(-1)), "Unsupported");
}

TEST(EngineForProtocol, LabelsMatchWholeAndIgnoreCase) {
  const struct {
    const char* label;
    EngineKind kind;
  } cases[] = {
      {"vless", kSingBox},
      {"VMess", kSingBox},
      {"trojan", kSingBox},
      {"Shadowsocks", kSingBox},
      {"hysteria2", kSingBox},
      {"TUIC", kSingBox},
      {"quarn", kSingBox},
      {"Xray-Reality", kSingBox},
      {"sing-box", kSingBox},
      {"singBox", kSingBox},
      {"xray", kXray},
      {"XRAY-CORE", kXray},
      {"WireGuard", kWireGuard},
      {"wire-guard", kWireGuard},
      {"WG", kWireGuard},
      {"AmneziaWG", kWireGuard},
      {"openVpn", kOpenVpn},
      {"open-vpn", kOpenVpn},
      {"openvpn3", kOpenVpn},
      {"OpenVPN3-Core", kOpenVpn},
      {"ovpn", kOpenVpn},
      {"openvpn-tcp", kOpenVpn},
      {"OPENVPN-UDP", kOpenVpn},
      {"", kUnsupported},
      {" openvpn", kUnsupported},
      {"openvpn ", kUnsupported},
      {"open vpn", kUnsupported},
      {"wireguard2", kUnsupported},
      {"ikev2", kUnsupported},
      {"vless\n", kUnsupported},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(EngineForProtocol(c.label), c.kind) << "label \"" << c.label << "\"";
  }
}

TEST(CanonicalSingBoxProtocol, AliasesBecomeVless) {
  EXPECT_EQ(CanonicalSingBoxProtocol("Xray-Reality"), "vless");
  EXPECT_EQ(CanonicalSingBoxProtocol("QUARN"), "vless");
  EXPECT_EQ(CanonicalSingBoxProtocol("VMess"), "vmess");
  EXPECT_EQ(CanonicalSingBoxProtocol("SingBox"), "singbox");
}

TEST(ValidateProfile, IdentifierSizeAndProtocolInOrder) {
  const std::string longest(kMaxConfigBytes, 'x');
  const struct {
    std::string id;
    std::string protocol;
    std::string config;
    const char* message;  // nullptr: these checks pass and the engine decides
  } cases[] = {
      {"", "wireguard", "x", kBadId},
      {std::string(256, 'a'), "ikev2", "x", kBadProtocol},
      {std::string(257, 'a'), "wireguard", "x", kBadId},
      {"a\tb", "wireguard", "x", kBadId},
      {"a\nb", "wireguard", "x", kBadId},
      {"a\x1f", "wireguard", "x", kBadId},
      {"a\x7f", "wireguard", "x", kBadId},
      {std::string("a\0b", 3), "wireguard", "x", kBadId},
      {"caf\xc3\xa9 \xe2\x80\x94 ~", "ikev2", "x", kBadProtocol},
      {"", "ikev2", "", kBadId},
      {"home", "ikev2", "", kBadSize},
      {"home", "wireguard", "", kBadSize},
      {"home", "wireguard", std::string(kMaxConfigBytes + 1, 'x'), kBadSize},
      {"home", "ikev2", longest, kBadProtocol},
      {"home", "wireguard", std::string("x\0", 2), kBadSize},
      {"home", "wireguard", std::string("\0x", 2), kBadSize},
      {"home", "ikev2", "[Interface]", kBadProtocol},
  };
  for (const auto& c : cases) {
    const ProfileValidation result = ValidateProfile(c.id, c.protocol, c.config);
    EXPECT_FALSE(result.valid) << "id of " << c.id.size() << " bytes, " << c.protocol;
    EXPECT_EQ(result.message, c.message) << "id of " << c.id.size() << " bytes, " << c.protocol;
  }
}

// ---------------------------------------------------------------------------
// JSON safety checks

constexpr char kMalformed[] = "The JSON VPN configuration is malformed.";
constexpr char kNotObject[] = "The JSON VPN configuration must be an object.";
constexpr char kTooComplex[] = "The JSON VPN configuration exceeds complexity limits.";
constexpr char kBadNumber[] =
    "The JSON VPN configuration contains a number its engine would not receive as written.";

std::string Repeat(const std::string& piece, std::size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// Parses |text| and returns ParseJsonObject's message ("" on success),
// checking the ownership contract on the way.
std::string ParseMessage(const std::string& text) {
  JsonParser* parser = nullptr;
  JsonObject* root = nullptr;
  JsonFindings findings;
  const ProfileValidation result = ParseJsonObject(kSingBox, text, &parser, &root, &findings);
  if (!result.valid) {
    EXPECT_EQ(parser, nullptr);
    EXPECT_EQ(root, nullptr);
    return result.message;
  }
  EXPECT_NE(parser, nullptr);
  EXPECT_NE(root, nullptr);
  EXPECT_TRUE(result.message.empty());
  g_object_unref(parser);
  return "";
}

// {"a": <n arrays> 1 <n closes>}: the number sits at level n + 1.
std::string NestedArrays(std::size_t arrays, const std::string& core = "1") {
  return "{\"a\":" + Repeat("[", arrays) + core + Repeat("]", arrays) + "}";
}

std::string ManyMembers(std::size_t members) {
  std::string text = "{";
  for (std::size_t i = 0; i < members; ++i) {
    if (i > 0) text += ',';
    text += "\"m" + std::to_string(i) + "\":" + std::to_string(i);
  }
  return text + "}";
}

TEST(ParseJsonObject, RootKindsAndLimitsAtTheirBoundaries) {
  const struct {
    std::string text;
    const char* message;
  } cases[] = {
      {"{}", ""},
      {"  {\"a\": null}\n", ""},
      {"[]", kNotObject},
      {"\"text\"", kNotObject},
      {"null", kNotObject},
      {"42", kNotObject},
      {"true", kNotObject},
      {"", kNotObject},  // json-glib loads empty text as a document without a root
      {"{", kMalformed},
      {"{\"a\":}", kMalformed},
      {"{\"a\":1,}", kMalformed},
      {"{\"a\":1} x", kMalformed},
      // json-glib reads "\333" as an octal byte; the engines refuse it.
      {"{\"\\333tag\":1}", kMalformed},
      {"{\"a\":\"\\x41\"}", kMalformed},
      {"{\"a\\/\\b\\f\\n\\r\\t\\u0041\\\"\\\\\":1}", ""},
      // Comments but a whole /* ... */, and single quotes: json-glib's lexer
      // ends them elsewhere than the engines' readers, which read "//" and
      // "#" to the end of the line.
      {"{/* \"a\": 1 */ \"a\":1}", ""},
      {"{\n// /*\n\"api\":{}\n// */\n\"a\":1}", kMalformed},
      {"{/x/ \"a\":1}", kMalformed},
      {"{\"a\":1 # c\n}", kMalformed},
      {"{'a':1}", kMalformed},
      {"{\"a\":1} /* open", kMalformed},
      // Numbers json-glib reads but does not hand on as written: not JSON,
      // past 64 bits (it stores -1 for the first), or written back as
      // "4e+20.0" and "inf.0".
      {"{\"a\":-9223372036854775808, \"b\":9223372036854775807, \"c\":[0,-0.5E+3,1.5e-7]}", ""},
      {"{\"a\":123456789012345678901234567890}", kBadNumber},
      {"{\"a\":9223372036854775808}", kBadNumber},
      {"{\"a\":-9223372036854775809}", kBadNumber},
      {"{\"a\":4e20}", kBadNumber},
      {"{\"a\":1e400}", kBadNumber},
      {"{\"a\":0x10}", kBadNumber},
      {"{\"a\":01}", kBadNumber},
      {"{\"a\":.5}", kBadNumber},
      {"{\"a\":1.}", kBadNumber},
      {"{\"a\":- 1}", kBadNumber},
      {NestedArrays(63), ""},           // the number at level 64
      {NestedArrays(64), kTooComplex},  // the number at level 65
      {NestedArrays(64, ""), ""},       // an empty array at level 64
      {NestedArrays(65, ""), kTooComplex},
      {ManyMembers(99999), ""},  // 100,000 nodes with the root
      {ManyMembers(100000), kTooComplex},
      {"{\"a\":[" + Repeat("[],", 99997) + "[]]}", ""},  // 99,999 + root
      {"{\"a\":[" + Repeat("[],", 99998) + "[]]}", kTooComplex},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseMessage(c.text), c.message) << c.text.substr(0, 80);
  }
}

// Documents on which json-glib 1.6's lenient lexer nests |levels| brackets
// deep although a lexer that knows only double-quoted strings with plain
// escapes would see (almost) no nesting at all.
struct QuirkDocument {
  const char* what;
  std::string text;
  bool inRoot;  // false: the nesting follows the root value
  // The engines' readers end single quotes and comments elsewhere and refuse
  // the escapes, so such text is malformed once it passes the bound.
  bool readDifferently = false;
};

std::vector<QuirkDocument> LexerQuirkDocuments(std::size_t levels) {
  const std::string nest = Repeat("[", levels) + "1" + Repeat("]", levels) + "}";
  return {
      {"single-quoted string holding a double quote", "{\"a\": '\"', \"b\": " + nest, true, true},
      {"slash comment holding a double quote", "{\"a\": /\"/ 1, \"b\": " + nest, true, true},
      {"short \\u escape swallowing a quote", "{\"a\": \"\\u0\"\", \"b\": " + nest, true, true},
      {"lone surrogate swallowing a quote", "{\"a\": \"\\ud800\"\", \"b\": " + nest, true, true},
      {"lone surrogate swallowing an escaped quote", "{\"a\": \"\\ud800\\\"\", \"b\": " + nest,
       true, true},
      {"short surrogate swallowing two quotes", "{\"a\": \"\\ud8\"\"\", \"b\": " + nest, true,
       true},
      {"text after the root value", "{} " + Repeat("[", levels) + Repeat("]", levels), false},
  };
}

// Height of the tree under |node| in containers (a scalar has height 0).
unsigned long ContainerHeight(JsonNode* node) {
  unsigned long below = 0;
  if (JSON_NODE_HOLDS_ARRAY(node)) {
    JsonArray* array = json_node_get_array(node);
    for (guint i = 0; i < json_array_get_length(array); ++i) {
      below = std::max(below, ContainerHeight(json_array_get_element(array, i)));
    }
    return below + 1;
  }
  if (JSON_NODE_HOLDS_OBJECT(node)) {
    g_autoptr(GList) members = json_object_get_values(json_node_get_object(node));
    for (GList* m = members; m != nullptr; m = m->next) {
      below = std::max(below, ContainerHeight(static_cast<JsonNode*>(m->data)));
    }
    return below + 1;
  }
  return 0;
}

// Runs json-glib alone on |text| in a child process; true when the child does
// not come back from the parse (killed by a signal, or stopped by a sanitizer
// in sanitizer builds): the crash the nesting bound protects the service from.
bool JsonGlibCrashesOn(const std::string& text) {
  const pid_t child = fork();
  if (child == 0) {
    const int null = open("/dev/null", O_WRONLY);
    if (null >= 0) dup2(null, STDERR_FILENO);
    JsonParser* parser = json_parser_new();
    json_parser_load_from_data(parser, text.data(), static_cast<gssize>(text.size()), nullptr);
    _exit(0);
  }
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child) return false;
  return !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

TEST(JsonNesting, LexerQuirksCannotHideDeepNesting) {
  // Shallow forms: json-glib accepts each and really nests the brackets after
  // the quirk, and the bound counts them exactly as deep as json-glib builds
  // them (the root object plus 40 arrays).
  for (const QuirkDocument& doc : LexerQuirkDocuments(40)) {
    SCOPED_TRACE(doc.what);
    g_autoptr(JsonParser) parser = json_parser_new();
    ASSERT_TRUE(json_parser_load_from_data(parser, doc.text.data(),
                                           static_cast<gssize>(doc.text.size()), nullptr));
    if (doc.inRoot) {
      EXPECT_EQ(ContainerHeight(json_parser_get_root(parser)), 41u);
      EXPECT_EQ(ScanJsonText(doc.text).deepest, 41u);
    } else {
      EXPECT_EQ(ScanJsonText(doc.text).deepest, 40u);
    }
  }
  // The same quirk at depth 64 under the root passes the bound and meets the
  // walk; deeper is refused before json-glib ever sees it.
  for (const QuirkDocument& doc : LexerQuirkDocuments(63)) {
    SCOPED_TRACE(doc.what);
    EXPECT_EQ(ParseMessage(doc.text), doc.readDifferently ? kMalformed : "");
  }
  for (const QuirkDocument& doc : LexerQuirkDocuments(64)) {
    SCOPED_TRACE(doc.what);
    EXPECT_EQ(ParseMessage(doc.text),
              doc.readDifferently ? kMalformed : (doc.inRoot ? kTooComplex : ""));
  }
  // The real hazard, confirmed on this machine's json-glib in a child
  // process: each document crashes it, and the service refuses each first.
  for (const QuirkDocument& doc : LexerQuirkDocuments(100000)) {
    SCOPED_TRACE(doc.what);
    EXPECT_EQ(ParseMessage(doc.text), kTooComplex);
    EXPECT_TRUE(JsonGlibCrashesOn(doc.text)) << "json-glib no longer crashes on this document";
  }
}

// Random documents in json-glib's lenient dialect whose strings and comments
// are full of brackets, quotes and the escapes json-glib reads oddly.
class LenientJsonGenerator {
 public:
  explicit LenientJsonGenerator(guint32 seed) : rand_(g_rand_new_with_seed(seed)) {}
  ~LenientJsonGenerator() { g_rand_free(rand_); }

  std::string Document() {
    std::string text;
    Object(&text, 0);
    Gap(&text);
    return text;
  }

 private:
  int Pick(int n) { return g_rand_int_range(rand_, 0, n); }

  void Gap(std::string* out) {
    switch (Pick(4)) {
      case 0:
        *out += " ";
        break;
      case 1:
        *out += "/ c[\"'{ /";  // a comment runs from one slash to the next
        break;
      default:
        break;
    }
  }

  // |prefix| starts a double-quoted string; member names get a unique one, as
  // json-glib keeps only the last of duplicate members.
  void String(std::string* out, const std::string& prefix = "") {
    static const char* const kPieces[] = {"a",
                                          "[",
                                          "{",
                                          "]",
                                          "}",
                                          "\\\"",
                                          "\\\\",
                                          "'",
                                          "\\u0041",
                                          "\\u0\"",
                                          "\\ud800\"",
                                          "\\ud8\"\"",
                                          "/",
                                          "\\ud83d\\ude00",
                                          "\\n",
                                          "[[[",
                                          "\\/",
                                          "\\u",
                                          "x\\ud800\\\"y"};
    if (Pick(5) == 0) {  // single-quoted: no escapes at all
      *out += "'" + prefix;
      for (int i = Pick(6); i > 0; --i) *out += "a[{\"\\"[Pick(5)];
      *out += "'";
      return;
    }
    *out += "\"" + prefix;
    for (int i = Pick(6); i > 0; --i) *out += kPieces[Pick(G_N_ELEMENTS(kPieces))];
    *out += "\"";
  }

  void Value(std::string* out, int depth) {
    Gap(out);
    const int kind = depth > 12 ? Pick(3) : Pick(5);
    if (kind == 0) {
      *out += std::to_string(Pick(1000));
    } else if (kind == 1 || kind == 2) {
      String(out);
    } else if (kind == 3) {
      *out += "[";
      for (int i = Pick(4); i > 0; --i) {
        Value(out, depth + 1);
        if (i > 1) *out += ",";
      }
      Gap(out);
      *out += "]";
    } else {
      Object(out, depth + 1);
    }
    Gap(out);
  }

  void Object(std::string* out, int depth) {
    Gap(out);
    *out += "{";
    for (int i = Pick(4); i > 0; --i) {
      Gap(out);
      String(out, "k" + std::to_string(++members_));
      Gap(out);
      *out += ":";
      Value(out, depth + 1);
      if (i > 1) *out += ",";
    }
    Gap(out);
    *out += "}";
  }

  GRand* rand_;
  int members_ = 0;
};

TEST(JsonNesting, AgreesWithJsonGlibOnLenientDocuments) {
  LenientJsonGenerator generator(20261208);
  int accepted = 0;
  for (int i = 0; i < 4000; ++i) {
    const std::string text = generator.Document();
    g_autoptr(JsonParser) parser = json_parser_new();
    if (!json_parser_load_from_data(parser, text.data(), static_cast<gssize>(text.size()),
                                    nullptr)) {
      continue;
    }
    ++accepted;
    // Exactly as deep as json-glib built it: never less (a hidden bracket
    // could crash it), never more (a harmless document would be refused).
    ASSERT_EQ(ScanJsonText(text).deepest, ContainerHeight(json_parser_get_root(parser))) << text;
  }
  EXPECT_GT(accepted, 1000);  // the comparison ran on a real share of them
}

TEST(JsonNesting, HostileAndHarmlessBracketsInText) {
  const std::string brackets(kMaxConfigBytes, '[');
  const gint64 start = g_get_monotonic_time();
  EXPECT_EQ(ParseMessage(brackets), kTooComplex);
  EXPECT_EQ(ParseMessage("{\"a\":" + std::string(kMaxConfigBytes - 6, '{') + "}"), kTooComplex);
  EXPECT_LT(g_get_monotonic_time() - start, 2 * G_USEC_PER_SEC);

  // Brackets inside ordinary strings, escaped quotes and comments are text.
  const std::string regex = "{\"regex\": \"^" + Repeat("[a-z]", 80) + Repeat("[", 80) + "$\"}";
  EXPECT_EQ(ParseMessage(regex), "");
  EXPECT_EQ(ParseMessage("{\"a\": \"\\\"" + Repeat("[", 200) + "\", \"b\": 1}"), "");
  EXPECT_EQ(ParseMessage("{\"a\": /*" + Repeat("[", 200) + "*/ 1}"), "");
  // Single quotes and slash comments, the engines read differently.
  EXPECT_EQ(ParseMessage("{\"a\": '" + Repeat("{", 200) + "', \"b\": 1}"), kMalformed);
  EXPECT_EQ(ParseMessage("{\"a\": /" + Repeat("[", 200) + "/ 1}"), kMalformed);
  EXPECT_EQ(ParseMessage("{\"a\": \"\\u0041" + Repeat("[", 200) + "\"}"), "");
  EXPECT_EQ(ParseMessage("{\"a\": \"\\ud83d\\ude00" + Repeat("[", 200) + "\"}"), "");
  // Closing brackets never push the count below zero to hide later opens.
  EXPECT_TRUE(ScanJsonText(Repeat("]", 500) + Repeat("[", 70)).tooDeep);
}

TEST(JsonMembers, StringBooleanAndEqualityTests) {
  g_autoptr(JsonParser) parser = nullptr;
  JsonObject* root = nullptr;
  JsonFindings findings;
  ASSERT_TRUE(ParseJsonObject(kSingBox,
                              R"({"s": "Tun", "e": "", "n": 1, "b": true, "f": false, "t": "true",
                      "one": 1, "nul": null, "o": {}})",
                              &parser, &root, &findings)
                  .valid);
  EXPECT_TRUE(JsonMemberHasNonEmptyString(root, "s"));
  EXPECT_FALSE(JsonMemberHasNonEmptyString(root, "e"));
  EXPECT_FALSE(JsonMemberHasNonEmptyString(root, "n"));
  EXPECT_FALSE(JsonMemberHasNonEmptyString(root, "nul"));
  EXPECT_FALSE(JsonMemberHasNonEmptyString(root, "o"));
  EXPECT_FALSE(JsonMemberHasNonEmptyString(root, "missing"));
  EXPECT_FALSE(JsonMemberHasNonEmptyString(nullptr, "s"));
  EXPECT_TRUE(JsonStringEquals(root, "s", "tun"));
  EXPECT_TRUE(JsonStringEquals(root, "s", "TUN"));
  EXPECT_FALSE(JsonStringEquals(root, "s", "tap"));
  EXPECT_TRUE(JsonStringEquals(root, "S", "tun"));  // names fold as the engines fold them
  EXPECT_FALSE(JsonStringEquals(root, "b", "true"));
  EXPECT_FALSE(JsonStringEquals(nullptr, "s", "tun"));
  EXPECT_TRUE(JsonBooleanIsTrue(root, "b"));
  EXPECT_FALSE(JsonBooleanIsTrue(root, "f"));
  EXPECT_FALSE(JsonBooleanIsTrue(root, "t"));
  EXPECT_FALSE(JsonBooleanIsTrue(root, "one"));
  EXPECT_FALSE(JsonBooleanIsTrue(root, "nul"));
  EXPECT_FALSE(JsonBooleanIsTrue(nullptr, "b"));
}

TEST(JsonFindings, FileMembersAndExternalResourcesAnywhere) {
  const struct {
    const char* text;
    bool fileHit;
    bool externalHit;
  } cases[] = {
      {R"({"Key_Path": "/etc/k.pem"})", true, false},
      {R"({"key_path": ""})", false, false},
      {R"({"certificatefile": ["/etc/c.pem"]})", true, false},
      {R"({"certificateFile": []})", false, false},
      {R"({"keyFile": 5, "certificate_path": null, "masterKeyLog": false})", false, false},
      {R"({"keyfile": {"key_path": "/etc/k"}})", true, false},
      {R"({"keyfile": {"other": "/etc/k"}})", false, false},
      {R"({"a": [1, {"b": [{"CERTIFICATE_PATH": "x"}]}]})", true, false},
      {R"({"certificate": ["-----BEGIN CERTIFICATE-----"]})", false, false},
      {"{\"\\u212aey_path\": \"/etc/k\", \"path\": \"/ws\"}", true, false},  // Kelvin sign
      {R"({"tls": {"ech": {"config_path": "/e"}}, "private_key_Path": ""})", true, false},
      {R"({"ssh": {"private_key_path": ["/root/.ssh/id"]}})", true, false},
      {R"({"acme": {"data_directory": "/var/lib/x"}, "transport": {"path": "/ws"}})", true, false},
      {R"({"tlsSettings": {"masterKeyLog": "/tmp/keys"}})", true, false},
      {R"({"certificate_directory_path": []})", false, false},
      {R"({"rules": [{"domain": ["EXT:geosite.dat:cn"]}]})", false, true},
      {R"({"ip": "ext-ip:geoip.dat:private"})", false, true},
      {R"({"ip": "\u0065xt\u003ageoip.dat:cn"})", false, true},  // spelled with escapes
      {R"({"ip": "geoip:private", "d": "geosite:cn", "x": "next:1"})", false, false},
      {R"({"ext:key": "value"})", false, false},  // names are not values
      {R"({"rule_set": [{"type": "LOCAL", "path": "/etc/rules.srs"}]})", false, true},
      {R"({"rule_set": [{"type": "local", "path": ""}]})", false, false},
      {R"({"rule_set": [{"type": "remote", "path": "/etc/rules.srs"}]})", false, false},
      {R"({"r": {"type": "remote", "inner": {"type": "local", "path": "x"}}})", false, true},
  };
  for (const auto& c : cases) {
    g_autoptr(JsonParser) parser = nullptr;
    JsonObject* root = nullptr;
    JsonFindings findings;
    ASSERT_TRUE(ParseJsonObject(kSingBox, c.text, &parser, &root, &findings).valid) << c.text;
    EXPECT_EQ(findings.fileMember, c.fileHit) << c.text;
    EXPECT_EQ(findings.externalResource, c.externalHit) << c.text;
  }
}

// ---------------------------------------------------------------------------
// Sing-box and Xray

void ExpectVerdict(const ProfileValidation& result, const char* message, const std::string& what) {
  if (message == nullptr) {
    EXPECT_TRUE(result.valid) << what << ": " << result.message;
    EXPECT_TRUE(result.message.empty()) << what;
  } else {
    EXPECT_FALSE(result.valid) << what;
    EXPECT_EQ(result.message, message) << what;
  }
}

struct SingBoxDoc {
  std::string prefix;  // extra root members, each followed by a comma
  std::string dns = R"({"servers": [{"type": "https", "server": "1.1.1.1", "tag": "remote"}]})";
  std::string inbounds = R"([{"type": "tun", "tag": "tun-in", "auto_route": true}])";
  std::string outbounds =
      R"([{"type": "vless", "tag": "proxy", "server": "203.0.113.5"},
          {"type": "direct", "tag": "direct"}])";

  std::string Text() const {
    std::string text = "{" + prefix;
    auto add = [&text](const char* name, const std::string& value) {
      if (value.empty()) return;
      if (text.back() != '{' && text.back() != ',') text += ',';
      text += std::string("\"") + name + "\": " + value;
    };
    add("dns", dns);
    add("inbounds", inbounds);
    add("outbounds", outbounds);
    if (text.back() == ',') text.pop_back();
    return text + "}";
  }
};

TEST(ValidateSingBox, RulesInOrder) {
  const char* kExperimental = "Sing-box experimental services are not permitted in VPN profiles.";
  const char* kLog = "Sing-box profiles may not write logs to files.";
  const char* kFiles = "Sing-box profiles may not reference privileged certificate files.";
  const char* kExternal = "Sing-box profiles may not load external resources as root.";
  const char* kAmbiguous =
      "The Sing-box profile contains member names that Sing-box could read differently.";
  const char* kSystem =
      "Sing-box profiles may not run programs or services that act on the system outside the "
      "tunnel.";
  const char* kNoDns = "Sing-box profiles require app-owned remote DNS configuration.";
  const char* kNoServers = "Sing-box profiles require at least one remote DNS server.";
  const char* kUnstructured = "Sing-box DNS servers must use structured entries.";
  const char* kIncomplete = "The Sing-box DNS server is incomplete.";
  const char* kRemoteType = "Sing-box DNS must use a remote network server type.";
  const char* kNoTun = "Sing-box profiles must contain a TUN inbound.";
  const char* kOneTun = "Sing-box profiles must contain exactly one app-owned TUN inbound.";
  const char* kBadTun = "The Sing-box TUN inbound is invalid.";
  const char* kAutoRoute = "Sing-box profiles require an auto-route TUN inbound.";
  const char* kNoOutbound = "Sing-box profiles must contain at least one outbound.";
  const char* kNoMatch =
      "The Sing-box configuration does not contain a tagged proxy outbound matching the "
      "selected VPN protocol.";
  const char* kDirectGroup = "Sing-box outbound groups may not lead to a direct outbound.";
  const char* kDirectDownload =
      "Sing-box remote rule sets must be downloaded through a proxy outbound.";
  const char* kDirectNtp = "Sing-box NTP clients must run through a proxy outbound.";
  const char* kGeoDatabase = "Sing-box DNS rules may not use GeoIP or geosite databases.";

  struct Case {
    const char* what;
    SingBoxDoc doc;
    const char* protocol;
    const char* message;
  };
  std::vector<Case> cases;
  auto add = [&cases](const char* what, const char* protocol, const char* message, auto&& edit) {
    SingBoxDoc doc;
    edit(doc);
    cases.push_back({what, doc, protocol, message});
  };
  auto same = [](SingBoxDoc&) {};
  add("minimal vless profile", "vless", nullptr, same);
  add("experimental empty object", "vless", kExperimental,
      [](SingBoxDoc& d) { d.prefix = R"("experimental": {},)"; });
  add("experimental null", "vless", kExperimental,
      [](SingBoxDoc& d) { d.prefix = R"("experimental": null,)"; });
  add("experimental beats missing dns", "vless", kExperimental, [](SingBoxDoc& d) {
    d.prefix = R"("experimental": {},)";
    d.dns.clear();
  });
  add("log output empty", "vless", nullptr,
      [](SingBoxDoc& d) { d.prefix = R"("log": {"output": "", "level": "warn"},)"; });
  add("log output file", "vless", kLog,
      [](SingBoxDoc& d) { d.prefix = R"("log": {"output": "/var/log/box.log"},)"; });
  add("log as a string", "vless", nullptr,
      [](SingBoxDoc& d) { d.prefix = R"("log": "/var/log/box.log",)"; });
  add("Log and Experimental read as the engine folds them", "vless", kLog,
      [](SingBoxDoc& d) { d.prefix = R"("Log": {"Output": "/var/log/box.log"},)"; });
  add("Experimental", "vless", kExperimental,
      [](SingBoxDoc& d) { d.prefix = R"("EXPERIMENTAL": {},)"; });
  add("names that fold alike: a second Inbounds", "vless", kAmbiguous, [](SingBoxDoc& d) {
    d.outbounds += R"(, "Inbounds": [{"type": "mixed", "listen_port": 1080}])";
  });
  add("names that fold alike: Route after route", "vless", kAmbiguous, [](SingBoxDoc& d) {
    d.prefix = R"("route": {"final": "proxy"}, "Route": {"final": "direct"},)";
  });
  add("names that fold alike: Kelvin sign, deep", "vless", kAmbiguous, [](SingBoxDoc& d) {
    d.outbounds =
        "[{\"type\": \"vless\", \"tag\": \"p\", \"tls\": {\"kind\": 1, "
        "\"\\u212aind\": 2}}]";
  });
  add("names that fold alike: exact repeat", "vless", kAmbiguous,
      [](SingBoxDoc& d) { d.prefix = R"("log": {}, "log": {},)"; });
  add("names that fold alike: exact repeat, deep", "vless", kAmbiguous, [](SingBoxDoc& d) {
    d.outbounds.insert(d.outbounds.size() - 1, R"(, {"type": "direct", "tag": "d", "tag": "e"})");
  });
  add("colons and quotes inside strings are no members", "vless", nullptr, [](SingBoxDoc& d) {
    d.outbounds.insert(d.outbounds.size() - 1,
                       R"(, {"type": "direct", "tag": "a\":b:\\", "x:y": "\"::\""})");
  });
  add("Turkish dotless i does not fold to i", "vless", nullptr,
      [](SingBoxDoc& d) { d.prefix = "\"rout\u0131ng\": {}, \"routing\": {},"; });
  add("long s: services", "vless", kSystem,
      [](SingBoxDoc& d) { d.prefix = "\"\u017fervices\": [],"; });
  add("endpoints", "vless", kSystem, [](SingBoxDoc& d) {
    d.prefix = R"("endpoints": [{"type": "wireguard", "system": true, "name": "wg0"}],)";
  });
  add("network namespaces", "vless", kSystem, [](SingBoxDoc& d) {
    d.prefix = R"("network_namespaces": [{"type": "unshare", "tag": "n"}],)";
  });
  add("certificate providers", "vless", kSystem, [](SingBoxDoc& d) {
    d.prefix = R"("certificate_providers": [{"type": "acme", "tag": "a"}],)";
  });
  add("outbound dialing from another namespace", "vless", kSystem, [](SingBoxDoc& d) {
    d.outbounds = R"([{"type": "vless", "tag": "p", "netns": "/proc/1/ns/net"}])";
  });
  add("ntp writes the clock", "vless", kSystem,
      [](SingBoxDoc& d) { d.prefix = R"("NTP": {"enabled": true, "Write_To_System": true},)"; });
  add("ntp without writing the clock dials from the host", "vless", kDirectNtp,
      [](SingBoxDoc& d) { d.prefix = R"("ntp": {"enabled": true, "server": "time.example"},)"; });
  add("ntp through the direct outbound", "vless", kDirectNtp, [](SingBoxDoc& d) {
    d.prefix = R"("ntp": {"enabled": true, "server": "t", "detour": "direct"},)";
  });
  add("ntp through the proxy", "vless", nullptr, [](SingBoxDoc& d) {
    d.prefix = R"("ntp": {"enabled": true, "server": "t", "detour": "proxy"},)";
  });
  add("ntp disabled", "vless", nullptr,
      [](SingBoxDoc& d) { d.prefix = R"("ntp": {"enabled": false, "server": "t"},)"; });
  add("tor outbound", "vless", kSystem, [](SingBoxDoc& d) {
    d.outbounds.insert(d.outbounds.size() - 1,
                       R"(, {"type": "Tor", "tag": "t", "executable_path": "/bin/sh"})");
  });
  add("legacy wireguard system interface", "vless", kSystem, [](SingBoxDoc& d) {
    d.outbounds.insert(d.outbounds.size() - 1,
                       R"(, {"type": "wireguard", "tag": "w", "system_interface": true})");
  });
  add("long s: system interface", "vless", kSystem, [](SingBoxDoc& d) {
    d.outbounds.insert(
        d.outbounds.size() - 1,
        ", {\"type\": \"wireguard\", \"tag\": \"w\", \"\u017fystem_interface\": true}");
  });
  add("geoip database path", "vless", kExternal, [](SingBoxDoc& d) {
    d.prefix = R"("route": {"geoip": {"path": "/etc/cron.d/x", "download_url": "http://x"}},)";
  });
  add("log output beats key file", "vless", kLog,
      [](SingBoxDoc& d) { d.prefix = R"("log": {"output": "x"}, "tls": {"key_path": "/k"},)"; });
  add("key_path deep in an outbound", "vless", kFiles, [](SingBoxDoc& d) {
    d.outbounds = R"([{"type": "vless", "tag": "p", "tls": {"key_path": "/root/k.pem"}}])";
  });
  add("file member beats external resource", "vless", kFiles, [](SingBoxDoc& d) {
    d.prefix = R"("route": {"rule_set": [{"type": "local", "path": "/r.srs"}]},
                  "certificate_path": "/c.pem",)";
  });
  add("local rule set", "vless", kExternal, [](SingBoxDoc& d) {
    d.prefix = R"("route": {"rule_set": [{"type": "local", "tag": "r", "path": "/r.srs"}]},)";
  });
  add("remote rule set through the final outbound or the proxy", "vless", nullptr,
      [](SingBoxDoc& d) {
        d.prefix = R"("route": {"rule_set": [{"type": "remote", "tag": "r",
                      "url": "https://example.com/r.srs", "download_detour": ""},
                      {"type": "remote", "tag": "s", "url": "https://e/s.srs",
                       "download_detour": "proxy"}]},)";
      });
  add("remote rule set through direct", "vless", kDirectDownload, [](SingBoxDoc& d) {
    d.prefix = R"("route": {"rule_set": [{"type": "Remote", "tag": "r",
                  "url": "https://example.com/r.srs", "download_detour": "direct"}]},)";
  });
  add("remote rule set through an outbound the profile lacks", "vless", kDirectDownload,
      [](SingBoxDoc& d) {
        d.prefix = R"("route": {"rule_set": [{"type": "remote", "tag": "r",
                      "url": "https://e/r.srs", "download_detour": "elsewhere"}]},)";
      });
  add("remote rule set with its own http client", "vless", kDirectDownload, [](SingBoxDoc& d) {
    d.prefix = R"("route": {"rule_set": [{"type": "remote", "tag": "r",
                  "url": "https://e/r.srs", "http_client": {"version": 1}}]},)";
  });
  add("remote rule set beside default http clients", "vless", kDirectDownload, [](SingBoxDoc& d) {
    d.prefix = R"("http_clients": [{"tag": "h"}], "route": {"rule_set": [
                      {"type": "remote", "tag": "r", "url": "https://e/r.srs"}]},)";
  });
  add("geosite deep in a logical dns rule", "vless", kGeoDatabase, [](SingBoxDoc& d) {
    d.dns = R"({"servers": [{"type": "udp", "server": "9.9.9.9", "tag": "r"}],
                "rules": [{"type": "logical", "mode": "or",
                           "rules": [{"domain": ["a"]}, {"Geosite": ["cn"]}], "server": "r"}]})";
  });
  add("source_geoip dns rule", "vless", kGeoDatabase, [](SingBoxDoc& d) {
    d.dns = R"({"servers": [{"type": "udp", "server": "9.9.9.9", "tag": "r"}],
                "rules": [{"source_geoip": "private", "server": "r"}]})";
  });
  add("no dns", "vless", kNoDns, [](SingBoxDoc& d) { d.dns.clear(); });
  add("dns as an array", "vless", kNoDns, [](SingBoxDoc& d) { d.dns = "[]"; });
  add("no servers", "vless", kNoServers, [](SingBoxDoc& d) { d.dns = "{}"; });
  add("servers empty", "vless", kNoServers, [](SingBoxDoc& d) { d.dns = R"({"servers": []})"; });
  add("servers an object", "vless", kNoServers,
      [](SingBoxDoc& d) { d.dns = R"({"servers": {"type": "udp", "server": "1.1.1.1"}})"; });
  add("legacy string server", "vless", kUnstructured,
      [](SingBoxDoc& d) { d.dns = R"({"servers": ["https://1.1.1.1/dns-query"]})"; });
  add("legacy address form", "vless", kIncomplete, [](SingBoxDoc& d) {
    d.dns = R"({"servers": [{"tag": "r", "address": "https://1.1.1.1/dns-query"}]})";
  });
  add("server empty", "vless", kIncomplete,
      [](SingBoxDoc& d) { d.dns = R"({"servers": [{"type": "udp", "server": ""}]})"; });
  add("local server type", "vless", kRemoteType,
      [](SingBoxDoc& d) { d.dns = R"({"servers": [{"type": "local", "server": "x"}]})"; });
  add("fakeip after a good server", "vless", kRemoteType, [](SingBoxDoc& d) {
    d.dns = R"({"servers": [{"type": "udp", "server": "9.9.9.9"},
                            {"type": "fakeip", "server": "198.18.0.0"}]})";
  });
  add("TLS in capitals and every remote type", "vless", nullptr, [](SingBoxDoc& d) {
    d.dns = R"({"servers": [{"type": "TLS", "server": "a"}, {"type": "tcp", "server": "b"},
               {"type": "udp", "server": "c"}, {"type": "https", "server": "d"},
               {"type": "quic", "server": "e"}, {"type": "H3", "server": "f"}]})";
  });
  add("no inbounds", "vless", kNoTun, [](SingBoxDoc& d) { d.inbounds.clear(); });
  add("inbounds an object", "vless", kNoTun,
      [](SingBoxDoc& d) { d.inbounds = R"({"type": "tun", "auto_route": true})"; });
  add("no inbound at all", "vless", kOneTun, [](SingBoxDoc& d) { d.inbounds = "[]"; });
  add("two tun inbounds", "vless", kOneTun, [](SingBoxDoc& d) {
    d.inbounds = R"([{"type": "tun", "auto_route": true}, {"type": "tun", "auto_route": true}])";
  });
  add("inbound a string", "vless", kBadTun, [](SingBoxDoc& d) { d.inbounds = R"(["tun"])"; });
  add("auto_route a string", "vless", kAutoRoute,
      [](SingBoxDoc& d) { d.inbounds = R"([{"type": "tun", "auto_route": "true"}])"; });
  add("auto_route missing", "vless", kAutoRoute,
      [](SingBoxDoc& d) { d.inbounds = R"([{"type": "tun"}])"; });
  add("mixed inbound", "vless", kAutoRoute,
      [](SingBoxDoc& d) { d.inbounds = R"([{"type": "mixed", "auto_route": true}])"; });
  add("TUN in capitals", "vless", nullptr,
      [](SingBoxDoc& d) { d.inbounds = R"([{"type": "TUN", "auto_route": true}])"; });
  add("no outbounds", "vless", kNoOutbound, [](SingBoxDoc& d) { d.outbounds.clear(); });
  add("outbounds empty", "vless", kNoOutbound, [](SingBoxDoc& d) { d.outbounds = "[]"; });
  add("direct and untagged vless", "vless", kNoMatch, [](SingBoxDoc& d) {
    d.outbounds = R"([{"type": "direct", "tag": "direct"}, {"type": "vless"}])";
  });
  add("direct and tagged vless", "vless", nullptr, [](SingBoxDoc& d) {
    d.outbounds = R"([{"type": "direct", "tag": "direct"}, {"type": "VLESS", "tag": "p"}])";
  });
  add("empty tag never counts", "vless", kNoMatch,
      [](SingBoxDoc& d) { d.outbounds = R"([{"type": "vless", "tag": ""}])"; });
  add("xray-reality needs vless", "Xray-Reality", nullptr, same);
  add("quarn needs vless", "quarn", nullptr, same);
  add("xray-reality refuses trojan", "xray-reality", kNoMatch,
      [](SingBoxDoc& d) { d.outbounds = R"([{"type": "trojan", "tag": "p"}])"; });
  add("trojan label refuses vless", "trojan", kNoMatch, same);
  add("vmess label, vmess outbound", "VMess", nullptr,
      [](SingBoxDoc& d) { d.outbounds = R"([{"type": "vmess", "tag": "p"}])"; });
  add("singbox takes a selector", "singbox", nullptr, [](SingBoxDoc& d) {
    d.outbounds = R"([{"type": "dns", "tag": "d"}, {"type": "selector", "tag": "s"},
                      {"type": "urltest", "tag": "u", "outbounds": ["s", "u", "p"]},
                      {"type": "vless", "tag": "p"}, {"type": "direct", "tag": "direct"}])";
  });
  add("selector whose only member is direct", "singbox", kDirectGroup, [](SingBoxDoc& d) {
    d.outbounds = R"([{"type": "selector", "tag": "s", "outbounds": ["direct"]},
                      {"type": "direct", "tag": "direct"}])";
  });
  add("urltest reaching direct through a selector, behind a vless match", "vless", kDirectGroup,
      [](SingBoxDoc& d) {
        d.outbounds = R"([{"type": "vless", "tag": "proxy"},
                          {"type": "URLTest", "tag": "u", "outbounds": ["proxy", "s"]},
                          {"type": "selector", "tag": "s", "outbounds": ["u", "d"]},
                          {"type": "direct", "tag": "d"}])";
      });
  add("sing-box refuses direct, block, dns only", "sing-box", kNoMatch, [](SingBoxDoc& d) {
    d.outbounds = R"([{"type": "direct", "tag": "a"}, {"type": "Block", "tag": "b"},
                      {"type": "dns", "tag": "c"}, "vless", 7])";
  });
  for (const Case& c : cases) {
    ExpectVerdict(ValidateProfile("p", c.protocol, c.doc.Text()), c.message, c.what);
  }
  ExpectVerdict(ValidateProfile("p", "vless", "{\"dns\": "), kMalformed, "not json");
  ExpectVerdict(ValidateProfile("p", "vless", "[]"), kNotObject, "array root");
  ExpectVerdict(ValidateProfile("p", "vless", NestedArrays(70)), kTooComplex, "deep");
}

TEST(ValidateXray, RulesInOrder) {
  const char* kApi = "Xray API listeners are not permitted in VPN profiles.";
  const char* kLog = "Xray profiles may not write logs to files.";
  const char* kFiles = "Xray profiles may not reference privileged certificate files.";
  const char* kExternal = "Xray profiles may not load external resources as root.";
  const char* kAmbiguous =
      "The Xray profile contains member names that Xray could read differently.";
  const char* kMetrics = "Xray metrics listeners are not permitted in VPN profiles.";
  const char* kKernelTun =
      "Xray WireGuard outbounds must set noKernelTun so that they create no system interface.";
  const char* kNoTun = "Xray profiles must contain a TUN inbound.";
  const char* kOneTun = "Xray profiles must contain exactly one app-owned TUN inbound.";
  const char* kTunProtocol = "The Xray inbound must use the TUN protocol.";
  const char* kNoOutbound = "Xray profiles must contain at least one outbound.";
  const char* kNoProxy = "Xray profiles require a tagged proxy outbound.";
  const char* kObservatory = "Xray observatories may not probe through freedom or DNS outbounds.";
  const char* kLocalDns = "Xray DNS servers may not bypass routing in local mode.";
  const std::string tun = R"("inbounds": [{"protocol": "tun", "tag": "tun-in"}])";
  const std::string out =
      R"("outbounds": [{"protocol": "vless", "tag": "proxy"}, {"protocol": "freedom", "tag": "direct"}])";
  const struct {
    const char* what;
    std::string text;
    const char* message;
  } cases[] = {
      {"minimal", "{" + tun + "," + out + "}", nullptr},
      {"api empty object", R"({"api": {},)" + tun + "," + out + "}", kApi},
      {"api beats log", R"({"log": {"access": "/a"}, "api": null})", kApi},
      {"API and Log fold", R"({"API": {"tag": "api"},)" + tun + "," + out + "}", kApi},
      {"Log folds", R"({"Log": {"Access": "/a"},)" + tun + "," + out + "}", kLog},
      {"metrics",
       R"({"metrics": {"tag": "m", "listen": "127.0.0.1:11111"},)" + tun + "," + out + "}",
       kMetrics},
      {"wireguard outbound with a system interface",
       "{" + tun + R"(, "outbounds": [{"protocol": "WireGuard", "tag": "w", "settings": {}}]})",
       kKernelTun},
      {"wireguard outbound in the engine's own stack",
       "{" + tun +
           R"(, "outbounds": [{"protocol": "wireguard", "tag": "w", "settings": {"NoKernelTun": true}}]})",
       nullptr},
      {"Kelvin sign file", "{\"tls\": {\"\\u212aeyFile\": \"/k\"}," + tun + "," + out + "}",
       kFiles},
      {"a second Inbounds", "{" + tun + "," + out + R"(, "Inbounds": [{"protocol": "socks"}]})",
       kAmbiguous},
      {"Routing after routing",
       R"({"routing": {"rules": []}, "Routing": {"rules": []},)" + tun + "," + out + "}",
       kAmbiguous},
      {"older inbound beside inbounds",
       "{" + tun + "," + out + R"(, "inbound": {"protocol": "socks", "port": 1080}})", kOneTun},
      {"inboundDetour beside inbounds",
       "{" + tun + "," + out + R"(, "InboundDetour": [{"protocol": "http", "port": 8080}]})",
       kOneTun},
      {"log access none", R"({"log": {"access": "none"},)" + tun + "," + out + "}", kLog},
      {"log error file", R"({"log": {"error": "/e.log"},)" + tun + "," + out + "}", kLog},
      {"log level only", R"({"log": {"loglevel": "debug", "access": ""},)" + tun + "," + out + "}",
       nullptr},
      {"log a string", R"({"log": "/x",)" + tun + "," + out + "}", nullptr},
      {"certificateFile", R"({"tls": {"certificates": [{"certificateFile": "/c"}]}})", kFiles},
      {"ext domain list",
       R"({"routing": {"rules": [{"domain": ["ext:custom.dat:ads"]}]},)" + tun + "," + out + "}",
       kExternal},
      {"geosite domain list",
       R"({"routing": {"rules": [{"domain": ["geosite:cn"]}]},)" + tun + "," + out + "}", nullptr},
      {"no inbounds", "{" + out + "}", kNoTun},
      {"inbounds an object", R"({"inbounds": {"protocol": "tun"},)" + out + "}", kNoTun},
      {"two inbounds", R"({"inbounds": [{"protocol": "tun"}, {"protocol": "socks"}],)" + out + "}",
       kOneTun},
      {"socks inbound", R"({"inbounds": [{"protocol": "socks"}],)" + out + "}", kTunProtocol},
      {"inbound a string", R"({"inbounds": ["tun"],)" + out + "}", kTunProtocol},
      {"TUN in capitals", R"({"inbounds": [{"protocol": "TUN"}],)" + out + "}", nullptr},
      {"no outbounds", "{" + tun + "}", kNoOutbound},
      {"outbounds an object", "{" + tun + R"(, "outbounds": {"protocol": "vless"}})", kNoOutbound},
      {"outbounds empty", "{" + tun + R"(, "outbounds": []})", kNoProxy},
      {"freedom and untagged vless",
       "{" + tun +
           R"(, "outbounds": [{"protocol": "freedom", "tag": "d"}, {"protocol": "vless"}]})",
       kNoProxy},
      {"freedom and tagged vless",
       "{" + tun +
           R"(, "outbounds": [{"protocol": "freedom", "tag": "d"}, {"protocol": "vless", "tag": "p"}]})",
       nullptr},
      {"observatory probing freedom",
       R"({"observatory": {"subjectSelector": ["pro", "dir"]},)" + tun + "," + out + "}",
       kObservatory},
      {"burstObservatory selecting everything",
       R"({"BurstObservatory": {"subjectSelector": [""], "pingConfig": {}},)" + tun + "," + out +
           "}",
       kObservatory},
      {"observatories probing the proxy only",
       R"({"observatory": {"subjectSelector": ["prox", "Dir"]},
           "burstObservatory": {"subjectSelector": ["proxy"]},)" +
           tun + "," + out + "}",
       nullptr},
      {"dns server in local mode",
       R"({"dns": {"servers": ["1.1.1.1", "HTTPS+Local://1.1.1.1/dns-query"]},)" + tun + "," + out +
           "}",
       kLocalDns},
      {"dns server object in local mode",
       R"({"dns": {"servers": [{"address": "tcp+local://9.9.9.9"}]},)" + tun + "," + out + "}",
       kLocalDns},
      {"dns servers through routing",
       R"({"dns": {"servers": ["localhost", "https://1.1.1.1/local", {"address": "8.8.8.8"}]},)" +
           tun + "," + out + "}",
       nullptr},
      {"blackhole and dns only",
       "{" + tun +
           R"(, "outbounds": [{"protocol": "Blackhole", "tag": "b"}, {"protocol": "DNS", "tag": "d"}]})",
       kNoProxy},
  };
  for (const auto& c : cases) {
    ExpectVerdict(ValidateProfile("p", "xray", c.text), c.message, c.what);
  }
}

// ---------------------------------------------------------------------------
// WireGuard

constexpr char kWgInterface[] =
    "[Interface]\nPrivateKey = cHJpdmF0ZQ==\nAddress = 10.8.0.2/32\nDNS = 192.0.2.53\n";
constexpr char kWgPeer[] =
    "[Peer]\nPublicKey = cHVibGlj\nEndpoint = 203.0.113.1:51820\nAllowedIPs = 0.0.0.0/0\n";

TEST(ValidateWireGuard, RulesInLineOrder) {
  const char* kPeerFirst = "WireGuard peers must follow the Interface section.";
  const char* kOneInterface = "WireGuard profiles require one Interface before all peers.";
  const char* kInvalidLine = "The WireGuard configuration contains an invalid line.";
  const char* kEmpty = "WireGuard directive values may not be empty.";
  const char* kHook = "WireGuard hook and SaveConfig directives are not permitted.";
  const char* kInterfaceKey = "The WireGuard Interface contains an unsupported directive.";
  const char* kDnsLiteral = "WireGuard DNS entries must be literal IPv4 or IPv6 addresses.";
  const char* kDnsCount = "WireGuard profiles may contain at most eight DNS servers.";
  const char* kTableOff = "WireGuard Table=off is not allowed for a full VPN tunnel.";
  const char* kTable =
      "The WireGuard profile sets a routing table; only Table = auto is supported.";
  const char* kAmbiguous =
      "The WireGuard profile contains a line that WireGuard could read differently.";
  const char* kPeerKey = "The WireGuard Peer contains an unsupported directive.";
  const char* kPeerIncomplete =
      "Every WireGuard peer requires PublicKey, Endpoint, and AllowedIPs.";
  const char* kEnd =
      "WireGuard profiles require Interface PrivateKey, Address, DNS, a complete Peer, and a "
      "default AllowedIPs route.";
  const std::string iface = kWgInterface;
  const std::string peer = kWgPeer;
  const std::string peerNoRoute = "[Peer]\nPublicKey = a\nEndpoint = 203.0.113.1:1\n";
  const struct {
    const char* what;
    std::string text;
    const char* message;
  } cases[] = {
      {"minimal", iface + peer, nullptr},
      {"IPv6 default route alone", iface + peerNoRoute + "AllowedIPs = ::/0", nullptr},
      {"split default route", iface + peerNoRoute + "AllowedIPs = 0.0.0.0/1, 128.0.0.0/1", kEnd},
      {"route among others", iface + peerNoRoute + "AllowedIPs=10.0.0.0/8 , 0.0.0.0/0", nullptr},
      {"capitals, blanks, CRLF",
       "  [INTERFACE]\r\n\tprivatekey=k\r\nADDRESS =10.0.0.2/32\r\ndns= 2001:db8::53 \r\n"
       "[pEeR]\r\nPUBLICKEY = p\r\nendpoint = e:1\r\nallowedips = ::/0\r\n",
       nullptr},
      {"comments and blank lines", "# profile\n\n" + iface + "  # note\n" + peer + "# end",
       nullptr},
      {"a semicolon starts no comment for wg", iface + ";note\n" + peer, kInvalidLine},
      {"a commented key", iface + ";PostUp = touch /run/marker\n" + peer, kInterfaceKey},
      {"peer before interface", peer + iface, kPeerFirst},
      {"second interface", iface + iface + peer, kOneInterface},
      {"interface after a peer", iface + peer + "[Interface]\n", kOneInterface},
      {"directive before any section", "PrivateKey = k\n" + iface + peer, kInvalidLine},
      {"line without equals", iface + "Address\n" + peer, kInvalidLine},
      {"comments after sections and values",
       "[Interface] # main\nPrivateKey = k#ey\nAddress = 10.0.0.2/32 # home\n"
       "DNS = 192.0.2.53#resolver\n[PEER]#gateway\n" +
           peer.substr(7),
       nullptr},
      {"a comment leaves a value empty", iface + "MTU = # later\n" + peer, kEmpty},
      {"a comment hides the equals sign", iface + "PostUp # = x\n" + peer, kInvalidLine},
      {"section line with inner blanks", "[ Interface ]\n", kAmbiguous},
      {"section line with an equals sign", "[Interface] = x\n", kAmbiguous},
      {"key with inner blanks", iface + "Post Up = touch /run/marker\n" + peer, kAmbiguous},
      {"key with a non-ASCII letter",
       iface +
           "T\xC3\xA4"
           "ble = 1234\n" +
           peer,
       kAmbiguous},
      {"unknown section", iface + peer + "[Peers]\n", kInvalidLine},
      {"PostUp in the interface", iface + "PostUp = iptables -F\n" + peer, kHook},
      {"PostUp in a peer", iface + peer + "PostUp = x\n", kHook},
      {"SaveConfig", iface + "SaveConfig = true\n" + peer, kHook},
      {"PostUp empty", iface + "PostUp =\n" + peer, kEmpty},
      {"FwMark", iface + "FwMark = 51820\n" + peer, kInterfaceKey},
      {"Jc in the interface", iface + "Jc = 4\nJmin = 40\nS1 = 15\n" + peer, nullptr},
      {"Jc in a peer", iface + peer + "Jc = 4\n", kPeerKey},
      {"Address in a peer", iface + peer + "Address = 10.0.0.1/32\n", kPeerKey},
      {"MTU, ListenPort, Table auto",
       iface + "MTU = 1420\nListenPort = 51820\nTable = auto\n" + peer, nullptr},
      {"Table number", iface + "Table = 1234\n" + peer, kTable},
      {"Table main, capitals and no blanks", iface + "TABLE=main\n" + peer, kTable},
      {"Table auto in capitals names a table", iface + "table = Auto\n" + peer, kTable},
      {"Table number behind a comment", iface + "Table = 1234 # policy\n" + peer, kTable},
      {"Table off behind a comment", iface + "Table = off#no routes\n" + peer, kTableOff},
      {"Table auto with a comment", iface + "Table=auto # default\n" + peer, nullptr},
      {"Table refused only after every line passed",
       iface + "Table = 1234\nPostUp = touch /run/marker\n" + peer, kHook},
      {"Table off", iface + "Table = Off\n" + peer, kTableOff},
      {"DNS trailing comma", iface + "DNS = 192.0.2.1, 2001:db8::1,\n" + peer, nullptr},
      {"DNS two commas", iface + "DNS = 192.0.2.1,,192.0.2.2\n" + peer, kDnsLiteral},
      {"DNS leading comma", iface + "DNS = ,192.0.2.1\n" + peer, kDnsLiteral},
      {"DNS search domain", iface + "DNS = 192.0.2.1, example.com\n" + peer, kDnsLiteral},
      {"DNS short IPv4", iface + "DNS = 10.1\n" + peer, kDnsLiteral},
      {"eight DNS servers",
       iface +
           "DNS = 192.0.2.1,192.0.2.2,192.0.2.3,192.0.2.4\nDNS = 192.0.2.5,192.0.2.6,192.0.2.7\n" +
           peer,
       nullptr},
      {"ninth server refused before a later bad entry",
       iface +
           "DNS = 192.0.2.1,192.0.2.2,192.0.2.3,192.0.2.4\n"
           "DNS = 192.0.2.5,192.0.2.6,192.0.2.7,192.0.2.8,example\n" +
           peer,
       kDnsCount},
      {"bare IPv6 endpoint",
       iface + "[Peer]\nPublicKey = a\nEndpoint = 2001:db8::1:518\n" + "AllowedIPs = ::/0\n",
       kAmbiguous},
      {"endpoint with inner blanks",
       iface + "[Peer]\nPublicKey = a\nEndpoint = 192.0.2.1 :51\n" + "AllowedIPs = ::/0\n",
       kAmbiguous},
      {"bracketed IPv6 endpoint with a comment",
       iface + "[Peer]\nPublicKey = a\nEndpoint = [2001:db8::1]:51820 # v6\nAllowedIPs = ::/0\n",
       nullptr},
      {"first peer without endpoint",
       iface + "[Peer]\nPublicKey = a\nAllowedIPs = 0.0.0.0/0\n" + peer + "FwMark = 1\n",
       kPeerIncomplete},
      {"last peer without public key",
       iface + peer + "[Peer]\nEndpoint = e:1\nAllowedIPs = 0.0.0.0/0\n", kPeerIncomplete},
      {"no DNS", "[Interface]\nPrivateKey = k\nAddress = 10.0.0.2/32\n" + peer, kEnd},
      {"no peer", iface, kEnd},
      {"no private key", "[Interface]\nAddress = a\nDNS = 192.0.2.1\n" + peer, kEnd},
      {"comments only", "# nothing\n", kEnd},
  };
  for (const auto& c : cases) {
    ExpectVerdict(ValidateProfile("p", "wireguard", c.text), c.message, c.what);
  }
}

TEST(WireGuardConfigRequiresAmnezia, OnlyInterfaceKeysCount) {
  const std::string peer = kWgPeer;
  const struct {
    std::string text;
    bool amnezia;
  } cases[] = {
      {kWgInterface + peer, false},
      {"[Interface]\nS1 = 0\n", true},
      {"[interface]\n  jc=4\n", true},
      {"[ Interface ] trailing\nH4 = 1\n", false},
      {"[Interface] # main\nH4 = 1 # x\n", true},
      {"[Interface]\n# Jc = 4\n", false},
      {"[Interface]\nDisableCookies = 1\n", true},
      {"[Interface]\nPrivateKey = k\n" + peer + "Jc = 4\n", false},
      {"Jc = 4\n[Interface]\nAddress = a\n", false},
      {"[Interface]\n# Jc = 4\n; S1 = 1\n", false},
      {"[Interface]\nJc\n", false},
      {"[Interface\nJc = 4\n", false},
      {"[Interface]\n[Peer\nJc = 4\n", false},
      {"[Interface]\nJcx = 4\nS5 = 1\n", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(WireGuardConfigRequiresAmnezia(c.text), c.amnezia) << c.text;
  }
  EXPECT_FALSE(IsAmneziaInterfaceKey(""));
  EXPECT_FALSE(IsAmneziaInterfaceKey("JC"));  // callers lower-case first
  EXPECT_EQ(AmneziaKeys().size(), 25u);
}

// ---------------------------------------------------------------------------
// OpenVPN

constexpr char kOvpnBase[] =
    "client\ndev tun\nproto udp\nremote 203.0.113.7 1194\n"
    "<ca>\n-----BEGIN CERTIFICATE-----\nMIIB\n-----END CERTIFICATE-----\n</ca>\n"
    "<cert>\nMIIC\n</cert>\n<key>\nMIID\n</key>\n";

TEST(ValidateOpenVpn, RulesInOrder) {
  const char* kUnmatched = "The OpenVPN profile contains an unmatched inline block.";
  const char* kUnsupported = "The OpenVPN profile contains an unsupported inline block.";
  const char* kForbidden =
      "The OpenVPN profile contains a privileged or external-control directive that is not "
      "permitted.";
  const char* kHttpProxy = "OpenVPN HTTP proxy credentials may not reference an external file.";
  const char* kSocksProxy = "OpenVPN SOCKS proxy credentials may not reference an external file.";
  const char* kUnterminated = "The OpenVPN profile contains an unterminated inline block.";
  const char* kAmbiguous =
      "The OpenVPN profile contains a line that OpenVPN could read differently.";
  const char* kShape =
      "OpenVPN profiles require client mode, a remote, and TUN\xE2\x80\x94not TAP.";
  const char* kEmbed =
      "OpenVPN profiles must embed credentials and certificates instead of referencing external "
      "files.";
  const char* kRoutes =
      "The OpenVPN profile contains a route or gateway option that could send traffic around the "
      "tunnel.";
  const char* kListener =
      "The OpenVPN profile contains a listening or server option; only outgoing client "
      "connections are permitted.";
  const char* kNoCipher =
      "The OpenVPN profile turns off or weakens the encryption of tunnelled data.";
  const char* kCompression =
      "The OpenVPN profile turns on compression, which can reveal tunnelled data.";
  const char* kPeerInfo =
      "The OpenVPN profile sends details that identify this computer to the server.";
  const std::string base = kOvpnBase;
  const struct {
    const char* what;
    std::string text;
    const char* message;
  } cases[] = {
      {"inline ca, cert and key", base, nullptr},
      {"CRLF and indentation", "  client\r\n\tdev tun\r\nremote h 1\r\n<ca>\r\nx\r\n </ca>\r\n",
       nullptr},
      {"ca file", base + "ca ca.crt\n", kEmbed},
      {"ca [inline] with its block", base + "ca [inline]\n", nullptr},
      {"CA [INLINE] before its block", "CA [INLINE]\n" + base, nullptr},
      {"tls-auth [inline] 1", base + "<tls-auth>\nk\n</tls-auth>\ntls-auth [inline] 1\n", kEmbed},
      {"auth-user-pass without block", base + "auth-user-pass\n", kEmbed},
      {"auth-user-pass with block",
       base + "auth-user-pass\n<auth-user-pass>\nu\np\n</auth-user-pass>\n", nullptr},
      {"--up", base + "--up /bin/x\n", kForbidden},
      {"UP", base + "UP /bin/x\n", kForbidden},
      {"script-security", base + "script-security 2\n", kForbidden},
      {"management", base + "management 127.0.0.1 7505\n", kForbidden},
      {"user nobody", base + "user nobody\n", kForbidden},
      {"block never closed", base + "<ca>\n", kUnterminated},
      {"verb 3", base + "verb 3\n", nullptr},
      {"dev tap", "client\ndev tap\nremote h 1\n", kShape},
      {"dev-type tap", "client\ndev tun\ndev-type tap\nremote h 1\n", kShape},
      {"two dev lines", "client\ndev tun\ndev tun1\nremote h 1\n", kShape},
      {"dev-type tun with a named device", "client\ndev vpn0\ndev-type tun\nremote h 1\n", nullptr},
      {"dev tun0", "client\ndev tun0\nremote h 1\n", nullptr},
      {"no client", "dev tun\nremote h 1\n", kShape},
      {"remote without arguments", "client\ndev tun\nremote\n", kShape},
      {"no client and a key file", "dev tun\nremote h 1\nkey client.key\n", kShape},
      {"http-proxy auto", base + "http-proxy proxy.example 8080 auto\n", nullptr},
      {"http-proxy AUTO-NCT basic", base + "http-proxy proxy.example 8080 AUTO-NCT basic\n",
       nullptr},
      {"http-proxy without credentials", base + "http-proxy proxy.example 8080\n", nullptr},
      {"http-proxy file", base + "http-proxy proxy.example 8080 /etc/creds\n", kHttpProxy},
      {"socks-proxy host port", base + "socks-proxy proxy.example 1080\n", nullptr},
      {"socks-proxy credentials file", base + "socks-proxy proxy.example 1080 /root/creds\n",
       kSocksProxy},
      {"--SOCKS-PROXY credentials file", base + "--SOCKS-PROXY p 1080 creds\n", kSocksProxy},
      {"closing tag with no block", base + "</ca>\n", kUnmatched},
      {"empty tag", base + "<>\n", kUnmatched},
      {"connection block", base + "<connection>\nremote h 1\n</connection>\n", kUnsupported},
      {"directive inside a block is content",
       "client\ndev tun\nremote h 1\n<ca>\nup /bin/x\n# c\n<key>\n</ca>\n", nullptr},
      {"unterminated block hides a directive", base + "<tls-crypt>\nup /bin/sh\n", kUnterminated},
      {"comments", "# client\n; dev tap\n" + base, nullptr},
  };
  for (const auto& c : cases) {
    ExpectVerdict(ValidateProfile("p", "openvpn", c.text), c.message, c.what);
  }

  // Each spelling is appended to the valid base profile on its own.
  const struct {
    const char* what;
    std::vector<std::string> spellings;
    const char* message;
  } spelled[] = {
      // openvpn reads quotes and escapes in every word, the first included.
      {"dangerous names in quotes or escapes",
       {"\"route-up\" \"/bin/sh -c 'id > /run/x'\"\n", "'plugin' /lib/x.so\n",
        "\"--config\" /etc/x\n", "\"--daemon\"\n", "\xEF\xBB\xBFup /bin/x\n",
        "\"http-proxy-user-pass\" /root/x\n"},
       kForbidden},
      {"other names in quotes or escapes",
       {"\"verb\" 3\n", "\"dev\" tap0\n", "--'config' /etc/x\n", "ve\\rb 3\n", "\\verb 3\n",
        "'nobind'\n"},
       kAmbiguous},
      {"lines openvpn refuses",
       {"manag\\ement 127.0.0.1 7505\n", "verb \"3\n", "verb 'x\n", "verb \\x\n", "\"\n"},
       kAmbiguous},
      {"a line openvpn would read in pieces",
       {"verb 3" + std::string(250, ' ') + "x\n", "#" + std::string(300, 'c') + "\n",
        "<tls-auth>\n" + std::string(255, 'k') + "</tls-auth>\n</tls-auth>\n"},
       kAmbiguous},
      // openvpn drops comment words before it looks for a tag, and ends a block
      // at the first line that begins with the closing tag.
      {"tags that are not exactly a supported tag",
       {"<tls-auth> ;c\nk\n</tls-auth>\n", "\"<tls-auth>\"\nk\n</tls-auth>\n",
        "--<tls-auth>\nk\n</tls-auth>\n", "<TLS-AUTH>\nk\n</TLS-AUTH>\n", "<ca\n", "< ca>\n",
        "<ca> x\n"},
       kAmbiguous},
      {"closing lines that are not exactly the tag",
       {"<tls-auth>\nk\n</tls-auth>x\nroute-up /bin/x\n</tls-auth>\n",
        "<tls-auth>\nk\n</tls-auth> ;c\n", "<tls-auth>\nk\n</TLS-AUTH>\n</tls-auth>\n",
        "<tls-auth>\n </Tls-Auth>x\n</tls-auth>\n"},
       kAmbiguous},
      // Operations openvpn runs while it reads options.
      {"root-acting options",
       {"show-pkcs11-ids /lib/x.so\n", "genkey secret /etc/shadow\n", "memstats /etc/x\n",
        "management-hold\n", "management-query-passwords\n", "client-crresponse /bin/x\n",
        "ignore-unknown-option CLIENT\n"},
       kForbidden},
      {"routes around the tunnel",
       {"route 0.0.0.0 192.0.0.0 net_gateway\n", "ROUTE remote_host 255.255.255.255 net_gateway\n",
        "--route-ipv6 2000::/3 fe80::1\n", "route-gateway 203.0.113.1\n",
        "redirect-gateway def1 bypass-dhcp\n", "redirect-gateway ipv6 !ipv4\n",
        "redirect-gateway local def1\n", "redirect-private def1\n", "allow-pull-fqdn\n",
        "ifconfig 10.8.0.2 10.8.0.1\n"},
       kRoutes},
      {"listeners and server mode",
       {"lport 1194\n", "bind\n", "local 192.0.2.1\n", "float\n", "multihome\n",
        "proto tcp-server\n", "remote h 1 TCP6-SERVER\n", "mode server\n", "tls-server\n",
        "port-share 127.0.0.1 443\n"},
       kListener},
      {"no or weak data channel protection",
       {"cipher none\n", "data-ciphers AES-256-GCM:none\n", "ncp-ciphers NONE\n",
        "data-ciphers-fallback none\n", "auth none\n", "no-replay\n", "tls-cipher DEFAULT:eNULL\n",
        "tls-cipher ADH-AES256-GCM-SHA384\n", "tls-ciphersuites TLS_SHA256_SHA256\n"},
       kNoCipher},
      {"compression",
       {"comp-lzo\n", "comp-lzo yes\n", "compress lz4-v2\n", "COMPRESS lzo\n",
        "allow-compression yes\n", "allow-compression asym\n"},
       kCompression},
      {"peer info", {"push-peer-info\n", "--push-peer-info\n"}, kPeerInfo},
      {"accepted spellings",
       {"proto tcp-client\nremote h 443 tcp\n",
        "verify-x509-name \"C=DE, CN=vpn server\" subject\n", "remote \"h\" 1 # c\n", "verb 3 ;c\n",
        "\xEF\xBB\xBFverb 3\n", "<tls-auth>\n  </tls-auth>\n", "redirect-gateway def1 ipv6\n",
        "redirect-gateway\n", "route-delay 2\n", "port 1194\n", "comp-lzo no\n", "compress\n",
        "compress stub-v2\n", "allow-compression no\n",
        "data-ciphers AES-256-GCM:CHACHA20-POLY1305\n", "cipher AES-256-CBC\nauth SHA256\n",
        "tls-cipher DEFAULT:!aNULL:!eNULL\n"},
       nullptr},
  };
  for (const auto& c : spelled) {
    for (const std::string& spelling : c.spellings) {
      const std::string text =
          spelling.compare(0, 3, "\xEF\xBB\xBF") == 0 ? spelling + base : base + spelling;
      ExpectVerdict(ValidateProfile("p", "openvpn", text), c.message,
                    std::string(c.what) + ": " + spelling);
    }
  }
  EXPECT_EQ(ForbiddenDirectives().size(), 70u);
  EXPECT_EQ(InlineFileDirectives().size(), 12u);
}

// openvpn itself is the judge of what the reader sees: "echo msg" lines are
// logged while options are read, so the lines it reports are the lines it took
// for options, with its own word splitting. No profile names a device, so
// openvpn stops once the options are read.
std::vector<std::string> EchoesOpenVpnLogs(const std::string& profile) {
  g_autofree char* path = nullptr;
  const int fd = g_file_open_tmp("tessary-echo-XXXXXX.ovpn", &path, nullptr);
  if (fd < 0) {
    ADD_FAILURE() << "cannot create a temporary profile";
    return {};
  }
  const bool written =
      write(fd, profile.data(), profile.size()) == static_cast<ssize_t>(profile.size());
  close(fd);
  EXPECT_TRUE(written);
  const char* argv[] = {"/usr/bin/timeout", "10", "/usr/sbin/openvpn", "--config", path, nullptr};
  g_autofree char* output = nullptr;
  g_spawn_sync(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_STDERR_TO_DEV_NULL, nullptr,
               nullptr, &output, nullptr, nullptr, nullptr);
  unlink(path);
  std::vector<std::string> echoes;
  std::istringstream lines(output != nullptr ? output : "");
  for (std::string line; std::getline(lines, line);) {
    const std::size_t at = line.find("ECHO:");
    if (at != std::string::npos) echoes.push_back(line.substr(at + 5));
  }
  return echoes;
}

std::vector<std::string> EchoesTheReaderSees(const std::string& profile) {
  std::vector<std::string> echoes;
  ForEachOpenVpnLine(profile, [&](const OpenVpnLine& line) {
    const std::vector<std::string>& words = line.words;
    if (line.kind != OpenVpnLine::Kind::kDirective || words[0] != "echo" || words.size() < 2 ||
        words[1].compare(0, 3, "msg") != 0) {
      return true;
    }
    std::string echo;
    for (std::size_t i = 1; i < words.size(); ++i) echo += (i > 1 ? " " : "") + words[i];
    echoes.push_back(echo);
    return true;
  });
  return echoes;
}

TEST(ValidateOpenVpn, ReaderAgreesWithOpenVpn) {
  if (access("/usr/sbin/openvpn", X_OK) != 0) GTEST_SKIP() << "openvpn is not installed";
  const char* profiles[] = {
      "echo msg A\n\"echo\" msg B\n'echo' msg C\n--echo msg D\n\"--echo\" msg E\n",
      "<ca> ;c\necho msg hidden\n</ca>x\necho msg after\n</ca>\n",
      "<ca>\n</CA>\necho msg hidden\n </ca>\necho msg after\n",
      "\"<cert>\"\necho msg hidden\n</cert> #\necho msg after\n",
      "--<key>\necho msg hidden\n</key>\necho msg after\n",
      "\xEF\xBB\xBF"
      "echo msg first\n\xEF\xBB\xBF"
      "echo msg second\n",
      "echo msg I # c\necho \"msg\" 'J' ;c\n  echo\tmsg K\r\necho msg \"L1  L2\"\n",
      "echo msg a\\ b\necho msg \"q\\\"uote\" 'back\\slash'\necho msg \\\\x\n#echo msg no\n",
      "echo msg 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16 17\n",
      "<tls-auth>\necho msg hidden\n<ca>\n</ca>\necho msg hidden\n</tls-auth>\necho msg after\n",
      "echo msg before\n<key>\necho msg never closed\n",
  };
  for (const char* profile : profiles) {
    const std::vector<std::string> expected = EchoesOpenVpnLogs(profile);
    EXPECT_FALSE(expected.empty()) << profile;
    EXPECT_EQ(EchoesTheReaderSees(profile), expected) << profile;
  }
  // Inside a block openvpn reads a long line in pieces, so a closing tag after
  // 255 bytes ends the block and the next line is an option. The reader does
  // not follow that; validation refuses the line instead.
  const std::string pieces = "<ca>\n" + std::string(255, 'A') + "</ca>\necho msg smuggled\n</ca>\n";
  EXPECT_EQ(EchoesOpenVpnLogs(pieces), std::vector<std::string>{"msg smuggled"});
  EXPECT_EQ(ValidateProfile("p", "openvpn", kOvpnBase + pieces).message,
            "The OpenVPN profile contains a line that OpenVPN could read differently.");
}

// ---------------------------------------------------------------------------
// Public profiles (tests/data/profiles, sources in SOURCES.md). Each verdict is
// the first rule the file breaks, read off the file by hand.

std::string ReadProfile(const std::string& relative) {
  g_autofree char* contents = nullptr;
  gsize length = 0;
  const std::string path = std::string(TESSARY_PROFILE_DIR) + "/" + relative;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) {
    ADD_FAILURE() << "cannot read " << path;
    return "";
  }
  return std::string(contents, length);
}

TEST(CorpusProfiles, VerdictsFollowFromTheRules) {
  const char* kExperimental = "Sing-box experimental services are not permitted in VPN profiles.";
  const char* kSingBoxDns = "Sing-box profiles require app-owned remote DNS configuration.";
  const char* kSingBoxAutoRoute = "Sing-box profiles require an auto-route TUN inbound.";
  const char* kXrayApi = "Xray API listeners are not permitted in VPN profiles.";
  const char* kXrayLog = "Xray profiles may not write logs to files.";
  const char* kXrayFiles = "Xray profiles may not reference privileged certificate files.";
  const char* kXrayOneTun = "Xray profiles must contain exactly one app-owned TUN inbound.";
  const char* kXrayTunProtocol = "The Xray inbound must use the TUN protocol.";
  const char* kWgEmpty = "WireGuard directive values may not be empty.";
  const char* kWgDns = "WireGuard DNS entries must be literal IPv4 or IPv6 addresses.";
  const char* kWgHook = "WireGuard hook and SaveConfig directives are not permitted.";
  const char* kWgInvalidLine = "The WireGuard configuration contains an invalid line.";
  const char* kWgPeer = "Every WireGuard peer requires PublicKey, Endpoint, and AllowedIPs.";
  const char* kWgEnd =
      "WireGuard profiles require Interface PrivateKey, Address, DNS, a complete Peer, and a "
      "default AllowedIPs route.";
  const char* kOvpnForbidden =
      "The OpenVPN profile contains a privileged or external-control directive that is not "
      "permitted.";
  const char* kOvpnShape =
      "OpenVPN profiles require client mode, a remote, and TUN\xE2\x80\x94not TAP.";
  const char* kOvpnEmbed =
      "OpenVPN profiles must embed credentials and certificates instead of referencing external "
      "files.";
  const char* kOvpnRoutes =
      "The OpenVPN profile contains a route or gateway option that could send traffic around the "
      "tunnel.";
  const char* kOvpnListener =
      "The OpenVPN profile contains a listening or server option; only outgoing client "
      "connections are permitted.";
  const char* kOvpnCompression =
      "The OpenVPN profile turns on compression, which can reveal tunnelled data.";
  const char* kOvpnPeerInfo =
      "The OpenVPN profile sends details that identify this computer to the server.";

  const struct {
    const char* file;
    const char* protocol;
    const char* message;  // nullptr: valid
  } cases[] = {
      // json-glib reads "//" as an empty comment, so the words after it are
      // stray tokens: every file with a line comment is malformed to it.
      {"singbox/box-for-magisk-1.11-tproxy-fakeip-rule-sets-clash-api-trailing-comment.jsonc",
       "singbox", kMalformed},  // "// https://gist..." after the root object
      {"singbox/box-for-magisk-1.12-tun-auto-redirect-log-file-clash-api.json", "singbox",
       kExperimental},  // root "experimental" comes before its log file
      {"singbox/box-for-magisk-HEAD-placeholder-not-json.json", "singbox", kMalformed},  // '#'
      // Outbound-only client snippets: no experimental, log file, file member or
      // external resource, and no "dns" at all.
      {"singbox/chika-hysteria2-client.json", "hysteria2", kSingBoxDns},
      {"singbox/chika-shadowsocks-2022-multiplex-client.json", "shadowsocks", kSingBoxDns},
      {"singbox/chika-shadowtls-v3-detour-shadowsocks-client.json", "singbox", kSingBoxDns},
      {"singbox/chika-trojan-client.json", "trojan", kSingBoxDns},
      {"singbox/chika-tuic-client.json", "tuic", kSingBoxDns},
      {"singbox/chika-vless-vision-reality-client-empty-server.json", "xray-reality", kSingBoxDns},
      {"singbox/chika-vmess-ws-tls-client.json", "vmess", kSingBoxDns},  // "path": "" is no file
      {"singbox/chika-tun-fakeip-rule-actions-local-rule-set-cache-file.json", "singbox",
       kExperimental},  // before its local rule sets
      {"singbox/chika-tun-legacy-inet4-remote-rule-set-dns-out-PLACEHOLDER-outbound.jsonc",
       "singbox", kMalformed},
      {"singbox/docs-manual-client-dns-rules-with-leaks.json", "singbox", kExperimental},
      {"singbox/docs-manual-client-route-rules-remote-rule-set-dangling-ref.json", "singbox",
       kSingBoxDns},  // remote rule sets only, no "dns"
      {"singbox/docs-manual-client-tun-fakeip-new-dns-with-comments.jsonc", "singbox", kMalformed},
      {"singbox/template-1.12-selector-urltest-all-placeholders-clash-api.json", "singbox",
       kExperimental},
      {"singbox/template-tun-crlf-vn.json", "singbox", kExperimental},
      {"singbox/upstream-release-default-config-SERVER-ss2022-new-dns.json", "singbox",
       kSingBoxAutoRoute},  // tls DNS server passes; the one inbound is shadowsocks

      {"xray/3x-ui-panel-base-template-api-stats-policy-metrics-tunnel.json", "xray", kXrayApi},
      {"xray/box-for-magisk-xray-tproxy-dokodemo-dns-hosts-vmess-ws.json", "xray",
       kXrayLog},  // "access": "none" is a non-empty string
      {"xray/chika-singbox-repo-xray-vless-reality-mux-xudp-client.json", "xray",
       kXrayTunProtocol},  // one socks inbound
      {"xray/chika-v2rayn-custom-template-PLACEHOLDER-proxy-outbound.jsonc", "xray", kMalformed},
      {"xray/singbox-testsuite-xray-vless-tls-client-certificatefile.json", "xray", kXrayFiles},
      {"xray/xray-docs-level0-SERVER-log-paths-certificatefile.jsonc", "xray", kMalformed},
      {"xray/xray-docs-level0-client-commented-dns-routing-geosite.jsonc", "xray", kMalformed},
      {"xray/xray-docs-tun-inbound-FRAGMENT-autoroute.jsonc", "xray", kMalformed},
      {"xray/xtls-examples-hysteria2-client-outbound-only.jsonc", "xray", kMalformed},
      {"xray/xtls-examples-mitm-domain-fronting-dokodemo-tls-issue.jsonc", "xray", kMalformed},
      {"xray/xtls-examples-serverless-fragment-fakedns-client.jsonc", "xray", kMalformed},
      {"xray/xtls-examples-shadowsocks-tcp-client.jsonc", "xray", kXrayOneTun},  // socks + http
      {"xray/xtls-examples-socks5-tls-client.jsonc", "xray", kXrayOneTun},
      {"xray/xtls-examples-trojan-grpc-client.jsonc", "xray", kMalformed},
      {"xray/xtls-examples-trojan-tcp-tls-minimal-client-no-final-newline.jsonc", "xray",
       kXrayTunProtocol},
      {"xray/xtls-examples-vless-grpc-reality-client-socks-http-api-rule.jsonc", "xray",
       kMalformed},
      {"xray/xtls-examples-vless-tcp-vision-SERVER-certificatefile.jsonc", "xray", kMalformed},
      {"xray/xtls-examples-vless-tcp-vision-reality-client.jsonc", "xray", kMalformed},
      {"xray/xtls-examples-vless-tcp-vision-tls-client-geosite.jsonc", "xray", kMalformed},
      {"xray/xtls-examples-vless-xhttp-reality-client-bypass-cn.jsonc", "xray", kMalformed},
      {"xray/xtls-examples-vmess-ws-tls-client.jsonc", "xray", kMalformed},

      {"wireguard/amneziawg-2-client-s3-s4-h-ranges-i1-psk.conf", "amneziawg",
       kWgEmpty},  // "I2 =" after the AmneziaWG keys
      {"wireguard/amneziawg-client-template-placeholders.conf", "amneziawg",
       kWgDns},  // DNS = $PRIMARY_DNS, ...
      {"wireguard/amneziawg-server-jc-s1-h1-mtu-empty-keys.conf", "wg", kWgEmpty},  // PrivateKey =
      {"wireguard/homelab-cgnat-client-inline-comments-PostDOwn.conf", "wireguard",
       kWgEmpty},  // "PrivateKey = #..." is empty to wg-quick and wg
      {"wireguard/homelab-cgnat-gateway-indented-comments-trailing-ws.conf", "wireguard",
       kWgEmpty},  // likewise, before the PostUp lines
      {"wireguard/nm-test-INVALID-listenport-out-of-range.conf", "wireguard", kWgEnd},
      {"wireguard/nm-test-three-peers-ipv6-bracket-endpoint.conf", "wireguard",
       kWgEnd},  // complete peers, no default route
      {"wireguard/tutorial-bounce-server-four-peers.conf", "wireguard",
       kWgPeer},  // third peer has no Endpoint
      {"wireguard/tutorial-full-tunnel-client-name-comments.conf", "wireguard", nullptr},
      {"wireguard/tutorial-lan-bridge-postup-postdown-sysctl.conf", "wireguard", kWgHook},
      {"wireguard/warp-dual-stack-no-final-newline.conf", "wireguard", nullptr},
      {"wireguard/wg-android-test-INVALID-broken-private-key.conf", "wireguard",
       nullptr},  // key contents are the engine's business
      {"wireguard/wg-android-test-INVALID-dns-value.conf", "wireguard", kWgDns},
      {"wireguard/wg-android-test-INVALID-empty-endpoint.conf", "wireguard", kWgEmpty},
      {"wireguard/wg-android-test-INVALID-unknown-section-peers.conf", "wireguard",
       kWgInvalidLine},  // [Peers]
      {"wireguard/wg-android-test-working-dual-stack.conf", "wireguard", nullptr},
      {"wireguard/wg-quick-man-example-client-psk-dns.conf", "wireguard", nullptr},
      {"wireguard/wg-quick-man-example-policy-routing-table-postup.conf", "wireguard", kWgHook},
      {"wireguard/wg-quick-man-example-server-multi-address-saveconfig.conf", "wireguard", kWgHook},

      {"openvpn/nm-test-custom-dev-name-dev-type-cd.ovpn", "openvpn", kOvpnForbidden},  // user
      {"openvpn/nm-test-dev-tap.ovpn", "openvpn", kOvpnForbidden},  // user, before the end check
      {"openvpn/nm-test-http-proxy-with-authfile.ovpn", "openvpn",
       kOvpnForbidden},  // user comes before the http-proxy line
      {"openvpn/nm-test-inline-blocks-crl-verify-comments-inside.ovpn", "openvpn",
       kBadSize},  // a NUL byte inside the ca block
      {"openvpn/nm-test-non-utf8-iso8859-15.ovpn", "openvpn", kOvpnForbidden},  // script-security
      {"openvpn/nm-test-pkcs12-with-ca.ovpn", "openvpn", kOvpnShape},           // no client
      {"openvpn/nm-test-socks-proxy.ovpn", "openvpn", kOvpnForbidden},          // user
      {"openvpn/nm-test-static-routes.ovpn", "openvpn", kOvpnRoutes},           // route
      {"openvpn/nm-test-static-secret-key.ovpn", "openvpn", kOvpnRoutes},       // ifconfig
      {"openvpn/nm-test-tls-crypt-v2-file.ovpn", "openvpn", kOvpnListener},     // float
      {"openvpn/nm-test-tls-remote-verify-x509-name-quoted.ovpn", "openvpn", kOvpnListener},
      {"openvpn/nm-test-trailing-inline-comment.conf", "openvpn", kOvpnForbidden},
      {"openvpn/nm-test-tun-mtu-fragment-mssfix.conf", "openvpn", kOvpnForbidden},
      {"openvpn/provider-airvpn-inline-cert-key-tls-crypt.ovpn", "openvpn",
       kOvpnPeerInfo},  // push-peer-info, before setenv
      {"openvpn/provider-blackvpn-external-files-malformed-last-line.ovpn", "openvpn",
       kOvpnCompression},  // comp-lzo, before script-security
      {"openvpn/provider-cryptostorm-heavily-commented-tls-crypt.ovpn", "openvpn",
       kOvpnEmbed},  // auth-user-pass without its block; down-pre is allowed
      {"openvpn/provider-freevpn-crlf-setenv-opt-inline-key.ovpn", "openvpn", kOvpnForbidden},
      {"openvpn/provider-privatevpn-pull-filter.ovpn", "openvpn",
       kOvpnCompression},  // comp-lzo, before pull-filter
      {"openvpn/provider-protonvpn-tcp-tls-crypt-multi-remote.ovpn", "openvpn", kOvpnForbidden},
      {"openvpn/provider-smartvpn-connection-blocks.ovpn", "openvpn",
       kOvpnCompression},  // comp-lzo, before the connection blocks
      {"openvpn/provider-torguard-crlf-ca-file-and-inline.ovpn", "openvpn",
       kOvpnEmbed},  // "ca ca.crt" although a ca block exists
      {"openvpn/provider-tunnelbear-dev-tun0-dhcp-option.ovpn", "openvpn", kOvpnEmbed},
      {"openvpn/provider-vpnbook-rsa-private-key-inline.ovpn", "openvpn", kOvpnCompression},
      {"openvpn/upstream-keying-material-exporter-plugin-client.ovpn", "openvpn",
       kOvpnForbidden},  // plugin
      {"openvpn/upstream-loopback-client-inline-ca-key-cert-tls-auth.conf", "openvpn",
       kOvpnListener},                                                    // lport
      {"openvpn/upstream-sample-SERVER.conf", "openvpn", kOvpnListener},  // server
      {"openvpn/upstream-sample-client.conf", "openvpn", kOvpnEmbed},     // ca ca.crt
      {"openvpn/upstream-static-key-home-up-script.conf", "openvpn",
       kOvpnRoutes},  // ifconfig, before up
      {"openvpn/upstream-tls-home-p2p-up-script.conf", "openvpn", kOvpnRoutes},
  };
  for (const auto& c : cases) {
    ExpectVerdict(ValidateProfile("corpus", c.protocol, ReadProfile(c.file)), c.message, c.file);
  }
}

TEST(CorpusProfiles, AmneziaDetection) {
  EXPECT_TRUE(WireGuardConfigRequiresAmnezia(
      ReadProfile("wireguard/amneziawg-2-client-s3-s4-h-ranges-i1-psk.conf")));
  EXPECT_TRUE(WireGuardConfigRequiresAmnezia(
      ReadProfile("wireguard/amneziawg-client-template-placeholders.conf")));
  EXPECT_TRUE(WireGuardConfigRequiresAmnezia(
      ReadProfile("wireguard/amneziawg-server-jc-s1-h1-mtu-empty-keys.conf")));
  EXPECT_FALSE(WireGuardConfigRequiresAmnezia(
      ReadProfile("wireguard/tutorial-full-tunnel-client-name-comments.conf")));
  EXPECT_FALSE(WireGuardConfigRequiresAmnezia(
      ReadProfile("wireguard/warp-dual-stack-no-final-newline.conf")));
}

}  // namespace
}  // namespace tessary::linux_service
