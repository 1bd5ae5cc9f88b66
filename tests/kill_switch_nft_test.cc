// The kill switch against the real nft inside the sandbox: every ruleset the
// service can build is accepted, the applied table lists back, and removal,
// missing and misbehaving nft programs end the way the service relies on.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/constants.h"
#include "service/engine_runtime.h"
#include "service/kill_switch.h"
#include "tests/sandbox/sandbox_util.h"

namespace tessary::linux_service {
namespace {

using test::CommandResult;
using test::Sh;
using Addresses = std::vector<std::string>;

const char kUnavailable[] = "nftables is unavailable. Repair the TessaryVPN installation.";
const char kFailed[] = "The nftables leak-protection command failed.";
const char kSavedNft[] = "/run/sandbox/nft.real";
const std::function<bool()> kNeverCancelled = [] { return false; };

// Replaces /usr/sbin/nft (in the sandbox's /usr overlay) for one test and
// puts the real program back afterwards.
struct NftStandIn {
  explicit NftStandIn(const std::string& script) {
    test::RequireSandbox();
    Install(script);
  }
  static void Install(const std::string& script) {
    CommandResult saved =
        Sh(std::string("test -e ") + kSavedNft + " || cp -p " + kNftBinary + " " + kSavedNft);
    EXPECT_EQ(saved.status, 0) << saved.err;
    if (script.empty()) {
      EXPECT_EQ(Sh(std::string("rm -f ") + kNftBinary).status, 0);
      return;
    }
    FILE* file = fopen(kNftBinary, "w");
    ASSERT_NE(file, nullptr);
    fputs(script.c_str(), file);
    fclose(file);
    EXPECT_EQ(Sh(std::string("chmod 0755 ") + kNftBinary).status, 0);
  }
  ~NftStandIn() {
    CommandResult restored =
        Sh(std::string("rm -f ") + kNftBinary + " && cp -p " + kSavedNft + " " + kNftBinary);
    EXPECT_EQ(restored.status, 0) << restored.err;
  }
  NftStandIn(const NftStandIn&) = delete;
  NftStandIn& operator=(const NftStandIn&) = delete;
};

std::string ListTable() {
  CommandResult listed = Sh("nft list table inet tessaryvpn");
  return listed.status == 0 ? listed.out : "(no table: " + listed.err + ")";
}

int CountTables() {
  CommandResult tables = Sh("nft list tables | grep -c '^table inet tessaryvpn$'");
  return std::stoi(tables.out.empty() ? "0" : tables.out);
}

// Every address nft holds in the table's "ip daddr"/"ip6 daddr" rules, in
// GIO's text form, however nft chooses to wrap and order them.
std::set<std::string> AddressesInTable() {
  CommandResult listed =
      Sh("nft list table inet tessaryvpn | tr '\\n\\t{},' '     ' | "
         "grep -oE 'ip6? daddr( +[0-9a-fA-F.:]+)+' | tr ' ' '\\n' | grep -E '[.:]'");
  std::set<std::string> found;
  size_t start = 0;
  while (start < listed.out.size()) {
    size_t end = listed.out.find('\n', start);
    if (end == std::string::npos) end = listed.out.size();
    if (end > start) found.insert(listed.out.substr(start, end - start));
    start = end + 1;
  }
  return found;
}

std::set<std::string> Canonical(const Addresses& addresses) {
  std::set<std::string> canonical;
  for (const std::string& address : addresses) {
    g_autoptr(GInetAddress) parsed = g_inet_address_new_from_string(address.c_str());
    if (parsed == nullptr) continue;
    g_autofree gchar* text = g_inet_address_to_string(parsed);
    canonical.insert(text);
  }
  return canonical;
}

Addresses ManyAddresses(int ipv6Count) {
  Addresses addresses;
  for (const char* prefix : {"192.0.2.", "198.51.100.", "203.0.113."}) {
    for (int i = 1; i <= 254; ++i) addresses.push_back(prefix + std::to_string(i));
  }
  char text[64];
  for (int i = 1; i <= ipv6Count; ++i) {
    snprintf(text, sizeof(text), "2001:db8:%x::%x", i / 4096 + 1, i % 4096 + 1);
    addresses.push_back(text);
  }
  return addresses;
}

// The servers at `addresses`, for WireGuard's transport and port.
KillSwitchRules Rules(const std::string& interfaceName, const Addresses& addresses,
                      uint32_t mark = 0) {
  KillSwitchRules rules{{interfaceName}, {}};
  for (const std::string& address : addresses)
    rules.servers.push_back({address, "udp", 51820, mark});
  return rules;
}

void ExpectRemoved() {
  std::string error = "untouched";
  EXPECT_TRUE(RemoveKillSwitch(&error)) << error;
  EXPECT_FALSE(KillSwitchInstalled());
}

TEST(KillSwitchNft, EveryRulesetPassesTheRealCheck) {
  test::RequireSandbox();
  const struct {
    const char* name;
    std::string interfaceName;
    Addresses addresses;
  } cases[] = {
      {"IPv4 only", kWireGuardInterface, {"203.0.113.7"}},
      {"IPv6 only", kOpenVpnInterface, {"2001:db8::7", "2001:DB8:0:0::8"}},
      {"mixed",
       kSingBoxInterface,
       {"192.0.2.1", "2001:db8::1", "198.51.100.1", "::ffff:192.0.2.9"}},
      {"many addresses", kXrayInterface, ManyAddresses(3000)},
      {"the longest usable interface name", "aZ0-._bcdefghij", {"192.0.2.1"}},
  };
  // A reconnect's table: both tunnels, each engine's servers for its own
  // transport, port and mark.
  KillSwitchRules bridge = Rules(kWireGuardInterface, {"192.0.2.1", "2001:db8::1"}, 0xca6c);
  bridge.interfaces.push_back(kOpenVpnInterface);
  bridge.servers.push_back({"198.51.100.1", "tcp", 443, 29548});
  bridge.servers.push_back({"2001:db8::2", "udp", 1194, 0});
  std::vector<std::pair<std::string, KillSwitchRules>> rulesets = {{"two tunnels", bridge}};
  for (const auto& c : cases) rulesets.push_back({c.name, Rules(c.interfaceName, c.addresses)});
  for (const auto& [name, rules] : rulesets) {
    std::string ruleset;
    std::string error;
    ASSERT_TRUE(BuildKillSwitchRuleset(rules, &ruleset, &error)) << name;
    CommandResult check = test::Run({kNftBinary, "-c", "-f", "-"}, ruleset);
    EXPECT_EQ(check.status, 0) << name << ": " << check.err;
  }
  // Check mode changed nothing.
  EXPECT_EQ(CountTables(), 0);
}

TEST(KillSwitchNft, AppliedTableListsBack) {
  test::RequireSandbox();
  std::string error = "untouched";
  ASSERT_TRUE(ApplyKillSwitch(
      Rules("tessaryvpn", {"203.0.113.7", "2001:DB8:0:0::7", "192.0.2.1"}, 0xca6c), &error))
      << error;
  EXPECT_EQ(error, "untouched");
  EXPECT_TRUE(KillSwitchInstalled());
  // nft's own listing: tabs, "priority filter" for 0, sorted set elements and
  // a lone element without braces.
  EXPECT_EQ(ListTable(),
            "table inet tessaryvpn {\n"
            "\tchain output {\n"
            "\t\ttype filter hook output priority filter; policy drop;\n"
            "\t\toifname \"lo\" accept\n"
            "\t\toifname \"tessaryvpn\" accept\n"
            "\t\ticmpv6 type { mld-listener-query, mld-listener-report, mld-listener-done, "
            "nd-router-solicit, nd-router-advert, nd-neighbor-solicit, nd-neighbor-advert, "
            "nd-redirect, mld2-listener-report } accept\n"
            "\t\tudp sport 68 udp dport 67 accept\n"
            "\t\tudp sport 546 udp dport 547 accept\n"
            "\t\tmeta mark 0x0000ca6c ip daddr { 192.0.2.1, 203.0.113.7 } udp dport 51820 accept\n"
            "\t\tmeta mark 0x0000ca6c ip6 daddr 2001:db8::7 udp dport 51820 accept\n"
            "\t}\n"
            "}\n");
  ExpectRemoved();
}

TEST(KillSwitchNft, ManyAddressesAreAllInstalled) {
  test::RequireSandbox();
  const Addresses addresses = ManyAddresses(2000);
  std::string error;
  ASSERT_TRUE(ApplyKillSwitch(Rules(kWireGuardInterface, addresses), &error)) << error;
  EXPECT_EQ(AddressesInTable(), Canonical(addresses));
  ExpectRemoved();
}

TEST(KillSwitchNft, ReapplyingLeavesOneTableWithOnlyTheNewAddresses) {
  test::RequireSandbox();
  std::string error;
  ASSERT_TRUE(ApplyKillSwitch(Rules(kWireGuardInterface, {"203.0.113.7", "2001:db8::7"}), &error))
      << error;
  ASSERT_TRUE(ApplyKillSwitch(Rules(kOpenVpnInterface, {"198.51.100.9"}), &error)) << error;
  EXPECT_EQ(CountTables(), 1);
  EXPECT_EQ(AddressesInTable(), (std::set<std::string>{"198.51.100.9"}));
  const std::string listing = ListTable();
  EXPECT_NE(listing.find("oifname \"tun-tessaryvpn\" accept"), std::string::npos) << listing;
  EXPECT_EQ(listing.find("oifname \"tessaryvpn\""), std::string::npos) << listing;
  EXPECT_EQ(listing.find("ip6 daddr"), std::string::npos) << listing;
  ExpectRemoved();
}

TEST(KillSwitchNft, RefusedRulesetsRunNothingAndKeepTheEarlierTable) {
  test::RequireSandbox();
  std::string error;
  ASSERT_TRUE(ApplyKillSwitch(Rules(kWireGuardInterface, {"203.0.113.7"}), &error)) << error;
  const std::string before = ListTable();
  const struct {
    const char* name;
    std::string interfaceName;
    Addresses addresses;
    std::string expected;
  } cases[] = {
      {"16-byte name",
       "abcdefghijklmnop",
       {"192.0.2.1"},
       "The tunnel interface name is not usable."},
      {"blank in the name",
       "tessary vpn",
       {"192.0.2.1"},
       "The tunnel interface name is not usable."},
      {"double quote in the name, before any address",
       "tessary\"",
       {},
       "The tunnel interface name is not usable."},
      {"no usable address",
       kWireGuardInterface,
       {"vpn.example", "192.0.2.1/32"},
       "No server address was available for the leak-protection ruleset."},
  };
  for (const auto& c : cases) {
    error = "untouched";
    EXPECT_FALSE(ApplyKillSwitch(Rules(c.interfaceName, c.addresses), &error)) << c.name;
    EXPECT_EQ(error, c.expected) << c.name;
    EXPECT_EQ(ListTable(), before) << c.name;
  }
  ExpectRemoved();
}

TEST(KillSwitchNft, RemovalSucceedsTwiceAndWithoutATable) {
  test::RequireSandbox();
  ASSERT_FALSE(KillSwitchInstalled());
  ExpectRemoved();  // nothing installed
  std::string error;
  ASSERT_TRUE(ApplyKillSwitch(Rules(kWireGuardInterface, {"203.0.113.7"}), &error)) << error;
  ASSERT_TRUE(KillSwitchInstalled());
  ExpectRemoved();
  ExpectRemoved();
  EXPECT_EQ(CountTables(), 0);
}

TEST(KillSwitchNft, WithoutNftRemovalAndApplyAskForRepair) {
  test::RequireSandbox();
  // A table loaded before nft went away can be neither lifted nor shown to
  // be gone: never reported removed.
  std::string loaded;
  ASSERT_TRUE(ApplyKillSwitch(Rules(kWireGuardInterface, {"203.0.113.7"}), &loaded)) << loaded;
  for (const char* how : {"removed", "not executable"}) {
    NftStandIn standIn(std::string(how) == "removed" ? "" : "#!/bin/sh\nexit 0\n");
    if (std::string(how) == "not executable") {
      ASSERT_EQ(Sh(std::string("chmod 0644 ") + kNftBinary).status, 0);
    }
    std::string error = "untouched";
    EXPECT_FALSE(RemoveKillSwitch(&error)) << how;
    EXPECT_EQ(error, kUnavailable) << how;
    error = "untouched";
    EXPECT_FALSE(ApplyKillSwitch(Rules(kWireGuardInterface, {"203.0.113.7"}), &error)) << how;
    EXPECT_EQ(error, kUnavailable) << how;
  }
  EXPECT_TRUE(KillSwitchInstalled());
  ExpectRemoved();
}

TEST(KillSwitchNft, NftThatFailsIsReported) {
  test::RequireSandbox();
  // Exits without reading its input: with more input than a pipe holds, the
  // write fails with EPIPE, which must not end this process by SIGPIPE.
  NftStandIn standIn("#!/bin/sh\nexec 0<&-\nexit 3\n");
  for (const Addresses& addresses : {Addresses{"203.0.113.7"}, ManyAddresses(6000)}) {
    std::string error = "untouched";
    EXPECT_FALSE(ApplyKillSwitch(Rules(kWireGuardInterface, addresses), &error))
        << addresses.size();
    EXPECT_EQ(error, kFailed) << addresses.size();
  }
  std::string error;
  EXPECT_FALSE(RemoveKillSwitch(&error));
  EXPECT_EQ(error, kFailed);
  EXPECT_FALSE(KillSwitchInstalled());
}

TEST(KillSwitchNft, WithoutTheTimeoutWrapperNothingRuns) {
  test::RequireSandbox();
  ASSERT_EQ(Sh(std::string("cp -p ") + kTimeoutBinary + " /run/sandbox/timeout.real && rm " +
               kTimeoutBinary)
                .status,
            0);
  std::string error;
  EXPECT_FALSE(ApplyKillSwitch(Rules(kWireGuardInterface, {"203.0.113.7"}), &error));
  EXPECT_EQ(error, "Unable to run the nftables leak-protection command.");
  EXPECT_EQ(Sh(std::string("cp -p /run/sandbox/timeout.real ") + kTimeoutBinary).status, 0);
  EXPECT_FALSE(KillSwitchInstalled());
}

// What reaches nft, and how: the timeout wrapper's arguments, nft's
// arguments and its standard input, recorded by stand-ins for both programs.
TEST(KillSwitchNft, CommandLinesAndInputAreExactly) {
  test::RequireSandbox();
  ASSERT_EQ(Sh(std::string("cp -p ") + kTimeoutBinary + " /run/sandbox/timeout.real").status, 0);
  FILE* wrapper = fopen(kTimeoutBinary, "w");
  ASSERT_NE(wrapper, nullptr);
  fputs(
      "#!/bin/sh\nprintf '%s\\n' \"$@\" >/run/sandbox/timeout.args\n"
      "exec /run/sandbox/timeout.real \"$@\"\n",
      wrapper);
  fclose(wrapper);
  NftStandIn standIn(
      "#!/bin/sh\nprintf '%s\\n' \"$@\" >/run/sandbox/nft.args\n"
      "cat >/run/sandbox/nft.input\n");
  const auto recorded = [](const char* what) { return Sh(std::string("cat ") + what).out; };

  std::string ruleset;
  std::string error;
  ASSERT_TRUE(BuildKillSwitchRuleset(Rules(kWireGuardInterface, {"203.0.113.7", "2001:db8::7"}),
                                     &ruleset, &error));
  EXPECT_TRUE(ApplyKillSwitch(Rules(kWireGuardInterface, {"203.0.113.7", "2001:db8::7"}), &error))
      << error;
  EXPECT_EQ(recorded("/run/sandbox/timeout.args"),
            "--signal=TERM\n--kill-after=1s\n5s\n/usr/sbin/nft\n-f\n-\n");
  EXPECT_EQ(recorded("/run/sandbox/nft.args"), "-f\n-\n");
  EXPECT_EQ(recorded("/run/sandbox/nft.input"), ruleset);

  EXPECT_TRUE(RemoveKillSwitch(&error)) << error;
  EXPECT_EQ(recorded("/run/sandbox/nft.args"), "-f\n-\n");
  EXPECT_EQ(recorded("/run/sandbox/nft.input"),
            "table inet tessaryvpn\ndelete table inet tessaryvpn\n");

  EXPECT_TRUE(KillSwitchInstalled());  // the stand-in answers 0
  EXPECT_EQ(recorded("/run/sandbox/timeout.args"),
            "--signal=TERM\n--kill-after=1s\n5s\n/usr/sbin/nft\nlist\ntable\ninet\ntessaryvpn\n");
  EXPECT_EQ(recorded("/run/sandbox/nft.input"), "");

  EXPECT_EQ(Sh(std::string("cp -p /run/sandbox/timeout.real ") + kTimeoutBinary).status, 0);
}

TEST(KillSwitchNft, HungNftIsKilledAfterAboutSixSeconds) {
  test::RequireSandbox();
  const struct {
    const char* name;
    const char* script;
    long atLeastMs;
    long atMostMs;
  } cases[] = {
      // Ignores SIGTERM, so only the SIGKILL one second after the limit ends it.
      {"deaf to SIGTERM", "#!/bin/sh\ntrap '' TERM\nexec sleep 1000\n", 5800, 8000},
      {"ends on SIGTERM", "#!/bin/sh\nsleep 1000\n", 4800, 6500},
  };
  for (const auto& c : cases) {
    NftStandIn standIn(c.script);
    std::string error;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(ApplyKillSwitch(Rules(kWireGuardInterface, {"203.0.113.7"}), &error)) << c.name;
    const long took = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - started)
                                            .count());
    EXPECT_EQ(error, kFailed) << c.name;
    EXPECT_GE(took, c.atLeastMs) << c.name;
    EXPECT_LE(took, c.atMostMs) << c.name;
    // timeout signals its whole process group: no sleep outlives the stand-in.
    EXPECT_TRUE(
        test::WaitUntil([] { return Sh("pgrep -x sleep").status != 0; }, std::chrono::seconds(2)))
        << c.name;
  }
}

// The runtime's engine decides the tunnel interface; its profile decides the
// servers. The runtime here never started anything: only `kind` is set, and it
// is put back before the destructor stops the slot.
TEST(ApplyLeakProtection, EachEngineGetsItsInterfaceAndItsServers) {
  test::RequireSandbox();
  ASSERT_EQ(Sh("echo '203.0.113.44 vpn.nfttest.example' >>/etc/hosts").status, 0);
  // AI_ADDRCONFIG: names resolve only once some link has a non-loopback address.
  ASSERT_EQ(Sh("ip tuntap add dev nfttest0 mode tun && ip addr add 192.0.2.200/24 dev nfttest0 && "
               "ip -6 addr add 2001:db8:200::1/64 dev nfttest0 nodad")
                .status,
            0);
  const struct {
    EngineKind kind;
    std::string profile;
    const char* interfaceName;
    std::set<std::string> servers;
    const char* rule;  // one rule of the listing, as nft writes it back
  } cases[] = {
      {kSingBox,
       R"({"outbounds":[{"type":"vless","server":"203.0.113.5","server_port":443},
           {"type":"direct"}]})",
       "tessary-sbox0",
       {"203.0.113.5"},
       "ip daddr 203.0.113.5 tcp dport 443 accept"},
      {kXray,
       R"({"outbounds":[{"settings":{"vnext":[{"address":"2001:db8::5","port":8443}]}}]})",
       "tessary-xray0",
       {"2001:db8::5"},
       "ip6 daddr 2001:db8::5 tcp dport 8443 accept"},
      // No interface, so no mark to read: the server alone is admitted.
      {kWireGuard,
       "[Peer]\nEndpoint = vpn.nfttest.example:51820\n",
       "tessaryvpn",
       {"203.0.113.44"},
       "ip daddr 203.0.113.44 udp dport 51820 accept"},
      // openvpn runs with its own socket mark.
      {kOpenVpn,
       "client\nremote 198.51.100.5 1194\nremote [2001:db8::6]\nremote 2001:db8::6 443 tcp\n",
       "tun-tessaryvpn",
       {"198.51.100.5", "2001:db8::6"},
       "meta mark 0x0000736c ip6 daddr 2001:db8::6 tcp dport 443 accept"},
  };
  for (const auto& c : cases) {
    EngineRuntime runtime;
    runtime.kind = c.kind;
    std::string error = "untouched";
    EXPECT_TRUE(runtime.ApplyLeakProtection(c.profile, kNeverCancelled, &error))
        << c.interfaceName << ": " << error;
    runtime.kind = kUnsupported;
    EXPECT_EQ(error, "untouched");
    EXPECT_NE(ListTable().find(std::string("oifname \"") + c.interfaceName + "\" accept"),
              std::string::npos)
        << ListTable();
    EXPECT_EQ(AddressesInTable(), c.servers) << c.interfaceName;
    EXPECT_NE(ListTable().find(c.rule), std::string::npos) << ListTable();
  }
  ExpectRemoved();

  // A name server that never answers: queries to it vanish into a TUN device
  // that no program reads,
  // and the system resolver would wait 30 seconds for each.
  const std::string resolvConf = Sh("cat /etc/resolv.conf").out;
  ASSERT_EQ(Sh("ip tuntap add dev nftdns0 mode tun && ip addr add 198.51.100.250/24 dev nftdns0 && "
               "ip link set nftdns0 up")
                .status,
            0);
  const std::string kSilent = "nameserver 198.51.100.53\noptions timeout:30 attempts:1\n";
  const struct {
    const char* name;
    EngineKind kind;
    std::string profile;
    std::string expected;
    bool silentResolver;
    long cancelAfterMs;  // -1: never
    long atLeastMs;
    long atMostMs;
  } failures[] = {
      {"no engine running", kUnsupported, "remote 198.51.100.5 1194\n",
       "No tunnel interface is active.", false, -1, 0, 3000},
      {"a profile whose server does not resolve", kWireGuard,
       "Endpoint = missing.nfttest.example:51820\n",
       "No server address was available for the leak-protection ruleset.", false, -1, 0, 3000},
      {"a server without a port the engine could use", kSingBox,
       R"({"outbounds":[{"type":"vless","server":"203.0.113.5"}]})",
       "No server address was available for the leak-protection ruleset.", false, -1, 0, 3000},
      {"a profile that is not JSON", kSingBox, "outbounds = server",
       "No server address was available for the leak-protection ruleset.", false, -1, 0, 3000},
      {"names nobody answers for give up together at the deadline", kWireGuard,
       "Endpoint = a.silent.example:1\nEndpoint = b.silent.example:2\nEndpoint = "
       "c.silent.example\n",
       "The profile's server names did not resolve within 10 seconds.", true, -1, 9500, 12000},
      {"a connect overtaken during the lookup stops at once, literal or not", kOpenVpn,
       "remote a.silent.example\nremote 198.51.100.5\n",
       "The VPN connection request was cancelled.", true, 1000, 900, 2000},
  };
  for (const auto& f : failures) {
    ASSERT_TRUE(g_file_set_contents(
        "/etc/resolv.conf", (f.silentResolver ? kSilent : resolvConf).c_str(), -1, nullptr));
    EngineRuntime runtime;
    runtime.kind = f.kind;
    std::string error;
    const auto started = std::chrono::steady_clock::now();
    const auto elapsedMs = [&started] {
      return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now() - started)
                                   .count());
    };
    const std::function<bool()> cancelled = [&] {
      return f.cancelAfterMs >= 0 && elapsedMs() >= f.cancelAfterMs;
    };
    EXPECT_FALSE(runtime.ApplyLeakProtection(f.profile, cancelled, &error)) << f.name;
    const long took = elapsedMs();
    runtime.kind = kUnsupported;
    EXPECT_EQ(error, f.expected) << f.name;
    EXPECT_GE(took, f.atLeastMs) << f.name;
    EXPECT_LE(took, f.atMostMs) << f.name;
    EXPECT_FALSE(KillSwitchInstalled()) << f.name;
  }
  ASSERT_TRUE(g_file_set_contents("/etc/resolv.conf", resolvConf.c_str(), -1, nullptr));
  Sh("ip link del nftdns0");
  Sh("ip link del nfttest0");
}

}  // namespace
}  // namespace tessary::linux_service
