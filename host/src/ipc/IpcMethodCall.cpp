// Logging of parameter errors raised while a servlet reads its request.
#include "kest/ipc/IpcMethodCall.h"

#include "kest/ApplicationLogger.h"

namespace Ipc {

void IpcMethodCallRequest::logParameterError(const std::string& text) { ZEM_ERROR(text); }

}  // namespace Ipc
