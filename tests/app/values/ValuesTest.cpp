// The text forms of every value kind, in one table: the one place they are tested. The conversion
// of persisted nodes is exercised through the store's getList and getMap.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>

#include "values/BooleanValue.h"
#include "values/ByteFieldValue.h"
#include "values/FloatValue.h"
#include "values/IntegerValue.h"
#include "values/ListValue.h"
#include "values/MapValue.h"
#include "values/StringValue.h"

namespace {

std::shared_ptr<BaseValue> listOf(std::initializer_list<std::shared_ptr<BaseValue>> items) {
  auto list = std::make_shared<ListValue>(true);
  for (const auto& item : items) list->addItem(item);
  return list;
}
std::shared_ptr<BaseValue> mapOf(std::initializer_list<std::pair<const char*, std::shared_ptr<BaseValue>>> entries) {
  auto map = std::make_shared<MapValue>(true);
  for (const auto& entry : entries) map->setEntry(entry.first, entry.second);
  return map;
}
std::shared_ptr<BaseValue> text(const char* value) { return std::make_shared<StringValue>(value); }
std::shared_ptr<BaseValue> integer(int32_t value) { return std::make_shared<IntegerValue>(value); }

}  // namespace

TEST(ValueTextForms, EveryKindRendersItsTextForm) {
  const struct {
    std::shared_ptr<BaseValue> value;
    const char* str;
    const char* text;  // getText() of scalar kinds; null for containers
    bool valid;
  } cases[] = {
      {std::make_shared<BooleanValue>(true), "true", "1", true},
      {std::make_shared<FloatValue>(-0.25), "-0.250000", "-0.250000", true},
      {integer(std::numeric_limits<int32_t>::min()), "-2147483648", "-2147483648", true},
      {text(" a;b, c = d "), " a;b, c = d ", " a;b, c = d ", true},
      {std::make_shared<ByteFieldValue>("0A ff"), "0A ff", "0A ff", true},
      // Default-constructed values are invalid and render like empty ones.
      {std::make_shared<StringValue>(), "", "", false},
      {std::make_shared<IntegerValue>(), "0", "", false},
      {std::make_shared<FloatValue>(), "0.000000", "", false},
      {std::make_shared<BooleanValue>(), "false", "", false},
      {std::make_shared<ByteFieldValue>(), "", "", false},
      {std::make_shared<ListValue>(false), "[]", nullptr, false},
      {std::make_shared<MapValue>(false), "{}", nullptr, false},
      // Containers render recursively; maps in plain byte order (upper case first, UTF-8 last).
      {listOf({text("a"), text("b")}), "[a;b]", nullptr, true},
      {mapOf({{"x", integer(1)}, {"a", std::make_shared<BooleanValue>(true)}}), "{a = true, x = 1}", nullptr, true},
      {mapOf({{"\xC3\xA9", text("v")}, {"b", text("v")}, {"B", text("v")}, {"a", text("v")}}),
       "{B = v, a = v, b = v, \xC3\xA9 = v}", nullptr, true},
      // Empty pointers render as empty texts instead of failing.
      {listOf({text("a"), nullptr, text("b")}), "[a;;b]", nullptr, true},
      {mapOf({{"k", nullptr}}), "{k = }", nullptr, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.value->str(), c.str);
    EXPECT_EQ(c.value->isValid(), c.valid) << c.str;
    const auto* scalar = dynamic_cast<const StringValue*>(c.value.get());
    EXPECT_EQ(scalar != nullptr, c.text != nullptr) << c.str << ": every scalar kind is a StringValue";
    EXPECT_EQ(scalar != nullptr ? scalar->getText() : "", c.text != nullptr ? c.text : "") << c.str;
  }
  // Fixed notation of a huge number has more digits than any small buffer holds.
  const std::string huge = FloatValue(1e300).str();
  EXPECT_EQ(huge.size(), 308u);
  EXPECT_EQ(huge.substr(huge.size() - 7), ".000000");
}
