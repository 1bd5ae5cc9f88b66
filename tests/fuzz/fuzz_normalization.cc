// Fuzzes both configuration rewrites. Besides crashes it checks four
// properties: text the nesting scan admits parses to a tree no deeper than
// validation allows (so the scan never lets json-glib recurse further than
// planned), failures leave the output untouched, a rewrite's output holds no
// two member names that fold alike, and it rewrites to itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "service/config_normalization.cc"

namespace {

using namespace tessary::linux_service;

// Deepest level below `node`, with the node itself at `level`.
std::size_t DeepestLevel(JsonNode* node, std::size_t level) {
  std::size_t deepest = level;
  if (JSON_NODE_HOLDS_ARRAY(node)) {
    JsonArray* array = json_node_get_array(node);
    for (guint i = 0; i < json_array_get_length(array); ++i) {
      const std::size_t d = DeepestLevel(json_array_get_element(array, i), level + 1);
      if (d > deepest) deepest = d;
    }
  } else if (JSON_NODE_HOLDS_OBJECT(node)) {
    JsonObject* object = json_node_get_object(node);
    JsonObjectIter iter;
    const gchar* name = nullptr;
    JsonNode* member = nullptr;
    json_object_iter_init(&iter, object);
    while (json_object_iter_next(&iter, &name, &member)) {
      const std::size_t d = DeepestLevel(member, level + 1);
      if (d > deepest) deepest = d;
    }
  }
  return deepest;
}

void CheckScanAgainstParser(const std::string& text) {
  const JsonTextScan scan = ScanJsonText(text);
  if (scan.tooDeep || scan.nodeTooDeep) return;
  g_autoptr(JsonParser) parser = json_parser_new();
  if (!json_parser_load_from_data(parser, text.data(), static_cast<gssize>(text.size()), nullptr))
    return;
  JsonNode* root = json_parser_get_root(parser);
  if (root != nullptr && DeepestLevel(root, 0) > kMaxJsonLevel) abort();
}

template <typename Normalize>
void CheckRewrite(const std::string& text, Normalize normalize) {
  std::string out = "untouched";
  std::string error = "untouched";
  if (!normalize(text, &out, &error)) {
    if (out != "untouched" || error == "untouched" || error.empty()) abort();
    return;
  }
  if (error != "untouched" || out.empty()) abort();
  // The engine reads the output: no object in it may hold two names its
  // decoder would take for one.
  g_autoptr(JsonParser) parser = json_parser_new();
  if (LoadJson(parser, out) != JsonLoad::kLoaded) abort();
  std::string again;
  if (!normalize(out, &again, &error) || again != out) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  const std::string text(reinterpret_cast<const char*>(data), size);
  CheckScanAgainstParser(text);
  // The label's choice comes from the input's length so that every seed meets
  // every kind of selection.
  static const char* const kLabels[] = {"sing-box", "vless", "Quarn", "trojan", "socks"};
  const std::string label = kLabels[size % 5];
  CheckRewrite(text, [&](const std::string& in, std::string* out, std::string* error) {
    return NormalizeSingBoxConfig(label, in, out, error);
  });
  CheckRewrite(text, [](const std::string& in, std::string* out, std::string* error) {
    return NormalizeXrayConfig(in, out, error);
  });
  return 0;
}
