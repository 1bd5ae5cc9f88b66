// The engine runtime against a real machine: the sandbox's private /run,
// /usr overlay, links and routing tables. Runners, private files,
// availability, route checks and the supervision of a process engine (a
// stand-in OpenVPN that makes a real tun link and real routes).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "service/engine_runtime.cc"
#include "tests/sandbox/sandbox_util.h"

namespace tessary::linux_service {
namespace {

using tessary::test::CommandResult;
using tessary::test::Sh;

std::string Standin(const char* name) {
  const char* source = g_getenv("TESSARY_SOURCE_DIR");
  return std::string(source != nullptr ? source : ".") + "/tests/engine_runtime_standins/" + name;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

mode_t ModeOf(const char* path) {
  struct stat st {};
  return lstat(path, &st) == 0 ? (st.st_mode & 07777) : 0;
}

bool Exists(const char* path) {
  struct stat st {};
  return lstat(path, &st) == 0;
}

void MustSh(const std::string& script) {
  CommandResult result = Sh(script);
  ASSERT_EQ(result.status, 0) << script << "\n" << result.err;
}

// Every test starts from the installed tree and an empty /run/tessaryvpn, and
// puts back whatever it replaced in the overlay.
class EngineRuntimeSandbox : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tessary::test::RequireSandbox();
    MustSh(
        "mkdir -p /run/saved && cp -a /usr/bin/timeout /usr/sbin/ip /usr/sbin/openvpn /usr/bin/wg "
        "/usr/libexec/tessaryvpn-dns /run/saved/");
  }
  void SetUp() override {
    tessary::test::RequireSandbox();
    // Until the DNS helper is in the tree, its test stand-in answers "revert".
    MustSh("rm -rf /run/tessaryvpn /run/standin && mkdir -p /run/standin");
  }
  void TearDown() override {
    Sh("for l in tessaryvpn tun-tessaryvpn tessary-xray0 tessary-sbox0 uplink0; do "
       "/run/saved/ip link del $l 2>/dev/null; done; true");
    Sh("cp -a /run/saved/timeout /usr/bin/timeout; rm -f /usr/sbin/ip; cp -a /run/saved/ip "
       "/usr/sbin/ip; "
       "cp -a /run/saved/openvpn /usr/sbin/openvpn; cp -a /run/saved/wg /usr/bin/wg; "
       "rm -rf /usr/libexec/tessaryvpn /run/tessaryvpn /run/standin");
  }
};

// ---- runners -----------------------------------------------------------------

TEST_F(EngineRuntimeSandbox, RunnersRefuseToStartWithoutTimeout) {
  MustSh("rm /usr/bin/timeout");
  std::string error;
  EXPECT_FALSE(RunCommand({"/bin/touch", "/run/standin/started"}, &error));
  EXPECT_EQ(error, "The required coreutils timeout command is unavailable.");
  error.clear();
  EXPECT_FALSE(RunCommandWithEnvironment({"/bin/touch", "/run/standin/started"},
                                         AmneziaEnvironment(), &error));
  EXPECT_EQ(error, "The required coreutils timeout command is unavailable.");
  std::string output = "untouched";
  EXPECT_FALSE(CaptureCommand({"/bin/touch", "/run/standin/started"}, &output));
  EXPECT_EQ(output, "untouched");
  EXPECT_FALSE(Exists("/run/standin/started"));
  // A non-executable timeout counts as missing too.
  MustSh("cp -a /run/saved/timeout /usr/bin/timeout && chmod a-x /usr/bin/timeout");
  EXPECT_FALSE(RunCommand({"/bin/touch", "/run/standin/started"}, &error));
  EXPECT_EQ(error, "The required coreutils timeout command is unavailable.");
  EXPECT_FALSE(Exists("/run/standin/started"));
}

// ---- private files -------------------------------------------------------------

TEST_F(EngineRuntimeSandbox, PrivateFilesAreOwnerOnly) {
  MustSh("mkdir -m 0755 /run/tessaryvpn && install -m 0644 /dev/null /run/tessaryvpn/xray.json");
  std::string error;
  ASSERT_TRUE(WritePrivateFile(kXrayConfig, "{\"secret\": true}", &error)) << error;
  EXPECT_EQ(ModeOf(kRuntimeDirectory), 0700u);
  EXPECT_EQ(ModeOf(kXrayConfig), 0600u);
  EXPECT_EQ(ReadFile(kXrayConfig), "{\"secret\": true}");
  // Shorter content truncates the reused file.
  ASSERT_TRUE(WritePrivateFile(kXrayConfig, "{}", &error)) << error;
  EXPECT_EQ(ReadFile(kXrayConfig), "{}");
  ASSERT_TRUE(WritePrivateFile(kSingBoxConfig, "", &error)) << error;
  EXPECT_EQ(ModeOf(kSingBoxConfig), 0600u);
  EXPECT_EQ(ReadFile(kSingBoxConfig), "");
  EXPECT_TRUE(error.empty());
  // A missing directory is created with the owner-only mode.
  MustSh("rm -rf /run/tessaryvpn");
  ASSERT_TRUE(WritePrivateFile(kOpenVpnConfig, "client\n", &error)) << error;
  EXPECT_EQ(ModeOf(kRuntimeDirectory), 0700u);
}

TEST_F(EngineRuntimeSandbox, SymbolicLinksAndDirectoriesAreRefusedAndLeftAlone) {
  MustSh(
      "mkdir -m 0700 /run/tessaryvpn && echo keep > /run/standin/target && "
      "ln -s /run/standin/target /run/tessaryvpn/tessaryvpn.conf && "
      "mkdir /run/tessaryvpn/xray.json");
  std::string error;
  EXPECT_FALSE(WritePrivateFile(kWireGuardConfig, "PrivateKey = x\n", &error));
  EXPECT_EQ(error,
            std::string("Unable to create the private VPN configuration: ") + g_strerror(ELOOP));
  EXPECT_EQ(ReadFile("/run/standin/target"), "keep\n");
  EXPECT_EQ(Sh("readlink /run/tessaryvpn/tessaryvpn.conf").out, "/run/standin/target\n");

  error.clear();
  EXPECT_FALSE(SecureRemoveFile(kWireGuardConfig, &error));
  EXPECT_EQ(error,
            std::string("Unable to open private runtime data for removal: ") + g_strerror(ELOOP));
  EXPECT_EQ(Sh("readlink /run/tessaryvpn/tessaryvpn.conf").out, "/run/standin/target\n");
  EXPECT_EQ(ReadFile("/run/standin/target"), "keep\n");

  error.clear();
  EXPECT_FALSE(SecureRemoveFile(kXrayConfig, &error));
  EXPECT_EQ(error,
            std::string("Unable to open private runtime data for removal: ") + g_strerror(EISDIR));
  EXPECT_EQ(Sh("test -d /run/tessaryvpn/xray.json").status, 0);

  error = "untouched";
  EXPECT_TRUE(SecureRemoveFile(kSingBoxConfig, &error));
  EXPECT_EQ(error, "untouched");

  // A FIFO without a reader fails the open at once rather than blocking it.
  MustSh("mkfifo -m 0600 /run/tessaryvpn/openvpn.ovpn");
  EXPECT_FALSE(WritePrivateFile(kOpenVpnConfig, "client\n", &error));
  EXPECT_EQ(error,
            std::string("Unable to create the private VPN configuration: ") + g_strerror(ENXIO));
  EXPECT_EQ(Sh("test -p /run/tessaryvpn/openvpn.ovpn").status, 0);
}

TEST_F(EngineRuntimeSandbox, RemovalZeroesTheContentsBeforeUnlinking) {
  // A second hard link keeps the inode reachable after the unlink, so what the
  // removal left in it can be read back.
  std::string secret(10000, 's');
  secret += "PrivateKey = tail";
  std::string error;
  ASSERT_TRUE(WritePrivateFile(kWireGuardConfig, secret, &error)) << error;
  MustSh("ln /run/tessaryvpn/tessaryvpn.conf /run/standin/proof");
  ASSERT_TRUE(SecureRemoveFile(kWireGuardConfig, &error)) << error;
  EXPECT_FALSE(Exists(kWireGuardConfig));
  std::string left = ReadFile("/run/standin/proof");
  EXPECT_EQ(left, std::string(secret.size(), '\0'));

  ASSERT_TRUE(WritePrivateFile(kSingBoxConfig, "", &error)) << error;
  EXPECT_TRUE(SecureRemoveFile(kSingBoxConfig, &error)) << error;
  EXPECT_FALSE(Exists(kSingBoxConfig));
}

TEST_F(EngineRuntimeSandbox, RemoveConfigForEachEngine) {
  std::string error;
  const EngineKind kinds[] = {kSingBox, kXray, kWireGuard};
  const char* paths[] = {kSingBoxConfig, kXrayConfig, kWireGuardConfig};
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(WritePrivateFile(paths[i], "x", &error));
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(RemoveConfigFor(kinds[i], &error)) << error;
    EXPECT_FALSE(Exists(paths[i]));
  }
  EXPECT_TRUE(RemoveConfigFor(kUnsupported, &error));

  // The DNS helper that cannot revert keeps both OpenVPN files while the
  // interface exists; once it is gone there is nothing to revert.
  ASSERT_TRUE(WritePrivateFile(kOpenVpnConfig, "client\n", &error));
  ASSERT_TRUE(WritePrivateFile(kOpenVpnPid, "1\n", &error));
  MustSh("printf '#!/bin/sh\\nexit 1\\n' > /usr/libexec/tessaryvpn-dns");
  MustSh("ip tuntap add dev tun-tessaryvpn mode tun");
  EXPECT_FALSE(RemoveConfigFor(kOpenVpn, &error));
  EXPECT_EQ(error, "Unable to revert OpenVPN DNS state.");
  EXPECT_TRUE(Exists(kOpenVpnConfig));
  EXPECT_TRUE(Exists(kOpenVpnPid));
  MustSh("ip link del tun-tessaryvpn");
  EXPECT_TRUE(RemoveConfigFor(kOpenVpn, &error)) << error;
  EXPECT_FALSE(Exists(kOpenVpnConfig));
  EXPECT_FALSE(Exists(kOpenVpnPid));
  // Without the DNS helper the revert is skipped and both files go.
  ASSERT_TRUE(WritePrivateFile(kOpenVpnConfig, "client\n", &error));
  ASSERT_TRUE(WritePrivateFile(kOpenVpnPid, "1\n", &error));
  MustSh("ip tuntap add dev tun-tessaryvpn mode tun");
  MustSh("rm /usr/libexec/tessaryvpn-dns");
  error = "untouched";
  EXPECT_TRUE(RemoveConfigFor(kOpenVpn, &error)) << error;
  EXPECT_EQ(error, "untouched");
  EXPECT_FALSE(Exists(kOpenVpnConfig));
  EXPECT_FALSE(Exists(kOpenVpnPid));
}

// ---- availability ----------------------------------------------------------------

TEST_F(EngineRuntimeSandbox, Availability) {
  // Stand-in engines where the packages are missing; the rest is the real tree.
  MustSh(
      "mkdir -p /usr/libexec/tessaryvpn && cd /usr/libexec/tessaryvpn && "
      "install -m 0755 /bin/true sing-box && install -m 0755 /bin/true xray && "
      "echo geoip > geoip.dat && echo geosite > geosite.dat");
  EngineRuntime runtime;
  const struct {
    const char* name;
    const char* change;
    const char* summary;
  } cases[] = {
      {"everything installed (AmneziaWG tools absent)", "true",
       "Sing-box ready; Xray ready; WireGuard ready; OpenVPN ready"},
      {"geosite.dat missing", "rm /usr/libexec/tessaryvpn/geosite.dat",
       "Sing-box ready; Xray missing; WireGuard ready; OpenVPN ready"},
      {"geoip.dat only a link to a regular file",
       "mv /usr/libexec/tessaryvpn/geoip.dat /usr/libexec/tessaryvpn/real.dat && "
       "ln -s real.dat /usr/libexec/tessaryvpn/geoip.dat",
       "Sing-box ready; Xray missing; WireGuard ready; OpenVPN ready"},
      {"timeout removed", "rm /usr/bin/timeout",
       "Sing-box ready; Xray ready; WireGuard missing; OpenVPN missing"},
      {"DNS helper not executable", "chmod a-x /usr/libexec/tessaryvpn-dns",
       "Sing-box ready; Xray ready; WireGuard missing; OpenVPN missing"},
      {"wg missing", "rm /usr/bin/wg",
       "Sing-box ready; Xray ready; WireGuard missing; OpenVPN ready"},
      {"ip missing", "rm /usr/sbin/ip",
       "Sing-box missing; Xray missing; WireGuard missing; OpenVPN missing"},
      {"sing-box not executable", "chmod a-x /usr/libexec/tessaryvpn/sing-box",
       "Sing-box missing; Xray ready; WireGuard ready; OpenVPN ready"},
  };
  for (const auto& c : cases) {
    MustSh(std::string("cp -a /run/saved/timeout /usr/bin/ && cp -a /run/saved/ip /usr/sbin/ && "
                       "cp -a /run/saved/tessaryvpn-dns /usr/libexec/ && "
                       "chmod a+x /usr/libexec/tessaryvpn-dns && "
                       "cp -a /run/saved/openvpn /usr/sbin/ && cp -a /run/saved/wg /usr/bin/ && "
                       "cd /usr/libexec/tessaryvpn && chmod a+x sing-box && "
                       "rm -f geoip.dat real.dat && echo geoip > geoip.dat && "
                       "{ test -e geosite.dat || echo geosite > geosite.dat; } && ") +
           c.change);
    EXPECT_EQ(runtime.AvailabilitySummary(), c.summary) << c.name;
  }
  EXPECT_FALSE(runtime.IsAvailable(kUnsupported));
  EXPECT_FALSE(runtime.IsAvailable(static_cast<EngineKind>(7)));
  EXPECT_FALSE(Exists(kAmneziaWgQuick));
}

// ---- route checks ------------------------------------------------------------------

void MakeTun(const char* name) {
  MustSh(std::string("ip tuntap add dev ") + name + " mode tun && ip link set " + name + " up");
}

TEST_F(EngineRuntimeSandbox, FullRouteChecksReadTheRealTables) {
  MakeTun("tessaryvpn");
  MakeTun("tun-tessaryvpn");
  MakeTun("tessary-xray0");
  MakeTun("tessary-sbox0");
  MakeTun("uplink0");
  const EngineKind all[] = {kSingBox, kXray, kWireGuard, kOpenVpn};
  auto found = [&] {
    std::string flags;
    for (EngineKind kind : all) flags += HasFullRoute(kind) ? '1' : '0';
    return flags;
  };
  // Columns: sing-box, Xray, WireGuard, OpenVPN. The listing must show the
  // engine's default and the kernel's lookups must all take the tunnel (or
  // be refused): a private table counts only through a rule that uses it.
  const struct {
    const char* name;
    const char* routes;
    const char* expected;
  } cases[] = {
      {"no routes at all", "true", "0000"},
      {"a default route through another device never counts",
       "ip route add default dev uplink0 && ip -6 route add default dev uplink0", "0000"},
      {"WireGuard's default in a private table counts through its rule",
       "ip route add default dev tessaryvpn table 51820 && "
       "ip rule add priority 100 not fwmark 51820 table 51820",
       "0010"},
      {"a private table no rule uses is not where traffic goes",
       "ip route add default dev tessaryvpn table 51820 && ip route add default dev uplink0",
       "0000"},
      {"IPv6-only WireGuard counts",
       "ip -6 route add default dev tessaryvpn table 51820 && "
       "ip -6 rule add priority 100 table 51820",
       "0010"},
      {"IPv6 leaving by the uplink beside an IPv4 tunnel",
       "ip route add default dev tessaryvpn && ip -6 route add default dev uplink0", "0000"},
      {"IPv6 answered unreachable beside an IPv4 tunnel",
       "ip route add default dev tessaryvpn && ip -6 route add unreachable default", "0010"},
      {"tun-tessaryvpn's default is OpenVPN's, never WireGuard's",
       "ip route add default dev tun-tessaryvpn", "0001"},
      {"one split half is not enough", "ip route add 0.0.0.0/1 dev tun-tessaryvpn", "0000"},
      {"both split halves",
       "ip route add 0.0.0.0/1 dev tun-tessaryvpn && "
       "ip route add 128.0.0.0/1 dev tun-tessaryvpn",
       "0001"},
      {"a /10 is not the /1 half",
       "ip route add 0.0.0.0/10 dev tun-tessaryvpn && "
       "ip route add 128.0.0.0/1 dev tun-tessaryvpn",
       "0000"},
      {"a quarter by the uplink wins over the split halves",
       "ip route add 0.0.0.0/1 dev tun-tessaryvpn && "
       "ip route add 128.0.0.0/1 dev tun-tessaryvpn && ip route add 64.0.0.0/2 dev uplink0",
       "0000"},
      {"Xray with IPv4 only",
       "ip route add default dev tessary-xray0 table 9 && ip rule add priority 100 table 9",
       "0000"},
      {"Xray with both families",
       "ip route add default dev tessary-xray0 table 9 && "
       "ip -6 route add default dev tessary-xray0 table 9 && "
       "ip rule add priority 100 table 9 && ip -6 rule add priority 100 table 9",
       "0100"},
      {"sing-box in the main table only", "ip route add default dev tessary-sbox0", "0000"},
      {"sing-box in table 2022",
       "ip route add default dev tessary-sbox0 table 2022 && ip rule add priority 100 table 2022",
       "1000"},
  };
  for (const auto& c : cases) {
    MustSh(
        "ip -4 route flush table all; ip -6 route flush table all; "
        "while ip rule del priority 100 2>/dev/null; do :; done; "
        "while ip -6 rule del priority 100 2>/dev/null; do :; done; true");
    MustSh(c.routes);
    EXPECT_EQ(found(), c.expected) << c.name;
  }
  EXPECT_FALSE(HasFullRoute(kUnsupported));

  // A family the tunnel does not carry, blocked: it answers unreachable but
  // for the engine's server, and leaves again once the block is lifted.
  MustSh(
      "ip -4 route flush table all; ip -6 route flush table all; "
      "ip route add default dev tessaryvpn && ip -6 route add default dev uplink0");
  ASSERT_EQ(found(), "0000");
  std::string error;
  ASSERT_TRUE(BlockFamily(AF_INET6, 0, {"2001:db8::7", "192.0.2.7"}, &error)) << error;
  EXPECT_EQ(found(), "0010");
  EXPECT_NE(Sh("ip -6 route get 2001:db8::7").out.find("dev uplink0"), std::string::npos);
  EXPECT_NE(Sh("ip -6 route get 2001:db8::8").status, 0);
  EXPECT_EQ(Sh("ip -4 rule show | grep -c 192.0.2.7").out, "0\n");
  ASSERT_TRUE(LiftFamilyBlocks(&error)) << error;
  EXPECT_EQ(Sh("ip -6 rule show | grep -c -e unreachable -e 2001:db8::7").out, "0\n");
  EXPECT_EQ(found(), "0000");

  // /usr/sbin/ip is a link to /bin/ip: stand-ins replace the link, never
  // write through it.
  // With every route in place, an ip that fails, one that prints the routes
  // but fails, a hanging one and a missing timeout all read as no route.
  MustSh(
      "ip -4 route flush table all; ip -6 route flush table all; "
      "ip route add default dev tessaryvpn");
  ASSERT_EQ(found(), "0010");
  const char* brokenIp[] = {
      "rm /usr/sbin/ip && printf '#!/bin/sh\\nexit 1\\n' > /usr/sbin/ip && chmod +x /usr/sbin/ip",
      "rm /usr/sbin/ip && printf '#!/bin/sh\\n/run/saved/ip \"$@\"\\nexit 2\\n' > /usr/sbin/ip && "
      "chmod +x /usr/sbin/ip",
      "rm /usr/sbin/ip && printf '#!/bin/sh\\nexec sleep 30\\n' > /usr/sbin/ip && chmod +x "
      "/usr/sbin/ip",
      "rm /usr/bin/timeout",
  };
  for (const char* change : brokenIp) {
    MustSh(change);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(HasFullRoute(kWireGuard)) << change;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << change;
    MustSh(
        "rm -f /usr/sbin/ip && cp -a /run/saved/ip /usr/sbin/ip && cp -a /run/saved/timeout "
        "/usr/bin/timeout");
  }
  EXPECT_EQ(found(), "0010");
}

// ---- process engine supervision (stand-in OpenVPN) ------------------------------

const std::function<bool()> kNeverCancelled = [] { return false; };

void InstallOpenVpn(const char* mode) {
  MustSh("mkdir -p /usr/libexec/tessaryvpn && cp " + Standin("openvpn") +
         " /usr/sbin/openvpn && "
         "echo " +
         mode + " > /run/standin/mode");
}

int StandinPid() { return atoi(ReadFile(kOpenVpnPid).c_str()); }

bool PidAlive(int pid) {
  const std::vector<std::string> stat = tessary::test::ProcessStatFields(pid);
  return !stat.empty() && stat[0] != "Z";
}

TEST_F(EngineRuntimeSandbox, OpenVpnStartsSupervisedAndStops) {
  InstallOpenVpn("ok");
  EngineRuntime runtime;
  std::string error;
  const std::string profile = "client\ndev tun0\n<ca>\ndev tun5\n</ca>\nremote 192.0.2.1 1194\n";
  ASSERT_TRUE(runtime.Start(kOpenVpn, "openvpn", profile, kNeverCancelled, &error)) << error;
  EXPECT_TRUE(error.empty());
  EXPECT_EQ(runtime.kind, kOpenVpn);
  EXPECT_EQ(runtime.configPath, kOpenVpnConfig);
  ASSERT_NE(runtime.process, nullptr);
  EXPECT_EQ(ModeOf(kOpenVpnConfig), 0600u);
  EXPECT_EQ(ReadFile(kOpenVpnConfig),
            "client\ndev tun-tessaryvpn\n<ca>\ndev tun5\n</ca>\nremote 192.0.2.1 1194\n");
  EXPECT_EQ(ReadFile("/run/standin/args"),
            "--config\n/run/tessaryvpn/openvpn.ovpn\n--script-security\n2\n--up\n"
            "/usr/libexec/tessaryvpn-dns\n--down\n/usr/libexec/tessaryvpn-dns\n--down-pre\n"
            "--route-up\n/usr/bin/touch "
            "/run/tessaryvpn/openvpn.route-up\n--auth-nocache\n--writepid\n/run/tessaryvpn/"
            "openvpn.pid\n--verb\n3\n"
            "--suppress-timestamps\n--pull-filter\nignore\nroute \n--nobind\n--data-ciphers\n"
            "AES-256-GCM:AES-128-GCM:CHACHA20-POLY1305\n--allow-compression\nno\n--mark\n29548\n");
  EXPECT_EQ(ReadFile("/run/standin/cwd"), "/usr/libexec/tessaryvpn\n");
  EXPECT_EQ(ReadFile("/run/standin/asset"), "/usr/libexec/tessaryvpn\n");
  int pid = StandinPid();
  ASSERT_GT(pid, 1);
  EXPECT_TRUE(PidAlive(pid));
  EXPECT_FALSE(runtime.PollUnexpectedExit(&error));

  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(runtime.Stop(&error)) << error;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_EQ(runtime.kind, kUnsupported);
  EXPECT_EQ(runtime.process, nullptr);
  EXPECT_TRUE(runtime.configPath.empty());
  EXPECT_FALSE(PidAlive(pid));
  EXPECT_FALSE(Exists(kOpenVpnConfig));
  EXPECT_FALSE(Exists(kOpenVpnPid));
  EXPECT_FALSE(Exists(kOpenVpnInterfacePath));
}

TEST_F(EngineRuntimeSandbox, OpenVpnThatDiesAtOnceIsReportedAtOnceWithItsStatus) {
  InstallOpenVpn("die");
  EngineRuntime runtime;
  std::string error;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(runtime.Start(kOpenVpn, "openvpn", "client\ndev tun\n", kNeverCancelled, &error));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_EQ(error, "OpenVPN exited with status 1 during startup.");
  EXPECT_EQ(runtime.kind, kUnsupported);
  EXPECT_EQ(runtime.process, nullptr);
  EXPECT_FALSE(Exists(kOpenVpnConfig));
  EXPECT_FALSE(Exists(kOpenVpnPid));
}

TEST_F(EngineRuntimeSandbox, CancellationDuringTheWaitStopsTheEngine) {
  InstallOpenVpn("noroute");
  EngineRuntime runtime;
  std::string error;
  int calls = 0;
  // Two calls belong to Start itself; the wait's fifth pass sees the seventh.
  auto cancelled = [&calls] { return ++calls > 6; };
  EXPECT_FALSE(runtime.Start(kOpenVpn, "openvpn", "client\ndev tun\n", cancelled, &error));
  EXPECT_EQ(error, "The VPN connection request was cancelled.");
  EXPECT_EQ(runtime.process, nullptr);
  EXPECT_FALSE(Exists(kOpenVpnConfig));
  EXPECT_FALSE(Exists(kOpenVpnInterfacePath));  // the engine ended on SIGTERM

  // Cancelled before anything happens: nothing is touched.
  MustSh("mkdir -p /run/tessaryvpn && echo left > /run/tessaryvpn/xray.json");
  error.clear();
  EXPECT_FALSE(runtime.Start(
      kOpenVpn, "openvpn", "client\n", [] { return true; }, &error));
  EXPECT_EQ(error, "The VPN connection request was cancelled.");
  EXPECT_EQ(ReadFile(kXrayConfig), "left\n");
}

TEST_F(EngineRuntimeSandbox, EngineWithoutFullRouteTimesOut) {
  InstallOpenVpn("noroute");
  EngineRuntime runtime;
  std::string error;
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(runtime.Start(kOpenVpn, "openvpn", "client\ndev tun\n", kNeverCancelled, &error));
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(error, "OpenVPN did not establish its TUN interface in time.");
  EXPECT_GE(took, std::chrono::seconds(29));
  EXPECT_LT(took, std::chrono::seconds(45));
  EXPECT_FALSE(Exists(kOpenVpnConfig));
  EXPECT_FALSE(Exists(kOpenVpnInterfacePath));
}

TEST_F(EngineRuntimeSandbox, EngineDeathIsReportedOnce) {
  InstallOpenVpn("ok");
  EngineRuntime runtime;
  std::string error;
  ASSERT_TRUE(runtime.Start(kOpenVpn, "openvpn", "client\ndev tun\n", kNeverCancelled, &error))
      << error;
  MustSh("kill -KILL $(cat /run/tessaryvpn/openvpn.pid)");
  bool noticed = tessary::test::WaitUntil([&] { return runtime.PollUnexpectedExit(&error); },
                                          std::chrono::seconds(5));
  ASSERT_TRUE(noticed);
  EXPECT_EQ(error, std::string(EngineName(kOpenVpn)) + " stopped unexpectedly.");
  EXPECT_EQ(runtime.kind, kUnsupported);
  EXPECT_EQ(runtime.process, nullptr);
  EXPECT_FALSE(Exists(kOpenVpnConfig));
  EXPECT_FALSE(Exists(kOpenVpnPid));
  error = "untouched";
  EXPECT_FALSE(runtime.PollUnexpectedExit(&error));
  EXPECT_EQ(error, "untouched");
}

TEST_F(EngineRuntimeSandbox, EngineIgnoringTermIsKilledAfterTheGrace) {
  InstallOpenVpn("ignoreterm");
  EngineRuntime runtime;
  std::string error;
  ASSERT_TRUE(runtime.Start(kOpenVpn, "openvpn", "client\ndev tun\n", kNeverCancelled, &error))
      << error;
  int pid = StandinPid();
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(runtime.Stop(&error));
  auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(error, std::string(EngineName(kOpenVpn)) +
                       " required forced termination; route cleanup needs verification.");
  EXPECT_GE(took, std::chrono::milliseconds(7900));
  EXPECT_LT(took, std::chrono::seconds(12));
  EXPECT_EQ(runtime.kind, kUnsupported);
  EXPECT_EQ(runtime.process, nullptr);
  EXPECT_TRUE(runtime.configPath.empty());
  EXPECT_FALSE(PidAlive(pid));
  EXPECT_FALSE(Exists(kOpenVpnConfig));
}

TEST_F(EngineRuntimeSandbox, DestroyingTheRuntimeStopsTheEngine) {
  InstallOpenVpn("ok");
  int pid = 0;
  {
    EngineRuntime runtime;
    std::string error;
    ASSERT_TRUE(runtime.Start(kOpenVpn, "openvpn", "client\ndev tun\n", kNeverCancelled, &error))
        << error;
    pid = StandinPid();
  }
  EXPECT_FALSE(PidAlive(pid));
  EXPECT_FALSE(Exists(kOpenVpnConfig));
  EXPECT_FALSE(Exists(kOpenVpnInterfacePath));
}

TEST_F(EngineRuntimeSandbox, StartAndStopOnAnIdleSlot) {
  EngineRuntime runtime;
  std::string error;
  EXPECT_FALSE(runtime.Start(kUnsupported, "", "", kNeverCancelled, &error));
  EXPECT_EQ(error, std::string(EngineName(kUnsupported)) +
                       " runtime is unavailable. Repair the TessaryVPN installation.");
  error = "untouched";
  EXPECT_TRUE(runtime.Stop(&error));
  EXPECT_EQ(error, "untouched");
  EXPECT_FALSE(runtime.PollUnexpectedExit(&error));
  // Leftovers of every engine go in a recovery.
  std::string scratch;
  for (const char* path :
       {kSingBoxConfig, kXrayConfig, kWireGuardConfig, kOpenVpnConfig, kOpenVpnPid}) {
    ASSERT_TRUE(WritePrivateFile(path, "left", &scratch)) << scratch;
  }
  EXPECT_TRUE(runtime.Recover(&error)) << error;
  for (const char* path :
       {kSingBoxConfig, kXrayConfig, kWireGuardConfig, kOpenVpnConfig, kOpenVpnPid}) {
    EXPECT_FALSE(Exists(path)) << path;
  }
  EXPECT_EQ(runtime.kind, kUnsupported);
}

// ---- sing-box and Xray (stand-in engines) ----------------------------------------

constexpr char kSingBoxProfile[] =
    R"({"inbounds":[{"type":"tun"}],"outbounds":[{"type":"trojan","tag":"proxy",)"
    R"("server":"192.0.2.10","server_port":443,"password":"secret",)"
    R"("tls":{"enabled":true,"server_name":"example.com"}}]})";
constexpr char kXrayProfile[] =
    R"({"inbounds":[{"protocol":"tun","settings":{}}],"outbounds":[{"protocol":"trojan",)"
    R"("tag":"proxy","settings":{"servers":[{"address":"192.0.2.10","port":443,)"
    R"("password":"secret"}]},"streamSettings":{"network":"tcp","security":"tls"}}]})";

void InstallTunEngines(const char* mode) {
  MustSh("mkdir -p /usr/libexec/tessaryvpn && cd /usr/libexec/tessaryvpn && cp " +
         Standin("tun-engine") + " sing-box && cp " + Standin("tun-engine") +
         " xray && echo geoip > geoip.dat && echo geosite > geosite.dat && echo " + mode +
         " > /run/standin/mode");
}

TEST_F(EngineRuntimeSandbox, SingBoxAndXrayRunFromTheirNormalizedConfigurations) {
  std::string normalized;
  std::string error;
  ASSERT_TRUE(NormalizeSingBoxConfig("trojan", kSingBoxProfile, &normalized, &error)) << error;
  ASSERT_TRUE(NormalizeXrayConfig(kXrayProfile, &normalized, &error)) << error;
  InstallTunEngines("ok");
  EngineRuntime runtime;
  ASSERT_TRUE(runtime.Start(kSingBox, "trojan", kSingBoxProfile, kNeverCancelled, &error)) << error;
  EXPECT_EQ(runtime.kind, kSingBox);
  EXPECT_EQ(runtime.configPath, kSingBoxConfig);
  EXPECT_EQ(ModeOf(kSingBoxConfig), 0600u);
  EXPECT_EQ(ReadFile("/run/standin/args"),
            "check\n-c\n/run/tessaryvpn/sing-box.json\n"
            "run\n-c\n/run/tessaryvpn/sing-box.json\n--disable-color\n");
  // Starting another engine replaces the running one.
  MustSh("rm /run/standin/args");
  ASSERT_TRUE(runtime.Start(kXray, "xray", kXrayProfile, kNeverCancelled, &error)) << error;
  EXPECT_EQ(runtime.kind, kXray);
  EXPECT_FALSE(Exists(kSingBoxConfig));
  EXPECT_FALSE(Exists(kSingBoxInterfacePath));
  EXPECT_EQ(ModeOf(kXrayConfig), 0600u);
  EXPECT_EQ(ReadFile("/run/standin/args"),
            "run\n-test\n-config\n/run/tessaryvpn/xray.json\n"
            "run\n-config\n/run/tessaryvpn/xray.json\n");
  ASSERT_TRUE(runtime.Stop(&error)) << error;
  EXPECT_FALSE(Exists(kXrayConfig));
  EXPECT_FALSE(Exists(kXrayInterfacePath));
}

TEST_F(EngineRuntimeSandbox, SingBoxAndXrayFailuresHaveTheirOwnMessages) {
  const struct {
    EngineKind kind;
    const char* mode;
    const char* message;
    int maxSeconds;
  } cases[] = {
      {kSingBox, "badcheck", "Sing-box rejected the generated configuration.", 3},
      {kXray, "badcheck", "Xray rejected the generated configuration.", 3},
      {kSingBox, "die", "Sing-box exited with status 1 during startup.", 3},
      {kXray, "die", "Xray exited with status 1 during startup.", 3},
      {kXray, "down", "Xray did not establish its TUN interface in time.", 20},
  };
  for (const auto& c : cases) {
    InstallTunEngines(c.mode);
    EngineRuntime runtime;
    std::string error;
    const char* profile = c.kind == kSingBox ? kSingBoxProfile : kXrayProfile;
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(runtime.Start(c.kind, "trojan", profile, kNeverCancelled, &error)) << c.mode;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(c.maxSeconds))
        << c.mode;
    EXPECT_EQ(error, c.message) << c.mode;
    EXPECT_EQ(runtime.kind, kUnsupported);
    EXPECT_FALSE(Exists(kSingBoxConfig)) << c.mode;
    EXPECT_FALSE(Exists(kXrayConfig)) << c.mode;
    EXPECT_FALSE(Exists(kXrayInterfacePath)) << c.mode;
  }
  // A profile the normalization refuses is never written.
  EngineRuntime runtime;
  std::string error;
  EXPECT_FALSE(runtime.Start(kXray, "xray", "{\"outbounds\": []}", kNeverCancelled, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(Exists(kXrayConfig));
}

}  // namespace
}  // namespace tessary::linux_service
