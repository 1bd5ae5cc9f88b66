// A real WireGuard tunnel in the sandbox: a server (wireguard-go + wg) in a
// peer network namespace behind a veth pair, keys made at test time, the
// client brought up by the real wg-quick through the engine runtime, and its
// DNS servers set on the link in the real systemd-resolved.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "service/engine_runtime.cc"
#include "service/profile_text.h"
#include "tests/sandbox/sandbox_util.h"

namespace tessary::linux_service {
namespace {

using tessary::test::CommandResult;
using tessary::test::Sh;

std::string SourcePath(const std::string& relative) {
  const char* source = g_getenv("TESSARY_SOURCE_DIR");
  return std::string(source != nullptr ? source : ".") + "/" + relative;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Exists(const char* path) {
  struct stat st {};
  return lstat(path, &st) == 0;
}

void MustSh(const std::string& script) {
  CommandResult result = Sh(script);
  ASSERT_EQ(result.status, 0) << script << "\n" << result.out << result.err;
}

std::string Trimmed(const std::string& text) { return Trim(text); }

const std::function<bool()> kNeverCancelled = [] { return false; };

// Keys of both sides, made once per run.
std::string g_client_private;
std::string g_server_public;

std::string ClientProfile(const char* allowedIps = "0.0.0.0/0",
                          const char* dnsLines = "DNS = 192.0.2.53 ,  2001:db8::53\n") {
  return std::string("[Interface]\nPrivateKey = ") + g_client_private +
         "\nAddress = 198.51.100.2/32\n" + dnsLines + "\n[Peer]\nPublicKey = " + g_server_public +
         "\nEndpoint = 203.0.113.2:51820\nAllowedIPs = " + allowedIps +
         "\nPersistentKeepalive = 25\n";
}

class EngineRuntimeWireGuard : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tessary::test::RequireSandbox();
    MustSh(
        "mkdir -p /run/saved /run/wgtest && cp -a /usr/bin/wg-quick /run/saved/ && "
        "umask 077 && wg genkey > /run/wgtest/client.key && wg genkey > /run/wgtest/server.key && "
        "wg pubkey < /run/wgtest/client.key > /run/wgtest/client.pub && "
        "wg pubkey < /run/wgtest/server.key > /run/wgtest/server.pub");
    g_client_private = Trimmed(ReadFile("/run/wgtest/client.key"));
    g_server_public = Trimmed(ReadFile("/run/wgtest/server.pub"));
    // The server side: its own namespace, reached over a veth pair.
    MustSh(
        "ip netns add peer && ip link add veth0 type veth peer name veth1 netns peer && "
        "ip addr add 203.0.113.1/24 dev veth0 && ip link set veth0 up && "
        "ip -n peer addr add 203.0.113.2/24 dev veth1 && ip -n peer link set veth1 up && "
        "ip -n peer link set lo up && "
        "ip netns exec peer wireguard-go wgpeer && "
        "ip netns exec peer wg set wgpeer private-key /run/wgtest/server.key listen-port 51820 "
        "peer $(cat /run/wgtest/client.pub) allowed-ips 198.51.100.2/32 && "
        "ip -n peer addr add 198.51.100.1/24 dev wgpeer && ip -n peer link set wgpeer up");
  }
  void TearDown() override {
    Sh("cp -a /run/saved/wg-quick /usr/bin/wg-quick; "
       "test -d /sys/class/net/tessaryvpn && wg-quick down /run/tessaryvpn/tessaryvpn.conf; "
       "ip link del tessaryvpn 2>/dev/null; rm -rf /run/tessaryvpn /usr/libexec/tessaryvpn; true");
    Sh(SourcePath("tests/sandbox/resolved") + " start");
  }
  static bool DnsOnLink() { return Sh("resolvectl dns tessaryvpn").status == 0; }
  // Nothing of the tunnel is left: no interface, no file, no DNS setting.
  static void ExpectNothingLeft(const char* when) {
    EXPECT_FALSE(Exists(kWireGuardInterfacePath)) << when;
    EXPECT_FALSE(Exists(kWireGuardConfig)) << when;
    EXPECT_FALSE(DnsOnLink()) << when;
    EXPECT_FALSE(HasFullRoute(kWireGuard)) << when;
  }
};

TEST_F(EngineRuntimeWireGuard, RealTunnelComesUpAndGoesAway) {
  EngineRuntime runtime;
  std::string error;
  ASSERT_TRUE(runtime.Start(kWireGuard, "wireguard", ClientProfile(), kNeverCancelled, &error))
      << error;
  EXPECT_TRUE(error.empty());
  EXPECT_EQ(runtime.kind, kWireGuard);
  EXPECT_EQ(runtime.configPath, kWireGuardConfig);
  EXPECT_EQ(runtime.process, nullptr);
  EXPECT_TRUE(Exists(kWireGuardInterfacePath));
  EXPECT_TRUE(HasFullRoute(kWireGuard));

  // A packet reaches the server's tunnel address, which needs a handshake.
  CommandResult ping = Sh("ping -c 1 -W 2 198.51.100.1 || ping -c 1 -W 3 198.51.100.1");
  EXPECT_EQ(ping.status, 0) << ping.out << ping.err;
  CommandResult handshakes = Sh("wg show tessaryvpn latest-handshakes");
  ASSERT_EQ(handshakes.status, 0) << handshakes.err;
  std::string stamp = Trimmed(handshakes.out.substr(handshakes.out.find('\t') + 1));
  EXPECT_GT(atoll(stamp.c_str()), 0) << handshakes.out;

  CommandResult dns = Sh("resolvectl dns tessaryvpn");
  EXPECT_NE(dns.out.find("192.0.2.53 2001:db8::53"), std::string::npos) << dns.out;
  EXPECT_NE(Sh("resolvectl domain tessaryvpn").out.find("~."), std::string::npos);

  struct stat st {};
  ASSERT_EQ(lstat(kWireGuardConfig, &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  std::string written = ReadFile(kWireGuardConfig);
  EXPECT_EQ(written.find("DNS"), std::string::npos);
  EXPECT_NE(written.find(g_client_private), std::string::npos);
  EXPECT_FALSE(runtime.PollUnexpectedExit(&error));

  error.clear();
  ASSERT_TRUE(runtime.Stop(&error)) << error;
  EXPECT_EQ(runtime.kind, kUnsupported);
  EXPECT_TRUE(runtime.configPath.empty());
  ExpectNothingLeft("after Stop");
}

TEST_F(EngineRuntimeWireGuard, RuntimeDestroyedWhileUpTakesTheTunnelDown) {
  {
    EngineRuntime runtime;
    std::string error;
    ASSERT_TRUE(runtime.Start(kWireGuard, "wireguard", ClientProfile(), kNeverCancelled, &error))
        << error;
    ASSERT_TRUE(DnsOnLink());
  }
  ExpectNothingLeft("after destruction");
}

TEST_F(EngineRuntimeWireGuard, ProfileWithoutDnsWritesNothing) {
  EngineRuntime runtime;
  std::string error;
  std::string profile = ClientProfile("0.0.0.0/0", "") + "DNS = 192.0.2.53\n";  // in [Peer]
  EXPECT_FALSE(runtime.Start(kWireGuard, "wireguard", profile, kNeverCancelled, &error));
  EXPECT_EQ(error, "WireGuard did not provide a DNS server.");
  EXPECT_FALSE(Exists(kRuntimeDirectory) && Exists(kWireGuardConfig));
  EXPECT_EQ(runtime.kind, kUnsupported);
  ExpectNothingLeft("after a profile without DNS");
}

TEST_F(EngineRuntimeWireGuard, FailuresLeaveACleanMachine) {
  const struct {
    const char* name;
    const char* before;
    const char* allowedIps;
    const char* message;
  } cases[] = {
      {"wg-quick fails", "printf '#!/bin/sh\\nexit 1\\n' > /usr/bin/wg-quick", "0.0.0.0/0",
       "WireGuard failed to connect."},
      {"wg-quick fails after making the interface",
       "printf '#!/bin/sh\\n/run/saved/wg-quick \"$@\" || exit\\n[ $1 = down ]\\n' > "
       "/usr/bin/wg-quick",
       "0.0.0.0/0", "WireGuard failed to connect."},
      {"wg-quick succeeds without an interface",
       "printf '#!/bin/sh\\nexit 0\\n' > /usr/bin/wg-quick", "0.0.0.0/0",
       "WireGuard exited without creating the expected interface."},
      {"the peer covers only part of the address space", "true", "198.51.100.0/24",
       "WireGuard did not install a full-tunnel route."},
      {"systemd-resolved is not running", "$TESSARY_SOURCE_DIR/tests/sandbox/resolved stop",
       "0.0.0.0/0", "WireGuard connected but DNS setup failed."},
  };
  for (const auto& c : cases) {
    MustSh(c.before);
    EngineRuntime runtime;
    std::string error;
    EXPECT_FALSE(runtime.Start(kWireGuard, "wireguard", ClientProfile(c.allowedIps),
                               kNeverCancelled, &error))
        << c.name;
    EXPECT_EQ(error, c.message) << c.name;
    EXPECT_EQ(runtime.kind, kUnsupported) << c.name;
    MustSh("cp -a /run/saved/wg-quick /usr/bin/wg-quick");
    MustSh(SourcePath("tests/sandbox/resolved") + " start");
    ExpectNothingLeft(c.name);
  }
}

// A take-down that fails keeps the slot WireGuard-active with its file, so a
// later Stop finds both and tries again.
TEST_F(EngineRuntimeWireGuard, FailedTakeDownsKeepTheStateForAnotherTry) {
  const struct {
    const char* name;
    const char* before;
    const char* message;
    bool fileKept;
  } cases[] = {
      {"wg-quick down fails", "printf '#!/bin/sh\\nexit 1\\n' > /usr/bin/wg-quick",
       "WireGuard disconnect cleanup failed.", true},
      {"wg-quick down leaves the interface", "printf '#!/bin/sh\\nexit 0\\n' > /usr/bin/wg-quick",
       "WireGuard reported disconnect but its interface still exists.", true},
      {"the DNS setting cannot be reverted", "$TESSARY_SOURCE_DIR/tests/sandbox/resolved stop",
       "WireGuard disconnected but DNS cleanup failed.", false},
  };
  for (const auto& c : cases) {
    EngineRuntime runtime;
    std::string error;
    ASSERT_TRUE(runtime.Start(kWireGuard, "wireguard", ClientProfile(), kNeverCancelled, &error))
        << error;
    MustSh(c.before);
    EXPECT_FALSE(runtime.Stop(&error)) << c.name;
    EXPECT_EQ(error, c.message) << c.name;
    EXPECT_EQ(runtime.kind, kWireGuard) << c.name;
    EXPECT_EQ(Exists(kWireGuardConfig), c.fileKept) << c.name;
    MustSh("cp -a /run/saved/wg-quick /usr/bin/wg-quick");
    MustSh(SourcePath("tests/sandbox/resolved") + " start");
    error.clear();
    EXPECT_TRUE(runtime.Stop(&error)) << c.name << ": " << error;
    EXPECT_EQ(runtime.kind, kUnsupported) << c.name;
    ExpectNothingLeft(c.name);
  }
}

TEST_F(EngineRuntimeWireGuard, CancellationAfterWgQuickTakesTheTunnelDown) {
  EngineRuntime runtime;
  std::string error;
  int calls = 0;
  // Start asks twice before wg-quick; the third question comes while it
  // waits for the server's first handshake.
  auto cancelled = [&calls] { return ++calls >= 3; };
  EXPECT_FALSE(runtime.Start(kWireGuard, "wireguard", ClientProfile(), cancelled, &error));
  EXPECT_EQ(error, "The VPN connection request was cancelled.");
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(runtime.kind, kUnsupported);
  ExpectNothingLeft("after cancellation");
}

TEST_F(EngineRuntimeWireGuard, InterfaceWithoutItsFileNeedsAnAdministrator) {
  MustSh(
      "ip tuntap add dev tessaryvpn mode tun && "
      "printf '#!/bin/sh\\ntouch /run/wgtest/ran\\nexit 0\\n' > /usr/bin/wg-quick");
  EngineRuntime runtime;
  std::string error;
  const std::string message =
      "The WireGuard interface exists without its private configuration; administrator repair is "
      "required.";
  EXPECT_FALSE(runtime.Stop(&error));
  EXPECT_EQ(error, message);
  error.clear();
  EXPECT_FALSE(runtime.Start(kWireGuard, "wireguard", ClientProfile(), kNeverCancelled, &error));
  EXPECT_EQ(error, message);
  EXPECT_FALSE(Exists("/run/wgtest/ran"));
  EXPECT_TRUE(Exists(kWireGuardInterfacePath));
  MustSh("ip link del tessaryvpn");
}

TEST_F(EngineRuntimeWireGuard, LeftoverTunnelIsRecovered) {
  // A tunnel an earlier run of the service left behind: file, interface and
  // DNS setting, but nothing in this runtime's record.
  std::string error;
  std::string rewritten;
  std::vector<std::string> dns;
  RewriteWireGuardConfig(ClientProfile(), &rewritten, &dns);
  ASSERT_TRUE(WritePrivateFile(kWireGuardConfig, rewritten, &error)) << error;
  MustSh(
      "wg-quick up /run/tessaryvpn/tessaryvpn.conf 2>/dev/null && "
      "/usr/libexec/tessaryvpn-dns apply-wireguard 192.0.2.53");
  ASSERT_TRUE(DnsOnLink());
  EngineRuntime runtime;
  EXPECT_TRUE(runtime.Recover(&error)) << error;
  ExpectNothingLeft("after recovery");
}

// A server that needs AmneziaWG: the stand-in tools put in the engine
// directory must be the ones that run, with their environment.
TEST_F(EngineRuntimeWireGuard, AmneziaProfilesUseTheAmneziaTools) {
  std::string profile = ClientProfile();
  profile.insert(profile.find("Address"), "Jc = 4\nJmin = 40\nJmax = 70\n");
  ASSERT_TRUE(WireGuardConfigRequiresAmnezia(profile));
  EngineRuntime runtime;
  std::string error;
  EXPECT_FALSE(runtime.Start(kWireGuard, "wireguard", profile, kNeverCancelled, &error));
  EXPECT_EQ(error,
            "This server needs the AmneziaWG tools, which are missing. Repair the TessaryVPN "
            "installation.");
  ExpectNothingLeft("without the AmneziaWG tools");

  MustSh(
      "mkdir -p /usr/libexec/tessaryvpn /run/standin && rm -f /run/standin/* 2>/dev/null; "
      "cd " +
      SourcePath("tests/engine_runtime_standins") +
      " && cp awg-quick awg amneziawg-go /usr/libexec/tessaryvpn/");
  error.clear();
  ASSERT_TRUE(runtime.Start(kWireGuard, "wireguard", profile, kNeverCancelled, &error)) << error;
  EXPECT_EQ(ReadFile("/run/standin/awg-quick.env"),
            "PATH=/usr/libexec/tessaryvpn:/usr/sbin:/usr/bin\n"
            "WG_QUICK_USERSPACE_IMPLEMENTATION=/usr/libexec/tessaryvpn/amneziawg-go\n");
  EXPECT_TRUE(Exists("/run/standin/amneziawg-go.ran"));
  EXPECT_TRUE(HasFullRoute(kWireGuard));
  CommandResult ping = Sh("ping -c 1 -W 2 198.51.100.1 || ping -c 1 -W 3 198.51.100.1");
  EXPECT_EQ(ping.status, 0) << ping.out << ping.err;
  EXPECT_TRUE(DnsOnLink());
  // The private file keeps the obfuscation keys for awg-quick.
  EXPECT_NE(ReadFile(kWireGuardConfig).find("Jc = 4"), std::string::npos);
  ASSERT_TRUE(runtime.Stop(&error)) << error;
  // Taken down with the same tools it was brought up with.
  EXPECT_EQ(ReadFile("/run/standin/awg-quick.calls"), "up\ndown\n");
  ExpectNothingLeft("after an AmneziaWG tunnel");
  MustSh("rm -rf /run/standin");
}

}  // namespace
}  // namespace tessary::linux_service
