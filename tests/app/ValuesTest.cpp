// The text forms of every value kind, in one table (the one place they are tested), and the
// conversion of persisted nodes into values.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <typeinfo>

#include "BooleanValue.h"
#include "ByteFieldValue.h"
#include "FloatValue.h"
#include "IntegerValue.h"
#include "ListValue.h"
#include "MapValue.h"
#include "StringValue.h"
#include "ValueConversion.h"

namespace Types = Sarnet_Configuration::Types;

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
      {std::make_shared<BooleanValue>(false), "false", "0", true},
      {std::make_shared<FloatValue>(-0.25), "-0.250000", "-0.250000", true},
      {integer(std::numeric_limits<int32_t>::max()), "2147483647", "2147483647", true},
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
      {listOf({mapOf({{"a", listOf({integer(1), integer(2)})}})}), "[{a = [1;2]}]", nullptr, true},
      // Empty pointers render as empty texts instead of failing.
      {listOf({text("a"), nullptr, text("b")}), "[a;;b]", nullptr, true},
      {mapOf({{"k", nullptr}}), "{k = }", nullptr, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.value->str(), c.str);
    EXPECT_EQ(c.value->isValid(), c.valid) << c.str;
    const auto* scalar = dynamic_cast<const StringValue*>(c.value.get());
    EXPECT_EQ(scalar != nullptr, c.text != nullptr) << c.str << ": every scalar kind is a StringValue";
    if (scalar != nullptr && c.text != nullptr) EXPECT_EQ(scalar->getText(), c.text) << c.str;
  }
  // Fixed notation of a huge number has more digits than any small buffer holds.
  const std::string huge = FloatValue(1e300).str();
  EXPECT_EQ(huge.size(), 308u);
  EXPECT_EQ(huge.substr(huge.size() - 7), ".000000");
}

TEST(ValueConversion, ConvertsEveryKindToItsMostDerivedValueKeepingOrderAndTheLastDuplicate) {
  EXPECT_EQ(convertValue(nullptr), nullptr);
  Types::PersistedListValue list;
  list.add_node_item<Types::PersistedStringValue>()->set_stringValue("007");
  list.add_node_item<Types::PersistedIntegerValue>()->set_integerValue(-7);
  list.add_node_item<Types::PersistedFloatValue>()->set_floatValue(2.5);
  list.add_node_item<Types::PersistedBooleanValue>()->set_booleanValue(true);
  list.add_node_item<Types::PersistedByteFieldValue>()->set_byteFieldValue(" 0a FF ");
  auto* map = list.add_node_item<Types::PersistedMapValue>();
  const char* const entries[][2] = {{"k", "first"}, {"e", nullptr}, {"k", "second"}};  // "e" has no value
  for (const auto& pair : entries) {
    auto* entry = map->add_node_entry();
    entry->set_key(pair[0]);
    if (pair[1] != nullptr) entry->add_node_value<Types::PersistedStringValue>()->set_stringValue(pair[1]);
  }
  const auto converted = convertValue(&list);
  ASSERT_NE(converted, nullptr);
  EXPECT_EQ(converted->str(), "[007;-7;2.500000;true; 0a FF ;{e = , k = second}]");
  const auto& items = static_cast<const ListValue&>(*converted).getItems();
  const std::type_info* kinds[] = {&typeid(StringValue),  &typeid(IntegerValue),   &typeid(FloatValue),
                                   &typeid(BooleanValue), &typeid(ByteFieldValue), &typeid(MapValue)};
  ASSERT_EQ(items.size(), 6u);
  for (size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(typeid(*items[i]), *kinds[i]);
    EXPECT_TRUE(items[i]->isValid());
  }
}
