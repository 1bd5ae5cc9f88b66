// Round trip of GetConnectionSnapshot through the real bus, against the bus
// daemon answering org.freedesktop.DBus.GetId on the same connection in the
// same run, and the service's memory after start-up (resident and
// proportional set size). Runs inside tests/sandbox/enter with the build
// installed (bench/service_bench.sh).
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "common/constants.h"
#include "tests/sandbox/sandbox_util.h"

namespace {

constexpr int kWarmUp = 200;
constexpr int kRounds = 3000;

using Clock = std::chrono::steady_clock;

double MedianMicros(std::vector<double>* samples) {
  std::sort(samples->begin(), samples->end());
  return (*samples)[samples->size() / 2];
}

bool CallOnce(GDBusConnection* bus, const char* destination, const char* path,
              const char* interface, const char* method) {
  GVariant* reply =
      g_dbus_connection_call_sync(bus, destination, path, interface, method, nullptr, nullptr,
                                  G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  if (reply == nullptr) return false;
  g_variant_unref(reply);
  return true;
}

// One "Name:   N kB" field of a /proc file, in KiB, or -1.
long ProcFieldKiB(const std::string& path, const std::string& field) {
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field, 0) == 0) return std::stol(line.substr(field.size()));
  }
  return -1;
}

// Resident size counts every shared library page in full; the proportional
// set size divides each page among the processes mapping it, so it shows what
// the service itself adds to the machine.
struct Memory {
  long rss = -1;  // KiB
  long pss = -1;  // KiB
};

Memory MemoryOf(int pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  Memory memory;
  memory.rss = ProcFieldKiB(proc + "/status", "VmRSS:");
  memory.pss = ProcFieldKiB(proc + "/smaps_rollup", "Pss:");
  return memory;
}

}  // namespace

int main() {
  using namespace tessary;
  test::RequireSandbox();
  const int pid = test::StartService("/run/sandbox/bench-service.log");
  if (pid <= 0) {
    fprintf(stderr, "service_bench: the service did not come up.\n");
    return 1;
  }
  GDBusConnection* bus = test::NewSystemBus();
  if (bus == nullptr) {
    fprintf(stderr, "service_bench: no system bus.\n");
    test::StopService(pid);
    return 1;
  }
  // Memory right after start-up, before the benchmark warms anything up.
  const Memory memory = MemoryOf(pid);

  auto snapshot = [&] {
    return CallOnce(bus, linux_service::kBusName, linux_service::kObjectPath,
                    linux_service::kInterfaceName, "GetConnectionSnapshot");
  };
  auto getId = [&] {
    return CallOnce(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                    "GetId");
  };
  for (int i = 0; i < kWarmUp; ++i) {
    if (!snapshot() || !getId()) {
      fprintf(stderr, "service_bench: a warm-up call failed.\n");
      test::StopService(pid);
      return 1;
    }
  }
  // Interleaved, so that both see the same machine load.
  std::vector<double> service;
  std::vector<double> daemon;
  service.reserve(kRounds);
  daemon.reserve(kRounds);
  for (int i = 0; i < kRounds; ++i) {
    auto t0 = Clock::now();
    bool ok = snapshot();
    auto t1 = Clock::now();
    ok = getId() && ok;
    auto t2 = Clock::now();
    if (!ok) {
      fprintf(stderr, "service_bench: a call failed.\n");
      test::StopService(pid);
      return 1;
    }
    service.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    daemon.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
  }
  const double figure = MedianMicros(&service);
  const double baseline = MedianMicros(&daemon);
  printf("service_snapshot_roundtrip %.1f %.1f %.2f target<=1.5 us\n", figure, baseline,
         figure / baseline);
  // The budget holds for the proportional set size: resident size counts the
  // shared libraries whole, and linking them statically to shrink it would
  // keep their security updates from reaching the service.
  printf("service_rss_after_start %ld 8192 %.2f - KiB\n", memory.rss, memory.rss / 8192.0);
  printf("service_pss_after_start %ld 8192 %.2f target<=1.0 KiB\n", memory.pss,
         memory.pss / 8192.0);

  g_object_unref(bus);
  return test::StopService(pid) == 0 ? 0 : 1;
}
