// Supervision of the long-running engines, their record and start-up wait.
#include "service/process_supervision.h"

#include <fcntl.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "common/constants.h"
#include "service/engine_files.h"
#include "service/route_listing.h"

namespace tessary::linux_service {
namespace {

// How long SIGKILL may take to end a process that is not our child.
constexpr std::chrono::milliseconds kKillGrace{2000};

}  // namespace

// ---- process supervision ---------------------------------------------------

// What /proc/PID/stat says about a process: its state letter and its start
// time (field 22, clock ticks after boot). Both follow the last ")", since
// the command name in parentheses may itself contain blanks or brackets.
namespace {

struct ProcessStat {
  char state = '\0';
  unsigned long long startTime = 0;
};

// Neither a zombie nor dead.
bool IsRunning(const ProcessStat& stat) { return stat.state != 'Z' && stat.state != 'X'; }

bool ReadProcessStat(const std::string& pid, ProcessStat* stat) {
  g_autofree gchar* contents = nullptr;
  if (!g_file_get_contents(("/proc/" + pid + "/stat").c_str(), &contents, nullptr, nullptr)) {
    return false;
  }
  const char* close = strrchr(contents, ')');
  if (close == nullptr || close[1] != ' ' || close[2] == '\0') return false;
  g_auto(GStrv) fields = g_strsplit(close + 2, " ", 0);
  // Field 3 (the state) is fields[0], so field 22 is fields[19].
  if (g_strv_length(fields) < 20 || fields[0][0] == '\0') return false;
  guint64 startTime = 0;
  if (!g_ascii_string_to_unsigned(fields[19], 10, 0, G_MAXUINT64, &startTime, nullptr)) {
    return false;
  }
  stat->state = fields[0][0];
  stat->startTime = startTime;
  return true;
}

}  // namespace

bool ProcessIsAlive(GSubprocess* process) {
  const char* identifier = g_subprocess_get_identifier(process);
  if (identifier == nullptr || *identifier == '\0') return false;
  ProcessStat stat;
  return ReadProcessStat(identifier, &stat) && IsRunning(stat);
}

bool WaitForProcess(GSubprocess* process, std::chrono::milliseconds timeout) {
  g_autoptr(GCancellable) cancellable = g_cancellable_new();
  std::mutex mutex;
  std::condition_variable condition;
  bool finished = false;
  std::thread watchdog([&] {
    std::unique_lock<std::mutex> lock(mutex);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    condition.wait_until(lock, deadline, [&] { return finished; });
    if (!finished) g_cancellable_cancel(cancellable);
  });
  g_autoptr(GError) waitError = nullptr;
  bool ended = g_subprocess_wait(process, cancellable, &waitError);
  {
    std::lock_guard<std::mutex> lock(mutex);
    finished = true;
  }
  condition.notify_all();
  watchdog.join();
  return ended;
}

// Ends an engine that failed to start: SIGTERM, the grace period, then SIGKILL.
void TerminateProcess(GSubprocess* process) {
  if (ProcessIsAlive(process)) g_subprocess_send_signal(process, SIGTERM);
  if (!WaitForProcess(process, kStopGrace)) {
    g_subprocess_force_exit(process);
    g_subprocess_wait(process, nullptr, nullptr);
  }
}

// ---- the record of a running process engine ---------------------------------

namespace {

// A service killed outright leaves its engine running, reparented and out of
// reach of the next run's GSubprocess. The record lets that run find it and
// stop it, but only while the pid still names the same process.
struct EngineRecord {
  EngineKind kind = kUnsupported;
  pid_t pid = 0;
  unsigned long long startTime = 0;
};

constexpr gsize kEngineRecordMaxBytes = 128;

}  // namespace

// Writes "KIND PID STARTTIME\n". A child that is already gone needs no record.
bool WriteEngineRecord(EngineKind kind, GSubprocess* child, std::string* error) {
  const char* identifier = g_subprocess_get_identifier(child);
  ProcessStat stat;
  if (identifier == nullptr || !ReadProcessStat(identifier, &stat)) return true;
  return WritePrivateFile(kEngineRecord,
                          std::to_string(static_cast<int>(kind)) + " " + identifier + " " +
                              std::to_string(stat.startTime) + "\n",
                          error);
}

namespace {

// False when there is no record or it is not one this service wrote. The
// open never blocks and never follows a link, like every private-file open.
bool ReadEngineRecord(EngineRecord* record) {
  g_auto(Descriptor) fd = open(kEngineRecord, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  char buffer[kEngineRecordMaxBytes + 1];
  ssize_t size = IsRegularDescriptor(fd) ? read(fd, buffer, kEngineRecordMaxBytes) : -1;
  if (size <= 0) return false;
  buffer[size] = '\0';
  g_auto(GStrv) fields = g_strsplit_set(g_strchomp(buffer), " ", 0);
  guint64 kind = 0;
  guint64 pid = 0;
  guint64 startTime = 0;
  if (g_strv_length(fields) != 3 ||
      !g_ascii_string_to_unsigned(fields[0], 10, kSingBox, kOpenVpn, &kind, nullptr) ||
      kind == kWireGuard ||
      !g_ascii_string_to_unsigned(fields[1], 10, 2, G_MAXINT32, &pid, nullptr) ||
      !g_ascii_string_to_unsigned(fields[2], 10, 0, G_MAXUINT64, &startTime, nullptr)) {
    return false;
  }
  record->kind = static_cast<EngineKind>(kind);
  record->pid = static_cast<pid_t>(pid);
  record->startTime = startTime;
  return true;
}

// Called directly: this C library's <sys/pidfd.h> lacks C linkage for C++.
int OpenPidfd(pid_t pid) { return static_cast<int>(syscall(SYS_pidfd_open, pid, 0)); }
void SignalPidfd(int pidfd, int signal) {
  syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0);
}

// Waits up to `timeout` for the process behind `pidfd` to end.
bool WaitForPidfd(int pidfd, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    struct pollfd ready = {pidfd, POLLIN, 0};
    int result = poll(&ready, 1, static_cast<int>(std::max<long long>(left.count(), 0)));
    if (result > 0) return true;
    if (result == 0 || errno != EINTR) return false;
  }
}

// Whether the recorded pid still names the engine the record was written for:
// the same start time, still running, still the engine's program (also after
// a package update replaced the file it runs from).
bool IsRecordedEngine(const EngineRecord& record, const char* program) {
  ProcessStat stat;
  const std::string pid = std::to_string(record.pid);
  if (!ReadProcessStat(pid, &stat) || stat.startTime != record.startTime || !IsRunning(stat)) {
    return false;
  }
  g_autofree gchar* executable = g_file_read_link(("/proc/" + pid + "/exe").c_str(), nullptr);
  if (executable == nullptr) return false;
  const std::string running = executable;
  return running == program || running == std::string(program) + " (deleted)";
}

}  // namespace

// Stops the engine an earlier run of the service recorded, as StopProcess
// would, when it is still that engine; anything else the pid now names is
// left alone. The record goes unless the engine could not be ended.
bool StopOrphanEngine(std::string* error) {
  EngineRecord record;
  const ProcessEngine* engine = nullptr;
  if (ReadEngineRecord(&record)) engine = ProcessEngineFor(record.kind);
  // Holding a pidfd pins the process: once the checks pass, the signals
  // cannot reach another process that reused the pid.
  g_auto(Descriptor) pidfd = engine != nullptr ? OpenPidfd(record.pid) : -1;
  if (pidfd >= 0 && IsRecordedEngine(record, engine->argv[0])) {
    SignalPidfd(pidfd, SIGTERM);
    bool endedInTime = WaitForPidfd(pidfd, kStopGrace);
    bool ended = endedInTime;
    if (!endedInTime) {
      SignalPidfd(pidfd, SIGKILL);
      ended = WaitForPidfd(pidfd, kKillGrace);
    }
    if (!ended) {
      *error = std::string(EngineName(record.kind)) +
               " left running by an earlier run of the service could not be stopped.";
      return false;
    }
    if (!endedInTime) {
      std::string scratch;
      SecureRemoveFile(kEngineRecord, &scratch);
      *error = std::string(EngineName(record.kind)) +
               " required forced termination; route cleanup needs verification.";
      return false;
    }
  }
  return SecureRemoveFile(kEngineRecord, error);
}

// Everything a process engine runs from: its files and its record.
bool RemoveProcessEngineFiles(EngineKind kind, std::string* error) {
  std::string recordError;
  const bool recordRemoved = SecureRemoveFile(kEngineRecord, &recordError);
  const ProcessEngine* engine = ProcessEngineFor(kind);
  if (engine != nullptr && engine->clearRouting != nullptr && !engine->clearRouting(error)) {
    return false;
  }
  if (!RemoveConfigFor(kind, error)) return false;
  if (!recordRemoved) *error = recordError;
  return recordRemoved;
}

namespace {

// ---- start-up wait ----------------------------------------------------------

// A socket on the kernel's link, address, route and rule notifications, so
// that the start-up wait looks again the moment the engine changes any of
// them. -1 when none can be had: the wait then looks at fixed intervals.
int OpenRouteMonitor() {
  int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) return -1;
  struct sockaddr_nl address {};
  address.nl_family = AF_NETLINK;
  address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                      RTMGRP_IPV6_ROUTE | RTMGRP_IPV4_RULE;
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  const int ipv6Rules = RTNLGRP_IPV6_RULE;
  setsockopt(fd, SOL_NETLINK, NETLINK_ADD_MEMBERSHIP, &ipv6Rules, sizeof ipv6Rules);
  return fd;
}

// Reads what is queued on a non-blocking descriptor; the messages only say
// that something changed. A full netlink queue (ENOBUFS) says the same.
void DrainQueued(int fd) {
  char buffer[8192];
  for (int reads = 0; reads < 64; ++reads) {
    if (read(fd, buffer, sizeof buffer) < 0 && errno != ENOBUFS) return;
  }
}

// Watches the directory of the engine's all-routes-added sign, so that the
// wait looks again the moment it appears; -1 for an engine without one, or
// when no watch can be had: the sign is then seen at the next look.
int OpenRoutesAddedWatch(const ProcessEngine& entry) {
  if (entry.routesAdded == nullptr) return -1;
  int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return -1;
  g_autofree char* directory = g_path_get_dirname(entry.routesAdded);
  if (inotify_add_watch(fd, directory, IN_CREATE | IN_MOVED_TO) < 0) {
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

// Waits, up to the engine's start-up bound, for its interface and the full
// route through it, waking on the kernel's notifications and on the engine's
// exit; an engine that exits is reported at once.
StartupOutcome WaitForStartup(const ProcessEngine& entry, GSubprocess* child,
                              const std::function<bool()>& cancelled,
                              const std::function<bool()>& tunnelReady, std::string* error) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + entry.startupBound;
  g_auto(Descriptor) monitor = OpenRouteMonitor();
  g_auto(Descriptor) routesAdded = OpenRoutesAddedWatch(entry);
  const char* identifier = g_subprocess_get_identifier(child);
  g_auto(Descriptor) pidfd =
      identifier != nullptr ? OpenPidfd(static_cast<pid_t>(atoi(identifier))) : -1;
  bool routed = entry.routeTunnel == nullptr;
  bool look = true;
  auto lastLook = Clock::now();
  while (true) {
    if (cancelled()) return StartupOutcome::kCancelled;
    if (!ProcessIsAlive(child)) return StartupOutcome::kExited;
    if (look || Clock::now() - lastLook >= kStartupRecheck) {
      look = false;
      lastLook = Clock::now();
      if (InterfacePresent(entry.interfacePath)) {
        if (!routed) {
          std::string routeError;
          routed = entry.routeTunnel(&routeError);
        }
        if (routed && tunnelReady()) return StartupOutcome::kReady;
      }
    }
    const auto now = Clock::now();
    if (now >= deadline) return StartupOutcome::kTimedOut;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now);
    struct pollfd ready[3] = {{monitor, POLLIN, 0}, {pidfd, POLLIN, 0}, {routesAdded, POLLIN, 0}};
    const int result = poll(
        ready, 3, static_cast<int>(std::min<long long>(left.count() + 1, kStartupSlice.count())));
    if (result < 0 && errno != EINTR) {
      *error = "Unable to wait for the VPN engine: " + ErrnoText(errno) + ".";
      return StartupOutcome::kFailed;
    }
    if (result > 0 && (ready[0].revents & POLLIN) != 0) {
      DrainQueued(monitor);
      look = true;
    }
    if (result > 0 && (ready[1].revents & POLLIN) != 0) look = true;
    if (result > 0 && (ready[2].revents & POLLIN) != 0) {
      DrainQueued(routesAdded);
      look = true;
    }
    if (monitor < 0) look = true;
  }
}

}  // namespace tessary::linux_service
