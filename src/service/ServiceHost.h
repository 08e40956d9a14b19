// The service host's operations: the process entry, installation and removal, service main
// and the control handler, the arrival filter and the worker.
#pragma once

#include "service/UpgradeService.h"

#include <cstdint>
#include <string_view>

namespace tarn::service {

// The context serviceMain works with: the dispatcher calls it with no way to pass one.
void setHostContext(HostContext* host);

// The executable's whole run, with the runner's bounds its main chose.
int runServiceProcess(int argc, char** argv, const upgrade::RunnerBounds& bounds);
// The process entry: exit code 0 or -1.
int processEntry(HostContext& host, int argc, char** argv);

// 0 when the service was created (deleted), 1 otherwise.
int installService(HostContext& host);
int uninstallService(HostContext& host);

void serviceMain(std::uint32_t argc, wchar_t** argv);
int initializeService(UpgradeService& service);
int registerStart(UpgradeService& service);
std::uint32_t controlHandler(std::uint32_t control, std::uint32_t eventType, void* eventData,
                             void* context);
// `reportStoppedLast`: called off the control handler's thread, which the process's end does not
// wait for, the stopped report comes after the last message.
void onStop(UpgradeService& service, bool reportStoppedLast = false);

// 0 when the Tarn arrived and an event was queued, 1 otherwise.
int onDeviceArrival(const void* eventData, UpgradeService& service);
// The filter itself, for a device-interface name of the class `interfaceClass`, from an
// arrival or from a look at the attached devices: 0 when it queued an event, 1 otherwise.
// `dfuModeOnly` passes on only a Tarn in DFU mode (the look at start).
int filterArrival(const platform::Guid& interfaceClass, std::wstring_view name,
                  UpgradeService& service, bool dfuModeOnly = false);

// Sends each present interface of the Tarn's class through the arrival filter (only the Tarns in
// DFU mode with `dfuModeOnly`, as the worker does once at start).
void lookForAttachedTarns(UpgradeService& service, bool dfuModeOnly);

// The registry record a pass ends with: the service's version, and for each Tarn the listing
// showed its firmware, mode and when it was seen, with the pass's outcome, package and time on
// the Tarn the pass acted on. `outcome` is the pass's: the listing's when it failed, else the
// upgrade's. Nothing the registry does changes the pass.
void recordPass(HostContext& host, const upgrade::TarnUpgradeProcess& engine, std::int32_t outcome);

// The worker thread: takes arrivals oldest first, one upgrade pass each, for ever.
std::uint32_t upgradeWorker(void* parameter);
// One turn of the worker: waits for an arrival and runs its pass, or for a request and looks
// for the attached Tarns.
void handleNextArrival(UpgradeService& service);

} // namespace tarn::service
