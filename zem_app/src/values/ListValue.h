// An ordered list of values, shared with whoever else holds them.
// Thread safety: none; guard a list that more than one thread changes.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "values/BaseValue.h"

class ListValue : public BaseValue {
 public:
  using Items = std::vector<std::shared_ptr<BaseValue>>;

  // An empty list, valid or not as `valid` says.
  explicit ListValue(bool valid);
  ~ListValue() override;

  // "[" + the items' str() joined by ";" + "]". An empty pointer renders as an empty text
  // ("[a;;b]"), so a list holding one never fails to render.
  std::string str() const override;
  void accept(ValueVisitor& visitor) const override;

  const Items& getItems() const { return items_; }
  Items& getItems() { return items_; }
  // Appends `item` (may be empty); the list shares its ownership.
  void addItem(std::shared_ptr<BaseValue> item);

 private:
  Items items_;
};
