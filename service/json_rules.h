// The one choice of the outbound that carries the tunnel, which the JSON
// engines' rules (json_rules.cc, declared in profile_rules.h) and the
// rewrites share.
#pragma once

#include <json-glib/json-glib.h>

#include <string>

#include "service/engine_kind.h"

namespace tessary::linux_service {

// The tag of the outbound that carries the tunnel: the first element of
// |root|'s "outbounds" that is an object with a non-empty string tag and a
// non-empty string kind ("type" for sing-box, "protocol" for Xray) other than
// the engine's direct, blocking and DNS kinds; for sing-box, under a protocol
// label other than "sing-box", also of the label's type. nullptr when there
// is none. Borrowed from |root|. |protocol| is read for sing-box only.
const char* TunnelOutboundTag(EngineKind engine, JsonObject* root, const std::string& protocol);

}  // namespace tessary::linux_service
