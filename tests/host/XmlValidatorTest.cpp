// XmlValidatorLibXml2: a wrapper over the schema runtime's validator, compiled once per path.
#include "kest/XmlValidatorLibXml2.h"

#include <gtest/gtest.h>

#include <string>

#include "kest/TempFile.h"
#include "kest/testing/LogCapture.h"

using kest::testing::LogCapture;

namespace {

const char* const kSchema =
    R"(<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" targetNamespace="urn:test" xmlns="urn:test" )"
    R"(elementFormDefault="qualified"><xs:element name="order"><xs:complexType><xs:sequence>)"
    R"(<xs:element name="item" type="xs:string" maxOccurs="unbounded"/><xs:element name="count" type="xs:int"/>)"
    R"(</xs:sequence></xs:complexType></xs:element></xs:schema>)";
const char* const kValid = R"(<order xmlns="urn:test"><item>a</item><count>2</count></order>)";

// The exception text, or "" when validation passed.
std::string failure(const XmlValidatorLibXml2& validator, const std::string& path) {
  try {
    validator.validate(path);
    return "";
  } catch (const XmlValidationException& e) {
    return e.what();
  }
}

class XmlValidatorTest : public ::testing::Test {
 protected:
  XmlValidatorTest() : schema_(tmp_.getFile(), "order.xsd") { EXPECT_TRUE(schema_.writeAtomically(kSchema)); }
  std::string file(const std::string& name, const std::string& content) const {
    const File f(tmp_.getFile(), name);
    EXPECT_TRUE(f.writeAtomically(content));
    return f.getPath();
  }

  TempFile tmp_;
  File schema_;
};

}  // namespace

// The wrapper names the file and the fault, and goes through the runtime's safe reader.
TEST_F(XmlValidatorTest, AcceptsValidDocumentsAndNamesTheFileAndFaultOfOthers) {
  const XmlValidatorLibXml2 validator(schema_.getPath());
  EXPECT_EQ(failure(validator, file("valid.xml", kValid)), "");
  std::string wide;
  for (int i = 0; i < 40; ++i) wide += " a" + std::to_string(i) + "=\"\"";
  const struct {
    const char* name;
    std::string content;
    const char* part;
  } cases[] = {
      {"bad-int.xml", R"(<order xmlns="urn:test"><item>a</item><count>two</count></order>)", "count"},
      {"torn.xml", R"(<order xmlns="urn:test"><item>a</it)", "Parse error: "},
      {"wide.xml", "<order xmlns=\"urn:test\"" + wide + "/>", "more than 32 attributes"},
  };
  for (const auto& c : cases) {
    const std::string why = failure(validator, file(c.name, c.content));
    EXPECT_EQ(why.find(File(tmp_.getFile(), c.name).getPath() + ": "), 0u) << why;
    EXPECT_NE(why.find(c.part), std::string::npos) << why;
  }
}

TEST_F(XmlValidatorTest, CompilesEachSchemaOncePerProcess) {
  LogCapture log;
  const std::string invalid = file("invalid.xml", R"(<order xmlns="urn:test"><count>2</count></order>)");
  for (int i = 0; i < 3; ++i) {
    // A fresh validator object each time: the compiled schema is shared per path, not per object.
    EXPECT_EQ(failure(XmlValidatorLibXml2(schema_.getPath()), file("valid.xml", kValid)), "");
    EXPECT_NE(failure(XmlValidatorLibXml2(schema_.getPath()), invalid), "");
  }
  EXPECT_EQ(log.count(log4cplus::DEBUG_LOG_LEVEL, "Compiled XML schema " + schema_.getPath()), 1u) << log.dump();
}

TEST_F(XmlValidatorTest, MissingOrBrokenSchemaFailsEveryValidationUntilItIsFixed) {
  const std::string valid = file("valid.xml", kValid);
  const File later(tmp_.getFile(), "later.xsd");
  const XmlValidatorLibXml2 validator(later.getPath());
  EXPECT_NE(failure(validator, valid).find("Cannot compile schema"), std::string::npos);
  ASSERT_TRUE(later.writeAtomically("<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\"><xs:bogus/>"));
  EXPECT_NE(failure(validator, valid).find("Cannot compile schema"), std::string::npos);
  // A schema installed afterwards is picked up: failures are not cached.
  ASSERT_TRUE(later.writeAtomically(kSchema));
  EXPECT_EQ(failure(validator, valid), "");
}
