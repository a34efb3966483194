// The argument handling of zem-host and zemctl, without a bus.
#include <gtest/gtest.h>

#include <limits.h>
#include <stdlib.h>

#include <memory>
#include <sstream>

#include "HostOptions.h"
#include "Zemctl.h"
#include "ZemctlCommand.h"

namespace {

TEST(HostOptionsTest, ParsesEachOptionAndRejectsTheRestWithAReason) {
  HostOptions o;
  std::string error;
  ASSERT_TRUE(HostOptions::parse({}, "/default/libZem.so", &o, &error));
  EXPECT_EQ(o.pluginPath, "/default/libZem.so");
  EXPECT_EQ(o.shutdownTimeout, std::chrono::milliseconds(5000));
  ASSERT_TRUE(HostOptions::parse({"--system", "--plugin", "/x/a.so", "--shutdown-timeout", "250"}, "d", &o, &error));
  EXPECT_TRUE(o.systemBus && o.pluginPath == "/x/a.so" && o.shutdownTimeout == std::chrono::milliseconds(250));
  ASSERT_TRUE(HostOptions::parse({"--plugin=/y/b.so", "--help"}, "d", &o, &error));
  EXPECT_TRUE(o.help && o.pluginPath == "/y/b.so");

  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"--plugin"}, "--plugin needs"},
      {{"--plugin="}, "--plugin needs"},
      {{"--sytem"}, "unknown argument: --sytem"},
      {{"stray"}, "unknown argument: stray"},
      {{"--shutdown-timeout"}, "milliseconds"},
      {{"--shutdown-timeout", "0"}, "milliseconds"},
      {{"--shutdown-timeout", "-5"}, "milliseconds"},
      {{"--shutdown-timeout", "99999999999"}, "milliseconds"}};
  for (const auto& [args, reason] : refused) {
    EXPECT_FALSE(HostOptions::parse(args, "d", &o, &error)) << args[0];
    EXPECT_NE(error.find(reason), std::string::npos) << error;
  }
  std::unique_ptr<char, decltype(&free)> exe(realpath("/proc/self/exe", nullptr), &free);
  const std::string self(exe.get());
  EXPECT_EQ(HostOptions::defaultPluginPath(), self.substr(0, self.rfind('/')) + "/../lib/libZem.so");
}

TEST(ZemctlCommandTest, ParsesGlobalOptionsCommandsAndParametersExactly) {
  ZemctlCommand c;
  std::string error;
  ASSERT_TRUE(ZemctlCommand::parse({"--system", "--timeout=250", "--component", "X", "version"}, &c, &error));
  EXPECT_TRUE(c.action == ZemctlCommand::Action::Version && c.systemBus && c.component == "X");
  EXPECT_EQ(c.timeout, std::chrono::milliseconds(250));
  ASSERT_TRUE(ZemctlCommand::parse({"log-level", "set", "-1"}, &c, &error));
  EXPECT_TRUE(c.action == ZemctlCommand::Action::LogLevelSet && c.level == -1);
  ASSERT_TRUE(ZemctlCommand::parse({"watch", "--count", "3"}, &c, &error));
  EXPECT_EQ(c.count, 3u);
  ASSERT_TRUE(ZemctlCommand::parse(
      {"call", "SelfDiag", "Set", "a=s:x=y:z", "e=s:", "n=x:-9223372036854775808", "b=ay:<x/>"}, &c, &error))
      << error;
  EXPECT_EQ(c.parameters.get<Ipc::IpcStringParameter>("a").getValue(), "x=y:z");
  EXPECT_EQ(c.parameters.get<Ipc::IpcStringParameter>("e").getValue(), "");
  EXPECT_EQ(c.parameters.get<Ipc::IpcIntegerParameter>("n").getValue(), INT64_MIN);
  EXPECT_EQ(c.parameters.get<Ipc::IpcByteFieldParameter>("b").getValueAsString(), "<x/>");

  // Each case is split at spaces; "" is the empty command line.
  for (const char* line :
       {"", "frobnicate", "--bogus ping", "ping extra", "--timeout 0 ping", "--timeout", "log-level set four",
        "log-level set 99999999999999999999", "log-level put 4", "call Zem", "call Zem M noequals", "call Zem M =s:v",
        "call Zem M a=s", "call Zem M a=q:1", "call Zem M n=x:", "call Zem M n=x:9223372036854775808",
        "call Zem M d=ayfile:/", "watch --count 0", "watch extra"}) {
    std::vector<std::string> args;
    std::istringstream words(line);
    for (std::string word; words >> word;) args.push_back(word);
    error.clear();
    EXPECT_FALSE(ZemctlCommand::parse(args, &c, &error)) << line;
    EXPECT_FALSE(error.empty());
  }
}

TEST(ZemctlFormatTest, SignalLinesQuoteAndEscapeAndLevelsHaveNames) {
  Ipc::IpcParameterSet p;
  p.add(std::make_unique<Ipc::IpcStringParameter>("s", "a\"b\\c\td"));
  p.add(std::make_unique<Ipc::IpcIntegerParameter>("n", -7));
  p.add(std::make_unique<Ipc::IpcByteFieldParameter>("b", std::string("\x01\x7f", 2)));
  EXPECT_EQ(Zemctl::formatSignal("Sig", p), "Sig b=ay\"\\x01\\x7f\" n=-7 s=\"a\\\"b\\\\c\\td\"");
  EXPECT_EQ(Zemctl::logLevelName(4) + Zemctl::logLevelName(255) + Zemctl::logLevelName(6), "INFOnot setunknown");
}

}  // namespace
