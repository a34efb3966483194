// Which connection owns which "com.olvane.*" name, kept from the bus's NameOwnerChanged signals,
// so that the sender of a call is named without a bus round trip.
// Thread safety: every method may be called from any thread; mutex_ guards both maps.
#pragma once

#include <map>
#include <mutex>
#include <set>
#include <string>

#include "kest/ipc/IpcMethodCall.h"

namespace Ipc {
namespace detail {

class NameOwnerCache {
 public:
  // Records that `owner` (a unique name, or empty for none) now owns `busName`. Names outside
  // "com.olvane." are ignored.
  void setOwner(const std::string& busName, const std::string& owner);
  // The component NAME when `uniqueName` owns "com.olvane.NAME" (the first in sort order when it owns
  // several), otherwise `uniqueName` itself. Never empty: an empty unique name gives ":unknown".
  std::string senderOf(const std::string& uniqueName) const;
  // The caller behind `uniqueName`: senderOf as its sender, every component it owns, in sort
  // order, as its names ({uniqueName} when it owns none), and `uniqueName` as its connection.
  IpcCaller callerOf(const std::string& uniqueName) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::string> ownerOf_;                 // bus name -> unique name; guarded by mutex_
  std::map<std::string, std::set<std::string>> componentsOf_;  // unique name -> components; guarded by mutex_
};

}  // namespace detail
}  // namespace Ipc
