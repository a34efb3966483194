#include <gtest/gtest.h>

#include "IpcTestSupport.h"
#include "kest/ipc/InProcessIpcService.h"

using namespace ipctest;

TEST(IpcParameterSetTest, TypedReadsNameTheMissingOrMistypedParameterAndCopiesAreDeep) {
  Ipc::IpcParameterSet set = with(str("s", "text"), integer("n", -7));
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
  EXPECT_THROW(copy.add(nullptr), Ipc::IpcException);
  // A definition is its kind and name; the parameter lists take no part.
  EXPECT_EQ(
      zemMessage("Ping"),
      Ipc::ZemMessageDefinition("Ping", {{"status", Ipc::IpcParameterType::Integer, Ipc::IpcParameterDirection::Out}}));
  EXPECT_NE(zemMessage("Ping"), selfDiagMessage("Ping"));
}

namespace {

// Tells its listeners the "jobLocation" of each call, as the application's "JobAppeared" servlet does.
class AnnouncingServlet : public Ipc::IpcMethodServlet {
 public:
  explicit AnnouncingServlet(const Ipc::IpcMessageDefinition& definition) : IpcMethodServlet(definition, nullptr) {}
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

}  // namespace

// The servlet registry behind both IPC services: listeners added before a servlet exists are kept,
// handed to it on registration and to any servlet replacing it; removal reaches the servlet.
TEST(ServletRegistryTest, ListenersFollowTheServletServingTheirDefinition) {
  Ipc::InProcessIpcService service;
  RecordingListener early;
  RecordingListener late;
  const auto job = zemMessage("JobAppeared");
  service.addListener(job, &early);
  service.notifyListeners(job, IpcMessage(std::make_unique<IpcStringMessageContent>("/kept")));

  service.registerServlet(job, std::make_unique<AnnouncingServlet>(job));
  service.addListener(job, &late);
  service.call("Zem", "JobAppeared", with(str("jobLocation", "/one")));
  // A served definition's listeners belong to its servlet: the service does not deliver twice.
  service.notifyListeners(job, IpcMessage(std::make_unique<IpcStringMessageContent>("/not-delivered")));
  EXPECT_EQ(early.received, (std::vector<std::string>{"/kept", "/one"}));

  service.registerServlet(job, std::make_unique<AnnouncingServlet>(job));
  service.removeListener(job, &early);
  service.call("Zem", "JobAppeared", with(str("jobLocation", "/two")));
  EXPECT_EQ(early.received.size(), 2u);
  EXPECT_EQ(late.received, (std::vector<std::string>{"/one", "/two"}));
}
