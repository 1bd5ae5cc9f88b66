// Internal to the engine runtime: whether an engine's routes send all
// traffic through its tunnel, from the route listings and the kernel's own
// route lookups.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "service/engine_kind.h"

namespace tessary::linux_service {

bool OutputContainsRoute(const std::string& output, const std::string& route,
                         const std::string& device);
bool HasFullRoute(EngineKind kind);

// What the start of an engine found of its routes.
enum class RouteVerdict { kFull, kOneFamily, kNotFull };

RouteVerdict SecureFullRoute(EngineKind kind, uint32_t exemptMark,
                             const std::vector<std::string>& servers, bool mayBlock);
std::string TunnelLoss(EngineKind kind);
// Where sysfs shows the engine's interface; "" for none.
const char* InterfacePathFor(EngineKind kind);

}  // namespace tessary::linux_service
