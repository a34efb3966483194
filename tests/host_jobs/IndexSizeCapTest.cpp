// The task description is refused from its declared size, before a byte of it is extracted.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "JobsTestSupport.h"
#include "kest/zip/ZipArchive.h"

namespace {

TEST(IndexSizeCapTest, AnIndexDeclaringMoreThanTheCapIsRefusedBeforeExtraction) {
  jobs_test::prepareDevice();
  const File folder = jobs_test::freshFolder("cap"), out(folder, "out");
  const auto cap = static_cast<uint32_t>(ZipArchive::kMaxIndexSize);
  // entry, declared size, expected code: the cap applies to the index alone; below it, the short
  // content is found out while reading.
  const std::vector<std::tuple<std::string, uint32_t, int>> rows = {{"index.xml", cap + 1, ZipException::kSizeLimit},
                                                                    {"index.xml", cap, ZipException::kReadFailure},
                                                                    {"other.xml", cap + 1, ZipException::kReadFailure}};
  for (const auto& [name, declared, code] : rows) {
    SCOPED_TRACE(name + " " + std::to_string(declared));
    const File container(folder, "c.zip");
    jobs_test::makeZip(container, {{name, "<k:config/>"}});
    jobs_test::patchDeclaredSize(container, name, declared);
    try {
      ZipArchive::openForReading(container.getPath())
          .extract(name, out, "x.xml", ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
      ADD_FAILURE() << "extracted";
    } catch (const ZipException& e) {
      EXPECT_EQ(e.getCode(), code) << e.what();
      if (code == ZipException::kSizeLimit) {
        EXPECT_NE(std::string(e.what()).find("allowed for a task description"), std::string::npos) << e.what();
      }
    }
    EXPECT_TRUE(out.listFiles().empty() && !File(out, "x.xml").exists());
  }
}

}  // namespace
