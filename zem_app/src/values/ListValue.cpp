#include "values/ListValue.h"

#include <utility>

ListValue::ListValue(bool valid) : BaseValue(valid) {}

ListValue::~ListValue() = default;

std::string ListValue::str() const {
  std::string text = "[";
  bool first = true;
  for (const auto& item : items_) {
    if (!first) text += ';';
    first = false;
    if (item) text += item->str();
  }
  text += ']';
  return text;
}

void ListValue::addItem(std::shared_ptr<BaseValue> item) { items_.push_back(std::move(item)); }

void ListValue::accept(ValueVisitor& visitor) const { visitor.visit(*this); }
