// Member access for the JSON engines' profiles, read the way sing-box's and
// Xray's Go decoders read them: a member name is matched exactly first and
// otherwise by its case-folded form, and the later of two members that match
// wins. Validation, the configuration rewrites and endpoint collection all
// look members up here, so that none of them can look at a member the engine
// would not use, or miss one it would.
#pragma once

#include <json-glib/json-glib.h>

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

// Loads |text| into |parser| as json_parser_load_from_data does and returns
// its result, refusing also escapes JSON does not have (which json-glib would
// read as octal bytes); *ambiguous becomes true when some object held two members whose
// names fold alike, an exact repeat included (json-glib keeps only the later
// one, while a Go decoder merges both into the same field).
bool LoadJsonCheckingMemberNames(JsonParser* parser, const std::string& text, bool* ambiguous);

}  // namespace tessary::linux_service
