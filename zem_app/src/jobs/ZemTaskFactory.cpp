#include "jobs/ZemTaskFactory.h"

#include "app/ZemApp.h"
#include "app/ZemAppIpcProxy.h"
#include "jobs/ConfigLoader.h"
#include "kest/ExtensionServices.h"
#include "kolconfig/TypeRegistry.h"

namespace Tasks {

namespace Types = Sarnet_Configuration::Types;

ZemTaskFactory::SchemaTypeToConstructorMap& ZemTaskFactory::getMap() {
  static SchemaTypeToConstructorMap schemaTypeToConstructorMap;
  return schemaTypeToConstructorMap;
}

std::unique_ptr<ZemTask> ZemTaskFactory::createTask(ZipArchive& archive, bool* transientFailure,
                                                    xmldoc::DocumentPtr<Types::TaskIndex>* indexRead) {
  const std::shared_ptr<ExtensionServices> services = getApp()->getExtensionServices().lock();
  Security::SecurityService* const security = services != nullptr ? services->getSecurityService() : nullptr;

  CtpTask::DescriptionPtr description =
      ConfigLoader::loadAndGet<Types::TaskDescription, Types::ElementType::TASK_REQUEST>(archive, security,
                                                                                         transientFailure, indexRead);
  if (description == nullptr) return nullptr;

  const std::string typeName = Types::localTypeName(description->typeName());
  const SchemaTypeToConstructorMap& registry = getMap();
  const auto creator = registry.find(typeName);
  if (creator == registry.end()) {
    ZEM_DEBUG("No task kind is registered for " << typeName);
    return nullptr;
  }

  std::unique_ptr<ZemTask> task = creator->second(archive, std::move(description));
  if (task != nullptr) {
    task->setExtensionServices(services);
    task->setBackendAdapterCommunicator(getApp()->getIpcCommunicator().lock());
  }
  return task;
}

}  // namespace Tasks
