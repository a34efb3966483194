// The configuration-schema library: generated classes read and write documents that agree with
// kolconfig.xsd (one table of round trips catching generator faults), refusals, durable saving.
#include <errno.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <limits>
#include <string>

#include "kolconfig/FileIo.h"
#include "kolconfig/SchemaValidator.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

std::string document(const std::string& type, const std::string& body, const std::string& attributes = "") {
  return "<?xml version=\"1.0\"?>\n<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><k:content xsi:type=\"" +
         type + "\"" + attributes + ">" + body + "</k:content></k:config>\n";
}

// The text of the XPlus::Exception `f` throws, or "" when it throws nothing.
std::string errorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const XPlus::Exception& e) {
    return e.what();
  }
  return "";
}

const xmldoc::SchemaValidator& schema() {
  static const xmldoc::SchemaValidator validator(KOLCONFIG_SCHEMA_FILE);
  return validator;
}

template <class T, class N>
const T& as(const N& node) {
  return dynamic_cast<const T&>(node);
}

}  // namespace

// Each document is valid, reads as the type its xsi:type names, keeps what it says, and is written
// back in a form that is valid too and reads back to the same text.
TEST(SchemaDocument, ValidDocumentsRoundTripThroughTheGeneratedClasses) {
  const struct {
    const char* what;
    std::string xml;
    std::function<void(const Types::XmlNode&, const std::string& written)> check;
  } cases[] = {
      {"inheritance: base fields first, optional defaultValue before key; nested polymorphism; order kept",
       document("k:ProvisioningConfig",
                "<k:provisioningDefinitions xsi:type=\"k:GroupAdapter\" name=\"A\"><k:owner>X</k:owner>"
                "<k:owner>W</k:owner><k:provisioningDefinitions xsi:type=\"k:BooleanPropertyAdapter\" "
                "propertyName=\"b\"><k:origin xsi:type=\"k:PersistedBooleanPropertyOrigin\"><k:defaultValue>1"
                "</k:defaultValue><k:key>A.b</k:key></k:origin></k:provisioningDefinitions>"
                "</k:provisioningDefinitions><!-- comment --><k:provisioningDefinitions "
                "xsi:type=\"k:IntegerPropertyAdapter\" propertyName=\"n\"><k:origin "
                "xsi:type=\"k:IntegerLiteralPropertyOrigin\"><k:value>007</k:value></k:origin>"
                "</k:provisioningDefinitions>"),
       [](const Types::XmlNode& node, const std::string& written) {
         const auto& config = as<Types::ProvisioningConfig>(node);
         const auto& group = as<Types::GroupAdapter>(*config.elements_provisioningDefinitions().at(0));
         EXPECT_EQ(group.elements_owner(), (std::vector<std::string>{"X", "W"}));
         const auto& adapter = as<Types::BooleanPropertyAdapter>(*group.elements_provisioningDefinitions().at(0));
         const auto& origin = as<Types::PersistedBooleanPropertyOrigin>(*adapter.element_origin());
         EXPECT_TRUE(origin.has_defaultValue() && origin.get_defaultValue());
         EXPECT_EQ(origin.get_key(), "A.b");
         const auto& n = as<Types::IntegerPropertyAdapter>(*config.elements_provisioningDefinitions().at(1));
         EXPECT_EQ(as<Types::IntegerLiteralPropertyOrigin>(*n.element_origin()).get_value(), "007");
         EXPECT_LT(written.find("<k:defaultValue>true"), written.find("<k:key>A.b"));
       }},
      {"polymorphism by xsi:type; a declared prefix other than k is ignored",
       "<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" xmlns:ns=\"http://www.olvane.com/kolconfig\" "
       "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><k:content "
       "xsi:type=\"ns:ResetZemDatabaseTaskDescription\" taskId=\"42\"/></k:config>",
       [](const Types::XmlNode& node, const std::string&) {
         EXPECT_EQ(node.typeName(), "ResetZemDatabaseTaskDescription");
         EXPECT_EQ(as<Types::ZemTaskDescription>(node).get_taskId(), "42");
       }},
      {"optional attribute absent",
       document("k:InstallProvisioningConfigTaskDescription", "", " forceOverride=\"true\""),
       [](const Types::XmlNode& node, const std::string&) {
         const auto& description = as<Types::InstallProvisioningConfigTaskDescription>(node);
         EXPECT_FALSE(description.has_taskId());
         EXPECT_TRUE(description.get_forceOverride());
       }},
      {"repeated elements keep their order; optional element absent",
       document("k:TaskIndex",
                "<k:taskIndexEntry><k:type>TASK_REQUEST</k:type><k:file>b</k:file><k:signature>c2ln</k:signature>"
                "</k:taskIndexEntry><k:taskIndexEntry><k:type>ZEM_DATABASE</k:type><k:file>a</k:file>"
                "</k:taskIndexEntry>"),
       [](const Types::XmlNode& node, const std::string&) {
         const auto& entries = as<Types::TaskIndex>(node).elements_taskIndexEntry();
         ASSERT_EQ(entries.size(), 2u);
         EXPECT_EQ(entries[0]->get_file() + entries[1]->get_file(), "ba");
         EXPECT_EQ(entries[0]->get_signature(), "c2ln");
         EXPECT_FALSE(entries[1]->has_signature());
       }},
      {"values: text kept exactly, numbers at their edges, nested maps and lists, entry without value",
       document("k:PersistedDatabase",
                "<k:data><k:entry><k:key>s</k:key><k:value xsi:type=\"k:PersistedStringValue\"><k:stringValue>"
                "  a&#13;&#10;b\t]]&gt; &amp;amp; <![CDATA[<x>]]> \xC3\xA9 </k:stringValue></k:value></k:entry>"
                "<k:entry><k:key>i</k:key><k:value xsi:type=\"k:PersistedIntegerValue\"><k:integerValue>"
                "-2147483648</k:integerValue></k:value></k:entry><k:entry><k:key>l</k:key><k:value "
                "xsi:type=\"k:PersistedListValue\"><k:item xsi:type=\"k:PersistedFloatValue\"><k:floatValue>1e300"
                "</k:floatValue></k:item><k:item xsi:type=\"k:PersistedMapValue\"><k:entry><k:key>deep</k:key>"
                "</k:entry></k:item></k:value></k:entry></k:data>"),
       [](const Types::XmlNode& node, const std::string&) {
         const auto& entries = as<Types::PersistedDatabase>(node).element_data()->elements_entry();
         ASSERT_EQ(entries.size(), 3u);
         EXPECT_EQ(as<Types::PersistedStringValue>(*entries[0]->element_value()).get_stringValue(),
                   "  a\r\nb\t]]> &amp; <x> \xC3\xA9 ");
         EXPECT_EQ(as<Types::PersistedIntegerValue>(*entries[1]->element_value()).get_integerValue(),
                   std::numeric_limits<int32_t>::min());
         const auto& list = as<Types::PersistedListValue>(*entries[2]->element_value());
         EXPECT_EQ(as<Types::PersistedFloatValue>(*list.elements_item().at(0)).get_floatValue(), 1e300);
         const auto& map = as<Types::PersistedMapValue>(*list.elements_item().at(1));
         EXPECT_EQ(map.elements_entry().at(0)->element_value(), nullptr);
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(errorOf([&] { schema().validateString(c.xml); }), "");
    const auto node = xmldoc::parseString<Types::XmlNode>(c.xml);
    const std::string written = xmldoc::toString(*node);
    EXPECT_EQ(errorOf([&] { schema().validateString(written); }), "") << written;
    EXPECT_EQ(xmldoc::toString(*xmldoc::parseString<Types::XmlNode>(written)), written);
    c.check(*node, written);
  }
}

// Every task description and result the application writes is valid with its minimal fields.
TEST(SchemaDocument, EveryDescriptionAndResultTypeWritesAValidDocument) {
  for (const char* kind :
       {"InstallProvisioningConfig", "DeleteProvisioningConfig", "RequestProvisioningConfig", "InstallZemDatabase",
        "ResetZemDatabase", "RequestZemDatabase", "InstallZemData", "RequestZemData", "RequestPropertyZem",
        "UpdatePropertyZem", "RequestLogFilesZem", "UpdateBusPropertiesZem", "UpdateBackendConfigZem"}) {
    SCOPED_TRACE(kind);
    const auto description = Types::createNodeByTypeName(kind + std::string("TaskDescription"));
    ASSERT_NE(description, nullptr);
    dynamic_cast<Types::ZemTaskDescription&>(*description).set_taskId("t");
    if (auto* update = dynamic_cast<Types::UpdatePropertyZemTaskDescription*>(description.get())) {
      update->add_node_properties();
    }
    if (auto* backend = dynamic_cast<Types::UpdateBackendConfigZemTaskDescription*>(description.get())) {
      backend->add_node_properties();
    }
    const auto result = Types::createNodeByTypeName(kind + std::string("TaskResult"));
    ASSERT_NE(result, nullptr);
    dynamic_cast<Types::TaskResult&>(*result).add_node_errorInfo()->set_success(false);
    for (const Types::XmlNode* node : {description.get(), result.get()}) {
      const std::string xml = xmldoc::toString(*node);
      EXPECT_EQ(errorOf([&] { schema().validateString(xml); }), "") << xml;
      EXPECT_EQ(xmldoc::toString(*xmldoc::parseString<Types::XmlNode>(xml)), xml);
    }
  }
}

TEST(SchemaDocument, WrongRootsDtdsAndBadDocumentsAreRefusedWithTheirReason) {
  auto result = xmldoc::createDocument<Types::InstallProvisioningConfigTaskResult>();
  result->add_node_errorInfo()->set_success(true);
  const std::string resultXml = xmldoc::toString(*result);
  const std::string body = "<k:config xmlns:k=\"http://www.olvane.com/kolconfig\"/>";
  const struct {
    const char* what;
    std::function<void()> read;
    const char* reason;
  } cases[] = {
      {"content of another type", [&] { xmldoc::parseString<Types::PersistedDatabase>(resultXml); },
       "Root element is not the expected one (expected: PersistedDatabase, actual: "
       "k:InstallProvisioningConfigTaskResult)"},
      {"a base type", [] { xmldoc::parseString<Types::ZemTaskDescription>(document("k:TaskIndex", "")); },
       "Root element is not the expected one (expected: ZemTaskDescription, actual: k:TaskIndex)"},
      {"root other than config",
       [] { xmldoc::parseString<Types::TaskIndex>("<k:other xmlns:k=\"http://www.olvane.com/kolconfig\"/>"); },
       "Root element is not the expected one (expected: config, actual: other)"},
      {"root in another namespace", [] { xmldoc::parseString<Types::TaskIndex>("<config xmlns=\"urn:o\"/>"); },
       "Root element is not the expected one (expected: config, actual: {urn:o}config)"},
      {"entity declaration", [&] { xmldoc::parseString<Types::TaskIndex>("<!DOCTYPE c [<!ENTITY a 'b'>]>" + body); },
       "DTD and entity declarations are not allowed"},
      {"external entity",
       [&] { xmldoc::parseString<Types::TaskIndex>("<!DOCTYPE c [<!ENTITY x SYSTEM 'file:///etc/passwd'>]>" + body); },
       "DTD and entity declarations are not allowed"},
      {"undeclared xsi:type prefix", [] { xmldoc::parseString<Types::TaskIndex>(document("zz:TaskIndex", "")); },
       "Parse error: undeclared namespace prefix 'zz'"},
      {"undeclared element prefix", [] { xmldoc::parseString<Types::TaskIndex>(document("k:TaskIndex", "<zz:x/>")); },
       "Parse error: Namespace prefix zz on x is not defined"},
      {"malformed", [] { xmldoc::parseString<Types::TaskIndex>("<k:config"); }, "Parse error: "},
      {"element out of order",
       [] {
         xmldoc::parseString<Types::TaskIndex>(
             document("k:TaskIndex", "<k:taskIndexEntry><k:file>f</k:file><k:type>INDEX</k:type></k:taskIndexEntry>"));
       },
       "missing element 'type' in TaskIndexEntry"},
      {"bad integer",
       [] {
         xmldoc::parseString<Types::ZemGlobalSettings>(
             document("k:ZemGlobalSettings",
                      "<k:maximumDataSize>-1</k:maximumDataSize><k:replayHistorySize>1</k:replayHistorySize>"));
       },
       "invalid xs:unsignedInt value '-1'"},
      {"unrelated xsi:type",
       [] {
         xmldoc::parseString<Types::ProvisioningConfig>(
             document("k:ProvisioningConfig",
                      "<k:provisioningDefinitions xsi:type=\"k:StringPropertyAdapter\" propertyName=\"s\"><k:origin "
                      "xsi:type=\"k:PersistedIntegerPropertyOrigin\"><k:key>k</k:key></k:origin>"
                      "</k:provisioningDefinitions>"));
       },
       "is not derived from StringPropertyOrigin"},
      {"required element missing when written",
       [] { xmldoc::toString(*xmldoc::createDocument<Types::PersistedDatabase>()); },
       "Serialisation error: required element 'data' of PersistedDatabase is missing"},
      {"text XML cannot carry",
       [] {
         auto settings = xmldoc::createDocument<Types::ZemGlobalSettings>();
         settings->set_componentLogLevel(std::string("A\x01", 2));
         xmldoc::toString(*settings);
       },
       "Serialisation error: "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string message = errorOf(c.read);
    EXPECT_NE(message.find(c.reason), std::string::npos) << message;
  }
  try {
    Types::ElementType::parse("task_request");
    ADD_FAILURE() << "a lower-case entry type was accepted";
  } catch (const XSDEnumException& e) {
    EXPECT_STREQ(e.what(), "Unable to parse the enum value task_request");
  }
}

// A save that fails at any step leaves the old file whole and no temporary file behind.
TEST(SchemaDocument, AFailedSaveLeavesTheTargetUntouched) {
  char pattern[] = "/tmp/kolconfig-test-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string folder = pattern;
  const std::string target = folder + "/database.xml";
  auto database = xmldoc::createDocument<Types::PersistedDatabase>();
  database->add_node_data()->add_node_entry()->set_key("k");
  const auto readTarget = [&target] {
    std::ifstream in(target);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };
  const std::function<void(xmldoc::FileIo&)> failures[] = {
      [](xmldoc::FileIo& io) { io.makeTemp = [](char*) { return errno = EACCES, -1; }; },
      [](xmldoc::FileIo& io) { io.writeSome = [](int, const void*, size_t) -> ssize_t { return errno = ENOSPC, -1; }; },
      [](xmldoc::FileIo& io) { io.syncFile = [](int) { return errno = EIO, -1; }; },
      [](xmldoc::FileIo& io) { io.closeFile = [](int fd) { return ::close(fd), errno = EIO, -1; }; },
      [](xmldoc::FileIo& io) { io.renameFile = [](const char*, const char*) { return errno = EXDEV, -1; }; },
  };
  for (const auto& inject : failures) {
    std::ofstream(target) << "old content";
    inject(xmldoc::fileIo());
    const std::string message = errorOf([&] { xmldoc::saveFile(*database, target); });
    xmldoc::fileIo() = xmldoc::defaultFileIo();
    EXPECT_EQ(message.find("IO error: "), 0u) << message;
    EXPECT_EQ(readTarget(), "old content");
    EXPECT_EQ(std::system(("test $(ls -A " + folder + " | wc -l) -eq 1").c_str()), 0) << message;
  }
  xmldoc::saveFile(*database, target);
  EXPECT_EQ(readTarget(), xmldoc::toString(*database));
  std::system(("rm -rf " + folder).c_str());
}
