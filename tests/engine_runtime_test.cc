// The engine runtime's pure pieces: text trimming, the WireGuard and OpenVPN
// rewrites, route matching, the AmneziaWG environment, the in-memory wipe and
// the waiting on child processes (harmless commands only; nothing here
// changes the machine).
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <sstream>

#include "service/engine_runtime.cc"
#include "service/profile_text.h"
#include "tests/sandbox/sandbox_util.h"

// ---- a release hook for SecureClear ----------------------------------------
// Every block handed back to the allocator is searched for the marker while a
// test is watching, so a wipe that misses the released block is seen.
namespace {
std::atomic<bool> g_watching{false};
std::atomic<int> g_released_with_marker{0};
constexpr char kMarker[] = "SECRET-MARKER-0123456789";

void InspectReleased(void* block) {
  if (block == nullptr || !g_watching.load()) return;
  size_t size = malloc_usable_size(block);
  if (memmem(block, size, kMarker, sizeof kMarker - 1) != nullptr) ++g_released_with_marker;
}
}  // namespace

// Allocation goes through malloc so the hook can size and free the block.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t size) {
  void* block = malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}
void operator delete(void* block) noexcept {
  InspectReleased(block);
  free(block);
}
void operator delete(void* block, std::size_t) noexcept {
  InspectReleased(block);
  free(block);
}
#pragma GCC diagnostic pop

namespace tessary::linux_service {
namespace {

std::string ReadTestData(const char* name) {
  std::ifstream in(std::string(TESSARY_TEST_DATA) + "/" + name, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(EngineRuntimeText, Trim) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {" \t[Interface]\r", "[Interface]"},
      {"Address = 10.0.0.2/32, fd00::2/128", "Address = 10.0.0.2/32, fd00::2/128"},
      {"  \t \v\f\r\n", ""},
      {"", ""},
      {"x", "x"},
      {"\n a b \n", "a b"},
  };
  for (const auto& c : cases) EXPECT_EQ(Trim(c.in), c.out) << '"' << c.in << '"';
}

TEST(EngineRuntimeText, TunnelInterfaceNames) {
  EXPECT_STREQ(TunnelInterfaceFor(kUnsupported), "");
  EXPECT_STREQ(TunnelInterfaceFor(kSingBox), "tessary-sbox0");
  EXPECT_STREQ(TunnelInterfaceFor(kXray), "tessary-xray0");
  EXPECT_STREQ(TunnelInterfaceFor(kWireGuard), "tessaryvpn");
  EXPECT_STREQ(TunnelInterfaceFor(kOpenVpn), "tun-tessaryvpn");
  EXPECT_STREQ(TunnelInterfaceFor(static_cast<EngineKind>(9)), "");
  EXPECT_STREQ(TunnelInterfaceFor(static_cast<EngineKind>(-1)), "");
}

struct WireGuardCase {
  const char* name;
  const char* config;
  const char* rewritten;
  std::vector<std::string> dns;
};

TEST(EngineRuntimeText, WireGuardRewrite) {
  const WireGuardCase cases[] = {
      {"dual-stack DNS, trimmed, in order",
       "[Interface]\nPrivateKey = k\nDNS = 192.0.2.53 ,  2001:db8::53\n[Peer]\nAllowedIPs = "
       "0.0.0.0/0\n",
       "[Interface]\nPrivateKey = k\n[Peer]\nAllowedIPs = 0.0.0.0/0\n",
       {"192.0.2.53", "2001:db8::53"}},
      {"DNS in [Peer] stays and is not collected",
       "[Interface]\nPrivateKey = k\n[Peer]\nDNS = 192.0.2.1\n",
       "[Interface]\nPrivateKey = k\n[Peer]\nDNS = 192.0.2.1\n",
       {}},
      {"headers and key in any case, blanks around",
       "  [INTERFACE] \t\n   Dns=192.0.2.1\n\t[ peer ]\n [pEEr]\nDNS = 192.0.2.2\n",
       "  [INTERFACE] \t\n\t[ peer ]\n [pEEr]\nDNS = 192.0.2.2\n",
       {"192.0.2.1"}},
      {"two DNS lines in file order, CRLF kept on copied lines",
       "[Interface]\r\nDNS = 192.0.2.1\r\nAddress = 10.0.0.2/32\r\ndns=192.0.2.2, 192.0.2.3\r\n",
       "[Interface]\r\nAddress = 10.0.0.2/32\r\n",
       {"192.0.2.1", "192.0.2.2", "192.0.2.3"}},
      {"empty pieces kept, empty value adds nothing, no final newline added once",
       "[Interface]\nDNS = 192.0.2.1,,192.0.2.2\nDNS =\nAddress = 10.0.0.2/32",
       "[Interface]\nAddress = 10.0.0.2/32\n",
       {"192.0.2.1", "", "192.0.2.2"}},
      {"a trailing comma adds no server; comments are not addresses",
       "[Interface] # tunnel\nDNS = 192.0.2.1, 2001:db8::1, # resolvers\n",
       "[Interface] # tunnel\n",
       {"192.0.2.1", "2001:db8::1"}},
      {"a DNS-like key that is not dns is kept",
       "[Interface]\nDNSSEC = yes\nMyDNS = 1\n",
       "[Interface]\nDNSSEC = yes\nMyDNS = 1\n",
       {}},
      {"lines before any section are copied",
       "DNS = 192.0.2.1\n[Interface]\n",
       "DNS = 192.0.2.1\n[Interface]\n",
       {}},
  };
  for (const auto& c : cases) {
    std::string rewritten;
    std::vector<std::string> dns;
    RewriteWireGuardConfig(c.config, &rewritten, &dns);
    EXPECT_EQ(rewritten, c.rewritten) << c.name;
    EXPECT_EQ(dns, c.dns) << c.name;
  }
}

TEST(EngineRuntimeText, WireGuardRewriteOfAPublishedProfile) {
  std::string config = ReadTestData("wg-quick-man-example-client-psk-dns.conf");
  ASSERT_FALSE(config.empty());
  std::string rewritten;
  std::vector<std::string> dns;
  RewriteWireGuardConfig(config, &rewritten, &dns);
  EXPECT_EQ(dns, std::vector<std::string>{"10.200.100.1"});
  EXPECT_EQ(rewritten.find("DNS"), std::string::npos);
  // Everything else is carried over byte for byte.
  std::string expected = config;
  expected.erase(expected.find("DNS = 10.200.100.1\n"), strlen("DNS = 10.200.100.1\n"));
  if (expected.back() != '\n') expected.push_back('\n');
  EXPECT_EQ(rewritten, expected);
}

TEST(EngineRuntimeText, OpenVpnRewrite) {
  const struct {
    const char* name;
    const char* in;
    const char* out;
  } cases[] = {
      {"dev line replaced", "client\ndev tun0\nproto udp\n",
       "client\ndev tun-tessaryvpn\nproto udp\n"},
      {"--dev and capitals and blanks", "  --DEV  mytun\r\nDev\ttap\n",
       "dev tun-tessaryvpn\ndev tun-tessaryvpn\n"},
      {"dev inside an inline block untouched; only the exact closing tag ends it",
       "<ca>\ndev tun9\n</CA>\ndev tun0\n </ca>x\ndev tun1\n",
       "<ca>\ndev tun9\n</CA>\ndev tun0\n </ca>x\ndev tun-tessaryvpn\n"},
      {"quotes, comment words and a byte-order mark as openvpn reads them",
       "\xEF\xBB\xBF\"dev\" tap0\n<ca> ;c\ndev x\n</ca>\n'--dev' y\n",
       "dev tun-tessaryvpn\n<ca> ;c\ndev x\n</ca>\ndev tun-tessaryvpn\n"},
      {"dev-type and device-like words are not dev", "dev-type tun\ndevice x\n",
       "dev-type tun\ndevice x\n"},
      {"no dev line gets none", "client\nremote 192.0.2.1\n", "client\nremote 192.0.2.1\n"},
      {"an unclosed block protects the rest", "<key>\ndev tun1\n", "<key>\ndev tun1\n"},
      {"<> opens a block as openvpn reads it", "<>\ndev a\n", "<>\ndev a\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(RewriteOpenVpnConfig(c.in), c.out) << c.name;
}

TEST(EngineRuntimeText, OpenVpnRewriteOfAPublishedProfileKeepsItsBlocks) {
  std::string config = ReadTestData("provider-airvpn-inline-cert-key-tls-crypt.ovpn");
  ASSERT_NE(config.find("\ndev tun\n"), std::string::npos);
  std::string rewritten = RewriteOpenVpnConfig(config);
  std::string expected = config;
  expected.replace(expected.find("\ndev tun\n"), strlen("\ndev tun\n"), "\ndev tun-tessaryvpn\n");
  if (expected.back() != '\n') expected.push_back('\n');
  EXPECT_EQ(rewritten, expected);
}

TEST(EngineRuntimeText, OutputContainsRoute) {
  const std::string listing =
      "default via 192.0.2.1 dev eth0 proto static\n"
      "default dev tessaryvpn table 51820 scope link\n"
      "0.0.0.0/1 via 198.51.100.1 dev tun-tessaryvpn\n"
      "0.0.0.0/10 dev tun-other\n"
      "198.51.100.0/24 dev tessary-xray0 proto kernel scope link src 198.51.100.2\n"
      "default dev tessary-sbox0x\n";
  const struct {
    const char* route;
    const char* device;
    bool found;
  } cases[] = {
      {"default", "tessaryvpn", true},
      {"default", "eth0", true},
      {"default", "tun-tessaryvpn", false},  // " dev tessaryvpn" is not " dev tun-tessaryvpn"
      {"0.0.0.0/1", "tun-tessaryvpn", true},
      {"0.0.0.0/1", "tessaryvpn", false},
      {"0.0.0.0/1", "tun-other", false},    // "0.0.0.0/10" is another route
      {"default", "tessary-sbox0", false},  // another device sharing the prefix
      {"default", "tessary-xray0", false},  // the device has no default line
      {"198.51.100.0/24", "tessary-xray0", true},
      {"Default", "tessaryvpn", false},  // case-sensitive
  };
  for (const auto& c : cases) {
    EXPECT_EQ(OutputContainsRoute(listing, c.route, c.device), c.found)
        << c.route << " via " << c.device;
  }
  EXPECT_FALSE(OutputContainsRoute("", "default", "tessaryvpn"));
  EXPECT_TRUE(OutputContainsRoute("default dev tessaryvpn", "default", "tessaryvpn"));
}

TEST(EngineRuntimeText, AmneziaEnvironment) {
  Environment environment = AmneziaEnvironment();
  ASSERT_EQ(environment.size(), 2u);
  EXPECT_EQ(environment[0].first, "PATH");
  EXPECT_EQ(environment[0].second, "/usr/libexec/tessaryvpn:/usr/sbin:/usr/bin");
  EXPECT_EQ(environment[1].first, "WG_QUICK_USERSPACE_IMPLEMENTATION");
  EXPECT_EQ(environment[1].second, "/usr/libexec/tessaryvpn/amneziawg-go");
}

// The override reaches the child even without a PATH of the service's own,
// and everything else is still inherited.
TEST(EngineRuntimeText, AmneziaEnvironmentReachesTheCommand) {
  std::string savedPath = g_getenv("PATH") != nullptr ? g_getenv("PATH") : "";
  g_unsetenv("PATH");
  g_setenv("TESSARY_INHERITED_PROBE", "kept", TRUE);
  std::string error;
  bool ok = RunCommandWithEnvironment(
      {"/bin/sh", "-c",
       "test \"$PATH\" = /usr/libexec/tessaryvpn:/usr/sbin:/usr/bin && "
       "test \"$WG_QUICK_USERSPACE_IMPLEMENTATION\" = /usr/libexec/tessaryvpn/amneziawg-go && "
       "test \"$TESSARY_INHERITED_PROBE\" = kept"},
      AmneziaEnvironment(), &error);
  g_setenv("PATH", savedPath.c_str(), TRUE);
  g_unsetenv("TESSARY_INHERITED_PROBE");
  EXPECT_TRUE(ok) << error;
  EXPECT_TRUE(error.empty());
}

TEST(EngineRuntimeText, RunnerResults) {
  std::string error = "untouched";
  EXPECT_TRUE(RunCommand({"/bin/true"}, &error));
  EXPECT_EQ(error, "untouched");
  EXPECT_FALSE(RunCommand({"/bin/sh", "-c", "exit 124"}, &error));
  EXPECT_EQ(error, "The VPN engine operation timed out.");
  EXPECT_FALSE(RunCommand({"/bin/sh", "-c", "exit 3"}, &error));
  EXPECT_NE(error.find("3"), std::string::npos) << error;
  EXPECT_NE(error, "The VPN engine operation timed out.");
  // timeout itself cannot run a missing program: status 127, not success.
  EXPECT_FALSE(RunCommand({"/nonexistent/tool"}, &error));

  std::string output = "stale";
  EXPECT_TRUE(CaptureCommand({"/bin/true"}, &output));
  EXPECT_EQ(output, "");
  output = "stale";
  EXPECT_TRUE(CaptureCommand({"/bin/echo", "a b"}, &output));
  EXPECT_EQ(output, "a b\n");
  output = "stale";
  EXPECT_FALSE(CaptureCommand({"/bin/sh", "-c", "echo partial; exit 1"}, &output));
  EXPECT_EQ(output, "stale");
  EXPECT_FALSE(CaptureCommand({"/bin/sh", "-c", "printf '\\377\\376'"}, &output));
  EXPECT_EQ(output, "stale");
}

TEST(EngineRuntimeText, SecureClearLeavesNoCopyInTheReleasedBlock) {
  std::string secret = std::string("PrivateKey = ") + kMarker + std::string(200, 'k');
  g_released_with_marker = 0;
  g_watching = true;
  {
    // The hook must see an ordinary release of the same text, or the check
    // below would prove nothing.
    std::string plain = secret;
    plain.clear();
    plain.shrink_to_fit();
  }
  int seenWithoutWipe = g_released_with_marker.exchange(0);
  std::string wiped = secret;
  const char* block = wiped.data();
  SecureClear(&wiped);
  g_watching = false;
  EXPECT_EQ(seenWithoutWipe, 1);
  EXPECT_EQ(g_released_with_marker.load(), 0);
  EXPECT_TRUE(wiped.empty());
  EXPECT_NE(wiped.data(), block) << "the heap block was not released";
  SecureClear(nullptr);
  std::string small = "tiny";
  SecureClear(&small);
  EXPECT_TRUE(small.empty());
}

GSubprocess* Spawn(std::vector<const char*> argv) {
  argv.push_back(nullptr);
  return g_subprocess_newv(argv.data(), G_SUBPROCESS_FLAGS_NONE, nullptr);
}

TEST(EngineRuntimeProcess, WaitForProcessHonoursItsDeadline) {
  g_autoptr(GSubprocess) quick = Spawn({"/bin/sleep", "0.1"});
  ASSERT_NE(quick, nullptr);
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(WaitForProcess(quick, std::chrono::milliseconds(5000)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  EXPECT_FALSE(ProcessIsAlive(quick));

  g_autoptr(GSubprocess) slow = Spawn({"/bin/sleep", "30"});
  ASSERT_NE(slow, nullptr);
  EXPECT_TRUE(ProcessIsAlive(slow));
  start = std::chrono::steady_clock::now();
  EXPECT_FALSE(WaitForProcess(slow, std::chrono::milliseconds(300)));
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(300));
  EXPECT_LT(waited, std::chrono::seconds(5));
  EXPECT_TRUE(ProcessIsAlive(slow));
  g_subprocess_force_exit(slow);
  EXPECT_TRUE(WaitForProcess(slow, std::chrono::milliseconds(5000)));
  EXPECT_FALSE(ProcessIsAlive(slow));
}

TEST(EngineRuntimeProcess, AZombieIsNotAlive) {
  // The child ends at once; before GLib reaps it /proc shows it as a zombie,
  // afterwards it has no identifier. Both read as not alive.
  g_autoptr(GSubprocess) child = Spawn({"/bin/true"});
  ASSERT_NE(child, nullptr);
  bool ended =
      tessary::test::WaitUntil([&] { return !ProcessIsAlive(child); }, std::chrono::seconds(5));
  EXPECT_TRUE(ended);
  EXPECT_TRUE(WaitForProcess(child, std::chrono::milliseconds(2000)));
}

// The state letter follows the command name, which a process may set to
// anything: a live process named "x Z" must not read as a zombie.
TEST(EngineRuntimeProcess, ACommandNameWithBlanksDoesNotHideTheState) {
  g_autoptr(GSubprocess) child = Spawn(
      {"/bin/sh", "-c",
       "printf 'x Z' > /proc/$$/comm; i=0; while [ $i -lt 100 ]; do sleep 0.1; i=$((i+1)); done"});
  ASSERT_NE(child, nullptr);
  std::string comm = std::string("/proc/") + g_subprocess_get_identifier(child) + "/comm";
  ASSERT_TRUE(tessary::test::WaitUntil(
      [&] {
        std::ifstream in(comm);
        std::string name;
        std::getline(in, name);
        return name == "x Z";
      },
      std::chrono::seconds(5)));
  EXPECT_TRUE(ProcessIsAlive(child));
  g_subprocess_force_exit(child);
  EXPECT_TRUE(WaitForProcess(child, std::chrono::milliseconds(5000)));
  EXPECT_FALSE(ProcessIsAlive(child));
}

}  // namespace
}  // namespace tessary::linux_service
