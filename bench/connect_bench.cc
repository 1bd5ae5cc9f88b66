// Connect-to-"connected" and Disconnect-to-"disconnected" through the real
// bus, as a client sees it, for WireGuard, OpenVPN, sing-box and Xray, each against the bare
// engine brought up and down by hand in the same sandbox run, doing the same
// external steps as the service:
//   WireGuard: the nft table removal, wg-quick up and the three resolvectl
//              commands; back down with the nft table removal, resolvectl
//              revert and wg-quick down;
//   OpenVPN:   the nft table removal, then openvpn on the same profile with
//              the DNS helper as its up and down script until its routes
//              appear (polled every millisecond); back down with the nft
//              table removal and SIGTERM until it has gone;
//   sing-box:  the nft table removal, "sing-box check" and "sing-box run" on
//              the normalized profile until its default route in table 2022
//              appears (polled every millisecond); back down with the nft
//              table removal and SIGTERM until it has exited;
//   Xray:      the nft table removal, "xray run -test" and "xray run" on the normalized profile
//              until its interface is up (polled every millisecond), then the
//              addresses, routes and rules the service adds around it; back
//              down with the nft table removal, SIGTERM until it has exited
//              and the removal of the rules.
// Every connect of the service first lifts a kill-switch table that a crash
// may have left, and every disconnect lifts it, also when the tunnel had
// none, so the bare runs pay for the same nft runs.
// Runs alternate, service and bare, after one warm-up of each; medians of the
// runs are printed as bench/run expects. Runs inside tests/sandbox/enter
// --resolved with the build installed (bench/connect_bench.sh).
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "common/constants.h"
#include "service/config_normalization.h"
#include "tests/sandbox/sandbox_util.h"

namespace {

using tessary::test::Run;
using tessary::test::Sh;
using Clock = std::chrono::steady_clock;

constexpr int kRuns = 11;
constexpr char kWork[] = "/run/bench/connect";

struct Times {
  double up = -1;    // milliseconds
  double down = -1;  // milliseconds
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double MillisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool Ok(const std::vector<std::string>& argv) { return Run(argv).status == 0; }

// The service's removal: a table is declared first, so that deleting it
// succeeds whether or not one was there.
bool RemoveKillSwitchTable() {
  const std::string table = std::string("table inet ") + tessary::linux_service::kKillSwitchTable;
  return Run({tessary::linux_service::kNftBinary, "-f", "-"}, table + "\ndelete " + table + "\n")
             .status == 0;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

GVariant* ConnectParameters(const std::string& protocol, const std::string& config) {
  GVariantBuilder builder;
  g_variant_builder_init(&builder, G_VARIANT_TYPE_VARDICT);
  g_variant_builder_add(&builder, "{sv}", "id", g_variant_new_string("bench"));
  g_variant_builder_add(&builder, "{sv}", "protocol", g_variant_new_string(protocol.c_str()));
  g_variant_builder_add(&builder, "{sv}", "rawConfig", g_variant_new_string(config.c_str()));
  g_variant_builder_add(&builder, "{sv}", "killSwitch", g_variant_new_boolean(FALSE));
  return g_variant_new("(a{sv})", &builder);
}

gboolean KeepTicking(gpointer) { return G_SOURCE_CONTINUE; }

// Iterates the default main context, blocking between events, until
// `condition` holds or `limit` passes. A sleep between polls would add up to
// its own length to every service figure and to none of the bare ones; the
// tick only bounds how late the deadline is noticed.
bool WaitInMainContext(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  const guint tick = g_timeout_add(100, KeepTicking, nullptr);
  bool met = condition();
  while (!met && Clock::now() < deadline) {
    g_main_context_iteration(nullptr, TRUE);
    met = condition();
  }
  g_source_remove(tick);
  return met;
}

// Time from the call to the snapshot with `stage`, or a negative value.
double CallUntilStage(tessary::test::SignalRecorder* recorder, GDBusConnection* bus,
                      const char* method, GVariant* parameters, const std::string& stage) {
  recorder->Clear();
  const auto start = Clock::now();
  std::string name;
  std::string message;
  GVariant* reply = tessary::test::CallService(bus, method, parameters, &name, &message);
  if (reply == nullptr) {
    fprintf(stderr, "connect_bench: %s failed: %s: %s\n", method, name.c_str(), message.c_str());
    return -1;
  }
  g_variant_unref(reply);
  const bool reached = WaitInMainContext(
      [&] {
        const auto stages = recorder->Strings("SnapshotChanged", "stage");
        return !stages.empty() && (stages.back() == stage || stages.back() == "error");
      },
      std::chrono::seconds(40));
  const double took = MillisSince(start);
  const auto stages = recorder->Strings("SnapshotChanged", "stage");
  recorder->Clear();
  if (!reached || stages.back() != stage) {
    fprintf(stderr, "connect_bench: %s did not reach \"%s\".\n", method, stage.c_str());
    return -1;
  }
  return took;
}

Times ServiceRun(tessary::test::SignalRecorder* recorder, GDBusConnection* bus,
                 const std::string& protocol, const std::string& profile) {
  Times times;
  times.up =
      CallUntilStage(recorder, bus, "Connect", ConnectParameters(protocol, profile), "connected");
  times.down = CallUntilStage(recorder, bus, "Disconnect", nullptr, "disconnected");
  return times;
}

Times BareWireGuard(const std::string& config) {
  Times times;
  auto start = Clock::now();
  const bool up = RemoveKillSwitchTable() && Ok({"/usr/bin/wg-quick", "up", config}) &&
                  Ok({"/usr/bin/resolvectl", "dns", "tessaryvpn", "198.51.100.1"}) &&
                  Ok({"/usr/bin/resolvectl", "domain", "tessaryvpn", "~."}) &&
                  Ok({"/usr/bin/resolvectl", "default-route", "tessaryvpn", "yes"});
  times.up = up ? MillisSince(start) : -1;
  start = Clock::now();
  const bool down = RemoveKillSwitchTable() &&
                    Ok({"/usr/bin/resolvectl", "revert", "tessaryvpn"}) &&
                    Ok({"/usr/bin/wg-quick", "down", config});
  times.down = down ? MillisSince(start) : -1;
  return times;
}

// True while the main table holds a half-default route (0.0.0.0/1 or
// 128.0.0.0/1, what redirect-gateway def1 adds) through `interface`.
bool HasSplitRoute(const std::string& interface) {
  std::ifstream routes("/proc/net/route");
  std::string line;
  while (std::getline(routes, line)) {
    std::istringstream fields(line);
    std::string iface, destination, gateway, flags, refcnt, use, metric, mask;
    fields >> iface >> destination >> gateway >> flags >> refcnt >> use >> metric >> mask;
    if (iface == interface && mask == "00000080") return true;
  }
  return false;
}

bool WaitSplitRoute(const std::string& interface, bool present, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  while (HasSplitRoute(interface) != present) {
    if (Clock::now() >= deadline) return false;
    usleep(1000);
  }
  return true;
}

Times BareOpenVpn(const std::string& config) {
  Times times;
  const auto start = Clock::now();
  if (!RemoveKillSwitchTable()) return times;
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, 0);
    dup2(null, 1);
    dup2(null, 2);
    // The service's DNS helper is the least program that turns OpenVPN's
    // pushed options into resolvectl calls, so the bare run uses it too.
    const char* dns = tessary::linux_service::kDnsHelper;
    execl("/usr/sbin/openvpn", "openvpn", "--config", config.c_str(), "--script-security", "2",
          "--up", dns, "--down", dns, "--down-pre", "--verb", "3", "--suppress-timestamps",
          static_cast<char*>(nullptr));
    _exit(127);
  }
  if (pid < 0) return times;
  if (WaitSplitRoute("tun-tessaryvpn", true, std::chrono::seconds(30))) {
    times.up = MillisSince(start);
  }
  const auto stop = Clock::now();
  const bool lifted = RemoveKillSwitchTable();
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  if (lifted && WaitSplitRoute("tun-tessaryvpn", false, std::chrono::seconds(10))) {
    times.down = MillisSince(stop);
  }
  return times;
}

// Runs `argv` with its output discarded; the child's pid, or -1.
pid_t Spawn(const std::vector<std::string>& argv) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int null = open("/dev/null", O_RDWR);
  dup2(null, 0);
  dup2(null, 1);
  dup2(null, 2);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::seconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!condition()) {
    if (Clock::now() >= deadline) return false;
    usleep(1000);
  }
  return true;
}

bool StopChild(pid_t pid) {
  kill(pid, SIGTERM);
  int status = 0;
  return waitpid(pid, &status, 0) == pid;
}

bool LinkIsUp(const char* name) {
  const std::string flags = ReadText(std::string("/sys/class/net/") + name + "/flags");
  return !flags.empty() && (strtoul(flags.c_str(), nullptr, 16) & 1) != 0;
}

Times BareSingBox(const std::string& config) {
  Times times;
  const auto start = Clock::now();
  const std::string binary = tessary::linux_service::kSingBoxBinary;
  if (!RemoveKillSwitchTable() || !Ok({binary, "check", "-c", config})) return times;
  const pid_t pid = Spawn({binary, "run", "-c", config, "--disable-color"});
  if (pid < 0) return times;
  auto routed = [] {
    return Run({"/usr/sbin/ip", "-4", "route", "show", "table", "2022", "default"})
               .out.find("tessary-sbox0") != std::string::npos;
  };
  if (WaitUntil(routed, std::chrono::seconds(20))) times.up = MillisSince(start);
  const auto stop = Clock::now();
  if (RemoveKillSwitchTable() && StopChild(pid)) times.down = MillisSince(stop);
  return times;
}

Times BareXray(const std::string& config) {
  Times times;
  const auto start = Clock::now();
  const std::string binary = tessary::linux_service::kXrayBinary;
  if (!RemoveKillSwitchTable() || !Ok({binary, "run", "-test", "-config", config})) return times;
  const pid_t pid = Spawn({binary, "run", "-config", config});
  if (pid < 0) return times;
  const std::string ip = "/usr/sbin/ip";
  const bool up =
      WaitUntil([] { return LinkIsUp("tessary-xray0"); }, std::chrono::seconds(20)) &&
      Ok({ip, "-4", "address", "replace", "172.20.0.1/30", "dev", "tessary-xray0"}) &&
      Ok({ip, "-6", "address", "replace", "fdfe:dcba:9877::1/126", "dev", "tessary-xray0",
          "nodad"}) &&
      Ok({ip, "-4", "route", "replace", "default", "dev", "tessary-xray0", "table", "2023"}) &&
      Ok({ip, "-6", "route", "replace", "default", "dev", "tessary-xray0", "table", "2023"}) &&
      Ok({ip, "-4", "rule", "add", "priority", "9101", "not", "fwmark", "2023", "table", "2023"}) &&
      Ok({ip, "-4", "rule", "add", "priority", "9100", "table", "main", "suppress_prefixlength",
          "0"}) &&
      Ok({ip, "-6", "rule", "add", "priority", "9101", "not", "fwmark", "2023", "table", "2023"}) &&
      Ok({ip, "-6", "rule", "add", "priority", "9100", "table", "main", "suppress_prefixlength",
          "0"});
  if (up) times.up = MillisSince(start);
  const auto stop = Clock::now();
  const bool down = RemoveKillSwitchTable() && StopChild(pid) &&
                    Ok({ip, "-4", "rule", "delete", "priority", "9100"}) &&
                    Ok({ip, "-4", "rule", "delete", "priority", "9101"}) &&
                    Ok({ip, "-6", "rule", "delete", "priority", "9100"}) &&
                    Ok({ip, "-6", "rule", "delete", "priority", "9101"});
  if (down) times.down = MillisSince(stop);
  return times;
}

// The profile as the service writes it, into `path` (mode 0600).
bool WriteNormalized(const std::string& path, const std::string& text) {
  return g_file_set_contents(path.c_str(), text.c_str(), -1, nullptr) &&
         chmod(path.c_str(), 0600) == 0;
}

}  // namespace

int main() {
  tessary::test::RequireSandbox();
  const char* source = g_getenv("TESSARY_SOURCE_DIR");
  const std::string peers = std::string(source != nullptr ? source : ".") + "/tests/sandbox/peers";
  const std::string work = kWork;
  // The real sing-box and Xray at their fixed paths, as the package installs them.
  if (Sh("set -e; cd " + std::string(source != nullptr ? source : ".") +
         "; scripts/install-engines --where | while read -r name path; do install -D -m 0755 "
         "\"$path\" /usr/libexec/tessaryvpn/$name; done; : >/usr/libexec/tessaryvpn/geoip.dat; "
         ": >/usr/libexec/tessaryvpn/geosite.dat")
          .status != 0) {
    fprintf(stderr, "connect_bench: the engines are not built (scripts/install-engines).\n");
    return 1;
  }
  if (Sh("set -e; mkdir -p " + work + "/bare; " + peers + " outside; " + peers + " wireguard " +
         work + "; " + peers + " openvpn " + work + "; " + peers + " proxies " + work)
          .status != 0) {
    fprintf(stderr, "connect_bench: the test hosts did not come up.\n");
    return 1;
  }
  const std::string wireGuard = ReadText(work + "/wireguard.conf");
  const std::string openVpn = ReadText(work + "/openvpn.ovpn");
  const std::string singBox = ReadText(work + "/sing-box.json");
  const std::string xray = ReadText(work + "/xray.json");
  const std::string bareSingBox = work + "/bare/sing-box.json";
  const std::string bareXray = work + "/bare/xray.json";
  std::string normalizedSingBox;
  std::string normalizedXray;
  std::string error;
  if (!tessary::linux_service::NormalizeSingBoxConfig("shadowsocks", singBox, &normalizedSingBox,
                                                      &error) ||
      !tessary::linux_service::NormalizeXrayConfig(xray, &normalizedXray, &error) ||
      !WriteNormalized(bareSingBox, normalizedSingBox) ||
      !WriteNormalized(bareXray, normalizedXray)) {
    fprintf(stderr, "connect_bench: the proxy profiles did not normalize: %s\n", error.c_str());
    return 1;
  }
  // The bare engines get what the service would write: WireGuard without its
  // DNS line under the service's interface name, OpenVPN on the service's TUN.
  const std::string bareWireGuard = work + "/bare/tessaryvpn.conf";
  const std::string bareOpenVpn = work + "/bare/openvpn.ovpn";
  if (Sh("umask 077 && grep -v '^DNS' " + work + "/wireguard.conf > " + bareWireGuard +
         " && sed 's/^dev .*/dev tun-tessaryvpn/' " + work + "/openvpn.ovpn > " + bareOpenVpn)
          .status != 0) {
    return 1;
  }

  const int pid = tessary::test::StartService("/run/sandbox/bench-service.log");
  if (pid <= 0) {
    fprintf(stderr, "connect_bench: the service did not come up.\n");
    return 1;
  }
  GDBusConnection* bus = tessary::test::NewSystemBus();
  if (bus == nullptr) return 1;
  int status = 0;
  {
    tessary::test::SignalRecorder recorder(bus);
    struct Series {
      std::vector<double> up, down, bareUp, bareDown;
      void Add(const Times& service, const Times& bare) {
        up.push_back(service.up);
        down.push_back(service.down);
        bareUp.push_back(bare.up);
        bareDown.push_back(bare.down);
      }
    } wg, ovpn, sbox, xr;
    auto good = [](const Times& t) { return t.up >= 0 && t.down >= 0; };
    for (int i = -1; i < kRuns && status == 0; ++i) {  // run -1 warms up
      const Times bareWg = BareWireGuard(bareWireGuard);
      const Times serviceWg = ServiceRun(&recorder, bus, "wireGuard", wireGuard);
      const Times bareOvpn = BareOpenVpn(bareOpenVpn);
      const Times serviceOvpn = ServiceRun(&recorder, bus, "openVpn", openVpn);
      const Times bareSbox = BareSingBox(bareSingBox);
      const Times serviceSbox = ServiceRun(&recorder, bus, "shadowsocks", singBox);
      const Times bareXr = BareXray(bareXray);
      const Times serviceXr = ServiceRun(&recorder, bus, "xray", xray);
      if (!good(bareWg) || !good(serviceWg) || !good(bareOvpn) || !good(serviceOvpn) ||
          !good(bareSbox) || !good(serviceSbox) || !good(bareXr) || !good(serviceXr)) {
        fprintf(stderr, "connect_bench: run %d failed.\n", i);
        status = 1;
        break;
      }
      if (i < 0) continue;
      wg.up.push_back(serviceWg.up);
      wg.down.push_back(serviceWg.down);
      wg.bareUp.push_back(bareWg.up);
      wg.bareDown.push_back(bareWg.down);
      ovpn.up.push_back(serviceOvpn.up);
      ovpn.down.push_back(serviceOvpn.down);
      ovpn.bareUp.push_back(bareOvpn.up);
      ovpn.bareDown.push_back(bareOvpn.down);
      sbox.Add(serviceSbox, bareSbox);
      xr.Add(serviceXr, bareXr);
    }
    if (status == 0) {
      const double wgUp = Median(wg.up), wgBareUp = Median(wg.bareUp);
      const double wgDown = Median(wg.down), wgBareDown = Median(wg.bareDown);
      const double ovUp = Median(ovpn.up), ovBareUp = Median(ovpn.bareUp);
      const double ovDown = Median(ovpn.down), ovBareDown = Median(ovpn.bareDown);
      printf("connect_wireguard %.1f %.1f %.2f target<=1.3 ms\n", wgUp, wgBareUp, wgUp / wgBareUp);
      printf("disconnect_wireguard %.1f %.1f %.2f target<=1.3 ms\n", wgDown, wgBareDown,
             wgDown / wgBareDown);
      // A process engine's connect is judged by its excess over the bare
      // engine's: what the engine itself takes is no overhead of the service.
      printf("connect_openvpn %.3f %.3f %.3f target<=0.1 s(service-minus-bare)\n", ovUp / 1000,
             ovBareUp / 1000, (ovUp - ovBareUp) / 1000);
      printf("disconnect_openvpn %.1f %.1f %.2f target<=1.3 ms\n", ovDown, ovBareDown,
             ovDown / ovBareDown);
      for (const auto& [name, series] :
           {std::pair<const char*, const Series*>{"singbox", &sbox}, {"xray", &xr}}) {
        const double up = Median(series->up), bareUp = Median(series->bareUp);
        const double down = Median(series->down), bareDown = Median(series->bareDown);
        printf("connect_%s %.3f %.3f %.3f target<=0.1 s(service-minus-bare)\n", name, up / 1000,
               bareUp / 1000, (up - bareUp) / 1000);
        printf("disconnect_%s %.1f %.1f %.2f target<=1.3 ms\n", name, down, bareDown,
               down / bareDown);
      }
      fprintf(stderr, "connect_bench: medians of %d runs each\n", kRuns);
    }
  }
  g_object_unref(bus);
  if (tessary::test::StopService(pid) != 0) status = 1;
  return status;
}
