// Rewrites of sing-box and Xray profiles into the configurations the service
// runs: fixed tunnel interface, fixed inbound and a full-tunnel route.
// Pure functions on text: no files, no processes, no state.
#pragma once

#include <string>

namespace tessary::linux_service {

// Rewrites a validated sing-box profile so that its single inbound is the
// service's TUN inbound ("tessary-tun" on "tessary-sbox0", routing table 2022),
// every route and DNS query goes to the proxy outbound that `protocol` selects,
// and nothing bypasses the tunnel. On success *normalized receives compact JSON
// and *error is untouched; on failure *error receives one sentence and
// *normalized is untouched.
bool NormalizeSingBoxConfig(const std::string& protocol, const std::string& config,
                            std::string* normalized, std::string* error);

// The same for a validated Xray profile: inbound "tessary-tun" on
// "tessary-xray0" with system-wide IPv4 and IPv6 routes, and one routing rule
// sending it to the first proxy outbound.
bool NormalizeXrayConfig(const std::string& config, std::string* normalized, std::string* error);

}  // namespace tessary::linux_service
