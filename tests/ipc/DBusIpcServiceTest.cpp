// Integration of DBusIpcService and DBusIpcClient on the session bus of the test run.
#include <gtest/gtest.h>

#include <sdbus-c++/sdbus-c++.h>

#include <condition_variable>
#include <cstdlib>
#include <future>
#include <map>

#include "IpcTestSupport.h"
#include "kest/ipc/DBusIpcClient.h"
#include "kest/ipc/DBusIpcService.h"
#include "kest/testing/LogCapture.h"

using namespace ipctest;
using Ipc::DBusIpcClient;
using Ipc::DBusIpcService;
using Ipc::IpcException;

namespace {

class DBusIpcServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr)
      GTEST_SKIP() << "no session bus (run under dbus-run-session)";
  }

  // A started service serving a fresh component.
  std::unique_ptr<DBusIpcService> startService(const std::string& base, DBusIpcService::Options options = {}) {
    auto service = std::make_unique<DBusIpcService>("com.olvane." + uniqueComponent(base), options);
    service->start();
    return service;
  }

  static std::string errorOf(const std::function<void()>& action) {
    try {
      action();
    } catch (const IpcException& e) {
      return e.what();
    }
    return "<no IpcException>";
  }
};

// Registers a servlet that answers what it was asked and who asked.
void registerEcho(DBusIpcService& service, const Ipc::IpcMessageDefinition& definition) {
  service.registerServlet(definition,
                          std::make_unique<LambdaServlet>(definition, [](auto&, auto& request, auto& response) {
                            for (const auto& entry : request.getParameters().all())
                              response.addParameter(entry.second->clone());
                            response.addParameter(str("sender", request.getSender()));
                          }));
}

}  // namespace

TEST_F(DBusIpcServiceTest, StringIntegerAndByteFieldRoundTrip) {
  auto service = startService("ROUNDTRIP");
  registerEcho(*service, selfDiagMessage("Echo"));
  DBusIpcClient client;

  const std::string binary("\0\x01\xff\n", 4);
  const auto out = client.call(
      service->getComponent(), "SelfDiag", "Echo",
      with(with(with(params(), str("text", "h\xc3\xa9llo")), integer("number", INT64_MIN)), bytes("raw", binary)));
  EXPECT_EQ(out.get<Ipc::IpcStringParameter>("text").getValue(), "h\xc3\xa9llo");
  EXPECT_EQ(out.get<Ipc::IpcIntegerParameter>("number").getValue(), INT64_MIN);
  EXPECT_EQ(out.get<Ipc::IpcByteFieldParameter>("raw").getValueAsString(), binary);
  EXPECT_EQ(out.all().size(), 4u);  // the three plus "sender"; nothing the servlet did not add

  // The same member on the other interface is not served.
  EXPECT_NE(errorOf([&] { client.call(service->getComponent(), "Zem", "Echo", params()); }).find("UnknownMethod"),
            std::string::npos);
}

TEST_F(DBusIpcServiceTest, PayloadLargerThanTheSocketBufferArrivesWhole) {
  // Request and reply are several times what the socket takes in one write.
  auto service = startService("LARGE");
  registerEcho(*service, zemMessage("Echo"));
  DBusIpcClient client;
  std::string payload(1024 * 1024, '\0');
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 7);
  const auto out = client.call(service->getComponent(), "Zem", "Echo", with(params(), bytes("blob", payload)),
                               std::chrono::milliseconds(20000));
  EXPECT_EQ(out.get<Ipc::IpcByteFieldParameter>("blob").getValueAsString(), payload);
}

TEST_F(DBusIpcServiceTest, ParameterOfAnotherDBusTypeReachesTheServletAsWrongType) {
  kest::testing::LogCapture log;
  auto service = startService("WRONGTYPE");
  const auto definition = zemMessage("JobAppeared");
  auto servlet = std::make_unique<JobAppearedServlet>(definition);
  JobAppearedServlet* job = servlet.get();
  service->registerServlet(definition, std::move(servlet));

  // Our client only sends s, x and ay: speak raw sdbus-c++ to send i, b and a nested dictionary.
  auto connection = sdbus::createSessionBusConnection();
  auto proxy = sdbus::createProxy(*connection, "com.olvane." + service->getComponent(),
                                  "/com/olvane/" + service->getComponent());
  const std::vector<sdbus::Variant> wrongValues = {sdbus::Variant(int32_t{5}), sdbus::Variant(true),
                                                   sdbus::Variant(std::map<std::string, sdbus::Variant>{})};
  for (const sdbus::Variant& value : wrongValues) {
    std::map<std::string, sdbus::Variant> in{{"jobLocation", value}};
    std::map<std::string, sdbus::Variant> out;
    proxy->callMethod("JobAppeared").onInterface("com.olvane.Zem").withArguments(in).storeResultsTo(out);
    ASSERT_EQ(out.count("status"), 1u);
    EXPECT_EQ(out.at("status").get<int64_t>(), 0);
  }
  EXPECT_EQ(job->errors(), std::vector<std::string>(3, "Parameter does not have the right type: jobLocation"));
  EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, "Parameter does not have the right type: jobLocation"), 3u)
      << log.dump();

  // A call that is not one a{sv} is refused by the bus layer without reaching the servlet.
  EXPECT_THROW(proxy->callMethod("JobAppeared").onInterface("com.olvane.Zem").withArguments(std::string("x")),
               sdbus::Error);
  EXPECT_EQ(job->errors().size(), 3u);
}

TEST_F(DBusIpcServiceTest, PingAnswersAtOnceWhileOneClientFloodsWithSlowCalls) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  const auto pingBound = std::chrono::milliseconds(1000);  // instrumented builds run several times slower
#else
  const auto pingBound = std::chrono::milliseconds(100);
#endif
  constexpr int kFlood = 1500;
  DBusIpcService::Options options;
  options.maxCallsPerClient = 64;
  auto service = startService("FLOOD", options);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  service->registerServlet(
      selfDiagMessage("SetComponentLogLevel"),
      std::make_unique<LambdaServlet>(selfDiagMessage("SetComponentLogLevel"), [&](auto&, auto&, auto& response) {
        released.wait();
        response.addParameter(integer("result", 0));
      }));
  service->registerServlet(zemMessage("Ping"),
                           std::make_unique<LambdaServlet>(zemMessage("Ping"), [](auto&, auto&, auto& response) {
                             response.addParameter(integer("status", 2));
                           }));

  // One connection sends every slow call without waiting, then a Ping of its own.
  auto connection = sdbus::createSessionBusConnection();
  auto proxy = sdbus::createProxy(*connection, "com.olvane." + service->getComponent(),
                                  "/com/olvane/" + service->getComponent());
  connection->enterEventLoopAsync();
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, int> outcomes;  // "ok" or the D-Bus error name; guarded by mutex
  std::chrono::steady_clock::time_point ownPingAnswered;
  auto count = [&](const sdbus::Error* error) {
    std::lock_guard<std::mutex> lock(mutex);
    ++outcomes[error == nullptr ? "ok" : error->getName()];
    changed.notify_all();
  };
  const std::map<std::string, sdbus::Variant> level{{"level", sdbus::Variant(int64_t{4})}};
  for (int i = 0; i < kFlood; ++i) {
    auto call = proxy->createMethodCall("com.olvane.SelfDiag", "SetComponentLogLevel");
    call << level;
    proxy->callMethod(
        call, [&](sdbus::MethodReply&, const sdbus::Error* error) { count(error); }, 30'000'000);
  }
  const auto pingSent = std::chrono::steady_clock::now();
  auto ownPing = proxy->createMethodCall("com.olvane.Zem", "Ping");
  ownPing << std::map<std::string, sdbus::Variant>();
  std::promise<void> ownPingDone;
  proxy->callMethod(ownPing, [&](sdbus::MethodReply&, const sdbus::Error* error) {
    ownPingAnswered = std::chrono::steady_clock::now();
    EXPECT_EQ(error, nullptr);
    ownPingDone.set_value();
  });

  // A supervisor's Ping from another connection, while the flood is in flight.
  DBusIpcClient supervisor;
  const auto out = supervisor.call(service->getComponent(), "Zem", "Ping", params(), std::chrono::seconds(5));
  const auto supervisorLatency = std::chrono::steady_clock::now() - pingSent;
  EXPECT_EQ(out.get<Ipc::IpcIntegerParameter>("status").getValue(), 2);
  ASSERT_EQ(ownPingDone.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_LT(supervisorLatency, pingBound);
  EXPECT_LT(ownPingAnswered - pingSent, pingBound);

  // Beyond the client's limit every call was refused at once; the admitted ones finish once released.
  {
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] {
      return outcomes["org.freedesktop.DBus.Error.LimitsExceeded"] == kFlood - 64;
    })) << outcomes["org.freedesktop.DBus.Error.LimitsExceeded"];
  }
  release.set_value();
  std::unique_lock<std::mutex> lock(mutex);
  EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return outcomes["ok"] == 64; }));
  EXPECT_EQ(outcomes.size(), 2u);
}

TEST_F(DBusIpcServiceTest, ServletsRegisteredAfterStartAreServedAlongsideEarlierOnes) {
  auto service = startService("LATE");
  registerEcho(*service, zemMessage("First"));
  DBusIpcClient client;
  const std::string component = service->getComponent();
  EXPECT_TRUE(client.call(component, "Zem", "First", params()).find("sender") != nullptr);

  // Calls keep flowing while members are added, as the application registers during start-up.
  std::atomic<bool> stop{false};
  std::atomic<int> failures{0};
  std::atomic<int> calls{0};
  std::thread caller([&] {
    DBusIpcClient busy;
    while (!stop) {
      try {
        busy.call(component, "Zem", "First", params());
      } catch (const IpcException&) {
        ++failures;
      }
      ++calls;
    }
  });
  for (int i = 0; i < 20; ++i) registerEcho(*service, selfDiagMessage("Added" + std::to_string(i)));
  ASSERT_TRUE(eventually([&] { return calls > 5; }));
  stop = true;
  caller.join();
  EXPECT_EQ(failures, 0);

  for (int i = 0; i < 20; ++i)
    EXPECT_NO_THROW(client.call(component, "SelfDiag", "Added" + std::to_string(i), params()));

  // Serving a definition anew replaces the servlet behind the same member.
  service->registerServlet(zemMessage("First"),
                           std::make_unique<LambdaServlet>(zemMessage("First"), [](auto&, auto&, auto& response) {
                             response.addParameter(str("version", "2"));
                           }));
  EXPECT_EQ(client.call(component, "Zem", "First", params()).get<Ipc::IpcStringParameter>("version").getValue(), "2");
}

TEST_F(DBusIpcServiceTest, SenderIsTheCallersComponentOrItsUniqueName) {
  auto service = startService("SENDER");
  registerEcho(*service, zemMessage("WhoAmI"));
  const std::string component = service->getComponent();
  auto senderSeenBy = [&](DBusIpcClient& client) {
    return client.call(component, "Zem", "WhoAmI", params()).get<Ipc::IpcStringParameter>("sender").getValue();
  };

  DBusIpcClient anonymous;
  EXPECT_EQ(senderSeenBy(anonymous), anonymous.getUniqueName());
  EXPECT_EQ(anonymous.getUniqueName().rfind(":", 0), 0u);

  // A name taken just before the call is already known when the call arrives: the bus orders the
  // NameOwnerChanged signal before anything the new owner sends.
  for (int i = 0; i < 5; ++i) {
    const std::string name = uniqueComponent("CALLER");
    DBusIpcClient named(Ipc::DBusBusType::Session, "com.olvane." + name);
    EXPECT_EQ(senderSeenBy(named), name);
  }
  // A name that is not com.olvane.* does not count; a released name no longer counts.
  {
    DBusIpcClient foreign(Ipc::DBusBusType::Session, "org.example.Foreign" + std::to_string(::getpid()));
    EXPECT_EQ(senderSeenBy(foreign), foreign.getUniqueName());
  }
  // The payload cannot claim an identity.
  EXPECT_EQ(anonymous.call(component, "Zem", "WhoAmI", with(params(), str("sender", "ZEM_APP")))
                .get<Ipc::IpcStringParameter>("sender")
                .getValue(),
            anonymous.getUniqueName());
}

TEST_F(DBusIpcServiceTest, SubscriberReceivesTheSignalsOfItsComponentOnly) {
  auto service = startService("SIGNALS");
  auto other = startService("OTHERSIGNALS");
  DBusIpcClient client;

  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<std::pair<std::string, Ipc::IpcParameterSet>> received;
  auto subscription =
      client.subscribe(service->getComponent(), [&](const std::string& name, const Ipc::IpcParameterSet& parameters) {
        std::lock_guard<std::mutex> lock(mutex);
        received.emplace_back(name, parameters);
        arrived.notify_all();
      });

  other->sendSignal(zemMessage("ResultPlaced"), with(params(), str("location", "/elsewhere")));
  service->sendSignal(zemMessage("ResultPlaced"), with(params(), str("location", "/out/a.zip")));
  service->sendSignal(selfDiagMessage("TaskStatus"), with(with(params(), str("taskId", "t7")), integer("status", 2)));
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(arrived.wait_for(lock, std::chrono::seconds(5), [&] { return received.size() >= 2; }));
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].first, "ResultPlaced");
    EXPECT_EQ(received[0].second.get<Ipc::IpcStringParameter>("location").getValue(), "/out/a.zip");
    EXPECT_EQ(received[1].first, "TaskStatus");
    EXPECT_EQ(received[1].second.get<Ipc::IpcIntegerParameter>("status").getValue(), 2);
  }
  EXPECT_THROW(
      service->sendSignal(zemMessage("Bad"), with(params(), std::make_unique<Ipc::IpcUnsupportedParameter>("x", "i"))),
      IpcException);

  // After the subscription ends nothing more arrives; a Ping round trip proves the bus moved on.
  subscription.reset();
  service->sendSignal(zemMessage("ResultPlaced"), with(params(), str("location", "/late")));
  registerEcho(*service, zemMessage("Ping"));
  client.call(service->getComponent(), "Zem", "Ping", params());
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(received.size(), 2u);
}

TEST_F(DBusIpcServiceTest, CallMethodReachesAnotherComponentAndFailsForAnAbsentOne) {
  auto logger = startService("LOGGER");
  std::string seenSender;
  const auto setLevel = selfDiagMessage("SetComponentLogLevel");
  logger->registerServlet(
      setLevel, std::make_unique<LambdaServlet>(setLevel, [&](auto&, auto& request, auto& response) {
        seenSender = request.getSender();
        response.addParameter(
            integer("result", request.template getParameter<Ipc::IpcIntegerParameter>("level").getValue()));
      }));
  auto app = startService("APP");

  // Directly, and from inside a servlet running on a dispatch thread (the bus thread stays free).
  auto out = app->callMethod(logger->getComponent(), "SelfDiag", setLevel, with(params(), integer("level", 3)));
  EXPECT_EQ(out.get<Ipc::IpcIntegerParameter>("result").getValue(), 3);
  EXPECT_EQ(seenSender, app->getComponent());

  app->registerServlet(
      zemMessage("Relay"), std::make_unique<LambdaServlet>(zemMessage("Relay"), [&](auto&, auto&, auto& response) {
        const auto answer = app->callMethod(logger->getComponent(), "", setLevel, with(params(), integer("level", 5)));
        response.addParameter(answer.find("result")->clone());
      }));
  DBusIpcClient client;
  EXPECT_EQ(
      client.call(app->getComponent(), "Zem", "Relay", params()).get<Ipc::IpcIntegerParameter>("result").getValue(), 5);

  const std::string absent = uniqueComponent("ABSENT");
  EXPECT_EQ(errorOf([&] { app->callMethod(absent, "", setLevel, params()); }),
            "service com.olvane." + absent + " is not running");
  EXPECT_EQ(errorOf([&] { client.call(absent, "Zem", "Ping", params()); }),
            "service com.olvane." + absent + " is not running");
  EXPECT_EQ(errorOf([&] { client.peerPing(absent); }), "service com.olvane." + absent + " is not running");
  EXPECT_NO_THROW(client.peerPing(app->getComponent()));
  EXPECT_NE(errorOf([&] { app->callMethod(logger->getComponent(), "Zem", setLevel, params()); }).find("UnknownMethod"),
            std::string::npos);
}

TEST_F(DBusIpcServiceTest, CallOutlastingItsTimeoutFailsInTime) {
  auto service = startService("TIMEOUT");
  std::atomic<bool> release{false};
  service->registerServlet(zemMessage("Stuck"),
                           std::make_unique<LambdaServlet>(zemMessage("Stuck"), [&](auto&, auto&, auto&) {
                             eventually([&] { return release.load(); }, std::chrono::seconds(10));
                           }));
  auto caller = startService("TIMEOUTCALLER");
  DBusIpcClient client;
  const auto started = std::chrono::steady_clock::now();
  const std::string viaService = errorOf([&] {
    caller->callMethod(service->getComponent(), "", zemMessage("Stuck"), params(), std::chrono::milliseconds(200));
  });
  const std::string viaClient =
      errorOf([&] { client.call(service->getComponent(), "Zem", "Stuck", params(), std::chrono::milliseconds(200)); });
  const auto elapsed = std::chrono::steady_clock::now() - started;
  release = true;
  EXPECT_EQ(viaService, "call of com.olvane.Zem.Stuck on com.olvane." + service->getComponent() + " timed out");
  EXPECT_EQ(viaClient, viaService);
  // The bus thread learns each new call's deadline: neither waited for the caller-side grace period.
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 1500);
}

TEST_F(DBusIpcServiceTest, EscapingExceptionBecomesADBusErrorAndTheServiceGoesOn) {
  kest::testing::LogCapture log;
  auto service = startService("THROWS");
  service->registerServlet(zemMessage("Boom"),
                           std::make_unique<LambdaServlet>(zemMessage("Boom"), [](auto&, auto&, auto&) {
                             throw std::runtime_error("disk on fire");
                           }));
  registerEcho(*service, zemMessage("Ping"));
  DBusIpcClient client;
  const std::string error = errorOf([&] { client.call(service->getComponent(), "Zem", "Boom", params()); });
  EXPECT_NE(error.find("disk on fire"), std::string::npos) << error;
  EXPECT_TRUE(log.contains(log4cplus::ERROR_LOG_LEVEL, "disk on fire")) << log.dump();
  EXPECT_NO_THROW(client.call(service->getComponent(), "Zem", "Ping", params()));
}

TEST_F(DBusIpcServiceTest, NameOwnedByAnotherConnectionIsRefused) {
  const std::string component = uniqueComponent("TAKEN");
  DBusIpcService first("com.olvane." + component);
  EXPECT_EQ(first.getComponent(), component);
  const std::string error = errorOf([&] { DBusIpcService second(component); });
  EXPECT_NE(error.find("another connection owns it"), std::string::npos) << error;
  EXPECT_THROW(DBusIpcService("org.example.NotOurs"), IpcException);
  EXPECT_THROW(DBusIpcService("com.olvane.a.b"), IpcException);
}

TEST_F(DBusIpcServiceTest, StopAnswersWaitingCallsAndRefusesNewOnes) {
  DBusIpcService::Options options;
  options.dispatchThreads = 1;
  auto service = startService("STOPPING", options);
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto releaseOnce = [&, done = std::make_shared<std::once_flag>()] {
    std::call_once(*done, [&] { release.set_value(); });
  };
  service->registerServlet(zemMessage("Hold"),
                           std::make_unique<LambdaServlet>(zemMessage("Hold"), [&](auto&, auto&, auto& response) {
                             entered.set_value();
                             released.wait_for(std::chrono::seconds(10));
                             response.addParameter(integer("status", 1));
                           }));
  registerEcho(*service, zemMessage("Queued"));
  const std::string component = service->getComponent();
  DBusIpcClient holder;
  DBusIpcClient queued;
  auto held = std::async(std::launch::async, [&] { return holder.call(component, "Zem", "Hold", params()); });
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
  // The only dispatch thread is busy: this call waits in the queue.
  auto waiting = std::async(std::launch::async,
                            [&] { return errorOf([&] { queued.call(component, "Zem", "Queued", params()); }); });

  // stop() waits for the running servlet, but answers the waiting call at once: queued or still on
  // its way in, it is not run.
  auto stopped = std::async(std::launch::async, [&] { service->stop(); });
  // Releases the held servlet however the test ends, before the futures wait for their threads.
  const std::shared_ptr<void> releaseGuard(nullptr, [&](void*) { releaseOnce(); });
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  const std::string waitingError = waiting.get();
  EXPECT_NE(waitingError.find("not run"), std::string::npos) << waitingError;
  EXPECT_NE(stopped.wait_for(std::chrono::milliseconds(0)), std::future_status::ready);

  releaseOnce();
  stopped.get();
  EXPECT_EQ(held.get().get<Ipc::IpcIntegerParameter>("status").getValue(), 1);
  EXPECT_THROW(service->start(), IpcException);
  service.reset();
}

TEST_F(DBusIpcServiceTest, ClientOnlyServiceCallsButServesNothing) {
  auto logger = startService("CLIENTTARGET");
  registerEcho(*logger, zemMessage("Ping"));
  DBusIpcService client(DBusIpcService::ClientOnly{}, DBusIpcService::Options());
  client.start();
  EXPECT_TRUE(client.getComponent().empty());
  const auto out = client.callMethod(logger->getComponent(), "", zemMessage("Ping"), params());
  EXPECT_EQ(out.get<Ipc::IpcStringParameter>("sender").getValue(), client.getUniqueName());
  EXPECT_THROW(client.registerServlet(zemMessage("X"),
                                      std::make_unique<LambdaServlet>(zemMessage("X"), [](auto&, auto&, auto&) {})),
               IpcException);
  EXPECT_THROW(client.sendSignal(zemMessage("X"), params()), IpcException);
}
