// The argument handling of zem-host and zemctl, and zem-host's plug-in loading, without a bus.
#include <gtest/gtest.h>

#include <limits.h>
#include <stdlib.h>

#include <memory>

#include "HostOptions.h"
#include "PluginLibrary.h"
#include "Zemctl.h"
#include "ZemctlCommand.h"

namespace {

TEST(HostOptionsTest, ParsesPluginSystemAndHelpAndRejectsTheRest) {
  HostOptions options;
  std::string error;
  ASSERT_TRUE(HostOptions::parse({}, "/default/libZem.so", &options, &error));
  EXPECT_EQ(options.pluginPath, "/default/libZem.so");
  EXPECT_FALSE(options.systemBus);
  EXPECT_FALSE(options.help);

  ASSERT_TRUE(HostOptions::parse({"--system", "--plugin", "/x/libA.so"}, "d", &options, &error));
  EXPECT_EQ(options.pluginPath, "/x/libA.so");
  EXPECT_TRUE(options.systemBus);
  ASSERT_TRUE(HostOptions::parse({"--plugin=/y/libB.so", "--help"}, "d", &options, &error));
  EXPECT_EQ(options.pluginPath, "/y/libB.so");
  EXPECT_TRUE(options.help);

  EXPECT_FALSE(HostOptions::parse({"--plugin"}, "d", &options, &error));
  EXPECT_NE(error.find("--plugin needs"), std::string::npos);
  EXPECT_FALSE(HostOptions::parse({"--plugin="}, "d", &options, &error));
  EXPECT_FALSE(HostOptions::parse({"--sytem"}, "d", &options, &error));
  EXPECT_EQ(error, "unknown argument: --sytem");
  EXPECT_FALSE(HostOptions::parse({"stray"}, "d", &options, &error));
}

TEST(HostOptionsTest, DefaultPluginIsBesideTheRunningProgramInLib) {
  std::unique_ptr<char, decltype(&free)> exe(realpath("/proc/self/exe", nullptr), &free);
  ASSERT_NE(exe, nullptr);
  std::string folder(exe.get());
  folder = folder.substr(0, folder.rfind('/'));
  EXPECT_EQ(HostOptions::defaultPluginPath(), folder + "/../lib/libZem.so");
}

TEST(PluginLibraryTest, OpensALibraryWithTheEntryPointsAndExplainsEveryFailure) {
  std::string error;
  std::unique_ptr<PluginLibrary> plugin = PluginLibrary::open(ZEM_THROWING_PLUGIN, &error);
  ASSERT_NE(plugin, nullptr) << error;
  EXPECT_NE(plugin->getApplication(), nullptr);
  EXPECT_NE(plugin->createSelfDiagnosisProxy(), nullptr);
  EXPECT_NE(plugin->destroySelfDiagnosisProxy(), nullptr);
  EXPECT_NE(plugin->getApplication()(), nullptr);

  EXPECT_EQ(PluginLibrary::open("/nonexistent/libZem.so", &error), nullptr);
  EXPECT_NE(error.find("cannot load plug-in /nonexistent/libZem.so"), std::string::npos) << error;
  EXPECT_EQ(PluginLibrary::open(ZEM_KEST_LIB, &error), nullptr);
  EXPECT_NE(error.find("does not export zemGetApplication"), std::string::npos) << error;
}

TEST(ZemctlCommandTest, ParsesGlobalOptionsAndEveryCommand) {
  ZemctlCommand c;
  std::string error;
  ASSERT_TRUE(ZemctlCommand::parse({"ping"}, &c, &error)) << error;
  EXPECT_EQ(c.action, ZemctlCommand::Action::Ping);
  EXPECT_FALSE(c.systemBus);
  EXPECT_EQ(c.timeout, std::chrono::milliseconds(5000));
  EXPECT_EQ(c.component, "ZEM_APP");

  ASSERT_TRUE(ZemctlCommand::parse({"--system", "--timeout=250", "--component", "X", "version"}, &c, &error));
  EXPECT_EQ(c.action, ZemctlCommand::Action::Version);
  EXPECT_TRUE(c.systemBus);
  EXPECT_EQ(c.timeout, std::chrono::milliseconds(250));
  EXPECT_EQ(c.component, "X");

  ASSERT_TRUE(ZemctlCommand::parse({"log-level"}, &c, &error));
  EXPECT_EQ(c.action, ZemctlCommand::Action::LogLevelGet);
  ASSERT_TRUE(ZemctlCommand::parse({"log-level", "set", "-1"}, &c, &error));
  EXPECT_EQ(c.action, ZemctlCommand::Action::LogLevelSet);
  EXPECT_EQ(c.level, -1);
  ASSERT_TRUE(ZemctlCommand::parse({"watch", "--count", "3"}, &c, &error));
  EXPECT_EQ(c.action, ZemctlCommand::Action::Watch);
  EXPECT_EQ(c.count, 3u);
  ASSERT_TRUE(ZemctlCommand::parse({"call", "SelfDiag", "SetComponentLogLevel", "level=x:4"}, &c, &error));
  EXPECT_EQ(c.interfaceName, "SelfDiag");
  EXPECT_EQ(c.method, "SetComponentLogLevel");
  EXPECT_EQ(c.parameters.get<Ipc::IpcIntegerParameter>("level").getValue(), 4);

  EXPECT_FALSE(ZemctlCommand::parse({}, &c, &error));
  EXPECT_FALSE(ZemctlCommand::parse({"--timeout", "0", "ping"}, &c, &error));
  EXPECT_FALSE(ZemctlCommand::parse({"--timeout"}, &c, &error));
  EXPECT_FALSE(ZemctlCommand::parse({"log-level", "set", "99999999999999999999"}, &c, &error));
  EXPECT_FALSE(ZemctlCommand::parse({"log-level", "put", "4"}, &c, &error));
  EXPECT_FALSE(ZemctlCommand::parse({"watch", "extra"}, &c, &error));
}

TEST(ZemctlCommandTest, ParameterSpecsKeepValuesExactly) {
  Ipc::IpcParameterSet set;
  std::string error;
  ASSERT_TRUE(ZemctlCommand::parseParameter("a=s:x=y:z", &set, &error)) << error;
  EXPECT_EQ(set.get<Ipc::IpcStringParameter>("a").getValue(), "x=y:z");
  ASSERT_TRUE(ZemctlCommand::parseParameter("e=s:", &set, &error));
  EXPECT_EQ(set.get<Ipc::IpcStringParameter>("e").getValue(), "");
  ASSERT_TRUE(ZemctlCommand::parseParameter("n=x:-9223372036854775808", &set, &error));
  EXPECT_EQ(set.get<Ipc::IpcIntegerParameter>("n").getValue(), INT64_MIN);
  ASSERT_TRUE(ZemctlCommand::parseParameter("b=ay:<x/>", &set, &error));
  EXPECT_EQ(set.get<Ipc::IpcByteFieldParameter>("b").getValueAsString(), "<x/>");

  EXPECT_FALSE(ZemctlCommand::parseParameter("noequals", &set, &error));
  EXPECT_FALSE(ZemctlCommand::parseParameter("=s:v", &set, &error));
  EXPECT_FALSE(ZemctlCommand::parseParameter("a=s", &set, &error));
  EXPECT_FALSE(ZemctlCommand::parseParameter("n=x:", &set, &error));
  EXPECT_FALSE(ZemctlCommand::parseParameter("n=x:9223372036854775808", &set, &error));
  EXPECT_FALSE(ZemctlCommand::parseParameter("d=ayfile:/", &set, &error));
  EXPECT_NE(error.find("cannot read file /"), std::string::npos);
}

TEST(ZemctlFormatTest, SignalLinesQuoteAndEscapeAndLevelsHaveNames) {
  Ipc::IpcParameterSet p;
  p.add(std::make_unique<Ipc::IpcStringParameter>("s", "a\"b\\c\td"));
  p.add(std::make_unique<Ipc::IpcIntegerParameter>("n", -7));
  p.add(std::make_unique<Ipc::IpcByteFieldParameter>("b", std::string("\x01\x7f", 2)));
  EXPECT_EQ(Zemctl::formatSignal("Sig", p), "Sig b=ay\"\\x01\\x7f\" n=-7 s=\"a\\\"b\\\\c\\td\"");
  EXPECT_EQ(Zemctl::formatSignal("Empty", Ipc::IpcParameterSet()), "Empty");

  EXPECT_EQ(Zemctl::logLevelName(0), "FATAL");
  EXPECT_EQ(Zemctl::logLevelName(3), "DEBUG");
  EXPECT_EQ(Zemctl::logLevelName(4), "INFO");
  EXPECT_EQ(Zemctl::logLevelName(5), "TRACE");
  EXPECT_EQ(Zemctl::logLevelName(255), "not set");
  EXPECT_EQ(Zemctl::logLevelName(6), "unknown");
  EXPECT_EQ(Zemctl::logLevelName(-1), "unknown");
}

}  // namespace
