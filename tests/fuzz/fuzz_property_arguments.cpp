// The "property" argument of MonitorProperty and ReadStringProperty, on the device's default
// configuration. The first byte picks the call (monitor, read, read answered at once); the rest is
// the name. Every call must answer: a "result" for a monitor, a "value" for a read.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "ipc/IpcDefinitions.h"
#include "ipc/IpcMessageMonitorPropertyHandler.h"
#include "ipc/ReadStringPropertyHandler.h"
#include "kest/ipc/IpcMethodCall.h"

namespace {

std::unique_ptr<IpcMessageMonitorPropertyHandler>& monitor() {
  static std::unique_ptr<IpcMessageMonitorPropertyHandler> handler;
  return handler;
}

std::unique_ptr<ReadStringPropertyHandler>& reader() {
  static std::unique_ptr<ReadStringPropertyHandler> handler;
  return handler;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zem_fuzz::makeDevice();
  // Built as the host builds them at start-up; the reader loads the installed configuration.
  monitor() = std::make_unique<IpcMessageMonitorPropertyHandler>(IpcDefinitions::monitorProperty(), nullptr);
  reader() = std::make_unique<ReadStringPropertyHandler>(IpcDefinitions::readStringProperty(), nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  Ipc::IpcParameterSet in;
  in.add(std::make_unique<Ipc::IpcStringParameter>("property", zem_fuzz::text(data + 1, size - 1)));
  const Ipc::IpcMethodCallRequest request(std::move(in), "fuzz");
  Ipc::IpcMethodCallResponse response;
  switch (data[0] % 3) {
    case 0: {
      monitor()->processMethodCall(monitor()->getDefinition(), request, response);
      const auto* result = dynamic_cast<const Ipc::IpcIntegerParameter*>(response.getParameters().find("result"));
      if (result == nullptr) std::abort();
      return 0;
    }
    case 1:
      reader()->processMethodCall(reader()->getDefinition(), request, response);
      break;
    default:
      if (!reader()->processMethodCallAtOnce(reader()->getDefinition(), request, response)) return 0;
      break;
  }
  if (dynamic_cast<const Ipc::IpcStringParameter*>(response.getParameters().find("value")) == nullptr) std::abort();
  return 0;
}
