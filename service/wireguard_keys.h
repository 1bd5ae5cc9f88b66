// WireGuard key pairs for GenerateWireGuardKeyPair, made by wg.
#pragma once

#include <string>

namespace tessary::linux_service {

// Runs wg genkey and wg pubkey under /usr/bin/timeout. On false *error holds
// the reason, which stays empty when the tools printed an empty key.
bool GenerateWireGuardKeyPair(std::string* privateKey, std::string* publicKey, std::string* error);

}  // namespace tessary::linux_service
