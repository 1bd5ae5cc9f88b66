// A user connects and disconnects each of the four engines (the real sing-box
// and Xray against their own servers) through the real service, with and
// without the kill switch, and an engine dies under a connected tunnel. Everything is seen the way
// a client sees it: the SnapshotChanged and LogEmitted signals in the order they arrived.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/scenario_support.h"

namespace tessary::test::scenario {
namespace {

struct Engine {
  const char* name;      // display name in the log entries
  const char* protocol;  // the profile's protocol label
  std::string (*profile)();
  const char* interface;   // the tunnel interface the service forces
  const char* tunnelPeer;  // an address inside the tunnel that answers ping, or null
  // For the proxies: where a DNS query goes (sing-box hijacks whatever is
  // sent to port 53), or null.
  const char* dnsServer;
};

// With AmneziaWG's junk-packet keys (which a plain WireGuard server ignores)
// the tunnel runs through awg-quick and the real amneziawg-go.
std::string AmneziaProfile() {
  std::string profile = WireGuardProfile();
  const std::size_t section = profile.find("[Interface]\n");
  if (section == std::string::npos) return "";
  return profile.insert(section + strlen("[Interface]\n"), "Jc = 4\nJmin = 40\nJmax = 70\n");
}

const Engine kEngines[] = {
    {"WireGuard", "wireGuard", WireGuardProfile, "tessaryvpn", "198.51.100.1", nullptr},
    {"WireGuard", "amneziawg", AmneziaProfile, "tessaryvpn", "198.51.100.1", nullptr},
    {"OpenVPN", "openVpn", OpenVpnProfile, "tun-tessaryvpn", "198.51.100.129", nullptr},
    {"Sing-box", "shadowsocks", SingBoxServerProfile, "tessary-sbox0", nullptr, "203.0.113.66"},
    {"Xray", "xray", XrayServerProfile, "tessary-xray0", nullptr, "203.0.113.210"},
};

// The host behind the proxy servers, reached only through them: a TCP echo
// and a DNS server that answers every A query with its own address.
constexpr char kBackend[] = "203.0.113.210";

// The echo's reply is awaited before closing: a proxy may end a connection
// whose client has half-closed it before the reply is back.
bool EchoThroughTheTunnel() {
  return Sh(std::string("python3 - ") + kBackend + R"PY( <<'PY'
import socket, sys
s = socket.create_connection((sys.argv[1], 7), timeout=5)
s.sendall(b"through-the-tunnel")
reply = b""
while len(reply) < 18:
    chunk = s.recv(64)
    if not chunk:
        break
    reply += chunk
print(reply.decode())
PY)PY")
             .out == "through-the-tunnel\n";
}

// Sends an A query to `server` port 53 (three tries) and prints the answer's
// address when it is the backend's.
std::string ResolveThrough(const char* server) {
  return Sh(std::string("python3 - ") + server + R"PY( <<'PY'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(2)
query = b"\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x07backend\x04test\x00\x00\x01\x00\x01"
answer = b""
for _ in range(3):
    try:
        s.sendto(query, (sys.argv[1], 53))
        answer = s.recv(512)
        break
    except socket.timeout:
        pass
print("203.0.113.210" if answer[:2] == b"\x12\x34" and b"\xcb\x00\x71\xd2" in answer else "")
PY)PY")
      .out;
}

// Packets addressed to the outside host itself that reached it.
long OutsideCount() { return atol(Sh(Peers("outside-count")).out.c_str()); }

// Pings the outside host through the uplink itself, beside any tunnel route:
// exactly the traffic a kill switch must stop.
void PingBesideTheTunnel() { Sh("ping -n -c 2 -i 0.2 -W 1 -I veth-out 203.0.113.66"); }

// Whether a TCP connection to the proxy server's `port` on the uplink itself,
// from a socket carrying `mark` (0: none), is answered.
bool ProxyServerAnswersBesideTheTunnel(int port, int mark) {
  return Sh("python3 - " + std::to_string(port) + " " + std::to_string(mark) + R"PY( <<'PY'
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, b"veth-out")
if int(sys.argv[2]):
    s.setsockopt(socket.SOL_SOCKET, socket.SO_MARK, int(sys.argv[2]))
s.settimeout(2)
try:
    s.connect(("203.0.113.50", int(sys.argv[1])))
    print("answered")
except OSError:
    print("silent")
PY)PY")
             .out == "answered\n";
}

bool PingThroughTheTunnel(const char* address) {
  return Sh(std::string("ping -n -c 1 -W 3 ") + address).status == 0;
}

// Packets from the client that reached the host beyond the outside router,
// per family: what left outside any tunnel.
std::pair<long, long> BeyondCounts() {
  long ipv4 = 0;
  long ipv6 = 0;
  sscanf(Sh(Peers("beyond-count")).out.c_str(), "%ld %ld", &ipv4, &ipv6);
  return {ipv4, ipv6};
}

// Sends a few pings of both families to the host beyond; the first IPv6 one
// may go before the router's neighbour entry exists, so there are three.
void PingBeyond() {
  Sh("ping -n -c 3 -i 0.2 -W 1 203.0.113.34; ping -6 -n -c 3 -i 0.2 -W 1 2001:db8:77::2");
}

class EngineScenarios : public ScenarioTest {
 protected:
  static void SetUpTestSuite() { PrepareHostsAndEngines(/*realEngines=*/true); }
};

TEST_F(EngineScenarios, EachEngineConnectsAndDisconnectsLeavingNothingBehind) {
  StartTheService();
  for (const Engine& engine : kEngines) {
    SCOPED_TRACE(engine.protocol);
    const std::string id = std::string("story-") + engine.protocol;
    const gint64 before = NowMillis();
    ASSERT_TRUE(Connect(id, engine.protocol, engine.profile()));
    ASSERT_TRUE(WaitForStage("connected", seconds(40)))
        << testing::PrintToString(Events()) << ServiceLog();
    const gint64 after = NowMillis();
    const std::string name = engine.name;
    EXPECT_TRUE(EventsAre(Strings{"stage preparing", "info: Preparing " + name + " tunnel.",
                                  "stage connecting", "stage connected",
                                  "info: " + name + " tunnel connected."}));
    GVariant* connected = LastSnapshot();
    EXPECT_EQ(DictString(connected, "activeProfileId"), id);
    EXPECT_EQ(DictString(connected, "lastError"), "");
    const gint64 since = DictInt64(connected, "connectedAtEpochMillis");
    EXPECT_GE(since, before);
    EXPECT_LE(since, after);

    // What the user has while connected: the tunnel interface carrying a
    // full-tunnel route, and for the real engines DNS and traffic through it.
    EXPECT_TRUE(InterfacePresent(engine.interface));
    EXPECT_EQ(ProcessesRunning("/usr/libexec/tessaryvpn/amneziawg-go").size(),
              std::string(engine.protocol) == "amneziawg" ? 1u : 0u);
    if (engine.tunnelPeer != nullptr) {
      EXPECT_NE(Sh(std::string("resolvectl dns ") + engine.interface).out.find("198.51.100."),
                std::string::npos);
      EXPECT_NE(Sh("ip route get 203.0.113.200").out.find(engine.interface), std::string::npos);
      EXPECT_TRUE(PingThroughTheTunnel(engine.tunnelPeer));
    }
    // Nothing of either family leaves by the routes: what the tunnel does not
    // carry is answered unreachable.
    const auto beyond = BeyondCounts();
    PingBeyond();
    EXPECT_EQ(BeyondCounts(), beyond);
    if (engine.dnsServer != nullptr) {
      // Both families go to the tunnel, not just the one the test traffic uses.
      EXPECT_NE(Sh(std::string("ip route get ") + kBackend).out.find(engine.interface),
                std::string::npos);
      EXPECT_NE(Sh("ip -6 route get 2001:db8:99::1").out.find(engine.interface), std::string::npos);
      EXPECT_TRUE(EchoThroughTheTunnel());
      EXPECT_EQ(ResolveThrough(engine.dnsServer), std::string(kBackend) + "\n");
    }
    // Without a kill switch, traffic bound to the uplink still leaves beside
    // the tunnel: the control for the kill-switch scenarios below.
    EXPECT_FALSE(KillSwitchTablePresent());
    const long count = OutsideCount();
    PingBesideTheTunnel();
    EXPECT_GT(OutsideCount(), count);

    Forget();
    ASSERT_TRUE(Disconnect());
    ASSERT_TRUE(WaitForStage("disconnected", seconds(20)))
        << testing::PrintToString(Events()) << ServiceLog();
    EXPECT_TRUE(EventsAre(
        Strings{"stage disconnecting", "stage disconnected", "info: VPN tunnel disconnected."}));
    // The disconnecting snapshot still names the profile; the final one does not.
    const std::vector<GVariant*> snapshots = Snapshots();
    ASSERT_EQ(snapshots.size(), 2u);
    EXPECT_EQ(DictString(snapshots[0], "activeProfileId"), id);
    EXPECT_EQ(DictString(snapshots[1], "activeProfileId"), "");
    EXPECT_EQ(DictInt64(snapshots[1], "connectedAtEpochMillis"), 0);
    EXPECT_EQ(Leftovers(), "");
    Forget();
  }
}

// The profile with `lines` right after its [Interface] line, and without its
// DNS line when `withoutDns` (wg-quick run by hand would hand it to resolvconf).
std::string WireGuardProfileWith(const std::string& lines, bool withoutDns = false) {
  std::string profile = WireGuardProfile();
  const std::size_t dns = profile.find("DNS = ");
  if (withoutDns && dns != std::string::npos) profile.erase(dns, profile.find('\n', dns) - dns + 1);
  const std::size_t section = profile.find("[Interface]\n");
  if (section == std::string::npos) return "";
  return profile.insert(section + strlen("[Interface]\n"), lines);
}

TEST_F(EngineScenarios, WireGuardTricksAreRefusedAndWgQuickNeverRuns) {
  const std::string marker = "/run/sandbox/wg-hook-ran";
  const std::string tricks = "postup = touch " + marker + "\nTable = 1234 # policy\n";

  // The control: wg-quick itself runs the lower-case hook and puts the
  // default route into table 1234, where no lookup of the main table sees it.
  const std::string control = "/run/sandbox/control/wgcontrol.conf";
  ASSERT_EQ(Sh("mkdir -p -m 700 /run/sandbox/control").status, 0);
  ASSERT_TRUE(g_file_set_contents(control.c_str(), WireGuardProfileWith(tricks, true).c_str(), -1,
                                  nullptr));
  const CommandResult up = Sh("wg-quick up " + control);
  EXPECT_EQ(up.status, 0) << up.err;
  EXPECT_TRUE(g_file_test(marker.c_str(), G_FILE_TEST_EXISTS));
  EXPECT_NE(Sh("ip -4 route show table 1234").out.find("default dev wgcontrol"), std::string::npos);
  EXPECT_EQ(Sh("ip route get 203.0.113.200").out.find("wgcontrol"), std::string::npos);
  EXPECT_EQ(Sh("wg-quick down " + control).status, 0);
  Sh("rm -rf /run/sandbox/control " + marker);
  ASSERT_FALSE(InterfacePresent("wgcontrol"));

  StartTheService();
  const struct {
    std::string lines;
    const char* message;
  } cases[] = {
      {"postup = touch " + marker + "\n",
       "WireGuard hook and SaveConfig directives are not permitted."},
      {"Table = 1234 # policy\n",
       "The WireGuard profile sets a routing table; only Table = auto is supported."},
      {"table=main\n",
       "The WireGuard profile sets a routing table; only Table = auto is supported."},
      {"Post Up = touch " + marker + "\n",
       "The WireGuard profile contains a line that WireGuard could read differently."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lines);
    std::string name;
    std::string message;
    EXPECT_FALSE(Call(
        "Connect", ConnectParameters("tricked", "wireGuard", WireGuardProfileWith(c.lines), true),
        &name, &message));
    EXPECT_EQ(name, "org.tessaryvpn.Error.InvalidProfile");
    EXPECT_EQ(message, c.message);
  }
  // Nothing started: no stage change, no tunnel, no hook, no routes anywhere.
  Linger(milliseconds(500));
  EXPECT_EQ(Events(), Strings{});
  EXPECT_FALSE(InterfacePresent("tessaryvpn"));
  EXPECT_FALSE(g_file_test(marker.c_str(), G_FILE_TEST_EXISTS));
  EXPECT_EQ(Sh("ip route show table all | grep tessaryvpn").out, "");
  EXPECT_TRUE(ProcessesRunning("/usr/bin/wg-quick").empty());
}

TEST_F(EngineScenarios, KillSwitchStopsTrafficBesideTheTunnelUntilDisconnect) {
  StartTheService();
  // Control: without a kill switch the uplink reaches the outside host.
  long count = OutsideCount();
  PingBesideTheTunnel();
  ASSERT_GT(OutsideCount(), count) << "the outside host must be reachable before connecting";

  ASSERT_TRUE(Connect("guarded", "wireGuard", WireGuardProfile(), true));
  ASSERT_TRUE(WaitForStage("connected", seconds(30))) << ServiceLog();
  EXPECT_TRUE(EventsAre(Strings{"stage preparing", "info: Preparing WireGuard tunnel.",
                                "stage connecting", "info: Kill switch active for this tunnel.",
                                "stage connected", "info: WireGuard tunnel connected."}));
  EXPECT_TRUE(KillSwitchTablePresent());

  // While connected: the tunnel carries traffic, nothing leaves beside it.
  EXPECT_TRUE(PingThroughTheTunnel("198.51.100.1"));
  count = OutsideCount();
  PingBesideTheTunnel();
  EXPECT_EQ(OutsideCount(), count) << "a packet beside the tunnel reached the outside host";
  EXPECT_TRUE(KillSwitchTablePresent());

  ASSERT_TRUE(Disconnect());
  ASSERT_TRUE(WaitForStage("disconnected", seconds(20))) << ServiceLog();
  EXPECT_FALSE(KillSwitchTablePresent());
  count = OutsideCount();
  PingBesideTheTunnel();
  EXPECT_GT(OutsideCount(), count) << "the uplink stays blocked after disconnect";
}

TEST_F(EngineScenarios, KillSwitchThatCannotBeBuiltWarnsAndTheTunnelStaysUp) {
  // The server is a host name that nothing resolves: the stand-in engine
  // comes up regardless, but leak protection has no address to allow.
  std::string profile = kSingBoxProfile;
  const std::string server = "192.0.2.40";
  profile.replace(profile.find(server), server.size(), "vpn.scenario.invalid");
  StartTheService();
  ASSERT_TRUE(Connect("unresolved", "trojan", profile, true));
  ASSERT_TRUE(WaitForStage("connected", seconds(20))) << ServiceLog();
  WaitForEvents(6);
  const Strings events = Events();
  ASSERT_EQ(events.size(), 6u) << testing::PrintToString(events);
  EXPECT_EQ(events[0], "stage preparing");
  EXPECT_EQ(events[1], "info: Preparing Sing-box tunnel.");
  EXPECT_EQ(events[2], "stage connecting");
  EXPECT_EQ(events[3].rfind("warning: Kill switch could not be applied: ", 0), 0u) << events[3];
  EXPECT_GT(events[3].size(), std::string("warning: Kill switch could not be applied: ").size());
  EXPECT_EQ(events[4], "stage connected");
  EXPECT_EQ(events[5], "info: Sing-box tunnel connected.");
  EXPECT_FALSE(KillSwitchTablePresent());
  EXPECT_TRUE(InterfacePresent("tessary-sbox0"));

  ASSERT_TRUE(Disconnect());
  ASSERT_TRUE(WaitForStage("disconnected", seconds(20))) << ServiceLog();
}

// Kills the engine the way a crash would and returns when it is gone.
void KillEngine(int pid) {
  ASSERT_GT(pid, 0);
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  ASSERT_TRUE(WaitUntil([pid] { return !ProcessAlive(pid); }, seconds(5)));
}

// A tunnel that stops carrying the traffic while its engine may live on
// (WireGuard has no process of the service's; an OpenVPN server may push
// routes around the tunnel) is noticed by the same poll.
TEST_F(EngineScenarios, AnEngineThatDiesIsReportedWithinSecondsAndTheKillSwitchHolds) {
  struct Case {
    const char* name;
    const char* protocol;
    std::string profile;
    bool killSwitch;
    std::string processPrefix;  // the process killed, or
    const char* breaker;        // a command that takes the traffic off the tunnel
    const char* lastError;
    int serverPort = 0;  // the proxy server, admitted only for
    int engineMark = 0;  // the engine's marked sockets
  };
  const char* kInterfaceGone =
      "The WireGuard tunnel interface tessaryvpn disappeared; traffic no longer goes through "
      "the tunnel.";
  const Case cases[] = {
      {"OpenVPN", "openVpn", OpenVpnProfile(), false,
       "/usr/sbin/openvpn --config /run/tessaryvpn/openvpn.ovpn", nullptr,
       "OpenVPN stopped unexpectedly."},
      {"Sing-box", "shadowsocks", SingBoxServerProfile(), true,
       "/usr/libexec/tessaryvpn/sing-box run", nullptr, "Sing-box stopped unexpectedly.", 8388,
       2022},
      {"Xray", "xray", XrayServerProfile(), true, "/usr/libexec/tessaryvpn/xray run", nullptr,
       "Xray stopped unexpectedly.", 8443, 2023},
      {"wireguard-go killed", "wireGuard", WireGuardProfile(), false, "wireguard-go tessaryvpn",
       nullptr, kInterfaceGone},
      {"WireGuard interface deleted", "wireGuard", WireGuardProfile(), true, "",
       "ip link del tessaryvpn", kInterfaceGone},
      {"OpenVPN routes around the tunnel", "openVpn", OpenVpnProfile(), false, "",
       "ip route add 64.0.0.0/2 via 203.0.113.66 dev veth-out",
       "Traffic no longer goes through the OpenVPN tunnel; the connection was stopped."},
  };
  StartTheService();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Connect("fragile", c.protocol, c.profile, c.killSwitch));
    ASSERT_TRUE(WaitForStage("connected", seconds(40))) << ServiceLog();
    std::vector<int> engines;
    if (c.breaker == nullptr) {
      engines = ProcessesRunning(c.processPrefix);
      ASSERT_EQ(engines.size(), 1u);
    }
    if (c.breaker == nullptr && c.killSwitch) {
      // Under the kill switch the tunnel still carries traffic, and nothing
      // leaves beside it.
      EXPECT_TRUE(EchoThroughTheTunnel());
      const long count = OutsideCount();
      PingBesideTheTunnel();
      EXPECT_EQ(OutsideCount(), count) << "a packet beside the tunnel reached the outside host";
      EXPECT_FALSE(ProxyServerAnswersBesideTheTunnel(c.serverPort, 0))
          << "a local process reached the server without the engine's mark";
      EXPECT_TRUE(ProxyServerAnswersBesideTheTunnel(c.serverPort, c.engineMark));
    }
    Forget();

    if (c.breaker == nullptr) {
      KillEngine(engines[0]);
    } else {
      ASSERT_EQ(Sh(c.breaker).status, 0);
    }
    const gint64 died = g_get_monotonic_time();
    ASSERT_TRUE(WaitForStage("error", seconds(5))) << ServiceLog();
    const gint64 noticed = g_get_monotonic_time() - died;
    EXPECT_LT(noticed, 2500 * 1000) << "the poll took " << noticed / 1000 << " ms";
    Linger(milliseconds(200));
    // An engine that ended is told from a tunnel that stopped carrying traffic.
    const bool ended = std::string(c.lastError).find(" stopped unexpectedly.") != std::string::npos;
    EXPECT_TRUE(EventsAre(
        Strings{"stage error", ended ? "error: The active VPN engine stopped unexpectedly."
                                     : "error: The VPN tunnel stopped carrying traffic."}));
    GVariant* error = LastSnapshot();
    EXPECT_EQ(DictString(error, "lastError"), c.lastError);
    EXPECT_EQ(DictString(error, "activeProfileId"), "fragile");
    EXPECT_EQ(DictInt64(error, "connectedAtEpochMillis"), 0);
    // The engine's private files are gone, but leak protection stays.
    EXPECT_EQ(Sh("ls -A /run/tessaryvpn").out, "");
    EXPECT_EQ(KillSwitchTablePresent(), c.killSwitch);
    if (c.killSwitch) {
      const long count = OutsideCount();
      PingBesideTheTunnel();
      EXPECT_EQ(OutsideCount(), count) << "traffic escaped after the engine died";
    }

    Forget();
    ASSERT_TRUE(Disconnect());
    ASSERT_TRUE(WaitForStage("disconnected", seconds(20))) << ServiceLog();
    EXPECT_TRUE(EventsAre(
        Strings{"stage disconnecting", "stage disconnected", "info: VPN tunnel disconnected."}));
    EXPECT_EQ(Leftovers(), "");
    Sh("ip route del 64.0.0.0/2 2>/dev/null");
    Forget();
  }
}

// WireGuard is connected only once its server answered, and a tunnel that
// carries one family answers the other unreachable instead of letting it
// leave beside the tunnel; a disconnect lets it go again.
TEST_F(EngineScenarios, WireGuardNeedsAnAnsweringServerAndLeaksNeitherFamily) {
  auto with = [](const char* from, const char* to) {
    std::string profile = WireGuardProfile();
    const std::size_t at = profile.find(from);
    return at == std::string::npos ? "" : profile.replace(at, strlen(from), to);
  };
  const char* kSilent =
      "The WireGuard server did not answer. Check that the server is online and that the "
      "profile's endpoint and keys are current.";
  const struct {
    const char* name;
    std::string profile;
    const char* lastError;   // null: connects
    const char* tunnelPeer;  // answers through the tunnel, or null
    bool ipv4Leaves;         // afterwards, to the host beyond
    bool ipv6Leaves;
  } cases[] = {
      {"IPv4 only", with("0.0.0.0/0, ::/0", "0.0.0.0/0"), nullptr, "198.51.100.1", false, false},
      {"IPv6 only", with("0.0.0.0/0, ::/0", "::/0"), nullptr, nullptr, false, false},
      {"a server that never answers", with("192.0.2.2:51820", "192.0.2.2:51999"), kSilent, nullptr,
       true, true},
  };
  StartTheService();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_FALSE(c.profile.empty());
    ASSERT_TRUE(Connect("one-family", "wireGuard", c.profile));
    const char* settled = c.lastError == nullptr ? "connected" : "error";
    ASSERT_TRUE(WaitForStage(settled, seconds(40))) << ServiceLog();
    if (c.lastError != nullptr) {
      for (const std::string& event : Events()) EXPECT_NE(event, "stage connected");
      EXPECT_EQ(DictString(LastSnapshot(), "lastError"), c.lastError);
      EXPECT_FALSE(InterfacePresent("tessaryvpn"));
    }
    if (c.tunnelPeer != nullptr) {
      EXPECT_TRUE(PingThroughTheTunnel(c.tunnelPeer));
    }
    const auto before = BeyondCounts();
    PingBeyond();
    const auto after = BeyondCounts();
    EXPECT_EQ(after.first > before.first, c.ipv4Leaves)
        << "IPv4 " << before.first << " -> " << after.first;
    EXPECT_EQ(after.second > before.second, c.ipv6Leaves)
        << "IPv6 " << before.second << " -> " << after.second;

    Forget();
    ASSERT_TRUE(Disconnect());
    ASSERT_TRUE(WaitForStage("disconnected", seconds(20))) << ServiceLog();
    EXPECT_EQ(Leftovers(), "");
    // The control: with the tunnel gone, both families reach the host again.
    const auto control = BeyondCounts();
    PingBeyond();
    EXPECT_GT(BeyondCounts().first, control.first);
    EXPECT_GT(BeyondCounts().second, control.second);
    Forget();
  }
}

TEST_F(EngineScenarios, AProfileThatHidesARootHookIsRefusedAndOpenVpnNeverRuns) {
  const std::string hook = std::string(kPeerDirectory) + "/hook-ran";
  const std::string script = "\"/bin/sh -c 'id > " + hook + "'\"";
  const std::string profile = OpenVpnProfile();
  ASSERT_FALSE(profile.empty());

  // Control: the real openvpn reads a quoted "route-up" as the hook and runs
  // it as root once the tunnel is up (routes are not applied, so the sandbox
  // keeps its own).
  const std::string path = std::string(kPeerDirectory) + "/hostile.ovpn";
  ASSERT_TRUE(g_file_set_contents(path.c_str(), (profile + "\"route-up\" " + script + "\n").c_str(),
                                  -1, nullptr));
  const std::string pidFile = std::string(kPeerDirectory) + "/hostile.pid";
  ASSERT_EQ(Sh("/usr/sbin/openvpn --config " + path +
               " --script-security 2 --dev tun-probe --route-noexec --daemon --writepid " + pidFile)
                .status,
            0);
  const bool ran =
      WaitUntil([&] { return g_file_test(hook.c_str(), G_FILE_TEST_EXISTS); }, seconds(30));
  const int control = atoi(ReadText(pidFile).c_str());
  if (control > 0) {
    kill(control, SIGTERM);
    EXPECT_TRUE(WaitUntil([control] { return !ProcessAlive(control); }, seconds(10)));
  }
  ASSERT_TRUE(ran) << "openvpn itself did not run the quoted route-up";
  ASSERT_EQ(unlink(hook.c_str()), 0);

  // The same trick and its relatives through the service: each is refused
  // before anything of it runs.
  const char* kForbidden =
      "The OpenVPN profile contains a privileged or external-control directive that is not "
      "permitted.";
  const char* kAmbiguous =
      "The OpenVPN profile contains a line that OpenVPN could read differently.";
  const struct {
    std::string text;
    const char* message;
  } hostile[] = {
      {"\"route-up\" " + script + "\n", kForbidden},
      {"'route-up' " + script + "\n", kForbidden},
      {"<tls-auth>\nk\n</tls-auth>x\nroute-up " + script + "\n</tls-auth>\n", kAmbiguous},
      {"<tls-auth> ;comment\nk\n</tls-auth>\n", kAmbiguous},
      {"show-pkcs11-ids /usr/lib/x.so\n", kForbidden},
  };
  StartTheService();
  for (const auto& h : hostile) {
    SCOPED_TRACE(h.text);
    std::string name;
    std::string message;
    EXPECT_FALSE(Call("Connect", ConnectParameters("hostile", "openVpn", profile + h.text, false),
                      &name, &message));
    EXPECT_EQ(name, "org.tessaryvpn.Error.InvalidProfile");
    EXPECT_EQ(message, h.message);
  }
  Linger(seconds(2));
  for (const std::string& event : Events()) EXPECT_NE(event, "stage preparing");
  EXPECT_TRUE(ProcessesRunning("/usr/sbin/openvpn --config /run/tessaryvpn/").empty());
  EXPECT_FALSE(g_file_test("/run/tessaryvpn/openvpn.ovpn", G_FILE_TEST_EXISTS));
  EXPECT_FALSE(g_file_test(hook.c_str(), G_FILE_TEST_EXISTS)) << "a refused profile ran its hook";
  GVariant* snapshot = Dictionary("GetConnectionSnapshot");
  EXPECT_EQ(DictString(snapshot, "stage"), "disconnected");
  if (snapshot) g_variant_unref(snapshot);
}

}  // namespace
}  // namespace tessary::test::scenario
