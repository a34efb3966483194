#include <gtest/gtest.h>

#include "IpcTestSupport.h"
#include "kest/ipc/IpcMethodCall.h"
#include "kest/testing/LogCapture.h"

using namespace ipctest;
using Ipc::IpcException;

namespace {

std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const IpcException& e) {
    return e.what();
  }
  return "<no IpcException>";
}

}  // namespace

TEST(IpcParameterSetTest, TypedReadsNameTheMissingOrMistypedParameter) {
  Ipc::IpcParameterSet set =
      with(with(with(params(), str("s", "text")), integer("n", -7)), bytes("b", std::string("\0\xff", 2)));
  set.add(std::make_unique<Ipc::IpcUnsupportedParameter>("u", "u"));

  EXPECT_EQ(set.get<Ipc::IpcStringParameter>("s").getValue(), "text");
  EXPECT_EQ(set.get<Ipc::IpcIntegerParameter>("n").getValue(), -7);
  EXPECT_EQ(set.get<Ipc::IpcByteFieldParameter>("b").getValueAsString(), std::string("\0\xff", 2));
  EXPECT_EQ(errorOf([&] { set.get<Ipc::IpcStringParameter>("n"); }), "Parameter does not have the right type: n");
  EXPECT_EQ(errorOf([&] { set.get<Ipc::IpcIntegerParameter>("b"); }), "Parameter does not have the right type: b");
  EXPECT_EQ(errorOf([&] { set.get<Ipc::IpcStringParameter>("u"); }), "Parameter does not have the right type: u");
  EXPECT_EQ(errorOf([&] { set.get<Ipc::IpcStringParameter>("absent"); }), "Parameter is missing: absent");
}

TEST(IpcParameterSetTest, CopiesAreDeepAndAddReplacesByName) {
  Ipc::IpcParameterSet original = with(params(), str("s", "one"));
  Ipc::IpcParameterSet copy = original;
  original.add(str("s", "two"));
  EXPECT_EQ(copy.get<Ipc::IpcStringParameter>("s").getValue(), "one");
  EXPECT_EQ(original.get<Ipc::IpcStringParameter>("s").getValue(), "two");
  EXPECT_EQ(original.all().size(), 1u);

  copy = original;
  copy = copy;  // self-assignment keeps the content
  EXPECT_EQ(copy.get<Ipc::IpcStringParameter>("s").getValue(), "two");
  EXPECT_NE(copy.find("s"), original.find("s"));
  EXPECT_THROW(copy.add(nullptr), IpcException);
}

TEST(IpcMessageDefinitionTest, KeyAndInterfaceFollowTheKind) {
  const Ipc::ZemMessageDefinition ping("Ping",
                                       {{"status", Ipc::IpcParameterType::Integer, Ipc::IpcParameterDirection::Out}});
  const Ipc::ZemSelfDiagMessageDefinition version("GetSwVersion", {});
  EXPECT_EQ(ping.getInterface(), "com.olvane.Zem");
  EXPECT_EQ(ping.getKey(), "com.olvane.Zem.Ping");
  EXPECT_EQ(version.getKey(), "com.olvane.SelfDiag.GetSwVersion");
  EXPECT_EQ(ping.toString(), "IpcMessageDefinition{com.olvane.Zem.Ping}");

  EXPECT_EQ(ping, Ipc::ZemMessageDefinition("Ping", {}));
  EXPECT_NE(ping, Ipc::ZemSelfDiagMessageDefinition("Ping", {}));
  EXPECT_NE(ping, Ipc::ZemMessageDefinition("Pong", {}));
}

TEST(IpcMethodCallRequestTest, WrongTypeIsLoggedAsErrorAndThrown) {
  kest::testing::LogCapture log;
  const Ipc::IpcMethodCallRequest request(with(params(), integer("jobLocation", 3)), "CALLER");
  EXPECT_EQ(request.getSender(), "CALLER");
  EXPECT_EQ(errorOf([&] { request.getParameter<Ipc::IpcStringParameter>("jobLocation"); }),
            "Parameter does not have the right type: jobLocation");
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Parameter does not have the right type: jobLocation"))
      << log.dump();
  EXPECT_EQ(request.getParameter<Ipc::IpcIntegerParameter>("jobLocation").getValue(), 3);
}

TEST(IpcServletTest, ListenersAreKeptPerKeyInOrderAndRemovedEverywhere) {
  LambdaServlet servlet(zemMessage("JobAppeared"), [](auto&, auto&, auto&) {});
  RecordingListener a;
  RecordingListener b;
  const auto job = zemMessage("JobAppeared");
  servlet.addListener(job, &a);
  servlet.addListener(job, &b);
  servlet.addListener(job, &a);
  servlet.addListener(zemMessage("Other"), &b);
  EXPECT_EQ(servlet.listeners(job.getKey()), (std::vector<IpcListener*>{&a, &b, &a}));
  servlet.removeListener(job, &a);
  EXPECT_EQ(servlet.listeners(job.getKey()), (std::vector<IpcListener*>{&b}));
  EXPECT_TRUE(servlet.listeners("com.olvane.Zem.Unknown").empty());
}
