// Property results: the answer of every request kind, refused documents and the update log lines.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "PropertyTestSupport.h"
#include "kolconfig/XmlDoc.h"
#include "values/ValueUtils.h"

namespace {

using namespace proptest;

// The answer's `value` element as one line: the serialiser's indentation between tags removed.
std::string valueOf(const std::string& answer) {
  const std::string compact = std::regex_replace(answer, std::regex(">\\s+<"), "><");
  const size_t begin = compact.find("<k:value ");
  const size_t end = compact.rfind("</k:content>");
  return begin == std::string::npos || end == std::string::npos ? "" : compact.substr(begin, end - begin);
}
std::string request(const std::string& kind, const std::string& field = "", const std::string& name = "") {
  return document("IpcMessage" + kind + "PropertyRequest",
                  field.empty() ? "" : "<k:" + field + ">" + name + "</k:" + field + ">");
}

const std::string kNestedList =
    listXml({valueXml("String", "a"), valueXml("Integer", "3"), mapXml(entryXml("k", valueXml("Boolean", "true")))});

class PropertyResultsTest : public PropertyTest {
 protected:
  void SetUp() override {
    PropertyTest::SetUp();
    const auto value = [](const std::string& text) { return "<k:value>" + text + "</k:value>"; };
    const auto literal = [&](const std::string& adapter, const std::string& text) {
      return propertyXml(adapter + "PropertyAdapter", "", "StringLiteralPropertyOrigin", value(text));
    };
    load(literal("Imei", "imei-1") + literal("TcuId", "tcu") + literal("Vin", "vin-1") +
             literal("SystemTime", "12:00") + named("String", "s", "StringLiteral", value("x")) +
             named("Integer", "n", "IntegerLiteral", value("007")) +
             named("Float", "f", "FloatLiteral", value("1.50")) +
             named("Boolean", "b", "BooleanLiteral", value("TRUE")) +
             named("ByteField", "bf", "BytefieldLiteral", value("0a0B")) +
             propertyXml("VehiclePropertyAdapter", "vehicleProperty=\"IGNITION_ON\"", "PersistedBooleanPropertyOrigin",
                         "<k:defaultValue>true</k:defaultValue>" + keyXml("IGNITION_ON")) +
             named("Integer", "pi", "PersistedInteger", keyXml("pi")) +
             named("List", "l", "PersistedList", keyXml("l")) + named("Map", "m", "PersistedMap", keyXml("m")),
         entryXml("pi", valueXml("Integer", "5")) + entryXml("l", kNestedList) +
             entryXml("m", mapXml(entryXml("z", valueXml("ByteField", "FF")) + entryXml("a", kNestedList))));
  }
  xmldoc::DocumentPtr<Types::IpcMessagePropertyResult> answer(const std::string& text) {
    return xmldoc::parseString<Types::IpcMessagePropertyResult>(map_.getXmlPropertyResult(text));
  }
};

// A result element as valueOf() shows it; no property element when `property` is null.
std::string result(const std::string& type, const char* property, const std::string& value) {
  return "<k:value xsi:type=\"k:" + type + "\">" +
         (property != nullptr ? "<k:property>" + std::string(property) + "</k:property>" : "") + "<k:value>" + value +
         "</k:value></k:value>";
}

TEST_F(PropertyResultsTest, EachRequestKindAnswersWithItsResultKind) {
  const std::string kListItems =
      "<k:item xsi:type=\"k:StringPropertyResult\"><k:value>a</k:value></k:item>"
      "<k:item xsi:type=\"k:IntegerPropertyResult\"><k:value>3</k:value></k:item>"
      "<k:item xsi:type=\"k:MapPropertyResult\"><k:entry><k:key>k</k:key>"
      "<k:value xsi:type=\"k:SimpleBooleanPropertyResult\"><k:value>true</k:value>"
      "</k:value></k:entry></k:item>";
  const struct {
    std::string request;
    std::string answer;
  } cases[] = {
      {request("Imei"), result("ImeiPropertyResult", nullptr, "imei-1")},
      {request("Integer", "propertyName", "n"), result("IntegerPropertyResult", "n", "007")},
      {request("Float", "propertyName", "f"), result("FloatPropertyResult", "f", "1.50")},
      {request("String", "propertyName", "s"), result("StringPropertyResult", "s", "x")},
      {request("Vehicle", "vehicleProperty", "IGNITION_ON"), result("BooleanPropertyResult", "IGNITION_ON", "true")},
      {request("SystemTime"), result("StringPropertyResult", nullptr, "12:00")},
      {request("TcuId"), result("TcuIdPropertyResult", nullptr, "tcu")},
      {request("Vin"), result("VinPropertyResult", nullptr, "vin-1")},
      {request("Boolean", "propertyName", "b"), result("SimpleBooleanPropertyResult", "b", "TRUE")},
      {request("ByteField", "propertyName", "bf"), result("ByteFieldPropertyResult", "bf", "0a0B")},
      {request("String", "propertyName", "l"), result("StringPropertyResult", "l", "[a;3;{k = true}]")},
      {request("String", "propertyName", "absent"), result("StringPropertyResult", "absent", "")},
      {request("GeoLocation"), "<k:value xsi:type=\"k:GeolocationPropertyResult\"/>"},
      {request("List", "propertyName", "l"),
       "<k:value xsi:type=\"k:ListPropertyResult\"><k:property>l</k:property>" + kListItems + "</k:value>"},
      {request("Map", "propertyName", "m"),
       "<k:value xsi:type=\"k:MapPropertyResult\"><k:property>m</k:property><k:entry><k:key>a</k:key>"
       "<k:value xsi:type=\"k:ListPropertyResult\">" +
           kListItems +
           "</k:value></k:entry><k:entry><k:key>z</k:key><k:value xsi:type=\"k:ByteFieldPropertyResult\">"
           "<k:value>FF</k:value></k:value></k:entry></k:value>"},
      {request("List", "propertyName", "s"),  // no list: an empty one
       "<k:value xsi:type=\"k:ListPropertyResult\"><k:property>s</k:property></k:value>"},
  };
  for (const auto& c : cases) EXPECT_EQ(valueOf(map_.getXmlPropertyResult(c.request)), c.answer) << c.request;
}

// Malformed or hostile documents, as a request and as an update: well-formed refusals, store untouched.
TEST_F(PropertyResultsTest, RefusedDocumentsAnswerWellFormedAndChangeNothing) {
  const std::string update = updateXml("pi", "Integer", "9");
  const std::string refused[] = {
      "not xml",
      update.substr(0, update.size() / 2),                                        // truncated
      document("PersistedDatabase"),                                              // wrong root type
      document("IpcMessagePropertyRequest"),                                      // abstract kind
      document("IpcMessageColourPropertyRequest"),                                // unknown kind
      request("String", "propertyName", "s").replace(0, 5, "<?xml version='2'"),  // broken declaration
      std::regex_replace(update, std::regex("PersistedIntegerValue"), "PersistedNoValue"),
      std::string(update).insert(update.find("<k:config"), "<!DOCTYPE x [<!ENTITY e \"e\">]>"),
  };
  for (const std::string& text : refused) {
    SCOPED_TRACE(text);
    LogCapture log;
    EXPECT_EQ(answer(text)->element_value(), nullptr);
    EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, "Unable to parse request - xml/schema out of date?"), 1u);
    const std::string answered = map_.setXmlPropertyResult(text, "c");
    EXPECT_NO_THROW(xmldoc::parseString<Types::IpcMessagePropertyResult>(answered));
    EXPECT_EQ(answered.find(">true<"), std::string::npos);
  }
  EXPECT_EQ(answer(update)->element_value(), nullptr);  // an update is no request, nor a request an update
  EXPECT_EQ(map_.setXmlPropertyResult(request("Integer", "propertyName", "pi"), "c").find(">true<"), std::string::npos);
  EXPECT_EQ(map_.getPropertyValue("pi"), "5");
}

TEST_F(PropertyResultsTest, PrintValueLogsEveryScalarUnderItsPath) {
  LogCapture log;
  const auto list = stringListNode({"a", "b"});
  printValue("L", &list);
  EXPECT_TRUE(log.contains(log4cplus::DEBUG_LOG_LEVEL, "Updated value for property key L #2 to 'b'"));
  log.clear();
  const auto longList = stringListNode(std::vector<std::string>(300, "v"));
  printValue("big", &longList);
  EXPECT_EQ(log.count(log4cplus::DEBUG_LOG_LEVEL, "Updated value for property key big #"), 256u);
  EXPECT_EQ(log.count(log4cplus::DEBUG_LOG_LEVEL, "Further values of property key big are not logged"), 1u);
}

}  // namespace
