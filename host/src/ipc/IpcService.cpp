// The process-wide IPC service pointer set by the host.
#include "kest/ipc/IpcService.h"

#include <atomic>

namespace Ipc {

namespace {
std::atomic<IpcService*> gInstance{nullptr};
}  // namespace

IpcService* IpcService::getInstance() { return gInstance.load(std::memory_order_acquire); }

void IpcService::setInstance(IpcService* service) { gInstance.store(service, std::memory_order_release); }

}  // namespace Ipc
