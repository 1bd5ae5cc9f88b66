// The service is killed outright while a tunnel is up, and started again:
// what the killed run left behind (WireGuard state, DNS, private files, and
// what the real sing-box and Xray leave when they are killed too) must be
// cleaned before the new run takes calls, its kill switch kept until a
// Disconnect, and GetRuntimeInfo must say whether that worked.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/scenario_support.h"

namespace tessary::test::scenario {
namespace {

class RecoveryScenarios : public ScenarioTest {
 protected:
  static void SetUpTestSuite() { PrepareHostsAndEngines(/*realEngines=*/true); }

  void TearDown() override {
    Sh("test -e /run/sandbox/nft.real && cp -a /run/sandbox/nft.real /usr/sbin/nft");
    ScenarioTest::TearDown();
  }

  // Connects, then kills the service with SIGKILL so that nothing of it runs
  // its clean-up; returns with the new run not yet started.
  void ConnectAndKillTheService(const char* protocol, const std::string& profile, bool killSwitch) {
    StartTheService();
    ASSERT_TRUE(Connect("abandoned", protocol, profile, killSwitch));
    ASSERT_TRUE(WaitForStage("connected", seconds(40))) << ServiceLog();
    ASSERT_EQ(StopTheService(SIGKILL, seconds(5)), 128 + SIGKILL);
    Forget();
  }

  void BreakNft() {
    ASSERT_EQ(Sh("test -e /run/sandbox/nft.real || cp -a /usr/sbin/nft /run/sandbox/nft.real; "
                 "printf '#!/bin/sh\\nexit 1\\n' >/usr/sbin/nft")
                  .status,
              0);
  }
  void RepairNft() { ASSERT_EQ(Sh("cp -a /run/sandbox/nft.real /usr/sbin/nft").status, 0); }

  std::string Summary() {
    GVariant* info = Dictionary("GetRuntimeInfo");
    if (info == nullptr) return "(no answer)";
    std::string summary = DictString(info, "summary");
    gboolean ready = FALSE;
    g_variant_lookup(info, "nativeBridgeReady", "b", &ready);
    g_variant_unref(info);
    return summary + (ready ? " [ready]" : " [not ready]");
  }

  std::string SnapshotText() {
    GVariant* snapshot = Dictionary("GetConnectionSnapshot");
    if (snapshot == nullptr) return "(no answer)";
    const std::string text =
        DictString(snapshot, "stage") + "|" + DictString(snapshot, "lastError");
    g_variant_unref(snapshot);
    return text;
  }
};

constexpr char kHealthy[] = "Sing-box ready; Xray ready; WireGuard ready; OpenVPN ready [ready]";

TEST_F(RecoveryScenarios, WireGuardLeftByAKilledServiceIsTakenDownAtTheNextStart) {
  // An IPv4-only tunnel, so that the killed run also leaves IPv6 blocked.
  std::string ipv4Only = WireGuardProfile();
  const std::string both = "0.0.0.0/0, ::/0";
  ASSERT_NE(ipv4Only.find(both), std::string::npos);
  ipv4Only.replace(ipv4Only.find(both), both.size(), "0.0.0.0/0");
  ASSERT_NO_FATAL_FAILURE(ConnectAndKillTheService("wireGuard", ipv4Only, false));
  // What the killed run left: the tunnel, its DNS, its private file and the
  // block of the family it does not carry.
  ASSERT_NE(Sh("ip -6 rule show").out.find("unreachable"), std::string::npos);
  ASSERT_TRUE(InterfacePresent("tessaryvpn"));
  ASSERT_NE(Sh("resolvectl dns tessaryvpn").out.find("198.51.100.1"), std::string::npos);
  ASSERT_NE(Sh("ls -A /run/tessaryvpn").out, "");

  StartTheService();
  EXPECT_EQ(Leftovers(), "");
  EXPECT_EQ(SnapshotText(), "disconnected|");
  EXPECT_EQ(Summary(), kHealthy);
  // The usual road works again from the clean slate.
  ASSERT_TRUE(Connect("again", "wireGuard", WireGuardProfile()));
  ASSERT_TRUE(WaitForStage("connected", seconds(30))) << ServiceLog();

  // Killed again, and this time the userspace engine dies too, taking the
  // interface and its routes along: wg-quick's rules and tables remain.
  ASSERT_EQ(StopTheService(SIGKILL, seconds(5)), 128 + SIGKILL);
  const std::vector<int> engines = ProcessesRunning("wireguard-go tessaryvpn");
  ASSERT_EQ(engines.size(), 1u);
  ASSERT_EQ(kill(engines[0], SIGKILL), 0);
  ASSERT_TRUE(WaitUntil([] { return !InterfacePresent("tessaryvpn"); }, seconds(5)));
  const std::string left = Leftovers();
  ASSERT_NE(left.find("suppress_prefixlength"), std::string::npos) << left;
  ASSERT_NE(left.find("table ip6 wg-quick-tessaryvpn"), std::string::npos) << left;

  StartTheService();
  EXPECT_EQ(Leftovers(), "");
  EXPECT_EQ(SnapshotText(), "disconnected|");
  EXPECT_EQ(Summary(), kHealthy);
}

TEST_F(RecoveryScenarios, AProcessEngineLeftByAKilledServiceIsStoppedAtTheNextStart) {
  ASSERT_NO_FATAL_FAILURE(ConnectAndKillTheService("trojan", kSingBoxProfile, true));
  ASSERT_TRUE(KillSwitchTablePresent());
  ASSERT_NE(Sh("ls -A /run/tessaryvpn").out, "");
  // No service manager ends the unit's processes here: the engine survives.
  const std::vector<int> orphans = ProcessesRunning("/usr/libexec/tessaryvpn/sing-box run");
  ASSERT_EQ(orphans.size(), 1u);

  // The killed run was protecting the user: the table stays, everything else
  // goes, and the service says why nothing flows until a Disconnect.
  StartTheService();
  EXPECT_FALSE(ProcessAlive(orphans[0]));
  EXPECT_EQ(Leftovers(), "nft table inet tessaryvpn\n");
  EXPECT_EQ(SnapshotText(),
            "error|The last run of the service ended while the kill switch was on. Leak "
            "protection still blocks traffic; Disconnect lifts it.");
  EXPECT_EQ(Summary(), kHealthy);
  ASSERT_TRUE(Disconnect());
  ASSERT_TRUE(WaitForStage("disconnected", seconds(20))) << ServiceLog();
  EXPECT_EQ(Leftovers(), "");

  // A tunnel interface of another program's is not taken for the new one.
  ASSERT_EQ(Sh("ip tuntap add dev tessary-sbox0 mode tun").status, 0);
  ASSERT_TRUE(Connect("foreign", "trojan", kSingBoxProfile));
  ASSERT_TRUE(WaitForStage("error", seconds(20))) << ServiceLog();
  EXPECT_NE(DictString(LastSnapshot(), "lastError")
                .find("The tunnel interface tessary-sbox0 already exists; remove it or stop the "
                      "program that created it."),
            std::string::npos)
      << DictString(LastSnapshot(), "lastError");
  ASSERT_EQ(Sh("ip link del tessary-sbox0").status, 0);

  // A fresh connect brings up an interface of its own and stops cleanly.
  Forget();
  ASSERT_TRUE(Connect("again", "trojan", kSingBoxProfile));
  ASSERT_TRUE(WaitForStage("connected", seconds(30))) << ServiceLog();
  ASSERT_TRUE(Disconnect());
  ASSERT_TRUE(WaitForStage("disconnected", seconds(20))) << ServiceLog();
  ASSERT_EQ(StopTheService(), 0) << ServiceLog();

  // The service and the engine both killed: nothing ran either one's
  // clean-up, so the engine's rules and tables are all still there for the
  // next start to remove.
  for (const auto& [protocol, profile, program] :
       {std::tuple<const char*, std::string, const char*>{"trojan", kSingBoxProfile,
                                                          "/usr/libexec/tessaryvpn/sing-box run"},
        {"xray", kXrayProfile, "/usr/libexec/tessaryvpn/xray run"}}) {
    SCOPED_TRACE(protocol);
    ASSERT_NO_FATAL_FAILURE(ConnectAndKillTheService(protocol, profile, false));
    const std::vector<int> engines = ProcessesRunning(program);
    ASSERT_EQ(engines.size(), 1u) << Sh("ps -eo pid,ppid,stat,etimes,args").out << ServiceLog();
    ASSERT_EQ(kill(engines[0], SIGKILL), 0);
    ASSERT_TRUE(WaitUntil([&] { return !ProcessAlive(engines[0]); }, seconds(5)));
    ASSERT_NE(Leftovers(), "");
    StartTheService();
    EXPECT_EQ(Leftovers(), "");
    EXPECT_EQ(Summary(), kHealthy);
    ASSERT_EQ(StopTheService(), 0) << ServiceLog();
  }
}

TEST_F(RecoveryScenarios, ALeftoverThatCannotBeRemovedIsReportedUntilADisconnectRepairsIt) {
  ASSERT_NO_FATAL_FAILURE(ConnectAndKillTheService("xray", kXrayProfile, true));
  const std::vector<int> orphans = ProcessesRunning("/usr/libexec/tessaryvpn/xray run");
  ASSERT_EQ(orphans.size(), 1u);

  // nft fails for the new run's recovery, so the table cannot go; the
  // orphaned engine is stopped all the same.
  ASSERT_NO_FATAL_FAILURE(BreakNft());
  StartTheService();
  EXPECT_FALSE(ProcessAlive(orphans[0]));
  const std::string snapshot = SnapshotText();
  EXPECT_EQ(snapshot.rfind("error|", 0), 0u) << snapshot;
  EXPECT_GT(snapshot.size(), std::string("error|").size()) << "the error must say why";
  EXPECT_EQ(Summary(),
            "Sing-box ready; Xray ready; WireGuard ready; OpenVPN ready; cleanup repair required "
            "[not ready]");

  // With nft back, a Disconnect repairs it and the service says so.
  ASSERT_NO_FATAL_FAILURE(RepairNft());
  EXPECT_TRUE(Sh("/usr/sbin/nft list table inet tessaryvpn").status == 0);
  ASSERT_TRUE(Disconnect());
  ASSERT_TRUE(WaitForStage("disconnected", seconds(20))) << ServiceLog();
  EXPECT_TRUE(EventsAre(
      Strings{"stage disconnecting", "stage disconnected", "info: VPN tunnel disconnected."}));
  EXPECT_EQ(Summary(), kHealthy);
  EXPECT_FALSE(KillSwitchTablePresent());
  // The recovery stopped at the table, so the killed run's private files wait
  // for the next start, which wipes them.
  ASSERT_EQ(StopTheService(), 0) << ServiceLog();
  StartTheService();
  EXPECT_EQ(Summary(), kHealthy);
  EXPECT_EQ(Leftovers(), "");
}

TEST_F(RecoveryScenarios, AFailedStartWhoseCleanupAlsoFailsSaysSo) {
  StartTheService();
  // With nft broken, neither the start's own clean-up nor the recovery after
  // the failed start can lift the (absent) table.
  ASSERT_NO_FATAL_FAILURE(BreakNft());
  ASSERT_TRUE(Connect("doomed", "trojan", kSingBoxProfile));
  ASSERT_TRUE(WaitForStage("error", seconds(20))) << ServiceLog();
  EXPECT_TRUE(
      EventsAre(Strings{"stage preparing", "info: Preparing Sing-box tunnel.", "stage connecting",
                        "stage error", "error: Sing-box connection failed."}));
  const std::string error = DictString(LastSnapshot(), "lastError");
  const std::string suffix = " The failed engine could not be fully cleaned up.";
  ASSERT_GT(error.size(), suffix.size()) << error;
  EXPECT_EQ(error.substr(error.size() - suffix.size()), suffix) << error;
  EXPECT_EQ(error.find(suffix), error.size() - suffix.size()) << "appended once: " << error;
  EXPECT_EQ(DictString(LastSnapshot(), "activeProfileId"), "doomed");
  EXPECT_EQ(Summary(),
            "Sing-box ready; Xray ready; WireGuard ready; OpenVPN ready; cleanup repair required "
            "[not ready]");
  // No engine was started, so nothing of one is left.
  EXPECT_TRUE(ProcessesRunning("/usr/libexec/tessaryvpn/sing-box run").empty());

  ASSERT_NO_FATAL_FAILURE(RepairNft());
  Forget();
  ASSERT_TRUE(Disconnect());
  ASSERT_TRUE(WaitForStage("disconnected", seconds(20))) << ServiceLog();
  EXPECT_EQ(Summary(), kHealthy);
}

}  // namespace
}  // namespace tessary::test::scenario
