// The configuration-schema library: generated classes read and write documents that agree with
// kolconfig.xsd (one table of round trips catching generator faults), and refusals; hostile
// documents that would make parsing or validation slow are refused before libxml2 builds anything,
// quickly and with the reason.
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <limits>
#include <string>

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

// A container must be decided within a second on the unit. Instrumented builds (unoptimised, with
// sanitizers) run many times slower, so they are held to a proportionally larger bound.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr std::chrono::milliseconds kDecisionBound(15000);
#else
constexpr std::chrono::milliseconds kDecisionBound(1000);
#endif

// CPU time of the calling thread: the bound is on the work a decision takes, which other processes
// competing for the cores do not change.
std::chrono::nanoseconds threadCpuTime() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

std::string repeat(const std::string& piece, size_t times) {
  std::string out;
  while (times-- > 0) out += piece;
  return out;
}

// Decides `xml` as a container's document is decided, by schema validation and then reading as
// T. Returns both refusals: "validation | reading".
template <class T>
std::string decide(const std::string& xml) {
  return errorOf([&] { schema().validateString(xml); }) + " | " + errorOf([&] { xmldoc::parseString<T>(xml); });
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
      {"a derived type is itself for exactly<T>, accept() and clone(), never its base",
       document("k:ProvisioningConfig",
                "<k:provisioningDefinitions xsi:type=\"k:StringPropertyAdapter\" propertyName=\"L\"><k:origin "
                "xsi:type=\"k:ComponentLogLevelPropertyOrigin\"><k:key>L</k:key><k:component>C</k:component>"
                "<k:interface>I</k:interface></k:origin></k:provisioningDefinitions>"),
       [](const Types::XmlNode& node, const std::string&) {
         const auto& config = as<Types::ProvisioningConfig>(node);
         const auto& adapter = as<Types::StringPropertyAdapter>(*config.elements_provisioningDefinitions().at(0));
         const Types::StringPropertyOrigin& origin = *adapter.element_origin();
         EXPECT_EQ(Types::exactly<Types::PersistedStringPropertyOrigin>(&origin), nullptr);
         EXPECT_EQ(Types::exactly<Types::ComponentLogLevelPropertyOrigin>(&origin), &origin);
         struct : Types::StringPropertyOriginVisitor {
           std::string seen;
           void visit(const Types::StringLiteralPropertyOrigin&) override { seen = "literal"; }
           void visit(const Types::PersistedStringPropertyOrigin&) override { seen = "persisted"; }
           void visit(const Types::ComponentLogLevelPropertyOrigin& o) override { seen = o.get_component(); }
           void visit(const Types::TqlBackendConfigPropertyOrigin&) override { seen = "backend"; }
           void visit(const Types::CertificatePropertyOrigin&) override { seen = "certificate"; }
           void visit(const Types::LibraryCallPropertyOrigin&) override { seen = "library"; }
         } visitor;
         EXPECT_TRUE(origin.accept(visitor));
         EXPECT_EQ(visitor.seen, "C");
         const std::unique_ptr<Types::PersistedStringPropertyOrigin> copy =
             as<Types::PersistedStringPropertyOrigin>(origin).clone();
         EXPECT_EQ(as<Types::ComponentLogLevelPropertyOrigin>(*copy).get_interface(), "I");
         EXPECT_FALSE(Types::StringPropertyOrigin().accept(visitor));  // the abstract type itself visits nothing
       }},
      {"polymorphism by xsi:type; a declared prefix other than k is ignored",
       "<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" xmlns:ns=\"http://www.olvane.com/kolconfig\" "
       "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><k:content "
       "xsi:type=\"ns:ResetZemDatabaseTaskDescription\" taskId=\"42\"/></k:config>",
       [](const Types::XmlNode& node, const std::string&) {
         EXPECT_EQ(node.typeName(), "ResetZemDatabaseTaskDescription");
         EXPECT_EQ(as<Types::ZemTaskDescription>(node).get_taskId(), "42");
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

TEST(SchemaDocument, WrongRootsAndBadDocumentsAreRefusedWithTheirReason) {
  const std::string settings = "<k:replayHistorySize>1</k:replayHistorySize>";
  const struct {
    const char* readAs;
    std::string xml;
    const char* reason;
  } cases[] = {
      {"ZemTaskDescription", document("k:TaskIndex", ""),
       "Root element is not the expected one (expected: ZemTaskDescription, actual: k:TaskIndex)"},
      {"TaskIndex", "<k:other xmlns:k=\"http://www.olvane.com/kolconfig\"/>",
       "Root element is not the expected one (expected: config, actual: other)"},
      {"TaskIndex", "<config xmlns=\"urn:o\"/>", "(expected: config, actual: {urn:o}config)"},
      {"TaskIndex", document("zz:TaskIndex", ""), "Parse error: undeclared namespace prefix 'zz'"},
      {"TaskIndex", "<k:config", "Parse error: "},
      {"TaskIndex",
       document("k:TaskIndex", "<k:taskIndexEntry><k:file>f</k:file><k:type>INDEX</k:type></k:taskIndexEntry>"),
       "missing element 'type' in TaskIndexEntry"},
      {"ZemGlobalSettings", document("k:ZemGlobalSettings", "<k:maximumDataSize>-1</k:maximumDataSize>" + settings),
       "invalid xs:unsignedInt value '-1'"},
      {"ProvisioningConfig",
       document(
           "k:ProvisioningConfig",
           "<k:provisioningDefinitions xsi:type=\"k:StringPropertyAdapter\" propertyName=\"s\"><k:origin "
           "xsi:type=\"k:PersistedIntegerPropertyOrigin\"><k:key>k</k:key></k:origin></k:provisioningDefinitions>"),
       "is not derived from StringPropertyOrigin"},
  };
  for (const auto& c : cases) {
    const std::string message = errorOf([&] { xmldoc::detail::parseDocument(c.xml.data(), c.xml.size(), c.readAs); });
    EXPECT_NE(message.find(c.reason), std::string::npos) << c.xml << ": " << message;
  }
  // Bytes that break the declared encoding fail the parse and print nothing: libxml2 reports them
  // outside the parser, through a handler that would write to stderr.
  for (const std::string encoding : {"Shift_JIS", "ISO-2022-JP"}) {
    std::string xml = document("k:TaskIndex", std::string(8, '\x80'));
    xml.replace(0, xml.find('\n'), "<?xml version=\"1.0\" encoding=\"" + encoding + "\"?>");
    testing::internal::CaptureStderr();
    const std::string message = errorOf([&] { xmldoc::detail::parseDocument(xml.data(), xml.size(), "TaskIndex"); });
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "") << encoding;
    EXPECT_EQ(message.find("Parse error: "), 0u) << encoding << ": " << message;
  }
  // Writing refuses what the schema or XML cannot carry.
  EXPECT_EQ(errorOf([] { xmldoc::toString(*xmldoc::createDocument<Types::PersistedDatabase>()); }),
            "Serialisation error: required element 'data' of PersistedDatabase is missing");
  auto badText = xmldoc::createDocument<Types::ZemGlobalSettings>();
  badText->set_componentLogLevel(std::string("A\x01", 2));
  EXPECT_EQ(errorOf([&] { xmldoc::toString(*badText); }).find("Serialisation error: "), 0u);
  EXPECT_EQ(errorOf([] { Types::ElementType::parse("task_request"); }), "Unable to parse the enum value task_request");
}

// A 114 KB index with 60,000 attributes on one element once held the job worker for 13 s.
TEST(HostileDocument, ShapesThatWouldBeSlowAreRefusedQuicklyAndClearly) {
  std::string wide;
  for (int i = 0; i < 60000; ++i) wide += " a" + std::to_string(i) + "=\"\"";
  const std::string entry = "<k:taskIndexEntry><k:type>DATA_FILE</k:type><k:file>f</k:file></k:taskIndexEntry>";
  const struct {
    const char* what;
    std::string xml;
    const char* reason;  // in both steps
  } cases[] = {
      {"60,000 attributes on one element", document("k:TaskIndex", "", wide),
       "more than 32 attributes on one element (line 2)"},
      {"16 MiB of elements", document("k:TaskIndex", repeat("<x/>", 4 << 20)), "more than 250000 elements"},
      {"16 MiB of comments", document("k:TaskIndex", repeat("<!---->", 2 << 20)), "more than 250000 elements"},
      {"many attributes in all", document("k:TaskIndex", repeat("<x a=\"\" b=\"\"/>", 130000)),
       "more than 250000 attributes"},
      {"deep nesting", document("k:TaskIndex", repeat("<x>", 100000) + repeat("</x>", 100000)),
       "nested deeper than 128"},
      {"15 MiB attribute value", document("k:TaskIndex", "", " a=\"" + std::string(15 << 20, 'v') + "\""),
       "an attribute value longer than 65536 bytes"},
      {"long element name", document("k:TaskIndex", "<" + std::string(5000, 'n') + "/>"),
       "an element name longer than 1024"},
      {"33 MiB", document("k:TaskIndex", std::string(33 << 20, ' ')), "bytes, more than 33554432"},
      {"entity expansion", "<!DOCTYPE x [<!ENTITY a \"aaaa\">]>" + document("k:TaskIndex", "&a;"), "DTD and entity"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto start = threadCpuTime();
    const std::string refusals = decide<Types::ConfigurationContent>(c.xml);
    EXPECT_LT(threadCpuTime() - start, kDecisionBound);
    const size_t first = refusals.find(c.reason);
    EXPECT_LT(first, refusals.find(" | ")) << refusals;
    EXPECT_NE(refusals.find(c.reason, first + 1), std::string::npos) << refusals;
  }
  // A container's index lists its entries: it is held to 2 MiB when read as an index.
  const std::string index = document("k:TaskIndex", repeat(entry, (3 << 20) / entry.size()));
  EXPECT_NE(decide<Types::TaskIndex>(index).find(" | Parse error: refused: the document has"), std::string::npos);
  // The largest document within every cap (16 MiB, 249,000 elements) is still decided in time.
  std::string body = repeat("<k:entry><k:key>" + std::string(40, 'k') + "</k:key></k:entry>", 124500);
  body += std::string((16u << 20) - body.size() - 400, ' ');
  const auto start = threadCpuTime();
  EXPECT_EQ(decide<Types::PersistedDatabase>(document("k:PersistedDatabase", "<k:data>" + body + "</k:data>")), " | ");
  EXPECT_LT(threadCpuTime() - start, kDecisionBound);
}
