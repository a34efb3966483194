// Unit tests of the IPC layer: parameter sets, the servlet registry, bus names, sender identity.
#include <gtest/gtest.h>

#include "IpcTestSupport.h"
#include "ipc/DBusNames.h"
#include "ipc/NameOwnerCache.h"
#include "kest/ipc/InProcessIpcService.h"

using namespace ipctest;
using namespace Ipc::detail;
using Ipc::IpcException;

TEST(IpcParameterSetTest, TypedReadsNameTheMissingOrMistypedParameterAndCopiesAreDeep) {
  Ipc::IpcParameterSet set = with(str("s", "text"), integer("n", -7));
  EXPECT_EQ(set.get<Ipc::IpcIntegerParameter>("n").getValue(), -7);
  EXPECT_EQ(errorOf([&] { set.get<Ipc::IpcStringParameter>("n"); }), "Parameter does not have the right type: n");
  EXPECT_EQ(errorOf([&] { set.get<Ipc::IpcStringParameter>("absent"); }), "Parameter is missing: absent");
  Ipc::IpcParameterSet copy = set;
  set.add(str("s", "two"));  // replaces by name
  EXPECT_EQ(copy.get<Ipc::IpcStringParameter>("s").getValue(), "text");
  EXPECT_EQ(set.get<Ipc::IpcStringParameter>("s").getValue(), "two");
  EXPECT_EQ(set.all().size(), 2u);
}

namespace {

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
  EXPECT_EQ(destinationOf("org.example.Thing").objectPath, "/org/example/Thing");
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
