#include "kest/ApplicationSettings.h"

#include <gtest/gtest.h>

#include <string>

#include "CrashSimulation.h"
#include "kest/DevicePaths.h"
#include "kest/TempFile.h"
#include "kest/XmlValidatorLibXml2.h"
#include "kest/ZemSettings.h"
#include "kest/testing/LogCapture.h"
#include "kolconfig/Types.h"

using kest::testing::LogCapture;
using Sarnet_Configuration::Types::ZemGlobalSettings;

namespace {

// Settings with their own name, so that each test has its own crash guard state.
class NamedSettings : public ApplicationSettings<ZemGlobalSettings> {
 public:
  NamedSettings(const std::string& name, File file) : ApplicationSettings(name, std::move(file)) {}

 protected:
  void setDefaults(ZemGlobalSettings& document) override {
    document.set_maximumDataSize(7);
    document.set_replayHistorySize(3);
  }
};

void writeSettings(const File& file, uint32_t maximumDataSize, uint32_t replayHistorySize) {
  auto document = xmldoc::createDocument<ZemGlobalSettings>();
  document->set_maximumDataSize(maximumDataSize);
  document->set_replayHistorySize(replayHistorySize);
  xmldoc::saveFile(*document, file.getPath());
}

std::string readText(const File& file) {
  std::string content;
  EXPECT_TRUE(file.readAll(&content));
  return content;
}

void expectDefaultsOnDisk(const File& file) {
  const auto onDisk = xmldoc::parseFile<ZemGlobalSettings>(file.getPath());
  EXPECT_EQ(onDisk->get_maximumDataSize(), ZemSettings::kDefaultMaximumDataSize);
  EXPECT_EQ(onDisk->get_replayHistorySize(), ZemSettings::kDefaultReplayHistorySize);
  EXPECT_FALSE(onDisk->has_componentLogLevel());
  // What the settings write is a valid configuration document.
  EXPECT_NO_THROW(XmlValidatorLibXml2(ZEM_SCHEMA_FILE).validate(file.getPath()));
}

}  // namespace

TEST(ApplicationSettingsTest, ZemSettingsLiveInTheApplicationDataFolder) {
  const ZemSettings settings;
  EXPECT_EQ(settings.getName(), "ZEM");
  EXPECT_EQ(settings.getFile().getPath(), DevicePaths::applicationDataFolder() + "/settings.xml");
  EXPECT_FALSE(settings.isLoaded());
  EXPECT_EQ(settings.getDocument(), nullptr);
}

TEST(ApplicationSettingsTest, MissingOrMalformedFileYieldsDefaultsWrittenBackWithTwoWarnings) {
  TempFile tmp;
  const File file(tmp.getFile(), "settings.xml");
  for (const char* content :
       {static_cast<const char*>(nullptr), "<config><content", "not xml at all", "<?xml version=\"1.0\"?><other/>"}) {
    SCOPED_TRACE(content == nullptr ? "missing" : content);
    if (content == nullptr) {
      file.remove();
    } else {
      ASSERT_TRUE(file.writeAtomically(content));
    }
    LogCapture log;
    ZemSettings settings(file);
    settings.load();

    ASSERT_TRUE(settings.isLoaded());
    EXPECT_EQ(settings.getDocument()->get_maximumDataSize(), 102400u);
    EXPECT_EQ(settings.getDocument()->get_replayHistorySize(), 10u);
    EXPECT_FALSE(settings.getDocument()->has_componentLogLevel());
    const auto warnings = log.messages(log4cplus::WARN_LOG_LEVEL);
    ASSERT_EQ(warnings.size(), 2u) << log.dump();
    EXPECT_EQ(warnings[0], "Cannot load ZEM global configuration, using default settings");
    EXPECT_FALSE(warnings[1].empty());
    EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL), 0u);
    expectDefaultsOnDisk(file);
  }
}

TEST(ApplicationSettingsTest, ExistingFileIsLoadedQuietlyAndReloadPicksUpChanges) {
  TempFile tmp;
  const File file(tmp.getFile(), "settings.xml");
  writeSettings(file, 2048, 4);
  LogCapture log;
  ZemSettings settings(file);
  settings.load();
  ASSERT_TRUE(settings.isLoaded());
  EXPECT_EQ(settings.getDocument()->get_maximumDataSize(), 2048u);
  EXPECT_EQ(settings.getDocument()->get_replayHistorySize(), 4u);

  writeSettings(file, 4096, 6);
  settings.load();
  EXPECT_EQ(settings.getDocument()->get_maximumDataSize(), 4096u);
  EXPECT_EQ(settings.getDocument()->get_replayHistorySize(), 6u);
  EXPECT_EQ(log.count(log4cplus::WARN_LOG_LEVEL), 0u) << log.dump();

  // A change saved by one owner is what the next owner loads.
  settings.getDocument()->set_componentLogLevel("INFO");
  EXPECT_TRUE(settings.save());
  ZemSettings other(file);
  other.load();
  ASSERT_TRUE(other.getDocument()->has_componentLogLevel());
  EXPECT_EQ(other.getDocument()->get_componentLogLevel(), "INFO");
}

TEST(ApplicationSettingsTest, UnwritableFileKeepsDefaultsInMemoryAndSaveFailsWithTwoWarnings) {
  TempFile tmp;
  const File notAFolder(tmp.getFile(), "plain-file");
  ASSERT_TRUE(notAFolder.writeAtomically("x"));
  const File file(notAFolder, "settings.xml");  // its folder is a regular file
  LogCapture log;
  ZemSettings settings(file);
  settings.load();

  ASSERT_TRUE(settings.isLoaded());
  EXPECT_EQ(settings.getDocument()->get_replayHistorySize(), 10u);
  auto warnings = log.messages(log4cplus::WARN_LOG_LEVEL);
  ASSERT_EQ(warnings.size(), 4u) << log.dump();
  EXPECT_EQ(warnings[0], "Cannot load ZEM global configuration, using default settings");
  EXPECT_EQ(warnings[2], "Cannot write ZEM global configuration");

  log.clear();
  EXPECT_FALSE(settings.save());
  warnings = log.messages(log4cplus::WARN_LOG_LEVEL);
  ASSERT_EQ(warnings.size(), 2u) << log.dump();
  EXPECT_EQ(warnings[0], "Cannot write ZEM global configuration");
  EXPECT_FALSE(warnings[1].empty());
  EXPECT_EQ(readText(notAFolder), "x");
}

TEST(ApplicationSettingsTest, SaveWithoutDocumentFailsAndWarns) {
  TempFile tmp;
  LogCapture log;
  ZemSettings settings(File(tmp.getFile(), "settings.xml"));
  EXPECT_FALSE(settings.save());
  EXPECT_TRUE(log.contains(log4cplus::WARN_LOG_LEVEL, "Cannot write ZEM global configuration"));
  EXPECT_FALSE(File(tmp.getFile(), "settings.xml").exists());
}

TEST(ApplicationSettingsTest, DetectedCrashRemovesTheFileKeepsTheDocumentAndNextLoadWritesDefaults) {
  TempFile tmp;
  const File file(tmp.getFile(), "settings.xml");
  writeSettings(file, 555, 5);
  NamedSettings settings("crash-test", file);
  settings.load();
  ASSERT_EQ(settings.getDocument()->get_maximumDataSize(), 555u);

  crashDuringLoad("crash-test", "settings");
  LogCapture log;
  settings.load();
  const auto errors = log.messages(log4cplus::ERROR_LOG_LEVEL);
  ASSERT_EQ(errors.size(), 2u) << log.dump();
  EXPECT_EQ(errors[0], "A crash has been detected when loading crash-test global settings");
  EXPECT_FALSE(errors[1].empty());
  EXPECT_FALSE(file.exists());
  ASSERT_TRUE(settings.isLoaded());
  EXPECT_EQ(settings.getDocument()->get_maximumDataSize(), 555u);  // unchanged

  log.clear();
  settings.load();
  EXPECT_EQ(log.count(log4cplus::WARN_LOG_LEVEL), 2u) << log.dump();
  EXPECT_EQ(settings.getDocument()->get_maximumDataSize(), 7u);
  const auto onDisk = xmldoc::parseFile<ZemGlobalSettings>(file.getPath());
  EXPECT_EQ(onDisk->get_maximumDataSize(), 7u);
}

TEST(ApplicationSettingsTest, CrashBeforeAnyLoadLeavesNoDocument) {
  TempFile tmp;
  const File file(tmp.getFile(), "settings.xml");
  writeSettings(file, 1, 1);
  crashDuringLoad("first-load-crash", "settings");
  NamedSettings settings("first-load-crash", file);
  settings.load();
  EXPECT_FALSE(settings.isLoaded());
  EXPECT_FALSE(file.exists());
}

TEST(ApplicationSettingsTest, UnrecoverableCrashKeepsTheFile) {
  TempFile tmp;
  const File file(tmp.getFile(), "settings.xml");
  NamedSettings settings("hopeless", file);
  for (int crash = 1; crash <= 5; ++crash) {
    crashDuringLoad("hopeless", "settings");
    settings.load();  // recoverable: the file is removed
  }
  writeSettings(file, 9, 9);
  crashDuringLoad("hopeless", "settings");
  LogCapture log;
  settings.load();
  EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, "A crash has been detected when loading hopeless global settings"),
            1u);
  EXPECT_TRUE(file.exists());
  EXPECT_FALSE(settings.isLoaded());
}
