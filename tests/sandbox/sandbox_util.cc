#include "tests/sandbox/sandbox_util.h"

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common/constants.h"

namespace tessary::test {

bool InSandbox() {
  const char* flag = g_getenv("TESSARY_SANDBOX");
  return flag != nullptr && g_strcmp0(flag, "1") == 0;
}

void RequireSandbox() {
  if (!InSandbox()) {
    fprintf(stderr, "This test changes the machine and runs only inside tests/sandbox/enter.\n");
    abort();
  }
}

CommandResult Run(const std::vector<std::string>& argv, const std::string& input) {
  CommandResult result;
  std::vector<const char*> args;
  for (const auto& a : argv) args.push_back(a.c_str());
  args.push_back(nullptr);
  GError* error = nullptr;
  GSubprocessFlags flags =
      static_cast<GSubprocessFlags>(G_SUBPROCESS_FLAGS_STDIN_PIPE | G_SUBPROCESS_FLAGS_STDOUT_PIPE |
                                    G_SUBPROCESS_FLAGS_STDERR_PIPE);
  GSubprocess* process = g_subprocess_newv(args.data(), flags, &error);
  if (process == nullptr) {
    result.err = error->message;
    g_error_free(error);
    return result;
  }
  GBytes* in = g_bytes_new(input.data(), input.size());
  GBytes* out = nullptr;
  GBytes* err = nullptr;
  if (g_subprocess_communicate(process, in, nullptr, &out, &err, &error)) {
    if (g_subprocess_get_if_exited(process)) result.status = g_subprocess_get_exit_status(process);
    gsize size = 0;
    const char* data = static_cast<const char*>(g_bytes_get_data(out, &size));
    result.out.assign(data ? data : "", size);
    data = static_cast<const char*>(g_bytes_get_data(err, &size));
    result.err.assign(data ? data : "", size);
  } else {
    result.err = error->message;
    g_error_free(error);
  }
  g_bytes_unref(in);
  if (out) g_bytes_unref(out);
  if (err) g_bytes_unref(err);
  g_object_unref(process);
  return result;
}

CommandResult Sh(const std::string& script) { return Run({"/bin/sh", "-c", script}); }

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

bool ServiceOwnsName() {
  GDBusConnection* bus = NewSystemBus();
  if (bus == nullptr) return false;
  GVariant* reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", linux_service::kBusName), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE,
      5000, nullptr, nullptr);
  gboolean owned = FALSE;
  if (reply) {
    g_variant_get(reply, "(b)", &owned);
    g_variant_unref(reply);
  }
  g_object_unref(bus);
  return owned;
}

int StartService(const std::string& logPath) {
  RequireSandbox();
  pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    FILE* log = fopen(logPath.c_str(), "a");
    if (log) {
      dup2(fileno(log), 1);
      dup2(fileno(log), 2);
    }
    execl(linux_service::kServiceBinary, linux_service::kServiceBinary,
          static_cast<char*>(nullptr));
    _exit(127);
  }
  if (!WaitUntil(ServiceOwnsName, std::chrono::seconds(10))) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  return pid;
}

int StopService(int pid, int signal, std::chrono::milliseconds timeout) {
  if (pid <= 0) return -1;
  kill(pid, signal);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
  return -1;
}

GDBusConnection* NewSystemBus() {
  gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
  if (address == nullptr) return nullptr;
  GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
      address,
      static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                        G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
      nullptr, nullptr, nullptr);
  g_free(address);
  return bus;
}

GVariant* CallService(GDBusConnection* bus, const char* method, GVariant* parameters,
                      std::string* errorName, std::string* errorMessage, int timeoutMs) {
  GError* error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(
      bus, linux_service::kBusName, linux_service::kObjectPath, linux_service::kInterfaceName,
      method, parameters, nullptr, G_DBUS_CALL_FLAGS_NONE, timeoutMs, nullptr, &error);
  if (reply == nullptr) {
    gchar* remote = g_dbus_error_get_remote_error(error);
    if (errorName) *errorName = remote ? remote : "";
    g_dbus_error_strip_remote_error(error);
    if (errorMessage) *errorMessage = error->message;
    g_free(remote);
    g_error_free(error);
  }
  return reply;
}

namespace {
void OnSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar* signal,
              GVariant* parameters, gpointer user_data) {
  auto* recorder = static_cast<SignalRecorder*>(user_data);
  GVariant* value = nullptr;
  if (g_variant_is_of_type(parameters, G_VARIANT_TYPE("(a{sv})"))) {
    g_variant_get(parameters, "(@a{sv})", &value);
  }
  recorder->entries.push_back({signal, value});
}
}  // namespace

SignalRecorder::SignalRecorder(GDBusConnection* connection) : bus(connection) {
  g_object_ref(bus);
  subscription = g_dbus_connection_signal_subscribe(
      bus, nullptr, linux_service::kInterfaceName, nullptr, linux_service::kObjectPath, nullptr,
      G_DBUS_SIGNAL_FLAGS_NONE, OnSignal, this, nullptr);
}

SignalRecorder::~SignalRecorder() {
  g_dbus_connection_signal_unsubscribe(bus, subscription);
  Clear();
  g_object_unref(bus);
}

void SignalRecorder::Clear() {
  for (auto& entry : entries) {
    if (entry.value) g_variant_unref(entry.value);
  }
  entries.clear();
}

bool SignalRecorder::WaitFor(const std::function<bool()>& condition,
                             std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (!g_main_context_iteration(nullptr, FALSE)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  return true;
}

std::vector<std::string> SignalRecorder::Strings(const std::string& signal, const char* key) const {
  std::vector<std::string> values;
  for (const auto& entry : entries) {
    if (entry.signal == signal && entry.value) values.push_back(DictString(entry.value, key));
  }
  return values;
}

std::vector<std::string> ProcessStatFields(int pid) {
  g_autofree gchar* text = nullptr;
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  if (!g_file_get_contents(path.c_str(), &text, nullptr, nullptr)) return {};
  const char* close = strrchr(text, ')');
  if (close == nullptr || close[1] != ' ' || close[2] == '\0') return {};
  g_auto(GStrv) fields = g_strsplit(close + 2, " ", -1);
  return std::vector<std::string>(fields, fields + g_strv_length(fields));
}

std::string DictString(GVariant* dict, const char* key) {
  const gchar* value = nullptr;
  if (dict && g_variant_lookup(dict, key, "&s", &value)) return value;
  return "";
}

}  // namespace tessary::test
