// The stages of the connection snapshot: what the service publishes under
// "stage" and what the control tool and the plug-in read there. Clients
// compare the names, so each is written in this one table.
#pragma once

#include <cstddef>

namespace tessary::linux_service {

enum class Stage { kDisconnected, kPreparing, kConnecting, kConnected, kDisconnecting, kError };

// Indexed by Stage.
inline constexpr const char* kStageNames[] = {
    "disconnected", "preparing", "connecting", "connected", "disconnecting", "error",
};
static_assert(sizeof(kStageNames) / sizeof(kStageNames[0]) ==
                  static_cast<std::size_t>(Stage::kError) + 1,
              "every stage needs its name");

constexpr const char* StageName(Stage stage) {
  return kStageNames[static_cast<std::size_t>(stage)];
}

}  // namespace tessary::linux_service
