// Internal to the engine runtime: supervision of the long-running engines,
// the record that lets a later run stop an engine a killed run left behind,
// and the start-up wait.
#pragma once

#include <gio/gio.h>

#include <chrono>
#include <functional>
#include <string>

#include "service/engine_kind.h"
#include "service/process_engines.h"

namespace tessary::linux_service {

inline constexpr std::chrono::milliseconds kStopGrace{8000};
// How often the start-up wait looks at the cancellation flag, and how long it
// goes without looking at routes when the kernel reports no change.
inline constexpr std::chrono::milliseconds kStartupSlice{50};
inline constexpr std::chrono::milliseconds kStartupRecheck{500};

bool ProcessIsAlive(GSubprocess* process);
bool WaitForProcess(GSubprocess* process, std::chrono::milliseconds timeout);
// Ends an engine that failed to start: SIGTERM, the grace period, then SIGKILL.
void TerminateProcess(GSubprocess* process);
// Writes "KIND PID STARTTIME\n". A child that is already gone needs no record.
bool WriteEngineRecord(EngineKind kind, GSubprocess* child, std::string* error);
bool StopOrphanEngine(std::string* error);
// Everything a process engine runs from: its files and its record.
bool RemoveProcessEngineFiles(EngineKind kind, std::string* error);

enum class StartupOutcome { kReady, kExited, kCancelled, kTimedOut, kFailed };

StartupOutcome WaitForStartup(const ProcessEngine& entry, GSubprocess* child,
                              const std::function<bool()>& cancelled,
                              const std::function<bool()>& tunnelReady, std::string* error);

}  // namespace tessary::linux_service
