// tessaryvpnctl as a user sees it, inside the sandbox: the installed tool
// against services on the private bus, and "doctor" against the installation
// that `cmake --install` made there, plus whatever each story adds or breaks.
//
// The stand-in service (tests/standins/ctl) gives replies that the real
// service only gives in states that are hard to reach on purpose: an error
// stage, a connected tunnel without a table, a failing method.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/constants.h"
#include "tests/sandbox/sandbox_util.h"

namespace tessary::test {
namespace {

constexpr char kCtl[] = "/usr/bin/tessaryvpnctl";
constexpr char kSetpriv[] = "/usr/bin/setpriv";

// Runs the installed tool, as root or as the unprivileged user 65534.
CommandResult Ctl(std::vector<std::string> args, bool asNobody = false) {
  args.insert(args.begin(), kCtl);
  if (asNobody) {
    args.insert(args.begin(), {kSetpriv, "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
  }
  return Run(args);
}

// The stand-in service for the life of one scope.
class StandInService {
 public:
  explicit StandInService(const std::vector<std::string>& options = {}) {
    std::vector<const char*> argv = {TESSARY_CTL_FAKE_SERVICE};
    for (const auto& option : options) argv.push_back(option.c_str());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      freopen("/dev/null", "w", stdout);
      execv(argv[0], const_cast<char* const*>(argv.data()));
      _exit(127);
    }
    up_ = pid_ > 0 && WaitUntil(ServiceOwnsName, std::chrono::seconds(10));
  }
  ~StandInService() {
    StopService(pid_);
    WaitUntil([] { return !ServiceOwnsName(); }, std::chrono::seconds(5));
  }
  StandInService(const StandInService&) = delete;
  StandInService& operator=(const StandInService&) = delete;
  bool up() const { return up_; }

 private:
  pid_t pid_ = -1;
  bool up_ = false;
};

// This machine's architecture as the packaging names it.
std::string Architecture() {
  const std::string machine = Sh("uname -m").out;
  if (machine == "x86_64\n") return "amd64";
  if (machine == "aarch64\n") return "arm64";
  return machine.substr(0, machine.size() - 1);
}

// Completes the installation the way the package does: the desktop
// application, the packaged engines and data files, and a manifest of them
// written by sha256sum. Undoes whatever an earlier story broke.
void InstallCompleteRuntime() {
  const CommandResult setup =
      Sh("set -e\n"
         "mkdir -p /opt/tessaryvpn\n"
         "printf '#!/bin/sh\\nexit 0\\n' > /opt/tessaryvpn/TessaryVPN\n"
         "chmod 0755 /opt/tessaryvpn/TessaryVPN\n"
         "cd /usr/libexec/tessaryvpn\n"
         "rm -f sing-box xray geoip.dat geosite.dat SHA256SUMS\n"
         "printf '#!/bin/sh\\nexec sleep 600\\n' > sing-box\n"
         "printf '#!/bin/sh\\nexec sleep 600\\n# xray\\n' > xray\n"
         "printf 'geoip data\\n' > geoip.dat\n"
         "printf 'geosite data\\n' > geosite.dat\n"
         "chmod 0755 sing-box xray && chmod 0644 geoip.dat geosite.dat\n"
         "printf '%s\\n' '" +
         Architecture() +
         "' > runtime.architecture\n"
         "sha256sum runtime.architecture sing-box xray geoip.dat geosite.dat > SHA256SUMS\n"
         "if [ -e /run/sandbox/nft.orig ]; then cp -a /run/sandbox/nft.orig /usr/sbin/nft; fi\n"
         "chmod 0755 /usr/sbin/nft\n"
         "if [ -e /usr/bin/resolvectl.away ]; then mv /usr/bin/resolvectl.away "
         "/usr/bin/resolvectl; fi\n"
         "pgrep -x systemd-resolve >/dev/null || \"$TESSARY_SOURCE_DIR/tests/sandbox/resolved\" "
         "start\n"
         "rm -rf /run/tessaryvpn /run/tessaryvpn.real\n"
         "nft delete table inet tessaryvpn 2>/dev/null || true\n"
         "nft delete table ip tessaryvpn 2>/dev/null || true\n");
  ASSERT_EQ(setup.status, 0) << setup.err;
}

constexpr char kUserKillSwitch[] =
    "  [ ok ] kill switch             rule inspection needs root; run `sudo tessaryvpnctl "
    "doctor`\n";
constexpr char kRootKillSwitch[] =
    "  [ ok ] kill switch             no leak-protection table is installed while disconnected\n";
constexpr char kLeftoverTable[] =
    "  [fail] kill switch             a leak-protection table is installed without a tunnel; run "
    "`tessaryvpnctl disconnect` to restore the network\n";
constexpr char kRepair[] =
    "Repair the TessaryVPN installation, then run `tessaryvpnctl doctor` again.\n";

// Everything up to the "Service" section of a complete installation.
std::string InstalledPart(
    const std::string& resolvedRow = "  [ ok ] systemd-resolved        /usr/bin/resolvectl\n") {
  return "TessaryVPN Linux diagnostics\n"
         "\n"
         "Installation\n"
         "  [ ok ] application             /opt/tessaryvpn/TessaryVPN\n"
         "  [ ok ] privileged service      /usr/libexec/tessaryvpn-service\n"
         "  [ ok ] DNS helper              /usr/libexec/tessaryvpn-dns\n"
         "  [ ok ] Sing-box runtime        /usr/libexec/tessaryvpn/sing-box\n"
         "  [ ok ] Xray runtime            /usr/libexec/tessaryvpn/xray\n"
         "  [ ok ] Xray geoip              /usr/libexec/tessaryvpn/geoip.dat\n"
         "  [ ok ] Xray geosite            /usr/libexec/tessaryvpn/geosite.dat\n"
         "  [ ok ] systemd unit            /usr/lib/systemd/system/tessaryvpn.service\n"
         "  [ ok ] D-Bus policy            "
         "/usr/share/dbus-1/system.d/org.tessaryvpn.Service1.conf\n"
         "  [ ok ] Polkit policy           /usr/share/polkit-1/actions/org.tessaryvpn.policy\n"
         "\n"
         "Packaged runtimes\n"
         "  [ ok ] runtime integrity       5 packaged files match SHA256SUMS\n"
         "  [ ok ] runtime architecture    " +
         Architecture() +
         " matches this machine\n"
         "\n"
         "Distribution dependencies\n"
         "  [ ok ] OpenVPN                 /usr/sbin/openvpn\n"
         "  [ ok ] WireGuard tools         /usr/bin/wg\n"
         "  [ ok ] wg-quick                /usr/bin/wg-quick\n"
         "  [ ok ] nftables                /usr/sbin/nft\n"
         "  [ ok ] iproute2                /usr/sbin/ip\n" +
         resolvedRow +
         "  [ ok ] TUN device              /dev/net/tun\n"
         "\n"
         "Service\n";
}

constexpr char kServiceAnswered[] =
    "  [ ok ] service                 org.tessaryvpn.Service1 answered on the system bus\n";
constexpr char kAllEnginesReady[] =
    "  [ ok ] engines                 Sing-box ready; Xray ready; WireGuard ready; OpenVPN ready\n";
constexpr char kRuntimeAbsent[] =
    "  [ ok ] runtime state           /run/tessaryvpn is absent while disconnected\n";

// The one line of `report` whose label is `label`, or "" when there is none.
std::string Row(const std::string& report, const std::string& label) {
  std::string padded = label;
  if (padded.size() < 24) padded.append(24 - padded.size(), ' ');
  size_t start = 0;
  while (start < report.size()) {
    size_t end = report.find('\n', start);
    if (end == std::string::npos) end = report.size();
    const std::string line = report.substr(start, end - start + 1);
    if (line.size() > 9 && line.compare(9, padded.size(), padded) == 0) return line;
    start = end + 1;
  }
  return "";
}

// Everything after the last row: the empty line, the result and any repair line.
std::string Summary(const std::string& report) {
  const size_t at = report.rfind("\nResult: ");
  return at == std::string::npos ? "" : report.substr(at);
}

class CtlSandbox : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    RequireSandbox();
    // Kept aside so that a story may replace nft and the next one restore it.
    ASSERT_EQ(Sh("cp -a /usr/sbin/nft /run/sandbox/nft.orig").status, 0);
  }
  void SetUp() override { InstallCompleteRuntime(); }
};

// ---- commands -------------------------------------------------------------

TEST_F(CtlSandbox, RepliesArePrintedInGVariantTextForm) {
  StandInService service;
  ASSERT_TRUE(service.up());
  struct Case {
    std::vector<std::string> args;
    const char* out;
  };
  const std::vector<Case> cases = {
      {{"status"}, "{'stage': <'disconnected'>}\n"},
      {{"status", "--verbose", "extra"}, "{'stage': <'disconnected'>}\n"},
      {{"network"}, "{'status': <'satisfied'>, 'timestampEpochMillis': <int64 1700000000123>}\n"},
      {{"capabilities", "x"},
       "{'supportsLifecycle': <true>, 'supportedProtocols': <['singBox', 'wireGuard']>}\n"},
      {{"runtime"},
       "{'platformName': <'linux'>, 'summary': <'Sing-box ready; Xray ready; WireGuard ready; "
       "OpenVPN ready'>, 'nativeBridgeReady': <true>}\n"},
      {{"keygen"}, "{'privateKey': <'cHJpdmF0ZQ=='>, 'publicKey': <'cHVibGlj'>}\n"},
      {{"permission"}, "true\n"},
      {{"disconnect", "now"}, "ok\n"},
      {{"status", "--json"}, "{\"stage\":\"disconnected\"}\n"},
      {{"network", "extra", "--json"},
       "{\"status\":\"satisfied\",\"timestampEpochMillis\":1700000000123}\n"},
      {{"capabilities", "--json"},
       "{\"supportsLifecycle\":true,\"supportedProtocols\":[\"singBox\",\"wireGuard\"]}\n"},
      {{"runtime", "--json"},
       "{\"platformName\":\"linux\",\"summary\":\"Sing-box ready; Xray ready; WireGuard ready; "
       "OpenVPN ready\",\"nativeBridgeReady\":true}\n"},
  };
  for (const auto& c : cases) {
    const CommandResult result = Ctl(c.args);
    EXPECT_EQ(result.status, 0) << c.args[0] << ": " << result.err;
    EXPECT_EQ(result.out, c.out) << c.args[0];
    EXPECT_EQ(result.err, "") << c.args[0];
  }
}

TEST_F(CtlSandbox, ConnectSendsTheProfileAndPrintsOk) {
  const std::string record = "/run/sandbox/ctl-profile.txt";
  StandInService service({"--record", record});
  ASSERT_TRUE(service.up());

  // Exactly 2 MiB is the largest text that is sent; a repeated option keeps
  // its last value; no kill switch is ever asked for.
  const std::string text(2097152, 'w');
  ASSERT_TRUE(g_file_set_contents("/run/sandbox/big.conf", text.data(), text.size(), nullptr));
  CommandResult result = Ctl({"connect", "--id", "first", "--config", "/run/sandbox/big.conf",
                              "--protocol", "wireGuard", "--id", "office"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "ok\n");
  EXPECT_EQ(result.err, "");
  gchar* contents = nullptr;
  ASSERT_TRUE(g_file_get_contents(record.c_str(), &contents, nullptr, nullptr));
  const std::string received = contents;
  g_free(contents);
  EXPECT_EQ(received, "id\ts\toffice\nprotocol\ts\twireGuard\nrawConfig\ts\t" + text + "\n");

  // The kill switch is asked for only on request, after the profile's text.
  ASSERT_EQ(Sh("printf '[Interface]\\n' > /run/sandbox/small.conf").status, 0);
  result = Ctl({"connect", "--kill-switch", "--id", "office", "--protocol", "wireGuard", "--config",
                "/run/sandbox/small.conf"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "ok\n");
  ASSERT_TRUE(g_file_get_contents(record.c_str(), &contents, nullptr, nullptr));
  EXPECT_STREQ(contents,
               "id\ts\toffice\nprotocol\ts\twireGuard\nrawConfig\ts\t[Interface]\n\n"
               "killSwitch\tb\ttrue\n");
  g_free(contents);

  // One byte more never reaches the service.
  ASSERT_EQ(Sh("rm -f " + record + " && printf w >> /run/sandbox/big.conf").status, 0);
  result = Ctl({"connect", "--id", "office", "--protocol", "wireGuard", "--config",
                "/run/sandbox/big.conf"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Unable to read a valid VPN configuration: empty or larger than 2 MiB\n");
  EXPECT_FALSE(g_file_test(record.c_str(), G_FILE_TEST_EXISTS));

  // Neither does text that is not UTF-8.
  ASSERT_EQ(Sh("printf '[Interface]\\n# \\351t\\351\\n' > /run/sandbox/latin1.conf").status, 0);
  result = Ctl({"connect", "--id", "office", "--protocol", "wireGuard", "--config",
                "/run/sandbox/latin1.conf"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "Unable to read a valid VPN configuration: the file is not valid UTF-8\n");
  EXPECT_FALSE(g_file_test(record.c_str(), G_FILE_TEST_EXISTS));
}

TEST_F(CtlSandbox, RefusalsShowOnlyTheServiceMessage) {
  StandInService service({"--fail",
                          std::string("Disconnect=") + linux_service::kErrorBusy +
                              ":Another VPN engine operation is already "
                              "in progress.",
                          "--fail",
                          std::string("Connect=") + linux_service::kErrorInvalidProfile +
                              ":The profile identifier is invalid.",
                          "--fail",
                          std::string("GetConnectionSnapshot=") +
                              linux_service::kErrorShuttingDown +
                              ":The TessaryVPN service "
                              "is shutting down.",
                          "--permission", "0"});
  ASSERT_TRUE(service.up());
  ASSERT_EQ(Sh("printf '[Interface]\\n' > /run/sandbox/small.conf").status, 0);
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  const std::vector<Case> cases = {
      {{"disconnect"}, "Another VPN engine operation is already in progress."},
      {{"connect", "--id", "x", "--protocol", "wireGuard", "--config", "/run/sandbox/small.conf"},
       "The profile identifier is invalid."},
      {{"status"}, "The TessaryVPN service is shutting down."},
  };
  for (const auto& c : cases) {
    const CommandResult result = Ctl(c.args);
    EXPECT_EQ(result.status, 1) << c.args[0];
    EXPECT_EQ(result.out, "") << c.args[0];
    EXPECT_EQ(result.err, std::string("TessaryVPN service call failed: ") + c.message + "\n")
        << c.args[0];
  }
  const CommandResult permission = Ctl({"permission"}, /*asNobody=*/true);
  EXPECT_EQ(permission.status, 0) << permission.err;
  EXPECT_EQ(permission.out, "false\n");
}

TEST_F(CtlSandbox, AReplyThatCannotBeWrittenIsAFailure) {
  StandInService service;
  ASSERT_TRUE(service.up());
  for (const char* command : {"keygen", "disconnect", "doctor"}) {
    const CommandResult result =
        Sh(std::string("/usr/bin/tessaryvpnctl ") + command + " > /dev/full");
    EXPECT_EQ(result.status, 1) << command;
    EXPECT_EQ(result.err, "Unable to write to standard output.\n") << command;
  }
}

TEST_F(CtlSandbox, NoSystemBusIsOneLine) {
  const CommandResult result =
      Sh("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/sandbox/no-bus /usr/bin/tessaryvpnctl status");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err.rfind("Unable to connect to the system D-Bus: ", 0), 0u) << result.err;
  EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
}

// ---- doctor ---------------------------------------------------------------

TEST_F(CtlSandbox, DoctorOnACleanInstallationAsANormalUser) {
  StandInService service;
  ASSERT_TRUE(service.up());
  const CommandResult result = Ctl({"doctor"}, /*asNobody=*/true);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out, InstalledPart() + kServiceAnswered + kAllEnginesReady +
                            "  [ ok ] connection              disconnected\n" + kRuntimeAbsent +
                            kUserKillSwitch +
                            "\n"
                            "Result: 24 passed, 0 warning(s), 0 failure(s).\n");
}

TEST_F(CtlSandbox, DoctorWithoutARunningSystemdResolvedWarnsOnce) {
  struct Case {
    const char* what;
    const char* script;
    const char* row;
  };
  const std::vector<Case> cases = {
      {"resolvectl missing", "mv /usr/bin/resolvectl /usr/bin/resolvectl.away",
       "  [warn] systemd-resolved        /usr/bin/resolvectl is missing\n"},
      // Installed but stopped, and nothing on this machine starts it: a
      // WireGuard or OpenVPN connect would fail on DNS.
      {"resolved stopped", "\"$TESSARY_SOURCE_DIR/tests/sandbox/resolved\" stop",
       "  [warn] systemd-resolved        systemd-resolved is not running; run `systemctl enable "
       "--now systemd-resolved`\n"},
  };
  for (const auto& c : cases) {
    InstallCompleteRuntime();
    ASSERT_EQ(Sh(c.script).status, 0) << c.what;
    StandInService service;
    ASSERT_TRUE(service.up());
    const CommandResult result = Ctl({"doctor"}, /*asNobody=*/true);
    EXPECT_EQ(result.status, 0) << c.what;
    EXPECT_EQ(result.out, InstalledPart(c.row) + kServiceAnswered + kAllEnginesReady +
                              "  [ ok ] connection              disconnected\n" + kRuntimeAbsent +
                              kUserKillSwitch +
                              "\n"
                              "Result: 23 passed, 1 warning(s), 0 failure(s).\n")
        << c.what;
  }
}

TEST_F(CtlSandbox, DoctorWithTheServiceStopped) {
  ASSERT_FALSE(ServiceOwnsName());
  CommandResult result = Ctl({"doctor"});
  EXPECT_EQ(result.status, 1);
  const std::string serviceRow = Row(result.out, "service");
  const std::string prefix =
      "  [fail] service                 org.tessaryvpn.Service1 did not answer: ";
  ASSERT_EQ(serviceRow.rfind(prefix, 0), 0u) << result.out;
  const std::string message = serviceRow.substr(prefix.size());
  EXPECT_GT(message.size(), 1u);
  EXPECT_EQ(message.find("org.freedesktop.DBus.Error"), std::string::npos) << message;
  EXPECT_EQ(message.find("GDBus.Error"), std::string::npos) << message;
  EXPECT_EQ(result.out, InstalledPart() + serviceRow + kRuntimeAbsent + kRootKillSwitch +
                            "\n"
                            "Result: 21 passed, 0 warning(s), 1 failure(s).\n" +
                            kRepair);

  // A table left behind without a tunnel cuts the machine off: as root the
  // report says so and how to recover.
  ASSERT_EQ(Sh("nft add table inet tessaryvpn").status, 0);
  result = Ctl({"doctor"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(Row(result.out, "kill switch"), kLeftoverTable);
  EXPECT_EQ(Summary(result.out),
            "\nResult: 20 passed, 0 warning(s), 2 failure(s).\n" + std::string(kRepair));
  // A normal user cannot look, and is told so rather than failed.
  result = Ctl({"doctor"}, /*asNobody=*/true);
  EXPECT_EQ(Row(result.out, "kill switch"), kUserKillSwitch);
}

TEST_F(CtlSandbox, DoctorNamesModifiedAndMissingRuntimeFiles) {
  StandInService service;
  ASSERT_TRUE(service.up());
  struct Case {
    const char* what;
    const char* script;  // run in /usr/libexec/tessaryvpn
    std::vector<std::string> rows;
    const char* summary;
  };
  const std::vector<Case> cases = {
      {"an edited engine and a missing data file",
       "printf '# patched\\n' >> xray && rm geosite.dat",
       {"  [fail] Xray geosite            /usr/libexec/tessaryvpn/geosite.dat is missing\n",
        "  [fail] runtime integrity       modified or missing: xray geosite.dat\n"},
       "\nResult: 22 passed, 0 warning(s), 2 failure(s).\n"},
      {"upper-case digests",
       "sed -i 's/^[0-9a-f]*/\\U&/' SHA256SUMS",
       {"  [fail] runtime integrity       modified or missing: runtime.architecture sing-box xray "
        "geoip.dat geosite.dat\n"},
       "\nResult: 23 passed, 0 warning(s), 1 failure(s).\n"},
      {"binary-mode manifest",
       "sha256sum -b sing-box xray > SHA256SUMS",
       {"  [ ok ] runtime integrity       2 packaged files match SHA256SUMS\n"},
       "\nResult: 24 passed, 0 warning(s), 0 failure(s).\n"},
      {"an empty manifest",
       ": > SHA256SUMS",
       {"  [fail] runtime integrity       the manifest lists no runtime files\n"},
       "\nResult: 23 passed, 0 warning(s), 1 failure(s).\n"},
      {"a manifest of blank lines",
       "printf '\\n  \\n\\t\\n' > SHA256SUMS",
       {"  [fail] runtime integrity       the manifest lists no runtime files\n"},
       "\nResult: 23 passed, 0 warning(s), 1 failure(s).\n"},
      {"no manifest",
       "rm SHA256SUMS",
       {"  [fail] runtime manifest        /usr/libexec/tessaryvpn/SHA256SUMS is missing\n"},
       "\nResult: 23 passed, 0 warning(s), 1 failure(s).\n"},
      {"a foreign architecture",
       "echo aarch64 > runtime.architecture && sha256sum runtime.architecture > SHA256SUMS",
       {"  [ ok ] runtime integrity       1 packaged files match SHA256SUMS\n",
        "  [fail] runtime architecture    aarch64 was packaged for a different machine than " +
            Architecture() + "\n"},
       "\nResult: 23 passed, 0 warning(s), 1 failure(s).\n"},
      {"no architecture file",
       "rm runtime.architecture && sha256sum xray > SHA256SUMS",
       {"  [fail] runtime architecture    /usr/libexec/tessaryvpn/runtime.architecture is "
        "missing\n"},
       "\nResult: 23 passed, 0 warning(s), 1 failure(s).\n"},
  };
  for (const auto& c : cases) {
    InstallCompleteRuntime();
    ASSERT_EQ(Sh(std::string("cd /usr/libexec/tessaryvpn && ") + c.script).status, 0) << c.what;
    const CommandResult result = Ctl({"doctor"}, /*asNobody=*/true);
    for (const auto& row : c.rows) {
      EXPECT_NE(result.out.find(row), std::string::npos)
          << c.what << " lacks " << row << result.out;
    }
    const bool failed = std::string(c.summary).find(" 0 failure(s)") == std::string::npos;
    EXPECT_EQ(Summary(result.out), c.summary + std::string(failed ? kRepair : "")) << c.what;
    EXPECT_EQ(result.status, failed ? 1 : 0) << c.what;
  }
}

TEST_F(CtlSandbox, DoctorAcceptsOnlyARootOwned0700RuntimeDirectory) {
  StandInService service;
  ASSERT_TRUE(service.up());
  struct Case {
    const char* script;
    const char* row;
  };
  const std::vector<Case> cases = {
      {"mkdir -m 0700 /run/tessaryvpn",
       "  [ ok ] runtime state           /run/tessaryvpn is root-owned and 0700\n"},
      {"mkdir -m 0750 /run/tessaryvpn",
       "  [fail] runtime state           /run/tessaryvpn does not have root-owned 0700 "
       "permissions\n"},
      {"mkdir -m 0700 /run/tessaryvpn && chown 65534:65534 /run/tessaryvpn",
       "  [fail] runtime state           /run/tessaryvpn does not have root-owned 0700 "
       "permissions\n"},
      {"mkdir -m 0700 /run/tessaryvpn.real && ln -s /run/tessaryvpn.real /run/tessaryvpn",
       "  [fail] runtime state           /run/tessaryvpn is not a directory\n"},
      {"touch /run/tessaryvpn",
       "  [fail] runtime state           /run/tessaryvpn is not a directory\n"},
  };
  for (const auto& c : cases) {
    InstallCompleteRuntime();
    ASSERT_EQ(Sh(c.script).status, 0) << c.script;
    const CommandResult result = Ctl({"doctor"});
    EXPECT_EQ(Row(result.out, "runtime state"), c.row) << c.script;
    EXPECT_EQ(result.status, c.row[3] == 'f' ? 1 : 0) << c.script;
  }
}

TEST_F(CtlSandbox, DoctorMatchesTheKillSwitchTableWithTheStage) {
  const std::string connected = "  [ ok ] connection              connected\n";
  const std::string disconnected = "  [ ok ] connection              disconnected\n";
  struct Case {
    const char* what;
    std::vector<std::string> service;
    const char* setup;
    std::string rows;  // from "connection" to the end of the section
    int status;
  };
  const std::vector<Case> cases = {
      {"connected without a table",
       {"--stage", "connected"},
       "true",
       connected + kRuntimeAbsent +
           "  [ ok ] kill switch             the connection was started without leak protection\n",
       0},
      {"connected with its table",
       {"--stage", "connected"},
       "nft add table inet tessaryvpn",
       connected + kRuntimeAbsent +
           "  [ ok ] kill switch             the leak-protection table is active for this tunnel\n",
       0},
      {"an engine that died, its table left in place",
       {"--stage", "error", "--last-error", "Sing-box exited unexpectedly."},
       "nft add table inet tessaryvpn",
       std::string("  [warn] connection              error\n"
                   "  [warn] last error              Sing-box exited unexpectedly.\n") +
           kRuntimeAbsent + kLeftoverTable,
       1},
      {"a table of another family is not the kill switch",
       {},
       "nft add table ip tessaryvpn",
       disconnected + kRuntimeAbsent + kRootKillSwitch,
       0},
      {"nft that cannot list",
       {},
       "printf '#!/bin/sh\\nexit 1\\n' > /usr/sbin/nft",
       disconnected + kRuntimeAbsent +
           "  [warn] kill switch             the nftables ruleset could not be inspected on this "
           "machine\n",
       0},
      {"nft not executable",
       {"--stage", "connected"},
       "chmod 0644 /usr/sbin/nft",
       connected + kRuntimeAbsent +
           "  [warn] kill switch             /usr/sbin/nft is missing, so the kill switch cannot "
           "be applied\n",
       1},
  };
  for (const auto& c : cases) {
    InstallCompleteRuntime();
    StandInService service(c.service);
    ASSERT_TRUE(service.up()) << c.what;
    ASSERT_EQ(Sh(c.setup).status, 0) << c.what;
    const CommandResult result = Ctl({"doctor"});
    const size_t from = result.out.find(c.rows.substr(0, 40));
    const size_t to = result.out.rfind("\nResult: ");
    ASSERT_NE(from, std::string::npos) << c.what << "\n" << result.out;
    ASSERT_NE(to, std::string::npos) << c.what << "\n" << result.out;
    EXPECT_EQ(result.out.substr(from, to - from), c.rows) << c.what;
    EXPECT_EQ(result.status, c.status) << c.what;
  }
}

TEST_F(CtlSandbox, DoctorReportsServiceFailuresWithoutRemoteErrorNames) {
  {
    StandInService service({"--fail", std::string("GetRuntimeInfo=") +
                                          linux_service::kErrorShuttingDown +
                                          ":The TessaryVPN "
                                          "service is shutting down."});
    ASSERT_TRUE(service.up());
    const CommandResult result = Ctl({"doctor"}, /*asNobody=*/true);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.substr(result.out.find("\nService\n")),
              std::string("\nService\n") +
                  "  [fail] service                 org.tessaryvpn.Service1 did not answer: The "
                  "TessaryVPN service is shutting down.\n" +
                  kRuntimeAbsent + kUserKillSwitch +
                  "\nResult: 21 passed, 0 warning(s), 1 failure(s).\n" + kRepair);
  }
  {
    StandInService service({"--ready", "0", "--summary", "", "--fail",
                            std::string("GetConnectionSnapshot=") +
                                linux_service::kErrorShuttingDown +
                                ":The "
                                "TessaryVPN service is shutting down."});
    ASSERT_TRUE(service.up());
    const CommandResult result = Ctl({"doctor"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out.substr(result.out.find("\nService\n")),
              std::string("\nService\n") + kServiceAnswered +
                  "  [fail] engines                 no runtime summary was reported\n"
                  "  [fail] connection              The TessaryVPN service is shutting down.\n" +
                  kRuntimeAbsent + kRootKillSwitch +
                  "\nResult: 22 passed, 0 warning(s), 2 failure(s).\n" + kRepair);
  }
  {
    const CommandResult result =
        Sh("DBUS_SYSTEM_BUS_ADDRESS=unix:path=/run/sandbox/no-bus /usr/bin/tessaryvpnctl doctor");
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(Row(result.out, "system D-Bus").rfind("  [fail] system D-Bus            ", 0), 0u)
        << result.out;
    EXPECT_EQ(Row(result.out, "service"), "");
    EXPECT_EQ(Row(result.out, "kill switch"), kRootKillSwitch);
  }
}

// ---- installed documentation ------------------------------------------------

TEST_F(CtlSandbox, InstallationShipsCompletionAndManualPage) {
  ASSERT_EQ(Sh("mkdir -p /run/sandbox/profiles && cd /run/sandbox/profiles && "
               "touch 'my profile.conf' plain.conf")
                .status,
            0);
  struct Case {
    const char* words;    // the command line so far, the last word being completed
    const char* offered;  // the replies, joined by "|"
  };
  const std::vector<Case> cases = {
      {"tessaryvpnctl ''",
       "status|runtime|capabilities|network|permission|doctor|keygen|"
       "disconnect|connect|monitor|help|--help|--version"},
      {"tessaryvpnctl d", "doctor|disconnect"},
      {"tessaryvpnctl connect ''", "--id|--protocol|--config|--kill-switch|--wait"},
      {"tessaryvpnctl connect --id office --config /x --wait 30 -", "--protocol|--kill-switch"},
      {"tessaryvpnctl connect --protocol wire", "wireGuard"},
      {"tessaryvpnctl connect --protocol open", "openVpn|openvpn-tcp|openvpn-udp"},
      {"tessaryvpnctl status ''", "--json"},
      {"tessaryvpnctl monitor --json ''", ""},
      {"tessaryvpnctl keygen ''", ""},
      // A file name with a blank is one reply, also once readline has
      // inserted it escaped or quoted.
      {"tessaryvpnctl connect --config /run/sandbox/profiles/my",
       "/run/sandbox/profiles/my profile.conf"},
      {"tessaryvpnctl connect --config '/run/sandbox/profiles/my\\ p'",
       "/run/sandbox/profiles/my profile.conf"},
      {"tessaryvpnctl connect --config \"'/run/sandbox/profiles/my p\"",
       "/run/sandbox/profiles/my profile.conf"},
  };
  for (const auto& c : cases) {
    const CommandResult result =
        test::Run({"/bin/bash", "-c",
                   std::string("source /usr/share/bash-completion/completions/tessaryvpnctl; "
                               "COMP_WORDS=(") +
                       c.words +
                       "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _tessaryvpnctl; IFS='|'; "
                       "echo \"${COMPREPLY[*]}\""});
    EXPECT_EQ(result.status, 0) << c.words << ": " << result.err;
    EXPECT_EQ(result.out, std::string(c.offered) + "\n") << c.words;
  }

  const CommandResult man =
      Sh("MANWIDTH=100 man -l /usr/share/man/man1/tessaryvpnctl.1 2>&1 | col -b");
  EXPECT_EQ(man.status, 0) << man.err;
  for (const char* part :
       {"tessaryvpnctl connect --id ID --protocol PROTOCOL --config FILE", "status", "runtime",
        "capabilities", "network", "permission", "keygen", "disconnect", "--wait", "--kill-switch",
        "monitor", "--json", "DOCTOR REPORT", "EXIT STATUS", "EXAMPLES", "journalctl",
        "Result: P passed"}) {
    EXPECT_NE(man.out.find(part), std::string::npos) << part;
  }
}

}  // namespace
}  // namespace tessary::test
