// Property request and update documents as the IPC servlets receive them, on the device's default
// configuration and database. The first byte picks the call (request, request answered at once,
// update) and the caller; the rest is the document. Whatever the document, the answer must be a
// result document that zemctl reads and prints.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "PropertyDocuments.h"
#include "ResultTree.h"
#include "ipc/IpcDefinitions.h"
#include "ipc/IpcMessagePropertyRequestHandler.h"
#include "ipc/IpcMessagePropertyUpdateHandler.h"
#include "kest/ipc/IpcMethodCall.h"
#include "kolconfig/XPlusException.h"

namespace {

// Components a call may come from: owners of groups of the default configuration, nobody, a stranger.
const char* const kSenders[] = {"HMI", "DIAG", "ZEM_APP", "", ":1.42", "other"};

// The answer must be what zemctl expects: an IpcMessagePropertyResult it can read and print.
void checkAnswer(const Ipc::IpcMethodCallResponse& response) {
  const auto* answer = dynamic_cast<const Ipc::IpcByteFieldParameter*>(response.getParameters().find("response"));
  if (answer == nullptr) std::abort();
  try {
    const auto result = PropertyDocuments::result(answer->getValueAsString());
    if (result->element_value() != nullptr) static_cast<void>(ResultTree::format(*result->element_value()));
  } catch (const XPlus::Exception&) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zem_fuzz::makeDevice();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned call = data[0] % 3;
  const char* const sender = kSenders[(data[0] / 3) % (sizeof kSenders / sizeof kSenders[0])];
  Ipc::IpcParameterSet in;
  in.add(std::make_unique<Ipc::IpcByteFieldParameter>("request", zem_fuzz::text(data + 1, size - 1)));
  const Ipc::IpcMethodCallRequest request(std::move(in), sender);
  Ipc::IpcMethodCallResponse response;
  if (call == 2) {
    IpcMessagePropertyUpdateHandler handler(IpcDefinitions::zemPropertyUpdate(), nullptr);
    handler.processMethodCall(handler.getDefinition(), request, response);
  } else {
    IpcMessagePropertyRequestHandler handler(IpcDefinitions::zemPropertyRequest(), nullptr);
    if (call == 0 || !handler.processMethodCallAtOnce(handler.getDefinition(), request, response)) {
      handler.processMethodCall(handler.getDefinition(), request, response);
    }
  }
  checkAnswer(response);
  return 0;
}
