// The IPC layer: the servlet registry, bus names and sender identity, then
// DBusIpcService and DBusIpcClient on the session bus of the test run.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <future>
#include <map>
#include <set>
#include <thread>
#include <vector>

#include "ZemTestSupport.h"
#include "ipc/DBusNames.h"
#include "ipc/NameOwnerCache.h"
#include "kest/ipc/DBusIpcClient.h"
#include "kest/ipc/DBusIpcService.h"
#include "kest/ipc/InProcessIpcService.h"
#include "kest/testing/LogCapture.h"

using Ipc::DBusIpcClient;
using Ipc::DBusIpcService;
using Ipc::IpcException;
using namespace Ipc::detail;

namespace {

using Handler = std::function<void(const Ipc::IpcMessageDefinition&, const Ipc::IpcMethodCallRequest&,
                                   Ipc::IpcMethodCallResponse&)>;

struct LambdaServlet : Ipc::IpcMethodServlet {  // a servlet whose behaviour is a lambda
  LambdaServlet(const Ipc::IpcMessageDefinition& definition, Handler handler)
      : IpcMethodServlet(definition, nullptr), handler(std::move(handler)) {}
  void processMethodCall(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcMethodCallRequest& request,
                         Ipc::IpcMethodCallResponse& response) override {
    handler(definition, request, response);
  }
  Handler handler;
};

Ipc::ZemMessageDefinition zemMessage(const std::string& name) { return Ipc::ZemMessageDefinition(name, {}); }
// Serves `definition` on `service` with `handler`.
void serve(Ipc::IpcService& service, const Ipc::IpcMessageDefinition& definition, Handler handler) {
  service.registerServlet(definition, std::make_unique<LambdaServlet>(definition, std::move(handler)));
}
template <typename... Parameters>
Ipc::IpcParameterSet with(Parameters... parameters) {
  Ipc::IpcParameterSet set;
  (set.add(std::move(parameters)), ...);
  return set;
}
std::unique_ptr<Ipc::IpcParameter> str(const std::string& name, const std::string& value) {
  return std::make_unique<Ipc::IpcStringParameter>(name, value);
}
std::unique_ptr<Ipc::IpcParameter> integer(const std::string& name, int64_t value) {
  return std::make_unique<Ipc::IpcIntegerParameter>(name, value);
}

// The text of the IpcException that `action` throws, or "<no IpcException>".
std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const Ipc::IpcException& e) {
    return e.what();
  }
  return "<no IpcException>";
}

// A component name no other test process uses at the same time.
std::string uniqueComponent(const std::string& base) {
  static std::atomic<int> counter{0};
  return base + "_" + std::to_string(::getpid()) + "_" + std::to_string(counter++);
}

// Tells its listeners the "jobLocation" of each call, as the application's "JobAppeared" servlet does.
struct AnnouncingServlet : Ipc::IpcMethodServlet {
  using IpcMethodServlet::IpcMethodServlet;
  void processMethodCall(const Ipc::IpcMessageDefinition& definition, const Ipc::IpcMethodCallRequest& request,
                         Ipc::IpcMethodCallResponse&) override {
    const IpcMessage message(std::make_unique<IpcStringMessageContent>(
        request.getParameter<Ipc::IpcStringParameter>("jobLocation").getValue()));
    for (IpcListener* listener : listenersFor(definition.getKey())) listener->ipcMessageReceived(definition, message);
  }
};

struct RecordingListener : IpcListener {
  std::string ipcMessageReceived(const Ipc::IpcMessageDefinition&, const IpcMessage& message) override {
    received.push_back(dynamic_cast<const IpcStringMessageContent&>(message.getContent()).getString());
    return std::string();
  }
  std::vector<std::string> received;
};

class DBusIpcServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) GTEST_SKIP() << "no session bus";
  }
  // A started service serving a fresh component.
  static std::unique_ptr<DBusIpcService> startService(const std::string& base, DBusIpcService::Options options = {}) {
    auto service = std::make_unique<DBusIpcService>("com.olvane." + uniqueComponent(base), options);
    service->start();
    return service;
  }
};

// Registers a servlet that answers what it was asked and who asked: "sender" and "names" (joined by
// spaces).
void registerEcho(DBusIpcService& service, const Ipc::IpcMessageDefinition& definition) {
  serve(service, definition, [](auto&, auto& request, auto& response) {
    for (const auto& entry : request.getParameters().all()) response.addParameter(entry.second->clone());
    response.addParameter(str("sender", request.getSender()));
    std::string names;
    for (const std::string& name : request.getSenderNames()) names += (names.empty() ? "" : " ") + name;
    response.addParameter(str("names", names));
  });
}

// Records the connections its service says left the bus.
struct LeavingRecorder : Ipc::IpcClientListener {
  void clientLeft(const std::string& connection) override {
    std::lock_guard<std::mutex> lock(mutex);
    left.insert(connection);
  }
  bool hasLeft(const std::string& connection) {
    std::lock_guard<std::mutex> lock(mutex);
    return left.count(connection) != 0;
  }
  std::mutex mutex;
  std::set<std::string> left;  // guarded by mutex
};

// A gate that held servlets wait at; destroyed before the service, so a failed test still opens it.
struct Gate {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
};

// Calls `member` of com.olvane.Zem on `component` through raw sdbus-c++, which sends what our
// client never does (other argument types, a caller owning several names).
std::map<std::string, sdbus::Variant> rawCall(sdbus::IConnection& connection, const std::string& component,
                                              const std::string& member,
                                              const std::map<std::string, sdbus::Variant>& in) {
  auto proxy = sdbus::createProxy(connection, "com.olvane." + component, "/com/olvane/" + component);
  std::map<std::string, sdbus::Variant> out;
  proxy->callMethod(member).onInterface("com.olvane.Zem").withArguments(in).storeResultsTo(out);
  return out;
}

int64_t integerOf(const Ipc::IpcParameterSet& set, const std::string& name) {
  return set.get<Ipc::IpcIntegerParameter>(name).getValue();
}
std::string stringOf(const Ipc::IpcParameterSet& set, const std::string& name) {
  return set.get<Ipc::IpcStringParameter>(name).getValue();
}

}  // namespace

// The servlet registry behind both IPC services: listeners added before a servlet exists are kept,
// handed to it on registration and to any servlet replacing it; removal reaches the servlet.
TEST(ServletRegistryTest, ListenersFollowTheServletServingTheirDefinition) {
  Ipc::InProcessIpcService service;
  RecordingListener early, late;
  const auto job = zemMessage("JobAppeared");
  service.addListener(job, &early);
  service.notifyListeners(job, IpcMessage(std::make_unique<IpcStringMessageContent>("/kept")));

  service.registerServlet(job, std::make_unique<AnnouncingServlet>(job, nullptr));
  service.addListener(job, &late);
  service.call("Zem", "JobAppeared", with(str("jobLocation", "/one")));
  // A served definition's listeners belong to its servlet: the service does not deliver twice.
  service.notifyListeners(job, IpcMessage(std::make_unique<IpcStringMessageContent>("/not-delivered")));
  EXPECT_EQ(early.received, (std::vector<std::string>{"/kept", "/one"}));

  service.registerServlet(job, std::make_unique<AnnouncingServlet>(job, nullptr));
  service.removeListener(job, &early);
  service.call("Zem", "JobAppeared", with(str("jobLocation", "/two")));
  EXPECT_EQ(early.received.size(), 2u);
  EXPECT_EQ(late.received, (std::vector<std::string>{"/one", "/two"}));
}

TEST(DBusNamingTest, MalformedComponentsInterfacesAndMembersAreRefusedAndFullNamesKept) {
  for (const char* bad : {"", "a/b", "a b", "a..b", ".a", "a.", "x.1y", "'quote"})
    EXPECT_THROW(destinationOf(bad), IpcException) << bad;
  EXPECT_THROW(resolveInterface("bad'iface", "com.olvane.Zem"), IpcException);
  for (const char* bad : {"Ping.Pong", "9Lives", ""}) EXPECT_THROW(checkMemberName(bad), IpcException) << bad;
}

// The single-name cases are checked on the bus (DBusIpcServiceTest).
TEST(NameOwnerCacheTest, SenderIsTheFirstComponentNameStillOwned) {
  NameOwnerCache cache;
  cache.setOwner("com.olvane.BACKEND", ":1.7");
  cache.setOwner("com.olvane.AGENT", ":1.7");
  EXPECT_EQ(cache.senderOf(":1.7"), "AGENT");  // the first in sort order
  cache.setOwner("com.olvane.AGENT", "");      // a lost name no longer counts
  EXPECT_EQ(cache.senderOf(":1.7"), "BACKEND");
  cache.setOwner("com.olvane.BACKEND", ":1.9");  // taken over: it leaves its former owner
  EXPECT_EQ(cache.senderOf(":1.7"), ":1.7");
  EXPECT_EQ(cache.senderOf(":1.9"), "BACKEND");
}

// Servlets registered while calls flow are served and a replacement takes over; parameters travel
// whole, and the answer holds only what the servlet added.
TEST_F(DBusIpcServiceTest, ServletsAddedOrReplacedWhileCallsFlowAnswerWithExactlyTheirParameters) {
  auto service = startService("SERVLETS");
  registerEcho(*service, zemMessage("First"));
  const std::string component = service->getComponent();
  std::atomic<bool> stop{false};
  std::atomic<int> calls{0}, failures{0};
  std::thread caller([&] {
    for (DBusIpcClient busy; !stop; ++calls)
      failures += errorOf([&] { busy.call(component, "Zem", "First", with()); }) != "<no IpcException>";
  });
  while (calls == 0) std::this_thread::yield();  // the registrations meet calls in flight
  for (int i = 0; i < 20; ++i)
    registerEcho(*service, Ipc::ZemSelfDiagMessageDefinition("Echo" + std::to_string(i), {}));
  stop = true;
  caller.join();
  EXPECT_EQ(failures, 0);

  DBusIpcClient client;
  for (int i = 0; i < 19; ++i) EXPECT_NO_THROW(client.call(component, "SelfDiag", "Echo" + std::to_string(i), with()));
  std::string blob(1024 * 1024, '\0');  // several times what the socket takes in one write
  for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<char>(i * 7);
  const auto out = client.call(component, "SelfDiag", "Echo19",
                               with(str("text", "h\xc3\xa9llo"), integer("number", INT64_MIN),
                                    std::make_unique<Ipc::IpcByteFieldParameter>("raw", blob)),
                               std::chrono::seconds(20));
  EXPECT_EQ(stringOf(out, "text"), "h\xc3\xa9llo");
  EXPECT_EQ(integerOf(out, "number"), INT64_MIN);
  EXPECT_EQ(out.get<Ipc::IpcByteFieldParameter>("raw").getValueAsString(), blob);
  EXPECT_EQ(out.all().size(), 5u);  // the three plus "sender" and "names"
  // The same member on the other interface is not served.
  EXPECT_NE(errorOf([&] { client.call(component, "Zem", "Echo0", with()); }).find("UnknownMethod"), std::string::npos);
  serve(*service, zemMessage("First"),
        [](auto&, auto&, auto& response) { response.addParameter(str("version", "2")); });
  EXPECT_EQ(stringOf(client.call(component, "Zem", "First", with()), "version"), "2");
}

TEST_F(DBusIpcServiceTest, ParameterOfAnotherDBusTypeReachesTheServletAsWrongType) {
  kest::testing::LogCapture log;
  auto service = startService("WRONGTYPE");
  const std::string component = service->getComponent();
  const auto definition = zemMessage("JobAppeared");
  serve(*service, definition, [](auto&, auto& request, auto& response) {
    response.addParameter(
        str("error", errorOf([&] { request.template getParameter<Ipc::IpcStringParameter>("jobLocation"); })));
  });
  // Our client only sends s, x and ay: i and a nested dictionary go through raw sdbus-c++.
  auto connection = sdbus::createSessionBusConnection();
  for (const sdbus::Variant& value :
       {sdbus::Variant(int32_t{5}), sdbus::Variant(std::map<std::string, sdbus::Variant>{})}) {
    EXPECT_EQ(rawCall(*connection, component, "JobAppeared", {{"jobLocation", value}}).at("error").get<std::string>(),
              "Parameter does not have the right type: jobLocation");
  }
  EXPECT_EQ(log.count(log4cplus::ERROR_LOG_LEVEL, "Parameter does not have the right type: jobLocation"), 2u);
}

// One client keeps 1,500 slow calls in flight: beyond its limit they are refused at once, and Ping,
// from that client (read after its 1,500 calls) or another, is answered within 500 ms while the
// slow calls stay held (a Ping queued behind them would not be answered at all).
TEST_F(DBusIpcServiceTest, PingAnswersAtOnceWhileOneClientFloodsWithSlowCalls) {
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
  const auto pingBound = std::chrono::milliseconds(2000);  // instrumented builds run several times slower
#else
  const auto pingBound = std::chrono::milliseconds(500);
#endif
  constexpr int kFlood = 1500;
  constexpr int kLimit = 64;
  DBusIpcService::Options options;
  options.maxCallsPerClient = kLimit;
  auto service = startService("FLOOD", options);
  const std::string component = service->getComponent();
  Gate gate;
  const auto slow = Ipc::ZemSelfDiagMessageDefinition("SetComponentLogLevel", {});
  serve(*service, slow, [released = gate.released](auto&, auto&, auto& response) {
    released.wait();
    response.addParameter(integer("result", 0));
  });
  registerEcho(*service, zemMessage("Ping"));

  // The handles outlive the connection: one dropped at once races (for TSan) with sdbus-c++ freeing it.
  std::vector<sdbus::PendingAsyncCall> pending;
  auto connection = sdbus::createSessionBusConnection();
  auto proxy = sdbus::createProxy(*connection, "com.olvane." + component, "/com/olvane/" + component);
  connection->enterEventLoopAsync();
  std::mutex mutex;
  std::condition_variable changed;
  std::map<std::string, int> outcomes;  // the member answered or the D-Bus error -> count; guarded by mutex
  std::chrono::steady_clock::time_point ownPingAnswered;
  auto send = [&](const char* interface, const char* member, std::map<std::string, sdbus::Variant> in) {
    auto call = proxy->createMethodCall(interface, member);
    call << in;
    pending.push_back(proxy->callMethod(
        call,
        [&, member](sdbus::MethodReply&, const sdbus::Error* error) {
          std::lock_guard<std::mutex> lock(mutex);
          if (std::string(member) == "Ping") ownPingAnswered = std::chrono::steady_clock::now();
          ++outcomes[error != nullptr ? error->getName() : member];
          changed.notify_all();
        },
        30'000'000));
  };
  pending.reserve(kFlood + 1);
  for (int i = 0; i < kFlood; ++i) send("com.olvane.SelfDiag", "SetComponentLogLevel", {{"level", int64_t{4}}});
  const auto pingSent = std::chrono::steady_clock::now();
  send("com.olvane.Zem", "Ping", {});
  DBusIpcClient supervisor;
  EXPECT_NO_THROW(supervisor.call(component, "Zem", "Ping", with(), std::chrono::seconds(5)));
  EXPECT_LT(std::chrono::steady_clock::now() - pingSent, pingBound);

  std::unique_lock<std::mutex> lock(mutex);
  const std::string refused = "org.freedesktop.DBus.Error.LimitsExceeded";
  EXPECT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] {
    return outcomes["Ping"] == 1 && outcomes[refused] == kFlood - kLimit;
  })) << outcomes[refused];
  EXPECT_LT(ownPingAnswered - pingSent, pingBound);
  gate.release.set_value();
  EXPECT_TRUE(
      changed.wait_for(lock, std::chrono::seconds(10), [&] { return outcomes["SetComponentLogLevel"] == kLimit; }));
  EXPECT_EQ(outcomes.size(), 3u);
  // Stop the event loop (its callbacks take `mutex`) before the proxy and connection go.
  lock.unlock();
  connection->leaveEventLoop();
}

// Declared caps hold each argument, undeclared ones the largest cap, names 255 bytes: a call over
// them is refused before its servlet runs.
TEST_F(DBusIpcServiceTest, ArgumentsOverTheirCapsAreRefusedBeforeTheServletRuns) {
  auto service = startService("CAPS");
  const Ipc::ZemMessageDefinition capped("Capped",
                                         {{"name", Ipc::IpcParameterType::String, Ipc::IpcParameterDirection::In, 8},
                                          {"doc", Ipc::IpcParameterType::ByteField, Ipc::IpcParameterDirection::In, 16},
                                          {"n", Ipc::IpcParameterType::Integer, Ipc::IpcParameterDirection::In}});
  registerEcho(*service, capped);
  DBusIpcClient client;
  const auto outcome = [&](const Ipc::IpcParameterSet& in) {
    const std::string error = errorOf([&] { client.call(service->getComponent(), "Zem", "Capped", in); });
    return error == "<no IpcException>" ? std::string("answered") : error;
  };
  const auto bytes = [](const std::string& name, size_t size) {
    return std::make_unique<Ipc::IpcByteFieldParameter>(name, std::string(size, 'b'));
  };
  EXPECT_EQ(outcome(with(str("name", "12345678"), bytes("doc", 16), bytes("extra", 16), integer("n", 1))), "answered");
  const struct {
    Ipc::IpcParameterSet in;
    const char* error;
  } refusals[] = {
      {with(str("name", "123456789")), "The string name is too large: 9 bytes, at most 8"},
      {with(bytes("doc", 17)), "The byte field doc is too large: 17 bytes, at most 16"},
      {with(str("extra", std::string(17, 'e'))), "The string extra is too large: 17 bytes, at most 16"},
      {with(integer(std::string(256, 'n'), 1)), "A parameter name is too large: 256 bytes, at most 255"},
  };
  for (const auto& r : refusals) {
    const std::string error = outcome(r.in);
    EXPECT_NE(error.find("LimitsExceeded"), std::string::npos) << error;
    EXPECT_NE(error.find(r.error), std::string::npos) << error;
  }
}

// A servlet that answers "fast" calls at once: they pass while every dispatch thread is held, and
// a declined call still reaches the dispatch thread with all of its arguments.
struct AtOnceServlet : Ipc::IpcMethodServlet {
  AtOnceServlet(const Ipc::IpcMessageDefinition& definition, std::shared_future<void> released)
      : IpcMethodServlet(definition, nullptr), released_(std::move(released)) {}
  bool mayAnswerAtOnce() const override { return true; }
  bool processMethodCallAtOnce(const Ipc::IpcMessageDefinition&, const Ipc::IpcMethodCallRequest& request,
                               Ipc::IpcMethodCallResponse& response) override {
    if (request.getParameters().find("fast") == nullptr) return false;
    response.addParameter(str("way", "at once"));
    return true;
  }
  void processMethodCall(const Ipc::IpcMessageDefinition&, const Ipc::IpcMethodCallRequest& request,
                         Ipc::IpcMethodCallResponse& response) override {
    released_.wait();
    for (const auto& entry : request.getParameters().all()) response.addParameter(entry.second->clone());
    response.addParameter(str("way", "dispatched"));
  }
  std::shared_future<void> released_;
};

TEST_F(DBusIpcServiceTest, AtOnceAnswersPassHeldDispatchThreadsAndDeclinedCallsKeepTheirArguments) {
  auto service = startService("ATONCE");
  const std::string component = service->getComponent();
  Gate gate;
  service->registerServlet(zemMessage("Read"), std::make_unique<AtOnceServlet>(zemMessage("Read"), gate.released));
  std::vector<std::future<Ipc::IpcParameterSet>> held;  // enough to occupy every dispatch thread
  held.reserve(16);
  for (int i = 0; i < 16; ++i)
    held.push_back(std::async(std::launch::async, [&, i] {
      return DBusIpcClient().call(component, "Zem", "Read", with(integer("n", i)), std::chrono::seconds(20));
    }));
  DBusIpcClient client;
  EXPECT_EQ(stringOf(client.call(component, "Zem", "Read", with(str("fast", ""))), "way"), "at once");
  gate.release.set_value();
  for (int i = 0; i < 16; ++i) EXPECT_EQ(integerOf(held[i].get(), "n"), i);  // declined: arguments whole
  // Arguments too large for the bus thread go to a dispatch thread whole.
  const std::string big(128 * 1024, 'b');
  const auto out = client.call(component, "Zem", "Read",
                               with(str("fast", ""), std::make_unique<Ipc::IpcByteFieldParameter>("raw", big)));
  EXPECT_EQ(stringOf(out, "way"), "dispatched");
  EXPECT_EQ(out.get<Ipc::IpcByteFieldParameter>("raw").getValueAsString(), big);
}

TEST_F(DBusIpcServiceTest, SenderIsTheCallersComponentOrItsUniqueNameNeverThePayload) {
  auto service = startService("SENDER");
  registerEcho(*service, zemMessage("WhoAmI"));
  auto senderSeenBy = [&](DBusIpcClient& client, Ipc::IpcParameterSet in = {}) {
    return stringOf(client.call(service->getComponent(), "Zem", "WhoAmI", in), "sender");
  };
  DBusIpcClient anonymous;
  EXPECT_EQ(senderSeenBy(anonymous, with(str("sender", "ZEM_APP"))), anonymous.getUniqueName());
  // A name taken just before the call is already known when the call arrives: the bus orders the
  // NameOwnerChanged signal before anything the new owner sends.
  for (int i = 0; i < 5; ++i) {
    const std::string name = uniqueComponent("CALLER");
    DBusIpcClient named(Ipc::DBusBusType::Session, "com.olvane." + name);
    EXPECT_EQ(senderSeenBy(named), name);
  }
  DBusIpcClient foreign(Ipc::DBusBusType::Session, "org.example.Foreign" + std::to_string(::getpid()));
  EXPECT_EQ(senderSeenBy(foreign), foreign.getUniqueName());
  EXPECT_EQ(stringOf(foreign.call(service->getComponent(), "Zem", "WhoAmI", {}), "names"), foreign.getUniqueName());

  // A caller owning several names is known by all of them (permissions), and by the first for logs.
  const std::string second = uniqueComponent("B"), first = uniqueComponent("A");
  auto connection = sdbus::createSessionBusConnection();
  connection->requestName("com.olvane." + second);
  connection->requestName("com.olvane." + first);
  const auto out = rawCall(*connection, service->getComponent(), "WhoAmI", {});
  EXPECT_EQ(out.at("sender").get<std::string>(), first);
  EXPECT_EQ(out.at("names").get<std::string>(), first + " " + second);
}

// A caller's departure reaches the client listeners, but only once no call of it runs any more.
TEST_F(DBusIpcServiceTest, ClientListenersHearOfACallerLeavingOnceItsLastCallHasEnded) {
  auto service = startService("LEAVING");
  registerEcho(*service, zemMessage("WhoAmI"));
  Gate gate;
  serve(*service, zemMessage("Hold"), [released = gate.released](auto&...) { released.wait(); });
  LeavingRecorder recorder;
  service->addClientListener(&recorder);
  const std::string component = service->getComponent();
  const auto leaveAfterCalling = [&](const char* member) {
    DBusIpcClient client;
    errorOf([&] { client.call(component, "Zem", member, with(), std::chrono::milliseconds(300)); });
    return client.getUniqueName();
  };
  const std::string holding = leaveAfterCalling("Hold");  // its call still runs when it has gone
  const std::string quick = leaveAfterCalling("WhoAmI");
  ASSERT_TRUE(zem_test::waitUntil([&] { return recorder.hasLeft(quick); }));
  // The bus told of `holding` leaving before `quick`: it was held back for its running call.
  EXPECT_FALSE(recorder.hasLeft(holding));
  gate.release.set_value();
  EXPECT_TRUE(zem_test::waitUntil([&] { return recorder.hasLeft(holding); }));
  service->removeClientListener(&recorder);
  const std::string unheard = leaveAfterCalling("WhoAmI");
  LeavingRecorder witness;  // added after the removal: once it heard, the removed one would have
  service->addClientListener(&witness);
  const std::string last = leaveAfterCalling("WhoAmI");
  ASSERT_TRUE(zem_test::waitUntil([&] { return witness.hasLeft(last); }));
  EXPECT_FALSE(recorder.hasLeft(unheard));
  service->removeClientListener(&witness);
}

// A service calls another component, from outside and from inside a servlet; failures and timeouts
// come back as errors naming them.
TEST_F(DBusIpcServiceTest, CallsBetweenComponentsCarryResultsSenderFailuresAndTimeouts) {
  auto logger = startService("LOGGER");
  const auto setLevel = Ipc::ZemSelfDiagMessageDefinition("SetComponentLogLevel", {});
  registerEcho(*logger, setLevel);
  serve(*logger, zemMessage("Fail"), [](auto&...) { throw std::runtime_error("disk on fire"); });
  auto app = startService("APP");
  auto out = app->callMethod(logger->getComponent(), "SelfDiag", setLevel, with(integer("level", 3)));
  EXPECT_EQ(integerOf(out, "level"), 3);
  EXPECT_EQ(stringOf(out, "sender"), app->getComponent());
  // From inside a servlet running on a dispatch thread (the bus thread stays free).
  serve(*app, zemMessage("Relay"), [&](auto&, auto&, auto& response) {
    response.addParameter(
        app->callMethod(logger->getComponent(), "", setLevel, with(integer("level", 5))).find("level")->clone());
  });
  DBusIpcClient client;
  EXPECT_EQ(integerOf(client.call(app->getComponent(), "Zem", "Relay", with()), "level"), 5);

  // An escaping exception becomes a D-Bus error with its text; the service goes on.
  const std::string error = errorOf([&] { app->callMethod(logger->getComponent(), "", zemMessage("Fail"), with()); });
  EXPECT_NE(error.find("disk on fire"), std::string::npos) << error;

  Gate gate;
  serve(*logger, zemMessage("Stuck"), [released = gate.released](auto&...) { released.wait(); });
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(
      errorOf([&] { client.call(logger->getComponent(), "Zem", "Stuck", with(), std::chrono::milliseconds(200)); }),
      "call of com.olvane.Zem.Stuck on com.olvane." + logger->getComponent() + " timed out");
  // The bus thread learns each new call's deadline: the call did not wait for the caller-side grace period.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500));
  gate.release.set_value();
}

TEST_F(DBusIpcServiceTest, NameOwnedByAnotherConnectionOrOutsideOurNamespaceIsRefused) {
  const std::string component = uniqueComponent("TAKEN");
  DBusIpcService first("com.olvane." + component);
  EXPECT_NE(errorOf([&] { DBusIpcService second(component); }).find("another connection owns it"), std::string::npos);
  EXPECT_THROW(DBusIpcService("org.example.NotOurs"), IpcException);
  EXPECT_THROW(DBusIpcService("com.olvane.a.b"), IpcException);
}

TEST_F(DBusIpcServiceTest, StopAnswersWaitingCallsAndRefusesNewOnes) {
  DBusIpcService::Options options;
  options.dispatchThreads = 1;
  auto service = startService("STOPPING", options);
  std::promise<void> entered;
  Gate gate;
  serve(*service, zemMessage("Hold"), [&](auto&, auto&, auto& response) {
    entered.set_value();
    gate.released.wait();
    response.addParameter(integer("status", 1));
  });
  registerEcho(*service, zemMessage("Queued"));
  const std::string component = service->getComponent();
  DBusIpcClient client;
  auto held = std::async(std::launch::async, [&] { return client.call(component, "Zem", "Hold", with()); });
  ASSERT_EQ(entered.get_future().wait_for(std::chrono::seconds(5)), std::future_status::ready);
  // The only dispatch thread is busy: this call waits in the queue.
  auto waiting =
      std::async(std::launch::async, [&] { return errorOf([&] { client.call(component, "Zem", "Queued", with()); }); });
  // stop() waits for the running servlet but answers the waiting call at once: it is not run.
  auto stopped = std::async(std::launch::async, [&] { service->stop(); });
  const std::string waitingError = waiting.get();
  EXPECT_NE(waitingError.find("not run"), std::string::npos) << waitingError;
  EXPECT_NE(stopped.wait_for(std::chrono::milliseconds(0)), std::future_status::ready);
  gate.release.set_value();
  stopped.get();
  EXPECT_EQ(integerOf(held.get(), "status"), 1);
  EXPECT_THROW(service->start(), IpcException);
}
