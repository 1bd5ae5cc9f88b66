#include "common/tool_run.h"

#include <gio/gio.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <string>

#include "common/constants.h"
#include "common/secure_clear.h"

namespace tessary::linux_service {
namespace {

struct LimitEntry {
  ToolLimit limit;
  const char* terminateAfter;  // timeout's DURATION: SIGTERM then
  const char* killAfter;       // and SIGKILL this long after SIGTERM
};

constexpr LimitEntry kLimits[] = {
    // wg-quick brings up addresses, routes, rules and DNS in one run, and the
    // DNS helper run as a step has its own ten seconds plus one for
    // resolvectl: the step's limit lies beyond the helper's, so the helper
    // ends first and reports why.
    {ToolLimit::kEngineStep, "12s", "3s"},
    // Listings come straight from the kernel or the engine's device; they are
    // read while connecting and on every poll, which must not stall on them.
    {ToolLimit::kListing, "3s", "1s"},
    // nft loads a ruleset of a few dozen lines at once; a connect or
    // disconnect waits for it while the tunnel's traffic is held back.
    {ToolLimit::kFirewall, "5s", "1s"},
    // wg only reads the random source and computes one key; the D-Bus
    // caller is waiting for the pair.
    {ToolLimit::kKeyGeneration, "5s", "1s"},
    // A hung systemd-resolved must not hold up the service or OpenVPN, which
    // runs the DNS helper as its up and down script and waits for it.
    {ToolLimit::kResolver, "10s", "1s"},
};

const LimitEntry& LimitFor(ToolLimit limit) {
  for (const LimitEntry& entry : kLimits) {
    if (entry.limit == limit) return entry;
  }
  return kLimits[0];
}

// A tool may exit before it has read its input; the write must then fail
// with EPIPE instead of killing this program with SIGPIPE. The signal is
// blocked for this thread only and a SIGPIPE raised meanwhile is consumed
// before unblocking.
struct ScopedSigpipeBlock {
  sigset_t pipeOnly{};
  sigset_t previous{};
  bool wasPending = false;

  ScopedSigpipeBlock() {
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    wasPending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);
  }
  ~ScopedSigpipeBlock() {
    if (!wasPending) {
      const struct timespec zero = {0, 0};
      while (sigtimedwait(&pipeOnly, nullptr, &zero) == SIGPIPE) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  }
  ScopedSigpipeBlock(const ScopedSigpipeBlock&) = delete;
  ScopedSigpipeBlock& operator=(const ScopedSigpipeBlock&) = delete;
};

// Moves the captured bytes into `output` and wipes GLib's copy.
void TakeOutput(GBytes* collected, std::string* output) {
  if (collected == nullptr) return;
  gsize size = 0;
  auto* data = static_cast<char*>(g_bytes_unref_to_data(collected, &size));
  if (data != nullptr) output->assign(data, size);
  SecureClear(data, size);
  g_free(data);
}

}  // namespace

bool RunTool(const ToolCommand& command, ToolResult* result) {
  ToolResult scratch;
  ToolResult& outcome = result != nullptr ? *result : scratch;
  outcome = ToolResult();
  if (!g_file_test(kTimeoutBinary, G_FILE_TEST_IS_EXECUTABLE)) {
    outcome.error = "The required coreutils timeout command is unavailable.";
    return false;
  }
  const LimitEntry& limit = LimitFor(command.limit);
  const std::string killAfter = std::string("--kill-after=") + limit.killAfter;
  std::vector<const char*> argv = {kTimeoutBinary, "--signal=TERM", killAfter.c_str(),
                                   limit.terminateAfter};
  argv.insert(argv.end(), command.argv.begin(), command.argv.end());
  argv.push_back(nullptr);

  int flags = G_SUBPROCESS_FLAGS_STDERR_SILENCE;
  flags |=
      command.captureOutput ? G_SUBPROCESS_FLAGS_STDOUT_PIPE : G_SUBPROCESS_FLAGS_STDOUT_SILENCE;
  if (command.input != nullptr) {
    flags |= G_SUBPROCESS_FLAGS_STDIN_PIPE;
  } else if (command.inheritInput) {
    flags |= G_SUBPROCESS_FLAGS_STDIN_INHERIT;
  }
  g_autoptr(GSubprocessLauncher) launcher =
      g_subprocess_launcher_new(static_cast<GSubprocessFlags>(flags));
  if (command.environment != nullptr) {
    for (const auto& [name, value] : *command.environment) {
      g_subprocess_launcher_setenv(launcher, name.c_str(), value.c_str(), TRUE);
    }
  }
  g_autoptr(GError) error = nullptr;
  g_autoptr(GSubprocess) process = g_subprocess_launcher_spawnv(launcher, argv.data(), &error);
  if (process == nullptr) {
    outcome.error = error != nullptr && error->message != nullptr ? error->message : "";
    return false;
  }
  outcome.started = true;

  bool moved = true;
  if (command.input != nullptr || command.captureOutput) {
    GBytes* collected = nullptr;
    {
      ScopedSigpipeBlock noSigpipe;
      // Borrows the caller's text, so it is released before the caller wipes it.
      g_autoptr(GBytes) input = command.input != nullptr ? g_bytes_new_static(command.input->data(),
                                                                              command.input->size())
                                                         : nullptr;
      moved = g_subprocess_communicate(
          process, input, nullptr, command.captureOutput ? &collected : nullptr, nullptr, &error);
    }
    TakeOutput(collected, &outcome.output);
    if (!moved) {
      // The pipe may have failed before the child ended; never leave it behind.
      g_subprocess_force_exit(process);
      g_subprocess_wait(process, nullptr, nullptr);
    }
  } else {
    // The wait has no limit of its own: timeout ends the tool at the limit.
    moved = g_subprocess_wait(process, nullptr, &error);
  }
  if (!moved) {
    outcome.error = error != nullptr && error->message != nullptr ? error->message : "";
    SecureClear(&outcome.output);
    return false;
  }
  outcome.finished = true;
  outcome.timedOut =
      g_subprocess_get_if_exited(process) && g_subprocess_get_exit_status(process) == 124;
  g_autoptr(GError) statusError = nullptr;
  if (g_subprocess_wait_check(process, nullptr, &statusError)) return true;
  if (statusError != nullptr && statusError->message != nullptr) {
    outcome.error = statusError->message;
  }
  SecureClear(&outcome.output);
  return false;
}

}  // namespace tessary::linux_service
