// A user changes their mind while an engine is still starting, shuts the
// service down under it, or meets an engine that misbehaves: one that exits at
// once, one that never brings its route up, one deaf to SIGTERM; or sends a
// profile the engine would read differently. The stand-in engines'
// misbehaviour is chosen through their control file, and they log each run.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <vector>

#include "tests/scenario_support.h"

namespace tessary::test::scenario {
namespace {

void ChooseMisbehaviour(const char* mode) {
  ASSERT_TRUE(g_file_set_contents(kStandinMode, mode, -1, nullptr));
}

double SecondsSince(gint64 start) {
  return static_cast<double>(g_get_monotonic_time() - start) / G_USEC_PER_SEC;
}

class InterruptScenarios : public ScenarioTest {
 protected:
  // Connects with an engine that brings its interface up but never a route,
  // so the start keeps waiting; returns once the engine is in that wait.
  void ConnectAndHang(const char* protocol, const char* profile, const char* interface) {
    ChooseMisbehaviour("no-route");
    StartTheService();
    ASSERT_TRUE(Connect("hesitant", protocol, profile));
    ASSERT_TRUE(WaitForStage("connecting", seconds(10)));
    ASSERT_TRUE(WaitUntil([&] { return InterfacePresent(interface); }, seconds(5))) << ServiceLog();
  }
};

TEST_F(InterruptScenarios, DisconnectWhileConnectingAbandonsTheStart) {
  ASSERT_NO_FATAL_FAILURE(ConnectAndHang("trojan", kSingBoxProfile, "tessary-sbox0"));
  const gint64 asked = g_get_monotonic_time();
  ASSERT_TRUE(Disconnect());
  ASSERT_TRUE(WaitForStage("disconnected", seconds(15))) << ServiceLog();
  // The start waits up to ten seconds for a route; the cancellation check
  // must end it within moments instead.
  EXPECT_LT(SecondsSince(asked), 3.0);
  Linger(milliseconds(700));
  // The overtaken connect worker reports nothing: no error, no failure entry.
  EXPECT_TRUE(EventsAre(Strings{"stage preparing", "info: Preparing Sing-box tunnel.",
                                "stage connecting", "stage disconnecting", "stage disconnected",
                                "info: VPN tunnel disconnected."}));
  EXPECT_EQ(Leftovers(), "");
}

TEST_F(InterruptScenarios, SigtermWhileConnectingAbandonsTheStartAndExitsCleanly) {
  ASSERT_NO_FATAL_FAILURE(ConnectAndHang("xray", kXrayProfile, "tessary-xray0"));
  const gint64 asked = g_get_monotonic_time();
  EXPECT_EQ(StopTheService(SIGTERM, seconds(15)), 0) << ServiceLog();
  EXPECT_LT(SecondsSince(asked), 3.0);
  ASSERT_TRUE(WaitForStage("disconnected", seconds(2)));
  EXPECT_TRUE(EventsAre(Strings{"stage preparing", "info: Preparing Xray tunnel.",
                                "stage connecting", "stage disconnecting", "stage disconnected"}));
  EXPECT_EQ(DictString(Snapshots()[2], "activeProfileId"), "hesitant");
  EXPECT_EQ(DictString(LastSnapshot(), "activeProfileId"), "");
  EXPECT_EQ(Leftovers(), "");
}

TEST_F(InterruptScenarios, SingBoxThatExitsAtOnceFailsAtOnceWithItsStatus) {
  ChooseMisbehaviour("exit-at-once");
  StartTheService();
  const gint64 asked = g_get_monotonic_time();
  ASSERT_TRUE(Connect("broken", "trojan", kSingBoxProfile));
  ASSERT_TRUE(WaitForStage("error", seconds(15))) << ServiceLog();
  // The check run and the spawn; the exit ends the wait at once.
  EXPECT_LT(SecondsSince(asked), 1.5);
  EXPECT_TRUE(
      EventsAre(Strings{"stage preparing", "info: Preparing Sing-box tunnel.", "stage connecting",
                        "stage error", "error: Sing-box connection failed."}));
  EXPECT_EQ(DictString(LastSnapshot(), "lastError"),
            "Sing-box exited with status 1 during startup.");
  EXPECT_EQ(DictString(LastSnapshot(), "activeProfileId"), "broken");
  EXPECT_EQ(Leftovers(), "");
}

TEST_F(InterruptScenarios, XrayThatNeverRoutesTimesOut) {
  ChooseMisbehaviour("no-route");
  StartTheService();
  const gint64 asked = g_get_monotonic_time();
  ASSERT_TRUE(Connect("routeless", "xray", kXrayProfile));
  ASSERT_TRUE(WaitForStage("error", seconds(25))) << ServiceLog();
  // The ten-second bound, then the stop of an engine that honours SIGTERM.
  const double took = SecondsSince(asked);
  EXPECT_GE(took, 9.5);
  EXPECT_LT(took, 14.0);
  EXPECT_TRUE(
      EventsAre(Strings{"stage preparing", "info: Preparing Xray tunnel.", "stage connecting",
                        "stage error", "error: Xray connection failed."}));
  EXPECT_EQ(DictString(LastSnapshot(), "lastError"),
            "Xray did not establish its TUN interface in time.");
  EXPECT_EQ(Leftovers(), "");
}

TEST_F(InterruptScenarios, EngineDeafToSigtermIsKilledAndTheDisconnectSaysSo) {
  ChooseMisbehaviour("ignore-sigterm");
  StartTheService();
  ASSERT_TRUE(Connect("stubborn", "trojan", kSingBoxProfile));
  ASSERT_TRUE(WaitForStage("connected", seconds(15))) << ServiceLog();
  Forget();
  const gint64 asked = g_get_monotonic_time();
  ASSERT_TRUE(Disconnect());
  ASSERT_TRUE(WaitForStage("error", seconds(20))) << ServiceLog();
  const double took = SecondsSince(asked);
  EXPECT_GE(took, 7.9);
  EXPECT_LT(took, 11.0);
  EXPECT_TRUE(EventsAre(
      Strings{"stage disconnecting", "stage error", "error: VPN disconnect cleanup failed."}));
  EXPECT_EQ(DictString(LastSnapshot(), "lastError"),
            "Sing-box required forced termination; route cleanup needs verification.");
  EXPECT_EQ(DictString(LastSnapshot(), "activeProfileId"), "");
  // The engine is gone all the same, and the runtime admits the doubt.
  EXPECT_EQ(Leftovers(), "");
  GVariant* info = Dictionary("GetRuntimeInfo");
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(DictString(info, "summary"),
            "Sing-box ready; Xray ready; WireGuard ready; OpenVPN ready; cleanup repair required");
  gboolean ready = TRUE;
  EXPECT_TRUE(g_variant_lookup(info, "nativeBridgeReady", "b", &ready));
  EXPECT_FALSE(ready);
  g_variant_unref(info);

  // The slot is idle: the user can connect again, and a clean run heals it.
  ASSERT_EQ(unlink(kStandinMode), 0);
  Forget();
  ASSERT_TRUE(Connect("stubborn", "trojan", kSingBoxProfile));
  ASSERT_TRUE(WaitForStage("connected", seconds(15))) << ServiceLog();
  ASSERT_TRUE(Disconnect());
  ASSERT_TRUE(WaitForStage("disconnected", seconds(15))) << ServiceLog();
  info = Dictionary("GetRuntimeInfo");
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(DictString(info, "summary"),
            "Sing-box ready; Xray ready; WireGuard ready; OpenVPN ready");
  g_variant_unref(info);
}

// A profile the engine's decoder would read differently from validation, or
// one asking the engine for a listener on the host, is refused on the bus: no
// stage changes, the engine never runs, nothing listens.
TEST_F(InterruptScenarios, AProfileTheEngineWouldReadDifferentlyNeverStartsIt) {
  std::string singBox = kSingBoxProfile;
  singBox.insert(singBox.size() - 1,
                 R"(,"Inbounds":[{"type":"mixed","listen":"127.0.0.1","listen_port":1080}])");
  std::string xray = kXrayProfile;
  xray.insert(xray.size() - 1, R"(,"Metrics":{"tag":"m","listen":"127.0.0.1:1080"})");
  const struct {
    const char* engine;
    const char* protocol;
    std::string profile;
    const char* message;
  } cases[] = {
      {"sing-box", "trojan", singBox,
       "The Sing-box profile contains member names that Sing-box could read differently."},
      {"xray", "xray", xray, "Xray metrics listeners are not permitted in VPN profiles."},
  };
  StartTheService();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.engine);
    const std::string runs = std::string("/run/tessaryvpn-standin/") + c.engine + ".log";
    const std::string before = ReadText(runs);
    std::string name;
    std::string message;
    EXPECT_FALSE(Call("Connect", ConnectParameters("hostile", c.protocol, c.profile, true), &name,
                      &message));
    EXPECT_EQ(name, "org.tessaryvpn.Error.InvalidProfile");
    EXPECT_EQ(message, c.message);
    Linger(milliseconds(500));
    EXPECT_TRUE(EventsAre(Strings{}));
    EXPECT_EQ(ReadText(runs), before) << "the engine ran";
    EXPECT_EQ(Sh("ss -Hltn 'sport = :1080'").out, "");
    EXPECT_EQ(Sh("ls -A /run/tessaryvpn").out, "");
    EXPECT_FALSE(KillSwitchTablePresent());
  }
}

}  // namespace
}  // namespace tessary::test::scenario
