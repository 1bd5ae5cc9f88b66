// Leak protection: the VPN servers a profile talks to, and the nftables table
// that drops every other outgoing packet outside the tunnel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "service/engine_kind.h"

namespace tessary::linux_service {

// One server an engine configuration names and how the engine reaches it:
// the transport ("udp" or "tcp") and port the engine will use, as the engine
// reads the profile. Port 0 when the profile gives none the engine could use;
// such a server is never admitted.
struct Endpoint {
  std::string host;  // literal address or name, trimmed
  std::string transport;
  uint16_t port = 0;
};

// Every server of the configuration, in order of first appearance, each
// (host, transport, port) once. Never fails: unreadable text gives {}.
std::vector<Endpoint> CollectEndpoints(EngineKind kind, const std::string& config);
// The hosts of CollectEndpoints, in order of first appearance, each once.
std::vector<std::string> CollectEndpointHosts(EngineKind kind, const std::string& config);

// A server the kill switch lets the engine reach outside the tunnel: one
// literal address, for one transport and port only, and only for packets that
// carry the engine's socket mark when the engine sets one (0: none), so that
// no other local process can use the opening.
struct KillSwitchServer {
  std::string address;
  std::string transport;  // "udp" or "tcp"
  uint16_t port = 0;
  uint32_t mark = 0;
};

// What one kill-switch table lets out: everything through the tunnel
// interfaces, and the servers. While a reconnect replaces one tunnel by
// another, the table holds both.
struct KillSwitchRules {
  std::vector<std::string> interfaces;
  std::vector<KillSwitchServer> servers;
};

// Both tunnels' openings, each entry once, `first`'s ahead.
KillSwitchRules MergeKillSwitchRules(const KillSwitchRules& first, const KillSwitchRules& second);

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

// The endpoints above with their hosts as literal addresses, in endpoint
// order, each (address, transport, port) once, without a mark: literals as
// written, names in GIO's text form in the default resolver's order.
// Endpoints without a port are left out. A name that fails, or is unanswered
// at the deadline, is dropped; *servers may then be empty. Fails, leaving
// *servers untouched, when the profile exceeds a bound (before any lookup),
// when `cancelled` returns true (it is polled on the calling thread every
// tenth of a second), or when the deadline passes with no address at all.
bool CollectEndpointAddresses(EngineKind kind, const std::string& config,
                              const std::function<bool()>& cancelled,
                              std::vector<KillSwitchServer>* servers, std::string* error);

// Composes the whole nft input that replaces the table: refuses an interface
// name nft could not take quoted (checked first), then needs at least one
// server whose address parses as an IPv4 or IPv6 address and whose transport
// and port are usable; others are skipped. *ruleset is written only on
// success.
bool BuildKillSwitchRuleset(const KillSwitchRules& rules, std::string* ruleset, std::string* error);
// Loads that ruleset with nft in one transaction; a failure keeps the earlier
// table. nft runs under timeout, so this returns within about six seconds.
bool ApplyKillSwitch(const KillSwitchRules& rules, std::string* error);
// Succeeds without a table, and without nft installed.
bool RemoveKillSwitch(std::string* error);
// True when nft lists the table; any failure reads as "not installed".
bool KillSwitchInstalled();

}  // namespace tessary::linux_service
