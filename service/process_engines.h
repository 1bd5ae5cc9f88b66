// Internal to the engine runtime: the long-running engines (sing-box, Xray,
// OpenVPN), what sets each apart, the configuration each runs from, the
// routing the service does or clears for them, and OpenVPN's route to its
// server.
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "service/engine_kind.h"

namespace tessary::linux_service {

inline constexpr char kOpenVpnServerRoutes[] = "/run/tessaryvpn/openvpn.routes";

struct GatewayRoute {
  int family = AF_INET;
  int prefixLength = 0;
  std::string destination;  // addresses in inet_ntop's form
  std::string gateway;
  std::string device;
};

std::vector<GatewayRoute> GatewayRoutes();
void RecordOpenVpnServerRoutes(const std::vector<GatewayRoute>& before);
bool RemoveConfigFor(EngineKind kind, std::string* error);
std::string RewriteOpenVpnConfig(const std::string& config);

// openvpn marks its own sockets with this, so that the kill switch admits
// the server for openvpn alone; wg-quick's marks start at 51820.
inline constexpr char kOpenVpnSocketMark[] = "29548";
inline constexpr uint32_t kOpenVpnSocketMarkValue = 29548;

// What sets the long-running engines apart. Argument vectors end with null
// and begin with the engine's program.
struct ProcessEngine {
  EngineKind kind;
  const char* configPath;
  const char* interfacePath;
  // Turns the validated profile into the text the engine runs from.
  bool (*buildConfig)(const std::string& protocol, const std::string& config, std::string* text,
                      std::string* error);
  const char* const* checkArgv;  // run on the written file first; null for none
  const char* checkFailure;
  const char* const* argv;
  std::chrono::milliseconds startupBound;
  // Run once the interface exists, until it succeeds; false while it cannot
  // yet. Null when the engine routes by itself.
  bool (*routeTunnel)(std::string* error);
  // Removes the rules and tables the engine, or its routing, may leave behind
  // when it is killed; null for none.
  bool (*clearRouting)(std::string* error);
  // A file the engine's side makes once it has added every route it will
  // add; null when the engine gives no such sign. Until it appears, a
  // family seen without the tunnel may still be about to get it.
  const char* routesAdded;
};

const ProcessEngine* ProcessEngineFor(EngineKind kind);
std::vector<const char*> ArgvWithoutNull(const char* const* argv);
// What either engine may have left, in one pass over the rules.
bool ClearEngineRouting(std::string* error);

}  // namespace tessary::linux_service
