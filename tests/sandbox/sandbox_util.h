// Helpers for tests that run inside tests/sandbox/enter: shell commands,
// waiting with a deadline, and the installed service on the private bus.
#pragma once

#include <gio/gio.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace tessary::test {

// True inside the sandbox. Tests that change the machine must call
// RequireSandbox() first: it aborts the test binary outside of one, so a
// mistaken run can never touch the host.
bool InSandbox();
void RequireSandbox();

struct CommandResult {
  int status = -1;  // exit status, or -1 when the command did not exit normally
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs `/bin/sh -c script`, waits for it and collects its output.
CommandResult Sh(const std::string& script);
// Runs an argument vector directly (absolute path first), with optional input.
CommandResult Run(const std::vector<std::string>& argv, const std::string& input = "");

// Polls `condition` every 20 ms until it holds or `timeout` passes.
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Starts the installed /usr/libexec/tessaryvpn-service in the background
// (its output goes to `logPath`) and waits until it owns its bus name.
// Returns the pid, or -1 when it did not come up within 10 s.
int StartService(const std::string& logPath = "/run/sandbox/service.log");
// Sends `signal` and waits up to `timeout` for the process to end; returns the
// exit status (128+signal when killed), or -1 when it did not end in time.
int StopService(int pid, int signal = 15,
                std::chrono::milliseconds timeout = std::chrono::seconds(30));
bool ServiceOwnsName();

// A private connection to the system bus (not the shared singleton, so each
// test starts from a clean slate).
GDBusConnection* NewSystemBus();

// Calls a method of the service synchronously. On a D-Bus error returns null
// and stores the remote error name and message.
GVariant* CallService(GDBusConnection* bus, const char* method, GVariant* parameters,
                      std::string* errorName = nullptr, std::string* errorMessage = nullptr,
                      int timeoutMs = 25000);

// Records the service's signals while the default main context is iterated.
struct SignalRecorder {
  struct Entry {
    std::string signal;
    GVariant* value;  // the dictionary, owned
  };
  GDBusConnection* bus = nullptr;
  guint subscription = 0;
  std::vector<Entry> entries;

  explicit SignalRecorder(GDBusConnection* connection);
  ~SignalRecorder();
  SignalRecorder(const SignalRecorder&) = delete;
  SignalRecorder& operator=(const SignalRecorder&) = delete;

  // Forgets what was recorded so far, releasing the recorded values.
  void Clear();
  // Iterates the default main context until `condition` holds or timeout.
  bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
  // Values of `key` (strings) in the order the named signal carried them.
  std::vector<std::string> Strings(const std::string& signal, const char* key) const;
};

// The fields of /proc/PID/stat after the command name, the state first (so
// the start time is [19]); the name may hold blanks and ")". Empty when the
// process does not exist.
std::vector<std::string> ProcessStatFields(int pid);

// A string member of an a{sv} dictionary, or "" when absent or not a string.
std::string DictString(GVariant* dict, const char* key);

}  // namespace tessary::test
