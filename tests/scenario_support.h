// What the end-to-end scenarios share: test hosts and engines set up once per
// sandbox, the installed service on the sandbox bus, the client's view of its
// signals in arrival order, and the check that a tunnel left nothing behind.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/sandbox/sandbox_util.h"

namespace tessary::test::scenario {

using Strings = std::vector<std::string>;
using std::chrono::milliseconds;
using std::chrono::seconds;

// Profiles of the test hosts are written here by tests/sandbox/peers.
constexpr char kPeerDirectory[] = "/run/sandbox/scenario";
constexpr char kStandinMode[] = "/run/tessaryvpn-standin/mode";

// Sing-box and Xray profiles whose servers do not exist: the engines bring
// their tunnels up all the same. Their servers are literal addresses, so leak
// protection can be built without a resolver.
constexpr char kSingBoxProfile[] =
    R"({"log":{"level":"warn"},"dns":{"servers":[{"type":"tls","tag":"remote",)"
    R"("server":"198.51.100.53"}]},"inbounds":[{"type":"tun","tag":"tun-in","auto_route":true}],)"
    R"("outbounds":[{"type":"trojan","tag":"proxy","server":"192.0.2.40","server_port":443,)"
    R"("password":"scenario"},{"type":"direct","tag":"direct"}]})";
constexpr char kXrayProfile[] =
    R"({"inbounds":[{"protocol":"tun","settings":{}}],"outbounds":[{"protocol":"trojan",)"
    R"("tag":"proxy","settings":{"servers":[{"address":"192.0.2.41","port":443,)"
    R"("password":"scenario"}]}}]})";

inline std::string SourceDir() {
  const char* dir = getenv("TESSARY_SOURCE_DIR");
  return dir ? dir : "";
}

inline std::string Peers(const std::string& arguments) {
  return SourceDir() + "/tests/sandbox/peers " + arguments;
}

inline std::string ReadText(const std::string& path) {
  gchar* contents = nullptr;
  gsize length = 0;
  if (!g_file_get_contents(path.c_str(), &contents, &length, nullptr)) return "";
  std::string text(contents, length);
  g_free(contents);
  return text;
}

// The outside router, the WireGuard and OpenVPN servers and the engines:
// the stand-ins, or with `realEngines` the real sing-box and Xray and their
// servers too; once per sandbox (each test binary runs in a sandbox of its own).
inline void PrepareHostsAndEngines(bool realEngines = false) {
  RequireSandbox();
  static bool prepared = false;
  if (prepared) return;
  const CommandResult engines =
      Sh(SourceDir() + "/tests/standins/install-engines" + (realEngines ? " --real" : ""));
  ASSERT_EQ(engines.status, 0) << engines.err;
  const CommandResult peers =
      Sh(std::string("set -e; mkdir -p ") + kPeerDirectory + "; " + Peers("outside") + "; " +
         Peers("wireguard ") + kPeerDirectory + "; " + Peers("openvpn ") + kPeerDirectory +
         (realEngines ? std::string("; ") + Peers("proxies ") + kPeerDirectory : std::string()));
  ASSERT_EQ(peers.status, 0) << peers.out << peers.err;
  prepared = true;
}

inline std::string WireGuardProfile() {
  return ReadText(std::string(kPeerDirectory) + "/wireguard.conf");
}
inline std::string OpenVpnProfile() {
  return ReadText(std::string(kPeerDirectory) + "/openvpn.ovpn");
}
// Profiles for the real sing-box and Xray servers, as the desktop application
// writes them.
inline std::string SingBoxServerProfile() {
  return ReadText(std::string(kPeerDirectory) + "/sing-box.json");
}
inline std::string XrayServerProfile() {
  return ReadText(std::string(kPeerDirectory) + "/xray.json");
}

inline GVariant* ConnectParameters(const std::string& id, const std::string& protocol,
                                   const std::string& config, bool killSwitch) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&builder, "{sv}", "id", g_variant_new_string(id.c_str()));
  g_variant_builder_add(&builder, "{sv}", "protocol", g_variant_new_string(protocol.c_str()));
  g_variant_builder_add(&builder, "{sv}", "rawConfig", g_variant_new_string(config.c_str()));
  g_variant_builder_add(&builder, "{sv}", "killSwitch", g_variant_new_boolean(killSwitch));
  return g_variant_new("(a{sv})", &builder);
}

inline bool KillSwitchTablePresent() { return Sh("nft list table inet tessaryvpn").status == 0; }
inline bool InterfacePresent(const std::string& name) {
  return g_file_test(("/sys/class/net/" + name).c_str(), G_FILE_TEST_EXISTS);
}

// Process ids whose command line begins with `prefix` (NUL-separated
// arguments joined by spaces).
inline std::vector<int> ProcessesRunning(const std::string& prefix) {
  std::vector<int> pids;
  GDir* proc = g_dir_open("/proc", 0, nullptr);
  if (proc == nullptr) return pids;
  while (const char* name = g_dir_read_name(proc)) {
    const int pid = atoi(name);
    if (pid <= 0) continue;
    std::string line = ReadText(std::string("/proc/") + name + "/cmdline");
    for (char& c : line) {
      if (c == '\0') c = ' ';
    }
    if (line.compare(0, prefix.size(), prefix) == 0) pids.push_back(pid);
  }
  g_dir_close(proc);
  // A child the program forked shows the program's command line until it
  // execs (sing-box runs resolvectl): it is not a second engine.
  std::vector<int> programs;
  for (int pid : pids) {
    const std::vector<std::string> stat = ProcessStatFields(pid);
    const int parent = stat.size() > 1 ? atoi(stat[1].c_str()) : 0;
    if (std::find(pids.begin(), pids.end(), parent) == pids.end()) programs.push_back(pid);
  }
  return programs;
}

inline bool ProcessAlive(int pid) {
  const std::vector<std::string> stat = ProcessStatFields(pid);
  return !stat.empty() && stat[0] != "Z" && stat[0] != "X";
}

// Everything a tunnel may leave behind; empty when nothing is.
inline std::string Leftovers() {
  std::string found;
  const std::string files = Sh("ls -A /run/tessaryvpn 2>/dev/null").out;
  if (!files.empty()) found += "files in /run/tessaryvpn: " + files;
  for (const char* link : {"tessaryvpn", "tun-tessaryvpn", "tessary-sbox0", "tessary-xray0"}) {
    if (InterfacePresent(link)) found += std::string("interface ") + link + "\n";
  }
  if (KillSwitchTablePresent()) found += "nft table inet tessaryvpn\n";
  // wg-quick's policy rules and tables for a full tunnel.
  const std::string quick = Sh("{ ip -4 rule show; ip -6 rule show; nft list tables; } 2>/dev/null "
                               "| grep -E 'fwmark|suppress_prefixlength|wg-quick-tessaryvpn'")
                                .out;
  if (!quick.empty()) found += "left by wg-quick: " + quick;
  // The block of a family a tunnel did not carry.
  const std::string blocks =
      Sh("{ ip -4 rule show; ip -6 rule show; } 2>/dev/null | grep unreachable").out;
  if (!blocks.empty()) found += "family block: " + blocks;
  // What sing-box's auto_route and auto_redirect, or the routing around Xray,
  // leave when the engine is killed.
  const std::string engines = Sh("{ ip -4 rule show; ip -6 rule show; } 2>/dev/null | grep -E "
                                 "'^(90(0[0-9]|10)|910[01]):|lookup 202[23]'; nft list tables "
                                 "2>/dev/null | grep -w sing-box")
                                  .out;
  if (!engines.empty()) found += "left by sing-box or Xray: " + engines;
  const std::string dns = Sh("resolvectl dns 2>/dev/null | grep 198.51.100").out;
  if (!dns.empty()) found += "tunnel DNS still set: " + dns;
  for (const char* engine :
       {"/usr/libexec/tessaryvpn/sing-box run", "/usr/libexec/tessaryvpn/xray run",
        "/usr/sbin/openvpn --config /run/tessaryvpn/openvpn.ovpn"}) {
    if (!ProcessesRunning(engine).empty()) found += std::string("process ") + engine + "\n";
  }
  return found;
}

// Removes by hand whatever a failed scenario left, so that one failure does
// not cascade into the next scenario. Engines are ended by process id.
inline void ClearLeftovers() {
  for (const char* engine :
       {"/usr/libexec/tessaryvpn/sing-box run", "/usr/libexec/tessaryvpn/xray run",
        "/usr/sbin/openvpn --config /run/tessaryvpn/openvpn.ovpn"}) {
    for (int pid : ProcessesRunning(engine)) kill(pid, SIGKILL);
  }
  Sh("nft delete table inet tessaryvpn 2>/dev/null; "
     "nft delete table ip wg-quick-tessaryvpn 2>/dev/null; "
     "nft delete table ip6 wg-quick-tessaryvpn 2>/dev/null; "
     "for f in -4 -6; do for i in 1 2 3; do ip $f rule del table main suppress_prefixlength 0 "
     "2>/dev/null; ip $f rule del table 51820 2>/dev/null; done; done; "
     "wg-quick down /run/tessaryvpn/tessaryvpn.conf 2>/dev/null; "
     "for f in -4 -6; do for p in 9000 9001 9002 9003 9004 9005 9006 9007 9008 9009 9010 "
     "9100 9101; do while ip $f rule del priority $p 2>/dev/null; do :; done; done; done; "
     "nft delete table inet sing-box 2>/dev/null; "
     "for l in tessaryvpn tun-tessaryvpn tessary-sbox0 tessary-xray0; do "
     "ip link del $l 2>/dev/null; done; rm -rf /run/tessaryvpn; rm -f "
     "/run/tessaryvpn-standin/mode");
}

// A client of the installed service: calls, and the signals it saw, in order.
class ScenarioTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { PrepareHostsAndEngines(); }

  void SetUp() override {
    RequireSandbox();
    ASSERT_FALSE(HasFatalFailure());
    bus_ = NewSystemBus();
    ASSERT_NE(bus_, nullptr);
    recorder_ = new SignalRecorder(bus_);
  }

  void TearDown() override {
    if (pid_ > 0) {
      const int status = StopService(pid_);
      EXPECT_EQ(status, 0) << ServiceLog();
    }
    const std::string left = Leftovers();
    EXPECT_EQ(left, "") << "after the scenario";
    ClearLeftovers();
    delete recorder_;
    if (bus_) g_object_unref(bus_);
  }

  static std::string ServiceLog() { return ReadText("/run/sandbox/service.log"); }

  // Starts the service and waits for its greeting; forgets signals seen so far.
  void StartTheService() {
    pid_ = StartService();
    ASSERT_GT(pid_, 0) << ServiceLog();
    ASSERT_TRUE(recorder_->WaitFor(
        [&] {
          for (const auto& entry : recorder_->entries) {
            if (DictString(entry.value, "message") == "TessaryVPN Linux service started.") {
              return true;
            }
          }
          return false;
        },
        seconds(10)));
    Forget();
  }

  void Forget() { recorder_->Clear(); }

  // True when the call succeeded; otherwise fills the remote error's name.
  bool Call(const char* method, GVariant* parameters = nullptr, std::string* name = nullptr,
            std::string* message = nullptr) {
    std::string errorName;
    std::string errorMessage;
    GVariant* reply = CallService(bus_, method, parameters, &errorName, &errorMessage);
    if (name) *name = errorName;
    if (message) *message = errorMessage;
    if (reply == nullptr) return false;
    g_variant_unref(reply);
    return true;
  }

  // True when the service accepted the Connect; records why not otherwise.
  bool Connect(const std::string& id, const std::string& protocol, const std::string& config,
               bool killSwitch = false) {
    std::string name;
    std::string message;
    const bool accepted =
        Call("Connect", ConnectParameters(id, protocol, config, killSwitch), &name, &message);
    if (!accepted) ADD_FAILURE() << "Connect refused: " << name << ": " << message;
    return accepted;
  }

  bool Disconnect() {
    std::string name;
    const bool accepted = Call("Disconnect", nullptr, &name);
    if (!accepted) ADD_FAILURE() << "Disconnect refused: " << name;
    return accepted;
  }

  // The dictionary a method returns, owned by the caller; null on failure.
  GVariant* Dictionary(const char* method) {
    GVariant* reply = CallService(bus_, method, nullptr);
    if (reply == nullptr) return nullptr;
    GVariant* dict = g_variant_get_child_value(reply, 0);
    g_variant_unref(reply);
    return dict;
  }

  // The signals in arrival order: "stage X" for SnapshotChanged, "LEVEL: text"
  // for LogEmitted.
  Strings Events() const {
    Strings events;
    for (const auto& entry : recorder_->entries) {
      if (entry.signal == "SnapshotChanged") {
        events.push_back("stage " + DictString(entry.value, "stage"));
      } else if (entry.signal == "LogEmitted") {
        events.push_back(DictString(entry.value, "level") + ": " +
                         DictString(entry.value, "message"));
      }
    }
    return events;
  }
  Strings Stages() const { return recorder_->Strings("SnapshotChanged", "stage"); }

  // The snapshot dictionaries in arrival order (owned by the recorder).
  std::vector<GVariant*> Snapshots() const {
    std::vector<GVariant*> snapshots;
    for (const auto& entry : recorder_->entries) {
      if (entry.signal == "SnapshotChanged") snapshots.push_back(entry.value);
    }
    return snapshots;
  }

  // The last snapshot a client saw, or null.
  GVariant* LastSnapshot() const {
    for (auto it = recorder_->entries.rbegin(); it != recorder_->entries.rend(); ++it) {
      if (it->signal == "SnapshotChanged") return it->value;
    }
    return nullptr;
  }

  // For "connected" also waits for the log entry that follows that stage, so
  // that a later Forget() leaves nothing of the connect to what comes next.
  bool WaitForStage(const std::string& stage, milliseconds timeout) {
    return recorder_->WaitFor(
        [&] {
          const Strings stages = Stages();
          if (stages.empty() || stages.back() != stage) return false;
          if (stage != "connected") return true;
          const Strings events = Events();
          for (auto it = events.rbegin(); it != events.rend() && it->rfind("stage ", 0) != 0;
               ++it) {
            if (g_str_has_suffix(it->c_str(), " tunnel connected.")) return true;
          }
          return false;
        },
        timeout);
  }

  // Waits until at least `count` events (see Events) have arrived: a stage
  // change is often followed at once by its log entry.
  bool WaitForEvents(std::size_t count, milliseconds timeout = seconds(5)) {
    return recorder_->WaitFor([&] { return Events().size() >= count; }, timeout);
  }

  // Whether the events, once `expected.size()` of them have arrived and a
  // moment has passed for any stray one, are exactly `expected`.
  testing::AssertionResult EventsAre(const Strings& expected) {
    WaitForEvents(expected.size());
    Linger(milliseconds(150));
    const Strings got = Events();
    if (got == expected) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "saw " << testing::PrintToString(got) << "\nexpected "
                                       << testing::PrintToString(expected);
  }

  // Lets signals arrive for `time` without waiting for anything in particular.
  void Linger(milliseconds time) {
    recorder_->WaitFor([] { return false; }, time);
  }

  // Stops the service with `signal` and returns its exit status.
  int StopTheService(int signal = SIGTERM, milliseconds timeout = seconds(30)) {
    const int status = StopService(pid_, signal, timeout);
    pid_ = -1;
    return status;
  }

  GDBusConnection* bus_ = nullptr;
  SignalRecorder* recorder_ = nullptr;
  int pid_ = -1;
};

inline gint64 NowMillis() { return g_get_real_time() / 1000; }

inline gint64 DictInt64(GVariant* dict, const char* key) {
  gint64 value = 0;
  if (dict == nullptr || !g_variant_lookup(dict, key, "x", &value)) return 0;
  return value;
}

}  // namespace tessary::test::scenario
