#include "service/json_members.h"

#include <glib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace tessary::linux_service {
namespace {

constexpr gunichar kDottedCapitalI = 0x0130;
constexpr gunichar kDotlessSmallI = 0x0131;

// Members written in the text: outside strings and comments a colon only
// ever separates a member's name from its value. False when the text holds
// what json-glib and the engines read differently:
// - an escape JSON does not have: json-glib's scanner reads "\\333" as an
//   octal byte, which the engines' decoders refuse, and passes the byte on;
// - a comment other than a complete /* ... */, or a single quote: json-glib
//   takes a lone '/' to open a comment that ends at the next '/' and reads
//   single-quoted strings, while the engines' readers end "//" and "#"
//   comments at the line's end. After "// /*" json-glib skips up to the next
//   "*/" lines the engine would read, so the document checked and written out
//   would not be the one the engine makes of the same text.
bool CountWrittenMembers(const std::string& text, std::size_t* members) {
  // One lookup a byte outside strings: nearly every byte there is none of
  // these.
  enum : unsigned char { kPlain, kQuote, kColon, kSlash, kRefused };
  static constexpr auto kClass = [] {
    std::array<unsigned char, 256> table{};
    table['"'] = kQuote;
    table[':'] = kColon;
    table['/'] = kSlash;
    table['\''] = kRefused;
    table['#'] = kRefused;
    return table;
  }();
  *members = 0;
  const char* data = text.data();
  const std::size_t size = text.size();
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned char kind = kClass[static_cast<unsigned char>(data[i])];
    if (kind == kPlain) continue;
    switch (kind) {
      case kQuote:
        // Most of a profile is string text: skip to its end with memchr.
        for (++i; i < size; ++i) {
          const auto* quote = static_cast<const char*>(std::memchr(data + i, '"', size - i));
          const std::size_t stop = quote != nullptr ? static_cast<std::size_t>(quote - data) : size;
          const auto* escape = static_cast<const char*>(std::memchr(data + i, '\\', stop - i));
          if (escape == nullptr) {
            i = stop;
            break;
          }
          i = static_cast<std::size_t>(escape - data) + 1;
          if (i >= size || std::strchr("\"\\/bfnrtu", data[i]) == nullptr) return false;
        }
        break;
      case kColon:
        ++*members;
        break;
      case kSlash: {
        if (i + 1 >= size || data[i + 1] != '*') return false;
        const std::size_t end = text.find("*/", i + 2);
        if (end == std::string::npos) return false;
        i = end + 1;
        break;
      }
      case kRefused:
        return false;
      default:
        break;
    }
  }
  return true;
}

// Counts the members json-glib kept and tells whether some object keeps two
// whose names fold alike. |folded| is scratch space shared by the whole walk.
bool AnyObjectFoldsTwoNamesAlike(JsonNode* node, std::size_t* kept,
                                 std::vector<std::string>* folded) {
  if (JSON_NODE_HOLDS_ARRAY(node)) {
    JsonArray* array = json_node_get_array(node);
    const guint length = json_array_get_length(array);
    for (guint i = 0; i < length; ++i) {
      if (AnyObjectFoldsTwoNamesAlike(json_array_get_element(array, i), kept, folded)) return true;
    }
    return false;
  }
  if (!JSON_NODE_HOLDS_OBJECT(node)) return false;
  JsonObject* object = json_node_get_object(node);
  const guint size = json_object_get_size(object);
  *kept += size;
  if (size > 1) {
    folded->clear();
    JsonObjectIter iter;
    json_object_iter_init(&iter, object);
    const char* name = nullptr;
    JsonNode* value = nullptr;
    while (json_object_iter_next(&iter, &name, &value)) folded->push_back(FoldJsonMemberName(name));
    std::sort(folded->begin(), folded->end());
    if (std::adjacent_find(folded->begin(), folded->end()) != folded->end()) return true;
  }
  JsonObjectIter iter;
  json_object_iter_init(&iter, object);
  const char* name = nullptr;
  JsonNode* value = nullptr;
  while (json_object_iter_next(&iter, &name, &value)) {
    if (AnyObjectFoldsTwoNamesAlike(value, kept, folded)) return true;
  }
  return false;
}

// An ASCII character folds to an ASCII character, so a stored name whose
// first byte is ASCII can only fold like |wanted| when that byte folds to
// |wanted|'s first; this spares folding nearly every name a lookup passes.
bool MayFoldTo(const char* stored, const std::string& wanted) {
  const auto first = static_cast<unsigned char>(stored[0]);
  if (first >= 0x80 || wanted.empty()) return true;
  return g_ascii_toupper(static_cast<char>(first)) == wanted[0];
}

}  // namespace

std::string FoldJsonMemberName(const char* name) {
  // Nearly every name is ASCII: upper-case it in one go.
  std::size_t length = 0;
  while (name[length] != '\0' && static_cast<unsigned char>(name[length]) < 0x80) ++length;
  if (name[length] == '\0') {
    std::string folded(name, length);
    for (char& c : folded) c = g_ascii_toupper(c);
    return folded;
  }
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

const char* JsonMemberName(JsonObject* object, const char* name) {
  if (object == nullptr) return nullptr;
  if (json_object_has_member(object, name)) return name;
  const std::string wanted = FoldJsonMemberName(name);
  JsonObjectIter iter;
  json_object_iter_init_ordered(&iter, object);
  const char* stored = nullptr;
  JsonNode* value = nullptr;
  while (json_object_iter_next_ordered(&iter, &stored, &value)) {
    if (MayFoldTo(stored, wanted) && FoldJsonMemberName(stored) == wanted) return stored;
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
    if (std::strcmp(stored, name) != 0 && MayFoldTo(stored, wanted) &&
        FoldJsonMemberName(stored) == wanted) {
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
  *ambiguous = false;
  std::size_t written = 0;
  if (!CountWrittenMembers(text, &written)) return false;
  const bool loaded = json_parser_load_from_data(
                          parser, text.data(), static_cast<gssize>(text.size()), nullptr) != FALSE;
  JsonNode* root = loaded ? json_parser_get_root(parser) : nullptr;
  if (root == nullptr) return loaded;
  // json-glib keeps only the later of two members with the same name, so an
  // exact repeat shows as fewer members kept than written; names that merely
  // fold alike are both kept and are compared object by object. (Watching
  // json-glib's "object-member" signal would see repeats directly, but its
  // generic marshaller costs more than parsing does.)
  std::size_t kept = 0;
  std::vector<std::string> folded;
  *ambiguous = AnyObjectFoldsTwoNamesAlike(root, &kept, &folded) || kept != written;
  return loaded;
}

}  // namespace tessary::linux_service
