// Member access for the JSON engines' profiles, read the way sing-box's and
// Xray's Go decoders read them: a member name is matched exactly first and
// otherwise by its case-folded form, and the later of two members that match
// wins. Validation, the configuration rewrites and endpoint collection all
// look members up here, so that none of them can look at a member the engine
// would not use, or miss one it would.
#pragma once

#include <json-glib/json-glib.h>

#include <cstddef>
#include <string>

namespace tessary::linux_service {

// The form under which the decoders compare two names: ASCII letters upper-
// cased, every other character lower- then upper-cased, so that the Kelvin
// sign reads as "K" and the long s as "S"; the Turkish dotted and dotless i
// stay as they are, as they do for the decoders. |name| is UTF-8 (json-glib
// refuses anything else).
std::string FoldJsonMemberName(const char* name);

// The stored name of the member of |object| that the decoders would take for
// |name|: the exact one if present, else the first that folds alike; nullptr
// when there is none or |object| is null. Borrowed from |object|.
const char* JsonMemberName(JsonObject* object, const char* name);

// That member's value, or nullptr.
JsonNode* JsonMember(JsonObject* object, const char* name);

// The member as an object, an array or a string; nullptr when it is absent or
// of another type.
JsonObject* JsonMemberObject(JsonObject* object, const char* name);
JsonArray* JsonMemberArray(JsonObject* object, const char* name);
const char* JsonMemberString(JsonObject* object, const char* name);

// The element as an object, or nullptr.
JsonObject* JsonElementObject(JsonArray* array, guint index);

// Removes the members of |object| whose names fold like |name| but are
// spelled differently, so that setting |name| afterwards leaves exactly one
// member the decoders would read for it.
void RemoveJsonMemberAliases(JsonObject* object, const char* name);

// Removes every member of |object| the decoders would read for |name|.
void RemoveJsonMember(JsonObject* object, const char* name);

// The deepest level a value or member name may sit at; the root is level 0.
// json-glib's parser recurses once per level and exhausts the stack on deeply
// nested text, so the bound is kept before the text reaches it.
inline constexpr std::size_t kMaxJsonLevel = 64;

// What one pass over JSON text finds before json-glib reads it. The pass
// tokenizes as json-glib's lenient lexer does, so that no bracket json-glib
// takes for structure is hidden from the count: double-quoted strings with
// its escape handling (a short \u escape or a broken surrogate pair swallows
// the characters after it), single-quoted strings without escapes, and
// comments from one '/' to the next.
struct JsonTextScan {
  // Deepest bracket nesting, as json-glib would build it; exact unless
  // |tooDeep|, when the pass stopped there.
  std::size_t deepest = 0;
  // A bracket opens below kMaxJsonLevel: json-glib must not see the text.
  // Brackets after the root value count too: json-glib goes on parsing there.
  bool tooDeep = false;
  // Some other value or member name sits below kMaxJsonLevel: harmless to
  // json-glib, but past the limit all the same.
  bool nodeTooDeep = false;
  // The text holds what json-glib and the engines read differently:
  // - an escape JSON does not have, a short \u escape or a lone surrogate:
  //   json-glib reads "\333" as an octal byte and lets a short escape
  //   swallow a quote, where the engines' decoders refuse the string;
  // - a comment other than a complete /* ... */, a single quote or a "#":
  //   json-glib takes a lone '/' to open a comment that ends at the next '/'
  //   and reads single-quoted strings, while the engines' readers end "//"
  //   and "#" comments at the line's end. After "// /*" json-glib skips up to
  //   the next "*/" lines the engine would read;
  // - a NUL byte, an unterminated string or comment, or a bracket closing
  //   more than was opened.
  bool readDifferently = false;
  // A number that is not a plain JSON number (json-glib takes "0x10", "01",
  // ".5" and "- 1"), an integer outside what json-glib stores and the
  // engines' 64-bit integers hold (json-glib turns larger ones into other
  // numbers, 123456789012345678901234567890 into -1), or a fraction or
  // exponent at or above 1e17 in size or not finite (json-glib writes those
  // back as "4e+20.0" or "inf.0", which no JSON reader takes).
  bool badNumber = false;
  // Member names written: outside strings and comments a colon only ever
  // separates a member's name from its value.
  std::size_t members = 0;
};

JsonTextScan ScanJsonText(const std::string& text);

enum class JsonLoad {
  kLoaded,
  kTooDeep,          // refused before parsing: JsonTextScan::tooDeep or nodeTooDeep
  kReadDifferently,  // refused before parsing: JsonTextScan::readDifferently
  kBadNumber,        // refused before parsing: JsonTextScan::badNumber
  kMalformed,        // json-glib refused the text
  // Loaded, but some object held two members whose names fold alike, an
  // exact repeat included (json-glib keeps only the later one, while a Go
  // decoder merges both into the same field).
  kAmbiguous,
};

// A member's name as the walk shows it: its bytes, how many, and whether all
// of them are ASCII (and so fold by ASCII case alone, keeping the length).
struct JsonName {
  const char* text;
  std::size_t length;
  bool ascii;
};

// What a caller sees of the door's walk over a loaded document, so that it
// need not walk the tree again: each hook that is set is called for every
// member (its object, name and value; an object's members in no set order)
// and every value that is neither a container nor null, parents before
// children.
struct JsonVisit {
  void (*member)(JsonObject* object, const JsonName& name, JsonNode* value,
                 void* context) = nullptr;
  void (*value)(JsonNode* value, void* context) = nullptr;
  void* context = nullptr;
  std::size_t nodes = 0;  // set by the walk: nodes in the document, the root included
};

// The one way JSON text reaches json-glib: scans |text| once, refusing it for
// brackets nested too deep, then for what is read differently, a bad number
// and a node too deep, in that order, and loads it into |parser| only when
// the scan found nothing; then walks the document once, showing it to
// |visit| when given. After kLoaded and kAmbiguous the parser holds the
// document (its root may be absent for empty text, or another node than an
// object); the walk, and so |visit|, runs only when there is a root.
JsonLoad LoadJson(JsonParser* parser, const std::string& text, JsonVisit* visit = nullptr);

}  // namespace tessary::linux_service
