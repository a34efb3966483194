#include "PropertyDocuments.h"

#include <cstdlib>

namespace Types = Sarnet_Configuration::Types;
using RequestKind = PropertyCommand::RequestKind;
using ValueKind = PropertyCommand::ValueKind;

namespace {

template <class T>
std::string named(const std::string& name) {
  const auto document = xmldoc::createDocument<T>();
  document->set_propertyName(name);
  return xmldoc::toString(*document);
}

template <class T>
std::string fixed() {
  return xmldoc::toString(*xmldoc::createDocument<T>());
}

}  // namespace

std::string PropertyDocuments::request(RequestKind kind, const std::string& name) {
  switch (kind) {
    case RequestKind::String:
      return named<Types::IpcMessageStringPropertyRequest>(name);
    case RequestKind::Integer:
      return named<Types::IpcMessageIntegerPropertyRequest>(name);
    case RequestKind::Float:
      return named<Types::IpcMessageFloatPropertyRequest>(name);
    case RequestKind::Boolean:
      return named<Types::IpcMessageBooleanPropertyRequest>(name);
    case RequestKind::ByteField:
      return named<Types::IpcMessageByteFieldPropertyRequest>(name);
    case RequestKind::List:
      return named<Types::IpcMessageListPropertyRequest>(name);
    case RequestKind::Map:
      return named<Types::IpcMessageMapPropertyRequest>(name);
    case RequestKind::Vehicle: {
      const auto document = xmldoc::createDocument<Types::IpcMessageVehiclePropertyRequest>();
      document->set_vehicleProperty(name);
      return xmldoc::toString(*document);
    }
    case RequestKind::Imei:
      return fixed<Types::IpcMessageImeiPropertyRequest>();
    case RequestKind::Vin:
      return fixed<Types::IpcMessageVinPropertyRequest>();
    case RequestKind::TcuId:
      return fixed<Types::IpcMessageTcuIdPropertyRequest>();
    case RequestKind::SystemTime:
      return fixed<Types::IpcMessageSystemTimePropertyRequest>();
    case RequestKind::GeoLocation:
      return fixed<Types::IpcMessageGeoLocationPropertyRequest>();
  }
  return std::string();
}

std::string PropertyDocuments::update(const std::string& name, ValueKind kind, const std::string& text) {
  const auto document = xmldoc::createDocument<Types::IpcMessagePropertyUpdate>();
  document->set_propertyName(name);
  document->set_element_propertyValue(value(kind, text));
  return xmldoc::toString(*document);
}

std::unique_ptr<Types::PersistedValue> PropertyDocuments::value(ValueKind kind, const std::string& text) {
  switch (kind) {
    case ValueKind::Integer: {
      auto value = std::make_unique<Types::PersistedIntegerValue>();
      value->set_integerValue(static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 10)));
      return value;
    }
    case ValueKind::Float: {
      auto value = std::make_unique<Types::PersistedFloatValue>();
      value->set_floatValue(std::strtod(text.c_str(), nullptr));
      return value;
    }
    case ValueKind::Boolean: {
      auto value = std::make_unique<Types::PersistedBooleanValue>();
      value->set_booleanValue(text == "true");
      return value;
    }
    case ValueKind::ByteField: {
      auto value = std::make_unique<Types::PersistedByteFieldValue>();
      value->set_byteFieldValue(text);
      return value;
    }
    case ValueKind::String:
      break;
  }
  auto value = std::make_unique<Types::PersistedStringValue>();
  value->set_stringValue(text);
  return value;
}

xmldoc::DocumentPtr<Types::IpcMessagePropertyResult> PropertyDocuments::result(const std::string& xml) {
  return xmldoc::parseString<Types::IpcMessagePropertyResult>(xml);
}
