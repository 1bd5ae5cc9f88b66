// What the JSON engines' rule units (singbox_rules.cc, xray_rules.cc, their
// entry points declared in profile_rules.h) share, and the one choice of the
// outbound that carries the tunnel, which the rewrites use as well.
#pragma once

#include <json-glib/json-glib.h>

#include <string>
#include <vector>

#include "service/config_validation.h"
#include "service/engine_kind.h"

namespace tessary::linux_service {

// What the JSON engines' rules refuse wherever it occurs in a document,
// gathered on the one walk over it.
struct JsonFindings {
  bool fileMember = false;        // a file or directory path on the host
  bool externalResource = false;  // external geodata or a local-file resource
  // Objects holding a member that can make a sing-box outbound act on the
  // system (a "type" of "tor", a "system_interface" or a "netns"), or one
  // spelled so that it may; borrowed from the document.
  std::vector<JsonObject*> systemMembers;
};

// Parses |config| once, through the one door into json-glib, and holds it to
// the limits every JSON profile is held to, and to names that |engine|, a
// JSON engine, reads as json-glib does. On success hands the caller one
// reference to the parser (*parser, released with g_object_unref), its root
// object (*root, borrowed from the parser) and what the door's walk found
// (*findings); on failure leaves all three as they were and releases
// everything it took. The nesting bound comes first, so a document nested
// deeper than the limit reads as too complex even when it is malformed too.
ProfileValidation ParseJsonObject(EngineKind engine, const std::string& config, JsonParser** parser,
                                  JsonObject** root, JsonFindings* findings);

// Member tests as the engines' decoders read members: a non-empty string, a
// string equal to |expected| in ASCII case, the boolean true.
bool JsonMemberHasNonEmptyString(JsonObject* object, const char* name);
bool JsonStringEquals(JsonObject* object, const char* name, const char* expected);
bool JsonBooleanIsTrue(JsonObject* object, const char* name);

// Calls |visit| with each member's name and value in member order until it
// returns true; true when it did. Iterates without copying the member list.
template <typename Visit>
bool AnyMember(JsonObject* object, Visit visit) {
  JsonObjectIter iter;
  json_object_iter_init_ordered(&iter, object);
  const char* name = nullptr;
  JsonNode* value = nullptr;
  while (json_object_iter_next_ordered(&iter, &name, &value)) {
    if (visit(name, value)) return true;
  }
  return false;
}

// The tag of the outbound that carries the tunnel: the first element of
// |root|'s "outbounds" that is an object with a non-empty string tag and a
// non-empty string kind ("type" for sing-box, "protocol" for Xray) other than
// the engine's direct, blocking and DNS kinds; for sing-box, under a protocol
// label other than "sing-box", also of the label's type. nullptr when there
// is none. Borrowed from |root|. |protocol| is read for sing-box only.
const char* TunnelOutboundTag(EngineKind engine, JsonObject* root, const std::string& protocol);

}  // namespace tessary::linux_service
