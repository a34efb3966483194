#include "ValueUtils.h"

#include "kest/ApplicationLogger.h"

namespace Types = Sarnet_Configuration::Types;

void printValue(const std::string& name, const Types::PersistedValue* value) {
  if (const auto* s = dynamic_cast<const Types::PersistedStringValue*>(value)) {
    ZEM_DEBUG("Updated value for property key " << name << " to '" << s->get_stringValue() << "'");
  } else if (const auto* i = dynamic_cast<const Types::PersistedIntegerValue*>(value)) {
    ZEM_DEBUG("Updated value for property key " << name << " to " << i->get_integerValue());
  } else if (const auto* b = dynamic_cast<const Types::PersistedBooleanValue*>(value)) {
    ZEM_DEBUG("Updated value for property key " << name << " to " << b->get_booleanValue());
  } else if (const auto* f = dynamic_cast<const Types::PersistedFloatValue*>(value)) {
    ZEM_DEBUG("Updated value for property key " << name << " to " << f->get_floatValue());
  } else if (const auto* bytes = dynamic_cast<const Types::PersistedByteFieldValue*>(value)) {
    ZEM_DEBUG("Updated value for property key " << name << " to " << bytes->get_byteFieldValue());
  } else if (const auto* list = dynamic_cast<const Types::PersistedListValue*>(value)) {
    size_t position = 0;
    for (const auto& item : list->elements_item()) printValue(name + " #" + std::to_string(++position), item.get());
  } else if (const auto* map = dynamic_cast<const Types::PersistedMapValue*>(value)) {
    for (const auto& entry : map->elements_entry()) printValue(name + "." + entry->get_key(), entry->element_value());
  } else {
    ZEM_WARN("Unknown value type for key " << name);
  }
}
