// What the JSON engines' rule units share: the limits every sing-box and Xray
// document is held to, the content refused wherever it occurs, and which
// outbound carries the tunnel.
#include "service/json_rules.h"

#include <glib.h>

#include <cstddef>
#include <utility>

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

// Whether |length| bytes of |text| are, in ASCII case, |word|.
template <std::size_t N>
bool IsWord(const char* text, std::size_t length, const char (&word)[N]) {
  return length == N - 1 && g_ascii_strcasecmp(text, word) == 0;
}

bool IsForbiddenFileName(const char* text, std::size_t length) {
  return IsWord(text, length, "CERTIFICATEFILE") || IsWord(text, length, "KEYFILE") ||
         IsWord(text, length, "MASTERKEYLOG") || EndsWithIgnoringAsciiCase(text, length, "_PATH") ||
         EndsWithIgnoringAsciiCase(text, length, "_DIRECTORY");
}

bool IsForbiddenFileMemberName(const JsonName& name) {
  if (!name.ascii) {
    const std::string folded = FoldJsonMemberName(name.text);
    return IsForbiddenFileName(folded.c_str(), folded.size());
  }
  // Every member name passes here: most are turned away by their last letter,
  // which ends no forbidden name, before any comparison.
  if (name.length == 0) return false;
  const char last = static_cast<char>(name.text[name.length - 1] | 0x20);
  return (last == 'e' || last == 'g' || last == 'h' || last == 'y') &&
         IsForbiddenFileName(name.text, name.length);
}

// A file or directory named on the host: a forbidden member name whose
// value is a non-empty string or a non-empty array. Any other value is not a
// hit by itself (an object value is searched like any other).
bool IsForbiddenFileMember(const JsonName& name, JsonNode* value) {
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
template <std::size_t N>
bool NameFoldsLike(const JsonName& name, const char (&folded)[N]) {
  return name.ascii ? IsWord(name.text, name.length, folded)
                    : FoldJsonMemberName(name.text) == folded;
}

void FindInMember(JsonObject* object, const JsonName& name, JsonNode* value, void* context) {
  auto* findings = static_cast<JsonFindings*>(context);
  if (IsForbiddenFileMember(name, value)) findings->fileMember = true;
  // Only the members named below are looked at further, which spares lookups
  // in every object; an ASCII name is told by its length before its letters.
  if (NameFoldsLike(name, "TYPE")) {
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

// Whether some string of |text| may begin with an external reference. Without
// a \u escape, which could spell one, a string's letters and colons are
// written as they read, so the reference shows in the text itself; nearly
// every colon there follows a quote.
bool MayHoldExternalReference(const std::string& text) {
  if (text.find("\\u") != std::string::npos) return true;
  const char* data = text.data();
  for (std::size_t colon = text.find(':'); colon != std::string::npos;
       colon = text.find(':', colon + 1)) {
    const char before = static_cast<char>(colon > 0 ? data[colon - 1] | 0x20 : 0);
    if (before == 't' && colon >= 3 && g_ascii_strncasecmp(data + colon - 3, "ext", 3) == 0) {
      return true;
    }
    if (before == 'p' && colon >= 6 && g_ascii_strncasecmp(data + colon - 6, "ext-ip", 6) == 0) {
      return true;
    }
  }
  return false;
}

void FindInValue(JsonNode* value, void* findings) {
  if (IsExternalReference(value)) static_cast<JsonFindings*>(findings)->externalResource = true;
}

}  // namespace

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

ProfileValidation ParseJsonObject(EngineKind engine, const std::string& config, JsonParser** parser,
                                  JsonObject** root, JsonFindings* findings) {
  g_autoptr(JsonParser) loaded = json_parser_new();
  JsonFindings found;
  JsonVisit visit;
  visit.member = FindInMember;
  if (MayHoldExternalReference(config)) visit.value = FindInValue;
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
  if (load == JsonLoad::kAmbiguous) {
    const std::string name = EngineName(engine);
    return Invalid("The " + name + " profile contains member names that " + name +
                   " could read differently.");
  }
  *findings = std::move(found);
  *root = json_node_get_object(rootNode);
  *parser = static_cast<JsonParser*>(g_steal_pointer(&loaded));
  return {true, ""};
}

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

}  // namespace tessary::linux_service
