// tessaryvpn-dns, installed at its fixed path, against the real
// systemd-resolved of a sandbox, on the two tunnel links the tests create.
// The real resolvectl proves the effect; a recording stand-in copied over it
// (tests/standins/dns/resolvectl, which hands each call on to the real one
// unless told to fail or hang) proves the exact command sequence.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/constants.h"
#include "tests/sandbox/sandbox_util.h"

namespace tessary::test {
namespace {

using linux_service::kDnsHelper;
using linux_service::kOpenVpnInterface;
using linux_service::kWireGuardInterface;

constexpr char kCalls[] = "/run/sandbox/resolvectl.calls";
constexpr char kControl[] = "/run/sandbox/resolvectl.control";
constexpr char kRealResolveCtl[] = "/run/sandbox/resolvectl.real";
constexpr char kTimeoutCalls[] = "/run/sandbox/timeout.calls";

constexpr char kTooMany[] = "Too many WireGuard DNS addresses.\n";
constexpr char kInvalid[] = "Invalid WireGuard DNS address.\n";
constexpr char kBadInterface[] = "Unexpected OpenVPN interface.\n";
constexpr char kNoServer[] = "OpenVPN did not provide a valid DNS server.\n";
constexpr char kApplyFailed[] = "Unable to apply VPN DNS through systemd-resolved.\n";
constexpr char kBadEvent[] = "Unexpected VPN DNS lifecycle event.\n";

using Words = std::vector<std::string>;

std::string SourcePath(const std::string& relative) {
  const char* root = g_getenv("TESSARY_SOURCE_DIR");
  return std::string(root != nullptr ? root : ".") + "/" + relative;
}

std::string ReadText(const std::string& path) {
  g_autofree char* text = nullptr;
  if (!g_file_get_contents(path.c_str(), &text, nullptr, nullptr)) return "";
  return text;
}

Words Lines(const std::string& text) {
  Words lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

void MustSh(const std::string& script) {
  CommandResult result = Sh(script);
  ASSERT_EQ(result.status, 0) << script << "\n" << result.err;
}

// Runs the helper with exactly `environment` (as `env -i` leaves it) and
// `arguments` after the program name.
CommandResult RunHelper(const Words& arguments, const Words& environment = {}) {
  Words argv = {"/usr/bin/env", "-i"};
  argv.insert(argv.end(), environment.begin(), environment.end());
  argv.push_back(kDnsHelper);
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return Run(argv);
}

// What OpenVPN sets around its up and down scripts, with the pushed options
// in `pushed` ("foreign_option_N=...").
Words OpenVpnEnvironment(const std::string& event, const Words& pushed = {}) {
  Words environment = {"script_type=" + event,
                       "dev=tun-tessaryvpn",
                       "dev_type=tun",
                       "tun_mtu=1500",
                       "ifconfig_local=198.51.100.2",
                       "ifconfig_netmask=255.255.255.0",
                       "script_context=init",
                       "config=/run/tessaryvpn/openvpn.ovpn",
                       "verb=3"};
  environment.insert(environment.end(), pushed.begin(), pushed.end());
  return environment;
}

// OpenVPN's own positional arguments to its scripts.
const Words kOpenVpnArguments = {"tun-tessaryvpn", "1500",          "0",
                                 "198.51.100.2",   "255.255.255.0", "init"};

// resolvectl's one-line answer for a link, e.g. "Link 2 (tessaryvpn): ~.".
std::string LinkLine(const std::string& link, const std::string& value) {
  std::string index = ReadText("/sys/class/net/" + link + "/ifindex");
  if (!index.empty() && index.back() == '\n') index.pop_back();
  return "Link " + index + " (" + link + "):" + (value.empty() ? "" : " " + value) + "\n";
}

std::string Query(const Words& words) {
  // Wide enough that resolvectl never wraps a long server list.
  Words argv = {"/usr/bin/env", "COLUMNS=1000", kRealResolveCtl};
  argv.insert(argv.end(), words.begin(), words.end());
  return Run(argv).out;
}

void ExpectApplied(const std::string& link, const std::string& servers) {
  SCOPED_TRACE(link);
  EXPECT_EQ(Query({"dns", link}), LinkLine(link, servers));
  EXPECT_EQ(Query({"domain", link}), LinkLine(link, "~."));
  EXPECT_EQ(Query({"default-route", link}), LinkLine(link, "yes"));
  const std::string status = Query({"status", link});
  EXPECT_NE(status.find("DNS Servers: " + servers + "\n"), std::string::npos) << status;
  EXPECT_NE(status.find("DNS Domain: ~.\n"), std::string::npos) << status;
  EXPECT_NE(status.find("+DefaultRoute"), std::string::npos) << status;
}

void ExpectCleared(const std::string& link) {
  SCOPED_TRACE(link);
  EXPECT_EQ(Query({"dns", link}), LinkLine(link, ""));
  EXPECT_EQ(Query({"domain", link}), LinkLine(link, ""));
  const std::string status = Query({"status", link});
  EXPECT_EQ(status.find("DNS Servers:"), std::string::npos) << status;
  EXPECT_EQ(status.find("DNS Domain:"), std::string::npos) << status;
  EXPECT_EQ(status.find("+DefaultRoute"), std::string::npos) << status;
}

struct Case {
  std::string name;
  Words arguments;
  Words environment;
  int status;
  std::string message;  // the whole of standard error
  Words calls;          // resolvectl's words, one entry per command
};

class DnsHelperTest : public ::testing::Test {
 protected:
  // Every test starts with the genuine tools, both tunnel links up and no
  // DNS setting on either.
  void SetUp() override {
    RequireSandbox();
    MustSh(
        "{ test -e /run/sandbox/resolvectl.real || cp /usr/bin/resolvectl "
        "/run/sandbox/resolvectl.real; }"
        " && { test -e /run/sandbox/timeout.real || cp /usr/bin/timeout /run/sandbox/timeout.real; "
        "}"
        " && cp /run/sandbox/resolvectl.real /usr/bin/resolvectl"
        " && cp /run/sandbox/timeout.real /usr/bin/timeout"
        " && rm -f /run/sandbox/resolvectl.calls /run/sandbox/resolvectl.control"
        " /run/sandbox/timeout.calls /run/sandbox/resolvectl.context");
    for (const char* link : {kWireGuardInterface, kOpenVpnInterface}) {
      const std::string name = link;
      MustSh("test -d /sys/class/net/" + name + " || ip tuntap add dev " + name + " mode tun");
      MustSh("ip link set " + name + " up && /usr/bin/resolvectl revert " + name);
    }
  }

  static void RecordResolveCtl(const std::string& control = "") {
    MustSh("cp " + SourcePath("tests/standins/dns/resolvectl") + " /usr/bin/resolvectl");
    ASSERT_TRUE(g_file_set_contents(kControl, control.c_str(), -1, nullptr));
  }

  static Words TakeCalls() {
    Words calls = Lines(ReadText(kCalls));
    MustSh(std::string("rm -f ") + kCalls);
    return calls;
  }

  // Runs one case with the recorder in place.
  static void Check(const Case& c) {
    SCOPED_TRACE(c.name);
    CommandResult result = RunHelper(c.arguments, c.environment);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.err, c.message);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(TakeCalls(), c.calls);
  }

  // Leaves the links that exist without a DNS setting, for the next case.
  static void RevertLinks() {
    MustSh(
        "for link in tessaryvpn tun-tessaryvpn; do"
        " ! test -d /sys/class/net/$link || /run/sandbox/resolvectl.real revert $link || exit 1;"
        " done");
  }
};

TEST_F(DnsHelperTest, WireGuardServersReachResolvedAndAreTakenBack) {
  CommandResult applied = RunHelper({"apply-wireguard", "192.0.2.53", "2001:db8::53"});
  EXPECT_EQ(applied.status, 0) << applied.err;
  EXPECT_EQ(applied.out + applied.err, "");
  ExpectApplied(kWireGuardInterface, "192.0.2.53 2001:db8::53");
  ExpectCleared(kOpenVpnInterface);

  // A second apply replaces the servers; the most the helper accepts fit.
  const Words eight = {"192.0.2.1",   "192.0.2.2",   "198.51.100.1", "198.51.100.2",
                       "203.0.113.1", "203.0.113.2", "2001:db8::1",  "2001:db8::2"};
  Words arguments = {"apply-wireguard"};
  arguments.insert(arguments.end(), eight.begin(), eight.end());
  EXPECT_EQ(RunHelper(arguments).status, 0);
  ExpectApplied(kWireGuardInterface,
                "192.0.2.1 192.0.2.2 198.51.100.1 198.51.100.2 203.0.113.1 203.0.113.2 "
                "2001:db8::1 2001:db8::2");

  for (int round = 0; round < 2; ++round) {  // taking it back twice is harmless
    CommandResult reverted = RunHelper({"revert-wireguard"});
    EXPECT_EQ(reverted.status, 0) << reverted.err;
    EXPECT_EQ(reverted.out + reverted.err, "");
    ExpectCleared(kWireGuardInterface);
  }
}

TEST_F(DnsHelperTest, OpenVpnPushedServersReachResolvedAndAreTakenBack) {
  const Words pushed = {"foreign_option_1=dhcp-option DNS 198.51.100.53",
                        "foreign_option_2=dhcp-option DOMAIN example.com",
                        "foreign_option_3=dhcp-option DNS6 2001:db8::53"};
  CommandResult up = RunHelper(kOpenVpnArguments, OpenVpnEnvironment("up", pushed));
  EXPECT_EQ(up.status, 0) << up.err;
  EXPECT_EQ(up.out + up.err, "");
  ExpectApplied(kOpenVpnInterface, "198.51.100.53 2001:db8::53");
  ExpectCleared(kWireGuardInterface);

  CommandResult down = RunHelper(kOpenVpnArguments, OpenVpnEnvironment("down", pushed));
  EXPECT_EQ(down.status, 0) << down.err;
  EXPECT_EQ(down.out + down.err, "");
  ExpectCleared(kOpenVpnInterface);

  // The service's clean-up after an engine that died without its down script.
  ASSERT_EQ(RunHelper(kOpenVpnArguments, OpenVpnEnvironment("up", pushed)).status, 0);
  CommandResult revert = RunHelper({"revert"});
  EXPECT_EQ(revert.status, 0) << revert.err;
  EXPECT_EQ(revert.out + revert.err, "");
  ExpectCleared(kOpenVpnInterface);
}

Words ApplyCalls(const std::string& link, const std::string& servers) {
  return {"dns " + link + " " + servers, "domain " + link + " ~.",
          "default-route " + link + " true"};
}

Words Pushed(const Words& values, int firstIndex = 1) {
  Words pushed;
  for (const std::string& value : values) {
    pushed.push_back("foreign_option_" + std::to_string(firstIndex++) + "=" + value);
  }
  return pushed;
}

Words Servers(const char* prefix, int count) {
  Words servers;
  for (int index = 1; index <= count; ++index) servers.push_back(prefix + std::to_string(index));
  return servers;
}

std::vector<Case> ModeCases() {
  const std::string wg = kWireGuardInterface;
  const std::string ovpn = kOpenVpnInterface;
  Words nine = {"apply-wireguard"};
  for (const std::string& server : Servers("192.0.2.", 9)) nine.push_back(server);
  Words eight(nine.begin(), nine.end() - 1);
  Words nineInvalid = {"apply-wireguard"};
  for (int index = 0; index < 9; ++index) nineInvalid.push_back("no-address");
  Words pushedNine;
  for (const std::string& server : Servers("198.51.100.", 9)) {
    pushedNine.push_back("dhcp-option DNS " + server);
  }
  Words pushedEight(pushedNine.begin(), pushedNine.end() - 1);
  Words eightAndHost = pushedEight;
  eightAndHost.insert(eightAndHost.begin() + 4, "dhcp-option DNS dns.example.com");

  std::vector<Case> cases = {
      {"wg eight",
       eight,
       {},
       0,
       "",
       ApplyCalls(wg,
                  "192.0.2.1 192.0.2.2 192.0.2.3 192.0.2.4 "
                  "192.0.2.5 192.0.2.6 192.0.2.7 192.0.2.8")},
      {"wg nine", nine, {}, 1, kTooMany, {}},
      {"wg nine counted before parsing", nineInvalid, {}, 1, kTooMany, {}},
      {"wg second invalid",
       {"apply-wireguard", "192.0.2.53", "dns.example.com"},
       {},
       1,
       kInvalid,
       {}},
      {"wg first invalid", {"apply-wireguard", "192.0.2", "192.0.2.53"}, {}, 1, kInvalid, {}},
      {"wg address with a port", {"apply-wireguard", "192.0.2.53:53"}, {}, 1, kInvalid, {}},
      {"wg kept as written, duplicates too",
       {"apply-wireguard", "2001:DB8::0053", "192.0.2.2", "192.0.2.2"},
       {},
       0,
       "",
       ApplyCalls(wg, "2001:DB8::0053 192.0.2.2 192.0.2.2")},
      {"wg without address is a script call", {"apply-wireguard"}, {}, 1, kBadInterface, {}},
      {"wg without address takes the script's event",
       {"apply-wireguard"},
       OpenVpnEnvironment("down"),
       0,
       "",
       {"revert " + ovpn}},
      {"revert-wireguard", {"revert-wireguard", "ignored"}, {}, 0, "", {"revert " + wg}},
      {"revert reads no environment",
       {"revert", "ignored"},
       {"dev=eth0", "script_type=up"},
       0,
       "",
       {"revert " + ovpn}},
      {"no argument, no environment", {}, {}, 1, kBadInterface, {}},
      {"modes are case-sensitive", {"Revert-WireGuard"}, {}, 1, kBadInterface, {}},
      {"down", kOpenVpnArguments, OpenVpnEnvironment("down"), 0, "", {"revert " + ovpn}},
      {"route-pre-down",
       kOpenVpnArguments,
       OpenVpnEnvironment("route-pre-down"),
       0,
       "",
       {"revert " + ovpn}},
      {"script_type unset", kOpenVpnArguments, {"dev=tun-tessaryvpn"}, 1, kBadEvent, {}},
      {"route-up", kOpenVpnArguments, OpenVpnEnvironment("route-up"), 1, kBadEvent, {}},
      {"events are case-sensitive", kOpenVpnArguments, OpenVpnEnvironment("UP"), 1, kBadEvent, {}},
      {"up without pushed options", kOpenVpnArguments, OpenVpnEnvironment("up"), 1, kNoServer, {}},
      {"up with a gap before the only option", kOpenVpnArguments,
       OpenVpnEnvironment("up", {"foreign_option_3=dhcp-option DNS 198.51.100.53"}), 0, "",
       ApplyCalls(ovpn, "198.51.100.53")},
      {"up in option order, not text order", kOpenVpnArguments,
       OpenVpnEnvironment("up", {"foreign_option_10=dhcp-option DNS 203.0.113.10",
                                 "foreign_option_2=dhcp-option dns6 2001:db8::2"}),
       0, "", ApplyCalls(ovpn, "2001:db8::2 203.0.113.10")},
      {"up skips host names, other kinds and other options", kOpenVpnArguments,
       OpenVpnEnvironment("up",
                          Pushed({"dhcp-option DNS dns.example.com", "dhcp-option WINS 192.0.2.9",
                                  "dhcp-option DOMAIN ~.", "route 192.0.2.0 255.255.255.0",
                                  "dhcp-option DNS", "dns server 0 address 192.0.2.7",
                                  " \tDHCP-OPTION\t  Dns6   2001:db8::53 extra words",
                                  "dhcp-option DNS 192.0.2.53"})),
       0, "", ApplyCalls(ovpn, "2001:db8::53 192.0.2.53")},
      {"up with only unusable servers",
       kOpenVpnArguments,
       OpenVpnEnvironment(
           "up", Pushed({"dhcp-option DNS dns.example.com", "dhcp-option DNS6 2001:db8::/64"})),
       1,
       kNoServer,
       {}},
      {"up looks at option 256 and no further", kOpenVpnArguments,
       OpenVpnEnvironment("up", {"foreign_option_256=dhcp-option DNS 203.0.113.56",
                                 "foreign_option_257=dhcp-option DNS 203.0.113.57",
                                 "foreign_option_0=dhcp-option DNS 203.0.113.1",
                                 "foreign_option_07=dhcp-option DNS 203.0.113.7"}),
       0, "", ApplyCalls(ovpn, "203.0.113.56")},
      {"up with eight servers", kOpenVpnArguments, OpenVpnEnvironment("up", Pushed(eightAndHost)),
       0, "",
       ApplyCalls(ovpn,
                  "198.51.100.1 198.51.100.2 198.51.100.3 198.51.100.4 198.51.100.5 "
                  "198.51.100.6 198.51.100.7 198.51.100.8")},
      {"up with nine servers",
       kOpenVpnArguments,
       OpenVpnEnvironment("up", Pushed(pushedNine)),
       1,
       kNoServer,
       {}},
  };

  // Whatever the event, a device other than the OpenVPN tunnel is refused
  // before anything else is read.
  for (const char* dev : {"", "dev=", "dev=tun0", "dev=tessaryvpn", "dev=TUN-TESSARYVPN",
                          "dev=tun-tessaryvpn ", "dev=eth0"}) {
    for (const char* event : {"up", "down", "route-pre-down", "route-up", ""}) {
      Words environment = {"foreign_option_1=dhcp-option DNS 198.51.100.53"};
      if (*dev != '\0') environment.push_back(dev);
      if (*event != '\0') environment.push_back(std::string("script_type=") + event);
      cases.push_back({std::string("[") + dev + "] [" + event + "]",
                       kOpenVpnArguments,
                       environment,
                       1,
                       kBadInterface,
                       {}});
    }
  }
  return cases;
}

TEST_F(DnsHelperTest, EveryModeAnswersWithItsMessageStatusAndCommands) {
  RecordResolveCtl();
  for (const Case& c : ModeCases()) {
    Check(c);
    RevertLinks();
  }
}

TEST_F(DnsHelperTest, AbsentLinksRunNothing) {
  MustSh("ip link del tessaryvpn && ip link del tun-tessaryvpn");
  RecordResolveCtl();
  const std::vector<Case> cases = {
      {"revert-wireguard", {"revert-wireguard"}, {}, 0, "", {}},
      {"revert", {"revert"}, {}, 0, "", {}},
      {"apply-wireguard", {"apply-wireguard", "192.0.2.53"}, {}, 1, "", {}},
      {"down", kOpenVpnArguments, OpenVpnEnvironment("down"), 0, "", {}},
      {"up",
       kOpenVpnArguments,
       OpenVpnEnvironment("up", {"foreign_option_1=dhcp-option DNS 198.51.100.53"}),
       1,
       kApplyFailed,
       {}},
  };
  for (const Case& c : cases) Check(c);
}

TEST_F(DnsHelperTest, FailedStepStopsTheApplyAndRevertsTheLink) {
  const std::string wg = kWireGuardInterface;
  const std::string ovpn = kOpenVpnInterface;
  const Words wgApply = {"apply-wireguard", "192.0.2.53"};
  const Words up = OpenVpnEnvironment("up", {"foreign_option_1=dhcp-option DNS 192.0.2.53"});
  struct FailureCase {
    std::string control;
    Case expected;
  };
  const std::vector<FailureCase> cases = {
      {"fail dns\n", {"wg dns", wgApply, {}, 1, "", {"dns " + wg + " 192.0.2.53", "revert " + wg}}},
      {"fail domain\n",
       {"wg domain",
        wgApply,
        {},
        1,
        "",
        {"dns " + wg + " 192.0.2.53", "domain " + wg + " ~.", "revert " + wg}}},
      {"fail default-route\n",
       {"wg default-route",
        wgApply,
        {},
        1,
        "",
        {"dns " + wg + " 192.0.2.53", "domain " + wg + " ~.", "default-route " + wg + " true",
         "revert " + wg}}},
      {"fail domain\nfail revert\n",
       {"wg domain, rollback fails too",
        wgApply,
        {},
        1,
        "",
        {"dns " + wg + " 192.0.2.53", "domain " + wg + " ~.", "revert " + wg}}},
      {"fail domain\n",
       {"up domain",
        kOpenVpnArguments,
        up,
        1,
        kApplyFailed,
        {"dns " + ovpn + " 192.0.2.53", "domain " + ovpn + " ~.", "revert " + ovpn}}},
      {"fail revert\n", {"revert-wireguard", {"revert-wireguard"}, {}, 1, "", {"revert " + wg}}},
      {"fail revert\n", {"revert", {"revert"}, {}, 1, "", {"revert " + ovpn}}},
      {"fail revert\n",
       {"down", kOpenVpnArguments, OpenVpnEnvironment("down"), 1, "", {"revert " + ovpn}}},
  };
  for (const FailureCase& failure : cases) {
    RecordResolveCtl(failure.control);
    Check(failure.expected);
    // The steps that were handed on reached resolved and were taken back,
    // unless the rollback itself was made to fail.
    if (failure.control.find("revert") == std::string::npos) {
      ExpectCleared(wg);
      ExpectCleared(ovpn);
    }
    RevertLinks();
  }
}

TEST_F(DnsHelperTest, EveryCommandRunsUnderTheTimeLimit) {
  MustSh("cp " + SourcePath("tests/standins/dns/timeout") + " /usr/bin/timeout");
  ASSERT_EQ(RunHelper({"apply-wireguard", "192.0.2.53", "2001:db8::53"}).status, 0);
  ASSERT_EQ(RunHelper({"revert-wireguard"}).status, 0);
  const std::string prefix =
      "/usr/bin/timeout --signal=TERM --kill-after=1s 10s /usr/bin/resolvectl ";
  EXPECT_EQ(
      Lines(ReadText(kTimeoutCalls)),
      (Words{prefix + "dns tessaryvpn 192.0.2.53 2001:db8::53", prefix + "domain tessaryvpn ~.",
             prefix + "default-route tessaryvpn true", prefix + "revert tessaryvpn"}));
  ExpectCleared(kWireGuardInterface);
}

TEST_F(DnsHelperTest, ResolveCtlSharesTheHelpersEnvironmentAndInput) {
  RecordResolveCtl();
  // Run() hands the helper a pipe as standard input.
  ASSERT_EQ(RunHelper(kOpenVpnArguments, OpenVpnEnvironment("down")).status, 0);
  const std::string context = ReadText("/run/sandbox/resolvectl.context");
  EXPECT_EQ(context.rfind("pipe:", 0), 0u) << context;
  EXPECT_NE(context.find(" tun-tessaryvpn\n"), std::string::npos) << context;
}

TEST_F(DnsHelperTest, MissingTimeoutCountsAsFailureAndStartsNothing) {
  MustSh("rm /usr/bin/timeout");
  RecordResolveCtl();
  const Words up = OpenVpnEnvironment("up", {"foreign_option_1=dhcp-option DNS 192.0.2.53"});
  const std::vector<Case> cases = {
      {"apply-wireguard", {"apply-wireguard", "192.0.2.53"}, {}, 1, "", {}},
      {"up", kOpenVpnArguments, up, 1, kApplyFailed, {}},
      {"revert-wireguard", {"revert-wireguard"}, {}, 1, "", {}},
      {"down", kOpenVpnArguments, OpenVpnEnvironment("down"), 1, "", {}},
  };
  for (const Case& c : cases) Check(c);
}

TEST_F(DnsHelperTest, HungResolveCtlIsEndedByTheTimeLimitAndRolledBack) {
  using Clock = std::chrono::steady_clock;
  const std::string wg = kWireGuardInterface;
  const std::string ovpn = kOpenVpnInterface;
  struct HangCase {
    std::string control;
    Words arguments;
    Words environment;
    std::string link;
    std::string message;
    double atLeast, atMost;  // seconds
  };
  const std::vector<HangCase> cases = {
      // Ended by SIGTERM after ten seconds.
      {"hang domain\n", {"apply-wireguard", "192.0.2.53"}, {}, wg, "", 9.5, 13.0},
      // Deaf to SIGTERM: ended by SIGKILL a second later.
      {"hang-ignoring-term domain\n", {"apply-wireguard", "192.0.2.53"}, {}, wg, "", 10.5, 14.0},
      {"hang domain\n", kOpenVpnArguments,
       OpenVpnEnvironment("up", {"foreign_option_1=dhcp-option DNS 192.0.2.53"}), ovpn,
       kApplyFailed, 9.5, 13.0},
  };
  for (const HangCase& c : cases) {
    SCOPED_TRACE(c.control + c.link);
    RecordResolveCtl(c.control);
    const Clock::time_point start = Clock::now();
    CommandResult result = RunHelper(c.arguments, c.environment);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, c.message);
    EXPECT_GE(seconds, c.atLeast);
    EXPECT_LE(seconds, c.atMost);
    EXPECT_EQ(TakeCalls(), (Words{"dns " + c.link + " 192.0.2.53", "domain " + c.link + " ~.",
                                  "revert " + c.link}));
    ExpectCleared(c.link);
    EXPECT_EQ(Sh("pgrep -x sleep").status, 1) << "the hung command outlived its time limit";
  }
}

// The real thing end to end: OpenVPN connects to a server in a peer
// namespace that pushes its DNS server, and runs the helper as its up and down
// script the way the service starts it.
TEST_F(DnsHelperTest, RealOpenVpnRunsTheHelperAsItsScripts) {
  const std::string dir = "/run/sandbox/dns-openvpn";
  MustSh("mkdir -p " + dir + " && " + SourcePath("tests/sandbox/peers") + " openvpn " + dir);
  // OpenVPN makes its own tunnel link, and removes it when it ends.
  MustSh("ip link del tun-tessaryvpn");
  RecordResolveCtl();
  MustSh("/usr/sbin/openvpn --config " + dir +
         "/openvpn.ovpn --dev tun-tessaryvpn --dev-type tun --script-security 2"
         " --up /usr/libexec/tessaryvpn-dns --down /usr/libexec/tessaryvpn-dns --down-pre"
         " --daemon --log " +
         dir + "/client.log --writepid " + dir + "/client.pid");
  const bool connected =
      WaitUntil([] { return ReadText(kCalls).find("default-route") != std::string::npos; },
                std::chrono::seconds(30));
  ASSERT_TRUE(connected) << ReadText(dir + "/client.log");
  ExpectApplied(kOpenVpnInterface, "198.51.100.129");
  ExpectCleared(kWireGuardInterface);

  MustSh("kill -TERM $(cat " + dir + "/client.pid)");
  ASSERT_TRUE(
      WaitUntil([] { return !g_file_test("/sys/class/net/tun-tessaryvpn", G_FILE_TEST_EXISTS); },
                std::chrono::seconds(15)));
  EXPECT_EQ(TakeCalls(), (Words{"dns tun-tessaryvpn 198.51.100.129", "domain tun-tessaryvpn ~.",
                                "default-route tun-tessaryvpn true", "revert tun-tessaryvpn"}));
  EXPECT_EQ(ReadText(dir + "/client.log").find("WARNING: Failed running command"),
            std::string::npos)
      << ReadText(dir + "/client.log");
}

}  // namespace
}  // namespace tessary::test
