#include "ctl/doctor.h"

#include <gio/gio.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "common/constants.h"
#include "common/stage.h"
#include "common/tool_run.h"

namespace tessary::linux_service {
namespace {

constexpr int kServiceCallTimeoutMs = 15000;
constexpr size_t kLabelWidth = 24;
constexpr char kResolvedBusName[] = "org.freedesktop.resolve1";

enum class Level { kOk, kWarn, kFail };

// Counters of one run, and where its lines go.
struct Report {
  unsigned passed = 0;
  unsigned warnings = 0;
  unsigned failures = 0;
  std::ostream* out = nullptr;
};

const char* Tag(Level level) {
  switch (level) {
    case Level::kOk:
      return "[ ok ]";
    case Level::kWarn:
      return "[warn]";
    case Level::kFail:
      return "[fail]";
  }
  return "[fail]";
}

void Section(Report* report, const char* title) {
  *report->out << '\n' << title << '\n' << std::flush;
}

void Record(Report* report, Level level, const char* label, const std::string& detail) {
  switch (level) {
    case Level::kOk:
      ++report->passed;
      break;
    case Level::kWarn:
      ++report->warnings;
      break;
    case Level::kFail:
      ++report->failures;
      break;
  }
  std::string padded = label;
  if (padded.size() < kLabelWidth) padded.append(kLabelWidth - padded.size(), ' ');
  // Flushed per line: a bus call may block for seconds, and the user should
  // see how far the report got.
  *report->out << "  " << Tag(level) << ' ' << padded << detail << '\n' << std::flush;
}

void CheckExecutable(Report* report, const char* label, const char* path, Level level) {
  if (g_file_test(path, G_FILE_TEST_IS_EXECUTABLE)) {
    Record(report, Level::kOk, label, path);
  } else if (g_file_test(path, G_FILE_TEST_EXISTS)) {
    Record(report, level, label, std::string(path) + " is not executable");
  } else {
    Record(report, level, label, std::string(path) + " is missing");
  }
}

void CheckFile(Report* report, const char* label, const char* path) {
  if (g_file_test(path, G_FILE_TEST_IS_REGULAR)) {
    Record(report, Level::kOk, label, path);
  } else {
    Record(report, Level::kFail, label, std::string(path) + " is missing");
  }
}

// A value the service reported in a dictionary reply. Whatever is not there
// as expected, the dictionary itself included, reads as empty or false.
std::string ReportedString(GVariant* dictionary, const char* key) {
  if (dictionary == nullptr || !g_variant_is_of_type(dictionary, G_VARIANT_TYPE_VARDICT)) {
    return "";
  }
  const gchar* value = nullptr;
  if (!g_variant_lookup(dictionary, key, "&s", &value)) return "";
  return value;
}

bool ReportedBoolean(GVariant* dictionary, const char* key) {
  if (dictionary == nullptr || !g_variant_is_of_type(dictionary, G_VARIANT_TYPE_VARDICT)) {
    return false;
  }
  gboolean value = FALSE;
  return g_variant_lookup(dictionary, key, "b", &value) && value;
}

// Runs `nft list WORDS...` for its exit status alone.
bool NftInspectionSucceeded(const char* first, const char* second = nullptr,
                            const char* third = nullptr) {
  ToolCommand command;
  command.argv = {kNftBinary, "list", first};
  if (second != nullptr) command.argv.push_back(second);
  if (second != nullptr && third != nullptr) command.argv.push_back(third);
  command.limit = ToolLimit::kListing;
  return RunTool(command, nullptr);
}

struct ManifestEntry {
  std::string digest;
  std::string name;
};

// Reads the lines that sha256sum writes, in either its text ("  ") or binary
// (" *") form. Lines with fewer than two pieces are not entries.
std::vector<ManifestEntry> ParseManifest(const std::string& text) {
  std::vector<ManifestEntry> entries;
  g_auto(GStrv) lines = g_strsplit(text.c_str(), "\n", -1);
  for (gchar** line = lines; *line != nullptr; ++line) {
    g_strstrip(*line);
    if (**line == '\0') continue;
    g_auto(GStrv) pieces = g_strsplit_set(*line, " *", -1);
    std::vector<const gchar*> words;
    for (gchar** piece = pieces; *piece != nullptr; ++piece) {
      if (**piece != '\0') words.push_back(*piece);
    }
    if (words.size() < 2) continue;
    entries.push_back({words[0], words[1]});
  }
  return entries;
}

bool FileMatchesDigest(const std::string& path, const std::string& digest) {
  gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) return false;
  g_autofree gchar* data = contents;
  g_autofree gchar* actual =
      g_compute_checksum_for_data(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(data), length);
  return actual != nullptr && digest == actual;
}

void RecordRuntimeIntegrity(Report* report, const char* manifestPath, const char* directory) {
  constexpr char kLabel[] = "runtime integrity";
  gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(manifestPath, &contents, &length, nullptr)) {
    Record(report, Level::kFail, "runtime manifest", std::string(manifestPath) + " is missing");
    return;
  }
  g_autofree gchar* owned = contents;
  std::string badNames;
  unsigned matches = 0;
  for (const ManifestEntry& entry : ParseManifest(std::string(owned, length))) {
    if (FileMatchesDigest(std::string(directory) + "/" + entry.name, entry.digest)) {
      ++matches;
    } else {
      badNames += " " + entry.name;
    }
  }
  if (!badNames.empty()) {
    Record(report, Level::kFail, kLabel, "modified or missing:" + badNames);
  } else if (matches > 0) {
    Record(report, Level::kOk, kLabel,
           std::to_string(matches) + " packaged files match SHA256SUMS");
  } else {
    Record(report, Level::kFail, kLabel, "the manifest lists no runtime files");
  }
}

// A kernel machine name in the naming of packaged runtimes ("arm64",
// "amd64"); names without a packaging counterpart pass unchanged.
std::string PackagingArchitecture(const std::string& machine) {
  if (machine == "aarch64") return "arm64";
  if (machine == "x86_64") return "amd64";
  return machine;
}

// This machine's architecture in packaging naming; empty when uname fails.
std::string MachineArchitecture() {
  struct utsname name {};
  if (uname(&name) != 0) return "";
  return PackagingArchitecture(name.machine);
}

void RecordRuntimeArchitecture(Report* report, const char* path, const std::string& machine) {
  constexpr char kLabel[] = "runtime architecture";
  gchar* contents = nullptr;
  std::string packaged;
  if (g_file_get_contents(path, &contents, nullptr, nullptr)) {
    g_autofree gchar* owned = contents;
    packaged = g_strstrip(owned);
  }
  if (packaged.empty()) {
    Record(report, Level::kFail, kLabel, std::string(path) + " is missing");
  } else if (!machine.empty() && machine != packaged) {
    Record(report, Level::kFail, kLabel,
           packaged + " was packaged for a different machine than " + machine);
  } else {
    Record(report, Level::kOk, kLabel, packaged + " matches this machine");
  }
}

// Calls a read-only method of the service; on failure returns null and puts
// the service's own message, without the remote error name, in `message`.
GVariant* CallService(GDBusConnection* bus, const char* method, std::string* message) {
  g_autoptr(GError) error = nullptr;
  GVariant* reply = g_dbus_connection_call_sync(bus, kBusName, kObjectPath, kInterfaceName, method,
                                                nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE,
                                                kServiceCallTimeoutMs, nullptr, &error);
  if (reply == nullptr && error != nullptr) {
    g_dbus_error_strip_remote_error(error);
    *message = error->message;
  }
  return reply;
}

// The dictionary of an "(a{sv})" reply, or null for any other shape.
GVariant* DictionaryOfReply(GVariant* reply) {
  if (reply == nullptr || !g_variant_is_of_type(reply, G_VARIANT_TYPE("(a{sv})"))) return nullptr;
  return g_variant_get_child_value(reply, 0);
}

bool NameHasOwner(GDBusConnection* bus, const char* name) {
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE,
      kServiceCallTimeoutMs, nullptr, nullptr);
  gboolean owned = FALSE;
  if (reply != nullptr) g_variant_get(reply, "(b)", &owned);
  return owned;
}

// An enabled resolved that is not running is started by the first request
// for its bus name, as the DNS helper's resolvectl makes; a disabled one is
// not, and a connect then fails on DNS.
bool ResolvedStartsOnDemand(GDBusConnection* bus) {
  if (!NameHasOwner(bus, "org.freedesktop.systemd1")) return false;
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.systemd1", "/org/freedesktop/systemd1",
      "org.freedesktop.systemd1.Manager", "GetUnitFileState",
      g_variant_new("(s)", "systemd-resolved.service"), G_VARIANT_TYPE("(s)"),
      G_DBUS_CALL_FLAGS_NO_AUTO_START, kServiceCallTimeoutMs, nullptr, nullptr);
  const gchar* state = nullptr;
  if (reply != nullptr) g_variant_get(reply, "(&s)", &state);
  return state != nullptr &&
         (g_str_equal(state, "enabled") || g_str_equal(state, "enabled-runtime"));
}

// resolvectl alone is not enough: WireGuard and OpenVPN set their DNS
// through the running resolved.
void RecordResolved(Report* report) {
  constexpr char kLabel[] = "systemd-resolved";
  if (!g_file_test(kResolveCtl, G_FILE_TEST_IS_EXECUTABLE)) {
    CheckExecutable(report, kLabel, kResolveCtl, Level::kWarn);
    return;
  }
  g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, nullptr);
  if (bus == nullptr) {
    Record(report, Level::kWarn, kLabel,
           "the system bus is unavailable, so systemd-resolved could not be asked");
  } else if (NameHasOwner(bus, kResolvedBusName) || ResolvedStartsOnDemand(bus)) {
    Record(report, Level::kOk, kLabel, kResolveCtl);
  } else {
    Record(report, Level::kWarn, kLabel,
           "systemd-resolved is not running; run `systemctl enable --now systemd-resolved`");
  }
}

// The process that owns `name` on the bus; 0 when the bus does not say.
guint32 NameOwnerPid(GDBusConnection* bus, const char* name) {
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
      "GetConnectionUnixProcessID", g_variant_new("(s)", name), G_VARIANT_TYPE("(u)"),
      G_DBUS_CALL_FLAGS_NONE, kServiceCallTimeoutMs, nullptr, nullptr);
  guint32 pid = 0;
  if (reply != nullptr) g_variant_get(reply, "(u)", &pid);
  return pid;
}

// The process's start as seconds since the epoch, from its start in clock
// ticks after boot and the boot time; -1 when either cannot be read. The
// boot time is whole seconds, so the result may be up to a second early.
double ProcessStartTime(guint32 pid) {
  g_autofree gchar* statPath = g_strdup_printf("/proc/%u/stat", pid);
  g_autofree gchar* stat = nullptr;
  g_autofree gchar* machine = nullptr;
  if (!g_file_get_contents(statPath, &stat, nullptr, nullptr) ||
      !g_file_get_contents("/proc/stat", &machine, nullptr, nullptr)) {
    return -1;
  }
  // The command name may hold blanks and parentheses; the fields after it
  // start with the state, and the start time is the 20th of them.
  const char* afterName = strrchr(stat, ')');
  const char* bootLine = strstr(machine, "\nbtime ");
  if (afterName == nullptr || bootLine == nullptr) return -1;
  g_auto(GStrv) fields = g_strsplit(afterName + 1, " ", 0);
  std::vector<std::string> values;
  for (gchar** field = fields; *field != nullptr; field++) {
    if (**field != '\0') values.push_back(*field);
  }
  const long ticks = sysconf(_SC_CLK_TCK);
  if (values.size() < 20 || ticks <= 0) return -1;
  return g_ascii_strtod(bootLine + 7, nullptr) +
         g_ascii_strtod(values[19].c_str(), nullptr) / static_cast<double>(ticks);
}

// An upgrade replaces the program on disk, not the running process, which
// keeps the old code until its next start. The process's link to its program
// says so once the file was replaced; where that link may not be read
// (another user's process), a start before the installed program last
// changed says the same.
bool RunsOlderProgram(guint32 pid, const char* program) {
  struct stat installed {};
  if (pid == 0 || stat(program, &installed) != 0) return false;
  g_autofree gchar* exePath = g_strdup_printf("/proc/%u/exe", pid);
  g_autofree gchar* exe = g_file_read_link(exePath, nullptr);
  if (exe != nullptr) return std::string(exe) == std::string(program) + " (deleted)";
  g_autofree gchar* cmdlinePath = g_strdup_printf("/proc/%u/cmdline", pid);
  g_autofree gchar* cmdline = nullptr;
  if (!g_file_get_contents(cmdlinePath, &cmdline, nullptr, nullptr) ||
      g_strcmp0(cmdline, program) != 0) {
    return false;
  }
  const double started = ProcessStartTime(pid);
  return started >= 0 && static_cast<double>(installed.st_ctime) > started + 1;
}

// The service rows; returns the connection stage, empty when unknown.
std::string RecordService(Report* report) {
  g_autoptr(GError) error = nullptr;
  g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SYSTEM, nullptr, &error);
  if (bus == nullptr) {
    Record(report, Level::kFail, "system D-Bus",
           error != nullptr ? error->message : "the system bus is unavailable");
    return "";
  }

  std::string message;
  g_autoptr(GVariant) info = CallService(bus, "GetRuntimeInfo", &message);
  if (info == nullptr) {
    Record(report, Level::kFail, "service",
           std::string(kBusName) +
               " did not answer: " + (message.empty() ? "unknown error" : message));
    return "";
  }
  Record(report, Level::kOk, "service", std::string(kBusName) + " answered on the system bus");
  if (RunsOlderProgram(NameOwnerPid(bus, kBusName), kServiceBinary)) {
    Record(report, Level::kWarn, "service program",
           std::string("the running service is older than the installed ") + kServiceBinary +
               "; disconnect, then run `sudo systemctl restart tessaryvpn.service`");
  }
  g_autoptr(GVariant) runtime = DictionaryOfReply(info);
  std::string summary = ReportedString(runtime, "summary");
  if (summary.empty()) summary = "no runtime summary was reported";
  Record(report, ReportedBoolean(runtime, "nativeBridgeReady") ? Level::kOk : Level::kFail,
         "engines", summary);

  message.clear();
  g_autoptr(GVariant) reply = CallService(bus, "GetConnectionSnapshot", &message);
  if (reply == nullptr) {
    Record(report, Level::kFail, "connection",
           message.empty() ? "no snapshot was returned" : message);
    return "";
  }
  g_autoptr(GVariant) snapshot = DictionaryOfReply(reply);
  const std::string stage = ReportedString(snapshot, "stage");
  const std::string lastError = ReportedString(snapshot, "lastError");
  Record(report, stage == StageName(Stage::kError) ? Level::kWarn : Level::kOk, "connection",
         stage.empty() ? "unknown" : stage);
  if (!lastError.empty()) Record(report, Level::kWarn, "last error", lastError);
  return stage;
}

void RecordRuntimeState(Report* report, const char* path) {
  constexpr char kLabel[] = "runtime state";
  struct stat st {};
  const std::string directory = path;
  if (lstat(path, &st) != 0) {
    Record(report, Level::kOk, kLabel, directory + " is absent while disconnected");
  } else if (!S_ISDIR(st.st_mode)) {
    Record(report, Level::kFail, kLabel, directory + " is not a directory");
  } else if (st.st_uid == 0 && (st.st_mode & 07777) == 0700) {
    Record(report, Level::kOk, kLabel, directory + " is root-owned and 0700");
  } else {
    Record(report, Level::kFail, kLabel, directory + " does not have root-owned 0700 permissions");
  }
}

void RecordKillSwitch(Report* report, const std::string& stage) {
  constexpr char kLabel[] = "kill switch";
  if (!g_file_test(kNftBinary, G_FILE_TEST_IS_EXECUTABLE)) {
    Record(report, Level::kWarn, kLabel,
           std::string(kNftBinary) + " is missing, so the kill switch cannot be applied");
  } else if (geteuid() != 0) {
    Record(report, Level::kOk, kLabel,
           "rule inspection needs root; run `sudo tessaryvpnctl doctor`");
  } else if (!NftInspectionSucceeded("tables")) {
    Record(report, Level::kWarn, kLabel,
           "the nftables ruleset could not be inspected on this machine");
  } else if (NftInspectionSucceeded("table", "inet", kKillSwitchTable)) {
    if (stage == StageName(Stage::kConnected)) {
      Record(report, Level::kOk, kLabel, "the leak-protection table is active for this tunnel");
    } else {
      Record(report, Level::kFail, kLabel,
             "a leak-protection table is installed without a tunnel; run `tessaryvpnctl "
             "disconnect` to restore the network");
    }
  } else if (stage == StageName(Stage::kConnected)) {
    Record(report, Level::kOk, kLabel, "the connection was started without leak protection");
  } else {
    Record(report, Level::kOk, kLabel, "no leak-protection table is installed while disconnected");
  }
}

}  // namespace

int RunDoctor(std::ostream& out) {
  Report report;
  report.out = &out;
  out << "TessaryVPN Linux diagnostics\n" << std::flush;

  Section(&report, "Installation");
  CheckExecutable(&report, "application", kApplicationBinary, Level::kFail);
  CheckExecutable(&report, "privileged service", kServiceBinary, Level::kFail);
  CheckExecutable(&report, "DNS helper", kDnsHelper, Level::kFail);
  CheckExecutable(&report, "Sing-box runtime", kSingBoxBinary, Level::kFail);
  CheckExecutable(&report, "Xray runtime", kXrayBinary, Level::kFail);
  CheckFile(&report, "Xray geoip", kXrayGeoIp);
  CheckFile(&report, "Xray geosite", kXrayGeoSite);
  CheckFile(&report, "systemd unit", kSystemdUnit);
  CheckFile(&report, "D-Bus policy", kDbusPolicy);
  CheckFile(&report, "Polkit policy", kPolkitPolicy);

  Section(&report, "Packaged runtimes");
  RecordRuntimeIntegrity(&report, kRuntimeManifest, kAmneziaWgRuntimeDirectory);
  RecordRuntimeArchitecture(&report, kRuntimeArchitecture, MachineArchitecture());

  Section(&report, "Distribution dependencies");
  CheckExecutable(&report, "OpenVPN", kOpenVpnBinary, Level::kFail);
  CheckExecutable(&report, "WireGuard tools", kWireGuardTool, Level::kFail);
  CheckExecutable(&report, "wg-quick", kWireGuardQuick, Level::kFail);
  CheckExecutable(&report, "nftables", kNftBinary, Level::kFail);
  CheckExecutable(&report, "iproute2", kIpBinary, Level::kFail);
  RecordResolved(&report);
  constexpr char kTunDevice[] = "/dev/net/tun";
  if (g_file_test(kTunDevice, G_FILE_TEST_EXISTS)) {
    Record(&report, Level::kOk, "TUN device", kTunDevice);
  } else {
    Record(&report, Level::kFail, "TUN device",
           std::string(kTunDevice) + " is missing; load the tun kernel module");
  }

  Section(&report, "Service");
  const std::string stage = RecordService(&report);
  RecordRuntimeState(&report, kRuntimeDirectory);
  RecordKillSwitch(&report, stage);

  out << "\nResult: " << report.passed << " passed, " << report.warnings << " warning(s), "
      << report.failures << " failure(s).\n";
  if (report.failures != 0) {
    out << "Repair the TessaryVPN installation, then run `tessaryvpnctl doctor` again.\n";
  }
  out << std::flush;
  return report.failures != 0 ? 1 : 0;
}

int RunDoctor() { return RunDoctor(std::cout); }

}  // namespace tessary::linux_service
