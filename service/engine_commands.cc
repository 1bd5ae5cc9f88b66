// The engine runtime's short-lived commands.
#include "service/engine_commands.h"

#include <glib.h>

#include <utility>

#include "common/constants.h"

namespace tessary::linux_service {

// ---- command runners -------------------------------------------------------

// One step of an engine: a failure is told in the engine's words.
bool RunCommandWithEnvironment(const std::vector<const char*>& argv, const Environment& environment,
                               std::string* error) {
  ToolCommand command;
  command.argv = argv;
  command.limit = ToolLimit::kEngineStep;
  command.environment = &environment;
  ToolResult result;
  if (RunTool(command, &result)) return true;
  if (result.timedOut) {
    *error = "The VPN engine operation timed out.";
  } else {
    *error = !result.error.empty() ? result.error : "The VPN engine command failed.";
  }
  return false;
}

bool RunCommand(const std::vector<const char*>& argv, std::string* error) {
  return RunCommandWithEnvironment(argv, Environment(), error);
}

// A listing whose text is read: only a successful run's valid UTF-8 counts.
bool CaptureCommand(const std::vector<const char*>& argv, std::string* output) {
  ToolCommand command;
  command.argv = argv;
  command.limit = ToolLimit::kListing;
  command.captureOutput = true;
  ToolResult result;
  if (!RunTool(command, &result)) return false;
  if (!g_utf8_validate(result.output.data(), static_cast<gssize>(result.output.size()), nullptr)) {
    return false;
  }
  *output = std::move(result.output);
  return true;
}

Environment AmneziaEnvironment() {
  return {
      {"PATH", std::string(kAmneziaWgRuntimeDirectory) + ":/usr/sbin:/usr/bin"},
      {"WG_QUICK_USERSPACE_IMPLEMENTATION", kAmneziaWgEngine},
  };
}

}  // namespace tessary::linux_service
