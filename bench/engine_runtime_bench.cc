// Time for EngineRuntime::StartWireGuard to bring a real tunnel up (wg-quick,
// route check, first handshake, DNS through the DNS helper) against doing the
// same by hand: bare `wg-quick up` on the same configuration, a ping through
// the tunnel until `wg show` reports the handshake, and the three resolvectl
// commands. Both run alternately in the same sandbox against the same peer;
// the medians of the runs are compared. Beside it: what waiting for the
// handshake adds to the bare bring-up, and the CPU time the one-second poll
// spends checking a live tunnel's interface and routes.
#include <time.h>
#include <unistd.h>

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

// Prompts a handshake and waits for `wg show` to report it, as by hand.
bool HandshakeByHand() {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (attempt % 10 == 0) Run({"/usr/bin/ping", "-c", "1", "-W", "0.1", "198.51.100.1"});
    const std::string out = Run({"/usr/bin/wg", "show", "tessaryvpn", "latest-handshakes"}).out;
    const size_t tab = out.find('\t');
    if (tab != std::string::npos && atoll(out.c_str() + tab + 1) > 0) return true;
    usleep(100000);
  }
  return false;
}

// One bare bring-up, with or without waiting for the first handshake;
// returns milliseconds, or a negative value on failure.
double BareStart(const std::string& config, const std::string& dns, bool handshake) {
  auto start = Clock::now();
  bool ok = Ok({"/usr/bin/wg-quick", "up", config}) && (!handshake || HandshakeByHand()) &&
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

double CpuMicros() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return now.tv_sec * 1e6 + now.tv_nsec / 1e3;
}

// CPU time (user and system, so the kernel's lookups count) of one poll of a
// live tunnel, the poll's whole work each second; negative on failure.
double PollCpuMicros(const std::string& profile) {
  constexpr int kPolls = 2000;
  tessary::linux_service::EngineRuntime runtime;
  std::string error;
  if (!runtime.StartWireGuard(
          profile, [] { return false; }, &error)) {
    fprintf(stderr, "engine_runtime_bench: %s\n", error.c_str());
    return -1;
  }
  bool held = true;
  const double start = CpuMicros();
  for (int i = 0; i < kPolls && held; ++i) held = !runtime.PollUnexpectedExit(&error);
  const double spent = CpuMicros() - start;
  std::string scratch;
  runtime.Stop(&scratch);
  if (!held) fprintf(stderr, "engine_runtime_bench: the poll lost the tunnel: %s\n", error.c_str());
  return held ? spent / kPolls : -1;
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
  std::vector<double> withoutHandshake;
  BareStart(bare, dns, true);  // warm-up: first runs pay for cold caches
  RuntimeStart(profile);
  for (int i = 0; i < kRuns; ++i) {
    double unshaken = BareStart(bare, dns, false);
    double baseline = BareStart(bare, dns, true);
    double figure = RuntimeStart(profile);
    if (unshaken < 0 || baseline < 0 || figure < 0) {
      fprintf(stderr, "engine_runtime_bench: run %d failed.\n", i);
      return 1;
    }
    withoutHandshake.push_back(unshaken);
    baselines.push_back(baseline);
    figures.push_back(figure);
  }
  double figure = Median(figures);
  double baseline = Median(baselines);
  printf("engine_runtime_wireguard_start %.1f %.1f %.2f target<=1.3 ms\n", figure, baseline,
         figure / baseline);
  // What waiting for the server's answer adds to a bare bring-up.
  const double unshaken = Median(withoutHandshake);
  printf("wireguard_handshake_wait %.1f %.1f %.2f - ms(bring-up-with-vs-without)\n", baseline,
         unshaken, baseline / unshaken);
  // Against a budget of 1 ms of CPU per second of connection.
  const double poll = PollCpuMicros(profile);
  if (poll < 0) return 1;
  printf("route_check_cpu_per_second %.1f 1000.0 %.3f target<=1.0 us\n", poll, poll / 1000.0);
  return 0;
}
