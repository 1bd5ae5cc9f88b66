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
std::string g_peers;

// Where the kernel sends a packet for `destination`: the "dev" of its answer.
std::string RouteDevice(const std::string& destination) {
  return Sh("ip -o route get " + destination + " | sed -n 's/.* dev \\([^ ]*\\).*/\\1/p'").out;
}

// Routes through the uplink's gateway but the default one: openvpn's host
// route to its server while it runs, nothing once it has gone.
std::string RoutesOutside() {
  return Sh("ip -4 route show | grep -v ^default | grep 'via 203.0.113.66'").out;
}

class EngineRuntimeOpenVpn : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    tessary::test::RequireSandbox();
    const char* source = g_getenv("TESSARY_SOURCE_DIR");
    g_peers = std::string(source != nullptr ? source : ".") + "/tests/sandbox/peers";
    CommandResult peers = Sh("mkdir -p /run/ovpntest && " + g_peers + " openvpn /run/ovpntest");
    ASSERT_EQ(peers.status, 0) << peers.err;
    g_profile = ReadFile("/run/ovpntest/openvpn.ovpn");
  }
  static void ExpectNothingLeft(const char* when) {
    EXPECT_FALSE(Exists(kOpenVpnInterfacePath)) << when;
    EXPECT_FALSE(Exists(kOpenVpnConfig)) << when;
    EXPECT_FALSE(Exists(kOpenVpnPid)) << when;
    EXPECT_FALSE(Exists(kOpenVpnServerRoutes)) << when;
    EXPECT_FALSE(Exists(kOpenVpnRoutesAdded)) << when;
    EXPECT_FALSE(HasFullRoute(kOpenVpn)) << when;
    EXPECT_EQ(RoutesOutside(), "") << when;
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
  // The server tunnels IPv4 alone: IPv6 was blocked once route-up said that
  // every route is in.
  EXPECT_TRUE(Exists(kOpenVpnRoutesAdded));
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

// A killed openvpn cannot take down its route to the server. The poll of the
// runtime that started it removes it, and so does the recovery of a service
// that starts afresh after the crash.
TEST_F(EngineRuntimeOpenVpn, KilledClientIsReportedOnce) {
  for (const bool restart : {false, true}) {
    SCOPED_TRACE(restart ? "recovered by a new runtime" : "noticed by the poll");
    EngineRuntime runtime;
    std::string error;
    ASSERT_TRUE(runtime.Start(kOpenVpn, "openvpn", g_profile, kNeverCancelled, &error)) << error;
    ASSERT_EQ(RoutesOutside(), "203.0.113.18 via 203.0.113.66 dev veth-out \n");
    kill(atoi(g_subprocess_get_identifier(runtime.process)), SIGKILL);
    if (restart) {
      ASSERT_TRUE(tessary::test::WaitUntil([] { return !Exists(kOpenVpnInterfacePath); },
                                           std::chrono::seconds(5)));
      EXPECT_NE(RoutesOutside(), "") << "the killed client took its route down itself";
      EngineRuntime next;
      ASSERT_TRUE(next.Recover(&error)) << error;
      ExpectNothingLeft("after recovery");
    }
    bool noticed = tessary::test::WaitUntil([&] { return runtime.PollUnexpectedExit(&error); },
                                            std::chrono::seconds(5));
    ASSERT_TRUE(noticed);
    EXPECT_EQ(error, "OpenVPN stopped unexpectedly.");
    EXPECT_EQ(runtime.kind, kUnsupported);
    EXPECT_FALSE(runtime.PollUnexpectedExit(&error));
    ExpectNothingLeft("after the client died");
  }
}

// What a hostile server pushes, or a profile that got past validation says,
// cannot route around the tunnel, listen on a fixed port or carry the tunnel
// in clear text: the service's own options follow the profile.
TEST_F(EngineRuntimeOpenVpn, ServiceOptionsOverrideProfileAndPush) {
  std::string listening = g_profile;
  const std::size_t nobind = listening.find("nobind\n");
  ASSERT_NE(nobind, std::string::npos);
  listening.replace(nobind, 7, "lport 1194\n");
  const struct {
    const char* what;
    std::vector<std::string> serverOptions;
    std::string profile;
    bool connects;
  } cases[] = {
      {"routes via the uplink's gateway",
       {"--push", "route 192.0.0.0 192.0.0.0 net_gateway", "--push",
        "route 198.51.100.7 255.255.255.255 net_gateway"},
       g_profile,
       true},
      // openvpn refuses lport together with the service's nobind.
      {"a fixed local port", {}, listening, false},
      {"a server that agrees only to no cipher",
       {"--data-ciphers", "none"},
       g_profile + "data-ciphers none\ndata-ciphers-fallback none\n",
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::string restart = g_peers + " openvpn-server";
    for (const std::string& option : c.serverOptions) restart += " '" + option + "'";
    ASSERT_EQ(Sh(restart).status, 0);
    EngineRuntime runtime;
    std::string error;
    const bool started = runtime.Start(kOpenVpn, "openvpn", c.profile, kNeverCancelled, &error);
    EXPECT_EQ(started, c.connects) << error;
    if (!c.connects) {
      // openvpn gives up by itself, and says so at once.
      EXPECT_TRUE(g_str_has_prefix(error.c_str(), "OpenVPN exited with status ")) << error;
    }
    if (started) {
      for (const char* destination : {"192.0.2.77", "198.51.100.7", "203.0.113.200"}) {
        EXPECT_EQ(RouteDevice(destination), "tun-tessaryvpn\n") << destination;
      }
      ASSERT_TRUE(runtime.Stop(&error)) << error;
    }
    ExpectNothingLeft(c.what);
  }
  ASSERT_EQ(Sh(g_peers + " openvpn-server").status, 0);
}

}  // namespace
}  // namespace tessary::linux_service
