// The IPC message definitions this application serves, listens to and sends.
// Thread safety: each function returns a reference to an immutable definition built on first use.
#pragma once

#include "kest/ipc/IpcTypes.h"

namespace IpcDefinitions {

const Ipc::IpcMessageDefinition& zemPropertyRequest();    // "request" ay in, "response" ay out
const Ipc::IpcMessageDefinition& zemPropertyUpdate();     // "request" ay in, "response" ay out
const Ipc::IpcMessageDefinition& ping();                  // "status" x out
const Ipc::IpcMessageDefinition& monitorProperty();       // "property" s in, "result" x out
const Ipc::IpcMessageDefinition& readStringProperty();    // self-diagnosis; "property" s in, "value" s out
const Ipc::IpcMessageDefinition& jobAppeared();           // "jobLocation" s in, "status" x out
const Ipc::IpcMessageDefinition& getSwVersion();          // self-diagnosis; "major", "minor", "patch" x out
const Ipc::IpcMessageDefinition& getComponentLogLevel();  // self-diagnosis; "level" x out
const Ipc::IpcMessageDefinition& setComponentLogLevel();  // self-diagnosis; "level" x in, "result" x out
const Ipc::IpcMessageDefinition& propertyValueChanged();  // signal; "property" s, "value" s
const Ipc::IpcMessageDefinition& zemVehicleProperty();    // signal; "property" ay

}  // namespace IpcDefinitions
