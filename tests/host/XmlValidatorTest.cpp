// XmlValidatorLibXml2: a wrapper over the schema runtime's validator (documents themselves are
// decided in tests/schema), compiled once per path.
#include "kest/XmlValidatorLibXml2.h"

#include <gtest/gtest.h>

#include <string>

#include "kest/TempFile.h"
#include "kest/testing/LogCapture.h"

namespace {

const char* const kSchema =
    R"(<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" targetNamespace="urn:test" xmlns="urn:test" )"
    R"(elementFormDefault="qualified"><xs:element name="order"><xs:complexType><xs:sequence>)"
    R"(<xs:element name="count" type="xs:int"/></xs:sequence></xs:complexType></xs:element></xs:schema>)";

// The exception text, or "" when validation passed.
std::string failure(const XmlValidatorLibXml2& validator, const std::string& path) {
  try {
    validator.validate(path);
    return "";
  } catch (const XmlValidationException& e) {
    return e.what();
  }
}

}  // namespace

// A schema missing or broken at first fails every validation and is picked up once fixed (a failed
// compile is not cached); a compiled one is shared per path, not per object. Refusals name the file
// and come from the runtime's safe reader.
TEST(XmlValidatorTest, CompilesEachSchemaOncePerPathAndRetriesAFailedCompile) {
  kest::testing::LogCapture log;
  const TempFile tmp;
  const File schema(tmp.getFile(), "order.xsd"), valid(tmp.getFile(), "valid.xml"), wide(tmp.getFile(), "wide.xml");
  std::string attributes;
  for (int i = 0; i < 40; ++i) attributes += " a" + std::to_string(i) + "=\"\"";
  ASSERT_TRUE(valid.writeAtomically(R"(<order xmlns="urn:test"><count>2</count></order>)"));
  ASSERT_TRUE(wide.writeAtomically("<order xmlns=\"urn:test\"" + attributes + "/>"));

  const XmlValidatorLibXml2 validator(schema.getPath());
  EXPECT_NE(failure(validator, valid.getPath()).find("Cannot compile schema"), std::string::npos);
  ASSERT_TRUE(schema.writeAtomically("<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\"><xs:bogus/>"));
  EXPECT_NE(failure(validator, valid.getPath()).find("Cannot compile schema"), std::string::npos);
  ASSERT_TRUE(schema.writeAtomically(kSchema));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(failure(XmlValidatorLibXml2(schema.getPath()), valid.getPath()), "");
    const std::string why = failure(XmlValidatorLibXml2(schema.getPath()), wide.getPath());
    EXPECT_EQ(why.find(wide.getPath() + ": "), 0u) << why;
    EXPECT_NE(why.find("more than 32 attributes"), std::string::npos) << why;
  }
  EXPECT_EQ(log.count(log4cplus::DEBUG_LOG_LEVEL, "Compiled XML schema " + schema.getPath()), 1u) << log.dump();
}
