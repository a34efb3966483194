// A whole task container through the intake path: the input is a container file in the inbox,
// handed to the intake as an announcement would, and the task built from it (if any) runs to its
// result package. The device starts each input from its factory state, so runs stay reproducible.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "DatabaseTestAccess.h"
#include "FuzzSupport.h"
#include "database/Database.h"
#include "jobs/ProcessTaskRequest.h"
#include "jobs/Quarantine.h"
#include "jobs/ZemTaskExecutionQueue.h"
#include "kest/DevicePaths.h"
#include "kest/File.h"
#include "kest/TrustBoundaries.h"
#include "kolconfig/XSDEnumException.h"
#include "properties/ProvisioningAdapterMap.h"

namespace {

ZemTaskExecutionQueue*& queue() {
  static ZemTaskExecutionQueue* q = nullptr;
  return q;
}

// Puts the device back in its factory state: no installed configuration or store, nothing in the
// inbox, the outbox, the quarantine or the queue's storage.
void resetDevice() {
  for (const std::string& folder :
       {DevicePaths::inboxFolder(), DevicePaths::outboxFolder(), DevicePaths::installedConfigFolder(),
        DevicePaths::storeFolder(), Quarantine::folder(), queue()->getStoragePath()}) {
    File(folder).remove();
  }
  File(DevicePaths::inboxFolder()).mkdirs();
  DatabaseTestAccess::reset();
  ProvisioningAdapterMap().release();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zem_fuzz::makeDevice();
  // Unsigned containers run, as on a development unit, so the fuzzer reaches every parser.
  TrustBoundaries::Settings trust;
  trust.developmentMode = true;
  TrustBoundaries::set(trust);
  static ZemTaskExecutionQueue q(nullptr, 10, /*startWorker=*/false);
  queue() = &q;
  resetDevice();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string container = DevicePaths::inboxFolder() + "/job.zip";
  zem_fuzz::writeFile(container, zem_fuzz::text(data, size));
  try {
    ProcessTaskRequest(*queue(), nullptr, container).execute();
  } catch (const XSDEnumException&) {
    // An index naming an unknown entry type: the container is kept for a later start-up.
  }
  queue()->runPending();
  resetDevice();
  return 0;
}
