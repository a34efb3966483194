#include "IpcDefinitions.h"

namespace IpcDefinitions {
namespace {

using Ipc::IpcParameterDirection;
using Ipc::IpcParameterType;

constexpr auto kIn = IpcParameterDirection::In;
constexpr auto kOut = IpcParameterDirection::Out;
constexpr auto kString = IpcParameterType::String;
constexpr auto kInteger = IpcParameterType::Integer;
constexpr auto kBytes = IpcParameterType::ByteField;

}  // namespace

const Ipc::IpcMessageDefinition& zemPropertyRequest() {
  static const Ipc::ZemMessageDefinition d("ZemPropertyRequest",
                                           {{"request", kBytes, kIn}, {"response", kBytes, kOut}});
  return d;
}
const Ipc::IpcMessageDefinition& zemPropertyUpdate() {
  static const Ipc::ZemMessageDefinition d("ZemPropertyUpdate", {{"request", kBytes, kIn}, {"response", kBytes, kOut}});
  return d;
}
const Ipc::IpcMessageDefinition& ping() {
  static const Ipc::ZemMessageDefinition d("Ping", {{"status", kInteger, kOut}});
  return d;
}
const Ipc::IpcMessageDefinition& monitorProperty() {
  static const Ipc::ZemMessageDefinition d("MonitorProperty", {{"property", kString, kIn}, {"result", kInteger, kOut}});
  return d;
}
const Ipc::IpcMessageDefinition& readStringProperty() {
  static const Ipc::ZemSelfDiagMessageDefinition d("ReadStringProperty",
                                                   {{"property", kString, kIn}, {"value", kString, kOut}});
  return d;
}
const Ipc::IpcMessageDefinition& jobAppeared() {
  static const Ipc::ZemMessageDefinition d("JobAppeared", {{"jobLocation", kString, kIn}, {"status", kInteger, kOut}});
  return d;
}
const Ipc::IpcMessageDefinition& getSwVersion() {
  static const Ipc::ZemSelfDiagMessageDefinition d(
      "GetSwVersion", {{"major", kInteger, kOut}, {"minor", kInteger, kOut}, {"patch", kInteger, kOut}});
  return d;
}
const Ipc::IpcMessageDefinition& getComponentLogLevel() {
  static const Ipc::ZemSelfDiagMessageDefinition d("GetComponentLogLevel", {{"level", kInteger, kOut}});
  return d;
}
const Ipc::IpcMessageDefinition& setComponentLogLevel() {
  static const Ipc::ZemSelfDiagMessageDefinition d("SetComponentLogLevel",
                                                   {{"level", kInteger, kIn}, {"result", kInteger, kOut}});
  return d;
}
const Ipc::IpcMessageDefinition& propertyValueChanged() {
  static const Ipc::ZemMessageDefinition d("PropertyValueChanged",
                                           {{"property", kString, kOut}, {"value", kString, kOut}});
  return d;
}
const Ipc::IpcMessageDefinition& zemVehicleProperty() {
  static const Ipc::ZemMessageDefinition d("ZemVehicleProperty", {{"property", kBytes, kOut}});
  return d;
}

}  // namespace IpcDefinitions
