// Property results: the answer of every request kind, lists and maps as nested results, the typed
// values collected for tasks, refused requests and the update log lines.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "PropertyTestSupport.h"
#include "ValueConversion.h"
#include "ValueUtils.h"
#include "kolconfig/XmlDoc.h"

namespace {

using namespace proptest;

// A result element flattened: its type, its property (when set) and its value text.
struct Fields {
  std::string type;
  std::optional<std::string> property;
  std::string value;
};
template <class R>
bool take(const Types::PropertyResult* r, Fields* f) {
  const auto* t = dynamic_cast<const R*>(r);
  if (t == nullptr) return false;
  if constexpr (!std::is_same<R, Types::VinPropertyResult>::value &&
                !std::is_same<R, Types::ImeiPropertyResult>::value &&
                !std::is_same<R, Types::TcuIdPropertyResult>::value) {
    if (t->has_property()) f->property = t->get_property();
  }
  f->value = t->get_value();
  return true;
}
Fields fieldsOf(const Types::PropertyResult* r) {
  Fields f{r != nullptr ? r->typeName() : "none", std::nullopt, ""};
  take<Types::StringPropertyResult>(r, &f) || take<Types::IntegerPropertyResult>(r, &f) ||
      take<Types::FloatPropertyResult>(r, &f) || take<Types::BooleanPropertyResult>(r, &f) ||
      take<Types::SimpleBooleanPropertyResult>(r, &f) || take<Types::ByteFieldPropertyResult>(r, &f) ||
      take<Types::ImeiPropertyResult>(r, &f) || take<Types::TcuIdPropertyResult>(r, &f) ||
      take<Types::VinPropertyResult>(r, &f);
  return f;
}
std::string request(const std::string& kind, const std::string& field = "", const std::string& name = "") {
  return document("IpcMessage" + kind + "PropertyRequest",
                  field.empty() ? "" : "<k:" + field + ">" + name + "</k:" + field + ">");
}

const std::string kNestedList =
    "<k:value xsi:type=\"k:PersistedListValue\"><k:item xsi:type=\"k:PersistedStringValue\"><k:stringValue>a"
    "</k:stringValue></k:item><k:item xsi:type=\"k:PersistedIntegerValue\"><k:integerValue>3</k:integerValue>"
    "</k:item><k:item xsi:type=\"k:PersistedMapValue\"><k:entry><k:key>k</k:key><k:value xsi:type=\"k:"
    "PersistedBooleanValue\"><k:booleanValue>true</k:booleanValue></k:value></k:entry></k:item></k:value>";

class PropertyResultsTest : public PropertyTest {
 protected:
  void SetUp() override {
    PropertyTest::SetUp();
    auto literal = [](const std::string& adapter, const std::string& attributes, const std::string& kind,
                      const std::string& text) {
      return propertyXml(adapter, attributes, kind + "LiteralPropertyOrigin", "<k:value>" + text + "</k:value>");
    };
    load(literal("ImeiPropertyAdapter", "", "String", "imei-1") + literal("TcuIdPropertyAdapter", "", "String", "tcu") +
             literal("VinPropertyAdapter", "", "String", "vin-1") +
             literal("SystemTimePropertyAdapter", "", "String", "12:00") +
             literal("StringPropertyAdapter", "propertyName=\"s\"", "String", "x") +
             literal("IntegerPropertyAdapter", "propertyName=\"n\"", "Integer", "007") +
             literal("FloatPropertyAdapter", "propertyName=\"f\"", "Float", "2.5") +
             literal("BooleanPropertyAdapter", "propertyName=\"b\"", "Boolean", "true") +
             literal("ByteFieldPropertyAdapter", "propertyName=\"bf\"", "Bytefield", "0x0A") +
             propertyXml("VehiclePropertyAdapter", "vehicleProperty=\"IGNITION_ON\"", "PersistedBooleanPropertyOrigin",
                         "<k:defaultValue>true</k:defaultValue><k:key>IGNITION_ON</k:key>") +
             propertyXml("IntegerPropertyAdapter", "propertyName=\"pi\"", "PersistedIntegerPropertyOrigin",
                         "<k:key>pi</k:key>") +
             propertyXml("ListPropertyAdapter", "propertyName=\"l\"", "PersistedListPropertyOrigin",
                         "<k:key>l</k:key>") +
             propertyXml("MapPropertyAdapter", "propertyName=\"m\"", "PersistedMapPropertyOrigin", "<k:key>m</k:key>"),
         entryXml("pi", valueXml("Integer", "5")) + entryXml("l", kNestedList) +
             entryXml("m", mapXml(entryXml("z", valueXml("ByteField", "FF")) + entryXml("a", kNestedList))));
  }
  xmldoc::DocumentPtr<Types::IpcMessagePropertyResult> answer(const std::string& text) {
    return xmldoc::parseString<Types::IpcMessagePropertyResult>(map_.getXmlPropertyResult(text));
  }
};

TEST_F(PropertyResultsTest, EachScalarRequestKindAnswersWithItsResultKind) {
  const struct {
    std::string request;
    const char* type;
    std::optional<std::string> property;
    const char* value;
  } cases[] = {
      {request("Imei"), "ImeiPropertyResult", std::nullopt, "imei-1"},
      {request("Integer", "propertyName", "n"), "IntegerPropertyResult", "n", "007"},
      {request("Float", "propertyName", "f"), "FloatPropertyResult", "f", "2.5"},
      {request("String", "propertyName", "s"), "StringPropertyResult", "s", "x"},
      {request("Vehicle", "vehicleProperty", "IGNITION_ON"), "BooleanPropertyResult", "IGNITION_ON", "true"},
      {request("SystemTime"), "StringPropertyResult", std::nullopt, "12:00"},
      {request("TcuId"), "TcuIdPropertyResult", std::nullopt, "tcu"},
      {request("Vin"), "VinPropertyResult", std::nullopt, "vin-1"},
      {request("Boolean", "propertyName", "b"), "SimpleBooleanPropertyResult", "b", "true"},
      {request("ByteField", "propertyName", "bf"), "ByteFieldPropertyResult", "bf", "0x0A"},
      {request("String", "propertyName", "l"), "StringPropertyResult", "l", "[a;3;{k = true}]"},
      {request("String", "propertyName", "absent"), "StringPropertyResult", "absent", ""},
  };
  for (const auto& c : cases) {
    const auto document = answer(c.request);
    const Fields fields = fieldsOf(document->element_value());
    EXPECT_EQ(fields.type, c.type) << c.request;
    EXPECT_EQ(fields.property, c.property) << c.request;
    EXPECT_EQ(fields.value, c.value) << c.request;
  }
}

TEST_F(PropertyResultsTest, ListsAndMapsAnswerAsNestedResultsInListAndKeyOrder) {
  auto document = answer(request("List", "propertyName", "l"));
  const auto* list = dynamic_cast<const Types::ListPropertyResult*>(document->element_value());
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->get_property(), "l");
  ASSERT_EQ(list->elements_item().size(), 3u);
  EXPECT_EQ(fieldsOf(list->elements_item()[0].get()).type, "StringPropertyResult");
  EXPECT_EQ(fieldsOf(list->elements_item()[0].get()).value, "a");
  EXPECT_EQ(fieldsOf(list->elements_item()[1].get()).type, "IntegerPropertyResult");
  EXPECT_EQ(fieldsOf(list->elements_item()[1].get()).value, "3");
  const auto* nested = dynamic_cast<const Types::MapPropertyResult*>(list->elements_item()[2].get());
  ASSERT_NE(nested, nullptr);
  ASSERT_EQ(nested->elements_entry().size(), 1u);
  EXPECT_EQ(nested->elements_entry()[0]->get_key(), "k");
  EXPECT_EQ(fieldsOf(nested->elements_entry()[0]->element_value()).type, "SimpleBooleanPropertyResult");
  EXPECT_EQ(fieldsOf(nested->elements_entry()[0]->element_value()).value, "true");

  document = answer(request("Map", "propertyName", "m"));
  const auto* map = dynamic_cast<const Types::MapPropertyResult*>(document->element_value());
  ASSERT_NE(map, nullptr);
  ASSERT_EQ(map->elements_entry().size(), 2u);
  EXPECT_EQ(map->elements_entry()[0]->get_key(), "a");
  EXPECT_EQ(map->elements_entry()[0]->element_value()->typeName(), "ListPropertyResult");
  EXPECT_EQ(map->elements_entry()[1]->get_key(), "z");
  EXPECT_EQ(fieldsOf(map->elements_entry()[1]->element_value()).type, "ByteFieldPropertyResult");

  // A list request of a value that is no list answers an empty list.
  document = answer(request("List", "propertyName", "s"));
  list = dynamic_cast<const Types::ListPropertyResult*>(document->element_value());
  ASSERT_NE(list, nullptr);
  EXPECT_TRUE(list->elements_item().empty());
}

TEST_F(PropertyResultsTest, TaskRequestsCollectTypedValuesThatConvertBackToTheSameValue) {
  Types::PersistedMapValue out;
  const struct {
    const char* name;
    const char* type;
  } cases[] = {{"n", "PersistedStringValue"},  // a literal is text as written
               {"pi", "PersistedIntegerValue"},
               {"IGNITION_ON", "PersistedStringValue"},
               {"l", "PersistedListValue"},
               {"m", "PersistedMapValue"}};
  for (const auto& c : cases) {
    ASSERT_TRUE(map_.getRequestPropertyResult(c.name, &out)) << c.name;
    const auto& entry = out.elements_entry().back();
    EXPECT_EQ(entry->get_key(), c.name);
    ASSERT_NE(entry->element_value(), nullptr);
    EXPECT_EQ(entry->element_value()->typeName(), c.type);
    EXPECT_EQ(convertValue(entry->element_value())->str(), map_.getPropertyValue(c.name)) << c.name;
  }
  LogCapture log;
  EXPECT_FALSE(map_.getRequestPropertyResult("absent", &out));
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "No value found for property key absent"));
  EXPECT_EQ(out.elements_entry().size(), 5u);
}

TEST_F(PropertyResultsTest, RefusedRequestsAnswerWellFormedDocuments) {
  const std::string refused[] = {
      "not xml",
      document("PersistedDatabase"),                                              // wrong root type
      document("IpcMessagePropertyRequest"),                                      // abstract kind
      document("IpcMessageColourPropertyRequest"),                                // unknown kind
      request("String", "propertyName", "s").replace(0, 5, "<?xml version='2'"),  // broken declaration
  };
  for (const std::string& text : refused) {
    LogCapture log;
    EXPECT_EQ(answer(text)->element_value(), nullptr) << text;
    EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, "Unable to parse request - xml/schema out of date?"), 1u);
    const auto update = xmldoc::parseString<Types::IpcMessagePropertyResult>(map_.setXmlPropertyResult(text, "c"));
    EXPECT_EQ(update->element_value(), nullptr) << text;
  }
  LogCapture log;
  const auto document = answer(request("GeoLocation"));
  const auto* geo = dynamic_cast<const Types::GeolocationPropertyResult*>(document->element_value());
  ASSERT_NE(geo, nullptr);
  EXPECT_FALSE(geo->has_latitude() || geo->has_longitude());
  EXPECT_EQ(log.count(log4cplus::WARN_LOG_LEVEL), 1u);
  EXPECT_TRUE(log.contains(log4cplus::WARN_LOG_LEVEL, "No support for GeolocationPropertyResults yet!"));
}

TEST_F(PropertyResultsTest, PrintValueLogsEveryScalarUnderItsPath) {
  LogCapture log;
  const auto text = stringNode("x");
  printValue("k", &text);
  const auto list = stringListNode({"a", "b"});
  printValue("L", &list);
  printValue("u", nullptr);
  EXPECT_TRUE(log.contains(log4cplus::DEBUG_LOG_LEVEL, "Updated value for property key k to 'x'"));
  EXPECT_TRUE(log.contains(log4cplus::DEBUG_LOG_LEVEL, "Updated value for property key L #2 to 'b'"));
  EXPECT_TRUE(log.contains(log4cplus::WARN_LOG_LEVEL, "Unknown value type for key u"));
}

}  // namespace
