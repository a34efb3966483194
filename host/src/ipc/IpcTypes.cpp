// Message definitions and parameter values of the IPC contract.
#include "kest/ipc/IpcTypes.h"

namespace Ipc {

namespace {
const std::string kZemInterface = "com.olvane.Zem";
const std::string kSelfDiagInterface = "com.olvane.SelfDiag";
const std::string kVehicleBusInterface = "com.olvane.VehicleBus";
const std::string kVehicleBusObject = "/com/olvane/VehicleBus";
const std::string kOwnObject;
}  // namespace

IpcMessageDefinition::IpcMessageDefinition(Kind kind, std::string name, std::vector<IpcParameterDefinition> parameters)
    : kind_(kind), name_(std::move(name)), parameters_(std::move(parameters)) {}

const std::string& IpcMessageDefinition::getInterface() const {
  switch (kind_) {
    case Kind::ZemSelfDiag:
      return kSelfDiagInterface;
    case Kind::VehicleBus:
      return kVehicleBusInterface;
    case Kind::Zem:
      break;
  }
  return kZemInterface;
}

const std::string& IpcMessageDefinition::getObjectPath() const {
  return kind_ == Kind::VehicleBus ? kVehicleBusObject : kOwnObject;
}

std::string IpcMessageDefinition::getKey() const { return getInterface() + "." + name_; }

std::string IpcMessageDefinition::toString() const { return "IpcMessageDefinition{" + getKey() + "}"; }

// Two definitions are the same message when they name the same member of the same interface; the
// parameter lists describe that message and take no part in its identity.
bool IpcMessageDefinition::operator==(const IpcMessageDefinition& other) const {
  return kind_ == other.kind_ && name_ == other.name_;
}

std::unique_ptr<IpcParameter> IpcStringParameter::clone() const {
  return std::make_unique<IpcStringParameter>(getName(), value_);
}

std::unique_ptr<IpcParameter> IpcIntegerParameter::clone() const {
  return std::make_unique<IpcIntegerParameter>(getName(), value_);
}

std::unique_ptr<IpcParameter> IpcByteFieldParameter::clone() const {
  return std::make_unique<IpcByteFieldParameter>(getName(), bytes_);
}

std::unique_ptr<IpcParameter> IpcUnsupportedParameter::clone() const {
  return std::make_unique<IpcUnsupportedParameter>(getName(), signature_);
}

IpcParameterSet::IpcParameterSet(const IpcParameterSet& other) {
  for (const auto& entry : other.parameters_) parameters_.emplace(entry.first, entry.second->clone());
}

IpcParameterSet& IpcParameterSet::operator=(const IpcParameterSet& other) {
  if (this != &other) {
    IpcParameterSet copy(other);  // built completely before this set changes
    parameters_ = std::move(copy.parameters_);
  }
  return *this;
}

void IpcParameterSet::add(std::unique_ptr<IpcParameter> parameter) {
  if (parameter == nullptr) throw IpcException("Cannot add a null parameter");
  std::string name = parameter->getName();
  parameters_[name] = std::move(parameter);
}

const IpcParameter* IpcParameterSet::find(const std::string& name) const {
  const auto it = parameters_.find(name);
  return it == parameters_.end() ? nullptr : it->second.get();
}

}  // namespace Ipc
