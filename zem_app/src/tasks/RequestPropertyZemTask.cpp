#include "tasks/RequestPropertyZemTask.h"

#include <string>
#include <unordered_map>

#include "jobs/TaskTypeRegistration.h"
#include "properties/ProvisioningAdapterMap.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

const TaskTypeRegistration<RequestPropertyZemTask> registration("RequestPropertyZemTaskDescription");

}  // namespace

RequestPropertyZemTask::RequestPropertyZemTask(const ZipArchive& archive, DescriptionPtr description)
    : ZemTask(archive, std::move(description)),
      requestDescription_(dynamic_cast<const Types::RequestPropertyZemTaskDescription*>(getDescription())),
      result_(xmldoc::createDocument<Types::RequestPropertyZemTaskResult>()),
      properties_(result_->add_node_properties()) {}

RequestPropertyZemTask::~RequestPropertyZemTask() = default;

bool RequestPropertyZemTask::execute() {
  bool outcome = false;
  if (requestDescription_ != nullptr) {
    ProvisioningAdapterMap adapterMap;
    // A description may name one property many times; answering it once keeps the result as
    // small as the set of distinct properties, however often a (possibly large) value is named.
    std::unordered_map<std::string, bool> answered;
    for (const std::string& name : requestDescription_->elements_propertyName()) {
      const auto found = answered.find(name);
      outcome = found != answered.end()
                    ? found->second
                    : answered.emplace(name, adapterMap.getRequestPropertyResult(name, properties_)).first->second;
    }
  }
  return finish(outcome);
}

int RequestPropertyZemTask::getPriority() const { return Task::HIGHEST; }

void RequestPropertyZemTask::createTaskResults(const File& folder, bool success) {
  writeTaskResult(*result_, folder, success);
}
