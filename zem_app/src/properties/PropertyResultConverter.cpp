#include "properties/PropertyResultConverter.h"

#include <string>
#include <utility>

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

// The result element of a value's kind.
class ResultOfValue final : public ValueVisitor {
 public:
  std::unique_ptr<Types::PropertyResult> result;

  void visit(const StringValue& value) override { result = scalar<Types::StringPropertyResult>(value); }
  void visit(const IntegerValue& value) override { result = scalar<Types::IntegerPropertyResult>(value); }
  void visit(const FloatValue& value) override { result = scalar<Types::FloatPropertyResult>(value); }
  void visit(const BooleanValue& value) override { result = scalar<Types::SimpleBooleanPropertyResult>(value); }
  void visit(const ByteFieldValue& value) override { result = scalar<Types::ByteFieldPropertyResult>(value); }
  void visit(const ListValue& value) override {
    auto list = std::make_unique<Types::ListPropertyResult>();
    convertValueToResult(list.get(), value);
    result = std::move(list);
  }
  void visit(const MapValue& value) override {
    auto map = std::make_unique<Types::MapPropertyResult>();
    convertValueToResult(map.get(), value);
    result = std::move(map);
  }
};

std::unique_ptr<Types::PropertyResult> toResult(const BaseValue* value) {
  if (value == nullptr) return nullptr;
  ResultOfValue visitor;
  value->accept(visitor);
  return std::move(visitor.result);
}

// The persisted node of a value's kind.
class PersistedOfValue final : public ValueVisitor {
 public:
  std::unique_ptr<Types::PersistedValue> node;

  void visit(const StringValue& value) override {
    hold(&Types::PersistedStringValue::set_stringValue, value.getText());
  }
  void visit(const IntegerValue& value) override {
    hold(&Types::PersistedIntegerValue::set_integerValue, value.getValue());
  }
  void visit(const FloatValue& value) override { hold(&Types::PersistedFloatValue::set_floatValue, value.getValue()); }
  void visit(const BooleanValue& value) override {
    hold(&Types::PersistedBooleanValue::set_booleanValue, value.getValue());
  }
  void visit(const ByteFieldValue& value) override {
    hold(&Types::PersistedByteFieldValue::set_byteFieldValue, value.getByteField());
  }
  void visit(const ListValue& value) override {
    auto list = std::make_unique<Types::PersistedListValue>();
    for (const auto& item : value.getItems()) {
      std::unique_ptr<Types::PersistedValue> converted = item ? toPersistedValue(*item) : nullptr;
      if (converted) list->add_element_item(std::move(converted));
    }
    node = std::move(list);
  }
  void visit(const MapValue& value) override {
    auto map = std::make_unique<Types::PersistedMapValue>();
    for (const auto& entry : value.getEntries()) {
      auto* persisted = map->add_node_entry();
      persisted->set_key(entry.first);
      if (entry.second) persisted->set_element_value(toPersistedValue(*entry.second));
    }
    node = std::move(map);
  }

 private:
  // Holds a new scalar node set to `value`.
  template <class Node, class Param, class Value>
  void hold(void (Node::*set)(Param), const Value& value) {
    auto scalar = std::make_unique<Node>();
    (scalar.get()->*set)(value);
    node = std::move(scalar);
  }
};

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
  PersistedOfValue visitor;
  value.accept(visitor);
  return std::move(visitor.node);
}
