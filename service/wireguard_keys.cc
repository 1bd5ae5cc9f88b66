// WireGuard key pairs made by wg, each run under /usr/bin/timeout; the
// private key is wiped from every buffer this process let it pass through.
#include "service/wireguard_keys.h"

#include <gio/gio.h>

#include <cstring>
#include <string_view>
#include <utility>

#include "common/constants.h"
#include "common/secure_clear.h"
#include "service/profile_text.h"

namespace tessary::linux_service {
namespace {

constexpr char kWireGuardToolsMissing[] =
    "wireguard-tools is unavailable. Repair the TessaryVPN installation.";

bool IsExecutableFile(const char* path) {
  return g_file_test(path, G_FILE_TEST_IS_REGULAR) && g_file_test(path, G_FILE_TEST_IS_EXECUTABLE);
}

// Empty output comes back as a null buffer.
void WipeAndFree(gpointer data, gsize size) {
  if (data != nullptr && size > 0) memset(data, 0, size);
  g_free(data);
}

// Runs one short-lived command under /usr/bin/timeout. `input` may be null.
// On success *output holds its standard output, which the caller owns and
// must release with g_bytes_unref.
bool RunKeyCommand(const char* subcommand, GBytes* input, GBytes** output, std::string* error) {
  const char* argv[] = {kTimeoutBinary, "--signal=TERM", "--kill-after=1s", "5s", kWireGuardTool,
                        subcommand,     nullptr};
  const auto flags = static_cast<GSubprocessFlags>(
      G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_SILENCE |
      (input != nullptr ? G_SUBPROCESS_FLAGS_STDIN_PIPE : G_SUBPROCESS_FLAGS_NONE));
  g_autoptr(GError) gerror = nullptr;
  g_autoptr(GSubprocess) process = g_subprocess_newv(argv, flags, &gerror);
  GBytes* collected = nullptr;
  if (process != nullptr &&
      g_subprocess_communicate(process, input, nullptr, &collected, nullptr, &gerror) &&
      g_subprocess_get_successful(process)) {
    *output = collected;
    return true;
  }
  if (collected != nullptr) {
    gsize size = 0;
    WipeAndFree(g_bytes_unref_to_data(collected, &size), size);
  }
  if (gerror != nullptr) *error = gerror->message;
  return false;
}

}  // namespace

bool GenerateWireGuardKeyPair(std::string* privateKey, std::string* publicKey, std::string* error) {
  if (!IsExecutableFile(kWireGuardTool) || !IsExecutableFile(kTimeoutBinary)) {
    *error = kWireGuardToolsMissing;
    return false;
  }
  GBytes* generated = nullptr;
  std::string stepError;
  if (!RunKeyCommand("genkey", nullptr, &generated, &stepError)) {
    *error = stepError.empty() ? "WireGuard key generation failed." : stepError;
    return false;
  }
  gsize size = 0;
  auto* raw = static_cast<char*>(g_bytes_unref_to_data(generated, &size));
  std::string secret = raw != nullptr ? Trim(std::string_view(raw, size)) : std::string();
  WipeAndFree(raw, size);

  std::string input = secret + "\n";
  g_autoptr(GBytes) derived = nullptr;
  bool ok = false;
  {
    // Borrows the text, so it is released before the text is wiped.
    g_autoptr(GBytes) stdinBytes = g_bytes_new_static(input.data(), input.size());
    ok = RunKeyCommand("pubkey", stdinBytes, &derived, &stepError);
  }
  SecureClear(&input);
  if (!ok) {
    SecureClear(&secret);
    *error = stepError.empty() ? "Public-key derivation failed." : stepError;
    return false;
  }
  const auto* data = static_cast<const char*>(g_bytes_get_data(derived, &size));
  std::string derivedKey = data != nullptr ? Trim(std::string_view(data, size)) : std::string();
  if (secret.empty() || derivedKey.empty()) {
    SecureClear(&secret);
    return false;
  }
  *privateKey = std::move(secret);
  *publicKey = std::move(derivedKey);
  return true;
}

}  // namespace tessary::linux_service
