#include "tasks/ProvisioningConfigDocument.h"

#include "app/ZemApp.h"
#include "jobs/TaskTypeRegistration.h"

template class DocumentTask<ProvisioningConfigDocument, DocumentOperation::kInstall>;
template class DocumentTask<ProvisioningConfigDocument, DocumentOperation::kRemove>;
template class DocumentTask<ProvisioningConfigDocument, DocumentOperation::kRequest>;

namespace {

const TaskTypeRegistration<InstallProvisioningConfig> installRegistration("InstallProvisioningConfigTaskDescription");
const TaskTypeRegistration<DeleteProvisioningConfig> deleteRegistration("DeleteProvisioningConfigTaskDescription");
const TaskTypeRegistration<RequestProvisioningConfig> requestRegistration("RequestProvisioningConfigTaskDescription");

}  // namespace

File ProvisioningConfigDocument::folder() { return File(DevicePaths::installedConfigFolder()); }

const char* ProvisioningConfigDocument::fileName() { return DevicePaths::kConfigFileName; }

void ProvisioningConfigDocument::reload() { getApp()->reloadProvisioningAdapterMap(); }
