#include "tasks/DatabaseDocument.h"

#include "database/Database.h"

const DocumentTexts DatabaseDocument::kTexts = {"Start installation of a ZEM database",
                                                "Database is already installed at: ",
                                                "Allowing override of database.",
                                                "Override of ZEM database not allowed",
                                                "Invalid ZEM database in Task Container!",
                                                "Database loaded",
                                                "Unable to write the ZEM database to: ",
                                                "Start resetting ZEM database",
                                                "ZEM database removed",
                                                "Unable to delete ZEM database at: ",
                                                "ZEM database does not exists at: ",
                                                "Start requesting the current ZEM database"};

File DatabaseDocument::installedFile() {
  return File(File(DevicePaths::storeFolder()), DevicePaths::kDatabaseFileName);
}

void DatabaseDocument::reload() { Database::getInstance()->reset(); }
