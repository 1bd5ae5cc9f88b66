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

// Composes the whole nft input that replaces the table: refuses an interface
// name nft could not take quoted (checked first), then needs at least one
// entry of `addresses` that parses as an IPv4 or IPv6 address; others are
// skipped. *ruleset is written only on success.
bool BuildKillSwitchRuleset(const std::string& interfaceName,
                            const std::vector<std::string>& addresses, std::string* ruleset,
                            std::string* error);
// Loads that ruleset with nft in one transaction; a failure keeps the earlier
// table. nft runs under timeout, so this returns within about six seconds.
bool ApplyKillSwitch(const std::string& interfaceName, const std::vector<std::string>& addresses,
                     std::string* error);
// Succeeds without a table, and without nft installed.
bool RemoveKillSwitch(std::string* error);
// True when nft lists the table; any failure reads as "not installed".
bool KillSwitchInstalled();

// EngineRuntime::ApplyLeakProtection (declared with the runtime) is defined
// with this unit: the running engine's interface plus its profile's servers.

}  // namespace tessary::linux_service
