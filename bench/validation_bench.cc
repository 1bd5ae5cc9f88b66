// Validation of a realistic ~2 MiB sing-box profile against json-glib parsing
// the same text alone, in the same run. Validation must parse exactly once, so
// everything it adds (nesting bound, limits walk, searches, rules) shows up in
// the ratio. Prints one line per figure for bench/run:
//   NAME FIGURE BASELINE RATIO TARGET UNIT
#include <glib.h>
#include <json-glib/json-glib.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "service/config_validation.h"

namespace {

using tessary::linux_service::ProfileValidation;
using tessary::linux_service::ValidateProfile;

// A profile shaped like the ones the desktop application produces for a large
// subscription: many proxy outbounds behind a selector and long rule lists.
std::string GenerateProfile(std::size_t targetBytes) {
  std::string text = R"({
  "log": {"level": "warn", "timestamp": true},
  "dns": {
    "servers": [
      {"type": "https", "tag": "remote", "server": "1.1.1.1", "detour": "select"},
      {"type": "tls", "tag": "backup", "server": "9.9.9.9", "detour": "select"}
    ],
    "final": "remote",
    "strategy": "prefer_ipv4"
  },
  "inbounds": [
    {"type": "tun", "tag": "tun-in", "interface_name": "tun0", "address": ["172.19.0.1/30"],
     "mtu": 9000, "auto_route": true, "strict_route": true, "stack": "mixed"}
  ],
  "route": {"final": "select", "auto_detect_interface": true, "rules": [
)";
  std::string outbounds;
  std::string selector = R"(    {"type": "selector", "tag": "select", "outbounds": [)";
  std::string rules;
  int serial = 0;
  // Roughly two thirds outbounds, one third rules.
  while (text.size() + outbounds.size() + rules.size() + selector.size() + 512 < targetBytes) {
    const std::string n = std::to_string(serial);
    const std::string host = "node-" + n + ".edge-" + std::to_string(serial % 97) + ".example.net";
    if (serial % 3 != 2) {
      outbounds += R"(    {"type": "vless", "tag": "proxy-)" + n + R"(", "server": ")" + host +
                   R"(", "server_port": 443, "uuid": "5f1c2b1e-8a4e-4c9b-9d59-)" +
                   std::to_string(100000000000 + serial) +
                   R"(", "flow": "xtls-rprx-vision", "packet_encoding": "xudp",
     "tls": {"enabled": true, "server_name": ")" +
                   host + R"(", "utls": {"enabled": true, "fingerprint": "chrome"},
      "reality": {"enabled": true, "public_key": "jNXHt1yRo0vDuchQlIP6Z0ZvjT3KtzVI-T4E7RoLJS0", "short_id": "0123abcd"}},
     "transport": {"type": "grpc", "service_name": "svc-)" +
                   n + R"("}},
)";
      selector += "\"proxy-" + n + "\", ";
    } else {
      rules += R"(    {"domain_suffix": [")" + n + R"(.ads.example.com", "tracker-)" + n +
               R"(.example.org", "metrics-)" + n + R"(.example.io", "cdn-)" + n +
               R"(.example.net"], "ip_cidr": ["198.51.100.)" + std::to_string(serial % 256) +
               R"(/32", "203.0.113.)" + std::to_string(serial % 256) +
               R"(/32"], "port": [443, 8443], "network": ["tcp", "udp"], "outbound": "select"},
)";
    }
    ++serial;
  }
  rules += R"(    {"ip_is_private": true, "outbound": "direct"}
  ]},
)";
  // Groups may not lead to a direct outbound: the selector lists proxies only.
  selector.erase(selector.size() - 2);
  selector += R"(], "default": "proxy-0"},
    {"type": "direct", "tag": "direct"}
  ]
})";
  text += rules + "  \"outbounds\": [\n" + outbounds + selector;
  return text;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::string profile = GenerateProfile(2000000);
  if (argc > 1) {  // writes the generated profile for inspection instead
    return g_file_set_contents(argv[1], profile.data(), static_cast<gssize>(profile.size()),
                               nullptr)
               ? 0
               : 1;
  }
  const ProfileValidation check = ValidateProfile("bench", "vless", profile);
  if (!check.valid) {
    std::fprintf(stderr, "validation_bench: generated profile refused: %s\n",
                 check.message.c_str());
    return 1;
  }

  constexpr int kRounds = 21;
  std::vector<double> validate;
  std::vector<double> parse;
  for (int round = 0; round < kRounds; ++round) {
    // Interleaved so that both see the same machine load.
    gint64 start = g_get_monotonic_time();
    JsonParser* parser = json_parser_new();
    const gboolean loaded = json_parser_load_from_data(
        parser, profile.data(), static_cast<gssize>(profile.size()), nullptr);
    g_object_unref(parser);
    parse.push_back(static_cast<double>(g_get_monotonic_time() - start) / 1000.0);
    if (!loaded) return 1;

    start = g_get_monotonic_time();
    const ProfileValidation result = ValidateProfile("bench", "vless", profile);
    validate.push_back(static_cast<double>(g_get_monotonic_time() - start) / 1000.0);
    if (!result.valid) return 1;
  }

  const double validateMs = Median(validate);
  const double parseMs = Median(parse);
  const double megabytes = static_cast<double>(profile.size()) / 1e6;
  std::printf("validation_2mib_singbox %.2f %.2f %.2f target<=1.2 ms\n", validateMs, parseMs,
              validateMs / parseMs);
  std::printf("validation_2mib_singbox_throughput %.2f %.2f %.2f target>=0.83 MB/s\n",
              megabytes / (validateMs / 1000.0), megabytes / (parseMs / 1000.0),
              parseMs / validateMs);
  std::fprintf(stderr, "validation_bench: profile of %zu bytes, median of %d rounds each\n",
               profile.size(), kRounds);
  return 0;
}
