#include <gtest/gtest.h>

#include <thread>

#include "IpcTestSupport.h"
#include "kest/ipc/InProcessIpcService.h"
#include "kest/testing/LogCapture.h"

using namespace ipctest;
using Ipc::InProcessIpcService;
using Ipc::IpcException;

TEST(InProcessIpcServiceTest, CallRunsTheServletWithItsSenderAndReturnsOnlyWhatItAdded) {
  InProcessIpcService service;
  std::string seenSender;
  service.registerServlet(
      selfDiagMessage("Echo"),
      std::make_unique<LambdaServlet>(selfDiagMessage("Echo"), [&](auto& definition, auto& request, auto& response) {
        EXPECT_EQ(definition.getName(), "Echo");
        seenSender = request.getSender();
        response.addParameter(str("text", request.template getParameter<Ipc::IpcStringParameter>("text").getValue()));
      }));
  const auto out =
      service.call("SelfDiag", "Echo", with(with(params(), str("text", "hi")), integer("extra", 1)), "BACKEND");
  EXPECT_EQ(seenSender, "BACKEND");
  EXPECT_EQ(out.get<Ipc::IpcStringParameter>("text").getValue(), "hi");
  EXPECT_EQ(out.all().size(), 1u);
  EXPECT_TRUE(service.serves("com.olvane.SelfDiag", "Echo"));
  EXPECT_FALSE(service.serves("Zem", "Echo"));
  EXPECT_THROW(service.call("Zem", "Echo", params()), IpcException);
  EXPECT_THROW(service.call("Nonsense", "Echo", params()), IpcException);
}

TEST(InProcessIpcServiceTest, JobAppearedWithWrongOrMissingLocationAnswersStatusZero) {
  kest::testing::LogCapture log;
  InProcessIpcService service;
  auto servlet = std::make_unique<JobAppearedServlet>(zemMessage("JobAppeared"));
  JobAppearedServlet* job = servlet.get();
  service.registerServlet(zemMessage("JobAppeared"), std::move(servlet));

  auto out = service.call("Zem", "JobAppeared", with(params(), integer("jobLocation", 12)));
  EXPECT_EQ(out.get<Ipc::IpcIntegerParameter>("status").getValue(), 0);
  out = service.call("Zem", "JobAppeared",
                     with(params(), std::make_unique<Ipc::IpcUnsupportedParameter>("jobLocation", "b")));
  EXPECT_EQ(out.get<Ipc::IpcIntegerParameter>("status").getValue(), 0);
  out = service.call("Zem", "JobAppeared", params());
  EXPECT_EQ(out.get<Ipc::IpcIntegerParameter>("status").getValue(), 0);
  out = service.call("Zem", "JobAppeared", with(params(), str("jobLocation", "/inbox/a.zip")));
  EXPECT_EQ(out.get<Ipc::IpcIntegerParameter>("status").getValue(), 1);

  EXPECT_EQ(job->errors(), (std::vector<std::string>{"Parameter does not have the right type: jobLocation",
                                                     "Parameter does not have the right type: jobLocation",
                                                     "Parameter is missing: jobLocation"}));
  EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, "Parameter does not have the right type: jobLocation"), 2u)
      << log.dump();
}

TEST(InProcessIpcServiceTest, ListenersFollowTheServletServingTheirDefinition) {
  InProcessIpcService service;
  RecordingListener early;
  RecordingListener late;
  const auto job = zemMessage("JobAppeared");

  // Added before the servlet exists: the service keeps it and hands it over on registration.
  service.addListener(job, &early);
  service.notifyListeners(job, IpcMessage(std::make_unique<IpcStringMessageContent>("/kept")));
  EXPECT_EQ(early.received(), (std::vector<std::string>{"JobAppeared:/kept"}));

  service.registerServlet(job, std::make_unique<JobAppearedServlet>(job));
  service.addListener(job, &late);
  service.call("Zem", "JobAppeared", with(params(), str("jobLocation", "/one")));
  // A served definition's listeners belong to its servlet: the service does not deliver twice.
  service.notifyListeners(job, IpcMessage(std::make_unique<IpcStringMessageContent>("/not-delivered")));
  EXPECT_EQ(early.received(), (std::vector<std::string>{"JobAppeared:/kept", "JobAppeared:/one"}));
  EXPECT_EQ(late.received(), (std::vector<std::string>{"JobAppeared:/one"}));

  // A replacing servlet inherits every listener; a removal reaches the servlet.
  service.registerServlet(job, std::make_unique<JobAppearedServlet>(job));
  service.removeListener(job, &early);
  service.call("Zem", "JobAppeared", with(params(), str("jobLocation", "/two")));
  EXPECT_EQ(early.received().size(), 2u);
  EXPECT_EQ(late.received(), (std::vector<std::string>{"JobAppeared:/one", "JobAppeared:/two"}));
}

TEST(InProcessIpcServiceTest, SignalsAreRecordedAndAwaitable) {
  InProcessIpcService service;
  EXPECT_FALSE(service.waitForSignal("ResultPlaced", std::chrono::milliseconds(1)));
  std::thread sender(
      [&] { service.sendSignal(zemMessage("ResultPlaced"), with(params(), str("location", "/out/a.zip"))); });
  EXPECT_TRUE(service.waitForSignal("ResultPlaced", std::chrono::seconds(5)));
  sender.join();
  service.sendSignal(zemMessage("TaskStatus"), with(with(params(), str("taskId", "t1")), integer("status", 3)));

  const auto signals = service.signals();
  ASSERT_EQ(signals.size(), 2u);
  EXPECT_EQ(signals[0].name, "ResultPlaced");
  EXPECT_EQ(signals[0].parameters.get<Ipc::IpcStringParameter>("location").getValue(), "/out/a.zip");
  EXPECT_EQ(signals[1].parameters.get<Ipc::IpcIntegerParameter>("status").getValue(), 3);
  EXPECT_FALSE(service.waitForSignal("TaskStatus", std::chrono::milliseconds(1), 2));

  EXPECT_THROW(
      service.sendSignal(zemMessage("Bad"), with(params(), std::make_unique<Ipc::IpcUnsupportedParameter>("x", "i"))),
      IpcException);
  EXPECT_THROW(service.sendSignal(zemMessage("not a member"), params()), IpcException);
  service.clearSignals();
  EXPECT_TRUE(service.signals().empty());
}

TEST(InProcessIpcServiceTest, CallMethodReachesThePeerOrFailsLikeAnAbsentService) {
  InProcessIpcService service;
  service.setPeer("LOGGER", [](const Ipc::IpcMessageDefinition& definition, const Ipc::IpcParameterSet& in) {
    EXPECT_EQ(definition.getName(), "SetComponentLogLevel");
    return with(params(), integer("result", in.get<Ipc::IpcIntegerParameter>("level").getValue() + 100));
  });
  const auto definition = selfDiagMessage("SetComponentLogLevel");
  const auto out = service.callMethod("LOGGER", "Diag", definition, with(params(), integer("level", 4)));
  EXPECT_EQ(out.get<Ipc::IpcIntegerParameter>("result").getValue(), 104);

  try {
    service.callMethod("ABSENT", "", definition, params());
    FAIL() << "no exception";
  } catch (const IpcException& e) {
    EXPECT_STREQ(e.what(), "service com.olvane.ABSENT is not running");
  }
  EXPECT_THROW(service.callMethod("bad/name", "", definition, params()), IpcException);

  const auto calls = service.peerCalls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].interfaceName, "com.olvane.Diag");
  EXPECT_EQ(calls[1].interfaceName, "com.olvane.SelfDiag");
  EXPECT_EQ(calls[1].component, "ABSENT");

  service.setPeer("LOGGER", nullptr);
  EXPECT_THROW(service.callMethod("LOGGER", "x.y.Z", definition, params()), IpcException);
}

TEST(InProcessIpcServiceTest, EscapingExceptionIsLoggedAndReportedAsIpcException) {
  kest::testing::LogCapture log;
  InProcessIpcService service;
  Ipc::IpcService::setInstance(&service);
  service.registerServlet(zemMessage("Boom"),
                          std::make_unique<LambdaServlet>(zemMessage("Boom"), [](auto&, auto&, auto&) {
                            throw std::runtime_error("disk on fire");
                          }));
  try {
    service.call("Zem", "Boom", params());
    FAIL() << "no exception";
  } catch (const IpcException& e) {
    EXPECT_STREQ(e.what(), "disk on fire");
  }
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "disk on fire")) << log.dump();
  EXPECT_THROW(service.registerServlet(zemMessage("Null"), nullptr), IpcException);
  EXPECT_EQ(Ipc::IpcService::getInstance(), &service);
}

TEST(InProcessIpcServiceTest, DestroyedServiceIsNoLongerTheInstance) {
  {
    InProcessIpcService service;
    Ipc::IpcService::setInstance(&service);
  }
  EXPECT_EQ(Ipc::IpcService::getInstance(), nullptr);
}
