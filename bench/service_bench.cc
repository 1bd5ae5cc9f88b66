// Round trip of GetConnectionSnapshot through the real bus, against the
// least GDBus service (bench/least_bus_service.cc: one name, one method, a
// one-entry a{sv} reply) called the same way in the same run, and the
// service's memory after start-up (resident and proportional set size). Runs
// inside tests/sandbox/enter with the build installed
// (bench/service_bench.sh, which passes the least service's path).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

// The system bus lets even root own only the names some policy file allows.
// This one is written into the sandbox's overlay of /etc and goes with it.
constexpr char kBaselineName[] = "org.tessaryvpn.BenchBaseline";
constexpr char kBaselinePolicyPath[] = "/etc/dbus-1/system.d/org.tessaryvpn.BenchBaseline.conf";
constexpr char kBaselinePolicy[] =
    "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration 1.0//EN\"\n"
    " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
    "<busconfig>\n"
    "  <policy user=\"root\">\n"
    "    <allow own=\"org.tessaryvpn.BenchBaseline\"/>\n"
    "    <allow send_destination=\"org.tessaryvpn.BenchBaseline\"/>\n"
    "  </policy>\n"
    "</busconfig>\n";

bool NameHasOwner(GDBusConnection* bus, const char* name) {
  g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
      g_variant_new("(s)", name), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
      nullptr);
  gboolean owned = FALSE;
  if (reply != nullptr) g_variant_get(reply, "(b)", &owned);
  return owned;
}

// Installs the baseline's bus policy, starts the least service and waits
// until it owns its name. Returns its pid, or -1.
int StartBaseline(GDBusConnection* bus, const char* program) {
  if (!g_file_set_contents(kBaselinePolicyPath, kBaselinePolicy, -1, nullptr)) return -1;
  g_autoptr(GVariant) reloaded = g_dbus_connection_call_sync(
      bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ReloadConfig",
      nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
  if (reloaded == nullptr) return -1;
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) {
    execl(program, program, kBaselineName, static_cast<char*>(nullptr));
    _exit(127);
  }
  if (!tessary::test::WaitUntil([&] { return NameHasOwner(bus, kBaselineName); },
                                std::chrono::seconds(10))) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
  }
  return pid;
}

// Both series, interleaved call by call so that both see the same load.
bool Measure(GDBusConnection* bus, std::vector<double>* service, std::vector<double>* baseline) {
  using tessary::linux_service::kInterfaceName;
  using tessary::linux_service::kObjectPath;
  auto callService = [&] {
    return CallOnce(bus, tessary::linux_service::kBusName, kObjectPath, kInterfaceName,
                    "GetConnectionSnapshot");
  };
  auto callBaseline = [&] {
    return CallOnce(bus, kBaselineName, kObjectPath, kInterfaceName, "GetConnectionSnapshot");
  };
  for (int i = 0; i < kWarmUp; ++i) {
    if (!callService() || !callBaseline()) {
      fprintf(stderr, "service_bench: a warm-up call failed.\n");
      return false;
    }
  }
  service->reserve(kRounds);
  baseline->reserve(kRounds);
  // Which of the two goes first alternates, so neither always finds the bus
  // daemon just woken by the other.
  for (int i = 0; i < kRounds; ++i) {
    const bool serviceFirst = i % 2 == 0;
    const auto t0 = Clock::now();
    bool ok = serviceFirst ? callService() : callBaseline();
    const auto t1 = Clock::now();
    ok = (serviceFirst ? callBaseline() : callService()) && ok;
    const auto t2 = Clock::now();
    if (!ok) {
      fprintf(stderr, "service_bench: a call failed.\n");
      return false;
    }
    const double first = std::chrono::duration<double, std::micro>(t1 - t0).count();
    const double second = std::chrono::duration<double, std::micro>(t2 - t1).count();
    service->push_back(serviceFirst ? first : second);
    baseline->push_back(serviceFirst ? second : first);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace tessary;
  test::RequireSandbox();
  if (argc != 2) {
    fprintf(stderr, "usage: service_bench LEAST_BUS_SERVICE\n");
    return 2;
  }
  const int pid = test::StartService("/run/sandbox/bench-service.log");
  if (pid <= 0) {
    fprintf(stderr, "service_bench: the service did not come up.\n");
    return 1;
  }
  GDBusConnection* bus = test::NewSystemBus();
  // Memory right after start-up, before the benchmark warms anything up or
  // the least service maps the same libraries.
  const Memory memory = MemoryOf(pid);
  const int baselinePid = bus != nullptr ? StartBaseline(bus, argv[1]) : -1;
  int status = 1;
  std::vector<double> service;
  std::vector<double> baseline;
  if (bus == nullptr) {
    fprintf(stderr, "service_bench: no system bus.\n");
  } else if (baselinePid <= 0) {
    fprintf(stderr, "service_bench: the least bus service did not come up.\n");
  } else if (Measure(bus, &service, &baseline)) {
    const double figure = MedianMicros(&service);
    const double least = MedianMicros(&baseline);
    printf("service_snapshot_roundtrip %.1f %.1f %.2f target<=1.5 us\n", figure, least,
           figure / least);
    // The budget holds for the proportional set size: resident size counts the
    // shared libraries whole, and linking them statically to shrink it would
    // keep their security updates from reaching the service.
    printf("service_rss_after_start %ld 8192 %.2f - KiB\n", memory.rss, memory.rss / 8192.0);
    printf("service_pss_after_start %ld 8192 %.2f target<=1.0 KiB\n", memory.pss,
           memory.pss / 8192.0);
    status = 0;
  }
  if (baselinePid > 0 && test::StopService(baselinePid) != 0) status = 1;
  if (bus != nullptr) g_object_unref(bus);
  if (test::StopService(pid) != 0) status = 1;
  return status;
}
