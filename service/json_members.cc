#include "service/json_members.h"

#include <glib.h>

#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tessary::linux_service {
namespace {

constexpr gunichar kDottedCapitalI = 0x0130;
constexpr gunichar kDotlessSmallI = 0x0131;

struct NameWatch {
  bool ambiguous = false;
  std::unordered_map<JsonObject*, std::unordered_set<std::string>> seen;
};

// json-glib reports each member after storing it; a repeated name has
// already replaced the earlier value by then, so repeats are found by name.
// Objects live as long as the parser's tree, so their addresses stay unique
// while it loads (only a repeat frees one, and a repeat ends the watch).
void OnObjectMember(JsonParser*, JsonObject* object, const char* name, gpointer data) {
  auto* watch = static_cast<NameWatch*>(data);
  if (watch->ambiguous) return;
  if (!watch->seen[object].insert(FoldJsonMemberName(name)).second) watch->ambiguous = true;
}

}  // namespace

std::string FoldJsonMemberName(const char* name) {
  std::string folded;
  for (const char* p = name; *p != '\0';) {
    const auto byte = static_cast<unsigned char>(*p);
    if (byte < 0x80) {
      folded += g_ascii_toupper(*p);
      ++p;
      continue;
    }
    const gunichar c = g_utf8_get_char_validated(p, -1);
    if (c == static_cast<gunichar>(-1) || c == static_cast<gunichar>(-2)) {
      folded += static_cast<char>(byte);  // not UTF-8: kept as it is
      ++p;
      continue;
    }
    // GLib's mappings take these two to I, which the decoders' simple case
    // folding does not.
    const gunichar mapped =
        c == kDottedCapitalI || c == kDotlessSmallI ? c : g_unichar_toupper(g_unichar_tolower(c));
    char out[6];
    const gint length = g_unichar_to_utf8(mapped, out);
    folded.append(out, static_cast<std::size_t>(length));
    p = g_utf8_next_char(p);
  }
  return folded;
}

bool JsonMemberNamesFoldAlike(const char* a, const char* b) {
  return std::strcmp(a, b) == 0 || FoldJsonMemberName(a) == FoldJsonMemberName(b);
}

const char* JsonMemberName(JsonObject* object, const char* name) {
  if (object == nullptr) return nullptr;
  if (json_object_has_member(object, name)) return name;
  const std::string wanted = FoldJsonMemberName(name);
  JsonObjectIter iter;
  json_object_iter_init_ordered(&iter, object);
  const char* stored = nullptr;
  JsonNode* value = nullptr;
  while (json_object_iter_next_ordered(&iter, &stored, &value)) {
    if (FoldJsonMemberName(stored) == wanted) return stored;
  }
  return nullptr;
}

JsonNode* JsonMember(JsonObject* object, const char* name) {
  const char* stored = JsonMemberName(object, name);
  return stored != nullptr ? json_object_get_member(object, stored) : nullptr;
}

JsonObject* JsonMemberObject(JsonObject* object, const char* name) {
  JsonNode* node = JsonMember(object, name);
  return node != nullptr && JSON_NODE_HOLDS_OBJECT(node) ? json_node_get_object(node) : nullptr;
}

JsonArray* JsonMemberArray(JsonObject* object, const char* name) {
  JsonNode* node = JsonMember(object, name);
  return node != nullptr && JSON_NODE_HOLDS_ARRAY(node) ? json_node_get_array(node) : nullptr;
}

const char* JsonMemberString(JsonObject* object, const char* name) {
  JsonNode* node = JsonMember(object, name);
  if (node == nullptr || !JSON_NODE_HOLDS_VALUE(node) ||
      json_node_get_value_type(node) != G_TYPE_STRING) {
    return nullptr;
  }
  return json_node_get_string(node);
}

JsonObject* JsonElementObject(JsonArray* array, guint index) {
  JsonNode* node = array != nullptr ? json_array_get_element(array, index) : nullptr;
  return node != nullptr && JSON_NODE_HOLDS_OBJECT(node) ? json_node_get_object(node) : nullptr;
}

void RemoveJsonMemberAliases(JsonObject* object, const char* name) {
  // Removing while iterating would invalidate the iterator: collect first.
  const std::string wanted = FoldJsonMemberName(name);
  std::vector<std::string> aliases;
  JsonObjectIter iter;
  json_object_iter_init_ordered(&iter, object);
  const char* stored = nullptr;
  JsonNode* value = nullptr;
  while (json_object_iter_next_ordered(&iter, &stored, &value)) {
    if (std::strcmp(stored, name) != 0 && FoldJsonMemberName(stored) == wanted) {
      aliases.emplace_back(stored);
    }
  }
  for (const std::string& alias : aliases) json_object_remove_member(object, alias.c_str());
}

void RemoveJsonMember(JsonObject* object, const char* name) {
  RemoveJsonMemberAliases(object, name);
  if (json_object_has_member(object, name)) json_object_remove_member(object, name);
}

bool LoadJsonCheckingMemberNames(JsonParser* parser, const std::string& text, bool* ambiguous) {
  NameWatch watch;
  const gulong handler =
      g_signal_connect(parser, "object-member", G_CALLBACK(OnObjectMember), &watch);
  const bool loaded = json_parser_load_from_data(
                          parser, text.data(), static_cast<gssize>(text.size()), nullptr) != FALSE;
  g_signal_handler_disconnect(parser, handler);
  *ambiguous = watch.ambiguous;
  return loaded;
}

}  // namespace tessary::linux_service
