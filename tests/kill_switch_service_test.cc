// The kill switch as a user meets it: the installed service on the sandbox
// bus connects a real WireGuard tunnel (tests/sandbox/peers) with "killSwitch"
// on. While connected, the outside host on the uplink (203.0.113.66) receives
// nothing, not even during a reconnect, no other process reaches the server,
// and the tunnel still carries traffic; a disconnect lifts the table; and a
// table left behind by a service that was killed keeps the machine closed,
// also across the next start, until a Disconnect lifts it.
#include <gtest/gtest.h>
#include <signal.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "common/constants.h"
#include "tests/sandbox/sandbox_util.h"

namespace tessary::test {
namespace {

using Strings = std::vector<std::string>;

GVariant* Profile(const std::string& config, bool killSwitch) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&builder, "{sv}", "id", g_variant_new_string("office"));
  g_variant_builder_add(&builder, "{sv}", "protocol", g_variant_new_string("wireGuard"));
  g_variant_builder_add(&builder, "{sv}", "rawConfig", g_variant_new_string(config.c_str()));
  g_variant_builder_add(&builder, "{sv}", "killSwitch", g_variant_new_boolean(killSwitch));
  return g_variant_new("(a{sv})", &builder);
}

// Packets matching `match` that reached namespace `ns` while `send` ran,
// counted by a fresh nft counter there.
int Arrivals(const std::string& ns, const std::string& match, const std::function<void()>& send) {
  Sh("ip netns exec " + ns + " nft -f - <<'EOF'\n" +
     "table inet probe\ndelete table inet probe\n"
     "table inet probe {\n  chain pre {\n"
     "    type filter hook prerouting priority -300; policy accept;\n    " +
     match + " counter\n  }\n}\nEOF");
  send();
  usleep(100 * 1000);
  const std::string listed = Sh("ip netns exec " + ns + " nft list table inet probe").out;
  Sh("ip netns exec " + ns + " nft delete table inet probe");
  const size_t at = listed.find("counter packets ");
  return at == std::string::npos ? -1 : atoi(listed.c_str() + at + 16);
}

// Datagrams from this machine to the outside host that arrived there.
int OutsideArrivals(int datagrams) {
  return Arrivals("outside", "ip daddr 203.0.113.66 udp dport 5000", [datagrams] {
    for (int i = 0; i < datagrams; ++i) {
      Run({"/bin/bash", "-c", "echo leak-probe >/dev/udp/203.0.113.66/5000"});
    }
  });
}

// What any local process other than the engine gets through to the VPN
// server's own address and port (192.0.2.2:51820) and to its other ports.
int ServerArrivalsFromOtherProcesses() {
  const int udp = Arrivals("wgpeer", "ip daddr 192.0.2.2 udp sport 40000 udp dport 51820", [] {
    for (int i = 0; i < 3; ++i) {
      Sh("echo leak-probe | timeout 2 socat - UDP4-SENDTO:192.0.2.2:51820,sourceport=40000");
    }
  });
  const int tcp = Arrivals("wgpeer", "ip daddr 192.0.2.2 tcp dport 7000", [] {
    Sh("timeout 2 bash -c 'echo leak-probe >/dev/tcp/192.0.2.2/7000'");
  });
  return udp < 0 || tcp < 0 ? -1 : udp + tcp;
}

// Sends, `rounds` (argv[1]) times 5 ms apart, one packet of each class a
// leak shows in to the outside host in both families (UDP, a DNS query, a TCP
// SYN and an ICMP echo request) and writes the rounds done to
// /run/sandbox/probes. A blocked send fails; the next one is tried all the same.
constexpr char kProber[] = R"PY(
import os, socket, struct, sys, time
dns = b"\x12\x34\x01\x00\x00\x01\x00\x00\x00\x00\x00\x00\x05probe\x04test\x00\x00\x01\x00\x01"
def checksum(data):
    total = sum(struct.unpack("!%dH" % (len(data) // 2), data))
    total = (total >> 16) + (total & 0xffff)
    return ~(total + (total >> 16)) & 0xffff
echo4 = struct.pack("!BBHHH", 8, 0, checksum(struct.pack("!BBHHH", 8, 0, 0, 1, 1)), 1, 1)
echo6 = struct.pack("!BBHHH", 128, 0, 0, 1, 1)  # the kernel sums ICMPv6 itself
hosts = ((socket.AF_INET, "203.0.113.66", socket.IPPROTO_ICMP, echo4),
         (socket.AF_INET6, "2001:db8:66::2", socket.IPPROTO_ICMPV6, echo6))
for i in range(1, int(sys.argv[1]) + 1):
    for family, host, icmp, echo in hosts:
        for kind, proto, port, payload in ((socket.SOCK_DGRAM, 0, 5000, b"p"),
                                           (socket.SOCK_DGRAM, 0, 53, dns),
                                           (socket.SOCK_RAW, icmp, 0, echo)):
            with socket.socket(family, kind, proto) as s:
                try:
                    s.sendto(payload, (host, port))
                except OSError:
                    pass
        with socket.socket(family, socket.SOCK_STREAM) as s:
            s.setblocking(False)
            s.connect_ex((host, 80))
    # Replaced whole, so that a reader never sees it half written.
    with open("/run/sandbox/probes.new", "w") as f:
        f.write(str(i))
    os.replace("/run/sandbox/probes.new", "/run/sandbox/probes")
    time.sleep(0.005)
)PY";

// The command that runs the prober for `rounds` rounds.
std::string ProberCommand(int rounds) {
  Sh(std::string("rm -f /run/sandbox/probes; cat >/run/sandbox/prober.py <<'PY'\n") + kProber +
     "PY");
  return "python3 /run/sandbox/prober.py " + std::to_string(rounds);
}

// Packets that reached the outside host itself, both families, so far.
int OutsideCount() {
  return atoi(Sh(std::string(TESSARY_PEERS_SCRIPT) + " outside-count").out.c_str());
}

bool TunnelCarries() { return Sh("ping -n -c 1 -W 2 198.51.100.1").status == 0; }

class KillSwitchService : public ::testing::Test {
 protected:
  // One uplink, one WireGuard server and one profile for every scenario.
  static void SetUpTestSuite() {
    RequireSandbox();
    const std::string peers = TESSARY_PEERS_SCRIPT;
    ASSERT_EQ(Sh("exec >/run/sandbox/peers.log 2>&1; " + peers + " outside && " + peers +
                 " wireguard /run/sandbox")
                  .status,
              0)
        << Sh("cat /run/sandbox/peers.log").out;
    profile_ = Sh("cat /run/sandbox/wireguard.conf").out;
  }
  void SetUp() override {
    ASSERT_FALSE(profile_.empty());
    bus_ = NewSystemBus();
    ASSERT_NE(bus_, nullptr);
    recorder_ = new SignalRecorder(bus_);
  }
  void TearDown() override {
    if (pid_ > 0) {
      EXPECT_EQ(StopService(pid_), 0);
    }
    delete recorder_;
    if (bus_) g_object_unref(bus_);
  }
  void Start() {
    pid_ = StartService();
    ASSERT_GT(pid_, 0) << Sh("cat /run/sandbox/service.log").out;
  }
  bool Call(const char* method, GVariant* parameters = nullptr) {
    std::string name;
    std::string message;
    GVariant* reply = CallService(bus_, method, parameters, &name, &message);
    EXPECT_NE(reply, nullptr) << method << ": " << name << ": " << message;
    if (reply == nullptr) return false;
    g_variant_unref(reply);
    return true;
  }
  bool WaitForStage(const std::string& stage) {
    return recorder_->WaitFor(
        [&] {
          const Strings stages = recorder_->Strings("SnapshotChanged", "stage");
          return !stages.empty() && stages.back() == stage;
        },
        std::chrono::seconds(30));
  }
  Strings Logs() const { return recorder_->Strings("LogEmitted", "message"); }
  static bool TableInstalled() { return Sh("nft list table inet tessaryvpn").status == 0; }

  static std::string profile_;
  GDBusConnection* bus_ = nullptr;
  SignalRecorder* recorder_ = nullptr;
  int pid_ = -1;
};

std::string KillSwitchService::profile_;

TEST_F(KillSwitchService, ConnectedWithKillSwitchNothingLeavesBesideTheTunnel) {
  Start();
  // Before: the uplink and the server's ports are open to anyone.
  EXPECT_EQ(OutsideArrivals(3), 3);
  EXPECT_EQ(ServerArrivalsFromOtherProcesses(), 4);
  // One round of the reconnect's prober reaches the outside host with every
  // class in both families.
  for (const char* match :
       {"ip daddr 203.0.113.66 udp dport 5000", "ip daddr 203.0.113.66 udp dport 53",
        "ip daddr 203.0.113.66 tcp dport 80", "ip daddr 203.0.113.66 icmp type echo-request",
        "ip6 daddr 2001:db8:66::2 udp dport 5000", "ip6 daddr 2001:db8:66::2 udp dport 53",
        "ip6 daddr 2001:db8:66::2 tcp dport 80",
        "ip6 daddr 2001:db8:66::2 icmpv6 type echo-request"}) {
    EXPECT_EQ(Arrivals("outside", match, [] { Sh(ProberCommand(1)); }), 1) << match;
  }

  ASSERT_TRUE(Call("Connect", Profile(profile_, true)));
  ASSERT_TRUE(WaitForStage("connected")) << Sh("cat /run/sandbox/service.log").out;
  const Strings logs = Logs();
  EXPECT_NE(std::find(logs.begin(), logs.end(), "Kill switch active for this tunnel."), logs.end());
  const std::string table = Sh("nft list table inet tessaryvpn").out;
  EXPECT_NE(table.find("oifname \"tessaryvpn\" accept"), std::string::npos) << table;
  // The server for wg-quick's mark, its transport and port only.
  EXPECT_NE(table.find("meta mark 0x0000ca6c ip daddr 192.0.2.2 udp dport 51820 accept"),
            std::string::npos)
      << table;

  // While connected: zero packets reach the outside host, nor the server
  // from any process but the engine, and the tunnel works.
  EXPECT_EQ(OutsideArrivals(3), 0);
  EXPECT_EQ(ServerArrivalsFromOtherProcesses(), 0);
  EXPECT_TRUE(TunnelCarries());

  // A reconnect (the application switching servers) replaces the table in
  // one step: a prober sending every class to the outside host in both
  // families all along gets nothing through.
  recorder_->Clear();
  const auto probes = [] { return atoi(Sh("cat /run/sandbox/probes 2>/dev/null").out.c_str()); };
  constexpr int kRounds = 6000;  // longer than the longest wait for the stage
  const std::string prober =
      Sh(ProberCommand(kRounds) + " >/run/sandbox/prober.log 2>&1 </dev/null & echo $!").out;
  ASSERT_TRUE(WaitUntil([&] { return probes() > 0; }, std::chrono::seconds(5)))
      << Sh("cat /run/sandbox/prober.log").out;
  const int before = OutsideCount();
  const int probesBefore = probes();
  ASSERT_TRUE(Call("Connect", Profile(profile_, true)));
  const bool reconnected = WaitForStage("connected");
  const int probesDuring = probes() - probesBefore;
  const int leaked = OutsideCount() - before;
  Sh("kill " + prober);
  EXPECT_TRUE(reconnected) << Sh("cat /run/sandbox/service.log").out;
  EXPECT_EQ(leaked, 0);
  EXPECT_GT(probesDuring, 10) << "the prober must run throughout";
  EXPECT_LT(probesBefore + probesDuring, kRounds) << "the prober ended before the reconnect";
  const Strings stages = recorder_->Strings("SnapshotChanged", "stage");
  EXPECT_NE(std::find(stages.begin(), stages.end(), "connecting"), stages.end());
  EXPECT_TRUE(TunnelCarries());

  // A reconnect that fails (here: wg refuses an endpoint without a port)
  // leaves the machine closed and says so.
  recorder_->Clear();
  std::string portless = profile_;
  const size_t port = portless.find("192.0.2.2:51820");
  ASSERT_NE(port, std::string::npos);
  portless.replace(port, 15, "192.0.2.2");
  ASSERT_TRUE(Call("Connect", Profile(portless, true)));
  ASSERT_TRUE(WaitForStage("error"));
  const Strings errors = recorder_->Strings("SnapshotChanged", "lastError");
  ASSERT_FALSE(errors.empty());
  EXPECT_EQ(errors.back(),
            "WireGuard failed to connect. Leak protection still blocks traffic; Disconnect "
            "lifts it.");
  EXPECT_TRUE(TableInstalled());
  EXPECT_EQ(OutsideArrivals(3), 0);

  ASSERT_TRUE(Call("Disconnect"));
  ASSERT_TRUE(WaitForStage("disconnected"));
  EXPECT_FALSE(TableInstalled());
  EXPECT_EQ(OutsideArrivals(3), 3);
}

TEST_F(KillSwitchService, WithoutTheFlagNoTableIsInstalled) {
  Start();
  ASSERT_TRUE(Call("Connect", Profile(profile_, false)));
  ASSERT_TRUE(WaitForStage("connected"));
  EXPECT_FALSE(TableInstalled());
  // The control for the scenario above: the uplink's own subnet is routed
  // beside the tunnel, so without the table these datagrams do arrive.
  EXPECT_EQ(OutsideArrivals(3), 3);
  EXPECT_TRUE(TunnelCarries());
  const Strings logs = Logs();
  for (const std::string& log : logs) EXPECT_EQ(log.find("Kill switch"), std::string::npos) << log;
  ASSERT_TRUE(Call("Disconnect"));
  ASSERT_TRUE(WaitForStage("disconnected"));
}

TEST_F(KillSwitchService, AKilledServiceLeavesTheMachineClosedUntilDisconnect) {
  Start();
  ASSERT_TRUE(Call("Connect", Profile(profile_, true)));
  ASSERT_TRUE(WaitForStage("connected"));
  ASSERT_TRUE(TableInstalled());

  // The service dies without any clean-up: the table stays and keeps closing.
  EXPECT_EQ(StopService(pid_, SIGKILL), 128 + SIGKILL);
  pid_ = -1;
  EXPECT_TRUE(TableInstalled());
  EXPECT_EQ(OutsideArrivals(3), 0);

  // Its next start keeps the table, clears the rest and says so.
  Start();
  GVariant* reply = CallService(bus_, "GetConnectionSnapshot", nullptr);
  ASSERT_NE(reply, nullptr);
  g_autoptr(GVariant) snapshot = g_variant_get_child_value(reply, 0);
  g_variant_unref(reply);
  const char* stage = "";
  const char* lastError = "";
  g_variant_lookup(snapshot, "stage", "&s", &stage);
  g_variant_lookup(snapshot, "lastError", "&s", &lastError);
  EXPECT_STREQ(stage, "error");
  EXPECT_STREQ(lastError,
               "The last run of the service ended while the kill switch was on. Leak protection "
               "still blocks traffic; Disconnect lifts it.");
  EXPECT_FALSE(Sh("test -e /sys/class/net/tessaryvpn").status == 0);
  EXPECT_TRUE(TableInstalled());
  EXPECT_EQ(OutsideArrivals(3), 0);

  // Disconnect lifts it.
  ASSERT_TRUE(Call("Disconnect"));
  ASSERT_TRUE(WaitForStage("disconnected"));
  EXPECT_FALSE(TableInstalled());
  EXPECT_EQ(OutsideArrivals(3), 3);
}

}  // namespace
}  // namespace tessary::test
