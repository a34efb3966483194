// The document task kinds, registered under their description type names.
#include "tasks/DatabaseDocument.h"
#include "tasks/ProvisioningConfigDocument.h"

namespace {

const DocumentTaskRegistration<ProvisioningConfigDocument> provisioningConfig(
    "InstallProvisioningConfigTaskDescription", "DeleteProvisioningConfigTaskDescription",
    "RequestProvisioningConfigTaskDescription");
const DocumentTaskRegistration<DatabaseDocument> database("InstallZemDatabaseTaskDescription",
                                                          "ResetZemDatabaseTaskDescription",
                                                          "RequestZemDatabaseTaskDescription");

}  // namespace
