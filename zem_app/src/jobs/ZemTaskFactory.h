// Turns an opened task container into the task kind registered under the schema type name of its
// task description. The registry is filled by TaskTypeRegistration objects during static
// initialisation and only read afterwards.
// Thread safety: createTask may run on any thread once static initialisation is over; the registry
// is not locked, so registrations made later (tests) must not race with createTask.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <utility>

#include "jobs/ZemTask.h"
#include "kest/zip/ZipArchive.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

namespace Tasks {

// Builds a task of one kind from its container and its description (ownership of the description
// passes to the task). Returns the new task, owned by the caller.
using TaskCreator = std::unique_ptr<ZemTask> (*)(ZipArchive& archive, CtpTask::DescriptionPtr description);

// The creator of kind Kind: constructs it from the container and the description.
template <class Kind>
std::unique_ptr<ZemTask> createType(ZipArchive& archive, CtpTask::DescriptionPtr description) {
  return std::make_unique<Kind>(archive, std::move(description));
}

class ZemTaskFactory {
 public:
  // Description type name (unqualified) -> creator.
  using SchemaTypeToConstructorMap = std::map<std::string, TaskCreator>;

  // The registry: one ordered map, created on first use (so that registrations made during the
  // static initialisation of any source file find it) and destroyed at exit.
  static SchemaTypeToConstructorMap& getMap();

  // Finds the TASK_REQUEST description of `archive` (through the application's security service)
  // and builds the kind registered under its type name, with any namespace prefix dropped. The new
  // task gets the application's extension services and backend communicator. Returns the task,
  // owned by the caller, or null when the container has no readable description or its type is not
  // registered. With `transientFailure`, it is set when the search for the description met a
  // failure that may pass (see ConfigLoader::loadAndGet). With `indexRead`, it receives the
  // container's index as the search read it (null when it could not be read).
  // Throws XSDEnumException when the index names an unknown entry type (see ConfigLoader).
  static std::unique_ptr<ZemTask> createTask(
      ZipArchive& archive, bool* transientFailure = nullptr,
      xmldoc::DocumentPtr<Sarnet_Configuration::Types::TaskIndex>* indexRead = nullptr);
};

}  // namespace Tasks
