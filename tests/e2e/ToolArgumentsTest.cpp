// The argument handling of zem-host and zemctl, without a bus.
#include <gtest/gtest.h>

#include <limits.h>

#include <sstream>

#include "HostOptions.h"
#include "ZemctlCommand.h"

namespace {

// The options themselves are given in the end-to-end tests of zem-host.
TEST(HostOptionsTest, DefaultsThePluginAndRejectsMalformedOptionsWithAReason) {
  HostOptions o;
  std::string error;
  ASSERT_TRUE(HostOptions::parse({}, "/default/libZem.so", &o, &error));
  EXPECT_EQ(o.pluginPath, "/default/libZem.so");

  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"--plugin"}, "--plugin needs"},
      {{"--plugin="}, "--plugin needs"},
      {{"stray"}, "unknown argument: stray"},
      {{"--shutdown-timeout"}, "milliseconds"},
      {{"--shutdown-timeout", "0"}, "milliseconds"},
      {{"--shutdown-timeout", "99999999999"}, "milliseconds"}};
  for (const auto& [args, reason] : refused) {
    EXPECT_FALSE(HostOptions::parse(args, "d", &o, &error)) << args[0];
    EXPECT_NE(error.find(reason), std::string::npos) << error;
  }
}

TEST(ZemctlCommandTest, ParsesGlobalOptionsCommandsAndParametersExactly) {
  ZemctlCommand c;
  std::string error;
  ASSERT_TRUE(ZemctlCommand::parse({"--timeout=250", "log-level", "set", "-1"}, &c, &error));
  EXPECT_TRUE(c.timeout == std::chrono::milliseconds(250) && c.action == ZemctlCommand::Action::LogLevelSet);
  EXPECT_EQ(c.level, -1);
  ASSERT_TRUE(ZemctlCommand::parse(
      {"call", "SelfDiag", "Set", "a=s:x=y:z", "e=s:", "n=x:-9223372036854775808", "b=ay:<x/>", "f=ayfile:" __FILE__},
      &c, &error))
      << error;
  EXPECT_EQ(c.parameters.get<Ipc::IpcStringParameter>("a").getValue(), "x=y:z");
  EXPECT_EQ(c.parameters.get<Ipc::IpcStringParameter>("e").getValue(), "");
  EXPECT_EQ(c.parameters.get<Ipc::IpcIntegerParameter>("n").getValue(), INT64_MIN);
  EXPECT_EQ(c.parameters.get<Ipc::IpcByteFieldParameter>("b").getValueAsString(), "<x/>");
  EXPECT_EQ(c.parameters.get<Ipc::IpcByteFieldParameter>("f").getValueAsString().rfind("// The argument", 0), 0u);
  ASSERT_TRUE(ZemctlCommand::parse({"job", "result", "--wait", "1", "--", "-x"}, &c, &error)) << error;
  EXPECT_EQ(c.job.taskId, "-x");

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

}  // namespace
