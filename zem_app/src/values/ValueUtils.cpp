#include "values/ValueUtils.h"

#include "kest/ApplicationLogger.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

// Logs `value` under `name`, one line per scalar, while `budget` lasts. Returns false when the
// budget ran out before every scalar was logged.
bool printBounded(const std::string& name, const Types::PersistedValue* value, size_t& budget) {
  if (const auto* list = dynamic_cast<const Types::PersistedListValue*>(value)) {
    size_t position = 0;
    for (const auto& item : list->elements_item()) {
      if (!printBounded(name + " #" + std::to_string(++position), item.get(), budget)) return false;
    }
    return true;
  }
  if (const auto* map = dynamic_cast<const Types::PersistedMapValue*>(value)) {
    for (const auto& entry : map->elements_entry()) {
      const std::string entryName = name + "." + ApplicationLogger::shortened(entry->get_key(), 64);
      if (!printBounded(entryName, entry->element_value(), budget)) return false;
    }
    return true;
  }
  if (budget == 0) return false;
  --budget;
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
  } else {
    ZEM_WARN("Unknown value type for key " << name);
  }
  return true;
}

}  // namespace

void printValue(const std::string& name, const Types::PersistedValue* value) {
  size_t budget = kMaxPrintedValueLines;
  if (!printBounded(name, value, budget)) ZEM_DEBUG("Further values of property key " << name << " are not logged");
}
