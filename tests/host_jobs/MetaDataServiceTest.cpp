// MetaDataService: a stable device id, the files it describes and how it names them.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

#include "ZemTestSupport.h"
#include "kest/MetaDataService.h"
#include "kest/zip/ZipArchive.h"
#include "kolconfig/Types.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

class MetaDataServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { folder_ = zem_test::freshFolder("metadata"); }
  File folder_;
};

TEST_F(MetaDataServiceTest, KeepsOneDeviceIdAcrossInstancesAndUsesAnExistingOne) {
  const File idFile(folder_, "state/uuid");
  const std::string first = MetaDataService("1.0", idFile.getPath()).getDeviceId();
  EXPECT_EQ(36u, first.size()) << first;
  EXPECT_EQ(first + "\n", zem_test::readFile(idFile));
  EXPECT_EQ(first, MetaDataService("1.0", idFile.getPath()).getDeviceId());
  zem_test::writeFile(File(folder_, "preset"), "  unit-0042 \nsecond line\n");
  EXPECT_EQ("unit-0042", MetaDataService("1.0", File(folder_, "preset").getPath()).getDeviceId());
}

TEST_F(MetaDataServiceTest, DescribesRegularFilesBelowTheFolderButNotLinksOrItsOwnOutput) {
  zem_test::writeFile(File(folder_, "result.xml"), "a");
  zem_test::writeFile(File(folder_, "LOGS/a&b<1>.txt"), "log");
  zem_test::writeFile(File(folder_, "LOGS/index.xml"), "nested index is payload");
  zem_test::writeFile(File(folder_, "index.xml"), "the package's own index");
  zem_test::writeFile(File(folder_, "MetaData.xml"), "an older one");
  ASSERT_EQ(0, ::symlink("/etc/hostname", File(folder_, "link").getPath().c_str()));

  const MetaDataService service("19.22.3", File(folder_, "id").getPath());
  const File packageFile(folder_, "P.zip");
  ZipArchive archive = ZipArchive::create(packageFile.getPath());
  auto index = xmldoc::createDocument<Types::TaskIndex>();
  const std::vector<File> files = service.generateMetaData(folder_, &archive, index.get());

  ASSERT_EQ(3u, files.size());  // LOGS/a&b<1>.txt, LOGS/index.xml, result.xml

  const std::string xml = zem_test::readFile(File(folder_, "MetaData.xml"));
  EXPECT_NE(std::string::npos, xml.find("<file name=\"LOGS/a&amp;b&lt;1&gt;.txt\" size=\"3\" sha256=\"" +
                                        MetaDataService::sha256Hex(files[0]) + "\"/>"))
      << xml;
  EXPECT_EQ(std::string::npos, xml.find("link"));
  EXPECT_EQ(std::string::npos, xml.find("\"index.xml\""));
  EXPECT_EQ(std::vector<std::string>{"MetaData.xml"}, archive.getEntryNames());  // typed in CtpTaskTest
}

}  // namespace
