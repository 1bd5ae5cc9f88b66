// A user connects and disconnects each of the four engines through the real
// service, with and without the kill switch, and an engine dies under a
// connected tunnel. Everything is seen the way a client sees it: the
// SnapshotChanged and LogEmitted signals in the order they arrived.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "tests/scenario_support.h"

namespace tessary::test::scenario {
namespace {

struct Engine {
  const char* name;      // display name in the log entries
  const char* protocol;  // the profile's protocol label
  std::string (*profile)();
  const char* interface;   // the tunnel interface the service forces
  const char* tunnelPeer;  // an address inside the tunnel that answers, or null
};

std::string SingBox() { return kSingBoxProfile; }
std::string Xray() { return kXrayProfile; }

const Engine kEngines[] = {
    {"WireGuard", "wireGuard", WireGuardProfile, "tessaryvpn", "198.51.100.1"},
    {"OpenVPN", "openVpn", OpenVpnProfile, "tun-tessaryvpn", "198.51.100.129"},
    {"Sing-box", "trojan", SingBox, "tessary-sbox0", nullptr},
    {"Xray", "xray", Xray, "tessary-xray0", nullptr},
};

// Packets addressed to the outside host itself that reached it.
long OutsideCount() { return atol(Sh(Peers("outside-count")).out.c_str()); }

// Pings the outside host through the uplink itself, beside any tunnel route:
// exactly the traffic a kill switch must stop.
void PingBesideTheTunnel() { Sh("ping -n -c 2 -i 0.2 -W 1 -I veth-out 203.0.113.66"); }

bool PingThroughTheTunnel(const char* address) {
  return Sh(std::string("ping -n -c 1 -W 3 ") + address).status == 0;
}

using EngineScenarios = ScenarioTest;

TEST_F(EngineScenarios, EachEngineConnectsAndDisconnectsLeavingNothingBehind) {
  StartTheService();
  for (const Engine& engine : kEngines) {
    SCOPED_TRACE(engine.name);
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
    if (engine.tunnelPeer != nullptr) {
      EXPECT_NE(Sh(std::string("resolvectl dns ") + engine.interface).out.find("198.51.100."),
                std::string::npos);
      EXPECT_NE(Sh("ip route get 203.0.113.200").out.find(engine.interface), std::string::npos);
      EXPECT_TRUE(PingThroughTheTunnel(engine.tunnelPeer));
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

TEST_F(EngineScenarios, AnEngineThatDiesIsReportedWithinSecondsAndTheKillSwitchHolds) {
  struct Case {
    const char* name;
    const char* protocol;
    std::string profile;
    bool killSwitch;
    std::string processPrefix;
  };
  const Case cases[] = {
      {"OpenVPN", "openVpn", OpenVpnProfile(), false,
       "/usr/sbin/openvpn --config /run/tessaryvpn/openvpn.ovpn"},
      {"Sing-box", "trojan", kSingBoxProfile, true, "/usr/libexec/tessaryvpn/sing-box run"},
  };
  StartTheService();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Connect("fragile", c.protocol, c.profile, c.killSwitch));
    ASSERT_TRUE(WaitForStage("connected", seconds(40))) << ServiceLog();
    const std::vector<int> engines = ProcessesRunning(c.processPrefix);
    ASSERT_EQ(engines.size(), 1u);
    Forget();

    KillEngine(engines[0]);
    const gint64 died = g_get_monotonic_time();
    ASSERT_TRUE(WaitForStage("error", seconds(5))) << ServiceLog();
    const gint64 noticed = g_get_monotonic_time() - died;
    EXPECT_LT(noticed, 2500 * 1000) << "the poll took " << noticed / 1000 << " ms";
    Linger(milliseconds(200));
    EXPECT_TRUE(
        EventsAre(Strings{"stage error", "error: The active VPN engine stopped unexpectedly."}));
    GVariant* error = LastSnapshot();
    EXPECT_EQ(DictString(error, "lastError"), std::string(c.name) + " stopped unexpectedly.");
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
