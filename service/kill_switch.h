// Leak protection: the VPN servers a profile talks to, and the nftables table
// that drops every other outgoing packet outside the tunnel.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "service/config_validation.h"

namespace tessary::linux_service {

// Server hosts named by an engine configuration, in order of first
// appearance, without duplicates. Never fails: unreadable text gives {}.
std::vector<std::string> CollectEndpointHosts(EngineKind kind, const std::string& config);

// Bounds on the servers of one profile. The connect worker resolves them with
// the engine mutex held, so neither a huge profile nor a resolver that never
// answers may keep a Disconnect waiting: at most kMaxEndpointHosts distinct
// hosts, of which at most kMaxEndpointNames are names, all looked up in
// parallel within kEndpointLookupSeconds in total.
constexpr std::size_t kMaxEndpointHosts = 1024;
constexpr std::size_t kMaxEndpointNames = 128;
constexpr int kEndpointLookupSeconds = 10;

// Why a connect overtaken by a newer operation stopped.
inline constexpr char kCancelledMessage[] = "The VPN connection request was cancelled.";

// The hosts above as literal addresses, in host order, each once: literals as
// written, names in GIO's text form in the default resolver's order. A name
// that fails, or is unanswered at the deadline, is dropped; *addresses may
// then be empty. Fails, leaving *addresses untouched, when the profile exceeds
// a bound (before any lookup), when `cancelled` returns true (it is polled on
// the calling thread every tenth of a second), or when the deadline passes
// with no address at all.
bool CollectEndpointAddresses(EngineKind kind, const std::string& config,
                              const std::function<bool()>& cancelled,
                              std::vector<std::string>* addresses, std::string* error);

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

}  // namespace tessary::linux_service
