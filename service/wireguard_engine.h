// Internal to the engine runtime: the WireGuard engine, driven through
// wg-quick (or awg-quick), and what wg-quick leaves when its interface
// vanishes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tessary::linux_service {

// Whether the WireGuard tunnel that is up came from awg-quick, so that the
// same tool takes it down. Written and read on different worker threads.
extern std::atomic<bool> g_wireguard_uses_amnezia;

void RewriteWireGuardConfig(const std::string& config, std::string* rewritten,
                            std::vector<std::string>* dns);
bool RunWireGuardDnsCommand(const std::vector<std::string>& arguments, std::string* error);
bool RunWireGuardQuick(const char* action, bool amnezia, std::string* error);
// The mark wg-quick gave the tunnel's own packets to its server; 0 for none.
uint32_t WireGuardMark(bool amnezia);

enum class Handshake { kAnswered, kSilent, kCancelled };

Handshake WaitForWireGuardHandshake(bool amnezia, const std::function<bool()>& cancelled);
bool StopWireGuard(std::string* error);

}  // namespace tessary::linux_service
