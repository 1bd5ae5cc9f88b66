// A user changes their mind while an engine is still starting, shuts the
// service down under it, or meets an engine that misbehaves: one that exits at
// once, one that never brings its route up, one deaf to SIGTERM. The stand-in
// engines' misbehaviour is chosen through their control file.
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
  // must end it at the next half-second pass instead.
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

TEST_F(InterruptScenarios, SingBoxThatExitsAtOnceFailsAfterOnePass) {
  ChooseMisbehaviour("exit-at-once");
  StartTheService();
  const gint64 asked = g_get_monotonic_time();
  ASSERT_TRUE(Connect("broken", "trojan", kSingBoxProfile));
  ASSERT_TRUE(WaitForStage("error", seconds(15))) << ServiceLog();
  // The check run, the spawn and at most one half-second pass.
  EXPECT_LT(SecondsSince(asked), 1.5);
  EXPECT_TRUE(
      EventsAre(Strings{"stage preparing", "info: Preparing Sing-box tunnel.", "stage connecting",
                        "stage error", "error: Sing-box connection failed."}));
  EXPECT_EQ(DictString(LastSnapshot(), "lastError"), "Sing-box exited during startup.");
  EXPECT_EQ(DictString(LastSnapshot(), "activeProfileId"), "broken");
  EXPECT_EQ(Leftovers(), "");
}

TEST_F(InterruptScenarios, XrayThatNeverRoutesTimesOut) {
  ChooseMisbehaviour("no-route");
  StartTheService();
  const gint64 asked = g_get_monotonic_time();
  ASSERT_TRUE(Connect("routeless", "xray", kXrayProfile));
  ASSERT_TRUE(WaitForStage("error", seconds(25))) << ServiceLog();
  // Twenty half-second passes, then the stop of an engine that honours SIGTERM.
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

}  // namespace
}  // namespace tessary::test::scenario
