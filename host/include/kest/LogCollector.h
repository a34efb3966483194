// Collects the application's log lines from the system log into a file on request.
// Thread safety: all operations are thread-safe (stateless apart from the constant inputs).
#pragma once

#include <memory>
#include <set>
#include <string>

#include "kest/Export.h"

class ExtensionServices;
class BackendAdapterCommunicatorIF;

class KEST_EXPORT LogCollector {
 public:
  LogCollector(std::weak_ptr<ExtensionServices> services, BackendAdapterCommunicatorIF* communicator);
  // Copies the lines of the system log whose component is in `components` (all when empty) and
  // whose level is at least `minimumLevel` ("TRACE" ... "FATAL") into `target`. Returns false
  // when the target cannot be written; a missing system log yields an empty target.
  bool collect(const std::string& target, const std::set<std::string>& components,
               const std::string& minimumLevel) const;

 private:
  std::weak_ptr<ExtensionServices> services_;
  BackendAdapterCommunicatorIF* communicator_;
};
