// The OpenVPN engine's rules: what an openvpn client profile may hold to run
// as root, read line by line as openvpn reads its configuration file.
#include <glib.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "service/config_validation.h"
#include "service/profile_lines.h"
#include "service/profile_rules.h"
#include "service/profile_text.h"

namespace tessary::linux_service {
namespace {

constexpr char kOpenVpnForbidden[] =
    "The OpenVPN profile contains a privileged or external-control directive that is not "
    "permitted.";
constexpr char kOpenVpnAmbiguous[] =
    "The OpenVPN profile contains a line that OpenVPN could read differently.";
// What a profile may not do to the tunnel itself, one message per class. The
// service's own command line backs these up against what a server pushes.
constexpr char kOpenVpnRoutes[] =
    "The OpenVPN profile contains a route or gateway option that could send traffic around the "
    "tunnel.";
constexpr char kOpenVpnListener[] =
    "The OpenVPN profile contains a listening or server option; only outgoing client connections "
    "are permitted.";
constexpr char kOpenVpnNoCipher[] =
    "The OpenVPN profile turns off or weakens the encryption of tunnelled data.";
constexpr char kOpenVpnCompression[] =
    "The OpenVPN profile turns on compression, which can reveal tunnelled data.";
constexpr char kOpenVpnPeerInfo[] =
    "The OpenVPN profile sends details that identify this computer to the server.";

const std::set<std::string>& ForbiddenDirectives() {
  static const std::set<std::string> kForbiddenDirectives = {
      // Scripts and hooks.
      "up", "down", "route-up", "route-pre-down", "ipchange", "learn-address", "tls-verify",
      "auth-user-pass-verify", "client-connect", "client-disconnect", "client-crresponse", "plugin",
      "script-security",
      // Management, external keys and libraries loaded while options are read.
      "management", "management-client", "management-client-auth", "management-client-group",
      "management-client-pf", "management-client-user", "management-external-key",
      "management-external-cert", "management-forget-disconnect", "management-hold",
      "management-log-cache", "management-query-passwords", "management-query-proxy",
      "management-query-remote", "management-signal", "management-up-down", "pkcs11-providers",
      "pkcs11-id", "show-pkcs11-ids", "engine", "providers", "providers-path",
      // Files, paths and environment.
      "config", "capath", "setenv", "setenv-safe", "http-proxy-user-pass", "tls-export-cert",
      "tls-crypt-v2-verify", "auth-gen-token-secret", "client-config-dir", "ifconfig-pool-persist",
      "replay-persist", "tmp-dir", "askpass", "log", "log-append", "status", "writepid", "genkey",
      "memstats",
      // Skips the lines openvpn does not know, which validation has counted.
      "ignore-unknown-option",
      // Routing and device control.
      "route-nopull", "route-noexec", "ifconfig-noexec", "pull-filter", "dev-node", "iproute",
      "mktun", "rmtun",
      // Process identity.
      "setcon", "daemon", "syslog", "chroot", "cd", "user", "group"};
  return kForbiddenDirectives;
}

const std::set<std::string>& InlineFileDirectives() {
  static const std::set<std::string> kInlineFileDirectives = {
      "ca",           "cert",           "key",        "dh",          "tls-auth", "tls-crypt",
      "tls-crypt-v2", "auth-user-pass", "crl-verify", "extra-certs", "secret",   "pkcs12"};
  return kInlineFileDirectives;
}

// Options refused whatever their arguments, with the message of their class.
const std::map<std::string, const char*>& RefusedDirectives() {
  static const std::map<std::string, const char*> kRefusedDirectives = {
      // The service forces the full tunnel; a route of the profile's own, a
      // gateway for one, or tunnel addresses of its choosing can only narrow
      // it or point it at the uplink ("net_gateway", "remote_host").
      {"route", kOpenVpnRoutes},
      {"route-ipv6", kOpenVpnRoutes},
      {"route-gateway", kOpenVpnRoutes},
      {"route-ipv6-gateway", kOpenVpnRoutes},
      {"redirect-private", kOpenVpnRoutes},
      {"allow-pull-fqdn", kOpenVpnRoutes},
      {"ifconfig", kOpenVpnRoutes},
      {"ifconfig-ipv6", kOpenVpnRoutes},
      // A fixed local address or port, a peer that may move, server mode.
      {"lport", kOpenVpnListener},
      {"bind", kOpenVpnListener},
      {"local", kOpenVpnListener},
      {"float", kOpenVpnListener},
      {"multihome", kOpenVpnListener},
      {"mode", kOpenVpnListener},
      {"server", kOpenVpnListener},
      {"server-ipv6", kOpenVpnListener},
      {"server-bridge", kOpenVpnListener},
      {"tls-server", kOpenVpnListener},
      {"port-share", kOpenVpnListener},
      {"inetd", kOpenVpnListener},
      {"no-replay", kOpenVpnNoCipher},
      // Sends the uplink's hardware address and the kernel version.
      {"push-peer-info", kOpenVpnPeerInfo}};
  return kRefusedDirectives;
}

// A transport that accepts connections: "proto tcp-server" or a remote's
// protocol word "tcp6-server".
bool OpensListener(const std::string& directive, const std::vector<std::string>& words) {
  const std::size_t index = directive == "proto" ? 1 : directive == "remote" ? 3 : 0;
  if (index == 0 || words.size() <= index) return false;
  const std::string proto = Lowercase(words[index]);
  return proto.size() >= 7 && proto.compare(proto.size() - 7, 7, "-server") == 0;
}

// The ":"-separated entries of an option's one argument, lower-cased.
std::vector<std::string> ColonList(const std::vector<std::string>& words) {
  std::vector<std::string> entries;
  if (words.size() < 2) return entries;
  g_auto(GStrv) parts = g_strsplit(words[1].c_str(), ":", -1);
  for (gchar** part = parts; *part != nullptr; ++part) entries.push_back(Lowercase(*part));
  return entries;
}

// A TLS cipher list entry that admits suites without encryption or without
// authentication of the server. Entries that remove or reorder suites ("!",
// "-", "+") admit nothing.
bool AdmitsWeakTlsSuite(const std::string& entry) {
  if (entry.empty() || entry[0] == '!' || entry[0] == '-' || entry[0] == '+') return false;
  for (const char* weak : {"null", "anon", "complementof", "sha256_sha256", "sha384_sha384"}) {
    if (entry.find(weak) != std::string::npos) return true;
  }
  return entry.compare(0, 3, "adh") == 0 || entry.compare(0, 5, "aecdh") == 0;
}

// The class message for a directive that is refused only with some
// arguments, or null.
const char* RefusedUse(const std::string& directive, const std::vector<std::string>& words) {
  const std::string first = words.size() >= 2 ? Lowercase(words[1]) : "";
  if (directive == "redirect-gateway") {
    // Anything but the full tunnel in one or both families: no "!ipv4",
    // "local" or the bypass flags.
    for (std::size_t i = 1; i < words.size(); ++i) {
      const std::string flag = Lowercase(words[i]);
      if (flag != "def1" && flag != "ipv6" && flag != "block-local") return kOpenVpnRoutes;
    }
  }
  if (OpensListener(directive, words)) return kOpenVpnListener;
  if ((directive == "cipher" || directive == "data-ciphers-fallback" || directive == "auth") &&
      first == "none") {
    return kOpenVpnNoCipher;
  }
  if (directive == "data-ciphers" || directive == "ncp-ciphers") {
    for (const std::string& cipher : ColonList(words)) {
      if (cipher == "none") return kOpenVpnNoCipher;
    }
  }
  if (directive == "tls-cipher" || directive == "tls-ciphersuites") {
    for (const std::string& suite : ColonList(words)) {
      if (AdmitsWeakTlsSuite(suite)) return kOpenVpnNoCipher;
    }
  }
  // Stub framing ("comp-lzo no", "compress", "compress stub-v2") compresses
  // nothing and is what many servers still expect.
  if ((directive == "comp-lzo" && first != "no") ||
      (directive == "compress" && !first.empty() && first != "stub" && first != "stub-v2") ||
      (directive == "allow-compression" && first != "no")) {
    return kOpenVpnCompression;
  }
  return nullptr;
}

struct OpenVpnState {
  std::string openBlock;
  std::set<std::string> openedBlocks;
  std::vector<std::pair<std::string, std::string>> fileDirectives;
  int devCount = 0;
  bool client = false;
  bool remote = false;
  bool tun = false;
  bool tap = false;
};

ProfileValidation OpenVpnDirective(const OpenVpnLine& line, OpenVpnState* state) {
  const std::vector<std::string>& words = line.words;
  const std::string directive = Lowercase(words[0]);
  if (ForbiddenDirectives().count(directive) != 0) return Invalid(kOpenVpnForbidden);
  const auto refused = RefusedDirectives().find(directive);
  if (refused != RefusedDirectives().end()) return Invalid(refused->second);
  if (line.ambiguous) return Invalid(kOpenVpnAmbiguous);
  if (const char* message = RefusedUse(directive, words)) return Invalid(message);
  std::string argument;
  for (std::size_t i = 1; i < words.size(); ++i) {
    if (i > 1) argument.push_back(' ');
    argument.append(Lowercase(words[i]));
  }

  if (directive == "http-proxy" && words.size() >= 4) {
    const std::string credentials = Lowercase(words[3]);
    if (credentials != "auto" && credentials != "auto-nct") {
      return Invalid("OpenVPN HTTP proxy credentials may not reference an external file.");
    }
  }
  // openvpn reads the third word as a credentials file, as root, and sends its
  // contents to the proxy the profile names.
  if (directive == "socks-proxy" && words.size() >= 4) {
    return Invalid("OpenVPN SOCKS proxy credentials may not reference an external file.");
  }
  if (directive == "dev" || directive == "dev-type") {
    if (directive == "dev") ++state->devCount;
    if (argument.compare(0, 3, "tun") == 0) state->tun = true;
    if (argument.compare(0, 3, "tap") == 0) state->tap = true;
  }
  if (directive == "client") state->client = true;
  if (directive == "remote" && words.size() >= 2 && !words[1].empty()) state->remote = true;
  if (InlineFileDirectives().count(directive) != 0) {
    state->fileDirectives.emplace_back(directive, argument);
  }
  return {true, ""};
}

ProfileValidation OpenVpnLineVerdict(const OpenVpnLine& line, OpenVpnState* state) {
  switch (line.kind) {
    case OpenVpnLine::Kind::kNothing:
    case OpenVpnLine::Kind::kBlockLine:
    case OpenVpnLine::Kind::kBlockClose:
      if (line.kind == OpenVpnLine::Kind::kBlockClose) state->openBlock.clear();
      return line.ambiguous ? Invalid(kOpenVpnAmbiguous) : ProfileValidation{true, ""};
    case OpenVpnLine::Kind::kBlockOpen: {
      if (line.block.empty() || line.block[0] == '/') {
        return Invalid("The OpenVPN profile contains an unmatched inline block.");
      }
      // openvpn knows its options only in lower case, so "<CA>" names none.
      const std::string name = Lowercase(line.block);
      if (InlineFileDirectives().count(name) == 0) {
        return Invalid("The OpenVPN profile contains an unsupported inline block.");
      }
      if (line.ambiguous || name != line.block) return Invalid(kOpenVpnAmbiguous);
      state->openedBlocks.insert(name);
      state->openBlock = name;
      return {true, ""};
    }
    case OpenVpnLine::Kind::kDirective:
      return OpenVpnDirective(line, state);
  }
  return Invalid(kOpenVpnAmbiguous);
}

}  // namespace

ProfileValidation ValidateOpenVpn(const std::string& config) {
  OpenVpnState state;
  ProfileValidation failure{true, ""};
  ForEachOpenVpnLine(config, [&](const OpenVpnLine& line) {
    failure = OpenVpnLineVerdict(line, &state);
    return failure.valid;
  });
  if (!failure.valid) return failure;

  if (!state.openBlock.empty()) {
    return Invalid("The OpenVPN profile contains an unterminated inline block.");
  }
  if (state.devCount != 1 || !state.client || !state.remote || !state.tun || state.tap) {
    return Invalid("OpenVPN profiles require client mode, a remote, and TUN\u2014not TAP.");
  }
  for (const auto& [directive, argument] : state.fileDirectives) {
    if ((!argument.empty() && argument != "[inline]") || state.openedBlocks.count(directive) == 0) {
      return Invalid(
          "OpenVPN profiles must embed credentials and certificates instead of referencing "
          "external files.");
    }
  }
  return {true, ""};
}

}  // namespace tessary::linux_service
