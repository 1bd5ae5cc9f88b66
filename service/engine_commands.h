// Internal to the engine runtime: its short-lived commands, run through the
// one tool runner and failing in the engine's words.
#pragma once

#include <string>
#include <vector>

#include "common/tool_run.h"

namespace tessary::linux_service {

using Environment = ToolEnvironment;

bool RunCommandWithEnvironment(const std::vector<const char*>& argv, const Environment& environment,
                               std::string* error);
bool RunCommand(const std::vector<const char*>& argv, std::string* error);
bool CaptureCommand(const std::vector<const char*>& argv, std::string* output);
// What awg-quick needs to find and run the bundled AmneziaWG tools.
Environment AmneziaEnvironment();

}  // namespace tessary::linux_service
