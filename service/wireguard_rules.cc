// The WireGuard engine's rules: what a wg-quick configuration may hold to be
// brought up as root as a full tunnel, read line by line as wg-quick and wg
// read it.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <string>
#include <vector>

#include "common/constants.h"
#include "service/config_validation.h"
#include "service/profile_lines.h"
#include "service/profile_rules.h"
#include "service/profile_text.h"

namespace tessary::linux_service {
namespace {

const std::vector<std::string>& AmneziaKeys() {
  static const std::vector<std::string> kAmneziaKeys = {
      "jc",
      "jmin",
      "jmax",
      "s1",
      "s2",
      "s3",
      "s4",
      "h1",
      "h2",
      "h3",
      "h4",
      "i1",
      "i2",
      "i3",
      "i4",
      "i5",
      "headerprotectionkey",
      "contentpaddingaddition",
      "rekeyaftertime",
      "rekeytimeout",
      "rejectaftertime",
      "keepalivetimeout",
      "maxhandshakeattempts",
      "randomtrailers",
      "disablecookies",
  };
  return kAmneziaKeys;
}

bool IsAmneziaInterfaceKey(const std::string& key) {
  if (key.empty()) return false;
  for (const std::string& candidate : AmneziaKeys()) {
    if (key == candidate) return true;
  }
  return false;
}

bool IsLiteralAddress(const std::string& text) {
  in_addr v4;
  in6_addr v6;
  return inet_pton(AF_INET, text.c_str(), &v4) == 1 || inet_pton(AF_INET6, text.c_str(), &v6) == 1;
}

constexpr char kWireGuardAmbiguous[] =
    "The WireGuard profile contains a line that WireGuard could read differently.";

struct WireGuardState {
  enum class Section { kNone, kInterface, kPeer };
  Section section = Section::kNone;
  bool interfaceSeen = false;
  bool peerStarted = false;
  bool peerPublicKey = false;
  bool peerEndpoint = false;
  bool peerAllowedIps = false;
  bool privateKey = false;
  bool address = false;
  bool dns = false;
  bool defaultRoute = false;
  // wg-quick puts the routes of any table but its own into that table, where
  // nothing consults them, and traffic leaves outside the tunnel.
  bool foreignTable = false;
  unsigned long dnsServers = 0;
};

ProfileValidation AddWireGuardDns(const std::string& value, WireGuardState* state) {
  for (const std::string& piece : SplitWireGuardList(value)) {
    if (piece.empty() || !IsLiteralAddress(piece)) {
      return Invalid("WireGuard DNS entries must be literal IPv4 or IPv6 addresses.");
    }
    if (++state->dnsServers > kMaxDnsServers) {
      return Invalid("WireGuard profiles may contain at most eight DNS servers.");
    }
  }
  return {true, ""};
}

ProfileValidation WireGuardDirective(const std::string& key, const std::string& value,
                                     WireGuardState* state) {
  if (value.empty()) return Invalid("WireGuard directive values may not be empty.");
  if (LabelIn(key, {"preup", "postup", "predown", "postdown", "saveconfig"})) {
    return Invalid("WireGuard hook and SaveConfig directives are not permitted.");
  }
  if (state->section == WireGuardState::Section::kInterface) {
    if (key == "privatekey") {
      state->privateKey = true;
    } else if (key == "address") {
      state->address = true;
    } else if (key == "dns") {
      ProfileValidation dns = AddWireGuardDns(value, state);
      if (!dns.valid) return dns;
      state->dns = true;
    } else if (key == "table") {
      if (Lowercase(value) == "off") {
        return Invalid("WireGuard Table=off is not allowed for a full VPN tunnel.");
      }
      // wg-quick compares the value exactly: "Auto" names a table.
      if (value != "auto") state->foreignTable = true;
    } else if (key != "mtu" && key != "listenport" && !IsAmneziaInterfaceKey(key)) {
      return Invalid("The WireGuard Interface contains an unsupported directive.");
    }
    return {true, ""};
  }
  if (key == "publickey") {
    state->peerPublicKey = true;
  } else if (key == "endpoint") {
    if (!ReadWireGuardEndpoint(value).readsAlike) return Invalid(kWireGuardAmbiguous);
    state->peerEndpoint = true;
  } else if (key == "allowedips") {
    state->peerAllowedIps = true;
    for (const std::string& piece : SplitWireGuardList(value)) {
      if (piece == "0.0.0.0/0" || piece == "::/0") state->defaultRoute = true;
    }
  } else if (key != "presharedkey" && key != "persistentkeepalive") {
    return Invalid("The WireGuard Peer contains an unsupported directive.");
  }
  return {true, ""};
}

}  // namespace

ProfileValidation ValidateWireGuard(const std::string& config) {
  WireGuardState state;
  const auto peerComplete = [&state]() -> ProfileValidation {
    if (state.peerStarted && !(state.peerPublicKey && state.peerEndpoint && state.peerAllowedIps)) {
      return Invalid("Every WireGuard peer requires PublicKey, Endpoint, and AllowedIPs.");
    }
    return {true, ""};
  };

  ProfileValidation failure{true, ""};
  ForEachWireGuardLine(config, [&](const WireGuardLine& line) {
    if (line.key.empty() && !line.hasEquals) return true;
    if (line.ambiguous) {
      failure = Invalid(kWireGuardAmbiguous);
      return false;
    }
    if (line.key == "[peer]") {
      failure = peerComplete();
      if (!failure.valid) return false;
      if (!state.interfaceSeen) {
        failure = Invalid("WireGuard peers must follow the Interface section.");
        return false;
      }
      state.section = WireGuardState::Section::kPeer;
      state.peerStarted = true;
      state.peerPublicKey = state.peerEndpoint = state.peerAllowedIps = false;
      return true;
    }
    if (line.key == "[interface]") {
      if (state.interfaceSeen || state.peerStarted) {
        failure = Invalid("WireGuard profiles require one Interface before all peers.");
        return false;
      }
      state.interfaceSeen = true;
      state.section = WireGuardState::Section::kInterface;
      return true;
    }
    if (line.sectionLine || !line.hasEquals || state.section == WireGuardState::Section::kNone) {
      failure = Invalid("The WireGuard configuration contains an invalid line.");
      return false;
    }
    failure = WireGuardDirective(line.key, line.value, &state);
    return failure.valid;
  });
  if (!failure.valid) return failure;

  ProfileValidation lastPeer = peerComplete();
  if (!lastPeer.valid) return lastPeer;
  if (state.foreignTable) {
    return Invalid("The WireGuard profile sets a routing table; only Table = auto is supported.");
  }
  if (!(state.interfaceSeen && state.peerStarted && state.privateKey && state.address &&
        state.dns && state.defaultRoute)) {
    return Invalid(
        "WireGuard profiles require Interface PrivateKey, Address, DNS, a complete Peer, and a "
        "default AllowedIPs route.");
  }
  return {true, ""};
}

bool WireGuardConfigRequiresAmnezia(const std::string& config) {
  bool found = false;
  ForEachWireGuardLine(config, [&found](const WireGuardLine& line) {
    if (line.section != WireGuardSection::kInterface || line.sectionLine || !line.hasEquals) {
      return true;
    }
    found = IsAmneziaInterfaceKey(line.key);
    return !found;
  });
  return found;
}

}  // namespace tessary::linux_service
