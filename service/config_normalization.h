// Rewrites of sing-box and Xray profiles into the configurations the service
// runs: fixed tunnel interface, fixed inbound and a full-tunnel route.
#pragma once

#include <string>

namespace tessary::linux_service {

bool NormalizeSingBoxConfig(const std::string& protocol, const std::string& config,
                            std::string* normalized, std::string* error);
bool NormalizeXrayConfig(const std::string& config, std::string* normalized, std::string* error);

}  // namespace tessary::linux_service
