#include "ipc/IpcDefinitions.h"

namespace IpcDefinitions {
namespace {

using Ipc::IpcParameterDirection;
using Ipc::IpcParameterType;

constexpr auto kIn = IpcParameterDirection::In;
constexpr auto kOut = IpcParameterDirection::Out;
constexpr auto kString = IpcParameterType::String;
constexpr auto kInteger = IpcParameterType::Integer;
constexpr auto kBytes = IpcParameterType::ByteField;
// No property is named by more than 1 KiB.
constexpr std::size_t kMaxPropertyNameBytes = 1024;
// The largest XML document any reader takes.
constexpr std::size_t kMaxDocumentBytes = 32u * 1024 * 1024;
// A longer path names no file (PATH_MAX).
constexpr std::size_t kMaxPathBytes = 4096;

}  // namespace

const Ipc::IpcMessageDefinition& zemPropertyRequest() {
  static const Ipc::ZemMessageDefinition d("ZemPropertyRequest",
                                           {{"request", kBytes, kIn, kMaxDocumentBytes}, {"response", kBytes, kOut}});
  return d;
}
const Ipc::IpcMessageDefinition& zemPropertyUpdate() {
  static const Ipc::ZemMessageDefinition d("ZemPropertyUpdate",
                                           {{"request", kBytes, kIn, kMaxDocumentBytes}, {"response", kBytes, kOut}});
  return d;
}
const Ipc::IpcMessageDefinition& ping() {
  static const Ipc::ZemMessageDefinition d("Ping", {{"status", kInteger, kOut}});
  return d;
}
const Ipc::IpcMessageDefinition& monitorProperty() {
  static const Ipc::ZemMessageDefinition d(
      "MonitorProperty", {{"property", kString, kIn, kMaxPropertyNameBytes}, {"result", kInteger, kOut}});
  return d;
}
const Ipc::IpcMessageDefinition& readStringProperty() {
  static const Ipc::ZemSelfDiagMessageDefinition d(
      "ReadStringProperty", {{"property", kString, kIn, kMaxPropertyNameBytes}, {"value", kString, kOut}});
  return d;
}
const Ipc::IpcMessageDefinition& jobAppeared() {
  static const Ipc::ZemMessageDefinition d("JobAppeared",
                                           {{"jobLocation", kString, kIn, kMaxPathBytes}, {"status", kInteger, kOut}});
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
