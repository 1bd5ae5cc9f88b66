// Rewrites of sing-box and Xray profiles into the configurations the service
// runs: fixed tunnel interface, fixed inbound and a full-tunnel route.
// Pure functions on text: no files, no processes, no state.
#pragma once

#include <string>

namespace tessary::linux_service {

// sing-box routes into this table with rules numbered from this priority up.
inline constexpr int kSingBoxRouteTable = 2022;
inline constexpr int kSingBoxRulePriority = 9000;
// Every socket sing-box dials carries this mark, so that the kill switch can
// admit its servers for sing-box alone.
inline constexpr int kSingBoxRoutingMark = 2022;

// Xray's own sockets carry this mark, so that the routing the service puts
// around Xray's TUN interface (table 2023) sends them past the tunnel.
inline constexpr int kXrayRoutingMark = 2023;
inline constexpr int kXrayRouteTable = 2023;
inline constexpr char kXrayInterfaceAddress4[] = "172.20.0.1/30";
inline constexpr char kXrayInterfaceAddress6[] = "fdfe:dcba:9877::1/126";

// Rewrites a validated sing-box profile so that its single inbound is the
// service's TUN inbound ("tessary-tun" on "tessary-sbox0", routing table 2022),
// every route and DNS query goes to the proxy outbound that `protocol` selects,
// every socket it dials is marked with kSingBoxRoutingMark, and nothing
// bypasses the tunnel. On success *normalized receives compact JSON
// and *error is untouched; on failure *error receives one sentence and
// *normalized is untouched.
bool NormalizeSingBoxConfig(const std::string& protocol, const std::string& config,
                            std::string* normalized, std::string* error);

// The same for a validated Xray profile: TUN inbound "tessary-tun" on
// "tessary-xray0", every outbound socket marked with kXrayRoutingMark, and one
// routing rule sending the inbound to the first proxy outbound.
bool NormalizeXrayConfig(const std::string& config, std::string* normalized, std::string* error);

}  // namespace tessary::linux_service
