#include <gtest/gtest.h>

#include "IpcTestSupport.h"
#include "kest/ipc/InProcessIpcService.h"
#include "kest/ipc/IpcMethodCall.h"
#include "kest/testing/LogCapture.h"

using namespace ipctest;
using Ipc::IpcException;

TEST(IpcParameterSetTest, TypedReadsNameTheMissingOrMistypedParameterAndCopiesAreDeep) {
  Ipc::IpcParameterSet set = with(with(params(), str("s", "text")), integer("n", -7));
  set.add(std::make_unique<Ipc::IpcUnsupportedParameter>("u", "u"));
  EXPECT_EQ(set.get<Ipc::IpcIntegerParameter>("n").getValue(), -7);
  EXPECT_EQ(errorOf([&] { set.get<Ipc::IpcStringParameter>("n"); }), "Parameter does not have the right type: n");
  EXPECT_EQ(errorOf([&] { set.get<Ipc::IpcStringParameter>("u"); }), "Parameter does not have the right type: u");
  EXPECT_EQ(errorOf([&] { set.get<Ipc::IpcStringParameter>("absent"); }), "Parameter is missing: absent");

  Ipc::IpcParameterSet copy = set;
  set.add(str("s", "two"));  // replaces by name
  EXPECT_EQ(copy.get<Ipc::IpcStringParameter>("s").getValue(), "text");
  EXPECT_EQ(set.get<Ipc::IpcStringParameter>("s").getValue(), "two");
  EXPECT_EQ(set.all().size(), 3u);
  copy = copy;  // self-assignment keeps the content
  EXPECT_EQ(copy.get<Ipc::IpcStringParameter>("s").getValue(), "text");
  EXPECT_THROW(copy.add(nullptr), IpcException);

  // A definition is its kind and name; the parameter lists take no part.
  EXPECT_EQ(zemMessage("Ping").getKey(), "com.olvane.Zem.Ping");
  EXPECT_EQ(
      zemMessage("Ping"),
      Ipc::ZemMessageDefinition("Ping", {{"status", Ipc::IpcParameterType::Integer, Ipc::IpcParameterDirection::Out}}));
  EXPECT_NE(zemMessage("Ping"), selfDiagMessage("Ping"));
}

TEST(IpcMethodCallRequestTest, WrongTypeIsLoggedAsErrorAndThrown) {
  kest::testing::LogCapture log;
  const Ipc::IpcMethodCallRequest request(with(params(), integer("jobLocation", 3)), "CALLER");
  EXPECT_EQ(errorOf([&] { request.getParameter<Ipc::IpcStringParameter>("jobLocation"); }),
            "Parameter does not have the right type: jobLocation");
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "Parameter does not have the right type: jobLocation"));
}

// The servlet registry behind both IPC services: listeners added before a servlet exists are kept,
// handed to it on registration and to any servlet replacing it; removal reaches the servlet.
TEST(ServletRegistryTest, ListenersFollowTheServletServingTheirDefinition) {
  Ipc::InProcessIpcService service;
  RecordingListener early;
  RecordingListener late;
  const auto job = zemMessage("JobAppeared");
  service.addListener(job, &early);
  service.notifyListeners(job, IpcMessage(std::make_unique<IpcStringMessageContent>("/kept")));

  service.registerServlet(job, std::make_unique<JobAppearedServlet>(job));
  service.addListener(job, &late);
  service.call("Zem", "JobAppeared", with(params(), str("jobLocation", "/one")));
  // A served definition's listeners belong to its servlet: the service does not deliver twice.
  service.notifyListeners(job, IpcMessage(std::make_unique<IpcStringMessageContent>("/not-delivered")));
  EXPECT_EQ(early.received(), (std::vector<std::string>{"JobAppeared:/kept", "JobAppeared:/one"}));

  service.registerServlet(job, std::make_unique<JobAppearedServlet>(job));
  service.removeListener(job, &early);
  service.call("Zem", "JobAppeared", with(params(), str("jobLocation", "/two")));
  EXPECT_EQ(early.received().size(), 2u);
  EXPECT_EQ(late.received(), (std::vector<std::string>{"JobAppeared:/one", "JobAppeared:/two"}));
}
