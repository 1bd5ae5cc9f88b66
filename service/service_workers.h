// The connect and disconnect worker threads of tessaryvpn-service and the
// shutdown's wait for them; they publish through the state.
#pragma once

#include <cstdint>
#include <string>

#include "service/engine_runtime.h"
#include "service/service_state.h"

namespace tessary::linux_service {

// Work item of one connect worker; created by the Connect handler and owned
// and destroyed by the worker, which wipes rawConfig on every path.
struct ConnectRequest {
  Service* service = nullptr;  // not owned
  uint64_t generation = 0;
  EngineKind kind = kUnsupported;
  std::string id;
  std::string protocol;
  std::string rawConfig;
  bool killSwitch = false;
};

// True once the request's work is overtaken by a newer operation or shutdown.
bool ConnectCancelled(const Service* service, uint64_t generation);
// Both take ownership of what they are given and run on their own thread.
void ConnectWorker(ConnectRequest* request);
void DisconnectWorker(Service* service);
// Stage "error" with the reason; the summary tells a tunnel that stopped
// carrying traffic from an engine that ended.
void ReportEngineLoss(Service* service, EngineLoss loss, const std::string& message);
// Stops an engine whose tunnel was lost on a worker thread of its own, which
// holds a worker slot, and reports the loss unless a newer operation came.
void StartLostEngineStop(Service* service, const std::string& message);
// Waits until no worker runs, serving the main context in short slices
// meanwhile.
void WaitForWorkers(Service* service);

}  // namespace tessary::linux_service
