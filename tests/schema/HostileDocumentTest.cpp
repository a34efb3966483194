// Hostile documents: the safe reader refuses shapes that would make parsing or validation slow,
// before libxml2 builds anything, quickly and with the reason; DTDs never reach the parser.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "kolconfig/SchemaValidator.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

std::string wrap(const std::string& type, const std::string& body, const std::string& attributes = "") {
  return "<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
         "<k:content xsi:type=\"k:" +
         type + "\"" + attributes + ">" + body + "</k:content></k:config>";
}

// A container must be decided within a second on the unit. Instrumented builds (unoptimised, with
// sanitizers) run many times slower, so they are held to a proportionally larger bound.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr std::chrono::milliseconds kDecisionBound(15000);
#else
constexpr std::chrono::milliseconds kDecisionBound(1000);
#endif

std::string repeat(const std::string& piece, size_t times) {
  std::string out;
  while (times-- > 0) out += piece;
  return out;
}

const xmldoc::SchemaValidator& schema() {
  static const xmldoc::SchemaValidator validator(KOLCONFIG_SCHEMA_FILE);
  return validator;
}

// Decides `xml` as a container's document is decided, by schema validation and then reading as
// T. Returns both refusals: "validation | reading".
template <class T>
std::string decide(const std::string& xml) {
  std::string out[2];
  try {
    schema().validateString(xml);
  } catch (const XPlus::Exception& e) {
    out[0] = e.what();
  }
  try {
    xmldoc::parseString<T>(xml);
  } catch (const XPlus::Exception& e) {
    out[1] = e.what();
  }
  return out[0] + " | " + out[1];
}

}  // namespace

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
      {"60,000 attributes on one element", wrap("TaskIndex", "", wide),
       "more than 32 attributes on one element (line 1)"},
      {"16 MiB of elements", wrap("TaskIndex", repeat("<x/>", 4 << 20)), "more than 250000 elements"},
      {"16 MiB of comments", wrap("TaskIndex", repeat("<!---->", 2 << 20)), "more than 250000 elements"},
      {"many attributes in all", wrap("TaskIndex", repeat("<x a=\"\" b=\"\"/>", 130000)),
       "more than 250000 attributes"},
      {"deep nesting", wrap("TaskIndex", repeat("<x>", 100000) + repeat("</x>", 100000)), "nested deeper than 128"},
      {"15 MiB attribute value", wrap("TaskIndex", "", " a=\"" + std::string(15 << 20, 'v') + "\""),
       "an attribute value longer than 65536 bytes"},
      {"long element name", wrap("TaskIndex", "<" + std::string(5000, 'n') + "/>"), "an element name longer than 1024"},
      {"33 MiB", wrap("TaskIndex", std::string(33 << 20, ' ')), "bytes, more than 33554432"},
      {"entity expansion", "<!DOCTYPE x [<!ENTITY a \"aaaa\">]>" + wrap("TaskIndex", "&a;"), "DTD and entity"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto start = std::chrono::steady_clock::now();
    const std::string refusals = decide<Types::ConfigurationContent>(c.xml);
    EXPECT_LT(std::chrono::steady_clock::now() - start, kDecisionBound);
    const size_t first = refusals.find(c.reason);
    EXPECT_LT(first, refusals.find(" | ")) << refusals;
    EXPECT_NE(refusals.find(c.reason, first + 1), std::string::npos) << refusals;
  }
  // A container's index lists its entries: it is held to 2 MiB when read as an index.
  const std::string index = wrap("TaskIndex", repeat(entry, (3 << 20) / entry.size()));
  EXPECT_NE(decide<Types::TaskIndex>(index).find(" | Parse error: refused: the document has"), std::string::npos);
  // The largest document within every cap (16 MiB, 249,000 elements) is still decided in time.
  std::string body = repeat("<k:entry><k:key>" + std::string(40, 'k') + "</k:key></k:entry>", 124500);
  body += std::string((16u << 20) - body.size() - 400, ' ');
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(decide<Types::PersistedDatabase>(wrap("PersistedDatabase", "<k:data>" + body + "</k:data>")), " | ");
  EXPECT_LT(std::chrono::steady_clock::now() - start, kDecisionBound);
}
