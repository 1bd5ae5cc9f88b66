// tessaryvpnctl against the real installed service on the sandbox's bus: what
// root and an unprivileged user see for each command, the service's refusals
// as printed by the tool, and the doctor report of a running installation.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/constants.h"
#include "tests/sandbox/sandbox_util.h"
#include "tests/scenario_support.h"

namespace tessary::test {
namespace {

constexpr char kCtl[] = "/usr/bin/tessaryvpnctl";
constexpr char kNotAuthorized[] =
    "TessaryVPN service call failed: Authorization to manage the VPN was denied.\n";
constexpr char kBusy[] =
    "TessaryVPN service call failed: Another VPN engine operation is already in progress.\n";

CommandResult Ctl(std::vector<std::string> args, bool asNobody = false) {
  args.insert(args.begin(), kCtl);
  if (asNobody) {
    args.insert(args.begin(),
                {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--"});
  }
  return Run(args);
}

std::string Architecture() {
  const std::string machine = Sh("uname -m").out;
  if (machine == "x86_64\n") return "amd64";
  if (machine == "aarch64\n") return "arm64";
  return machine.substr(0, machine.size() - 1);
}

// The packaged part of the installation that `cmake --install` cannot make:
// the desktop application, and engines that pass "check" and then run
// without ever making a tunnel, so a connect stays in progress for a while.
void CompleteInstallation() {
  const CommandResult setup =
      Sh("set -e\n"
         "mkdir -p /opt/tessaryvpn\n"
         "printf '#!/bin/sh\\nexit 0\\n' > /opt/tessaryvpn/TessaryVPN\n"
         "chmod 0755 /opt/tessaryvpn/TessaryVPN\n"
         "cd /usr/libexec/tessaryvpn\n"
         "printf '#!/bin/sh\\n[ \"$1\" = check ] && exit 0\\nexec sleep 600\\n' > sing-box\n"
         "printf '#!/bin/sh\\nexec sleep 600\\n' > xray\n"
         "printf 'geoip data\\n' > geoip.dat\n"
         "printf 'geosite data\\n' > geosite.dat\n"
         "chmod 0755 sing-box xray && chmod 0644 geoip.dat geosite.dat\n"
         "printf '%s\\n' '" +
         Architecture() +
         "' > runtime.architecture\n"
         "sha256sum runtime.architecture sing-box xray geoip.dat geosite.dat > SHA256SUMS\n");
  ASSERT_EQ(setup.status, 0) << setup.err;
}

constexpr char kWireGuardProfile[] =
    "[Interface]\n"
    "PrivateKey = yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=\n"
    "Address = 10.8.0.2/32\n"
    "DNS = 192.0.2.53\n"
    "\n"
    "[Peer]\n"
    "PublicKey = xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=\n"
    "Endpoint = 203.0.113.10:51820\n"
    "AllowedIPs = 0.0.0.0/0, ::/0\n";
constexpr char kProfilePath[] = "/run/sandbox/office.conf";

// The first group of `pattern` in `text`, or "" when it does not match.
std::string Capture(const char* pattern, const std::string& text) {
  g_autoptr(GRegex) regex = g_regex_new(pattern, G_REGEX_DEFAULT, G_REGEX_MATCH_DEFAULT, nullptr);
  g_autoptr(GMatchInfo) match = nullptr;
  if (regex == nullptr || !g_regex_match(regex, text.c_str(), G_REGEX_MATCH_DEFAULT, &match)) {
    return "";
  }
  g_autofree gchar* group = g_match_info_fetch(match, 1);
  return group != nullptr ? group : "";
}

std::string Stage() { return Capture("'stage': <'([a-z]+)'>", Ctl({"status"}).out); }

std::string ServiceLog() { return scenario::ReadText("/run/sandbox/service.log"); }

// "tessaryvpnctl monitor" in the background, writing to `path`. Returns once
// it prints what the service says (the pid), or -1.
int StartMonitor(const std::string& path) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0 || dup2(fd, 1) < 0) _exit(127);
    execl(kCtl, kCtl, "monitor", static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid < 0) return -1;
  // Its subscription is in place once an Initialize shows up in its output.
  GDBusConnection* bus = NewSystemBus();
  bool listening = false;
  for (int attempt = 0; attempt < 20 && !listening && bus != nullptr; ++attempt) {
    GVariant* reply = CallService(bus, "Initialize", nullptr);
    if (reply != nullptr) g_variant_unref(reply);
    listening = WaitUntil(
        [&] { return scenario::ReadText(path).find("SnapshotChanged ") != std::string::npos; },
        std::chrono::milliseconds(500));
  }
  if (bus != nullptr) g_object_unref(bus);
  if (!listening) {
    StopService(pid, SIGKILL);
    return -1;
  }
  return pid;
}

class CtlService : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    RequireSandbox();
    CompleteInstallation();
    pid_ = StartService();
    ASSERT_GT(pid_, 0) << "the installed service did not come up";
  }
  static void TearDownTestSuite() {
    if (pid_ > 0) StopService(pid_);
  }
  static int pid_;
};
int CtlService::pid_ = -1;

TEST_F(CtlService, PermissionIsTrueForRootAndFalseForAnUnprivilegedUser) {
  CommandResult result = Ctl({"permission"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "true\n");
  result = Ctl({"permission", "please"}, /*asNobody=*/true);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "false\n");
  EXPECT_EQ(result.err, "");
}

TEST_F(CtlService, AnUnprivilegedUserIsRefusedWithTheServiceMessage) {
  ASSERT_TRUE(g_file_set_contents(kProfilePath, kWireGuardProfile, -1, nullptr));
  const std::vector<std::vector<std::string>> commands = {
      {"disconnect"},
      {"keygen"},
      {"connect", "--id", "office", "--protocol", "wireGuard", "--config", kProfilePath},
  };
  for (const auto& args : commands) {
    const CommandResult result = Ctl(args, /*asNobody=*/true);
    EXPECT_EQ(result.status, 1) << args[0];
    EXPECT_EQ(result.out, "") << args[0];
    EXPECT_EQ(result.err, kNotAuthorized) << args[0];
  }
  EXPECT_EQ(Stage(), "disconnected");
  // The administrator learns who was refused, and why, from the log.
  for (const char* method : {"Disconnect", "GenerateWireGuardKeyPair", "Connect"}) {
    const std::string line = std::string("Refused ") + method +
                             " from uid 65534: Authorization to manage the VPN was denied.";
    EXPECT_TRUE(WaitUntil([&] { return ServiceLog().find(line) != std::string::npos; },
                          std::chrono::seconds(10)))
        << line << "\n"
        << ServiceLog();
  }
  EXPECT_EQ(ServiceLog().find("PrivateKey"), std::string::npos);
}

TEST_F(CtlService, RootGeneratesKeysAndDisconnects) {
  CommandResult result = Ctl({"keygen"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_NE(
      Capture(
          R"(^(\{'privateKey': <'[A-Za-z0-9+/]{43}='>, 'publicKey': <'[A-Za-z0-9+/]{43}='>\}\n)$)",
          result.out),
      "")
      << result.out;

  result = Ctl({"disconnect", "extra"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "ok\n");
  EXPECT_TRUE(WaitUntil([] { return Stage() == "disconnected"; }, std::chrono::seconds(20)));
}

TEST_F(CtlService, ConnectPrintsOkAndASecondConnectIsBusy) {
  ASSERT_TRUE(g_file_set_contents(kProfilePath, kWireGuardProfile, -1, nullptr));
  // A wg-quick that takes its time bringing the tunnel up (and then fails)
  // keeps the first connect in progress long enough to meet the second.
  ASSERT_EQ(Sh("cp -a /usr/bin/wg-quick /run/sandbox/wg-quick.orig && "
               "printf '#!/bin/sh\\n[ \"$1\" = up ] && sleep 4 && exit 1\\nexit 0\\n' "
               "> /usr/bin/wg-quick")
                .status,
            0);
  const std::vector<std::string> connect = {"connect",   "--id",     "office",    "--protocol",
                                            "wireGuard", "--config", kProfilePath};
  CommandResult result = Ctl(connect);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "ok\n");
  result = Ctl(connect);
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, kBusy);

  // An invalid profile is refused for what it is, not for being busy.
  result =
      Ctl({"connect", "--id", "office", "--protocol", "carrierPigeon", "--config", kProfilePath});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err,
            "TessaryVPN service call failed: This Linux build does not recognize the selected "
            "VPN protocol.\n");
  EXPECT_TRUE(WaitUntil(
      [] {
        return ServiceLog().find(
                   "Refused Connect from uid 0: This Linux build does not "
                   "recognize the selected VPN protocol.") != std::string::npos;
      },
      std::chrono::seconds(10)))
      << ServiceLog();

  // The tunnel never comes up: the service reports the error stage, and so
  // does the doctor, with the service's own message.
  ASSERT_TRUE(WaitUntil([] { return Stage() == "error"; }, std::chrono::seconds(30)))
      << Ctl({"status"}).out;
  const std::string status = Ctl({"status"}).out;
  const std::string lastError = Capture("'lastError': <'([^']+)'>", status);
  ASSERT_NE(lastError, "") << status;
  result = Ctl({"doctor"});
  EXPECT_EQ(result.status, 0);
  const size_t rows = result.out.find("  [warn] connection");
  ASSERT_NE(rows, std::string::npos) << result.out;
  EXPECT_EQ(result.out.substr(rows),
            "  [warn] connection              error\n"
            "  [warn] last error              " +
                lastError +
                "\n"
                "  [ ok ] runtime state           /run/tessaryvpn is root-owned and 0700\n"
                "  [ ok ] kill switch             no leak-protection table is installed while "
                "disconnected\n"
                "\n"
                "Result: 23 passed, 2 warning(s), 0 failure(s).\n");

  result = Ctl({"disconnect"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "ok\n");
  EXPECT_TRUE(WaitUntil([] { return Stage() == "disconnected"; }, std::chrono::seconds(40)))
      << Ctl({"status"}).out;
  EXPECT_EQ(Sh("cp -a /run/sandbox/wg-quick.orig /usr/bin/wg-quick").status, 0);
}

TEST_F(CtlService, ConnectWaitsForTheOutcomeAndMonitorShowsIt) {
  ASSERT_TRUE(WaitUntil([] { return Stage() == "disconnected"; }, std::chrono::seconds(40)));
  const CommandResult engines = Sh(scenario::SourceDir() + "/tests/standins/install-engines");
  ASSERT_EQ(engines.status, 0) << engines.err;
  constexpr char kSingBoxPath[] = "/run/sandbox/office.json";
  ASSERT_TRUE(g_file_set_contents(kSingBoxPath, scenario::kSingBoxProfile, -1, nullptr));
  const std::string monitorPath = "/run/sandbox/monitor.out";
  const int monitor = StartMonitor(monitorPath);
  ASSERT_GT(monitor, 0);
  const std::vector<std::string> connect = {"connect", "--id",         "office",     "--protocol",
                                            "singBox", "--config",     kSingBoxPath, "--wait",
                                            "60",      "--kill-switch"};

  // Waits for the tunnel, with the kill switch asked for and in place.
  CommandResult result = Ctl(connect);
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "connected\n");
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(scenario::KillSwitchTablePresent());
  EXPECT_EQ(Ctl({"disconnect"}).out, "ok\n");
  ASSERT_TRUE(WaitUntil([] { return Stage() == "disconnected"; }, std::chrono::seconds(40)));
  EXPECT_FALSE(scenario::KillSwitchTablePresent());

  // An engine that gives up: the reason is printed, and it is in the log at
  // the error priority.
  ASSERT_TRUE(g_file_set_contents(scenario::kStandinMode, "exit-at-once", -1, nullptr));
  result = Ctl(connect);
  ASSERT_EQ(unlink(scenario::kStandinMode), 0);
  const std::string lastError = Capture("'lastError': <'([^']+)'>", Ctl({"status"}).out);
  ASSERT_NE(lastError, "");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "TessaryVPN connection failed: " + lastError + "\n");
  const std::string log = ServiceLog();
  const size_t failure = log.find(": Sing-box connection failed. " + lastError + "\n");
  ASSERT_NE(failure, std::string::npos) << log;
  const size_t lineStart = log.rfind('\n', failure) + 1;
  EXPECT_NE(log.substr(lineStart, failure - lineStart).find("CRITICAL"), std::string::npos)
      << log.substr(lineStart);
  EXPECT_EQ(Ctl({"disconnect"}).out, "ok\n");
  ASSERT_TRUE(WaitUntil([] { return Stage() == "disconnected"; }, std::chrono::seconds(40)));

  // The monitor saw it all in order, and stops cleanly when interrupted. It
  // prints the signals in its own time, so the last of them is waited for.
  EXPECT_TRUE(WaitUntil(
      [&] {
        const std::string text = scenario::ReadText(monitorPath);
        const size_t error = text.find("SnapshotChanged {'stage': <'error'>");
        return error != std::string::npos &&
               text.find("'VPN tunnel disconnected.'", error) != std::string::npos;
      },
      std::chrono::seconds(40)));
  EXPECT_EQ(StopService(monitor, SIGINT), 0);
  const std::string seen = scenario::ReadText(monitorPath);
  size_t at = 0;
  for (const std::string& line :
       {std::string("SnapshotChanged {'stage': <'preparing'>, 'activeProfileId': <'office'>}\n"),
        std::string("LogEmitted {'level': <'info'>, 'message': <'Kill switch active for this "
                    "tunnel.'>"),
        std::string("SnapshotChanged {'stage': <'connected'>, 'activeProfileId': <'office'>, "
                    "'connectedAtEpochMillis': <int64 "),
        std::string("SnapshotChanged {'stage': <'disconnected'>}\n"),
        std::string("SnapshotChanged {'stage': <'error'>, 'activeProfileId': <'office'>, "
                    "'lastError': <'") +
            lastError + "'>}\n",
        std::string("LogEmitted {'level': <'info'>, 'message': <'VPN tunnel disconnected.'>")}) {
    const size_t found = seen.find(line, at);
    ASSERT_NE(found, std::string::npos) << line << "\nin\n" << seen;
    at = found + line.size();
  }
  CompleteInstallation();
}

TEST_F(CtlService, DoctorOnARunningInstallation) {
  ASSERT_TRUE(WaitUntil([] { return Stage() == "disconnected"; }, std::chrono::seconds(40)));
  ASSERT_EQ(Sh("rm -rf /run/tessaryvpn").status, 0);
  const std::string installed =
      "TessaryVPN Linux diagnostics\n"
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
      "  [ ok ] D-Bus policy            /usr/share/dbus-1/system.d/org.tessaryvpn.Service1.conf\n"
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
      "  [ ok ] iproute2                /usr/sbin/ip\n"
      "  [ ok ] systemd-resolved        /usr/bin/resolvectl\n"
      "  [ ok ] TUN device              /dev/net/tun\n"
      "\n"
      "Service\n"
      "  [ ok ] service                 org.tessaryvpn.Service1 answered on the system bus\n"
      "  [ ok ] engines                 Sing-box ready; Xray ready; WireGuard ready; OpenVPN "
      "ready\n"
      "  [ ok ] connection              disconnected\n"
      "  [ ok ] runtime state           /run/tessaryvpn is absent while disconnected\n";
  CommandResult result = Ctl({"doctor"}, /*asNobody=*/true);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, installed +
                            "  [ ok ] kill switch             rule inspection needs root; run "
                            "`sudo tessaryvpnctl doctor`\n"
                            "\n"
                            "Result: 24 passed, 0 warning(s), 0 failure(s).\n");

  // A table left behind while the service is idle: root is told to disconnect.
  ASSERT_EQ(Sh("nft add table inet tessaryvpn").status, 0);
  result = Ctl({"doctor"});
  Sh("nft delete table inet tessaryvpn");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, installed +
                            "  [fail] kill switch             a leak-protection table is installed "
                            "without a tunnel; run `tessaryvpnctl disconnect` to restore the "
                            "network\n"
                            "\n"
                            "Result: 23 passed, 0 warning(s), 1 failure(s).\n"
                            "Repair the TessaryVPN installation, then run `tessaryvpnctl doctor` "
                            "again.\n");
}

}  // namespace
}  // namespace tessary::test
