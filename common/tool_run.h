// Running an outside tool (ip, nft, wg, wg-quick, resolvectl, the DNS helper)
// to its end within a named time limit. Every short-lived command of the
// service, the DNS helper and the control tool goes through RunTool, so each
// limit is chosen once and no caller builds its own timeout prefix.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace tessary::linux_service {

// Which limit applies; the seconds and the reason for each are in one table
// in tool_run.cc.
enum class ToolLimit {
  kEngineStep,     // wg-quick, the DNS helper as a step, route and rule removal
  kListing,        // read-only listings: routes, rules, tables, wg show
  kFirewall,       // nft loading or removing the leak-protection ruleset
  kKeyGeneration,  // wg genkey and wg pubkey
  kResolver,       // resolvectl, run by the DNS helper
};

using ToolEnvironment = std::vector<std::pair<std::string, std::string>>;

struct ToolCommand {
  std::vector<const char*> argv;  // the tool by absolute path and its arguments, no final null
  ToolLimit limit = ToolLimit::kEngineStep;
  // Set on top of this program's own environment, which the tool inherits.
  const ToolEnvironment* environment = nullptr;
  // Written to the tool's standard input, which is then closed. Without it
  // standard input is /dev/null, or this program's own with inheritInput.
  const std::string* input = nullptr;
  bool inheritInput = false;
  // Standard output goes to ToolResult::output; otherwise it is dropped.
  // Standard error is always dropped.
  bool captureOutput = false;
};

struct ToolResult {
  // The tool was started; spawning it did not fail.
  bool started = false;
  // The tool was started and ran to its end, its input and output moved.
  bool finished = false;
  // timeout ended the tool at the limit (its exit status 124).
  bool timedOut = false;
  // What went wrong, in GLib's words or as one sentence: the tool could not
  // be started, its input or output failed, or it exited unsuccessfully.
  std::string error;
  // Standard output when captured and the tool succeeded, otherwise empty.
  // GLib's own copy is wiped, so a secret printed by the tool lives only
  // here; the caller clears it when secret.
  std::string output;
};

// Runs the command under /usr/bin/timeout with the limit's signals. Succeeds
// exactly when the tool exits normally with status 0. `result` may be null.
bool RunTool(const ToolCommand& command, ToolResult* result);

}  // namespace tessary::linux_service
