#include "kest/XmlValidatorLibXml2.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kest/TempFile.h"
#include "kest/testing/LogCapture.h"

using kest::testing::LogCapture;

namespace {

const char* const kSchema = R"(<?xml version="1.0"?>
<xs:schema xmlns:xs="http://www.w3.org/2001/XMLSchema" targetNamespace="urn:test" xmlns="urn:test"
           elementFormDefault="qualified">
  <xs:element name="order">
    <xs:complexType>
      <xs:sequence>
        <xs:element name="item" type="xs:string" maxOccurs="unbounded"/>
        <xs:element name="count" type="xs:int"/>
      </xs:sequence>
    </xs:complexType>
  </xs:element>
</xs:schema>)";

class XmlValidatorTest : public ::testing::Test {
 protected:
  XmlValidatorTest() : schema_(tmp_.getFile(), "order.xsd") { EXPECT_TRUE(schema_.writeAtomically(kSchema)); }

  std::string file(const std::string& name, const std::string& content) const {
    const File f(tmp_.getFile(), name);
    EXPECT_TRUE(f.writeAtomically(content));
    return f.getPath();
  }
  // The exception text, or "" when validation passed.
  std::string failure(const XmlValidatorLibXml2& validator, const std::string& path) const {
    try {
      validator.validate(path);
      return "";
    } catch (const XmlValidationException& e) {
      return e.what();
    }
  }

  TempFile tmp_;
  File schema_;
};

}  // namespace

TEST_F(XmlValidatorTest, AcceptsValidDocumentsAndExplainsInvalidOnes) {
  const XmlValidatorLibXml2 validator(schema_.getPath());
  const std::string valid =
      file("valid.xml", R"(<order xmlns="urn:test"><item>a</item><item>b</item><count>2</count></order>)");
  EXPECT_EQ(failure(validator, valid), "");

  const std::string wrongType =
      file("bad-int.xml", R"(<order xmlns="urn:test"><item>a</item><count>two</count></order>)");
  const std::string why = failure(validator, wrongType);
  EXPECT_NE(why.find("count"), std::string::npos) << why;
  EXPECT_NE(why.find("bad-int.xml"), std::string::npos) << why;

  EXPECT_NE(failure(validator, file("missing-child.xml", R"(<order xmlns="urn:test"><count>1</count></order>)")), "");
  EXPECT_NE(failure(validator, file("wrong-ns.xml", R"(<order><item>a</item><count>1</count></order>)")), "");
  EXPECT_NE(failure(validator, file("torn.xml", R"(<order xmlns="urn:test"><item>a</it)")), "");
  EXPECT_NE(failure(validator, file("empty.xml", "")), "");
  EXPECT_NE(failure(validator, File(tmp_.getFile(), "absent.xml").getPath()), "");
}

TEST_F(XmlValidatorTest, RefusesDocumentsWithADocumentTypeDeclaration) {
  const XmlValidatorLibXml2 validator(schema_.getPath());
  const std::string laughs = file("laughs.xml", R"(<?xml version="1.0"?>
<!DOCTYPE order [
  <!ENTITY a "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa">
  <!ENTITY b "&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;">
  <!ENTITY c "&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;">
]>
<order xmlns="urn:test"><item>&c;</item><count>1</count></order>)");
  EXPECT_NE(failure(validator, laughs).find("DTD"), std::string::npos) << failure(validator, laughs);

  const std::string external = file("external.xml", R"(<?xml version="1.0"?>
<!DOCTYPE order SYSTEM "http://127.0.0.1:9/order.dtd">
<order xmlns="urn:test"><item>a</item><count>1</count></order>)");
  EXPECT_NE(failure(validator, external).find("DTD"), std::string::npos) << failure(validator, external);

  const std::string localFile = file("local.xml", R"(<?xml version="1.0"?>
<!DOCTYPE order [ <!ENTITY secret SYSTEM "file:///etc/hostname"> ]>
<order xmlns="urn:test"><item>&secret;</item><count>1</count></order>)");
  EXPECT_NE(failure(validator, localFile).find("DTD"), std::string::npos);
}

TEST_F(XmlValidatorTest, CompilesEachSchemaOnceAndValidatesConcurrently) {
  LogCapture log;
  const std::string valid = file("valid.xml", R"(<order xmlns="urn:test"><item>a</item><count>2</count></order>)");
  const std::string invalid = file("invalid.xml", R"(<order xmlns="urn:test"><count>2</count></order>)");

  std::atomic<int> passed{0};
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 20; ++i) {
        // A fresh validator object each time: the compiled schema is shared per path, not per object.
        const XmlValidatorLibXml2 validator(schema_.getPath());
        validator.validate(valid);
        ++passed;
        try {
          validator.validate(invalid);
        } catch (const XmlValidationException&) {
          ++refused;
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();

  EXPECT_EQ(passed.load(), 80);
  EXPECT_EQ(refused.load(), 80);
  EXPECT_EQ(log.count(log4cplus::DEBUG_LOG_LEVEL, "Compiled XML schema " + schema_.getPath()), 1u) << log.dump();
}

TEST_F(XmlValidatorTest, MissingOrBrokenSchemaFailsEveryValidationUntilItIsFixed) {
  const std::string valid = file("valid.xml", R"(<order xmlns="urn:test"><item>a</item><count>2</count></order>)");
  const File later(tmp_.getFile(), "later.xsd");
  const XmlValidatorLibXml2 validator(later.getPath());
  EXPECT_NE(failure(validator, valid), "");

  ASSERT_TRUE(later.writeAtomically("<xs:schema xmlns:xs=\"http://www.w3.org/2001/XMLSchema\"><xs:bogus/>"));
  EXPECT_NE(failure(validator, valid).find("schema"), std::string::npos);

  // A schema installed afterwards is picked up: failures are not cached.
  ASSERT_TRUE(later.writeAtomically(kSchema));
  EXPECT_EQ(failure(validator, valid), "");
}

TEST_F(XmlValidatorTest, ConfigurationSchemaCompiles) {
  const std::string empty = file(
      "settings.xml",
      R"(<k:config xmlns:k="http://www.olvane.com/kolconfig" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">)"
      R"(<k:content xsi:type="k:ZemGlobalSettings"><k:maximumDataSize>1</k:maximumDataSize>)"
      R"(<k:replayHistorySize>2</k:replayHistorySize></k:content></k:config>)");
  EXPECT_EQ(failure(XmlValidatorLibXml2(ZEM_SCHEMA_FILE), empty), "");
}
