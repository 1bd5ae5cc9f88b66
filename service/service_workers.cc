// The connect and disconnect worker threads of tessaryvpn-service.
#include "service/service_workers.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>

#include "common/secure_clear.h"
#include "service/kill_switch.h"

namespace tessary::linux_service {
namespace {

// While draining workers at shutdown the main context is still served in
// short slices, so that callers arriving then are refused with ShuttingDown
// instead of waiting for a reply that never comes.
constexpr auto kDrainSlice = std::chrono::milliseconds(50);
constexpr int kDrainDispatchesPerSlice = 64;

// Ends a worker's share of the shutdown wait. Called with engineMutex held so
// that the wait cannot miss the last notification.
// Frees the worker slot, then publishes the worker's outcome: a caller that
// reacts to it is not answered Busy, and since Connect and Disconnect reserve
// the slot under the same lock, a new operation's first stage cannot come
// before this outcome.
void FinishWorker(Service* service, const std::function<void()>& publish = nullptr) {
  std::lock_guard<std::mutex> lock(service->workerMutex);
  service->activeWorkers.fetch_sub(1);
  if (publish) publish();
  service->workersIdle.notify_all();
}

struct LostEngineStop {
  Service* service;
  uint64_t generation;
  std::string message;
};

void LostEngineWorker(LostEngineStop* stop) {
  std::unique_ptr<LostEngineStop> owned(stop);
  Service* service = stop->service;
  std::unique_lock<std::mutex> engineLock(service->engineMutex);
  const EngineLoss loss = service->runtime.StopLostEngine(&stop->message);
  std::function<void()> publish;
  // A Disconnect or shutdown meanwhile owns the outcome.
  if (loss != EngineLoss::kNone && stop->generation == service->operationGeneration.load()) {
    publish = [service, loss, stop] { ReportEngineLoss(service, loss, stop->message); };
  }
  FinishWorker(service, publish);
  engineLock.unlock();
}

}  // namespace

// Stage "error" with the reason; the summary tells a tunnel that stopped
// carrying traffic from an engine that ended.
void ReportEngineLoss(Service* service, EngineLoss loss, const std::string& message) {
  const Snapshot snapshot = ReadSnapshot(service);
  SetSnapshot(service, Stage::kError, snapshot.activeProfileId, message, 0);
  EmitLog(service, "error",
          loss == EngineLoss::kEngineExited ? "The active VPN engine stopped unexpectedly."
                                            : "The VPN tunnel stopped carrying traffic.",
          message);
}

void StartLostEngineStop(Service* service, const std::string& message) {
  {
    std::lock_guard<std::mutex> workerLock(service->workerMutex);
    service->activeWorkers.fetch_add(1);
  }
  auto* stop = new LostEngineStop{service, service->operationGeneration.load(), message};
  GThread* thread = g_thread_new(
      "tessary-engine-lost",
      [](gpointer data) -> gpointer {
        LostEngineWorker(static_cast<LostEngineStop*>(data));
        return nullptr;
      },
      stop);
  g_thread_unref(thread);
}

void WaitForWorkers(Service* service) {
  std::unique_lock<std::mutex> lock(service->workerMutex);
  while (service->activeWorkers.load() != 0) {
    service->workersIdle.wait_for(lock, kDrainSlice);
    if (service->activeWorkers.load() == 0) break;
    lock.unlock();
    for (int i = 0; i < kDrainDispatchesPerSlice; ++i) {
      if (!g_main_context_iteration(nullptr, FALSE)) break;
    }
    lock.lock();
  }
}

bool ConnectCancelled(const Service* service, uint64_t generation) {
  return service->stopping.load() || service->operationGeneration.load() != generation;
}

void ConnectWorker(ConnectRequest* request) {
  std::unique_ptr<ConnectRequest> owned(request);
  Service* service = request->service;
  std::unique_lock<std::mutex> engineLock(service->engineMutex);

  std::function<void()> publish;
  if (request->generation != service->operationGeneration.load()) {
    // Overtaken before it began: whatever overtook it reports.
    SecureClear(&request->rawConfig);
  } else {
    SetSnapshot(service, Stage::kConnecting, request->id, "", 0);
    const uint64_t generation = request->generation;
    const std::function<bool()> cancelled = [service, generation] {
      return ConnectCancelled(service, generation);
    };
    std::string message;
    // A reconnect under the kill switch keeps a table in place throughout.
    const bool started =
        service->runtime.BridgeLeakProtection(request->kind, request->rawConfig,
                                              request->killSwitch, cancelled, &message) &&
        service->runtime.Start(request->kind, request->protocol, request->rawConfig, cancelled,
                               &message);
    const std::string engine = EngineName(request->kind);
    if (started) {
      service->cleanupHealthy.store(true);
      bool current = request->generation == service->operationGeneration.load();
      bool leakProtected = false;
      std::string leakMessage;
      if (current && request->killSwitch) {
        leakProtected =
            service->runtime.ApplyLeakProtection(request->rawConfig, cancelled, &leakMessage);
        // Server lookups take time; a Disconnect or shutdown meanwhile owns
        // the outcome, and this tunnel must not be reported as up.
        current = request->generation == service->operationGeneration.load();
      }
      SecureClear(&request->rawConfig);
      if (current) {
        if (request->killSwitch) {
          if (leakProtected) {
            EmitLog(service, "info", "Kill switch active for this tunnel.");
          } else {
            EmitLog(service, "warning", "Kill switch could not be applied: " + leakMessage);
          }
        }
        publish = [service, request, engine] {
          SetSnapshot(service, Stage::kConnected, request->id, "", NowEpochMillis());
          EmitLog(service, "info", engine + " tunnel connected.");
        };
      } else if (service->runtime.leakProtectionHeld) {
        // Whatever overtook this connect decides about the kill switch.
        service->cleanupHealthy.store(service->runtime.Recover(&message));
      } else {
        service->cleanupHealthy.store(service->runtime.Stop(&message));
      }
    } else {
      SecureClear(&request->rawConfig);
      std::string recoverMessage;
      const bool recovered = service->runtime.Recover(&recoverMessage);
      service->cleanupHealthy.store(recovered);
      if (!recovered) message += " The failed engine could not be fully cleaned up.";
      if (service->runtime.leakProtectionHeld) {
        message += std::string(" ") + kLeakProtectionHeldNote;
      }
      if (request->generation == service->operationGeneration.load()) {
        publish = [service, request, engine, message] {
          SetSnapshot(service, Stage::kError, request->id, message, 0);
          EmitLog(service, "error", engine + " connection failed.", message);
        };
      }
    }
  }

  FinishWorker(service, publish);
  engineLock.unlock();
}

void DisconnectWorker(Service* service) {
  std::unique_lock<std::mutex> engineLock(service->engineMutex);
  std::string message;
  const bool stopped = service->runtime.Stop(&message);
  service->cleanupHealthy.store(stopped);
  FinishWorker(service, [service, stopped, &message] {
    service->disconnectInProgress.store(false);
    if (stopped) {
      SetSnapshot(service, Stage::kDisconnected, "", "", 0);
      EmitLog(service, "info", "VPN tunnel disconnected.");
    } else {
      SetSnapshot(service, Stage::kError, "", message, 0);
      EmitLog(service, "error", "VPN disconnect cleanup failed.", message);
    }
  });
  engineLock.unlock();
}

}  // namespace tessary::linux_service
