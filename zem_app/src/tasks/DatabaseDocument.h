// The persistent database as a document of the document tasks: "database.xml" in STORE, which the
// store loads. The task kinds over it:
// - InstallDatabase ("InstallZemDatabaseTaskDescription") installs the container's ZEM_DATABASE
//   document and makes the store reload it;
// - ResetDatabase ("ResetZemDatabaseTaskDescription") deletes the file and makes the store reload:
//   unlike a deleted configuration, the store then starts over from what an absent file yields
//   (its defaults), so this is a reset rather than a removal;
// - RequestDatabase ("RequestZemDatabaseTaskDescription") sends the file back, as it lies on disk,
//   in the result package.
// Thread safety: stateless; the tasks run on the queue's worker thread only.
#pragma once

#include "tasks/DocumentTask.h"

struct DatabaseDocument : DocumentTypes<Sarnet_Configuration::Types::PersistedDatabase,
                                        Sarnet_Configuration::Types::ElementType::ZEM_DATABASE,
                                        Sarnet_Configuration::Types::InstallZemDatabaseTaskDescription,
                                        Sarnet_Configuration::Types::InstallZemDatabaseTaskResult,
                                        Sarnet_Configuration::Types::ResetZemDatabaseTaskResult,
                                        Sarnet_Configuration::Types::RequestZemDatabaseTaskResult> {
  static File installedFile();
  // Makes the store reload from the file; what an absent file yields is the store's business.
  static void reload();
  static const DocumentTexts kTexts;
};

using InstallDatabase = DocumentTask<DatabaseDocument, DocumentOperation::kInstall>;
using ResetDatabase = DocumentTask<DatabaseDocument, DocumentOperation::kRemove>;
using RequestDatabase = DocumentTask<DatabaseDocument, DocumentOperation::kRequest>;
