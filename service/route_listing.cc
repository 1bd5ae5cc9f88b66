// Route verification for the engine runtime.
#include "service/route_listing.h"

#include <sys/socket.h>

#include <cctype>

#include "common/constants.h"
#include "service/engine_commands.h"
#include "service/engine_files.h"
#include "service/engine_runtime.h"
#include "service/route_check.h"

namespace tessary::linux_service {

// ---- route verification ----------------------------------------------------

// A line counts when its destination is exactly `route` and its device is
// exactly `device`: "0.0.0.0/10" is not the split half "0.0.0.0/1", and a
// route through "tessaryvpn2" is not one through "tessaryvpn".
bool OutputContainsRoute(const std::string& output, const std::string& route,
                         const std::string& device) {
  const std::string deviceText = " dev " + device;
  auto endsToken = [](const std::string& line, size_t at) {
    return at >= line.size() || std::isspace(static_cast<unsigned char>(line[at]));
  };
  bool found = false;
  ForEachLine(output, [&](const std::string& line) {
    if (line.compare(0, route.size(), route) != 0 || !endsToken(line, route.size())) return true;
    for (size_t at = line.find(deviceText); at != std::string::npos;
         at = line.find(deviceText, at + 1)) {
      if (endsToken(line, at + deviceText.size())) {
        found = true;
        return false;
      }
    }
    return true;
  });
  return found;
}

namespace {

bool ListingHasRoute(const std::vector<const char*>& argv, const char* route, const char* device) {
  std::string output;
  return CaptureCommand(argv, &output) && OutputContainsRoute(output, route, device);
}

// The cheap first step: the engine's default route appears in the listing.
bool ListingShowsFullRoute(EngineKind kind) {
  const std::vector<const char*> ipv4All = {kIpBinary, "-4", "route", "show", "table", "all"};
  const std::vector<const char*> ipv6All = {kIpBinary, "-6", "route", "show", "table", "all"};
  switch (kind) {
    case kUnsupported:
      return false;
    case kSingBox:
      return ListingHasRoute({kIpBinary, "-4", "route", "show", "table", "2022", "default"},
                             "default", kSingBoxInterface);
    case kXray:
      return ListingHasRoute(ipv4All, "default", kXrayInterface) &&
             ListingHasRoute(ipv6All, "default", kXrayInterface);
    case kWireGuard:
      return ListingHasRoute(ipv4All, "default", kWireGuardInterface) ||
             ListingHasRoute(ipv6All, "default", kWireGuardInterface);
    case kOpenVpn: {
      std::string output;
      if (!CaptureCommand(ipv4All, &output)) return false;
      return OutputContainsRoute(output, "default", kOpenVpnInterface) ||
             (OutputContainsRoute(output, "0.0.0.0/1", kOpenVpnInterface) &&
              OutputContainsRoute(output, "128.0.0.0/1", kOpenVpnInterface));
    }
  }
  return false;
}

}  // namespace

// A listing shows what is configured, not what wins: a more specific route
// or a policy rule may still send traffic around the tunnel. The kernel's
// own route lookups decide.
bool HasFullRoute(EngineKind kind) {
  if (!ListingShowsFullRoute(kind)) return false;
  TunnelRoutes routes;
  std::string scratch;
  return LookUpTunnelRoutes(TunnelInterfaceFor(kind), &routes, &scratch) && IsFullTunnel(routes);
}

// Like HasFullRoute, but a tunnel that carries one family while the other
// leaves by the uplink gets that other family blocked, when `mayBlock`; the
// engine's own packets keep `exemptMark`, and its `servers` stay reachable.
RouteVerdict SecureFullRoute(EngineKind kind, uint32_t exemptMark,
                             const std::vector<std::string>& servers, bool mayBlock) {
  if (!ListingShowsFullRoute(kind)) return RouteVerdict::kNotFull;
  TunnelRoutes routes;
  std::string scratch;
  if (!LookUpTunnelRoutes(TunnelInterfaceFor(kind), &routes, &scratch)) {
    return RouteVerdict::kNotFull;
  }
  if (IsFullTunnel(routes)) return RouteVerdict::kFull;
  const bool ipv4Only = CarriesFamily(routes.ipv4) && routes.ipv6.throughTunnel == 0;
  const bool ipv6Only = CarriesFamily(routes.ipv6) && routes.ipv4.throughTunnel == 0;
  if (!routes.interfacePresent || (!ipv4Only && !ipv6Only)) return RouteVerdict::kNotFull;
  if (!mayBlock) return RouteVerdict::kOneFamily;
  if (!BlockFamily(ipv4Only ? AF_INET6 : AF_INET, exemptMark, servers, &scratch)) {
    return RouteVerdict::kNotFull;
  }
  return HasFullRoute(kind) ? RouteVerdict::kFull : RouteVerdict::kNotFull;
}

// Why a tunnel that was up no longer protects its traffic, or "" while it
// does. A kernel that cannot be asked proves nothing either way.
std::string TunnelLoss(EngineKind kind) {
  TunnelRoutes routes;
  std::string scratch;
  if (!LookUpTunnelRoutes(TunnelInterfaceFor(kind), &routes, &scratch)) return "";
  if (!routes.interfacePresent) {
    return std::string("The ") + EngineName(kind) + " tunnel interface " +
           TunnelInterfaceFor(kind) + " disappeared; traffic no longer goes through the tunnel.";
  }
  if (!IsFullTunnel(routes)) {
    return std::string("Traffic no longer goes through the ") + EngineName(kind) +
           " tunnel; the connection was stopped.";
  }
  return "";
}

const char* InterfacePathFor(EngineKind kind) {
  switch (kind) {
    case kSingBox:
      return kSingBoxInterfacePath;
    case kXray:
      return kXrayInterfacePath;
    case kWireGuard:
      return kWireGuardInterfacePath;
    case kOpenVpn:
      return kOpenVpnInterfacePath;
    case kUnsupported:
      break;
  }
  return "";
}

const char* TunnelInterfaceFor(EngineKind kind) {
  switch (kind) {
    case kUnsupported:
      return "";
    case kSingBox:
      return kSingBoxInterface;
    case kXray:
      return kXrayInterface;
    case kWireGuard:
      return kWireGuardInterface;
    case kOpenVpn:
      return kOpenVpnInterface;
  }
  return "";
}

}  // namespace tessary::linux_service
