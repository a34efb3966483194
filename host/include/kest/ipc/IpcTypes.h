// Message definitions and typed parameters of the host's IPC contract.
// Thread safety: immutable value types; a definition or parameter may be shared across threads
// once built. IpcParameterSet is not synchronised: one owner at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "kest/Export.h"

namespace Ipc {

// Raised for every IPC contract violation: a missing parameter, a parameter of the wrong type,
// an unreachable peer, a refused registration.
class KEST_EXPORT IpcException : public std::runtime_error {
 public:
  explicit IpcException(const std::string& what) : std::runtime_error(what) {}
};

// Unsupported marks a received parameter whose transport type has no IPC counterpart (a D-Bus
// "i", "u", "b", ...): it keeps its name so that reading it raises the wrong-type error.
enum class IpcParameterType { String = 0, Integer = 1, ByteField = 2, Unsupported = 3 };
enum class IpcParameterDirection { In = 0, Out = 1 };

struct KEST_EXPORT IpcParameterDefinition {
  std::string name;
  IpcParameterType type;
  IpcParameterDirection direction;
  // The most bytes an "in" string or byte field may hold; 0 for no cap of its own. A transport
  // refuses a call carrying more before the value is copied. When every "in" string and byte field
  // of a definition has a cap, a parameter the definition does not declare is held to the largest
  // of them, and to kMaxUndeclaredValueBytes when it declares none; a definition declaring no
  // parameter at all leaves every value uncapped.
  std::size_t maxBytes = 0;
};

// The cap of an undeclared parameter of a definition that declares no "in" string or byte field.
constexpr std::size_t kMaxUndeclaredValueBytes = 1024;

// A message of a component. On D-Bus, a ZemMessageDefinition is a member of interface
// "com.olvane.Zem" and a ZemSelfDiagMessageDefinition of "com.olvane.SelfDiag", both served at the
// component's own object "/com/olvane/<component>"; a VehicleBusMessageDefinition is a member of
// "com.olvane.VehicleBus" served at the fixed object "/com/olvane/VehicleBus".
class KEST_EXPORT IpcMessageDefinition {
 public:
  enum class Kind { Zem, ZemSelfDiag, VehicleBus };

  IpcMessageDefinition(Kind kind, std::string name, std::vector<IpcParameterDefinition> parameters);
  virtual ~IpcMessageDefinition() = default;

  Kind getKind() const { return kind_; }
  const std::string& getName() const { return name_; }
  const std::vector<IpcParameterDefinition>& getParameters() const { return parameters_; }
  // The D-Bus interface of this kind: "com.olvane.Zem", "com.olvane.SelfDiag" or
  // "com.olvane.VehicleBus".
  const std::string& getInterface() const;
  // The D-Bus object of this kind when it is fixed ("/com/olvane/VehicleBus"); empty for the kinds
  // served at the component's own object.
  const std::string& getObjectPath() const;
  // Unique key of the definition: interface + "." + name.
  std::string getKey() const;
  // Text form used in log lines: "IpcMessageDefinition{<key>}".
  std::string toString() const;

  bool operator==(const IpcMessageDefinition& other) const;
  bool operator!=(const IpcMessageDefinition& other) const { return !(*this == other); }

 private:
  Kind kind_;
  std::string name_;
  std::vector<IpcParameterDefinition> parameters_;
};

class KEST_EXPORT ZemMessageDefinition : public IpcMessageDefinition {
 public:
  ZemMessageDefinition(std::string name, std::vector<IpcParameterDefinition> parameters)
      : IpcMessageDefinition(Kind::Zem, std::move(name), std::move(parameters)) {}
};

class KEST_EXPORT ZemSelfDiagMessageDefinition : public IpcMessageDefinition {
 public:
  ZemSelfDiagMessageDefinition(std::string name, std::vector<IpcParameterDefinition> parameters)
      : IpcMessageDefinition(Kind::ZemSelfDiag, std::move(name), std::move(parameters)) {}
};

class KEST_EXPORT VehicleBusMessageDefinition : public IpcMessageDefinition {
 public:
  VehicleBusMessageDefinition(std::string name, std::vector<IpcParameterDefinition> parameters)
      : IpcMessageDefinition(Kind::VehicleBus, std::move(name), std::move(parameters)) {}
};

class KEST_EXPORT IpcParameter {
 public:
  explicit IpcParameter(std::string name) : name_(std::move(name)) {}
  virtual ~IpcParameter() = default;
  const std::string& getName() const { return name_; }
  virtual IpcParameterType getType() const = 0;
  virtual std::unique_ptr<IpcParameter> clone() const = 0;

 private:
  std::string name_;
};

class KEST_EXPORT IpcStringParameter : public IpcParameter {
 public:
  IpcStringParameter(std::string name, std::string value) : IpcParameter(std::move(name)), value_(std::move(value)) {}
  IpcParameterType getType() const override { return IpcParameterType::String; }
  std::unique_ptr<IpcParameter> clone() const override;
  const std::string& getValue() const { return value_; }

 private:
  std::string value_;
};

class KEST_EXPORT IpcIntegerParameter : public IpcParameter {
 public:
  IpcIntegerParameter(std::string name, int64_t value) : IpcParameter(std::move(name)), value_(value) {}
  IpcParameterType getType() const override { return IpcParameterType::Integer; }
  std::unique_ptr<IpcParameter> clone() const override;
  int64_t getValue() const { return value_; }

 private:
  int64_t value_;
};

// A byte field; the bytes are kept as they came and read back as a string of the same bytes.
class KEST_EXPORT IpcByteFieldParameter : public IpcParameter {
 public:
  IpcByteFieldParameter(std::string name, std::string bytes)
      : IpcParameter(std::move(name)), bytes_(std::move(bytes)) {}
  IpcParameterType getType() const override { return IpcParameterType::ByteField; }
  std::unique_ptr<IpcParameter> clone() const override;
  const std::string& getValueAsString() const { return bytes_; }

 private:
  std::string bytes_;
};

// A received parameter of a type outside the contract (string, integer, byte field). It exists so
// that the handler, not the transport, decides what a wrong type means: every typed read of it
// throws "Parameter does not have the right type: " + name. It is never sent.
class KEST_EXPORT IpcUnsupportedParameter : public IpcParameter {
 public:
  // `signature` is the transport's type text ("i", "u", "b", "a{sv}", ...), kept for log lines.
  IpcUnsupportedParameter(std::string name, std::string signature)
      : IpcParameter(std::move(name)), signature_(std::move(signature)) {}
  IpcParameterType getType() const override { return IpcParameterType::Unsupported; }
  std::unique_ptr<IpcParameter> clone() const override;
  const std::string& getSignature() const { return signature_; }

 private:
  std::string signature_;
};

// Parameters by name. Owns its parameters.
class KEST_EXPORT IpcParameterSet {
 public:
  IpcParameterSet() = default;
  IpcParameterSet(const IpcParameterSet& other);
  IpcParameterSet& operator=(const IpcParameterSet& other);
  IpcParameterSet(IpcParameterSet&&) = default;
  IpcParameterSet& operator=(IpcParameterSet&&) = default;

  // Adds or replaces the parameter of that name. Takes ownership.
  void add(std::unique_ptr<IpcParameter> parameter);
  // Returns the parameter of that name, or nullptr.
  const IpcParameter* find(const std::string& name) const;
  // Returns the parameter as P.
  // Throws IpcException "Parameter does not have the right type: " + name when the parameter is of
  // another type, and "Parameter is missing: " + name when absent.
  template <class P>
  const P& get(const std::string& name) const {
    const IpcParameter* p = find(name);
    if (p == nullptr) throw IpcException("Parameter is missing: " + name);
    const auto* typed = dynamic_cast<const P*>(p);
    if (typed == nullptr) throw IpcException("Parameter does not have the right type: " + name);
    return *typed;
  }
  const std::map<std::string, std::unique_ptr<IpcParameter>>& all() const { return parameters_; }
  bool empty() const { return parameters_.empty(); }

 private:
  std::map<std::string, std::unique_ptr<IpcParameter>> parameters_;
};

}  // namespace Ipc
