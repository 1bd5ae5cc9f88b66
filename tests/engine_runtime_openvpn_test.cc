// The real OpenVPN client started and supervised by the engine runtime,
// against a real OpenVPN server in a peer namespace (certificates made at
// test time), with the real DNS helper as its up and down script and the
// real systemd-resolved.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "service/engine_runtime.cc"
#include "tests/sandbox/sandbox_util.h"

namespace tessary::linux_service {
namespace {

using tessary::test::CommandResult;
using tessary::test::Sh;

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

const std::function<bool()> kNeverCancelled = [] { return false; };
std::string g_profile;

class EngineRuntimeOpenVpn : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tessary::test::RequireSandbox();
    const char* source = g_getenv("TESSARY_SOURCE_DIR");
    CommandResult peers =
        Sh("mkdir -p /run/ovpntest && " + std::string(source != nullptr ? source : ".") +
           "/tests/sandbox/peers openvpn /run/ovpntest");
    ASSERT_EQ(peers.status, 0) << peers.err;
    g_profile = ReadFile("/run/ovpntest/openvpn.ovpn");
  }
  static void ExpectNothingLeft(const char* when) {
    EXPECT_FALSE(Exists(kOpenVpnInterfacePath)) << when;
    EXPECT_FALSE(Exists(kOpenVpnConfig)) << when;
    EXPECT_FALSE(Exists(kOpenVpnPid)) << when;
    EXPECT_FALSE(HasFullRoute(kOpenVpn)) << when;
  }
};

TEST_F(EngineRuntimeOpenVpn, RealClientConnectsAndDisconnects) {
  ASSERT_NE(g_profile.find("dev tun\n"), std::string::npos);
  EngineRuntime runtime;
  std::string error;
  ASSERT_TRUE(runtime.Start(kOpenVpn, "openvpn", g_profile, kNeverCancelled, &error)) << error;
  EXPECT_EQ(runtime.kind, kOpenVpn);
  ASSERT_NE(runtime.process, nullptr);
  EXPECT_TRUE(Exists(kOpenVpnInterfacePath));
  EXPECT_TRUE(HasFullRoute(kOpenVpn));
  struct stat st {};
  ASSERT_EQ(lstat(kOpenVpnConfig, &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  std::string written = ReadFile(kOpenVpnConfig);
  EXPECT_NE(written.find("\ndev tun-tessaryvpn\n"), std::string::npos);
  EXPECT_EQ(written.find("\ndev tun\n"), std::string::npos);
  EXPECT_EQ(atoi(ReadFile(kOpenVpnPid).c_str()),
            atoi(g_subprocess_get_identifier(runtime.process)));

  // The pushed DNS server reaches the link through the up script.
  bool dnsSet = tessary::test::WaitUntil(
      [] {
        return Sh("resolvectl dns tun-tessaryvpn").out.find("198.51.100.129") != std::string::npos;
      },
      std::chrono::seconds(5));
  EXPECT_TRUE(dnsSet) << Sh("resolvectl dns tun-tessaryvpn").out;
  CommandResult ping = Sh("ping -c 1 -W 2 198.51.100.129 || ping -c 1 -W 3 198.51.100.129");
  EXPECT_EQ(ping.status, 0) << ping.out << ping.err;
  EXPECT_FALSE(runtime.PollUnexpectedExit(&error));

  // The kill switch admits the server for openvpn's marked packets alone,
  // and the tunnel goes on carrying traffic under it.
  ASSERT_TRUE(runtime.ApplyLeakProtection(g_profile, kNeverCancelled, &error)) << error;
  const std::string table = Sh("nft list table inet tessaryvpn").out;
  EXPECT_NE(table.find("meta mark 0x0000736c ip daddr 203.0.113.18 udp dport 1194 accept"),
            std::string::npos)
      << table;
  ping = Sh("ping -c 2 -W 2 198.51.100.129 || ping -c 2 -W 3 198.51.100.129");
  EXPECT_EQ(ping.status, 0) << ping.out << ping.err;

  error.clear();
  ASSERT_TRUE(runtime.Stop(&error)) << error;
  EXPECT_FALSE(KillSwitchInstalled());
  EXPECT_EQ(runtime.kind, kUnsupported);
  EXPECT_EQ(runtime.process, nullptr);
  ExpectNothingLeft("after Stop");
}

TEST_F(EngineRuntimeOpenVpn, KilledClientIsReportedOnce) {
  EngineRuntime runtime;
  std::string error;
  ASSERT_TRUE(runtime.Start(kOpenVpn, "openvpn", g_profile, kNeverCancelled, &error)) << error;
  kill(atoi(g_subprocess_get_identifier(runtime.process)), SIGKILL);
  bool noticed = tessary::test::WaitUntil([&] { return runtime.PollUnexpectedExit(&error); },
                                          std::chrono::seconds(5));
  ASSERT_TRUE(noticed);
  EXPECT_EQ(error, "OpenVPN stopped unexpectedly.");
  EXPECT_EQ(runtime.kind, kUnsupported);
  EXPECT_FALSE(runtime.PollUnexpectedExit(&error));
  ExpectNothingLeft("after the client died");
}

}  // namespace
}  // namespace tessary::linux_service
