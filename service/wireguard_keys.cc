// WireGuard key pairs made by wg, each run under /usr/bin/timeout; the
// private key is wiped from every buffer this process let it pass through.
#include "service/wireguard_keys.h"

#include <gio/gio.h>

#include <utility>

#include "common/constants.h"
#include "common/secure_clear.h"
#include "common/tool_run.h"
#include "service/profile_text.h"

namespace tessary::linux_service {
namespace {

constexpr char kWireGuardToolsMissing[] =
    "wireguard-tools is unavailable. Repair the TessaryVPN installation.";

bool IsExecutableFile(const char* path) {
  return g_file_test(path, G_FILE_TEST_IS_REGULAR) && g_file_test(path, G_FILE_TEST_IS_EXECUTABLE);
}

// Runs wg with one subcommand, `input` (may be null) as its standard input.
// On success *output holds what it printed, which the caller wipes.
bool RunKeyCommand(const char* subcommand, const std::string* input, std::string* output,
                   std::string* error) {
  ToolCommand command;
  command.argv = {kWireGuardTool, subcommand};
  command.limit = ToolLimit::kKeyGeneration;
  command.input = input;
  command.captureOutput = true;
  ToolResult result;
  if (RunTool(command, &result)) {
    *output = std::move(result.output);
    return true;
  }
  // A run that ended unsuccessfully is told by the caller in its own words.
  if (!result.finished) *error = result.error;
  return false;
}

}  // namespace

bool GenerateWireGuardKeyPair(std::string* privateKey, std::string* publicKey, std::string* error) {
  if (!IsExecutableFile(kWireGuardTool) || !IsExecutableFile(kTimeoutBinary)) {
    *error = kWireGuardToolsMissing;
    return false;
  }
  std::string generated;
  std::string stepError;
  if (!RunKeyCommand("genkey", nullptr, &generated, &stepError)) {
    *error = stepError.empty() ? "WireGuard key generation failed." : stepError;
    return false;
  }
  std::string secret = Trim(generated);
  SecureClear(&generated);

  std::string input = secret + "\n";
  std::string derived;
  const bool ok = RunKeyCommand("pubkey", &input, &derived, &stepError);
  SecureClear(&input);
  if (!ok) {
    SecureClear(&secret);
    *error = stepError.empty() ? "Public-key derivation failed." : stepError;
    return false;
  }
  std::string derivedKey = Trim(derived);
  if (secret.empty() || derivedKey.empty()) {
    SecureClear(&secret);
    return false;
  }
  *privateKey = std::move(secret);
  *publicKey = std::move(derivedKey);
  return true;
}

}  // namespace tessary::linux_service
