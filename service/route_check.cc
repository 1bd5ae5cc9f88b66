// Route lookups and family blocks over rtnetlink. One socket per call: the
// kernel answers each request before the next is sent, so a lookup never
// waits on anything but the kernel.
#include "service/route_check.h"

#include <arpa/inet.h>
#include <glib.h>
#include <linux/fib_rules.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <vector>

namespace tessary::linux_service {
namespace {

// The block's rule: after the local table (priority 0), so the machine still
// reaches its own addresses, and before the engines' rules and the main table.
constexpr uint32_t kBlockPriority = 5208;
// Marks the rules as ours, so that recovery finds them after a crash and
// never removes anyone else's.
constexpr uint8_t kBlockProtocol = 173;

// One destination in each /4 of IPv4's unicast space, and a spread over
// IPv6's global unicast space; none private, shared, reserved or kept for
// documentation, so that a LAN route, which a tunnel may rightly leave to
// the uplink, is never taken for a leak. Split routes (halves, quarters,
// eighths) that bypass the tunnel cover at least one of them.
constexpr const char* kIpv4Probes[] = {
    "1.1.1.1",   "23.1.2.3",  "37.1.2.3",  "53.1.2.3",  "65.1.2.3",
    "85.1.2.3",  "97.1.2.3",  "113.1.2.3", "129.1.2.3", "145.1.2.3",
    "161.1.2.3", "176.1.2.3", "193.1.2.3", "209.1.2.3", "223.1.2.3",
};
constexpr const char* kIpv6Probes[] = {
    "2001:4860::1", "2400:cb00::1", "2600:1f00::1", "2800:3f0::1", "2a00:1450::1",
    "2c0f:fb50::1", "3000::1",      "3800::1",      "3ff0::1",
};

constexpr size_t kReceiveBuffer = 32768;
// A dump of a family's rules is a few datagrams; more means something is wrong.
constexpr int kMaxDatagrams = 256;

// NLMSG_OK without its comparison of mixed signs, which clang refuses:
// whether a whole message starts at `header` within `left` bytes.
bool NetlinkMessageFits(const struct nlmsghdr* header, int left) {
  return left >= static_cast<int>(sizeof(struct nlmsghdr)) &&
         header->nlmsg_len >= sizeof(struct nlmsghdr) &&
         header->nlmsg_len <= static_cast<unsigned>(left);
}

using Descriptor = int;
void CloseDescriptor(Descriptor fd) { close(fd); }
G_DEFINE_AUTO_CLEANUP_FREE_FUNC(Descriptor, CloseDescriptor, -1)

// A request buffer: the message header, the family's header and room for the
// few attributes any request here carries.
struct Request {
  nlmsghdr header;
  union {
    rtmsg route;
    fib_rule_hdr rule;
  };
  char attributes[64];
};

// A request on the policy rules of |family|, for AddAttribute to extend.
Request RuleRequest(uint16_t type, uint16_t flags, int family) {
  Request request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(fib_rule_hdr));
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = flags;
  request.rule.family = static_cast<unsigned char>(family);
  return request;
}

void AddAttribute(Request* request, uint16_t type, const void* data, size_t size) {
  auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(request) +
                                              NLMSG_ALIGN(request->header.nlmsg_len));
  attribute->rta_type = type;
  attribute->rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
  memcpy(RTA_DATA(attribute), data, size);
  request->header.nlmsg_len =
      NLMSG_ALIGN(request->header.nlmsg_len) + RTA_ALIGN(attribute->rta_len);
}

Descriptor OpenRouteSocket() {
  Descriptor fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (fd < 0) return -1;
  // The kernel answers at once; a silent socket must not hold the poll.
  timeval limit = {2, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  return fd;
}

// Sends one request and passes each answering message to `visit` until the
// kernel has answered in full. Returns 0, the kernel's negative errno, or
// -EIO when the exchange itself failed.
int Exchange(int fd, nlmsghdr* request, const std::function<void(const nlmsghdr*)>& visit) {
  static std::atomic<uint32_t> sequence{1};
  const uint32_t seq = sequence.fetch_add(1);
  request->nlmsg_seq = seq;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  ssize_t sent;
  do {
    sent = sendto(fd, request, request->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                  sizeof kernel);
  } while (sent < 0 && errno == EINTR);
  if (sent != static_cast<ssize_t>(request->nlmsg_len)) return -EIO;

  alignas(nlmsghdr) static thread_local char buffer[kReceiveBuffer];
  for (int datagram = 0; datagram < kMaxDatagrams; ++datagram) {
    ssize_t size = recv(fd, buffer, sizeof buffer, 0);
    if (size < 0 && errno == EINTR) {
      --datagram;
      continue;
    }
    if (size <= 0) return -EIO;
    int left = static_cast<int>(size);
    for (auto* message = reinterpret_cast<const nlmsghdr*>(buffer);
         NetlinkMessageFits(message, left); message = NLMSG_NEXT(message, left)) {
      if (message->nlmsg_seq != seq) continue;
      if (message->nlmsg_type == NLMSG_ERROR) {
        if (message->nlmsg_len < NLMSG_LENGTH(sizeof(nlmsgerr))) return -EIO;
        return static_cast<const nlmsgerr*>(NLMSG_DATA(message))->error;
      }
      if (message->nlmsg_type == NLMSG_DONE) return 0;
      visit(message);
      if ((message->nlmsg_flags & NLM_F_MULTI) == 0) return 0;
    }
  }
  return -EIO;
}

enum class Lookup { kThroughTunnel, kRefused, kElsewhere, kFailed };

Lookup LookUp(int fd, int family, const char* destination, int tunnelIndex) {
  unsigned char address[16];
  if (inet_pton(family, destination, address) != 1) return Lookup::kFailed;
  Request request{};
  request.header.nlmsg_len = NLMSG_LENGTH(sizeof(rtmsg));
  request.header.nlmsg_type = RTM_GETROUTE;
  request.header.nlmsg_flags = NLM_F_REQUEST;
  request.route.rtm_family = static_cast<unsigned char>(family);
  request.route.rtm_dst_len = family == AF_INET ? 32 : 128;
  AddAttribute(&request, RTA_DST, address, family == AF_INET ? 4 : 16);

  Lookup answer = Lookup::kFailed;
  const int status = Exchange(fd, &request.header, [&](const nlmsghdr* message) {
    if (message->nlmsg_type != RTM_NEWROUTE) return;
    const auto* route = static_cast<const rtmsg*>(NLMSG_DATA(message));
    // Local, unreachable, prohibited and black-holed answers all keep the
    // packet on the machine.
    if (route->rtm_type != RTN_UNICAST) {
      answer = Lookup::kRefused;
      return;
    }
    int outgoing = 0;
    int left = static_cast<int>(RTM_PAYLOAD(message));
    for (const rtattr* attribute = RTM_RTA(route); RTA_OK(attribute, left);
         attribute = RTA_NEXT(attribute, left)) {
      if (attribute->rta_type == RTA_OIF && RTA_PAYLOAD(attribute) >= sizeof(int)) {
        memcpy(&outgoing, RTA_DATA(attribute), sizeof outgoing);
      }
    }
    answer = outgoing == tunnelIndex ? Lookup::kThroughTunnel : Lookup::kElsewhere;
  });
  switch (-status) {
    case 0:
      return answer;
    case ENETUNREACH:
    case EHOSTUNREACH:
    case EACCES:
    case EPERM:
    case EINVAL:        // a blackhole route
    case EAFNOSUPPORT:  // the family is switched off
      return Lookup::kRefused;
    default:
      return Lookup::kFailed;
  }
}

bool LookUpFamily(int fd, int family, int tunnelIndex, FamilyRoutes* routes) {
  auto probe = [&](const char* destination) {
    switch (LookUp(fd, family, destination, tunnelIndex)) {
      case Lookup::kThroughTunnel:
        ++routes->throughTunnel;
        return true;
      case Lookup::kRefused:
        ++routes->refused;
        return true;
      case Lookup::kElsewhere:
        ++routes->elsewhere;
        return true;
      case Lookup::kFailed:
        break;
    }
    return false;
  };
  if (family == AF_INET) {
    for (const char* destination : kIpv4Probes) {
      if (!probe(destination)) return false;
    }
  } else {
    for (const char* destination : kIpv6Probes) {
      if (!probe(destination)) return false;
    }
  }
  return true;
}

// Copies of our block rules of `family`, as the kernel lists them.
bool ListBlockRules(int fd, int family, std::vector<std::vector<char>>* rules) {
  Request request = RuleRequest(RTM_GETRULE, NLM_F_REQUEST | NLM_F_DUMP, family);
  const int status = Exchange(fd, &request.header, [&](const nlmsghdr* message) {
    if (message->nlmsg_type != RTM_NEWRULE) return;
    const auto* rule = static_cast<const fib_rule_hdr*>(NLMSG_DATA(message));
    if (rule->family != family) return;
    int left = static_cast<int>(message->nlmsg_len) - static_cast<int>(NLMSG_LENGTH(sizeof *rule));
    bool ours = false;
    for (auto* attribute = reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(rule) +
                                                           NLMSG_ALIGN(sizeof *rule));
         RTA_OK(attribute, left); attribute = RTA_NEXT(attribute, left)) {
      if (attribute->rta_type == FRA_PROTOCOL && RTA_PAYLOAD(attribute) >= 1 &&
          *static_cast<const uint8_t*>(RTA_DATA(attribute)) == kBlockProtocol) {
        ours = true;
      }
    }
    if (ours) {
      const char* bytes = reinterpret_cast<const char*>(message);
      rules->emplace_back(bytes, bytes + message->nlmsg_len);
    }
  });
  return status == 0;
}

}  // namespace

bool LookUpTunnelRoutes(const char* interfaceName, TunnelRoutes* routes, std::string* error) {
  *routes = TunnelRoutes{};
  const int tunnelIndex = static_cast<int>(if_nametoindex(interfaceName));
  if (tunnelIndex == 0) return true;
  routes->interfacePresent = true;
  g_auto(Descriptor) fd = OpenRouteSocket();
  if (fd < 0 || !LookUpFamily(fd, AF_INET, tunnelIndex, &routes->ipv4) ||
      !LookUpFamily(fd, AF_INET6, tunnelIndex, &routes->ipv6)) {
    *error = "The kernel could not be asked where traffic goes.";
    return false;
  }
  return true;
}

bool CarriesFamily(const FamilyRoutes& routes) {
  return routes.throughTunnel > 0 && routes.elsewhere == 0;
}

bool IsFullTunnel(const TunnelRoutes& routes) {
  return routes.interfacePresent && routes.ipv4.elsewhere == 0 && routes.ipv6.elsewhere == 0 &&
         (CarriesFamily(routes.ipv4) || CarriesFamily(routes.ipv6));
}

bool BlockFamily(int family, uint32_t exemptMark, const std::vector<std::string>& servers,
                 std::string* error) {
  g_auto(Descriptor) fd = OpenRouteSocket();
  bool exempted = fd >= 0;
  for (const std::string& server : servers) {
    unsigned char address[16];
    if (!exempted || inet_pton(family, server.c_str(), address) != 1) continue;
    Request exemption{};
    exemption.header.nlmsg_len = NLMSG_LENGTH(sizeof(fib_rule_hdr));
    exemption.header.nlmsg_type = RTM_NEWRULE;
    exemption.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL;
    exemption.rule.family = static_cast<unsigned char>(family);
    exemption.rule.dst_len = family == AF_INET ? 32 : 128;
    exemption.rule.action = FR_ACT_TO_TBL;
    exemption.rule.table = RT_TABLE_MAIN;
    const uint32_t priority = kBlockPriority - 1;
    AddAttribute(&exemption, FRA_PRIORITY, &priority, sizeof priority);
    AddAttribute(&exemption, FRA_PROTOCOL, &kBlockProtocol, sizeof kBlockProtocol);
    AddAttribute(&exemption, FRA_DST, address, family == AF_INET ? 4 : 16);
    const int status = Exchange(fd, &exemption.header, [](const nlmsghdr*) {});
    exempted = status == 0 || status == -EEXIST;
  }
  Request request =
      RuleRequest(RTM_NEWRULE, NLM_F_REQUEST | NLM_F_ACK | NLM_F_CREATE | NLM_F_EXCL, family);
  request.rule.action = FR_ACT_UNREACHABLE;
  AddAttribute(&request, FRA_PRIORITY, &kBlockPriority, sizeof kBlockPriority);
  AddAttribute(&request, FRA_PROTOCOL, &kBlockProtocol, sizeof kBlockProtocol);
  if (exemptMark != 0) {
    // "not fwmark M": the engine's own packets to its server pass.
    request.rule.flags = FIB_RULE_INVERT;
    const uint32_t mask = 0xffffffff;
    AddAttribute(&request, FRA_FWMARK, &exemptMark, sizeof exemptMark);
    AddAttribute(&request, FRA_FWMASK, &mask, sizeof mask);
  }
  const int status = !exempted ? -EIO : Exchange(fd, &request.header, [](const nlmsghdr*) {});
  if (status != 0 && status != -EEXIST) {
    *error = family == AF_INET ? "Unable to block IPv4 traffic outside the tunnel."
                               : "Unable to block IPv6 traffic outside the tunnel.";
    return false;
  }
  return true;
}

bool LiftFamilyBlocks(std::string* error) {
  g_auto(Descriptor) fd = OpenRouteSocket();
  bool lifted = fd >= 0;
  for (int family : {AF_INET, AF_INET6}) {
    std::vector<std::vector<char>> rules;
    if (!lifted || !ListBlockRules(fd, family, &rules)) {
      lifted = false;
      break;
    }
    for (std::vector<char>& rule : rules) {
      auto* message = reinterpret_cast<nlmsghdr*>(rule.data());
      message->nlmsg_type = RTM_DELRULE;
      message->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
      const int status = Exchange(fd, message, [](const nlmsghdr*) {});
      if (status != 0 && status != -ENOENT) lifted = false;
    }
  }
  if (!lifted) *error = "Unable to lift the block on traffic outside the tunnel.";
  return lifted;
}

bool ListPolicyRules(unsigned char family, std::vector<PolicyRule>* rules) {
  g_auto(Descriptor) fd = OpenRouteSocket();
  if (fd < 0) return false;
  Request request = RuleRequest(RTM_GETRULE, NLM_F_REQUEST | NLM_F_DUMP, family);
  const int status = Exchange(fd, &request.header, [&](const nlmsghdr* message) {
    if (message->nlmsg_type != RTM_NEWRULE ||
        message->nlmsg_len < NLMSG_LENGTH(sizeof(fib_rule_hdr))) {
      return;
    }
    const auto* rule = static_cast<const fib_rule_hdr*>(NLMSG_DATA(message));
    PolicyRule entry;
    entry.family = rule->family;
    entry.table = rule->table;
    int left = static_cast<int>(message->nlmsg_len - NLMSG_LENGTH(sizeof *rule));
    for (auto* attribute = reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(rule) +
                                                           NLMSG_ALIGN(sizeof *rule));
         RTA_OK(attribute, left); attribute = RTA_NEXT(attribute, left)) {
      if (RTA_PAYLOAD(attribute) < sizeof(uint32_t)) continue;
      if (attribute->rta_type == FRA_PRIORITY) memcpy(&entry.priority, RTA_DATA(attribute), 4);
      if (attribute->rta_type == FRA_TABLE) memcpy(&entry.table, RTA_DATA(attribute), 4);
    }
    rules->push_back(entry);
  });
  return status == 0 || status == -EAFNOSUPPORT;
}

bool DeletePolicyRule(const PolicyRule& rule) {
  g_auto(Descriptor) fd = OpenRouteSocket();
  if (fd < 0) return false;
  Request request = RuleRequest(RTM_DELRULE, NLM_F_REQUEST | NLM_F_ACK, rule.family);
  AddAttribute(&request, FRA_PRIORITY, &rule.priority, sizeof rule.priority);
  if (rule.table != 0) AddAttribute(&request, FRA_TABLE, &rule.table, sizeof rule.table);
  const int status = Exchange(fd, &request.header, [](const nlmsghdr*) {});
  return status == 0 || status == -EAFNOSUPPORT || status == -ENOENT;
}

}  // namespace tessary::linux_service
