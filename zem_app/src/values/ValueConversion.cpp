#include "values/ValueConversion.h"

#include <utility>

#include "values/BooleanValue.h"
#include "values/ByteFieldValue.h"
#include "values/FloatValue.h"
#include "values/IntegerValue.h"
#include "values/ListValue.h"
#include "values/MapValue.h"
#include "values/StringValue.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

// The in-memory value of a persisted node's kind.
class ValueOfNode final : public Types::PersistedValueVisitor {
 public:
  std::unique_ptr<BaseValue> value;

  void visit(const Types::PersistedStringValue& node) override {
    value = std::make_unique<StringValue>(node.get_stringValue());
  }
  void visit(const Types::PersistedIntegerValue& node) override {
    value = std::make_unique<IntegerValue>(node.get_integerValue());
  }
  void visit(const Types::PersistedBooleanValue& node) override {
    value = std::make_unique<BooleanValue>(node.get_booleanValue());
  }
  void visit(const Types::PersistedFloatValue& node) override {
    value = std::make_unique<FloatValue>(node.get_floatValue());
  }
  void visit(const Types::PersistedByteFieldValue& node) override {
    value = std::make_unique<ByteFieldValue>(node.get_byteFieldValue());
  }
  void visit(const Types::PersistedListValue& node) override {
    auto list = std::make_unique<ListValue>(true);
    for (const auto& item : node.elements_item()) {
      list->addItem(std::shared_ptr<BaseValue>(convertValue(item.get())));
    }
    value = std::move(list);
  }
  void visit(const Types::PersistedMapValue& node) override {
    auto map = std::make_unique<MapValue>(true);
    for (const auto& entry : node.elements_entry()) {
      if (!entry) continue;
      map->setEntry(entry->get_key(), std::shared_ptr<BaseValue>(convertValue(entry->element_value())));
    }
    value = std::move(map);
  }
};

}  // namespace

std::unique_ptr<BaseValue> convertValue(const Types::PersistedValue* node) {
  if (node == nullptr) return nullptr;
  ValueOfNode visitor;
  node->accept(visitor);
  return std::move(visitor.value);
}
