#include "values/ValueUtils.h"

#include "kest/ApplicationLogger.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

bool printBounded(const std::string& name, const Types::PersistedValue* value, size_t& budget);

// Logs a value under `name`, one line per scalar, while `budget` lasts; `complete` turns false
// when the budget ran out before every scalar was logged.
class ValuePrinter final : public Types::PersistedValueVisitor {
 public:
  ValuePrinter(const std::string& name, size_t& budget) : name_(name), budget_(budget) {}

  bool complete = true;

  void visit(const Types::PersistedListValue& list) override {
    size_t position = 0;
    for (const auto& item : list.elements_item()) {
      if (!printBounded(name_ + " #" + std::to_string(++position), item.get(), budget_)) {
        complete = false;
        return;
      }
    }
  }
  void visit(const Types::PersistedMapValue& map) override {
    for (const auto& entry : map.elements_entry()) {
      const std::string entryName = name_ + "." + ApplicationLogger::shortened(entry->get_key(), 64);
      if (!printBounded(entryName, entry->element_value(), budget_)) {
        complete = false;
        return;
      }
    }
  }
  void visit(const Types::PersistedStringValue& s) override { print(s.get_stringValue(), "'"); }
  void visit(const Types::PersistedIntegerValue& i) override { print(i.get_integerValue()); }
  void visit(const Types::PersistedBooleanValue& b) override { print(b.get_booleanValue()); }
  void visit(const Types::PersistedFloatValue& f) override { print(f.get_floatValue()); }
  void visit(const Types::PersistedByteFieldValue& bytes) override { print(bytes.get_byteFieldValue()); }
  // One scalar's line, the value between `quote`s, when the budget allows.
  template <class Value>
  void print(const Value& value, const char* quote = "") {
    if (!spend()) return;
    ZEM_DEBUG("Updated value for property key " << name_ << " to " << quote << value << quote);
  }
  // Takes one line of the budget for a scalar; false (complete = false) when none is left.
  bool spend() {
    if (budget_ == 0) complete = false;
    if (!complete) return false;
    --budget_;
    return true;
  }

 private:
  const std::string& name_;
  size_t& budget_;
};

// Logs `value` under `name`. Returns false when the budget ran out before every scalar was logged.
bool printBounded(const std::string& name, const Types::PersistedValue* value, size_t& budget) {
  ValuePrinter printer(name, budget);
  if (value != nullptr && value->accept(printer)) return printer.complete;
  if (!printer.spend()) return false;
  ZEM_WARN("Unknown value type for key " << name);
  return true;
}

}  // namespace

void printValue(const std::string& name, const Types::PersistedValue* value) {
  size_t budget = kMaxPrintedValueLines;
  if (!printBounded(name, value, budget)) ZEM_DEBUG("Further values of property key " << name << " are not logged");
}
