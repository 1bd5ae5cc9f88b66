// Where the kernel sends ordinary traffic: route lookups over rtnetlink, as
// `ip route get` asks them, for a spread of destinations of both address
// families; and the policy rule that keeps a family the tunnel does not carry
// from leaving at all. No process is spawned, so the check is cheap enough to
// run every second.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tessary::linux_service {

// What the lookups of one address family found.
struct FamilyRoutes {
  int throughTunnel = 0;  // leave through the tunnel interface
  int refused = 0;        // answered unreachable, prohibited or black-holed
  int elsewhere = 0;      // leave through any other interface
};

struct TunnelRoutes {
  bool interfacePresent = false;
  FamilyRoutes ipv4;
  FamilyRoutes ipv6;
};

// Asks the kernel for every probe destination, without a mark, source or
// bound device, as an ordinary program's traffic is routed. False, with one
// sentence, only when the kernel could not be asked; a missing interface is
// not a failure (interfacePresent says so, and nothing is looked up).
bool LookUpTunnelRoutes(const char* interfaceName, TunnelRoutes* routes, std::string* error);

// Some of the family goes through the tunnel and none of it elsewhere.
bool CarriesFamily(const FamilyRoutes& routes);
// Nothing of either family leaves outside the tunnel, and the tunnel carries
// at least one of them.
bool IsFullTunnel(const TunnelRoutes& routes);

// Makes every lookup of `family` (AF_INET or AF_INET6) unreachable, ahead of
// the main table and of the engines' own rules, except for packets marked
// `exemptMark` (0: none), which are the engine's own, and packets to the
// `servers` of that family, which the main table routes as before (an engine
// that cannot mark its packets reaches its server so). Adding it twice is
// fine.
bool BlockFamily(int family, uint32_t exemptMark, const std::vector<std::string>& servers,
                 std::string* error);
// Removes every block of both families; true when none is left.
bool LiftFamilyBlocks(std::string* error);

// Policy rules are listed and removed over rtnetlink in the service itself:
// this runs before every start, and a program run per family and rule would
// cost more than the rest of the clean-up.
struct PolicyRule {
  unsigned char family = 0;
  uint32_t priority = 0;
  uint32_t table = 0;
};

// Every rule of `family`; false when the kernel could not be asked. A family
// the kernel lacks holds no rules.
bool ListPolicyRules(unsigned char family, std::vector<PolicyRule>* rules);
// Deletes one rule of `rule.family` with its priority and, unless zero, its
// table; a rule already gone counts as deleted.
bool DeletePolicyRule(const PolicyRule& rule);

}  // namespace tessary::linux_service
