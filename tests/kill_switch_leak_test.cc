// The kill switch proven with real packets. Inside the sandbox this machine
// (the client) reaches three peer namespaces over veth links:
//
//   client veth-srv  192.0.2.1  2001:db8:1::1  <->  "server"  192.0.2.2 2001:db8:1::2
//                                                   (and a neighbour, .53 / ::53)
//   client veth-out  198.51.100.1 2001:db8:2::1 <->  "outside" 198.51.100.2 2001:db8:2::2
//   client tessaryvpn 203.0.113.1 2001:db8:3::1 <->  "tunnel"  203.0.113.2 2001:db8:3::2
//                                                   (and 198.51.100.99, routed into it)
//
// The link named like the WireGuard tunnel stands in for the tunnel: what the
// client sends through it arrives at a peer that can count it. Every scenario
// sends real packets and counts what arrived at the receiving namespace with
// an nft counter on its prerouting hook; a scenario that must not leak may not
// have a single packet arrive.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/constants.h"
#include "service/engine_runtime.h"
#include "service/kill_switch.h"
#include "tests/sandbox/sandbox_util.h"

namespace tessary::linux_service {
namespace {

using test::CommandResult;
using test::Run;
using test::Sh;

constexpr int kEchoPort = 7000;  // socat echo listeners in every peer namespace
constexpr int kDatagrams = 3;    // datagrams per UDP scenario

enum class Send {
  kUdp,          // kDatagrams datagrams
  kTcp,          // connect and send a line, echoed where a listener runs
  kPing,         // two ICMP or ICMPv6 echo requests
  kSystemDns,    // a name lookup through /etc/resolv.conf
  kLoopbackUdp,  // datagrams to a socket of this process
  kLoopbackTcp,  // a connection to a listener of this process
};

struct Scenario {
  const char* story;  // what the machine tries, in the words of a reviewer
  Send send;
  const char* where;  // namespace whose arrivals are counted ("" for loopback)
  const char* address;
  int port;
  bool mustArrive;
  int sourcePort = 0;  // UDP only; 0 for any
  int mark = 0;        // UDP only: the socket mark, as an engine sets it
};

constexpr uint32_t kEngineMark = 0xca6c;  // wg-quick's first choice

struct Outcome {
  int arrived = 0;
  std::string sent;  // what the sending side saw
};

// The servers of a profile, as the connect worker collects them.
std::vector<KillSwitchServer> ProfileServers(EngineKind kind, const std::string& profile) {
  std::vector<KillSwitchServer> servers;
  std::string error;
  EXPECT_TRUE(CollectEndpointAddresses(
      kind, profile, [] { return false; }, &servers, &error))
      << error;
  return servers;
}

// Each as "address transport port".
std::vector<std::string> ServerAddresses(EngineKind kind, const std::string& profile) {
  std::vector<std::string> described;
  for (const KillSwitchServer& s : ProfileServers(kind, profile)) {
    described.push_back(s.address + " " + s.transport + " " + std::to_string(s.port));
  }
  return described;
}

// A WireGuard server at each of `addresses`, UDP 51820.
KillSwitchRules Rules(const std::vector<std::string>& addresses, uint32_t mark = 0) {
  KillSwitchRules rules{{kWireGuardInterface}, {}};
  for (const std::string& address : addresses)
    rules.servers.push_back({address, "udp", 51820, mark});
  return rules;
}

std::string NsNft(const char* ns, const std::string& input) {
  CommandResult result = Run({kIpBinary, "netns", "exec", ns, kNftBinary, "-f", "-"}, input);
  return result.status == 0 ? "" : result.err;
}

bool IsIpv6(const char* address) { return strchr(address, ':') != nullptr; }

// Arms a fresh counter in `ns` for exactly the packets of one scenario.
void ArmCounter(const Scenario& s) {
  const std::string family = IsIpv6(s.address) ? "ip6" : "ip";
  std::string match = family + " daddr " + s.address + " ";
  switch (s.send) {
    case Send::kUdp:
      if (s.sourcePort != 0) match += "udp sport " + std::to_string(s.sourcePort) + " ";
      match += "udp dport " + std::to_string(s.port);
      break;
    case Send::kTcp:
      match += "tcp dport " + std::to_string(s.port);
      break;
    case Send::kPing:
      match += IsIpv6(s.address) ? "icmpv6 type echo-request" : "icmp type echo-request";
      break;
    case Send::kSystemDns:
      match += "meta l4proto { tcp, udp } th dport 53";
      break;
    case Send::kLoopbackUdp:
    case Send::kLoopbackTcp:
      return;
  }
  const std::string error = NsNft(s.where,
                                  "table inet probe\n"
                                  "delete table inet probe\n"
                                  "table inet probe {\n"
                                  "  chain pre {\n"
                                  "    type filter hook prerouting priority -300; policy accept;\n"
                                  "    " +
                                      match +
                                      " counter\n"
                                      "  }\n"
                                      "}\n");
  ASSERT_EQ(error, "") << s.story;
}

int ReadCounter(const char* ns) {
  CommandResult listed =
      Run({kIpBinary, "netns", "exec", ns, kNftBinary, "list", "table", "inet", "probe"});
  const std::string marker = "counter packets ";
  const size_t at = listed.out.find(marker);
  if (listed.status != 0 || at == std::string::npos) return -1;
  return atoi(listed.out.c_str() + at + marker.size());
}

// A socket address for a literal IPv4 or IPv6 address.
socklen_t MakeAddress(const char* address, int port, sockaddr_storage* storage) {
  memset(storage, 0, sizeof(*storage));
  if (IsIpv6(address)) {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(storage);
    in6->sin6_family = AF_INET6;
    in6->sin6_port = htons(port);
    inet_pton(AF_INET6, address, &in6->sin6_addr);
    return sizeof(*in6);
  }
  auto* in4 = reinterpret_cast<sockaddr_in*>(storage);
  in4->sin_family = AF_INET;
  in4->sin_port = htons(port);
  inet_pton(AF_INET, address, &in4->sin_addr);
  return sizeof(*in4);
}

std::string SendDatagrams(const char* address, int port, int sourcePort = 0, int mark = 0) {
  sockaddr_storage to;
  const socklen_t length = MakeAddress(address, port, &to);
  const int fd = socket(to.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return "no socket";
  if (mark != 0 && setsockopt(fd, SOL_SOCKET, SO_MARK, &mark, sizeof(mark)) != 0) {
    close(fd);
    return std::string("no mark (") + strerror(errno) + ")";
  }
  if (sourcePort != 0) {
    sockaddr_storage from;
    const socklen_t fromLength = MakeAddress(IsIpv6(address) ? "::" : "0.0.0.0", sourcePort, &from);
    if (bind(fd, reinterpret_cast<sockaddr*>(&from), fromLength) != 0) {
      close(fd);
      return std::string("no bind (") + strerror(errno) + ")";
    }
  }
  int accepted = 0;
  std::string refusal;
  for (int i = 0; i < kDatagrams; ++i) {
    const char payload[] = "leak-probe";
    if (sendto(fd, payload, sizeof(payload), 0, reinterpret_cast<sockaddr*>(&to), length) > 0) {
      ++accepted;
    } else {
      refusal = strerror(errno);
    }
  }
  close(fd);
  std::string sent = std::to_string(accepted) + "/" + std::to_string(kDatagrams) + " sent";
  return refusal.empty() ? sent : sent + " (" + refusal + ")";
}

// Connects with a two-second limit (the peer's kernel answers at once, a
// dropped SYN never) and exchanges one line with the echo listener, which may
// take longer on a busy machine; describes how far it got.
std::string TcpExchange(const char* address, int port) {
  sockaddr_storage to;
  const socklen_t length = MakeAddress(address, port, &to);
  const int fd = socket(to.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return "no socket";
  std::string result;
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), length) != 0 && errno != EINPROGRESS) {
    result = std::string("connect refused locally (") + strerror(errno) + ")";
  } else {
    pollfd wait = {fd, POLLOUT, 0};
    int soError = 0;
    socklen_t soLength = sizeof(soError);
    if (poll(&wait, 1, 2000) != 1) {
      result = "no answer within 2 s";
    } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &soLength) != 0 || soError != 0) {
      result = std::string("connect failed (") + strerror(soError) + ")";
    } else {
      const char line[] = "leak-probe\n";
      char echo[sizeof(line)] = {};
      size_t got = 0;
      if (send(fd, line, sizeof(line) - 1, MSG_NOSIGNAL) == sizeof(line) - 1) {
        pollfd readable = {fd, POLLIN, 0};
        while (got < sizeof(line) - 1 && poll(&readable, 1, 5000) == 1) {
          const ssize_t n = recv(fd, echo + got, sizeof(line) - 1 - got, 0);
          if (n <= 0) break;
          got += static_cast<size_t>(n);
        }
      }
      result = got == sizeof(line) - 1 && memcmp(echo, line, got) == 0 ? "connected, line echoed"
                                                                       : "connected, no echo";
    }
  }
  close(fd);
  return result;
}

std::string Ping(const char* address) {
  CommandResult ping = Run({"/usr/bin/ping", IsIpv6(address) ? "-6" : "-4", "-n", "-c", "2", "-i",
                            "0.2", "-W", "1", address});
  return ping.status == 0 ? "echo replies received" : "ping failed";
}

std::string SystemDnsLookup() {
  CommandResult lookup =
      Run({kTimeoutBinary, "10", "/usr/bin/getent", "ahostsv4", "leak-probe.example"});
  return lookup.status == 0 ? "name resolved" : "lookup failed";
}

// Datagrams to a socket bound on the loopback address; counts what it reads.
Outcome LoopbackUdp(const char* address) {
  Outcome outcome;
  sockaddr_storage at;
  socklen_t length = MakeAddress(address, 0, &at);
  const int receiver = socket(at.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (receiver < 0 || bind(receiver, reinterpret_cast<sockaddr*>(&at), length) != 0 ||
      getsockname(receiver, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
    outcome.sent = "no receiver";
    if (receiver >= 0) close(receiver);
    return outcome;
  }
  const int port = ntohs(at.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&at)->sin6_port
                                                  : reinterpret_cast<sockaddr_in*>(&at)->sin_port);
  outcome.sent = SendDatagrams(address, port);
  pollfd readable = {receiver, POLLIN, 0};
  char buffer[64];
  while (outcome.arrived < kDatagrams && poll(&readable, 1, 500) == 1 &&
         recv(receiver, buffer, sizeof(buffer), 0) > 0) {
    ++outcome.arrived;
  }
  close(receiver);
  return outcome;
}

Outcome LoopbackTcp(const char* address) {
  Outcome outcome;
  sockaddr_storage at;
  socklen_t length = MakeAddress(address, 0, &at);
  const int listener = socket(at.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&at), length) != 0 ||
      listen(listener, 4) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length) != 0) {
    outcome.sent = "no listener";
    if (listener >= 0) close(listener);
    return outcome;
  }
  const int port = ntohs(reinterpret_cast<sockaddr_in*>(&at)->sin_port);
  const int client = socket(at.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (client >= 0 && connect(client, reinterpret_cast<sockaddr*>(&at), length) == 0) {
    const int accepted = accept(listener, nullptr, nullptr);
    if (accepted >= 0) {
      outcome.arrived = 1;
      close(accepted);
    }
    outcome.sent = "connected to port " + std::to_string(port);
  } else {
    outcome.sent = std::string("connect failed (") + strerror(errno) + ")";
  }
  if (client >= 0) close(client);
  close(listener);
  return outcome;
}

Outcome RunScenario(const Scenario& s) {
  switch (s.send) {
    case Send::kLoopbackUdp:
      return LoopbackUdp(s.address);
    case Send::kLoopbackTcp:
      return LoopbackTcp(s.address);
    case Send::kUdp:
    case Send::kTcp:
    case Send::kPing:
    case Send::kSystemDns:
      break;
  }
  Outcome outcome;
  ArmCounter(s);
  switch (s.send) {
    case Send::kUdp:
      outcome.sent = SendDatagrams(s.address, s.port, s.sourcePort, s.mark);
      break;
    case Send::kTcp:
      outcome.sent = TcpExchange(s.address, s.port);
      break;
    case Send::kPing:
      outcome.sent = Ping(s.address);
      break;
    case Send::kSystemDns:
      outcome.sent = SystemDnsLookup();
      break;
    case Send::kLoopbackUdp:
    case Send::kLoopbackTcp:
      break;
  }
  // Packets on a veth are delivered synchronously, but give stragglers
  // (retransmissions, the second echo request) a moment before counting.
  usleep(100 * 1000);
  outcome.arrived = ReadCounter(s.where);
  return outcome;
}

// Runs every scenario, prints one line per scenario and returns the number of
// packets that arrived where none may.
int RunScenarios(const char* phase, const std::vector<Scenario>& scenarios) {
  int leaked = 0;
  printf("--- %s\n", phase);
  for (const Scenario& s : scenarios) {
    const Outcome outcome = RunScenario(s);
    printf("  %-62s %-44s arrived %d  [%s]\n", s.story, outcome.sent.c_str(), outcome.arrived,
           s.mustArrive ? "must arrive" : "must not arrive");
    if (s.mustArrive) {
      EXPECT_GT(outcome.arrived, 0) << phase << ": " << s.story << " (" << outcome.sent << ")";
      if (s.send == Send::kUdp || s.send == Send::kLoopbackUdp) {
        EXPECT_EQ(outcome.arrived, kDatagrams) << phase << ": " << s.story;
      }
      if (s.send == Send::kTcp && s.port == kEchoPort) {
        EXPECT_EQ(outcome.sent, "connected, line echoed") << phase << ": " << s.story;
      }
    } else {
      EXPECT_EQ(outcome.arrived, 0) << phase << ": " << s.story << " (" << outcome.sent << ")";
      if (outcome.arrived != 0) leaked += outcome.arrived < 0 ? 1 : outcome.arrived;
    }
  }
  printf("--- %s: %d leaked packets\n", phase, leaked);
  return leaked;
}

// What the tunnel, the VPN server and the rest of the world see from a machine
// whose WireGuard server is 192.0.2.2 / 2001:db8:1::2, UDP 51820, admitted for
// the engine's mark only.
std::vector<Scenario> DualStackScenarios(bool killSwitchOn) {
  const bool open = !killSwitchOn;
  return {
      {"UDP from the engine to the VPN server 192.0.2.2:51820", Send::kUdp, "server", "192.0.2.2",
       51820, true, 0, kEngineMark},
      {"UDP from the engine to the VPN server [2001:db8:1::2]:51820", Send::kUdp, "server",
       "2001:db8:1::2", 51820, true, 0, kEngineMark},
      {"UDP from another process to the VPN server 192.0.2.2:51820", Send::kUdp, "server",
       "192.0.2.2", 51820, open},
      {"UDP with another mark to the VPN server [2001:db8:1::2]:51820", Send::kUdp, "server",
       "2001:db8:1::2", 51820, open, 0, 0x736c},
      {"TCP to the VPN server 192.0.2.2:7000", Send::kTcp, "server", "192.0.2.2", kEchoPort, open},
      {"TCP to the VPN server [2001:db8:1::2]:51820", Send::kTcp, "server", "2001:db8:1::2", 51820,
       open},
      {"UDP from the engine to the VPN server's other port 192.0.2.2:5000", Send::kUdp, "server",
       "192.0.2.2", 5000, open, 0, kEngineMark},
      {"UDP through the tunnel to 203.0.113.2:5000", Send::kUdp, "tunnel", "203.0.113.2", 5000,
       true},
      {"TCP through the tunnel to 203.0.113.2:7000", Send::kTcp, "tunnel", "203.0.113.2", kEchoPort,
       true},
      {"UDP through the tunnel to [2001:db8:3::2]:5000", Send::kUdp, "tunnel", "2001:db8:3::2",
       5000, true},
      {"UDP to an internet host routed into the tunnel", Send::kUdp, "tunnel", "198.51.100.99",
       5000, true},
      {"DNS query to the tunnel's resolver 203.0.113.2:53", Send::kUdp, "tunnel", "203.0.113.2", 53,
       true},
      {"DHCP client port 68 to 198.51.100.2:67 outside the tunnel", Send::kUdp, "outside",
       "198.51.100.2", 67, true, 68},
      {"DHCPv6 client port 546 to [2001:db8:2::2]:547 outside the tunnel", Send::kUdp, "outside",
       "2001:db8:2::2", 547, true, 546},
      {"UDP from an ordinary port to the DHCP server port 198.51.100.2:67", Send::kUdp, "outside",
       "198.51.100.2", 67, open},
      {"UDP to the DHCP client port 198.51.100.2:68", Send::kUdp, "outside", "198.51.100.2", 68,
       open},
      {"UDP from the DHCP server port 67 to 198.51.100.2:68", Send::kUdp, "outside", "198.51.100.2",
       68, open, 67},
      {"UDP from an ordinary port to [2001:db8:2::2]:547", Send::kUdp, "outside", "2001:db8:2::2",
       547, open},
      {"UDP to the DHCPv6 client port [2001:db8:2::2]:546", Send::kUdp, "outside", "2001:db8:2::2",
       546, open},
      {"ICMPv6 echo to 2001:db8:2::2 outside the tunnel", Send::kPing, "outside", "2001:db8:2::2",
       0, open},
      {"UDP over loopback 127.0.0.1", Send::kLoopbackUdp, "", "127.0.0.1", 0, true},
      {"UDP over loopback ::1", Send::kLoopbackUdp, "", "::1", 0, true},
      {"UDP to the local stub resolver address 127.0.0.53", Send::kLoopbackUdp, "", "127.0.0.53", 0,
       true},
      {"TCP over loopback 127.0.0.1", Send::kLoopbackTcp, "", "127.0.0.1", 0, true},
      {"UDP to the outside host 198.51.100.2:5000", Send::kUdp, "outside", "198.51.100.2", 5000,
       open},
      {"TCP to the outside host 198.51.100.2:7000", Send::kTcp, "outside", "198.51.100.2",
       kEchoPort, open},
      {"UDP to the outside host [2001:db8:2::2]:5000", Send::kUdp, "outside", "2001:db8:2::2", 5000,
       open},
      {"TCP to the outside host [2001:db8:2::2]:7000", Send::kTcp, "outside", "2001:db8:2::2",
       kEchoPort, open},
      {"ICMP echo to the outside host 198.51.100.2", Send::kPing, "outside", "198.51.100.2", 0,
       open},
      {"system DNS lookup via resolv.conf's 198.51.100.2", Send::kSystemDns, "outside",
       "198.51.100.2", 53, open},
      {"DNS over TCP to the outside resolver 198.51.100.2:53", Send::kTcp, "outside",
       "198.51.100.2", 53, open},
      {"UDP DNS to the server's neighbour 192.0.2.53:53", Send::kUdp, "server", "192.0.2.53", 53,
       open},
      {"UDP DNS to the server's neighbour [2001:db8:1::53]:53", Send::kUdp, "server",
       "2001:db8:1::53", 53, open},
  };
}

class LeakTest : public ::testing::Test {
 protected:
  static std::vector<std::string> listeners_;

  static void SetUpTestSuite() {
    test::RequireSandbox();
    const char* world = R"(set -e
      exec >/run/sandbox/leak-world.log 2>&1
      peer() {  # peer NS CLIENT_LINK CLIENT_V4 CLIENT_V6 PEER_V4 PEER_V6 [EXTRA_ADDRESSES...]
        ns=$1 link=$2; ip netns add $ns
        ip link add $link type veth peer name eth0 netns $ns
        ip addr add $3/24 dev $link; ip -6 addr add $4/64 dev $link nodad; ip link set $link up
        ip -n $ns link set lo up
        ip -n $ns addr add $5/24 dev eth0; ip -n $ns -6 addr add $6/64 dev eth0 nodad
        shift 6
        for extra in "$@"; do
          case $extra in *:*) ip -n $ns -6 addr add $extra dev eth0 nodad ;;
                         *) ip -n $ns addr add $extra dev eth0 ;; esac
        done
        ip -n $ns link set eth0 up
      }
      peer server veth-srv 192.0.2.1 2001:db8:1::1 192.0.2.2 2001:db8:1::2 192.0.2.53/24 2001:db8:1::53/64
      peer outside veth-out 198.51.100.1 2001:db8:2::1 198.51.100.2 2001:db8:2::2
      peer tunnel tessaryvpn 203.0.113.1 2001:db8:3::1 203.0.113.2 2001:db8:3::2
      # One internet host that the full-tunnel route sends into the tunnel.
      ip -n tunnel addr add 198.51.100.99/32 dev lo
      ip route add 198.51.100.99/32 via 203.0.113.2 dev tessaryvpn
      # The system resolver points outside the tunnel: the classic DNS leak.
      printf 'nameserver 198.51.100.2\noptions timeout:1 attempts:1\n' >/etc/resolv.conf
      # Measure a settled world: link-local addresses past DAD and neighbours
      # known, so that no first datagram is lost to address resolution.
      for i in $(seq 100); do
        busy=$(ip -6 addr show tentative; for ns in server outside tunnel; do
                 ip -n $ns -6 addr show tentative; done)
        [ -z "$busy" ] && break
        sleep 0.1
      done
      [ -z "$busy" ]
      for peer in 192.0.2.2 192.0.2.53 198.51.100.2 203.0.113.2 198.51.100.99 \
                  2001:db8:1::2 2001:db8:1::53 2001:db8:2::2 2001:db8:3::2; do
        ping -n -c 1 -W 2 $peer
      done
    )";
    CommandResult built = Sh(world);
    ASSERT_EQ(built.status, 0) << Sh("cat /run/sandbox/leak-world.log").out;
    for (const char* ns : {"server", "outside", "tunnel"}) {
      CommandResult started = Sh(std::string("ip netns exec ") + ns +
                                 " socat TCP6-LISTEN:7000,ipv6only=0,reuseaddr,fork PIPE "
                                 "</dev/null >/dev/null 2>&1 & echo $!");
      ASSERT_EQ(started.status, 0);
      listeners_.push_back(started.out.substr(0, started.out.find('\n')));
      ASSERT_TRUE(test::WaitUntil(
          [ns] {
            return !Sh(std::string("ip netns exec ") + ns + " ss -Hltn 'sport = :7000'")
                        .out.empty();
          },
          std::chrono::seconds(5)))
          << ns;
    }
  }

  static void TearDownTestSuite() {
    for (const std::string& pid : listeners_) Sh("kill " + pid);
    listeners_.clear();
    // The real-tunnel world below reuses these names and prefixes. Deleting
    // the client's end removes a veth pair at once; a namespace's own links
    // would only go with its asynchronous clean-up.
    Sh("ip link del veth-srv; ip link del veth-out; ip link del tessaryvpn; "
       "ip netns del server; ip netns del outside; ip netns del tunnel");
  }

  void TearDown() override {
    std::string error;
    EXPECT_TRUE(RemoveKillSwitch(&error)) << error;
  }
};

std::vector<std::string> LeakTest::listeners_;

TEST_F(LeakTest, WithoutKillSwitchEverythingFlows) {
  ASSERT_FALSE(KillSwitchInstalled());
  EXPECT_EQ(RunScenarios("no kill switch", DualStackScenarios(false)), 0);
}

TEST_F(LeakTest, DualStackServerOnlyServerAndTunnelLeave) {
  std::string error;
  ASSERT_TRUE(ApplyKillSwitch(Rules({"192.0.2.2", "2001:db8:1::2"}, kEngineMark), &error)) << error;
  EXPECT_EQ(RunScenarios("kill switch for 192.0.2.2 and 2001:db8:1::2", DualStackScenarios(true)),
            0);
}

TEST_F(LeakTest, AfterRemovalEverythingFlowsAgain) {
  std::string error;
  ASSERT_TRUE(ApplyKillSwitch(Rules({"192.0.2.2", "2001:db8:1::2"}, kEngineMark), &error)) << error;
  ASSERT_TRUE(RemoveKillSwitch(&error)) << error;
  ASSERT_FALSE(KillSwitchInstalled());
  EXPECT_EQ(RunScenarios("kill switch removed", DualStackScenarios(false)), 0);
}

TEST_F(LeakTest, Ipv6OnlyServerKeepsIpv4OfTheSameHostClosed) {
  std::string error;
  ASSERT_TRUE(ApplyKillSwitch(Rules({"2001:db8:1::2"}), &error)) << error;
  EXPECT_EQ(RunScenarios("kill switch for 2001:db8:1::2 only",
                         {
                             {"UDP to the VPN server [2001:db8:1::2]:51820", Send::kUdp, "server",
                              "2001:db8:1::2", 51820, true},
                             {"TCP to the VPN server [2001:db8:1::2]:7000", Send::kTcp, "server",
                              "2001:db8:1::2", kEchoPort, false},
                             {"UDP through the tunnel to [2001:db8:3::2]:5000", Send::kUdp,
                              "tunnel", "2001:db8:3::2", 5000, true},
                             {"UDP to the server's IPv4 192.0.2.2:51820", Send::kUdp, "server",
                              "192.0.2.2", 51820, false},
                             {"TCP to the server's IPv4 192.0.2.2:7000", Send::kTcp, "server",
                              "192.0.2.2", kEchoPort, false},
                             {"UDP to the outside host [2001:db8:2::2]:5000", Send::kUdp, "outside",
                              "2001:db8:2::2", 5000, false},
                             {"UDP to the server's neighbour [2001:db8:1::53]:53", Send::kUdp,
                              "server", "2001:db8:1::53", 53, false},
                         }),
            0);
}

TEST_F(LeakTest, ReapplyingForAnotherServerClosesTheOldOne) {
  std::string error;
  ASSERT_TRUE(ApplyKillSwitch(Rules({"198.51.100.2"}), &error)) << error;
  ASSERT_TRUE(ApplyKillSwitch(Rules({"192.0.2.2"}), &error)) << error;
  EXPECT_EQ(RunScenarios("kill switch moved from 198.51.100.2 to 192.0.2.2",
                         {
                             {"UDP to the new server 192.0.2.2:51820", Send::kUdp, "server",
                              "192.0.2.2", 51820, true},
                             {"UDP to the old server 198.51.100.2:51820", Send::kUdp, "outside",
                              "198.51.100.2", 51820, false},
                         }),
            0);
}

// The profile names its server; the name resolves through the sandbox's
// /etc/hosts, and only what it resolves to may be reached.
TEST_F(LeakTest, ServerNamedInTheProfileIsResolvedAndReachable) {
  ASSERT_EQ(Sh("echo '192.0.2.2 vpn.leaktest.example' >>/etc/hosts").status, 0);
  const std::string profile =
      "[Interface]\nPrivateKey = x\nAddress = 10.7.0.2/32\n\n[Peer]\nPublicKey = y\n"
      "AllowedIPs = 0.0.0.0/0, ::/0\nEndpoint = vpn.leaktest.example:51820\n";
  const std::vector<KillSwitchServer> servers = ProfileServers(kWireGuard, profile);
  ASSERT_EQ(ServerAddresses(kWireGuard, profile), std::vector<std::string>{"192.0.2.2 udp 51820"});
  std::string error;
  ASSERT_TRUE(ApplyKillSwitch({{kWireGuardInterface}, servers}, &error)) << error;
  EXPECT_EQ(RunScenarios("kill switch for vpn.leaktest.example",
                         {
                             {"UDP to vpn.leaktest.example (192.0.2.2):51820", Send::kUdp, "server",
                              "192.0.2.2", 51820, true},
                             {"UDP to the outside host 198.51.100.2:51820", Send::kUdp, "outside",
                              "198.51.100.2", 51820, false},
                         }),
            0);
}

// Name resolution with a resolver the test controls: /etc/hosts in the
// sandbox's /etc overlay; the name server of resolv.conf never answers.
TEST_F(LeakTest, ResolutionUsesTheSystemResolverInOrder) {
  ASSERT_EQ(Sh("printf '%s\\n' '192.0.2.2 a.leaktest.example' '192.0.2.2 b.leaktest.example' "
               "'192.0.2.3 b.leaktest.example' "
               "'2001:0db8:0001:0000:0000:0000:0000:0002 v6.leaktest.example' >>/etc/hosts")
                .status,
            0);
  const struct {
    const char* name;
    EngineKind kind;
    std::string config;
    std::vector<std::string> expected;
  } cases[] = {
      {"overlapping names give each address once, first seen first",
       kOpenVpn,
       "remote a.leaktest.example 1194\nremote b.leaktest.example 1194 tcp\n",
       {"192.0.2.2 udp 1194", "192.0.2.2 tcp 1194", "192.0.2.3 tcp 1194"}},
      {"resolved IPv6 in GIO's form, literal IPv6 as written",
       kWireGuard,
       "Endpoint = v6.leaktest.example:51820\nEndpoint = [2001:0db8:0001::0002]:51820\n",
       {"2001:db8:1::2 udp 51820", "2001:0db8:0001::0002 udp 51820"}},
      {"a name that does not resolve is skipped",
       kSingBox,
       R"({"outbounds":[{"server":"missing.leaktest.example","server_port":1},
           {"server":"a.leaktest.example","server_port":443}]})",
       {"192.0.2.2 tcp 443"}},
      {"a literal and a name for the same address",
       kXray,
       R"({"outbounds":[{"settings":{"vnext":[{"address":"192.0.2.2","port":443}],
           "servers":[{"address":"a.leaktest.example","port":443}]}}]})",
       {"192.0.2.2 tcp 443"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ServerAddresses(c.kind, c.config), c.expected) << c.name;
  }
}

// A real WireGuard tunnel (wireguard-go on both ends, tests/sandbox/peers):
// the server's encrypted traffic to 192.0.2.2 must pass for anything to go
// through the tunnel, while the uplink's outside host 203.0.113.66, which the
// client reaches beside the tunnel, may see nothing.
class RealTunnelLeakTest : public ::testing::Test {
 protected:
  static std::string profile_;

  static void SetUpTestSuite() {
    test::RequireSandbox();
    const std::string peers = TESSARY_PEERS_SCRIPT;
    CommandResult built =
        Sh("set -e; exec >/run/sandbox/real-tunnel.log 2>&1\n"
           "mkdir -p /run/sandbox/kswg\n" +
           peers + " outside\n" + peers +
           " wireguard /run/sandbox/kswg\n"
           "wg-quick strip /run/sandbox/kswg/wireguard.conf "
           ">/run/sandbox/kswg/wg.conf\n"
           "wireguard-go tessaryvpn\n"
           "wg setconf tessaryvpn /run/sandbox/kswg/wg.conf\n"
           // The mark wg-quick would set: the engine's own packets carry it.
           "wg set tessaryvpn fwmark 0xca6c\n"
           "ip addr add 198.51.100.2/32 dev tessaryvpn\n"
           "ip link set tessaryvpn up\n"
           // Full tunnel for IPv4; IPv6 keeps the uplink's route.
           "ip route replace default dev tessaryvpn\n"
           "ping -n -c 1 -W 3 198.51.100.1\n"
           "ping -n -c 1 -W 2 203.0.113.66\n"
           "ping -n -c 1 -W 2 2001:db8:66::2\n");
    ASSERT_EQ(built.status, 0) << Sh("cat /run/sandbox/real-tunnel.log").out;
    CommandResult profile = Sh("cat /run/sandbox/kswg/wireguard.conf");
    ASSERT_EQ(profile.status, 0);
    profile_ = profile.out;
  }

  static void TearDownTestSuite() { Sh("ip link del tessaryvpn"); }

  void TearDown() override {
    std::string error;
    EXPECT_TRUE(RemoveKillSwitch(&error)) << error;
  }

  static std::vector<Scenario> Scenarios(bool tunnelWorks, bool outsideOpen) {
    return {
        {"ping through the WireGuard tunnel to 198.51.100.1", Send::kPing, "wgpeer", "198.51.100.1",
         0, tunnelWorks},
        {"UDP through the WireGuard tunnel to 198.51.100.1:5000", Send::kUdp, "wgpeer",
         "198.51.100.1", 5000, tunnelWorks},
        {"UDP beside the tunnel to 203.0.113.66:5000", Send::kUdp, "outside", "203.0.113.66", 5000,
         outsideOpen},
        {"ICMP echo beside the tunnel to 203.0.113.66", Send::kPing, "outside", "203.0.113.66", 0,
         outsideOpen},
        {"DNS query beside the tunnel to 203.0.113.66:53", Send::kUdp, "outside", "203.0.113.66",
         53, outsideOpen},
        {"IPv6 UDP (no IPv6 tunnel route) to [2001:db8:66::2]:5000", Send::kUdp, "outside",
         "2001:db8:66::2", 5000, outsideOpen},
    };
  }
};

std::string RealTunnelLeakTest::profile_;

TEST_F(RealTunnelLeakTest, KillSwitchFromTheProfileKeepsTheTunnelAndNothingElse) {
  std::vector<KillSwitchServer> servers = ProfileServers(kWireGuard, profile_);
  ASSERT_EQ(ServerAddresses(kWireGuard, profile_), std::vector<std::string>{"192.0.2.2 udp 51820"});
  for (KillSwitchServer& server : servers) server.mark = kEngineMark;
  std::string error;
  ASSERT_TRUE(ApplyKillSwitch({{kWireGuardInterface}, servers}, &error)) << error;
  std::vector<Scenario> scenarios = Scenarios(true, false);
  scenarios.push_back({"UDP from another process to the WireGuard server 192.0.2.2:51820",
                       Send::kUdp, "wgpeer", "192.0.2.2", 51820, false, 40000});
  EXPECT_EQ(
      RunScenarios("real WireGuard tunnel, kill switch for its endpoint 192.0.2.2", scenarios), 0);
}

TEST_F(RealTunnelLeakTest, WithoutTheServerAddressTheTunnelFailsClosed) {
  std::string error;
  ASSERT_TRUE(ApplyKillSwitch(Rules({"192.0.2.99"}, kEngineMark), &error)) << error;
  EXPECT_EQ(RunScenarios("real WireGuard tunnel, kill switch missing its endpoint",
                         Scenarios(false, false)),
            0);
}

TEST_F(RealTunnelLeakTest, AfterRemovalTheUplinkIsOpenAgain) {
  std::string error;
  ASSERT_TRUE(ApplyKillSwitch(Rules({"192.0.2.2"}), &error)) << error;
  ASSERT_TRUE(RemoveKillSwitch(&error)) << error;
  EXPECT_EQ(RunScenarios("real WireGuard tunnel, kill switch removed", Scenarios(true, true)), 0);
}

}  // namespace
}  // namespace tessary::linux_service
