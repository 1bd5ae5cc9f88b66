#include "service/json_members.h"

#include <glib.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

namespace tessary::linux_service {
namespace {

constexpr gunichar kDottedCapitalI = 0x0130;
constexpr gunichar kDotlessSmallI = 0x0131;

// Byte classes of the scan outside strings and comments; nearly every byte
// there is kPlain. Classes from kFirstToken on begin a value or member name.
enum : unsigned char {
  kPlain,
  kColon,
  kClose,
  kSlash,
  kRefused,
  kFirstToken,
  kOpen = kFirstToken,
  kQuote,
  kSingleQuote,
  kNumber,
  kWord,
};

constexpr std::array<unsigned char, 256> kByteClass = [] {
  std::array<unsigned char, 256> table{};
  table[':'] = kColon;
  table[']'] = kClose;
  table['}'] = kClose;
  table['/'] = kSlash;
  table['#'] = kRefused;
  table['['] = kOpen;
  table['{'] = kOpen;
  table['"'] = kQuote;
  table['\''] = kSingleQuote;
  table['-'] = kNumber;
  table['.'] = kNumber;
  for (char c = '0'; c <= '9'; ++c) table[static_cast<unsigned char>(c)] = kNumber;
  // true, false, null
  table['t'] = kWord;
  table['f'] = kWord;
  table['n'] = kWord;
  return table;
}();

// json-glib reads a \u escape by taking up to four characters and stopping
// after the first one that is not a hex digit, which it swallows too (a
// closing quote included). Advances |*i| past what it took and sets |*unit|
// to the value it would decode; true when it took four hex digits.
bool ReadEscapedUnit(const char* data, std::size_t size, std::size_t* i, unsigned* unit) {
  *unit = 0;
  for (int digit = 0; digit < 4; ++digit) {
    if (*i >= size) return false;
    const char c = data[(*i)++];
    if (!g_ascii_isxdigit(c)) return false;
    *unit |= static_cast<unsigned>(g_ascii_xdigit_value(c)) << ((3 - digit) * 4);
  }
  return true;
}

// Skips the double-quoted string whose opening quote is at data[*i], ending
// where json-glib ends it; *i becomes the index of its closing quote (or the
// text's size when there is none).
void SkipString(const char* data, std::size_t size, std::size_t* i, JsonTextScan* scan) {
  std::size_t at = *i + 1;
  for (;;) {
    // Most of a profile is string text: skip to its end with memchr.
    const auto* quote = static_cast<const char*>(std::memchr(data + at, '"', size - at));
    const std::size_t stop = quote != nullptr ? static_cast<std::size_t>(quote - data) : size;
    const auto* escape = static_cast<const char*>(std::memchr(data + at, '\\', stop - at));
    if (escape == nullptr) {
      if (quote == nullptr) scan->readDifferently = true;
      *i = stop;
      return;
    }
    at = static_cast<std::size_t>(escape - data) + 1;
    if (at >= size) {
      scan->readDifferently = true;
      *i = size;
      return;
    }
    const char escaped = data[at++];
    if (escaped != 'u') {
      if (escaped == '\0' || std::strchr("\"\\/bfnrt", escaped) == nullptr) {
        scan->readDifferently = true;
      }
      continue;
    }
    if (at >= size || !g_ascii_isxdigit(data[at])) {
      scan->readDifferently = true;
      continue;
    }
    unsigned unit = 0;
    if (!ReadEscapedUnit(data, size, &at, &unit)) scan->readDifferently = true;
    if (unit < 0xD800 || unit > 0xDFFF) continue;
    // A surrogate makes json-glib take the next character, and the one after
    // it too when the first is a backslash, before it looks for the second
    // \u escape; only a high surrogate escaped with a low one is JSON.
    if (unit > 0xDBFF || at >= size || data[at++] != '\\' || at >= size || data[at++] != 'u') {
      scan->readDifferently = true;
      continue;
    }
    unsigned low = 0;
    if (!ReadEscapedUnit(data, size, &at, &low) || low < 0xDC00 || low > 0xDFFF) {
      scan->readDifferently = true;
    }
  }
}

bool IsNumberEnd(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == ']' || c == '}' ||
         c == '/';
}

// Reads the number that begins at data[start] and returns the index just past
// it (always beyond |start|). Sets *bad as JsonTextScan::badNumber says.
std::size_t ReadNumber(const char* data, std::size_t size, std::size_t start, bool* bad) {
  const auto digitAt = [data, size](std::size_t k) { return k < size && g_ascii_isdigit(data[k]); };
  std::size_t i = start;
  if (data[i] == '-') ++i;
  const std::size_t first = i;
  if (!digitAt(i)) {
    *bad = true;
    return start + 1;
  }
  if (data[i] == '0') {
    ++i;
  } else {
    while (digitAt(i)) ++i;
  }
  const std::size_t digits = i - first;
  bool integer = true;
  if (i < size && data[i] == '.') {
    integer = false;
    if (!digitAt(++i)) *bad = true;
    while (digitAt(i)) ++i;
  }
  if (i < size && (data[i] == 'e' || data[i] == 'E')) {
    integer = false;
    ++i;
    if (i < size && (data[i] == '+' || data[i] == '-')) ++i;
    if (!digitAt(i)) *bad = true;
    while (digitAt(i)) ++i;
  }
  if (i < size && !IsNumberEnd(data[i])) *bad = true;
  if (*bad) return i;
  if (integer) {
    // json-glib stores integers in 64 bits.
    static constexpr char kLargest[] = "9223372036854775807";
    static constexpr char kSmallest[] = "9223372036854775808";  // after the minus
    constexpr std::size_t kWidth = sizeof(kLargest) - 1;
    if (digits > kWidth ||
        (digits == kWidth &&
         std::memcmp(data + first, data[start] == '-' ? kSmallest : kLargest, kWidth) > 0)) {
      *bad = true;
    }
    return i;
  }
  // json-glib reads the rest as a double and writes it back with
  // g_ascii_dtostr, adding ".0" where that wrote no point.
  const std::string literal(data + start, i - start);
  const double value = g_ascii_strtod(literal.c_str(), nullptr);
  char written[G_ASCII_DTOSTR_BUF_SIZE];
  g_ascii_dtostr(written, sizeof written, value);
  if (!std::isfinite(value) ||
      (std::strpbrk(written, "eE") != nullptr && std::strchr(written, '.') == nullptr)) {
    *bad = true;
  }
  return i;
}

char AsciiUpper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// Whether two of |names| (an object's member names, each stored once) fold
// alike. ASCII names, nearly all of them, fold by ASCII case alone, keeping
// their length, and are compared without copies; |folded| is scratch space
// for the rest.
bool AnyNamesFoldAlike(std::vector<JsonName>* names, std::vector<std::string>* folded) {
  constexpr std::size_t kPairwise = 16;  // below this, comparing pairs beats sorting
  if (!std::all_of(names->begin(), names->end(), [](const JsonName& name) { return name.ascii; })) {
    folded->clear();
    for (const JsonName& name : *names) folded->push_back(FoldJsonMemberName(name.text));
    std::sort(folded->begin(), folded->end());
    return std::adjacent_find(folded->begin(), folded->end()) != folded->end();
  }
  const auto same = [](const JsonName& a, const JsonName& b) {
    return a.length == b.length && AsciiUpper(a.text[0]) == AsciiUpper(b.text[0]) &&
           g_ascii_strcasecmp(a.text, b.text) == 0;
  };
  if (names->size() <= kPairwise) {
    for (std::size_t i = 0; i < names->size(); ++i) {
      for (std::size_t k = i + 1; k < names->size(); ++k) {
        if (same((*names)[i], (*names)[k])) return true;
      }
    }
    return false;
  }
  std::sort(names->begin(), names->end(), [](const JsonName& a, const JsonName& b) {
    return a.length != b.length ? a.length < b.length : g_ascii_strcasecmp(a.text, b.text) < 0;
  });
  return std::adjacent_find(names->begin(), names->end(), same) != names->end();
}

// The door's one walk over a loaded document: counts nodes and the members
// json-glib kept, looks for an object keeping two names that fold alike, and
// shows the caller's |visit| every member and value on the way.
struct Walk {
  JsonVisit* visit = nullptr;
  std::size_t nodes = 0;
  std::size_t kept = 0;
  bool ambiguous = false;
  // Names of the objects being walked, one list a level, kept for reuse.
  std::vector<std::vector<JsonName>> names;
  // The members of the objects being walked, one list a level, kept for reuse.
  std::vector<std::vector<std::pair<const char*, JsonNode*>>> members;
  std::vector<std::string> folded;
};

void WalkNode(JsonNode* node, std::size_t level, Walk* walk) {
  ++walk->nodes;
  JsonVisit* visit = walk->visit;
  switch (JSON_NODE_TYPE(node)) {
    case JSON_NODE_ARRAY: {
      // The elements lie scattered in memory: asking for them all first
      // lets their loads overlap.
      JsonArray* array = json_node_get_array(node);
      const guint length = json_array_get_length(array);
      for (guint i = 0; i < length; ++i) __builtin_prefetch(json_array_get_element(array, i));
      for (guint i = 0; i < length; ++i)
        WalkNode(json_array_get_element(array, i), level + 1, walk);
      return;
    }
    case JSON_NODE_OBJECT: {
      JsonObject* object = json_node_get_object(node);
      const guint size = json_object_get_size(object);
      walk->kept += size;
      const bool compare = size > 1 && !walk->ambiguous;
      // Indexed anew each time: a deeper level may grow the outer list.
      if (walk->names.size() <= level) walk->names.resize(level + 1);
      walk->names[level].clear();
      if (walk->members.size() <= level) walk->members.resize(level + 1);
      walk->members[level].clear();
      // Nothing here depends on the members' order, and the hash table's own
      // order spares a lookup of every member on a large document. The names
      // and nodes lie scattered in memory: gathering them first, asking for
      // each, lets their loads overlap.
      JsonObjectIter iter;
      json_object_iter_init(&iter, object);
      const char* name = nullptr;
      JsonNode* value = nullptr;
      while (json_object_iter_next(&iter, &name, &value)) {
        __builtin_prefetch(name);
        __builtin_prefetch(value);
        walk->members[level].emplace_back(name, value);
      }
      for (std::size_t m = 0; m < walk->members[level].size(); ++m) {
        name = walk->members[level][m].first;
        value = walk->members[level][m].second;
        JsonName shown{name, 0, true};
        for (; name[shown.length] != '\0'; ++shown.length) {
          if (static_cast<unsigned char>(name[shown.length]) >= 0x80) shown.ascii = false;
        }
        if (compare) walk->names[level].push_back(shown);
        if (visit != nullptr && visit->member != nullptr) {
          visit->member(object, shown, value, visit->context);
        }
        WalkNode(value, level + 1, walk);
      }
      // This level's list still holds this object's names: deeper levels
      // use their own.
      if (compare && !walk->ambiguous) {
        walk->ambiguous = AnyNamesFoldAlike(&walk->names[level], &walk->folded);
      }
      return;
    }
    case JSON_NODE_VALUE:
      if (visit != nullptr && visit->value != nullptr) visit->value(node, visit->context);
      return;
    case JSON_NODE_NULL:
      return;
  }
}

// Whether |stored| folds to |wanted| (a folded name). An ASCII byte folds to
// one ASCII byte, so the ASCII bytes leading |stored|, nearly always all of
// it, are compared in place; only a name with other characters is folded.
bool FoldsTo(const char* stored, const std::string& wanted) {
  std::size_t k = 0;
  for (; stored[k] != '\0' && static_cast<unsigned char>(stored[k]) < 0x80; ++k) {
    if (k >= wanted.size() || AsciiUpper(stored[k]) != wanted[k]) return false;
  }
  if (stored[k] == '\0') return k == wanted.size();
  return FoldJsonMemberName(stored) == wanted;
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

namespace {

// The first stored name of |object| that folds like |name|.
const char* FoldedMemberName(JsonObject* object, const char* name) {
  const std::string wanted = FoldJsonMemberName(name);
  JsonObjectIter iter;
  json_object_iter_init_ordered(&iter, object);
  const char* stored = nullptr;
  JsonNode* value = nullptr;
  while (json_object_iter_next_ordered(&iter, &stored, &value)) {
    if (FoldsTo(stored, wanted)) return stored;
  }
  return nullptr;
}

}  // namespace

const char* JsonMemberName(JsonObject* object, const char* name) {
  if (object == nullptr) return nullptr;
  if (json_object_has_member(object, name)) return name;
  return FoldedMemberName(object, name);
}

JsonNode* JsonMember(JsonObject* object, const char* name) {
  if (object == nullptr) return nullptr;
  // One hash lookup for the exact name, which nearly every lookup finds.
  JsonNode* exact = json_object_get_member(object, name);
  if (exact != nullptr) return exact;
  const char* stored = FoldedMemberName(object, name);
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
    if (std::strcmp(stored, name) != 0 && FoldsTo(stored, wanted)) {
      aliases.emplace_back(stored);
    }
  }
  for (const std::string& alias : aliases) json_object_remove_member(object, alias.c_str());
}

void RemoveJsonMember(JsonObject* object, const char* name) {
  RemoveJsonMemberAliases(object, name);
  if (json_object_has_member(object, name)) json_object_remove_member(object, name);
}

JsonTextScan ScanJsonText(const std::string& text) {
  JsonTextScan scan;
  const char* data = text.data();
  const std::size_t size = text.size();
  if (std::memchr(data, '\0', size) != nullptr) scan.readDifferently = true;
  std::size_t depth = 0;  // open containers: a token here sits at level |depth|
  for (std::size_t i = 0; i < size; ++i) {
    const unsigned char kind = kByteClass[static_cast<unsigned char>(data[i])];
    if (kind == kPlain) continue;
    if (kind >= kFirstToken && depth > kMaxJsonLevel) {
      if (kind == kOpen) {
        scan.tooDeep = true;
        return scan;
      }
      scan.nodeTooDeep = true;
    }
    switch (kind) {
      case kColon:
        ++scan.members;
        break;
      case kClose:
        if (depth == 0) {
          scan.readDifferently = true;
        } else {
          --depth;
        }
        break;
      case kSlash: {
        // json-glib ends a comment at the next '/', wherever that is.
        const auto* end = static_cast<const char*>(std::memchr(data + i + 1, '/', size - i - 1));
        if (end == nullptr) {
          scan.readDifferently = true;
          return scan;
        }
        const std::size_t close = static_cast<std::size_t>(end - data);
        if (close - i < 3 || data[i + 1] != '*' || data[close - 1] != '*') {
          scan.readDifferently = true;
        }
        i = close;
        break;
      }
      case kRefused:
        scan.readDifferently = true;
        break;
      case kOpen:
        if (++depth > scan.deepest) scan.deepest = depth;
        break;
      case kQuote:
        SkipString(data, size, &i, &scan);
        break;
      case kSingleQuote: {
        scan.readDifferently = true;
        const auto* end = static_cast<const char*>(std::memchr(data + i + 1, '\'', size - i - 1));
        if (end == nullptr) return scan;
        i = static_cast<std::size_t>(end - data);
        break;
      }
      case kNumber:
        i = ReadNumber(data, size, i, &scan.badNumber) - 1;
        break;
      default:  // a word: only its level matters here
        break;
    }
  }
  return scan;
}

JsonLoad LoadJson(JsonParser* parser, const std::string& text, JsonVisit* visit) {
  const JsonTextScan scan = ScanJsonText(text);
  if (scan.tooDeep) return JsonLoad::kTooDeep;
  if (scan.readDifferently) return JsonLoad::kReadDifferently;
  if (scan.badNumber) return JsonLoad::kBadNumber;
  if (scan.nodeTooDeep) return JsonLoad::kTooDeep;
  if (text.size() > static_cast<std::size_t>(G_MAXSSIZE) ||
      !json_parser_load_from_data(parser, text.data(), static_cast<gssize>(text.size()), nullptr)) {
    return JsonLoad::kMalformed;
  }
  JsonNode* root = json_parser_get_root(parser);
  if (root == nullptr) return JsonLoad::kLoaded;
  Walk walk;
  walk.visit = visit;
  walk.names.resize(kMaxJsonLevel + 1);
  walk.members.resize(kMaxJsonLevel + 1);
  WalkNode(root, 0, &walk);
  if (visit != nullptr) visit->nodes = walk.nodes;
  // json-glib keeps only the later of two members with the same name, so an
  // exact repeat shows as fewer members kept than written; names that merely
  // fold alike are both kept and are compared object by object. (Watching
  // json-glib's "object-member" signal would see repeats directly, but its
  // generic marshaller costs more than parsing does.)
  return walk.ambiguous || walk.kept != scan.members ? JsonLoad::kAmbiguous : JsonLoad::kLoaded;
}

}  // namespace tessary::linux_service
