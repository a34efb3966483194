#include "values/ValueConversion.h"

#include "values/BooleanValue.h"
#include "values/ByteFieldValue.h"
#include "values/FloatValue.h"
#include "values/IntegerValue.h"
#include "values/ListValue.h"
#include "values/MapValue.h"
#include "values/StringValue.h"

namespace Types = Sarnet_Configuration::Types;

std::unique_ptr<BaseValue> convertValue(const Types::PersistedValue* node) {
  if (node == nullptr) return nullptr;
  if (const auto* text = dynamic_cast<const Types::PersistedStringValue*>(node)) {
    return std::make_unique<StringValue>(text->get_stringValue());
  }
  if (const auto* integer = dynamic_cast<const Types::PersistedIntegerValue*>(node)) {
    return std::make_unique<IntegerValue>(integer->get_integerValue());
  }
  if (const auto* number = dynamic_cast<const Types::PersistedFloatValue*>(node)) {
    return std::make_unique<FloatValue>(number->get_floatValue());
  }
  if (const auto* boolean = dynamic_cast<const Types::PersistedBooleanValue*>(node)) {
    return std::make_unique<BooleanValue>(boolean->get_booleanValue());
  }
  if (const auto* bytes = dynamic_cast<const Types::PersistedByteFieldValue*>(node)) {
    return std::make_unique<ByteFieldValue>(bytes->get_byteFieldValue());
  }
  if (const auto* list = dynamic_cast<const Types::PersistedListValue*>(node)) {
    auto result = std::make_unique<ListValue>(true);
    for (const auto& item : list->elements_item()) {
      result->addItem(std::shared_ptr<BaseValue>(convertValue(item.get())));
    }
    return result;
  }
  if (const auto* map = dynamic_cast<const Types::PersistedMapValue*>(node)) {
    auto result = std::make_unique<MapValue>(true);
    for (const auto& entry : map->elements_entry()) {
      if (!entry) continue;
      result->setEntry(entry->get_key(), std::shared_ptr<BaseValue>(convertValue(entry->element_value())));
    }
    return result;
  }
  return nullptr;
}
