// Hostile documents: the safe reader refuses shapes that would make parsing or validation slow,
// before libxml2 builds anything, and quickly; DTDs and entities never reach the parser.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "kolconfig/SchemaValidator.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

std::string wrap(const std::string& body, const std::string& attributes = "") {
  return "<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><k:content xsi:type=\"k:TaskIndex\"" +
         attributes + ">" + body + "</k:content></k:config>";
}

std::string repeat(const std::string& piece, size_t times) {
  std::string out;
  out.reserve(piece.size() * times);
  for (size_t i = 0; i < times; ++i) out += piece;
  return out;
}

// A container's documents go through the validator and then the reader: both must refuse, with
// the expected reason, within the time budget for a whole container.
TEST(HostileDocument, ShapesThatWouldBeSlowAreRefusedQuicklyAndClearly) {
  std::string manyAttributes;
  for (int i = 0; i < 60000; ++i) manyAttributes += " a" + std::to_string(i) + "=\"\"";
  const std::string entry = "<k:taskIndexEntry><k:type>DATA_FILE</k:type><k:file>f</k:file></k:taskIndexEntry>";
  struct Case {
    const char* what;
    std::string xml;
    const char* reason;
  };
  const Case cases[] = {
      {"60,000 attributes on one element", wrap("", manyAttributes), "more than 32 attributes on one element (line 1)"},
      {"16 MiB of elements", wrap(repeat("<x/>", 4 * 1024 * 1024)), "more than 200000 elements"},
      {"many attributes in all", wrap(repeat("<x a=\"\" b=\"\"/>", 150000)), "more than 200000 attributes"},
      {"deep nesting", wrap(repeat("<x>", 100000) + repeat("</x>", 100000)), "nested deeper than 128"},
      {"15 MiB attribute value", wrap("", " a=\"" + std::string(15 << 20, 'v') + "\""),
       "an attribute value longer than 65536 bytes"},
      {"long element name", wrap("<" + std::string(5000, 'n') + "/>"), "an element name longer than 1024 bytes"},
      {"33 MiB", wrap(std::string(33 << 20, ' ')), "bytes, more than 33554432"},
      {"3 MiB index", wrap(repeat(entry, 3 * 1024 * 1024 / entry.size())), "bytes, more than 2097152"},
      {"entity expansion", "<!DOCTYPE x [<!ENTITY a \"aaaa\">]>" + wrap("&a;"), "DTD and entity declarations"},
      {"external DTD", "<!DOCTYPE x SYSTEM \"http://127.0.0.1:9/x.dtd\">" + wrap(""), "DTD and entity declarations"},
  };
  static const xmldoc::SchemaValidator validator(KOLCONFIG_SCHEMA_FILE);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const auto start = std::chrono::steady_clock::now();
    std::string validation;
    std::string parse;
    try {
      validator.validateString(c.xml);
    } catch (const XPlus::Exception& e) {
      validation = e.what();
    }
    try {
      if (std::string(c.what) == "3 MiB index") {
        xmldoc::parseString<Types::TaskIndex>(c.xml);
      } else {
        xmldoc::parseString<Types::ConfigurationContent>(c.xml);
      }
    } catch (const XPlus::Exception& e) {
      parse = e.what();
    }
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(1000));
    EXPECT_NE(std::string::npos, parse.find(c.reason)) << parse;
    if (std::string(c.what) != "3 MiB index") EXPECT_NE(std::string::npos, validation.find(c.reason)) << validation;
  }
}

// Just within every cap, a 16 MiB document is still decided within the budget.
TEST(HostileDocument, TheLargestDocumentWithinTheCapsIsDecidedQuickly) {
  const std::string entry = "<k:entry><k:key>" + std::string(40, 'k') + "</k:key></k:entry>";
  std::string body = repeat(entry, 199000 / 2);
  body += std::string((16u << 20) - body.size() - 400, ' ');
  const std::string xml =
      "<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><k:content "
      "xsi:type=\"k:PersistedDatabase\"><k:data>" +
      body + "</k:data></k:content></k:config>";
  static const xmldoc::SchemaValidator validator(KOLCONFIG_SCHEMA_FILE);
  const auto start = std::chrono::steady_clock::now();
  validator.validateString(xml);
  EXPECT_EQ(99500u, xmldoc::parseString<Types::PersistedDatabase>(xml)->element_data()->elements_entry().size());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

}  // namespace
