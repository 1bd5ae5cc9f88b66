// libFuzzer target over profile validation. The first input byte picks the
// protocol label, the rest is the configuration text. Beyond "no crash", it
// checks that the nesting bound never counts fewer brackets than json-glib
// actually nests: a document json-glib accepts may not be deeper than the
// bound said. For WireGuard it checks the line reader's own promises, and
// that an accepted profile holds no hook and no table as wg-quick's
// parse_options, restated here from its shell code, would read it. For
// OpenVPN, that a profile validation accepts reads the same to openvpn's word
// splitting as to a plain one.
#include "service/config_validation.cc"
#include "service/json_members.h"
#include "service/openvpn_rules.cc"
#include "service/profile_lines.cc"
#include "service/singbox_rules.cc"
#include "service/wireguard_rules.cc"
#include "service/xray_rules.cc"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

using namespace tessary::linux_service;

constexpr const char* kLabels[] = {"vless", "singbox",   "Xray-Reality", "trojan",
                                   "xray",  "wireguard", "AmneziaWG",    "openvpn"};

unsigned long ContainerHeight(JsonNode* node) {
  unsigned long below = 0;
  if (JSON_NODE_HOLDS_ARRAY(node)) {
    JsonArray* array = json_node_get_array(node);
    for (guint i = 0; i < json_array_get_length(array); ++i) {
      const unsigned long height = ContainerHeight(json_array_get_element(array, i));
      if (height > below) below = height;
    }
    return below + 1;
  }
  if (JSON_NODE_HOLDS_OBJECT(node)) {
    g_autoptr(GList) values = json_object_get_values(json_node_get_object(node));
    for (GList* v = values; v != nullptr; v = v->next) {
      const unsigned long height = ContainerHeight(static_cast<JsonNode*>(v->data));
      if (height > below) below = height;
    }
    return below + 1;
  }
  return 0;
}

void CheckNestingBound(const std::string& text) {
  const JsonTextScan scan = ScanJsonText(text);
  if (scan.tooDeep) return;  // refused before parsing; json-glib must not see it
  const unsigned long counted = scan.deepest;
  g_autoptr(JsonParser) parser = json_parser_new();
  if (!json_parser_load_from_data(parser, text.data(), static_cast<gssize>(text.size()), nullptr)) {
    return;
  }
  JsonNode* root = json_parser_get_root(parser);
  if (root != nullptr && ContainerHeight(root) > counted) abort();
}

bool SameIgnoringCase(const std::string& text, const char* word) {
  return g_ascii_strcasecmp(text.c_str(), word) == 0;
}

// wg-quick: stripped="${line%%\#*}", key before the first "=", value after
// it or the whole stripped text, both trimmed; nocasematch for the keys.
void CheckWireGuardQuickReading(const std::string& config) {
  bool interfaceSection = false;
  std::size_t start = 0;
  while (start < config.size()) {
    std::size_t end = config.find('\n', start);
    if (end == std::string::npos) end = config.size();
    const std::string line = config.substr(start, end - start);
    start = end + 1;
    const std::string stripped = line.substr(0, line.find('#'));
    const std::size_t equals = stripped.find('=');
    const std::string key = Trim(stripped.substr(0, equals));
    const std::string value =
        Trim(equals == std::string::npos ? stripped : stripped.substr(equals + 1));
    if (!key.empty() && key[0] == '[') interfaceSection = false;
    if (SameIgnoringCase(key, "[Interface]")) interfaceSection = true;
    if (!interfaceSection) continue;
    for (const char* hook : {"PreUp", "PreDown", "PostUp", "PostDown", "SaveConfig"}) {
      if (SameIgnoringCase(key, hook)) abort();
    }
    if (SameIgnoringCase(key, "Table") && value != "auto") abort();
  }
}

void CheckWireGuardLines(const std::string& config, bool valid) {
  std::string joined;
  ForEachWireGuardLine(config, [&](const WireGuardLine& line) {
    joined += line.text + "\n";
    if (line.key.find('#') != std::string::npos || line.value.find('#') != std::string::npos) {
      abort();
    }
    if (line.key != Trim(line.key) || line.value != Trim(line.value)) abort();
    if (!line.hasEquals && !line.value.empty()) abort();
    if (line.sectionLine != (!line.key.empty() && line.key[0] == '[')) abort();
    if (valid && line.ambiguous) abort();
    return true;
  });
  if (!config.empty() && config.back() != '\n') joined.pop_back();
  if (joined != config) abort();
  if (valid) CheckWireGuardQuickReading(config);
}

// The OpenVPN reader must cover every byte with its lines, and a profile it
// lets through must read the same to a plain reader (blank-separated words,
// exact tag lines, "#" and ";" comments), so that no line means one thing to
// validation and another to openvpn.
void CheckOpenVpnReader(const std::string& config, bool valid) {
  std::string joined;
  bool first = true;
  ForEachOpenVpnLine(config, [&](const OpenVpnLine& line) {
    joined.append(line.text).push_back('\n');
    if (line.words.size() > kMaxOpenVpnWords) abort();
    for (const std::string& word : line.words) {
      if (word.size() > kMaxOpenVpnWordBytes) abort();
    }
    if (!valid) return true;
    if (line.ambiguous) abort();
    // openvpn skips a byte-order mark, and so may a plain reader.
    std::string text = line.text;
    if (first && text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
    first = false;
    const std::string trimmed = Trim(text);
    std::string plain = FirstToken(trimmed);
    if (plain.size() >= 3 && plain.compare(0, 2, "--") == 0) plain.erase(0, 2);
    switch (line.kind) {
      case OpenVpnLine::Kind::kNothing:
        if (!trimmed.empty() && trimmed[0] != '#' && trimmed[0] != ';') abort();
        break;
      case OpenVpnLine::Kind::kDirective:
        if (plain != line.words[0]) abort();
        if (ForbiddenDirectives().count(Lowercase(plain)) != 0) abort();
        break;
      case OpenVpnLine::Kind::kBlockOpen:
        if (trimmed != "<" + line.block + ">") abort();
        break;
      case OpenVpnLine::Kind::kBlockLine:
        if (Lowercase(trimmed) == Lowercase("</" + line.block + ">")) abort();
        break;
      case OpenVpnLine::Kind::kBlockClose:
        if (trimmed != "</" + line.block + ">") abort();
        break;
    }
    return true;
  });
  if (!config.empty() && config.back() != '\n') joined.pop_back();
  if (joined != config) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const char* label = kLabels[data[0] % (sizeof(kLabels) / sizeof(kLabels[0]))];
  const std::string config(reinterpret_cast<const char*>(data + 1), size - 1);
  const ProfileValidation result = ValidateProfile("fuzz", label, config);
  if (result.valid != result.message.empty()) abort();
  if (EngineForProtocol(label) == kWireGuard) {
    const bool amnezia = WireGuardConfigRequiresAmnezia(config);
    (void)amnezia;
    CheckWireGuardLines(config, result.valid);
  }
  if (EngineForProtocol(label) == kOpenVpn) CheckOpenVpnReader(config, result.valid);
  if (EngineForProtocol(label) == kSingBox || EngineForProtocol(label) == kXray) {
    CheckNestingBound(config);
  }
  return 0;
}
