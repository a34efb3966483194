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

TEST(ValueTextForms, ScalarsRenderTheirPrintfFormsAndKeepTheirTextPart) {
  const BooleanValue yes(true);
  EXPECT_EQ(yes.str(), "true");
  EXPECT_EQ(yes.getText(), "1");
  EXPECT_EQ(BooleanValue(false).str(), "false");
  EXPECT_EQ(BooleanValue(false).getText(), "0");

  EXPECT_EQ(FloatValue(-0.25).str(), "-0.250000");
  EXPECT_EQ(FloatValue(1.5).str(), "1.500000");
  EXPECT_EQ(FloatValue(0.0).getText(), "0.000000");
  // Fixed notation of a huge number has more digits than any small buffer holds.
  const std::string huge = FloatValue(1e300).str();
  EXPECT_EQ(huge.size(), 301u + 7u);
  EXPECT_EQ(huge.substr(0, 2), "10");
  EXPECT_EQ(huge.substr(huge.size() - 7), ".000000");

  EXPECT_EQ(IntegerValue(std::numeric_limits<int32_t>::max()).str(), "2147483647");
  EXPECT_EQ(IntegerValue(std::numeric_limits<int32_t>::min()).str(), "-2147483648");
  EXPECT_EQ(IntegerValue(-12).getText(), "-12");

  EXPECT_EQ(StringValue(" a;b, c = d ").str(), " a;b, c = d ");
  const ByteFieldValue bytes("0A ff");
  EXPECT_EQ(bytes.str(), "0A ff");
  EXPECT_EQ(bytes.getText(), "0A ff");
  EXPECT_EQ(bytes.getByteField(), "0A ff");

  // Every scalar kind is a StringValue too.
  const std::unique_ptr<BaseValue> integer = std::make_unique<IntegerValue>(3);
  EXPECT_NE(dynamic_cast<const StringValue*>(integer.get()), nullptr);
  EXPECT_TRUE(integer->isValid());
}

TEST(ValueTextForms, DefaultConstructedValuesAreInvalidAndRenderLikeEmptyOnes) {
  const StringValue text;
  const IntegerValue integer;
  const FloatValue number;
  const BooleanValue boolean;
  const ByteFieldValue bytes;
  const ListValue list(false);
  const MapValue map(false);
  for (const BaseValue* value :
       std::initializer_list<const BaseValue*>{&text, &integer, &number, &boolean, &bytes, &list, &map}) {
    EXPECT_FALSE(value->isValid()) << typeid(*value).name();
  }
  EXPECT_EQ(text.str(), "");
  EXPECT_EQ(integer.str(), "0");
  EXPECT_EQ(integer.getText(), "");
  EXPECT_EQ(number.str(), "0.000000");
  EXPECT_EQ(boolean.str(), "false");
  EXPECT_EQ(bytes.str(), "");
  EXPECT_EQ(list.str(), "[]");
  EXPECT_EQ(map.str(), "{}");
  EXPECT_TRUE(ListValue(true).isValid());
}

TEST(ValueTextForms, ContainersRenderRecursivelyWithMapsInByteOrder) {
  ListValue strings(true);
  strings.addItem(std::make_shared<StringValue>("a"));
  strings.addItem(std::make_shared<StringValue>("b"));
  EXPECT_EQ(strings.str(), "[a;b]");

  MapValue map(true);
  map.setEntry("x", std::make_shared<IntegerValue>(1));
  map.setEntry("a", std::make_shared<BooleanValue>(true));
  EXPECT_EQ(map.str(), "{a = true, x = 1}");

  // Plain byte order: upper case before lower case, bytes >= 0x80 after ASCII.
  MapValue bytesOrdered(true);
  for (const char* key : {"\xC3\xA9", "b", "B", "a"}) bytesOrdered.setEntry(key, std::make_shared<StringValue>("v"));
  EXPECT_EQ(bytesOrdered.str(), "{B = v, a = v, b = v, \xC3\xA9 = v}");

  auto inner = std::make_shared<ListValue>(true);
  inner->addItem(std::make_shared<IntegerValue>(1));
  inner->addItem(std::make_shared<IntegerValue>(2));
  auto middle = std::make_shared<MapValue>(true);
  middle->setEntry("a", inner);
  ListValue outer(true);
  outer.addItem(middle);
  EXPECT_EQ(outer.str(), "[{a = [1;2]}]");

  // Empty pointers render as empty texts instead of failing.
  ListValue withHole(true);
  withHole.addItem(std::make_shared<StringValue>("a"));
  withHole.addItem(nullptr);
  withHole.addItem(std::make_shared<StringValue>("b"));
  EXPECT_EQ(withHole.str(), "[a;;b]");
  MapValue mapWithHole(true);
  mapWithHole.setEntry("k", nullptr);
  EXPECT_EQ(mapWithHole.str(), "{k = }");
}

TEST(ValueConversion, ConvertsEveryKindToItsMostDerivedValue) {
  EXPECT_EQ(convertValue(nullptr), nullptr);

  Types::PersistedStringValue text;
  text.set_stringValue("007");
  auto converted = convertValue(&text);
  ASSERT_NE(converted, nullptr);
  EXPECT_EQ(typeid(*converted), typeid(StringValue));
  EXPECT_EQ(converted->str(), "007");

  Types::PersistedIntegerValue integer;
  integer.set_integerValue(-7);
  converted = convertValue(&integer);
  EXPECT_EQ(typeid(*converted), typeid(IntegerValue));
  EXPECT_EQ(converted->str(), "-7");

  Types::PersistedFloatValue number;
  number.set_floatValue(2.5);
  converted = convertValue(&number);
  EXPECT_EQ(typeid(*converted), typeid(FloatValue));
  EXPECT_EQ(converted->str(), "2.500000");

  Types::PersistedBooleanValue boolean;
  boolean.set_booleanValue(true);
  converted = convertValue(&boolean);
  EXPECT_EQ(typeid(*converted), typeid(BooleanValue));
  EXPECT_EQ(static_cast<const StringValue&>(*converted).getText(), "1");

  Types::PersistedByteFieldValue bytes;
  bytes.set_byteFieldValue(" 0a FF ");
  converted = convertValue(&bytes);
  EXPECT_EQ(typeid(*converted), typeid(ByteFieldValue));
  EXPECT_EQ(converted->str(), " 0a FF ");
  EXPECT_TRUE(converted->isValid());
}

TEST(ValueConversion, ContainersKeepDocumentOrderAndTheLastOfDuplicateKeys) {
  Types::PersistedListValue list;
  list.add_node_item<Types::PersistedStringValue>()->set_stringValue("z");
  auto* map = list.add_node_item<Types::PersistedMapValue>();
  auto* entry = map->add_node_entry();
  entry->set_key("a");
  auto* inner = entry->add_node_value<Types::PersistedListValue>();
  inner->add_node_item<Types::PersistedIntegerValue>()->set_integerValue(1);
  inner->add_node_item<Types::PersistedIntegerValue>()->set_integerValue(2);
  list.add_node_item<Types::PersistedStringValue>()->set_stringValue("a");
  auto converted = convertValue(&list);
  ASSERT_NE(converted, nullptr);
  EXPECT_EQ(typeid(*converted), typeid(ListValue));
  EXPECT_TRUE(converted->isValid());
  EXPECT_EQ(converted->str(), "[z;{a = [1;2]};a]");

  Types::PersistedMapValue duplicates;
  auto* first = duplicates.add_node_entry();
  first->set_key("k");
  first->add_node_value<Types::PersistedStringValue>()->set_stringValue("first");
  auto* empty = duplicates.add_node_entry();
  empty->set_key("e");  // an entry without a value
  auto* second = duplicates.add_node_entry();
  second->set_key("k");
  second->add_node_value<Types::PersistedStringValue>()->set_stringValue("second");
  converted = convertValue(&duplicates);
  ASSERT_NE(converted, nullptr);
  const auto& entries = static_cast<const MapValue&>(*converted).getEntries();
  EXPECT_EQ(entries.size(), 2u);
  EXPECT_EQ(converted->str(), "{e = , k = second}");
}
