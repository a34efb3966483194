#include "values/MapValue.h"

#include <utility>

MapValue::MapValue(bool valid) : BaseValue(valid) {}

MapValue::~MapValue() = default;

std::string MapValue::str() const {
  std::string text = "{";
  bool first = true;
  for (const auto& [key, value] : entries_) {
    if (!first) text += ", ";
    first = false;
    text += key;
    text += " = ";
    if (value) text += value->str();
  }
  text += '}';
  return text;
}

void MapValue::setEntry(const std::string& key, std::shared_ptr<BaseValue> value) { entries_[key] = std::move(value); }

void MapValue::accept(ValueVisitor& visitor) const { visitor.visit(*this); }
