// tessaryvpnctl: drives the TessaryVPN service from the command line, one
// synchronous call per run, and diagnoses the installation ("doctor").
#include <errno.h>
#include <fcntl.h>
#include <gio/gio.h>
#include <glib/gstdio.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "common/constants.h"
#include "ctl/doctor.h"

namespace tessary::linux_service {
namespace {

constexpr int kCallTimeoutMs = 120000;

void Usage() {
  fputs(
      "Usage:\n"
      "  tessaryvpnctl status|runtime|capabilities|network|permission\n"
      "  tessaryvpnctl doctor\n"
      "  tessaryvpnctl keygen\n"
      "  tessaryvpnctl disconnect\n"
      "  tessaryvpnctl connect --id ID --protocol PROTOCOL --config FILE\n",
      stderr);
}

// Reads the option and value pairs after "connect"; a repeated option keeps
// its last value. Fails on an unknown option, an option without a value, or
// when any of the three values ends up empty. Outputs are untouched on failure.
bool ParseConnect(int argc, char** argv, std::string* id, std::string* protocol,
                  std::string* configPath) {
  std::string parsedId;
  std::string parsedProtocol;
  std::string parsedPath;
  for (int i = 2; i < argc; i += 2) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return false;
    const char* value = argv[i + 1];
    if (option == "--id") {
      parsedId = value;
    } else if (option == "--protocol") {
      parsedProtocol = value;
    } else if (option == "--config") {
      parsedPath = value;
    } else {
      return false;
    }
  }
  if (parsedId.empty() || parsedProtocol.empty() || parsedPath.empty()) return false;
  *id = parsedId;
  *protocol = parsedProtocol;
  *configPath = parsedPath;
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
  void Wipe() {
    if (!bytes.empty()) explicit_bzero(bytes.data(), bytes.size());
  }
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

// Writes the reply as the user sees it: "ok" for an empty reply, otherwise the
// single value (or the whole tuple) in GVariant text form with annotations.
// A reply that could not be written is a failure: a generated key pair lost
// to a full disk must not look like success.
bool PrintReply(GVariant* reply) {
  const gsize count = g_variant_n_children(reply);
  if (count == 0) {
    fputs("ok\n", stdout);
  } else {
    g_autoptr(GVariant) value =
        count == 1 ? g_variant_get_child_value(reply, 0) : g_variant_ref(reply);
    g_autofree gchar* text = g_variant_print(value, TRUE);
    fprintf(stdout, "%s\n", text);
  }
  return StandardOutputWritten();
}

int Main(int argc, char** argv) {
  if (argc < 2) {
    Usage();
    return 1;
  }
  const std::string command = argv[1];
  if (command == "doctor") {
    if (argc != 2) {
      Usage();
      return 1;
    }
    const int status = RunDoctor();
    return StandardOutputWritten() ? status : 1;
  }

  const char* method = nullptr;
  ConfigBuffer config;
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
    std::string id;
    std::string protocol;
    std::string path;
    if (!ParseConnect(argc, argv, &id, &protocol, &path)) {
      Usage();
      return 1;
    }
    // A D-Bus string must be UTF-8; GVariant would drop anything else with
    // no more than a warning, and the service would be sent a profile
    // without that key. The file name is never sent, so any bytes will do.
    for (const auto& [option, value] :
         {std::pair<const char*, const std::string&>{"--id", id}, {"--protocol", protocol}}) {
      if (!g_utf8_validate_len(value.data(), value.size(), nullptr)) {
        fprintf(stderr, "The value of %s is not valid UTF-8.\n", option);
        return 1;
      }
    }
    std::string error;
    if (!ReadConfiguration(path, &config, &error)) {
      fprintf(stderr, "Unable to read a valid VPN configuration: %s\n", error.c_str());
      return 1;
    }
    // No "killSwitch": connections made from the command line run without it.
    GVariantBuilder profile;
    g_variant_builder_init(&profile, G_VARIANT_TYPE_VARDICT);
    g_variant_builder_add(&profile, "{sv}", "id", g_variant_new_string(id.c_str()));
    g_variant_builder_add(&profile, "{sv}", "protocol", g_variant_new_string(protocol.c_str()));
    g_variant_builder_add(&profile, "{sv}", "rawConfig", g_variant_new_string(config.bytes.data()));
    parameters = g_variant_new("(a{sv})", &profile);
    method = "Connect";
  } else {
    Usage();
    return 1;
  }

  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (bus == nullptr) {
    if (parameters != nullptr) g_variant_unref(g_variant_ref_sink(parameters));
    fprintf(stderr, "Unable to connect to the system D-Bus: %s\n", error->message);
    return 1;
  }
  g_autoptr(GVariant) reply =
      g_dbus_connection_call_sync(bus, kBusName, kObjectPath, kInterfaceName, method, parameters,
                                  nullptr, G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs, nullptr, &error);
  config.Wipe();
  if (reply == nullptr) {
    g_dbus_error_strip_remote_error(error);
    fprintf(stderr, "TessaryVPN service call failed: %s\n", error->message);
    return 1;
  }
  return PrintReply(reply) ? 0 : 1;
}

}  // namespace
}  // namespace tessary::linux_service

int main(int argc, char** argv) { return tessary::linux_service::Main(argc, argv); }
