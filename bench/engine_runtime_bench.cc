// Time for EngineRuntime::StartWireGuard to bring a real tunnel up (wg-quick,
// route check, DNS through the DNS helper) against doing the same by hand:
// bare `wg-quick up` on the same configuration plus the three resolvectl
// commands. Both run alternately in the same sandbox against the same peer;
// the medians of the runs are compared.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "common/constants.h"
#include "service/engine_runtime.h"
#include "tests/sandbox/sandbox_util.h"

namespace {

using tessary::test::Run;
using tessary::test::Sh;
using Clock = std::chrono::steady_clock;

constexpr int kRuns = 20;

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double MillisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool Ok(const std::vector<std::string>& argv) { return Run(argv).status == 0; }

// One bare bring-up; returns milliseconds, or a negative value on failure.
double BareStart(const std::string& config, const std::string& dns) {
  auto start = Clock::now();
  bool ok = Ok({"/usr/bin/wg-quick", "up", config}) &&
            Ok({"/usr/bin/resolvectl", "dns", "tessaryvpn", dns}) &&
            Ok({"/usr/bin/resolvectl", "domain", "tessaryvpn", "~."}) &&
            Ok({"/usr/bin/resolvectl", "default-route", "tessaryvpn", "yes"});
  double took = MillisSince(start);
  Run({"/usr/bin/resolvectl", "revert", "tessaryvpn"});
  Run({"/usr/bin/wg-quick", "down", config});
  return ok ? took : -1;
}

double RuntimeStart(const std::string& profile) {
  tessary::linux_service::EngineRuntime runtime;
  std::string error;
  auto start = Clock::now();
  bool ok = runtime.StartWireGuard(
      profile, [] { return false; }, &error);
  double took = MillisSince(start);
  if (!ok) fprintf(stderr, "engine_runtime_bench: %s\n", error.c_str());
  std::string scratch;
  runtime.Stop(&scratch);
  return ok ? took : -1;
}

}  // namespace

int main() {
  tessary::test::RequireSandbox();
  const char* source = g_getenv("TESSARY_SOURCE_DIR");
  std::string peers = std::string(source != nullptr ? source : ".") + "/tests/sandbox/peers";
  if (Sh("mkdir -p /run/bench/bare && " + peers + " wireguard /run/bench").status != 0) {
    fprintf(stderr, "engine_runtime_bench: the WireGuard peer did not come up.\n");
    return 1;
  }
  std::ifstream in("/run/bench/wireguard.conf");
  std::stringstream text;
  text << in.rdbuf();
  const std::string profile = text.str();
  // The same configuration as the runtime writes: without its DNS line, under
  // the same interface name.
  const std::string bare = "/run/bench/bare/tessaryvpn.conf";
  if (Sh("umask 077 && grep -v '^DNS' /run/bench/wireguard.conf > " + bare).status != 0) return 1;
  const std::string dns = "198.51.100.1";

  std::vector<double> figures;
  std::vector<double> baselines;
  BareStart(bare, dns);  // warm-up: first runs pay for cold caches
  RuntimeStart(profile);
  for (int i = 0; i < kRuns; ++i) {
    double baseline = BareStart(bare, dns);
    double figure = RuntimeStart(profile);
    if (baseline < 0 || figure < 0) {
      fprintf(stderr, "engine_runtime_bench: run %d failed.\n", i);
      return 1;
    }
    baselines.push_back(baseline);
    figures.push_back(figure);
  }
  double figure = Median(figures);
  double baseline = Median(baselines);
  printf("engine_runtime_wireguard_start %.1f %.1f %.2f target<=1.3 ms\n", figure, baseline,
         figure / baseline);
  return 0;
}
