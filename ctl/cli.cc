// tessaryvpnctl: drives the TessaryVPN service from the command line, one
// synchronous call per run, and diagnoses the installation ("doctor").
// "connect --wait" and "monitor" also listen to the service's signals.
#include <errno.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <glib-unix.h>
#include <glib/gstdio.h>
#include <json-glib/json-glib.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/constants.h"
#include "common/secure_clear.h"
#include "common/stage.h"
#include "ctl/doctor.h"

namespace tessary::linux_service {
namespace {

constexpr int kCallTimeoutMs = 120000;
// How long "connect --wait" waits for the outcome unless told otherwise, and
// the most it accepts: engines give up on a dead server well within this.
constexpr guint kDefaultWaitSeconds = 120;
constexpr guint kMaxWaitSeconds = 3600;

// The first six lines are the historical usage; scripts may compare them.
void Usage(FILE* stream) {
  fputs(
      "Usage:\n"
      "  tessaryvpnctl status|runtime|capabilities|network|permission\n"
      "  tessaryvpnctl doctor\n"
      "  tessaryvpnctl keygen\n"
      "  tessaryvpnctl disconnect\n"
      "  tessaryvpnctl connect --id ID --protocol PROTOCOL --config FILE\n"
      "  tessaryvpnctl connect ... [--kill-switch] [--wait [SECONDS]]\n"
      "  tessaryvpnctl status|runtime|capabilities|network --json\n"
      "  tessaryvpnctl monitor [--json]\n"
      "  tessaryvpnctl help|--help|--version\n",
      stream);
}

struct ConnectOptions {
  std::string id;
  std::string protocol;
  std::string configPath;
  bool killSwitch = false;
  bool wait = false;
  guint waitSeconds = kDefaultWaitSeconds;
};

// A whole number of seconds from 1 to kMaxWaitSeconds, digits only.
bool ParseSeconds(const char* text, guint* seconds) {
  guint64 value = 0;
  if (!g_ascii_string_to_unsigned(text, 10, 1, kMaxWaitSeconds, &value, nullptr)) return false;
  *seconds = static_cast<guint>(value);
  return true;
}

// Reads the options after "connect": "--id", "--protocol" and "--config" take
// a value and a repeated one keeps its last value; "--kill-switch" takes
// none; "--wait" takes a number of seconds when one follows. Fails on an
// unknown option, an option without its value, or when any of the three
// values ends up empty. The output is untouched on failure.
bool ParseConnect(int argc, char** argv, ConnectOptions* options) {
  ConnectOptions parsed;
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--kill-switch") {
      parsed.killSwitch = true;
      continue;
    }
    if (option == "--wait") {
      parsed.wait = true;
      if (i + 1 < argc && ParseSeconds(argv[i + 1], &parsed.waitSeconds)) ++i;
      continue;
    }
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (option == "--id") {
      parsed.id = value;
    } else if (option == "--protocol") {
      parsed.protocol = value;
    } else if (option == "--config") {
      parsed.configPath = value;
    } else {
      return false;
    }
  }
  if (parsed.id.empty() || parsed.protocol.empty() || parsed.configPath.empty()) return false;
  *options = std::move(parsed);
  return true;
}

// The configuration text, NUL-terminated, in a buffer this program owns so
// that it can be overwritten with zeros once the call is done, on every path.
struct ConfigBuffer {
  std::vector<char> bytes;

  ConfigBuffer() = default;
  ConfigBuffer(const ConfigBuffer&) = delete;
  ConfigBuffer& operator=(const ConfigBuffer&) = delete;
  ~ConfigBuffer() { Wipe(); }
  void Wipe() { SecureClear(bytes.data(), bytes.size()); }
};

// Whether everything written to standard output so far has reached it;
// otherwise says so on standard error. The cause of an earlier failed write
// is no longer known here, so none is named.
bool StandardOutputWritten() {
  if (fflush(stdout) == 0 && !ferror(stdout)) return true;
  fputs("Unable to write to standard output.\n", stderr);
  return false;
}

// Reads at most one byte more than the limit, so that an oversized file, or
// an endless one such as a device, costs no more than that to refuse. The
// text is validated here because a D-Bus string must be UTF-8 without zero
// bytes; nothing malformed ever reaches the bus.
bool ReadConfiguration(const std::string& path, ConfigBuffer* buffer, std::string* error) {
  g_autofree gchar* displayName = g_filename_display_name(path.c_str());
  const int fd = g_open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY, 0);
  if (fd < 0) {
    const int saved = errno;
    *error = std::string("Failed to open file “") + displayName + "”: " + g_strerror(saved);
    return false;
  }
  // One spare byte to detect an oversized file and one for the terminator.
  buffer->bytes.assign(kMaxConfigBytes + 2, '\0');
  size_t total = 0;
  while (total < kMaxConfigBytes + 1) {
    const ssize_t got = read(fd, buffer->bytes.data() + total, kMaxConfigBytes + 1 - total);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int saved = errno;
      close(fd);
      buffer->Wipe();
      *error = std::string("Failed to read from file “") + displayName + "”: " + g_strerror(saved);
      return false;
    }
    if (got == 0) break;
    total += static_cast<size_t>(got);
  }
  close(fd);
  const char* data = buffer->bytes.data();
  if (total == 0 || total > kMaxConfigBytes || memchr(data, '\0', total) != nullptr) {
    buffer->Wipe();
    *error = "empty or larger than 2 MiB";
    return false;
  }
  if (!g_utf8_validate_len(data, total, nullptr)) {
    buffer->Wipe();
    *error = "the file is not valid UTF-8";
    return false;
  }
  return true;
}

// A value as one line of text: GVariant text form with annotations, or JSON
// (a{sv} dictionaries become objects, 64-bit integers numbers).
gchar* ValueText(GVariant* value, bool json) {
  if (!json) return g_variant_print(value, TRUE);
  g_autoptr(JsonNode) node = json_gvariant_serialize(value);
  return json_to_string(node, FALSE);
}

// Writes the reply as the user sees it: "ok" for an empty reply, otherwise the
// single value (or the whole tuple) as text. A reply that could not be written
// is a failure: a generated key pair lost to a full disk must not look like
// success.
bool PrintReply(GVariant* reply, bool json) {
  const gsize count = g_variant_n_children(reply);
  if (count == 0) {
    fputs("ok\n", stdout);
  } else {
    g_autoptr(GVariant) value =
        count == 1 ? g_variant_get_child_value(reply, 0) : g_variant_ref(reply);
    g_autofree gchar* text = ValueText(value, json);
    fprintf(stdout, "%s\n", text);
  }
  return StandardOutputWritten();
}

// The string member `key` of an a{sv} dictionary, or "" when absent.
std::string DictionaryString(GVariant* dictionary, const char* key) {
  g_autoptr(GVariant) value = g_variant_lookup_value(dictionary, key, G_VARIANT_TYPE_STRING);
  return value != nullptr ? g_variant_get_string(value, nullptr) : "";
}

// Listens to every signal of the service on `bus` for the life of one scope.
class SignalSubscription {
 public:
  SignalSubscription(GDBusConnection* bus, GDBusSignalCallback callback, gpointer data)
      : bus_(bus) {
    id_ = g_dbus_connection_signal_subscribe(bus, kBusName, kInterfaceName, nullptr, kObjectPath,
                                             nullptr, G_DBUS_SIGNAL_FLAGS_NONE, callback, data,
                                             nullptr);
  }
  ~SignalSubscription() { g_dbus_connection_signal_unsubscribe(bus_, id_); }
  SignalSubscription(const SignalSubscription&) = delete;
  SignalSubscription& operator=(const SignalSubscription&) = delete;

 private:
  GDBusConnection* bus_;
  guint id_ = 0;
};

// The outcome of one accepted Connect, as its snapshots tell it. Every
// snapshot before this profile's "preparing" belongs to an earlier operation
// and is passed over.
struct ConnectWait {
  GMainLoop* loop = nullptr;
  std::string id;
  bool prepared = false;
  bool finished = false;
  bool connected = false;
  std::string reason;  // why it failed, once finished without a tunnel
};

void Finish(ConnectWait* wait, bool connected, const std::string& reason) {
  if (wait->finished) return;
  wait->finished = true;
  wait->connected = connected;
  wait->reason = reason;
  g_main_loop_quit(wait->loop);
}

void ConnectSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                   const gchar* signalName, GVariant* parameters, gpointer data) {
  auto* wait = static_cast<ConnectWait*>(data);
  if (wait->finished || !g_variant_is_of_type(parameters, G_VARIANT_TYPE("(a{sv})"))) return;
  g_autoptr(GVariant) dictionary = g_variant_get_child_value(parameters, 0);
  if (strcmp(signalName, kSignalNetworkPathChanged) == 0) return;
  if (strcmp(signalName, kSignalLogEmitted) == 0) {
    // A tunnel that came up without the leak protection asked for must not
    // pass unnoticed, so warnings are shown while waiting.
    if (wait->prepared && DictionaryString(dictionary, "level") == "warning") {
      fprintf(stderr, "Warning: %s\n", DictionaryString(dictionary, "message").c_str());
    }
    return;
  }
  const std::string stage = DictionaryString(dictionary, "stage");
  if (!wait->prepared) {
    wait->prepared = stage == StageName(Stage::kPreparing) &&
                     DictionaryString(dictionary, "activeProfileId") == wait->id;
    return;
  }
  if (stage == StageName(Stage::kConnected)) {
    Finish(wait, true, "");
  } else if (stage == StageName(Stage::kError)) {
    const std::string lastError = DictionaryString(dictionary, "lastError");
    Finish(wait, false, lastError.empty() ? "The service reported an error." : lastError);
  } else if (stage == StageName(Stage::kDisconnected)) {
    Finish(wait, false, "The connection was ended before the tunnel came up.");
  }
}

// Waits for the Connect just accepted to end in "connected" or "error"; the
// subscriptions were made before the call, so no snapshot can be missed.
int WaitForConnection(GDBusConnection* bus, ConnectWait* wait, guint seconds) {
  struct Timeout {
    ConnectWait* wait;
    guint seconds;
    guint source;
  } timeout{wait, seconds, 0};
  timeout.source = g_timeout_add_seconds(
      seconds,
      [](gpointer data) -> gboolean {
        auto* t = static_cast<Timeout*>(data);
        t->source = 0;
        g_autofree gchar* reason =
            g_strdup_printf("The tunnel did not come up within %u seconds.", t->seconds);
        Finish(t->wait, false, reason);
        return G_SOURCE_REMOVE;
      },
      &timeout);
  const guint watch = g_bus_watch_name_on_connection(
      bus, kBusName, G_BUS_NAME_WATCHER_FLAGS_NONE, nullptr,
      [](GDBusConnection*, const gchar*, gpointer data) {
        Finish(static_cast<ConnectWait*>(data), false,
               "The TessaryVPN service stopped before the tunnel came up.");
      },
      wait, nullptr);
  g_main_loop_run(wait->loop);
  g_bus_unwatch_name(watch);
  if (timeout.source != 0) g_source_remove(timeout.source);
  if (!wait->connected) {
    fprintf(stderr, "TessaryVPN connection failed: %s\n", wait->reason.c_str());
    return 1;
  }
  fputs("connected\n", stdout);
  return StandardOutputWritten() ? 0 : 1;
}

struct Monitor {
  GMainLoop* loop = nullptr;
  bool json = false;
  bool failed = false;
};

// One line per signal: its name and its dictionary, or a JSON object with
// both.
void MonitorSignal(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                   const gchar* signalName, GVariant* parameters, gpointer data) {
  auto* monitor = static_cast<Monitor*>(data);
  if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(a{sv})"))) return;
  g_autoptr(GVariant) dictionary = g_variant_get_child_value(parameters, 0);
  g_autofree gchar* text = ValueText(dictionary, monitor->json);
  if (monitor->json) {
    g_autofree gchar* name = g_strescape(signalName, nullptr);
    fprintf(stdout, "{\"signal\":\"%s\",\"value\":%s}\n", name, text);
  } else {
    fprintf(stdout, "%s %s\n", signalName, text);
  }
  if (!StandardOutputWritten()) {
    monitor->failed = true;
    g_main_loop_quit(monitor->loop);
  }
}

// The system bus, or null once standard error says why not.
GDBusConnection* ConnectSystemBus() {
  g_autoptr(GError) error = nullptr;
  GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (bus == nullptr)
    fprintf(stderr, "Unable to connect to the system D-Bus: %s\n", error->message);
  return bus;
}

// Prints the service's signals until SIGINT or SIGTERM. The service need not
// be running: nothing is called, so nothing starts it.
int RunMonitor(bool json) {
  g_autoptr(GDBusConnection) bus = ConnectSystemBus();
  if (bus == nullptr) return 1;
  g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
  Monitor monitor{loop, json, false};
  const SignalSubscription subscription(bus, MonitorSignal, &monitor);
  const auto stop = [](gpointer data) -> gboolean {
    g_main_loop_quit(static_cast<GMainLoop*>(data));
    return G_SOURCE_CONTINUE;
  };
  const guint interrupt = g_unix_signal_add(SIGINT, stop, loop);
  const guint terminate = g_unix_signal_add(SIGTERM, stop, loop);
  g_main_loop_run(loop);
  g_source_remove(interrupt);
  g_source_remove(terminate);
  return monitor.failed ? 1 : 0;
}

int Main(int argc, char** argv) {
  if (argc < 2) {
    Usage(stderr);
    return 1;
  }
  const std::string command = argv[1];
  if (command == "help" || command == "--help") {
    Usage(stdout);
    return StandardOutputWritten() ? 0 : 1;
  }
  if (command == "--version") {
    fputs("tessaryvpnctl " TESSARY_VERSION "\n", stdout);
    return StandardOutputWritten() ? 0 : 1;
  }
  if (command == "doctor") {
    if (argc != 2) {
      Usage(stderr);
      return 1;
    }
    const int status = RunDoctor();
    return StandardOutputWritten() ? status : 1;
  }
  if (command == "monitor") {
    if (argc > 3 || (argc == 3 && strcmp(argv[2], "--json") != 0)) {
      Usage(stderr);
      return 1;
    }
    return RunMonitor(argc == 3);
  }

  const char* method = nullptr;
  ConfigBuffer config;
  ConnectOptions options;
  bool json = false;
  GVariant* parameters = nullptr;  // floating until the call consumes it
  if (command == "status") {
    method = "GetConnectionSnapshot";
  } else if (command == "runtime") {
    method = "GetRuntimeInfo";
  } else if (command == "capabilities") {
    method = "GetCapabilities";
  } else if (command == "network") {
    method = "GetNetworkPath";
  } else if (command == "permission") {
    method = "RequestVpnPermission";
  } else if (command == "keygen") {
    method = "GenerateWireGuardKeyPair";
  } else if (command == "disconnect") {
    method = "Disconnect";
  } else if (command == "connect") {
    if (!ParseConnect(argc, argv, &options)) {
      Usage(stderr);
      return 1;
    }
    // A D-Bus string must be UTF-8; GVariant would drop anything else with
    // no more than a warning, and the service would be sent a profile
    // without that key. The file name is never sent, so any bytes will do.
    for (const auto& [option, value] :
         {std::pair<const char*, const std::string&>{"--id", options.id},
          {"--protocol", options.protocol}}) {
      if (!g_utf8_validate_len(value.data(), value.size(), nullptr)) {
        fprintf(stderr, "The value of %s is not valid UTF-8.\n", option);
        return 1;
      }
    }
    std::string error;
    if (!ReadConfiguration(options.configPath, &config, &error)) {
      fprintf(stderr, "Unable to read a valid VPN configuration: %s\n", error.c_str());
      return 1;
    }
    GVariantBuilder profile;
    g_variant_builder_init(&profile, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&profile, "{sv}", "id", g_variant_new_string(options.id.c_str()));
    g_variant_builder_add(&profile, "{sv}", "protocol",
                          g_variant_new_string(options.protocol.c_str()));
    g_variant_builder_add(&profile, "{sv}", "rawConfig", g_variant_new_string(config.bytes.data()));
    // Sent only when asked for, so that a profile reads as it always did.
    if (options.killSwitch) {
      g_variant_builder_add(&profile, "{sv}", "killSwitch", g_variant_new_boolean(TRUE));
    }
    parameters = g_variant_new("(a{sv})", &profile);
    method = "Connect";
  } else {
    Usage(stderr);
    return 1;
  }
  // The read commands ignore surplus arguments, except this one.
  for (int i = 2; i < argc && command != "connect"; ++i) {
    if (strcmp(argv[i], "--json") == 0) json = true;
  }

  g_autoptr(GDBusConnection) bus = ConnectSystemBus();
  if (bus == nullptr) {
    if (parameters != nullptr) g_variant_unref(g_variant_ref_sink(parameters));
    return 1;
  }
  // Listening starts before the call, so that the first snapshot of this
  // connect cannot be missed.
  g_autoptr(GMainLoop) loop = g_main_loop_new(nullptr, FALSE);
  ConnectWait wait;
  wait.loop = loop;
  wait.id = options.id;
  std::optional<SignalSubscription> subscription;
  if (options.wait) subscription.emplace(bus, ConnectSignal, &wait);
  g_autoptr(GError) error = nullptr;
  g_autoptr(GVariant) reply =
      g_dbus_connection_call_sync(bus, kBusName, kObjectPath, kInterfaceName, method, parameters,
                                  nullptr, G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &error);
  config.Wipe();
  if (reply == nullptr) {
    g_dbus_error_strip_remote_error(error);
    fprintf(stderr, "TessaryVPN service call failed: %s\n", error->message);
    return 1;
  }
  if (options.wait) return WaitForConnection(bus, &wait, options.waitSeconds);
  return PrintReply(reply, json) ? 0 : 1;
}

}  // namespace
}  // namespace tessary::linux_service

int main(int argc, char** argv) { return tessary::linux_service::Main(argc, argv); }
