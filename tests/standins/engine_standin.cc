// Stand-in for the sing-box and Xray engines, which are not packaged here.
// Built twice: TESSARY_STANDIN_SINGBOX selects sing-box's command line, else
// Xray's. It honours only what the service relies on:
//   sing-box check -c FILE                  exit 0 for a normalized configuration
//   sing-box run -c FILE --disable-color    TUN "tessary-sbox0", default route in table 2022
//   xray run -test -config FILE             exit 0 for a normalized configuration
//   xray run -config FILE                   TUN "tessary-xray0" brought up, nothing
//                                           more (the service routes around it)
// "run" refuses a configuration that is not the service's normalized one, so
// a service that started an engine with the raw profile fails as it would
// with a real engine that brings up no tunnel. The TUN device is opened
// without persistence: it and its routes vanish with the process, however it
// ends, just as with the real engines.
//
// The test chooses a misbehaviour by writing one word to
// /run/tessaryvpn-standin/mode: "exit-at-once", "no-route" (interface but
// never a route; for Xray, never brought up), "ignore-sigterm", or "reject-check" (the check
// fails whatever the configuration). Every invocation is appended to
// /run/tessaryvpn-standin/<engine>.log. The stand-in refuses to run when
// /run/tessaryvpn-standin does not exist, which tests/standins/install-engines
// creates inside the sandbox only.
#include <fcntl.h>
#include <glib.h>
#include <json-glib/json-glib.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr char kControlDirectory[] = "/run/tessaryvpn-standin";
constexpr char kModeFile[] = "/run/tessaryvpn-standin/mode";
constexpr char kIp[] = "/usr/sbin/ip";

#ifdef TESSARY_STANDIN_SINGBOX
constexpr bool kSingBox = true;
constexpr char kEngine[] = "sing-box";
#else
constexpr bool kSingBox = false;
constexpr char kEngine[] = "xray";
#endif

constexpr const char* kBypassMembers[] = {
    "route_address",
    "inet4_route_address",
    "inet6_route_address",
    "route_exclude_address",
    "inet4_route_exclude_address",
    "inet6_route_exclude_address",
    "route_address_set",
    "route_exclude_address_set",
    "include_interface",
    "exclude_interface",
    "include_uid",
    "include_uid_range",
    "exclude_uid",
    "exclude_uid_range",
    "include_package",
    "exclude_package",
    "include_android_user",
    "include_mac_address",
    "exclude_mac_address",
    "netns",
};

// What "run" needs from a configuration that passed the checks.
struct Tunnel {
  std::string interface;
  std::vector<std::string> addresses;
  std::string table;
};

JsonObject* Obj(JsonObject* object, const char* name) {
  JsonNode* node = object ? json_object_get_member(object, name) : nullptr;
  return node && JSON_NODE_HOLDS_OBJECT(node) ? json_node_get_object(node) : nullptr;
}
JsonArray* Arr(JsonObject* object, const char* name) {
  JsonNode* node = object ? json_object_get_member(object, name) : nullptr;
  return node && JSON_NODE_HOLDS_ARRAY(node) ? json_node_get_array(node) : nullptr;
}
std::string Str(JsonObject* object, const char* name) {
  JsonNode* node = object ? json_object_get_member(object, name) : nullptr;
  if (!node || !JSON_NODE_HOLDS_VALUE(node) || json_node_get_value_type(node) != G_TYPE_STRING)
    return "";
  return json_node_get_string(node);
}
JsonObject* Element(JsonArray* array, guint index) {
  if (!array || index >= json_array_get_length(array)) return nullptr;
  JsonNode* node = json_array_get_element(array, index);
  return JSON_NODE_HOLDS_OBJECT(node) ? json_node_get_object(node) : nullptr;
}
std::vector<std::string> Strings(JsonArray* array) {
  std::vector<std::string> values;
  for (guint i = 0; array && i < json_array_get_length(array); ++i) {
    JsonNode* node = json_array_get_element(array, i);
    if (JSON_NODE_HOLDS_VALUE(node) && json_node_get_value_type(node) == G_TYPE_STRING) {
      values.push_back(json_node_get_string(node));
    }
  }
  return values;
}
std::string Lower(std::string text) {
  for (char& c : text) c = g_ascii_tolower(c);
  return text;
}

// True when an outbound with this tag exists and is a proxy (not a direct,
// block or DNS outbound) for the engine.
bool IsProxyTag(JsonObject* root, const std::string& tag) {
  JsonArray* outbounds = Arr(root, "outbounds");
  for (guint i = 0; !tag.empty() && outbounds && i < json_array_get_length(outbounds); ++i) {
    JsonObject* outbound = Element(outbounds, i);
    if (Str(outbound, "tag") != tag) continue;
    const std::string type = Lower(Str(outbound, kSingBox ? "type" : "protocol"));
    if (kSingBox) return type != "" && type != "direct" && type != "block" && type != "dns";
    return type != "" && type != "freedom" && type != "blackhole" && type != "dns";
  }
  return false;
}

bool Fail(std::string* why, const std::string& text) {
  *why = text;
  return false;
}

bool CheckSingBox(JsonObject* root, Tunnel* tunnel, std::string* why) {
  JsonArray* inbounds = Arr(root, "inbounds");
  if (!inbounds || json_array_get_length(inbounds) != 1)
    return Fail(why, "not exactly one inbound");
  JsonObject* tun = Element(inbounds, 0);
  if (Lower(Str(tun, "type")) != "tun") return Fail(why, "the inbound is not a TUN inbound");
  if (Str(tun, "tag") != "tessary-tun") return Fail(why, "the inbound is not tagged tessary-tun");
  if (Str(tun, "interface_name") != "tessary-sbox0") return Fail(why, "wrong interface name");
  const std::vector<std::string> addresses = Strings(Arr(tun, "address"));
  if (addresses != std::vector<std::string>{"172.19.0.1/30", "fdfe:dcba:9876::1/126"}) {
    return Fail(why, "wrong interface addresses");
  }
  if (!json_object_get_boolean_member_with_default(tun, "auto_route", FALSE) ||
      !json_object_get_boolean_member_with_default(tun, "strict_route", FALSE)) {
    return Fail(why, "auto_route and strict_route are not both set");
  }
  if (json_object_get_int_member_with_default(tun, "iproute2_table_index", 0) != 2022) {
    return Fail(why, "iproute2_table_index is not 2022");
  }
  for (const char* member : kBypassMembers) {
    if (json_object_has_member(tun, member))
      return Fail(why, std::string("bypass member ") + member);
  }
  JsonObject* route = Obj(root, "route");
  const std::string final = Str(route, "final");
  if (!IsProxyTag(root, final)) return Fail(why, "route.final does not name a proxy outbound");
  JsonArray* rules = Arr(route, "rules");
  JsonObject* sniff = Element(rules, 0);
  JsonObject* hijack = Element(rules, 1);
  if (!rules || json_array_get_length(rules) != 2 || !sniff || json_object_get_size(sniff) != 1 ||
      Str(sniff, "action") != "sniff" || !hijack || json_object_get_size(hijack) != 2 ||
      Str(hijack, "protocol") != "dns" || Str(hijack, "action") != "hijack-dns") {
    return Fail(why, "route rules are not exactly sniff and hijack-dns");
  }
  JsonArray* servers = Arr(Obj(root, "dns"), "servers");
  for (guint i = 0; servers && i < json_array_get_length(servers); ++i) {
    JsonObject* server = Element(servers, i);
    if (server && Str(server, "detour") != final)
      return Fail(why, "a DNS server bypasses the proxy");
  }
  tunnel->interface = "tessary-sbox0";
  tunnel->addresses = addresses;
  tunnel->table = "2022";
  return true;
}

bool CheckXray(JsonObject* root, Tunnel* tunnel, std::string* why) {
  JsonArray* inbounds = Arr(root, "inbounds");
  if (!inbounds || json_array_get_length(inbounds) != 1)
    return Fail(why, "not exactly one inbound");
  JsonObject* tun = Element(inbounds, 0);
  if (Lower(Str(tun, "protocol")) != "tun") return Fail(why, "the inbound is not a TUN inbound");
  if (Str(tun, "tag") != "tessary-tun") return Fail(why, "the inbound is not tagged tessary-tun");
  JsonObject* settings = Obj(tun, "settings");
  if (Str(settings, "name") != "tessary-xray0") return Fail(why, "wrong interface name");
  // Unmarked, the connection to the server would loop back into the tunnel.
  JsonArray* outbounds = Arr(root, "outbounds");
  for (guint i = 0; outbounds && i < json_array_get_length(outbounds); ++i) {
    JsonObject* sockopt = Obj(Obj(Element(outbounds, i), "streamSettings"), "sockopt");
    if (!sockopt || json_object_get_int_member_with_default(sockopt, "mark", 0) != 2023) {
      return Fail(why, "an outbound's sockets are not marked 2023");
    }
  }
  JsonArray* rules = Arr(Obj(root, "routing"), "rules");
  JsonObject* rule = Element(rules, 0);
  if (!rules || json_array_get_length(rules) != 1 || !rule || Str(rule, "type") != "field" ||
      Strings(Arr(rule, "inboundTag")) != std::vector<std::string>{"tessary-tun"} ||
      !IsProxyTag(root, Str(rule, "outboundTag"))) {
    return Fail(why, "routing is not one rule from tessary-tun to a proxy outbound");
  }
  // Xray reads its data files from XRAY_LOCATION_ASSET, else from its own directory.
  const char* assets = g_getenv("XRAY_LOCATION_ASSET");
  const std::string directory = assets && assets[0] ? assets : "/usr/libexec/tessaryvpn";
  for (const char* file : {"geoip.dat", "geosite.dat"}) {
    if (!g_file_test((directory + "/" + file).c_str(), G_FILE_TEST_IS_REGULAR)) {
      return Fail(why, std::string("missing ") + file + " in " + directory);
    }
  }
  tunnel->interface = "tessary-xray0";
  return true;
}

bool LoadAndCheck(const char* path, Tunnel* tunnel, std::string* why) {
  g_autoptr(JsonParser) parser = json_parser_new();
  g_autoptr(GError) error = nullptr;
  if (!json_parser_load_from_file(parser, path, &error)) {
    return Fail(why, std::string("cannot read the configuration: ") + error->message);
  }
  JsonNode* root = json_parser_get_root(parser);
  if (!root || !JSON_NODE_HOLDS_OBJECT(root)) return Fail(why, "the root is not an object");
  return kSingBox ? CheckSingBox(json_node_get_object(root), tunnel, why)
                  : CheckXray(json_node_get_object(root), tunnel, why);
}

bool Ip(std::vector<std::string> arguments, bool quiet = false) {
  arguments.insert(arguments.begin(), kIp);
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  gint status = 0;
  g_autofree gchar* err = nullptr;
  if (!g_spawn_sync(nullptr, argv.data(), nullptr, G_SPAWN_STDOUT_TO_DEV_NULL, nullptr, nullptr,
                    nullptr, &err, &status, nullptr) ||
      !g_spawn_check_wait_status(status, nullptr)) {
    if (!quiet) {
      fprintf(stderr, "%s stand-in: ip %s failed: %s\n", kEngine, arguments[1].c_str(),
              err ? err : "");
    }
    return false;
  }
  return true;
}

// Opens a non-persistent TUN device; it lives as long as the returned fd.
int OpenTun(const std::string& name) {
  const int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  struct ifreq request {};
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  g_strlcpy(request.ifr_name, name.c_str(), IFNAMSIZ);
  if (ioctl(fd, TUNSETIFF, &request) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

std::string ReadMode() {
  g_autofree gchar* text = nullptr;
  if (!g_file_get_contents(kModeFile, &text, nullptr, nullptr)) return "";
  return g_strstrip(text);
}

void Record(int argc, char** argv) {
  FILE* log = fopen((std::string(kControlDirectory) + "/" + kEngine + ".log").c_str(), "a");
  if (!log) return;
  g_autofree gchar* cwd = g_get_current_dir();
  const char* assets = g_getenv("XRAY_LOCATION_ASSET");
  fprintf(log, "argv=");
  for (int i = 0; i < argc; ++i) fprintf(log, "%s%s", i ? " " : "", argv[i]);
  fprintf(log, "\ncwd=%s\nXRAY_LOCATION_ASSET=%s\n", cwd, assets ? assets : "<unset>");
  fclose(log);
}

int Run(const char* path) {
  if (!g_file_test(kControlDirectory, G_FILE_TEST_IS_DIR)) {
    fprintf(stderr, "%s stand-in: %s is missing; refusing to touch this machine's network.\n",
            kEngine, kControlDirectory);
    return 2;
  }
  const std::string mode = ReadMode();
  if (mode == "exit-at-once") return 1;

  // Signals are taken synchronously; from here on SIGTERM only ends the wait below.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  // A disposition inherited from the parent must not change the behaviour.
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  if (mode == "ignore-sigterm") {
    signal(SIGTERM, SIG_IGN);
    sigdelset(&stop, SIGTERM);
  }
  sigprocmask(SIG_BLOCK, &stop, nullptr);

  Tunnel tunnel;
  std::string why;
  if (!LoadAndCheck(path, &tunnel, &why)) {
    fprintf(stderr, "%s stand-in: not the normalized configuration: %s\n", kEngine, why.c_str());
    return 1;
  }
  const int fd = OpenTun(tunnel.interface);
  if (fd < 0) {
    fprintf(stderr, "%s stand-in: cannot create %s: %s\n", kEngine, tunnel.interface.c_str(),
            strerror(errno));
    return 1;
  }
  for (const auto& address : tunnel.addresses) {
    if (!Ip({"address", "add", address, "dev", tunnel.interface})) return 1;
  }
  const bool bringUp = kSingBox || mode != "no-route";
  if (bringUp && !Ip({"link", "set", "dev", tunnel.interface, "up"})) return 1;
  if (mode != "no-route" && !tunnel.table.empty()) {
    if (!Ip({"-4", "route", "add", "default", "dev", tunnel.interface, "table", tunnel.table}))
      return 1;
    if (!Ip({"-6", "route", "add", "default", "dev", tunnel.interface, "table", tunnel.table}))
      return 1;
    // As the engines' auto-route does, a rule sends ordinary traffic to the
    // table. It stays behind an engine that is killed, pointing nowhere, and
    // the next run takes it over.
    for (const char* family : {"-4", "-6"}) {
      Ip({family, "rule", "del", "priority", "9001", "table", tunnel.table}, /*quiet=*/true);
      if (!Ip({family, "rule", "add", "priority", "9001", "table", tunnel.table})) return 1;
    }
  }

  int received = 0;
  sigwait(&stop, &received);
  if (mode != "no-route") {
    for (const char* family : {"-4", "-6"}) {
      Ip({family, "rule", "del", "priority", "9001", "table", tunnel.table});
    }
  }
  close(fd);  // the kernel removes the interface and its routes
  return 0;
}

int Check(const char* path) {
  if (ReadMode() == "reject-check") {
    fprintf(stderr, "configuration rejected: reject-check mode\n");
    return 1;
  }
  Tunnel tunnel;
  std::string why;
  if (!LoadAndCheck(path, &tunnel, &why)) {
    fprintf(stderr, "configuration rejected: %s\n", why.c_str());
    return 1;
  }
  return 0;
}

int Usage() {
  fprintf(stderr, kSingBox ? "usage: sing-box check|run -c FILE [--disable-color]\n"
                           : "usage: xray run [-test] -config FILE\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (g_file_test(kControlDirectory, G_FILE_TEST_IS_DIR)) Record(argc, argv);
  std::vector<std::string> args(argv + 1, argv + argc);
  if (kSingBox) {
    if (args.size() == 3 && args[0] == "check" && args[1] == "-c") return Check(argv[3]);
    if (args.size() == 4 && args[0] == "run" && args[1] == "-c" && args[3] == "--disable-color") {
      return Run(argv[3]);
    }
    return Usage();
  }
  if (args.size() == 3 && args[0] == "run" && args[1] == "-config") return Run(argv[3]);
  if (args.size() == 4 && args[0] == "run" && args[1] == "-test" && args[2] == "-config") {
    return Check(argv[4]);
  }
  return Usage();
}
