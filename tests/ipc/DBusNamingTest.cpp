#include <gtest/gtest.h>

#include "ipc/DBusNames.h"
#include "ipc/NameOwnerCache.h"

using Ipc::IpcException;
using namespace Ipc::detail;

TEST(DBusNamingTest, ComponentsInterfacesAndMembersMapOntoBusNames) {
  EXPECT_EQ(destinationOf("ZEM_APP").busName, "com.olvane.ZEM_APP");
  EXPECT_EQ(destinationOf("ZEM_APP").objectPath, "/com/olvane/ZEM_APP");
  EXPECT_EQ(destinationOf("org.example.Thing").objectPath, "/org/example/Thing");
  for (const char* bad : {"", "a/b", "a b", "a..b", ".a", "a.", "x.1y", "'quote"})
    EXPECT_THROW(destinationOf(bad), IpcException) << bad;

  EXPECT_EQ(resolveInterface("", "com.olvane.Zem"), "com.olvane.Zem");
  EXPECT_EQ(resolveInterface("SelfDiag", "com.olvane.Zem"), "com.olvane.SelfDiag");
  EXPECT_EQ(resolveInterface("org.example.Iface", "com.olvane.Zem"), "org.example.Iface");
  EXPECT_THROW(resolveInterface("bad'iface", "com.olvane.Zem"), IpcException);

  EXPECT_NO_THROW(checkMemberName("Ping"));
  EXPECT_THROW(checkMemberName("Ping.Pong"), IpcException);
  EXPECT_THROW(checkMemberName("9Lives"), IpcException);
  EXPECT_THROW(checkMemberName(""), IpcException);
}

TEST(NameOwnerCacheTest, SenderIsTheOwnedComponentElseTheUniqueName) {
  NameOwnerCache cache;
  EXPECT_EQ(cache.senderOf(":1.7"), ":1.7");
  cache.setOwner("com.olvane.BACKEND", ":1.7");
  cache.setOwner("org.other.Name", ":1.8");
  EXPECT_EQ(cache.senderOf(":1.7"), "BACKEND");
  EXPECT_EQ(cache.senderOf(":1.8"), ":1.8");

  // Several names: the first in sort order; a lost name no longer counts.
  cache.setOwner("com.olvane.AGENT", ":1.7");
  EXPECT_EQ(cache.senderOf(":1.7"), "AGENT");
  cache.setOwner("com.olvane.AGENT", "");
  EXPECT_EQ(cache.senderOf(":1.7"), "BACKEND");
  // A name taken over by another connection leaves its former owner.
  cache.setOwner("com.olvane.BACKEND", ":1.9");
  EXPECT_EQ(cache.senderOf(":1.7"), ":1.7");
  EXPECT_EQ(cache.senderOf(":1.9"), "BACKEND");
  EXPECT_FALSE(cache.senderOf("").empty());
}
