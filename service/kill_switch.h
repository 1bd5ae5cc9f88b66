// Leak protection: the VPN servers a profile talks to, and the nftables table
// that drops every other outgoing packet outside the tunnel.
#pragma once

#include <string>
#include <vector>

#include "service/config_validation.h"

namespace tessary::linux_service {

// Server hosts named by an engine configuration, in order of first
// appearance, without duplicates. Never fails: unreadable text gives {}.
std::vector<std::string> CollectEndpointHosts(EngineKind kind, const std::string& config);

// The hosts above as literal addresses; names are resolved with GIO's default
// resolver and silently dropped when they do not resolve.
std::vector<std::string> CollectEndpointAddresses(EngineKind kind, const std::string& config);

// Composes the whole nft input that replaces the table.
bool BuildKillSwitchRuleset(const std::string& interfaceName,
                            const std::vector<std::string>& addresses, std::string* ruleset,
                            std::string* error);
bool ApplyKillSwitch(const std::string& interfaceName, const std::vector<std::string>& addresses,
                     std::string* error);
// Succeeds without a table, and without nft installed.
bool RemoveKillSwitch(std::string* error);
bool KillSwitchInstalled();

}  // namespace tessary::linux_service
