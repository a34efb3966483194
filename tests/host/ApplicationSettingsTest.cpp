#include "kest/ApplicationSettings.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "CrashSimulation.h"
#include "kest/TempFile.h"
#include "kest/XmlValidatorLibXml2.h"
#include "kest/ZemSettings.h"
#include "kest/testing/LogCapture.h"
#include "kolconfig/Types.h"

using kest::testing::LogCapture;
using Sarnet_Configuration::Types::ZemGlobalSettings;

namespace {

struct NamedSettings : ApplicationSettings<ZemGlobalSettings> {  // its own name: its own crash guard state
  using ApplicationSettings::ApplicationSettings;
  void setDefaults(ZemGlobalSettings& document) override { document.set_maximumDataSize(7); }
};

uint32_t maximumDataSize(const ApplicationSettings<ZemGlobalSettings>& settings) {
  return settings.read([](const ZemGlobalSettings* d) { return d == nullptr ? 0u : d->get_maximumDataSize(); });
}

}  // namespace

TEST(ApplicationSettingsTest, MissingOrMalformedFileYieldsValidDefaultsWrittenBackWithTwoWarnings) {
  TempFile tmp;
  const File file(tmp.getFile(), "settings.xml");
  for (const char* content : {static_cast<const char*>(nullptr), "<config><content", "<?xml version=\"1.0\"?><x/>"}) {
    SCOPED_TRACE(content == nullptr ? "missing" : content);
    ASSERT_TRUE(content == nullptr || file.writeAtomically(content));  // nullptr: there is none yet
    LogCapture log;
    ZemSettings settings(file);
    settings.load();
    EXPECT_EQ(maximumDataSize(settings), 102400u);
    const auto warnings = log.messages(log4cplus::WARN_LOG_LEVEL);
    ASSERT_EQ(warnings.size(), 2u) << log.dump();
    EXPECT_EQ(warnings[0], "Cannot load ZEM global configuration, using default settings");
    EXPECT_EQ(xmldoc::parseFile<ZemGlobalSettings>(file.getPath())->get_maximumDataSize(), 102400u);
    EXPECT_NO_THROW(XmlValidatorLibXml2(ZEM_SCHEMA_FILE).validate(file.getPath()));
  }
}

// Concurrent writers share durable writes; every save() that returned true holds its change, and
// the file ends with the value that is in memory.
TEST(ApplicationSettingsTest, ConcurrentUpdatesAndSavesNeverLoseTheLastValue) {
  TempFile tmp;
  const File file(tmp.getFile(), "settings.xml");
  ZemSettings settings(file);
  settings.ensureLoaded();
  std::vector<std::thread> writers;
  for (uint32_t t = 1; t <= 4; ++t) {
    writers.emplace_back([&settings, t] {
      for (uint32_t i = 0; i < 50; ++i) {
        settings.update([&](ZemGlobalSettings* d) { d->set_maximumDataSize(t * 1000 + i); });
        EXPECT_TRUE(settings.save());
        EXPECT_NE(maximumDataSize(settings), 0u);
      }
    });
  }
  for (auto& writer : writers) writer.join();
  EXPECT_EQ(xmldoc::parseFile<ZemGlobalSettings>(file.getPath())->get_maximumDataSize(), maximumDataSize(settings));
  EXPECT_EQ(maximumDataSize(settings) % 1000, 49u);
}

TEST(ApplicationSettingsTest, DetectedCrashRemovesTheFileKeepsTheDocumentAndNextLoadWritesDefaults) {
  TempFile tmp;
  const File file(tmp.getFile(), "settings.xml");
  NamedSettings settings("crash-test", file);
  settings.ensureLoaded();
  settings.update([](ZemGlobalSettings* d) { d->set_maximumDataSize(555); });
  ASSERT_TRUE(settings.save());
  crashDuringLoad("crash-test", "settings");
  LogCapture log;
  settings.load();
  const auto errors = log.messages(log4cplus::ERROR_LOG_LEVEL);
  ASSERT_EQ(errors.size(), 2u) << log.dump();
  EXPECT_EQ(errors[0], "A crash has been detected when loading crash-test global settings");
  EXPECT_FALSE(file.exists());
  EXPECT_EQ(maximumDataSize(settings), 555u);  // unchanged

  settings.load();
  EXPECT_EQ(maximumDataSize(settings), 7u);
  EXPECT_EQ(xmldoc::parseFile<ZemGlobalSettings>(file.getPath())->get_maximumDataSize(), 7u);

  // Beyond the recoverable count the file stays; a crash before any load leaves no document.
  NamedSettings hopeless("hopeless", file);
  for (int crash = 1; crash <= 5; ++crash) {
    crashDuringLoad("hopeless", "settings");
    hopeless.load();
  }
  ASSERT_TRUE(settings.save());
  crashDuringLoad("hopeless", "settings");
  hopeless.load();
  EXPECT_TRUE(file.exists());
  EXPECT_FALSE(hopeless.isLoaded());
}
