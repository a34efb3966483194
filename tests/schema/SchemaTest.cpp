// Tests of the configuration-schema library: generated classes, document reading and writing,
// durable saving, and agreement of every written document with kolconfig.xsd.
#include <errno.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/xmlschemas.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include "kolconfig/FileIo.h"
#include "kolconfig/SchemaValidator.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

const char* const kHeader =
    "<?xml version=\"1.0\"?>\n"
    "<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n";

std::string document(const std::string& contentType, const std::string& body, const std::string& attributes = "") {
  return std::string(kHeader) + "<k:content xsi:type=\"" + contentType + "\"" + attributes + ">" + body +
         "</k:content></k:config>\n";
}

// Message of the XPlus::Exception thrown by `f`, or "" when nothing was thrown.
template <class F>
std::string errorOf(F&& f) {
  try {
    f();
  } catch (const XPlus::Exception& e) {
    return e.what();
  }
  return "";
}

template <class T>
xmldoc::DocumentPtr<T> roundTrip(const T& content) {
  return xmldoc::parseString<T>(xmldoc::toString(content));
}

// ---------------------------------------------------------------- schema validation helper

struct SchemaParserDeleter {
  void operator()(xmlSchemaParserCtxt* p) const { xmlSchemaFreeParserCtxt(p); }
};
struct SchemaDeleter {
  void operator()(xmlSchema* p) const { xmlSchemaFree(p); }
};
struct ValidCtxtDeleter {
  void operator()(xmlSchemaValidCtxt* p) const { xmlSchemaFreeValidCtxt(p); }
};
struct DocDeleter {
  void operator()(xmlDoc* p) const { xmlFreeDoc(p); }
};

void collectError(void* userData, xmlError* error) {
  auto* out = static_cast<std::string*>(userData);
  if (error != nullptr && error->message != nullptr) {
    *out += error->message;
  }
}

// The schema compiled once for the whole test program.
xmlSchema* compiledSchema() {
  static std::unique_ptr<xmlSchema, SchemaDeleter> schema = [] {
    std::unique_ptr<xmlSchemaParserCtxt, SchemaParserDeleter> parser(xmlSchemaNewParserCtxt(KOLCONFIG_SCHEMA_FILE));
    return std::unique_ptr<xmlSchema, SchemaDeleter>(parser ? xmlSchemaParse(parser.get()) : nullptr);
  }();
  return schema.get();
}

// "" when `xml` is valid against kolconfig.xsd, else the validator's messages.
std::string schemaErrors(const std::string& xml) {
  xmlSchema* schema = compiledSchema();
  if (schema == nullptr) {
    return "schema did not compile";
  }
  std::unique_ptr<xmlDoc, DocDeleter> doc(
      xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr, XML_PARSE_NONET));
  if (!doc) {
    return "not well-formed";
  }
  std::unique_ptr<xmlSchemaValidCtxt, ValidCtxtDeleter> validator(xmlSchemaNewValidCtxt(schema));
  std::string errors;
  xmlSchemaSetValidStructuredErrors(validator.get(), &collectError, &errors);
  const int rc = xmlSchemaValidateDoc(validator.get(), doc.get());
  if (rc != 0 && errors.empty()) {
    errors = "validation failed with code " + std::to_string(rc);
  }
  return errors;
}

// ---------------------------------------------------------------- sample documents

xmldoc::DocumentPtr<Types::ProvisioningConfig> sampleProvisioningConfig() {
  auto config = xmldoc::createDocument<Types::ProvisioningConfig>();
  auto* group = config->add_node_provisioningDefinitions<Types::GroupAdapter>();
  group->set_name("A");
  group->add_node_owner("X");
  auto* boolean = group->add_node_provisioningDefinitions<Types::BooleanPropertyAdapter>();
  boolean->set_propertyName("b");
  boolean->add_node_origin<Types::PersistedBooleanPropertyOrigin>()->set_key("A.b");
  auto* string = config->add_node_provisioningDefinitions<Types::StringPropertyAdapter>();
  string->set_propertyName("s");
  string->add_node_origin<Types::StringLiteralPropertyOrigin>()->set_value("hello");
  return config;
}

// A map holding every value kind, with a list and a map nested in it.
void fillAllValueKinds(Types::PersistedMapValue& map) {
  auto addEntry = [&map](const std::string& key) {
    auto* entry = map.add_node_entry();
    entry->set_key(key);
    return entry;
  };
  addEntry("s")->add_node_value<Types::PersistedStringValue>()->set_stringValue("text");
  addEntry("i")->add_node_value<Types::PersistedIntegerValue>()->set_integerValue(-2147483647 - 1);
  addEntry("b")->add_node_value<Types::PersistedBooleanValue>()->set_booleanValue(true);
  addEntry("f")->add_node_value<Types::PersistedFloatValue>()->set_floatValue(0.1);
  addEntry("y")->add_node_value<Types::PersistedByteFieldValue>()->set_byteFieldValue("0x00FF");
  auto* list = addEntry("l")->add_node_value<Types::PersistedListValue>();
  list->add_node_item<Types::PersistedStringValue>()->set_stringValue("first");
  auto* nested = list->add_node_item<Types::PersistedMapValue>();
  auto* inner = nested->add_node_entry();
  inner->set_key("deep");
  inner->add_node_value<Types::PersistedListValue>()->add_node_item<Types::PersistedIntegerValue>()->set_integerValue(
      7);
  addEntry("empty");  // an entry without a value
}

}  // namespace

// ---------------------------------------------------------------- round trips

TEST(SchemaDocument, ProvisioningConfigWithGroupRoundTripsInTheDocumentedShape) {
  const auto config = sampleProvisioningConfig();
  const std::string xml = xmldoc::toString(*config);

  // Attributes for the names, xsi:type on every polymorphic element, base fields first.
  EXPECT_NE(xml.find("<k:content xsi:type=\"k:ProvisioningConfig\">"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<k:provisioningDefinitions xsi:type=\"k:GroupAdapter\" name=\"A\">"), std::string::npos) << xml;
  EXPECT_NE(xml.find("<k:owner>X</k:owner>"), std::string::npos) << xml;
  EXPECT_NE(xml.find("xsi:type=\"k:BooleanPropertyAdapter\" propertyName=\"b\""), std::string::npos) << xml;
  EXPECT_NE(xml.find("<k:origin xsi:type=\"k:PersistedBooleanPropertyOrigin\">"), std::string::npos) << xml;
  EXPECT_LT(xml.find("<k:owner>"), xml.find("BooleanPropertyAdapter"));
  EXPECT_EQ(schemaErrors(xml), "");

  const auto back = xmldoc::parseString<Types::ProvisioningConfig>(xml);
  ASSERT_EQ(back->elements_provisioningDefinitions().size(), 2u);
  const auto* group = dynamic_cast<const Types::GroupAdapter*>(back->elements_provisioningDefinitions()[0].get());
  ASSERT_NE(group, nullptr);
  EXPECT_EQ(group->get_name(), "A");
  EXPECT_EQ(group->elements_owner(), std::vector<std::string>{"X"});
  ASSERT_EQ(group->elements_provisioningDefinitions().size(), 1u);
  const auto* boolean =
      dynamic_cast<const Types::BooleanPropertyAdapter*>(group->elements_provisioningDefinitions()[0].get());
  ASSERT_NE(boolean, nullptr);
  EXPECT_EQ(boolean->get_propertyName(), "b");
  const auto* origin = dynamic_cast<const Types::PersistedBooleanPropertyOrigin*>(boolean->element_origin());
  ASSERT_NE(origin, nullptr);
  EXPECT_EQ(origin->get_key(), "A.b");
  EXPECT_FALSE(origin->has_defaultValue());
  const auto* literal = dynamic_cast<const Types::StringLiteralPropertyOrigin*>(
      static_cast<const Types::StringPropertyAdapter*>(back->elements_provisioningDefinitions()[1].get())
          ->element_origin());
  ASSERT_NE(literal, nullptr);
  EXPECT_EQ(literal->get_value(), "hello");

  // Serialising the parsed document gives the same text.
  EXPECT_EQ(xmldoc::toString(*back), xml);
}

TEST(SchemaDocument, ReadsTheDocumentedExampleWithOptionalDefaultValueBeforeKey) {
  const std::string body =
      "<k:provisioningDefinitions xsi:type=\"k:GroupAdapter\" name=\"A\">\n"
      "  <k:owner>X</k:owner>\n"
      "  <k:provisioningDefinitions xsi:type=\"k:BooleanPropertyAdapter\" propertyName=\"b\">\n"
      "    <k:origin xsi:type=\"k:PersistedBooleanPropertyOrigin\">"
      "<k:defaultValue>1</k:defaultValue><k:key>A.b</k:key></k:origin>\n"
      "  </k:provisioningDefinitions>\n"
      "</k:provisioningDefinitions>\n"
      "<!-- a comment between definitions -->\n"
      "<k:provisioningDefinitions xsi:type=\"k:StringPropertyAdapter\" propertyName=\"s\">\n"
      "  <k:origin xsi:type=\"k:StringLiteralPropertyOrigin\"><k:value><![CDATA[<hello>]]></k:value></k:origin>\n"
      "</k:provisioningDefinitions>\n";
  const std::string xml = document("k:ProvisioningConfig", body);
  ASSERT_EQ(schemaErrors(xml), "");
  const auto config = xmldoc::parseString<Types::ProvisioningConfig>(xml);
  const auto& group = static_cast<const Types::GroupAdapter&>(*config->elements_provisioningDefinitions()[0]);
  const auto& adapter = static_cast<const Types::BooleanPropertyAdapter&>(*group.elements_provisioningDefinitions()[0]);
  const auto* origin = static_cast<const Types::PersistedBooleanPropertyOrigin*>(adapter.element_origin());
  ASSERT_TRUE(origin->has_defaultValue());
  EXPECT_TRUE(origin->get_defaultValue());
  const auto& adapter2 =
      static_cast<const Types::StringPropertyAdapter&>(*config->elements_provisioningDefinitions()[1]);
  EXPECT_EQ(static_cast<const Types::StringLiteralPropertyOrigin*>(adapter2.element_origin())->get_value(), "<hello>");

  // The derived field follows the base field when written.
  const std::string written = xmldoc::toString(*config);
  EXPECT_LT(written.find("<k:defaultValue>true</k:defaultValue>"), written.find("<k:key>A.b</k:key>"));
}

TEST(SchemaDocument, PersistedDatabaseWithNestedMapsAndListsRoundTrips) {
  auto database = xmldoc::createDocument<Types::PersistedDatabase>();
  fillAllValueKinds(*database->add_node_data());
  const std::string xml = xmldoc::toString(*database);
  EXPECT_EQ(schemaErrors(xml), "");

  const auto back = xmldoc::parseString<Types::PersistedDatabase>(xml);
  const auto& entries = back->element_data()->elements_entry();
  ASSERT_EQ(entries.size(), 7u);
  EXPECT_EQ(entries[0]->get_key(), "s");
  EXPECT_EQ(dynamic_cast<const Types::PersistedStringValue&>(*entries[0]->element_value()).get_stringValue(), "text");
  EXPECT_EQ(dynamic_cast<const Types::PersistedIntegerValue&>(*entries[1]->element_value()).get_integerValue(),
            std::numeric_limits<int32_t>::min());
  EXPECT_TRUE(dynamic_cast<const Types::PersistedBooleanValue&>(*entries[2]->element_value()).get_booleanValue());
  EXPECT_EQ(dynamic_cast<const Types::PersistedFloatValue&>(*entries[3]->element_value()).get_floatValue(), 0.1);
  EXPECT_EQ(dynamic_cast<const Types::PersistedByteFieldValue&>(*entries[4]->element_value()).get_byteFieldValue(),
            "0x00FF");
  const auto& list = dynamic_cast<const Types::PersistedListValue&>(*entries[5]->element_value());
  ASSERT_EQ(list.elements_item().size(), 2u);
  const auto& nested = dynamic_cast<const Types::PersistedMapValue&>(*list.elements_item()[1]);
  const auto& deep = dynamic_cast<const Types::PersistedListValue&>(*nested.elements_entry()[0]->element_value());
  EXPECT_EQ(dynamic_cast<const Types::PersistedIntegerValue&>(*deep.elements_item()[0]).get_integerValue(), 7);
  EXPECT_EQ(entries[6]->element_value(), nullptr);
  EXPECT_EQ(xmldoc::toString(*back), xml);
}

TEST(SchemaDocument, TaskIndexAndResultWithErrorInfoRoundTrip) {
  auto index = xmldoc::createDocument<Types::TaskIndex>();
  auto* signedEntry = index->add_node_taskIndexEntry();
  signedEntry->set_type("TASK_REQUEST");
  signedEntry->set_file("task.xml");
  signedEntry->set_signature("c2lnbmF0dXJl");
  auto* unsignedEntry = index->add_node_taskIndexEntry();
  unsignedEntry->set_type("ZEM_DATABASE");
  unsignedEntry->set_file("database.xml");
  const std::string indexXml = xmldoc::toString(*index);
  EXPECT_EQ(schemaErrors(indexXml), "");
  const auto indexBack = xmldoc::parseString<Types::TaskIndex>(indexXml);
  ASSERT_EQ(indexBack->elements_taskIndexEntry().size(), 2u);
  EXPECT_EQ(indexBack->elements_taskIndexEntry()[0]->get_signature(), "c2lnbmF0dXJl");
  EXPECT_FALSE(indexBack->elements_taskIndexEntry()[1]->has_signature());
  EXPECT_EQ(Types::ElementType::parse(indexBack->elements_taskIndexEntry()[1]->get_type()),
            Types::ElementType::ZEM_DATABASE);

  auto result = xmldoc::createDocument<Types::RequestPropertyZemTaskResult>();
  result->set_taskId("task-1");
  auto* error = result->add_node_errorInfo();
  error->set_success(false);
  error->set_errorType(7);
  error->set_errorMessage("Impossible to update property A & <B>");
  auto* entry = result->add_node_properties()->add_node_entry();
  entry->set_key("VIN");
  entry->add_node_value<Types::PersistedStringValue>()->set_stringValue("WVW");
  const std::string resultXml = xmldoc::toString(*result);
  EXPECT_NE(resultXml.find("xsi:type=\"k:RequestPropertyZemTaskResult\" taskId=\"task-1\""), std::string::npos);
  EXPECT_EQ(schemaErrors(resultXml), "");

  const auto back = xmldoc::parseString<Types::TaskResult>(resultXml);
  EXPECT_EQ(back->get_taskId(), "task-1");
  EXPECT_FALSE(back->element_errorInfo()->get_success());
  EXPECT_EQ(back->element_errorInfo()->get_errorType(), 7);
  EXPECT_EQ(back->element_errorInfo()->get_errorMessage(), "Impossible to update property A & <B>");
  const auto* typed = dynamic_cast<const Types::RequestPropertyZemTaskResult*>(back.get());
  ASSERT_NE(typed, nullptr);
  EXPECT_EQ(typed->element_properties()->elements_entry()[0]->get_key(), "VIN");

  // A result without a taskId still carries the attribute, empty.
  auto empty = xmldoc::createDocument<Types::ResetZemDatabaseTaskResult>();
  empty->add_node_errorInfo()->set_success(true);
  const std::string emptyXml = xmldoc::toString(*empty);
  EXPECT_NE(emptyXml.find("taskId=\"\""), std::string::npos);
  EXPECT_EQ(schemaErrors(emptyXml), "");
}

TEST(SchemaDocument, TextIsKeptExactlyIncludingLeadingZerosBlanksAndMarkup) {
  auto config = xmldoc::createDocument<Types::ProvisioningConfig>();
  auto* adapter = config->add_node_provisioningDefinitions<Types::IntegerPropertyAdapter>();
  adapter->set_propertyName("quote\"d\ttab\nline & <x>");
  adapter->add_node_origin<Types::IntegerLiteralPropertyOrigin>()->set_value("007");
  auto* text = config->add_node_provisioningDefinitions<Types::StringPropertyAdapter>();
  text->set_propertyName("t");
  text->add_node_origin<Types::StringLiteralPropertyOrigin>()->set_value(
      "  a\r\nb\t]]> &amp; \xC3\xA9\xF0\x9F\x9A\x97 ");
  const std::string xml = xmldoc::toString(*config);
  EXPECT_NE(xml.find("<k:value>007</k:value>"), std::string::npos);

  const auto back = roundTrip(*config);
  const auto& integer = static_cast<const Types::IntegerPropertyAdapter&>(*back->elements_provisioningDefinitions()[0]);
  EXPECT_EQ(integer.get_propertyName(), "quote\"d\ttab\nline & <x>");
  EXPECT_EQ(static_cast<const Types::IntegerLiteralPropertyOrigin*>(integer.element_origin())->get_value(), "007");
  const auto& string = static_cast<const Types::StringPropertyAdapter&>(*back->elements_provisioningDefinitions()[1]);
  EXPECT_EQ(static_cast<const Types::StringLiteralPropertyOrigin*>(string.element_origin())->get_value(),
            "  a\r\nb\t]]> &amp; \xC3\xA9\xF0\x9F\x9A\x97 ");
  EXPECT_EQ(schemaErrors(xml), "");

  // "007" written by hand reads back as written.
  const auto parsed = xmldoc::parseString<Types::ProvisioningConfig>(
      document("k:ProvisioningConfig",
               "<k:provisioningDefinitions xsi:type=\"k:IntegerPropertyAdapter\" propertyName=\"n\">"
               "<k:origin xsi:type=\"k:IntegerLiteralPropertyOrigin\"><k:value>007</k:value></k:origin>"
               "</k:provisioningDefinitions>"));
  const auto& n = static_cast<const Types::IntegerPropertyAdapter&>(*parsed->elements_provisioningDefinitions()[0]);
  EXPECT_EQ(static_cast<const Types::IntegerLiteralPropertyOrigin*>(n.element_origin())->get_value(), "007");
}

TEST(SchemaDocument, NumbersKeepTheirValueAtTheEdges) {
  auto settings = xmldoc::createDocument<Types::ZemGlobalSettings>();
  settings->set_maximumDataSize(std::numeric_limits<uint32_t>::max());
  settings->set_replayHistorySize(0);
  const auto back = roundTrip(*settings);
  EXPECT_EQ(back->get_maximumDataSize(), std::numeric_limits<uint32_t>::max());
  EXPECT_FALSE(back->has_componentLogLevel());

  for (const double value : {-0.25, 1e300, 5e-324, 123456.789, std::numeric_limits<double>::infinity()}) {
    Types::PersistedFloatValue number;
    number.set_floatValue(value);
    auto update = xmldoc::createDocument<Types::IpcMessagePropertyUpdate>();
    update->set_propertyName("f");
    update->set_element_propertyValue(number.clone());
    const std::string xml = xmldoc::toString(*update);
    EXPECT_EQ(schemaErrors(xml), "") << xml;
    const auto read = xmldoc::parseString<Types::IpcMessagePropertyUpdate>(xml);
    EXPECT_EQ(static_cast<const Types::PersistedFloatValue*>(read->element_propertyValue())->get_floatValue(), value);
  }

  // Lexical forms of the schema: surrounding blanks, '+', 1/0 booleans, NaN.
  const auto lexical = xmldoc::parseString<Types::ZemGlobalSettings>(
      document("ZemGlobalSettings",
               "<k:maximumDataSize> +100 </k:maximumDataSize><k:replayHistorySize>\n5\n</k:replayHistorySize>"
               "<k:componentLogLevel>INFO</k:componentLogLevel>"));
  EXPECT_EQ(lexical->get_maximumDataSize(), 100u);
  EXPECT_EQ(lexical->get_replayHistorySize(), 5u);
  EXPECT_EQ(Types::LogLevelType::parse(lexical->get_componentLogLevel()), Types::LogLevelType::INFO);
  const auto nan = xmldoc::parseString<Types::PersistedDatabase>(
      document("k:PersistedDatabase",
               "<k:data><k:entry><k:key>x</k:key><k:value xsi:type=\"k:PersistedFloatValue\">"
               "<k:floatValue>NaN</k:floatValue></k:value></k:entry></k:data>"));
  EXPECT_TRUE(std::isnan(
      static_cast<const Types::PersistedFloatValue*>(nan->element_data()->elements_entry()[0]->element_value())
          ->get_floatValue()));
}

// ---------------------------------------------------------------- polymorphism and types

TEST(SchemaDocument, ContentTypeIsChosenByXsiTypeWithOrWithoutPrefix) {
  for (const std::string type :
       {"ns:ResetZemDatabaseTaskDescription", "ResetZemDatabaseTaskDescription", "k:ResetZemDatabaseTaskDescription"}) {
    const std::string xml = std::string(kHeader) + "<k:content xmlns:ns=\"http://www.olvane.com/kolconfig\" " +
                            "xsi:type=\"" + type + "\" taskId=\"42\"/></k:config>";
    const auto description = xmldoc::parseString<Types::TaskDescription>(xml);
    EXPECT_EQ(description->typeName(), "ResetZemDatabaseTaskDescription") << type;
    EXPECT_EQ(description->get_taskId(), "42");
    EXPECT_NE(dynamic_cast<const Types::ResetZemDatabaseTaskDescription*>(description.get()), nullptr);
    EXPECT_NE(dynamic_cast<const Types::ZemTaskDescription*>(description.get()), nullptr);
    EXPECT_EQ(dynamic_cast<const Types::RequestZemDatabaseTaskDescription*>(description.get()), nullptr);
  }

  // Any type can be read generically.
  const auto any = xmldoc::parseString<Types::XmlNode>(document("k:TaskIndex", ""));
  EXPECT_EQ(any->typeName(), "TaskIndex");

  // A description without taskId reports it absent and empty.
  const auto noId = xmldoc::parseString<Types::ZemTaskDescription>(
      document("k:InstallProvisioningConfigTaskDescription", "", " forceOverride=\"true\""));
  EXPECT_FALSE(noId->has_taskId());
  EXPECT_EQ(noId->get_taskId(), "");
  EXPECT_TRUE(dynamic_cast<const Types::InstallProvisioningConfigTaskDescription&>(*noId).get_forceOverride());

  // A bus-properties description is also a property-update description.
  EXPECT_TRUE(Types::isTypeDerivedFrom("UpdateBusPropertiesZemTaskDescription", "UpdatePropertyZemTaskDescription"));
  EXPECT_TRUE(Types::isTypeDerivedFrom("ComponentLogLevelPropertyOrigin", "StringPropertyOrigin"));
  EXPECT_FALSE(Types::isTypeDerivedFrom("StringPropertyOrigin", "ComponentLogLevelPropertyOrigin"));
  EXPECT_FALSE(Types::isTypeDerivedFrom("NoSuchType", "XmlNode"));
  EXPECT_EQ(Types::createNodeByTypeName("PropertyOrigin"), nullptr);  // abstract
  EXPECT_EQ(Types::createNodeByTypeName("CanFloatPropertyOrigin")->typeName(), "CanFloatPropertyOrigin");
}

TEST(SchemaDocument, ContentOfAnotherTypeIsRefusedAsUnexpectedRoot) {
  auto result = xmldoc::createDocument<Types::InstallProvisioningConfigTaskResult>();
  result->add_node_errorInfo()->set_success(true);
  const std::string xml = xmldoc::toString(*result);
  try {
    xmldoc::parseString<Types::PersistedDatabase>(xml);
    FAIL() << "a task result was read as a database";
  } catch (const XPlus::Exception& e) {
    EXPECT_EQ(e.getMessage(), "Root element is not the expected one");
    EXPECT_EQ(e.getContext().at("expected"), "PersistedDatabase");
    EXPECT_EQ(e.getContext().at("actual"), "k:InstallProvisioningConfigTaskResult");
    EXPECT_EQ(std::string(e.what()),
              "Root element is not the expected one (expected: PersistedDatabase, "
              "actual: k:InstallProvisioningConfigTaskResult)");
  }
  // A base type is not its derived type.
  EXPECT_EQ(errorOf([&] {
              xmldoc::parseString<Types::ZemTaskDescription>(document("k:TaskIndex", ""));
            }).rfind("Root element is not the expected one", 0),
            0u);
  // A root other than config.
  const std::string other = "<k:other xmlns:k=\"http://www.olvane.com/kolconfig\"/>";
  EXPECT_EQ(errorOf([&] { xmldoc::parseString<Types::TaskIndex>(other); }),
            "Root element is not the expected one (expected: config, actual: other)");
  const std::string wrongNamespace = "<config xmlns=\"urn:other\"/>";
  EXPECT_EQ(errorOf([&] { xmldoc::parseString<Types::TaskIndex>(wrongNamespace); }),
            "Root element is not the expected one (expected: config, actual: {urn:other}config)");
}

TEST(SchemaDocument, BadDocumentsAreRefusedWithAParseError) {
  const struct {
    const char* what;
    std::string xml;
    const char* expectedPart;
  } cases[] = {
      {"malformed", std::string(kHeader) + "<k:content xsi:type=\"k:TaskIndex\">", "Parse error: "},
      {"empty", "", "Parse error: "},
      {"not xml", "hello", "Parse error: "},
      {"unknown element", document("k:TaskIndex", "<k:bogus/>"), "unexpected element 'bogus'"},
      {"element out of order",
       document("k:TaskIndex", "<k:taskIndexEntry><k:file>f</k:file><k:type>INDEX</k:type></k:taskIndexEntry>"),
       "missing element 'type' in TaskIndexEntry"},
      {"element in no namespace", document("k:TaskIndex", "<taskIndexEntry/>"), "(no namespace)"},
      {"unknown content type", document("k:NoSuchType", ""), "unknown type 'k:NoSuchType'"},
      {"content without type", std::string(kHeader) + "<k:content/></k:config>", "has no xsi:type"},
      {"two contents",
       std::string(kHeader) + "<k:content xsi:type=\"k:TaskIndex\"/><k:content "
                              "xsi:type=\"k:TaskIndex\"/></k:config>",
       "unexpected element 'content'"},
      {"missing required element", document("k:ZemGlobalSettings", "<k:maximumDataSize>1</k:maximumDataSize>"),
       "missing element 'replayHistorySize' in ZemGlobalSettings"},
      {"missing required attribute",
       document("k:ProvisioningConfig", "<k:provisioningDefinitions xsi:type=\"k:GroupAdapter\"/>"),
       "missing attribute 'name' of GroupAdapter"},
      {"unknown attribute", document("k:TaskIndex", "", " colour=\"red\""), "unexpected attribute 'colour'"},
      {"bad integer",
       document("k:ZemGlobalSettings",
                "<k:maximumDataSize>12x</k:maximumDataSize><k:replayHistorySize>1</k:replayHistorySize>"),
       "invalid xs:unsignedInt value '12x'"},
      {"negative unsigned",
       document("k:ZemGlobalSettings",
                "<k:maximumDataSize>-1</k:maximumDataSize><k:replayHistorySize>1</k:replayHistorySize>"),
       "invalid xs:unsignedInt value '-1'"},
      {"integer overflow",
       document("k:IpcMessagePropertyUpdate",
                "<k:propertyName>p</k:propertyName><k:propertyValue xsi:type=\"k:PersistedIntegerValue\">"
                "<k:integerValue>2147483648</k:integerValue></k:propertyValue>"),
       "invalid xs:int value '2147483648'"},
      {"bad boolean", document("k:InstallZemDatabaseTaskDescription", "", " forceOverride=\"yes\""),
       "invalid xs:boolean value 'yes'"},
      {"bad double",
       document("k:IpcMessagePropertyUpdate",
                "<k:propertyName>p</k:propertyName><k:propertyValue xsi:type=\"k:PersistedFloatValue\">"
                "<k:floatValue>inf</k:floatValue></k:propertyValue>"),
       "invalid xs:double value 'inf'"},
      {"abstract element type without xsi:type",
       document("k:IpcMessagePropertyUpdate", "<k:propertyName>p</k:propertyName><k:propertyValue/>"),
       "needs an xsi:type"},
      {"unrelated xsi:type",
       document("k:ProvisioningConfig",
                "<k:provisioningDefinitions xsi:type=\"k:StringPropertyAdapter\" propertyName=\"s\">"
                "<k:origin xsi:type=\"k:PersistedIntegerPropertyOrigin\"><k:key>k</k:key></k:origin>"
                "</k:provisioningDefinitions>"),
       "is not derived from StringPropertyOrigin"},
      {"text in a complex element", document("k:TaskIndex", "stray"), "unexpected text in TaskIndex"},
      {"element inside a simple field", document("k:RequestZemDataTaskDescription", "<k:dataType><k:x/></k:dataType>"),
       "must hold text only"},
  };
  for (const auto& c : cases) {
    const std::string message = errorOf([&] { xmldoc::parseString<Types::XmlNode>(c.xml); });
    EXPECT_EQ(message.rfind("Parse error: ", 0), 0u) << c.what << ": " << message;
    EXPECT_NE(message.find(c.expectedPart), std::string::npos) << c.what << ": " << message;
  }
}

TEST(SchemaDocument, DocumentTypeDeclarationsAreRefusedBeforeAnyEntityIsRead) {
  const std::string body = "<k:content xsi:type=\"k:TaskIndex\"/></k:config>";
  const std::string cases[] = {
      // Entity expansion bomb.
      "<?xml version=\"1.0\"?>\n<!DOCTYPE k:config [\n<!ENTITY a \"aaaaaaaaaa\">\n"
      "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">\n<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">\n]>\n" +
          std::string(kHeader).substr(22) +
          "<k:content xsi:type=\"k:TaskIndex\"><k:taskIndexEntry><k:type>&c;</k:type>"
          "<k:file>f</k:file></k:taskIndexEntry></k:content></k:config>",
      // External entity reading a local file.
      "<?xml version=\"1.0\"?>\n<!DOCTYPE k:config [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>\n" +
          std::string(kHeader).substr(22) + body,
      // External DTD.
      "<?xml version=\"1.0\"?>\n<!DOCTYPE k:config SYSTEM \"http://example.invalid/x.dtd\">\n" +
          std::string(kHeader).substr(22) + body,
      // A bare declaration.
      "<!DOCTYPE config>\n" + std::string(kHeader).substr(22) + body,
  };
  for (const std::string& xml : cases) {
    EXPECT_EQ(errorOf([&] { xmldoc::parseString<Types::TaskIndex>(xml); }),
              "DTD and entity declarations are not allowed")
        << xml;
  }
  // The refusal does not stick to the thread: the next document parses.
  EXPECT_NO_THROW(xmldoc::parseString<Types::TaskIndex>(document("k:TaskIndex", "")));
}

// ---------------------------------------------------------------- enumerations

TEST(SchemaEnum, ParsesExactNamesAndReportsUnknownOnes) {
  EXPECT_EQ(Types::LogLevelType::parse("FATAL"), 0);
  EXPECT_EQ(Types::LogLevelType::parse("DEBUG"), 3);
  EXPECT_EQ(Types::LogLevelType::parse("INFO"), 4);
  EXPECT_EQ(Types::LogLevelType::parse("TRACE"), 5);
  EXPECT_EQ(Types::LogLevelType::toString(Types::LogLevelType::WARNING), "WARNING");
  EXPECT_EQ(Types::LogLevelType::fromInt(4), Types::LogLevelType::INFO);
  try {
    Types::LogLevelType::parse("debug");
    FAIL() << "lower-case name accepted";
  } catch (const XSDEnumException& e) {
    EXPECT_STREQ(e.what(), "Unable to parse the enum value debug");
    EXPECT_EQ(e.getValue(), "debug");
  }
  EXPECT_EQ(errorOf([] { Types::LogLevelType::fromInt(6); }), "Unable to parse the enum value 6");
  EXPECT_EQ(errorOf([] { Types::LogLevelType::fromInt(-1); }), "Unable to parse the enum value -1");
  EXPECT_EQ(errorOf([] { Types::LogLevelType::toString(static_cast<Types::LogLevelType::Enum>(255)); }),
            "Unable to parse the enum value 255");

  EXPECT_EQ(Types::ElementType::kCount, 38);
  EXPECT_EQ(Types::ElementType::parse("TRV_EVENT_LOG"), 0);
  EXPECT_EQ(Types::ElementType::parse("PROVISIONING_CONFIG"), 10);
  EXPECT_EQ(Types::ElementType::parse("TASK_REQUEST"), 11);
  EXPECT_EQ(Types::ElementType::parse("TASK_RESULT"), 17);
  EXPECT_EQ(Types::ElementType::parse("ZEM_DATABASE"), 33);
  EXPECT_EQ(Types::ElementType::toString(Types::ElementType::HIB_GLOBAL_CONFIG), "HIB_GLOBAL_CONFIG");
  EXPECT_EQ(errorOf([] { Types::ElementType::parse("task_request"); }), "Unable to parse the enum value task_request");
  EXPECT_EQ(errorOf([] { Types::ElementType::parse(" TASK_REQUEST"); }),
            "Unable to parse the enum value  TASK_REQUEST");

  EXPECT_EQ(Types::VehiclePropertyType::kCount, 9);
  EXPECT_EQ(Types::VehiclePropertyType::parse("BATTERY_SAFE_FOR_FLASH"), 0);
  EXPECT_EQ(Types::VehiclePropertyType::parse("ENGINE_RUNNING"), 8);
  EXPECT_EQ(Types::CertificateIdType::parse("Cert2_Signing_CA"), Types::CertificateIdType::Cert2_Signing_CA);
  EXPECT_EQ(Types::CertificateIdType::toString(Types::CertificateIdType::Cert0_Client_Target), "Cert0_Client_Target");
}

// ---------------------------------------------------------------- copies

TEST(SchemaNode, ClonesAndCopiesAreDeepAndKeepTheDynamicType) {
  const auto original = sampleProvisioningConfig();
  const std::string before = xmldoc::toString(*original);

  auto copy = original->clone();
  Types::ProvisioningConfig assigned;
  assigned = *original;
  const std::unique_ptr<Types::XmlNode> generic = original->cloneNode();
  EXPECT_EQ(generic->typeName(), "ProvisioningConfig");

  // Change every copy below the top level.
  for (Types::ProvisioningConfig* c : {copy.get(), &assigned}) {
    auto& group = dynamic_cast<Types::GroupAdapter&>(*c->elements_provisioningDefinitions()[0]);
    group.elements_owner()[0] = "Y";
    auto& boolean = dynamic_cast<Types::BooleanPropertyAdapter&>(*group.elements_provisioningDefinitions()[0]);
    dynamic_cast<Types::PersistedBooleanPropertyOrigin&>(*boolean.element_origin()).set_key("changed");
    boolean.add_node_origin<Types::CanBooleanPropertyOrigin>()->add_node_canValue<Types::ValueRangeBooleanSignal>();
  }
  EXPECT_EQ(xmldoc::toString(*original), before);
  EXPECT_EQ(xmldoc::toString(*generic), before);

  // Polymorphic children are copied as their dynamic type.
  const auto& copiedGroup = *copy->elements_provisioningDefinitions()[0];
  EXPECT_EQ(copiedGroup.typeName(), "GroupAdapter");
  auto* adapter = static_cast<Types::BooleanPropertyAdapter*>(
      static_cast<const Types::GroupAdapter&>(copiedGroup).elements_provisioningDefinitions()[0].get());
  EXPECT_EQ(adapter->element_origin()->typeName(), "CanBooleanPropertyOrigin");

  // Self-assignment keeps the content; release hands ownership over.
  assigned = *&assigned;
  EXPECT_EQ(assigned.elements_provisioningDefinitions().size(), 2u);
  std::unique_ptr<Types::BooleanPropertyOrigin> released = adapter->release_element_origin();
  EXPECT_NE(released, nullptr);
  EXPECT_EQ(adapter->element_origin(), nullptr);

  // Optional values: set makes present, clear makes absent again.
  Types::ErrorInfo info;
  EXPECT_FALSE(info.has_errorMessage());
  info.set_errorMessage("m");
  EXPECT_TRUE(info.has_errorMessage());
  info.clear_errorMessage();
  EXPECT_FALSE(info.has_errorMessage());
  EXPECT_EQ(info.get_errorMessage(), "");
}

// ---------------------------------------------------------------- writing errors

TEST(SchemaDocument, WritingRefusesMissingRequiredChildrenAndTextXmlCannotCarry) {
  const auto database = xmldoc::createDocument<Types::PersistedDatabase>();
  EXPECT_EQ(errorOf([&] { xmldoc::toString(*database); }),
            "Serialisation error: required element 'data' of PersistedDatabase is missing");

  auto result = xmldoc::createDocument<Types::UpdatePropertyZemTaskResult>();
  EXPECT_NE(errorOf([&] { xmldoc::toString(*result); }).find("'errorInfo'"), std::string::npos);

  auto settings = xmldoc::createDocument<Types::ZemGlobalSettings>();
  settings->set_componentLogLevel(std::string("A\x01", 2));
  EXPECT_EQ(errorOf([&] { xmldoc::toString(*settings); }).rfind("Serialisation error: ", 0), 0u);
  settings->set_componentLogLevel("\xC3(");  // invalid UTF-8
  EXPECT_EQ(errorOf([&] { xmldoc::toString(*settings); }).rfind("Serialisation error: ", 0), 0u);
  settings->set_componentLogLevel("\xED\xA0\x80");  // an encoded surrogate
  EXPECT_EQ(errorOf([&] { xmldoc::toString(*settings); }).rfind("Serialisation error: ", 0), 0u);

  auto group = xmldoc::createDocument<Types::ProvisioningConfig>();
  group->add_node_provisioningDefinitions<Types::GroupAdapter>()->set_name(std::string("\0", 1));
  EXPECT_EQ(errorOf([&] { xmldoc::toString(*group); }).rfind("Serialisation error: ", 0), 0u);

  std::ostringstream failing;
  failing.setstate(std::ios::badbit);
  settings->set_componentLogLevel("INFO");
  EXPECT_EQ(errorOf([&] { xmldoc::writeStream(*settings, failing); }).rfind("IO error: ", 0), 0u);
  std::ostringstream good;
  xmldoc::writeStream(*settings, good);
  std::istringstream in(good.str());
  EXPECT_EQ(xmldoc::parseStream<Types::ZemGlobalSettings>(in)->get_componentLogLevel(), "INFO");
}

// ---------------------------------------------------------------- durable saving

class SaveFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kolconfig-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_folder = pattern;
    m_target = m_folder + "/database.xml";
    m_document = xmldoc::createDocument<Types::PersistedDatabase>();
    fillAllValueKinds(*m_document->add_node_data());
  }

  void TearDown() override {
    xmldoc::fileIo() = xmldoc::defaultFileIo();
    chmod(m_folder.c_str(), 0700);
    for (const std::string& name : files()) {
      unlink((m_folder + "/" + name).c_str());
    }
    rmdir(m_folder.c_str());
  }

  std::vector<std::string> files() const {
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(m_folder.c_str()), &closedir);
    if (!dir) {
      return names;
    }
    while (const dirent* entry = readdir(dir.get())) {
      const std::string name = entry->d_name;
      if (name != "." && name != "..") {
        names.push_back(name);
      }
    }
    return names;
  }

  std::string read(const std::string& path) const {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }

  void writeOld() { std::ofstream(m_target) << "old content"; }

  std::string m_folder;
  std::string m_target;
  xmldoc::DocumentPtr<Types::PersistedDatabase> m_document;
};

TEST_F(SaveFileTest, WritesTheWholeDocumentAndLeavesNoTemporaryFile) {
  xmldoc::saveFile(*m_document, m_target);
  EXPECT_EQ(read(m_target), xmldoc::toString(*m_document));
  EXPECT_EQ(files(), std::vector<std::string>{"database.xml"});
  struct stat st {};
  ASSERT_EQ(stat(m_target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  // Replacing keeps the existing file's mode.
  ASSERT_EQ(chmod(m_target.c_str(), 0600), 0);
  xmldoc::saveFile(*m_document, m_target);
  ASSERT_EQ(stat(m_target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(xmldoc::toString(*xmldoc::parseFile<Types::PersistedDatabase>(m_target)), xmldoc::toString(*m_document));
}

TEST_F(SaveFileTest, AFailureAtAnyStepLeavesTheTargetUntouched) {
  struct Failure {
    const char* step;
    void (*inject)(xmldoc::FileIo&);
  };
  const Failure failures[] = {
      {"create",
       [](xmldoc::FileIo& io) {
         io.makeTemp = [](char*) {
           errno = EACCES;
           return -1;
         };
       }},
      {"write",
       [](xmldoc::FileIo& io) {
         io.write = [](int, const void*, size_t) -> ssize_t {
           errno = ENOSPC;
           return -1;
         };
       }},
      {"short write",
       [](xmldoc::FileIo& io) {
         io.write = [](int fd, const void* data, size_t) -> ssize_t {
           // Half a document reaches the temporary file, then the disk is full.
           static bool first = true;
           first = !first;
           if (!first) {
             return ::write(fd, data, 10);
           }
           errno = ENOSPC;
           return -1;
         };
       }},
      {"fsync",
       [](xmldoc::FileIo& io) {
         io.fsync = [](int) {
           errno = EIO;
           return -1;
         };
       }},
      {"close",
       [](xmldoc::FileIo& io) {
         io.closeFile = [](int fd) {
           ::close(fd);
           errno = EIO;
           return -1;
         };
       }},
      {"rename",
       [](xmldoc::FileIo& io) {
         io.rename = [](const char*, const char*) {
           errno = EXDEV;
           return -1;
         };
       }},
  };
  for (const Failure& failure : failures) {
    writeOld();
    xmldoc::fileIo() = xmldoc::defaultFileIo();
    failure.inject(xmldoc::fileIo());
    const std::string message = errorOf([&] { xmldoc::saveFile(*m_document, m_target); });
    xmldoc::fileIo() = xmldoc::defaultFileIo();
    EXPECT_EQ(message.rfind("IO error: ", 0), 0u) << failure.step << ": " << message;
    EXPECT_EQ(read(m_target), "old content") << failure.step;
    EXPECT_EQ(files(), std::vector<std::string>{"database.xml"}) << failure.step;
  }

  // A document that cannot be serialised never touches the disk.
  const auto incomplete = xmldoc::createDocument<Types::PersistedDatabase>();
  EXPECT_EQ(errorOf([&] { xmldoc::saveFile(*incomplete, m_target); }).rfind("Serialisation error: ", 0), 0u);
  EXPECT_EQ(read(m_target), "old content");
  EXPECT_EQ(files(), std::vector<std::string>{"database.xml"});
}

TEST_F(SaveFileTest, AMissingFolderIsAnIoError) {
  const std::string missing = m_folder + "/absent/database.xml";
  EXPECT_EQ(errorOf([&] { xmldoc::saveFile(*m_document, missing); }).rfind("IO error: ", 0), 0u);
  EXPECT_EQ(errorOf([&] { xmldoc::parseFile<Types::PersistedDatabase>(missing); }).rfind("IO error: ", 0), 0u);
  EXPECT_EQ(files(), std::vector<std::string>{});
}

TEST_F(SaveFileTest, AnUnwritableFolderLeavesTheTargetUntouched) {
  writeOld();
  ASSERT_EQ(chmod(m_target.c_str(), 0644), 0);
  ASSERT_EQ(chmod(m_folder.c_str(), 0555), 0);
  // Permissions do not bind root, so the save runs in a child that gives up its privileges.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) {
      _exit(2);
    }
    const std::string message = errorOf([&] { xmldoc::saveFile(*m_document, m_target); });
    _exit(message.rfind("IO error: cannot create a temporary file", 0) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(read(m_target), "old content");
  EXPECT_EQ(files(), std::vector<std::string>{"database.xml"});
}

// ---------------------------------------------------------------- agreement with the schema

TEST(SchemaValidation, EveryDescriptionAndResultTypeWritesAValidDocument) {
  const char* const descriptions[] = {"InstallProvisioningConfigTaskDescription",
                                      "DeleteProvisioningConfigTaskDescription",
                                      "RequestProvisioningConfigTaskDescription",
                                      "InstallZemDatabaseTaskDescription",
                                      "ResetZemDatabaseTaskDescription",
                                      "RequestZemDatabaseTaskDescription",
                                      "InstallZemDataTaskDescription",
                                      "RequestZemDataTaskDescription",
                                      "RequestPropertyZemTaskDescription",
                                      "UpdatePropertyZemTaskDescription",
                                      "RequestLogFilesZemTaskDescription",
                                      "UpdateBusPropertiesZemTaskDescription",
                                      "UpdateBackendConfigZemTaskDescription"};
  for (const char* name : descriptions) {
    std::unique_ptr<Types::XmlNode> node = Types::createNodeByTypeName(name);
    ASSERT_NE(node, nullptr) << name;
    auto& description = dynamic_cast<Types::ZemTaskDescription&>(*node);
    description.set_taskId(std::string("id-") + name);
    if (auto* update = dynamic_cast<Types::UpdatePropertyZemTaskDescription*>(&description)) {
      fillAllValueKinds(*update->add_node_properties());
    }
    if (auto* backend = dynamic_cast<Types::UpdateBackendConfigZemTaskDescription*>(&description)) {
      auto* entry = backend->add_node_properties()->add_node_entry();
      entry->set_key("CONNECTIVITY.ACTIVE_BACKEND_PROFILE");
      entry->add_node_value<Types::PersistedStringValue>()->set_stringValue("P");
    }
    if (auto* install = dynamic_cast<Types::InstallProvisioningConfigTaskDescription*>(&description)) {
      install->set_forceOverride(true);
    }
    if (auto* data = dynamic_cast<Types::RequestZemDataTaskDescription*>(&description)) {
      data->add_node_dataType("ZEM_EVENT_LOG");
      data->add_node_dataType("ZEM_GLOBAL_SETTINGS");
    }
    if (auto* request = dynamic_cast<Types::RequestPropertyZemTaskDescription*>(&description)) {
      request->add_node_propertyName("VIN");
    }
    if (auto* logs = dynamic_cast<Types::RequestLogFilesZemTaskDescription*>(&description)) {
      logs->add_node_additionalLogFile("/var/log/a.log");
    }
    const std::string xml = xmldoc::toString(description);
    EXPECT_EQ(schemaErrors(xml), "") << xml;
    EXPECT_EQ(xmldoc::toString(*xmldoc::parseString<Types::TaskDescription>(xml)), xml) << name;
  }

  const char* const results[] = {"InstallProvisioningConfigTaskResult",
                                 "DeleteProvisioningConfigTaskResult",
                                 "RequestProvisioningConfigTaskResult",
                                 "InstallZemDatabaseTaskResult",
                                 "ResetZemDatabaseTaskResult",
                                 "RequestZemDatabaseTaskResult",
                                 "InstallZemDataTaskResult",
                                 "RequestZemDataTaskResult",
                                 "RequestPropertyZemTaskResult",
                                 "UpdatePropertyZemTaskResult",
                                 "RequestLogFilesZemTaskResult",
                                 "UpdateBusPropertiesZemTaskResult",
                                 "UpdateBackendConfigZemTaskResult"};
  for (const char* name : results) {
    std::unique_ptr<Types::XmlNode> node = Types::createNodeByTypeName(name);
    ASSERT_NE(node, nullptr) << name;
    auto& result = dynamic_cast<Types::TaskResult&>(*node);
    result.set_taskId("t");
    result.add_node_errorInfo()->set_success(true);
    const std::string minimal = xmldoc::toString(result);
    EXPECT_EQ(schemaErrors(minimal), "") << minimal;
    result.element_errorInfo()->set_errorType(6);
    result.element_errorInfo()->set_errorMessage("failed");
    if (auto* request = dynamic_cast<Types::RequestPropertyZemTaskResult*>(&result)) {
      fillAllValueKinds(*request->add_node_properties());
    }
    const std::string full = xmldoc::toString(result);
    EXPECT_EQ(schemaErrors(full), "") << full;
    EXPECT_EQ(xmldoc::toString(*xmldoc::parseString<Types::TaskResult>(full)), full) << name;
  }
}

TEST(SchemaValidation, EveryAdapterOriginAndSignalKindWritesAValidConfiguration) {
  auto config = xmldoc::createDocument<Types::ProvisioningConfig>();
  auto* group = config->add_node_provisioningDefinitions<Types::GroupAdapter>();
  group->set_name("G");
  group->add_node_owner("one");
  group->add_node_owner("two");
  group->add_node_provisioningDefinitions<Types::GroupAdapter>()->set_name("empty");

  group->add_node_provisioningDefinitions<Types::ImeiPropertyAdapter>()
      ->add_node_origin<Types::CertificatePropertyOrigin>()
      ->set_certificateId("Cert0_Client_Target");
  auto* tcu = group->add_node_provisioningDefinitions<Types::TcuIdPropertyAdapter>()
                  ->add_node_origin<Types::ComponentLogLevelPropertyOrigin>();
  tcu->set_key("LOG");
  tcu->set_component("Other");
  tcu->set_interface("Diag");
  auto* vin = group->add_node_provisioningDefinitions<Types::VinPropertyAdapter>()
                  ->add_node_origin<Types::TqlBackendConfigPropertyOrigin>();
  vin->set_key("PROFILE");
  vin->set_configPath("tql.properties");
  auto* call = group->add_node_provisioningDefinitions<Types::SystemTimePropertyAdapter>()
                   ->add_node_origin<Types::LibraryCallPropertyOrigin>();
  call->set_libraryName("libtime.so");
  call->set_functionName("now");
  auto* argument = call->add_node_arguments();
  argument->set_key("format");
  argument->set_value("%s");
  group->add_node_provisioningDefinitions<Types::GeoLocationPropertyAdapter>();

  auto addInteger = [&](const char* name) {
    auto* a = config->add_node_provisioningDefinitions<Types::IntegerPropertyAdapter>();
    a->set_propertyName(name);
    return a;
  };
  addInteger("i1")->add_node_origin<Types::IntegerLiteralPropertyOrigin>()->set_value("007");
  addInteger("i2")->add_node_origin<Types::PersistedIntegerPropertyOrigin>()->set_key("i2");

  auto addFloat = [&](const char* name) {
    auto* a = config->add_node_provisioningDefinitions<Types::FloatPropertyAdapter>();
    a->set_propertyName(name);
    return a;
  };
  addFloat("f1")->add_node_origin<Types::FloatLiteralPropertyOrigin>()->set_value("1.5");
  addFloat("f2")->add_node_origin<Types::PersistedFloatPropertyOrigin>()->set_key("f2");
  auto* array =
      addFloat("f3")->add_node_origin<Types::CanFloatPropertyOrigin>()->add_node_canValue<Types::ArrayValueSignal>();
  array->set_canId(0x18FEF100);
  array->set_extendedId(true);
  array->set_startBit(8);
  array->set_length(16);
  array->set_signed(true);
  array->set_factor(0.125);
  addFloat("f4")->add_node_origin<Types::CanFloatPropertyOrigin>()->add_node_canValue();  // plain ValueSignal

  auto addBoolean = [&](const char* name) {
    auto* a = config->add_node_provisioningDefinitions<Types::BooleanPropertyAdapter>();
    a->set_propertyName(name);
    return a;
  };
  addBoolean("b1")->add_node_origin<Types::BooleanLiteralPropertyOrigin>()->set_value("true");
  auto* persisted = addBoolean("b2")->add_node_origin<Types::PersistedBooleanPropertyOrigin>();
  persisted->set_defaultValue(false);
  persisted->set_key("b2");
  auto* match = addBoolean("b3")
                    ->add_node_origin<Types::CanBooleanPropertyOrigin>()
                    ->add_node_canValue<Types::BytefieldMatchBooleanSignal>();
  match->set_busInterface("can0");
  match->set_mask("0F");
  match->set_match("01");
  auto* range = addBoolean("b4")
                    ->add_node_origin<Types::CanBooleanPropertyOrigin>()
                    ->add_node_canValue<Types::ValueRangeBooleanSignal>();
  range->set_startBit(0);
  range->set_length(8);
  range->set_minimum(-1.5);
  range->set_maximum(100);

  auto* vehicle = config->add_node_provisioningDefinitions<Types::VehiclePropertyAdapter>();
  vehicle->set_vehicleProperty("IGNITION_ON");
  auto* library = vehicle->add_node_origin<Types::LibraryCallVehiclePropertyOrigin>();
  library->set_libraryName("libvp.so");
  library->set_propertyName("IGNITION_ON");
  library->set_propertyValueWhenUnknown(true);

  auto addBytes = [&](const char* name) {
    auto* a = config->add_node_provisioningDefinitions<Types::ByteFieldPropertyAdapter>();
    a->set_propertyName(name);
    return a;
  };
  addBytes("y1")->add_node_origin<Types::BytefieldLiteralPropertyOrigin>()->set_value("0x01");
  addBytes("y2")->add_node_origin<Types::PersistedByteFieldPropertyOrigin>()->set_key("y2");
  addBytes("y3")
      ->add_node_origin<Types::CanBytefieldPropertyOrigin>()
      ->add_node_canValue<Types::RawCanByteFieldSignal>()
      ->set_canId(0x123);
  auto* j1939 = addBytes("y4")
                    ->add_node_origin<Types::CanBytefieldPropertyOrigin>()
                    ->add_node_canValue<Types::J1939ByteFieldSignal>();
  j1939->set_pgn(65262);
  j1939->set_sourceAddress(0);

  auto* list = config->add_node_provisioningDefinitions<Types::ListPropertyAdapter>();
  list->set_propertyName("l");
  list->add_node_origin()->set_key("l");
  auto* map = config->add_node_provisioningDefinitions<Types::MapPropertyAdapter>();
  map->set_propertyName("m");
  map->add_node_origin()->set_key("m");
  auto* plainString = config->add_node_provisioningDefinitions<Types::StringPropertyAdapter>();
  plainString->set_propertyName("s");
  plainString->add_node_origin<Types::PersistedStringPropertyOrigin>()->set_key("s");

  const std::string xml = xmldoc::toString(*config);
  EXPECT_EQ(schemaErrors(xml), "") << xml;
  EXPECT_EQ(xmldoc::toString(*xmldoc::parseString<Types::ProvisioningConfig>(xml)), xml);
}

TEST(SchemaValidation, IpcSettingsAndResultDocumentsAreValid) {
  std::vector<std::string> documents;

  const char* const named[] = {"IpcMessageStringPropertyRequest",    "IpcMessageIntegerPropertyRequest",
                               "IpcMessageFloatPropertyRequest",     "IpcMessageBooleanPropertyRequest",
                               "IpcMessageByteFieldPropertyRequest", "IpcMessageListPropertyRequest",
                               "IpcMessageMapPropertyRequest"};
  for (const char* name : named) {
    std::unique_ptr<Types::XmlNode> request = Types::createNodeByTypeName(name);
    ASSERT_NE(request, nullptr) << name;
    EXPECT_NE(dynamic_cast<Types::IpcMessagePropertyRequest*>(request.get()), nullptr);
    documents.push_back(xmldoc::toString(*request));
    EXPECT_NE(documents.back().find("<k:propertyName></k:propertyName>"), std::string::npos) << name;
  }
  for (const char* name :
       {"IpcMessageImeiPropertyRequest", "IpcMessageVinPropertyRequest", "IpcMessageTcuIdPropertyRequest",
        "IpcMessageSystemTimePropertyRequest", "IpcMessageGeoLocationPropertyRequest"}) {
    documents.push_back(xmldoc::toString(*Types::createNodeByTypeName(name)));
  }
  Types::IpcMessageVehiclePropertyRequest vehicle;
  vehicle.set_vehicleProperty("VEHICLE_MOVING");
  documents.push_back(xmldoc::toString(vehicle));

  Types::IpcMessagePropertyUpdate update;
  update.set_propertyName("A.b");
  update.add_node_propertyValue<Types::PersistedBooleanValue>()->set_booleanValue(true);
  documents.push_back(xmldoc::toString(update));

  // A result holding every result kind, lists and maps nested.
  Types::IpcMessagePropertyResult answer;
  documents.push_back(xmldoc::toString(answer));  // the empty answer
  auto* list = answer.add_node_value<Types::ListPropertyResult>();
  list->set_property("L");
  list->add_node_item<Types::StringPropertyResult>()->set_value("a");
  list->add_node_item<Types::IntegerPropertyResult>()->set_value("3");
  list->add_node_item<Types::FloatPropertyResult>()->set_value("1.500000");
  list->add_node_item<Types::SimpleBooleanPropertyResult>()->set_value("true");
  list->add_node_item<Types::ByteFieldPropertyResult>()->set_value("0x0001");
  list->add_node_item<Types::BooleanPropertyResult>()->set_value("false");
  list->add_node_item<Types::ImeiPropertyResult>()->set_value("123");
  list->add_node_item<Types::TcuIdPropertyResult>()->set_value("tcu");
  list->add_node_item<Types::VinPropertyResult>()->set_value("vin");
  list->add_node_item<Types::GeolocationPropertyResult>();
  list->add_node_item<Types::PropertyUpdateResult>()->set_value(true);
  auto* map = list->add_node_item<Types::MapPropertyResult>();
  map->set_property("M");
  auto* entry = map->add_node_entry();
  entry->set_key("k");
  entry->add_node_value<Types::ListPropertyResult>();
  documents.push_back(xmldoc::toString(answer));
  const auto back = roundTrip(answer);
  const auto& items = static_cast<const Types::ListPropertyResult*>(back->element_value())->elements_item();
  ASSERT_EQ(items.size(), 12u);
  EXPECT_EQ(items[0]->typeName(), "StringPropertyResult");
  EXPECT_EQ(static_cast<const Types::IntegerPropertyResult&>(*items[1]).get_value(), "3");
  EXPECT_FALSE(static_cast<const Types::IntegerPropertyResult&>(*items[1]).has_property());

  Types::IpcMessagePropertyResult vin;
  vin.add_node_value<Types::VinPropertyResult>()->set_value("WVW");
  documents.push_back(xmldoc::toString(vin));
  EXPECT_NE(documents.back().find("<k:value xsi:type=\"k:VinPropertyResult\">\n      <k:value>WVW</k:value>"),
            std::string::npos)
      << documents.back();

  Types::ZemGlobalSettings settings;
  settings.set_maximumDataSize(100);
  settings.set_replayHistorySize(10);
  documents.push_back(xmldoc::toString(settings));
  settings.set_componentLogLevel("DEBUG");
  documents.push_back(xmldoc::toString(settings));

  for (const std::string& xml : documents) {
    EXPECT_EQ(schemaErrors(xml), "") << xml;
  }

  // The validator is really checking: a wrong element is reported.
  EXPECT_NE(schemaErrors(document("k:TaskIndex", "<k:bogus/>")), "");
}

TEST(SchemaValidation, ValidatorAcceptsValidDocumentsAndNamesTheFaultOfOthers) {
  const xmldoc::SchemaValidator validator(KOLCONFIG_SCHEMA_FILE);
  EXPECT_NO_THROW(validator.validateString(xmldoc::toString(*sampleProvisioningConfig())));

  const std::string wrongOrder = document(
      "k:ZemGlobalSettings", "<k:replayHistorySize>1</k:replayHistorySize><k:maximumDataSize>1</k:maximumDataSize>");
  const std::string message = errorOf([&] { validator.validateString(wrongOrder); });
  EXPECT_EQ(message.rfind("Schema validation error: ", 0), 0u) << message;
  EXPECT_NE(message.find("replayHistorySize"), std::string::npos) << message;

  // Enumeration names are text in the schema: an unknown one is left to the application.
  EXPECT_NO_THROW(validator.validateString(
      document("k:TaskIndex", "<k:taskIndexEntry><k:type>task_request</k:type><k:file>f</k:file></k:taskIndexEntry>")));

  EXPECT_EQ(errorOf([&] { validator.validateString("<!DOCTYPE x>" + document("k:TaskIndex", "")); }),
            "DTD and entity declarations are not allowed");
  EXPECT_EQ(errorOf([&] { validator.validateString("<broken"); }).rfind("Parse error: ", 0), 0u);
  EXPECT_EQ(errorOf([&] { validator.validateFile("/nonexistent/config.xml"); }).rfind("IO error: ", 0), 0u);
  EXPECT_EQ(errorOf([] { xmldoc::SchemaValidator("/nonexistent/kolconfig.xsd"); }).rfind("IO error: ", 0), 0u);

  char path[] = "/tmp/kolconfig-notaschema-XXXXXX";
  const int fd = mkstemp(path);
  ASSERT_GE(fd, 0);
  const std::string notSchema = document("k:TaskIndex", "");
  ASSERT_EQ(write(fd, notSchema.data(), notSchema.size()), static_cast<ssize_t>(notSchema.size()));
  close(fd);
  EXPECT_EQ(errorOf([&] { xmldoc::SchemaValidator{path}; }).rfind("Schema validation error: ", 0), 0u);
  unlink(path);
}
