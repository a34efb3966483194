#include "kest/GeoLocationReporter.h"

#include <gtest/gtest.h>

#include "kest/DevicePaths.h"
#include "kest/File.h"

TEST(GeoLocationReporterTest, ReadsTheLastFixAndIgnoresMissingOrMalformedFiles) {
  const File position(DevicePaths::dataFolder() + "/gnss/position");
  position.remove();
  const GeoLocationReporter reporter({}, nullptr);
  EXPECT_FALSE(reporter.getLastPosition().has_value());

  ASSERT_TRUE(position.getParentFile().mkdirs());
  ASSERT_TRUE(position.writeAtomically("48.137 11.575\n"));
  EXPECT_EQ(reporter.getLastPosition(), std::make_optional(std::make_pair(48.137, 11.575)));

  for (const char* bad : {"", "48.1", "91 0", "0 181", "nan 1", "1 2 3", "north east"}) {
    ASSERT_TRUE(position.writeAtomically(bad));
    EXPECT_FALSE(reporter.getLastPosition().has_value()) << bad;
  }
  position.remove();
}
