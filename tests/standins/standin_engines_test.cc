// The stand-in engines are only worth something if they behave like the real
// ones where the service looks: these stories run each of them on a
// configuration that the real normalization produced from a public profile,
// on the raw profile, and in each misbehaving mode.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/constants.h"
#include "service/config_normalization.h"
#include "tests/sandbox/sandbox_util.h"

namespace tessary::test {
namespace {

using namespace std::chrono_literals;
using linux_service::NormalizeSingBoxConfig;
using linux_service::NormalizeXrayConfig;

constexpr char kControl[] = "/run/tessaryvpn-standin";
constexpr char kModeFile[] = "/run/tessaryvpn-standin/mode";

std::string SourceDir() {
  const char* dir = getenv("TESSARY_SOURCE_DIR");
  return dir ? dir : "";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  ASSERT_TRUE(out.good()) << path;
}

std::string Corpus(const std::string& name) {
  const std::string text = ReadFile(SourceDir() + "/tests/data/normalize/" + name);
  EXPECT_FALSE(text.empty()) << name;
  return text;
}

bool LinkExists(const std::string& name) {
  struct stat st {};
  return stat(("/sys/class/net/" + name).c_str(), &st) == 0;
}

// True when `listing` has a line beginning "default" that names `device`.
bool HasDefault(const std::string& listing, const std::string& device) {
  std::istringstream lines(listing);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("default", 0) == 0 && line.find(" dev " + device) != std::string::npos)
      return true;
  }
  return false;
}
bool SingBoxRouted() {
  return HasDefault(Sh("ip -4 route show table 2022 default").out, "tessary-sbox0");
}
// Xray brings its link up and routes nothing; the service routes around it.
bool XrayRouted() {
  return (strtoul(ReadFile("/sys/class/net/tessary-xray0/flags").c_str(), nullptr, 16) & 1) != 0;
}

// A started engine; killed and reaped on destruction if still running.
struct Engine {
  pid_t pid = -1;
  int status = -1;  // exit status once reaped; 128 + signal when killed

  explicit Engine(const std::vector<std::string>& argv) {
    pid = fork();
    if (pid == 0) {
      // The service's launch environment: engine directory as working
      // directory and asset location, output discarded.
      if (chdir(linux_service::kAmneziaWgRuntimeDirectory) != 0) _exit(126);
      setenv("XRAY_LOCATION_ASSET", linux_service::kAmneziaWgRuntimeDirectory, 1);
      FILE* log = fopen("/run/sandbox/standin-output.log", "a");
      if (log) {
        dup2(fileno(log), 1);
        dup2(fileno(log), 2);
      }
      std::vector<char*> args;
      for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~Engine() {
    if (Running()) {
      kill(pid, SIGKILL);
      Wait(5s);
    }
  }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  bool Running() {
    if (pid <= 0 || status != -1) return false;
    int raw = 0;
    const pid_t done = waitpid(pid, &raw, WNOHANG);
    if (done != pid) return true;
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return false;
  }
  // Waits until the process has ended; false when it is still running.
  bool Wait(std::chrono::milliseconds timeout) {
    return WaitUntil([this] { return !Running(); }, timeout);
  }
};

class StandinEngines : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    RequireSandbox();
    const CommandResult install = Sh(SourceDir() + "/tests/standins/install-engines");
    ASSERT_EQ(install.status, 0) << install.err;
  }
  void SetUp() override {
    unlink(kModeFile);
    mkdir(linux_service::kRuntimeDirectory, 0700);
    std::string error;
    ASSERT_TRUE(NormalizeSingBoxConfig(
        "vless", Corpus("box-for-magisk-1.12-tun-auto-redirect-log-file-clash-api.json"), &singBox,
        &error))
        << error;
    ASSERT_TRUE(NormalizeXrayConfig(Corpus("xray-tun-vmess-ws-client.json"), &xray, &error))
        << error;
    WriteFile(linux_service::kSingBoxConfig, singBox);
    WriteFile(linux_service::kXrayConfig, xray);
  }
  void TearDown() override { unlink(kModeFile); }

  static std::vector<std::string> SingBoxRun() {
    return {linux_service::kSingBoxBinary, "run", "-c", linux_service::kSingBoxConfig,
            "--disable-color"};
  }
  static std::vector<std::string> XrayRun() {
    return {linux_service::kXrayBinary, "run", "-config", linux_service::kXrayConfig};
  }

  std::string singBox;
  std::string xray;
};

TEST_F(StandinEngines, SingBoxRunsTheNormalizedProfileUntilSigterm) {
  const CommandResult check =
      test::Run({linux_service::kSingBoxBinary, "check", "-c", linux_service::kSingBoxConfig});
  EXPECT_EQ(check.status, 0) << check.err;

  Engine engine(SingBoxRun());
  ASSERT_TRUE(WaitUntil([] { return LinkExists("tessary-sbox0") && SingBoxRouted(); }, 10s));
  const std::string addresses = Sh("ip address show dev tessary-sbox0").out;
  EXPECT_NE(addresses.find("inet 172.19.0.1/30"), std::string::npos) << addresses;
  EXPECT_NE(addresses.find("inet6 fdfe:dcba:9876::1/126"), std::string::npos) << addresses;
  EXPECT_NE(addresses.find(",UP"), std::string::npos) << addresses;
  // The route lives in the engine's table only; the main table stays usable.
  EXPECT_FALSE(HasDefault(Sh("ip -4 route show table main").out, "tessary-sbox0"));
  EXPECT_TRUE(engine.Running());

  kill(engine.pid, SIGTERM);
  ASSERT_TRUE(engine.Wait(8s));
  EXPECT_EQ(engine.status, 0);
  EXPECT_FALSE(LinkExists("tessary-sbox0"));
  EXPECT_FALSE(SingBoxRouted());
  EXPECT_NE(ReadFile(std::string(kControl) + "/sing-box.log")
                .find("argv=/usr/libexec/tessaryvpn/sing-box run -c /run/tessaryvpn/sing-box.json "
                      "--disable-color\ncwd=/usr/libexec/tessaryvpn\n"),
            std::string::npos);
}

TEST_F(StandinEngines, XrayRunsTheNormalizedProfileUntilSigterm) {
  Engine engine(XrayRun());
  ASSERT_TRUE(WaitUntil([] { return LinkExists("tessary-xray0") && XrayRouted(); }, 10s));
  // Like the real Xray: no address beyond the kernel's link-local one, and
  // no route of its own.
  const std::string addresses = Sh("ip address show dev tessary-xray0 scope global").out;
  EXPECT_EQ(addresses.find("inet"), std::string::npos) << addresses;
  EXPECT_FALSE(HasDefault(Sh("ip -4 route show table all").out, "tessary-xray0"));

  kill(engine.pid, SIGTERM);
  ASSERT_TRUE(engine.Wait(8s));
  EXPECT_EQ(engine.status, 0);
  EXPECT_FALSE(LinkExists("tessary-xray0"));
  EXPECT_FALSE(XrayRouted());
  EXPECT_NE(ReadFile(std::string(kControl) + "/xray.log")
                .find("XRAY_LOCATION_ASSET=/usr/libexec/tessaryvpn\n"),
            std::string::npos);
}

TEST_F(StandinEngines, RawProfilesAndBrokenInstallationsAreRefused) {
  // A normalized configuration whose inbound was never a TUN inbound gets no
  // tunnel, and neither does one with route rules besides the service's two.
  std::string dokodemo;
  std::string error;
  ASSERT_TRUE(NormalizeXrayConfig(
      Corpus("box-for-magisk-xray-tproxy-dokodemo-dns-hosts-vmess-ws.json"), &dokodemo, &error))
      << error;
  std::string extraRules = singBox;
  const auto at = extraRules.find(R"({"action":"sniff"})");
  ASSERT_NE(at, std::string::npos);
  extraRules.insert(at, R"({"outbound":"direct"},{"outbound":"direct"},)");

  struct Case {
    const char* name;
    bool singBoxEngine;
    std::string config;
  };
  const Case cases[] = {
      {"sing-box raw profile", true,
       Corpus("box-for-magisk-1.12-tun-auto-redirect-log-file-clash-api.json")},
      {"sing-box with extra route rules", true, extraRules},
      {"xray raw profile", false, Corpus("xray-tun-vmess-ws-client.json")},
      {"xray without a tun inbound", false, dokodemo},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const char* file = c.singBoxEngine ? linux_service::kSingBoxConfig : linux_service::kXrayConfig;
    WriteFile(file, c.config);
    if (c.singBoxEngine) {
      EXPECT_NE(test::Run({linux_service::kSingBoxBinary, "check", "-c", file}).status, 0);
    }
    Engine engine(c.singBoxEngine ? SingBoxRun() : XrayRun());
    ASSERT_TRUE(engine.Wait(5s));
    EXPECT_NE(engine.status, 0);
    EXPECT_FALSE(LinkExists(c.singBoxEngine ? "tessary-sbox0" : "tessary-xray0"));
  }

  // Xray needs its data files where XRAY_LOCATION_ASSET points.
  WriteFile(linux_service::kXrayConfig, xray);
  ASSERT_EQ(unlink(linux_service::kXrayGeoSite), 0);
  {
    Engine engine(XrayRun());
    ASSERT_TRUE(engine.Wait(5s));
    EXPECT_NE(engine.status, 0);
    EXPECT_FALSE(LinkExists("tessary-xray0"));
  }
  WriteFile(linux_service::kXrayGeoSite, "");
}

TEST_F(StandinEngines, MisbehavingModesDoWhatTheirNamesSay) {
  struct Case {
    const char* engine;
    std::vector<std::string> argv;
    const char* link;
    bool (*routed)();
  };
  const Case engines[] = {
      {"sing-box", SingBoxRun(), "tessary-sbox0", SingBoxRouted},
      {"xray", XrayRun(), "tessary-xray0", XrayRouted},
  };
  for (const auto& e : engines) {
    SCOPED_TRACE(e.engine);
    const std::string link = e.link;

    // The check is sing-box's alone; in this mode it fails even for the
    // normalized configuration, while "run" is unaffected.
    WriteFile(kModeFile, "reject-check\n");
    if (e.argv[0] == linux_service::kSingBoxBinary) {
      EXPECT_EQ(
          test::Run({linux_service::kSingBoxBinary, "check", "-c", linux_service::kSingBoxConfig})
              .status,
          1);
    }

    WriteFile(kModeFile, "exit-at-once\n");
    {
      Engine engine(e.argv);
      ASSERT_TRUE(engine.Wait(2s));
      EXPECT_NE(engine.status, 0);
      EXPECT_FALSE(LinkExists(link));
    }

    WriteFile(kModeFile, "no-route\n");
    {
      Engine engine(e.argv);
      ASSERT_TRUE(WaitUntil([&] { return LinkExists(link); }, 10s));
      // Longer than the stand-in needs to install routes in normal mode.
      std::this_thread::sleep_for(1500ms);
      EXPECT_FALSE(e.routed());
      EXPECT_TRUE(engine.Running());
      kill(engine.pid, SIGTERM);
      ASSERT_TRUE(engine.Wait(8s));
      EXPECT_EQ(engine.status, 0);
      EXPECT_FALSE(LinkExists(link));
    }

    WriteFile(kModeFile, "ignore-sigterm\n");
    {
      Engine engine(e.argv);
      ASSERT_TRUE(WaitUntil([&] { return LinkExists(link) && e.routed(); }, 10s));
      kill(engine.pid, SIGTERM);
      EXPECT_FALSE(engine.Wait(1500ms));
      EXPECT_TRUE(LinkExists(link));
      // Only SIGKILL ends it, and the tunnel goes with the process.
      kill(engine.pid, SIGKILL);
      ASSERT_TRUE(engine.Wait(5s));
      EXPECT_EQ(engine.status, 128 + SIGKILL);
      EXPECT_TRUE(WaitUntil([&] { return !LinkExists(link) && !e.routed(); }, 5s));
    }
  }
}

TEST_F(StandinEngines, RefuseToRunWithoutTheSandboxControlDirectory) {
  ASSERT_EQ(Sh(std::string("mv ") + kControl + " " + kControl + ".away").status, 0);
  const CommandResult awg =
      test::Run({linux_service::kAmneziaWgQuick, "up", linux_service::kWireGuardConfig});
  {
    Engine engine(SingBoxRun());
    ASSERT_TRUE(engine.Wait(5s));
    EXPECT_EQ(engine.status, 2);
  }
  ASSERT_EQ(Sh(std::string("mv ") + kControl + ".away " + kControl).status, 0);
  EXPECT_EQ(awg.status, 2);
  EXPECT_FALSE(LinkExists("tessary-sbox0"));
  EXPECT_FALSE(LinkExists("tessaryvpn"));
}

TEST_F(StandinEngines, AwgQuickBringsUpAnAmneziaProfileThroughWgQuickAndTheUserspaceEngine) {
  const std::string privateKey = Sh("wg genkey").out;
  const std::string peerKey = test::Run({"/usr/bin/wg", "pubkey"}, Sh("wg genkey").out).out;
  ASSERT_FALSE(privateKey.empty());
  ASSERT_FALSE(peerKey.empty());
  const std::string config =
      "[Interface]\nPrivateKey = " + privateKey +
      "Address = 198.51.100.2/32\nJc = 4\nJmin = 40\nJMAX = 70\nS1 = 0\nS2 = 0\n"
      "H1 = 1\nH2 = 2\nH3 = 3\nH4 = 4\ni1 = <b 0xf6ab>\n\n[Peer]\nPublicKey = " +
      peerKey + "Endpoint = 203.0.113.1:51820\nAllowedIPs = 0.0.0.0/0\n";
  WriteFile(linux_service::kWireGuardConfig, config);
  chmod(linux_service::kWireGuardConfig, 0600);

  // The plain wg-quick cannot read the AmneziaWG keys: the stripping matters.
  EXPECT_NE(test::Run({"/usr/bin/wg-quick", "up", linux_service::kWireGuardConfig}).status, 0);
  EXPECT_FALSE(LinkExists("tessaryvpn"));

  const std::string env =
      "env PATH=/usr/libexec/tessaryvpn:/usr/sbin:/usr/bin "
      "WG_QUICK_USERSPACE_IMPLEMENTATION=/usr/libexec/tessaryvpn/amneziawg-go ";
  const CommandResult up =
      Sh(env + linux_service::kAmneziaWgQuick + " up " + linux_service::kWireGuardConfig);
  ASSERT_EQ(up.status, 0) << up.err;
  EXPECT_TRUE(LinkExists("tessaryvpn"));
  EXPECT_TRUE(HasDefault(Sh("ip -4 route show table all").out, "tessaryvpn"));
  const CommandResult show =
      test::Run({linux_service::kAmneziaWgTool, "show", "tessaryvpn", "peers"});
  EXPECT_EQ(show.status, 0) << show.err;
  EXPECT_EQ(show.out, peerKey);

  const std::string log = ReadFile(std::string(kControl) + "/awg-quick.log");
  EXPECT_NE(log.find("argv=/usr/libexec/tessaryvpn/awg-quick up /run/tessaryvpn/tessaryvpn.conf\n"
                     "PATH=/usr/libexec/tessaryvpn:/usr/sbin:/usr/bin\n"
                     "WG_QUICK_USERSPACE_IMPLEMENTATION=/usr/libexec/tessaryvpn/amneziawg-go\n"),
            std::string::npos)
      << log;
  EXPECT_NE(ReadFile(std::string(kControl) + "/amneziawg-go.log")
                .find("argv=/usr/libexec/tessaryvpn/amneziawg-go tessaryvpn\n"),
            std::string::npos);
  // The stripped copy lived in a private directory that is gone again, and
  // the service's own file is unchanged.
  EXPECT_EQ(Sh(std::string("ls -d ") + kControl + "/awg-quick-copy.* 2>/dev/null").out, "");
  EXPECT_EQ(ReadFile(linux_service::kWireGuardConfig), config);

  const CommandResult down =
      Sh(env + linux_service::kAmneziaWgQuick + " down " + linux_service::kWireGuardConfig);
  EXPECT_EQ(down.status, 0) << down.err;
  EXPECT_TRUE(WaitUntil([] { return !LinkExists("tessaryvpn"); }, 5s));
  EXPECT_FALSE(HasDefault(Sh("ip -4 route show table all").out, "tessaryvpn"));
}

}  // namespace
}  // namespace tessary::test
