#include "tasks/DatabaseDocument.h"

#include "database/Database.h"
#include "jobs/TaskTypeRegistration.h"

template class DocumentTask<DatabaseDocument, DocumentOperation::kInstall>;
template class DocumentTask<DatabaseDocument, DocumentOperation::kRemove>;
template class DocumentTask<DatabaseDocument, DocumentOperation::kRequest>;

namespace {

const TaskTypeRegistration<InstallDatabase> installRegistration("InstallZemDatabaseTaskDescription");
const TaskTypeRegistration<ResetDatabase> resetRegistration("ResetZemDatabaseTaskDescription");
const TaskTypeRegistration<RequestDatabase> requestRegistration("RequestZemDatabaseTaskDescription");

}  // namespace

File DatabaseDocument::folder() { return File(DevicePaths::storeFolder()); }

const char* DatabaseDocument::fileName() { return DevicePaths::kDatabaseFileName; }

void DatabaseDocument::reload() { Database::getInstance()->reset(); }
