#include "properties/PropertyResultConverter.h"

#include <string>

#include "values/BooleanValue.h"
#include "values/ByteFieldValue.h"
#include "values/FloatValue.h"
#include "values/IntegerValue.h"
#include "values/StringValue.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

template <class Result>
std::unique_ptr<Types::PropertyResult> scalar(const BaseValue& value) {
  auto result = std::make_unique<Result>();
  result->set_value(value.str());
  return result;
}

// The result element of `value`'s kind, most derived kinds first; null for no known kind.
std::unique_ptr<Types::PropertyResult> toResult(const BaseValue* value) {
  if (value == nullptr) return nullptr;
  if (dynamic_cast<const IntegerValue*>(value) != nullptr) return scalar<Types::IntegerPropertyResult>(*value);
  if (dynamic_cast<const FloatValue*>(value) != nullptr) return scalar<Types::FloatPropertyResult>(*value);
  if (dynamic_cast<const BooleanValue*>(value) != nullptr) return scalar<Types::SimpleBooleanPropertyResult>(*value);
  if (dynamic_cast<const ByteFieldValue*>(value) != nullptr) return scalar<Types::ByteFieldPropertyResult>(*value);
  if (dynamic_cast<const StringValue*>(value) != nullptr) return scalar<Types::StringPropertyResult>(*value);
  if (const auto* list = dynamic_cast<const ListValue*>(value)) {
    auto result = std::make_unique<Types::ListPropertyResult>();
    convertValueToResult(result.get(), *list);
    return result;
  }
  if (const auto* map = dynamic_cast<const MapValue*>(value)) {
    auto result = std::make_unique<Types::MapPropertyResult>();
    convertValueToResult(result.get(), *map);
    return result;
  }
  return nullptr;
}

}  // namespace

void convertValueToResult(Types::ListPropertyResult* result, const ListValue& value) {
  for (const auto& item : value.getItems()) {
    std::unique_ptr<Types::PropertyResult> converted = toResult(item.get());
    if (converted) result->add_element_item(std::move(converted));
  }
}

void convertValueToResult(Types::MapPropertyResult* result, const MapValue& value) {
  for (const auto& entry : value.getEntries()) {
    std::unique_ptr<Types::PropertyResult> converted = toResult(entry.second.get());
    if (!converted) continue;
    auto* node = result->add_node_entry();
    node->set_key(entry.first);
    node->set_element_value(std::move(converted));
  }
}

std::unique_ptr<Types::PersistedValue> toPersistedValue(const BaseValue& value) {
  if (const auto* i = dynamic_cast<const IntegerValue*>(&value)) {
    auto node = std::make_unique<Types::PersistedIntegerValue>();
    node->set_integerValue(i->getValue());
    return node;
  }
  if (const auto* f = dynamic_cast<const FloatValue*>(&value)) {
    auto node = std::make_unique<Types::PersistedFloatValue>();
    node->set_floatValue(f->getValue());
    return node;
  }
  if (const auto* b = dynamic_cast<const BooleanValue*>(&value)) {
    auto node = std::make_unique<Types::PersistedBooleanValue>();
    node->set_booleanValue(b->getValue());
    return node;
  }
  if (const auto* bytes = dynamic_cast<const ByteFieldValue*>(&value)) {
    auto node = std::make_unique<Types::PersistedByteFieldValue>();
    node->set_byteFieldValue(bytes->getByteField());
    return node;
  }
  if (const auto* s = dynamic_cast<const StringValue*>(&value)) {
    auto node = std::make_unique<Types::PersistedStringValue>();
    node->set_stringValue(s->getText());
    return node;
  }
  if (const auto* list = dynamic_cast<const ListValue*>(&value)) {
    auto node = std::make_unique<Types::PersistedListValue>();
    for (const auto& item : list->getItems()) {
      std::unique_ptr<Types::PersistedValue> converted = item ? toPersistedValue(*item) : nullptr;
      if (converted) node->add_element_item(std::move(converted));
    }
    return node;
  }
  if (const auto* map = dynamic_cast<const MapValue*>(&value)) {
    auto node = std::make_unique<Types::PersistedMapValue>();
    for (const auto& entry : map->getEntries()) {
      auto* persisted = node->add_node_entry();
      persisted->set_key(entry.first);
      if (entry.second) persisted->set_element_value(toPersistedValue(*entry.second));
    }
    return node;
  }
  return nullptr;
}
