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

struct DatabaseDocument {
  using Content = Sarnet_Configuration::Types::PersistedDatabase;
  static constexpr auto kEntryType = Sarnet_Configuration::Types::ElementType::ZEM_DATABASE;
  using InstallDescription = Sarnet_Configuration::Types::InstallZemDatabaseTaskDescription;
  using InstallResult = Sarnet_Configuration::Types::InstallZemDatabaseTaskResult;
  using RemoveResult = Sarnet_Configuration::Types::ResetZemDatabaseTaskResult;
  using RequestResult = Sarnet_Configuration::Types::RequestZemDatabaseTaskResult;

  static File folder();
  static const char* fileName();
  // Makes the store reload from the file; what an absent file yields is the store's business.
  static void reload();

  static constexpr const char* kInstallStart = "Start installation of a ZEM database";
  static constexpr const char* kAlreadyInstalled = "Database is already installed at: ";
  static constexpr const char* kOverrideAllowed = "Allowing override of database.";
  static constexpr const char* kOverrideRefused = "Override of ZEM database not allowed";
  static constexpr const char* kInvalid = "Invalid ZEM database in Task Container!";
  static constexpr const char* kLoaded = "Database loaded";
  static constexpr const char* kUnwritable = "Unable to write the ZEM database to: ";
  static constexpr const char* kRemoveStart = "Start resetting ZEM database";
  static constexpr const char* kRemoved = "ZEM database removed";
  static constexpr const char* kUndeletable = "Unable to delete ZEM database at: ";
  static constexpr const char* kMissing = "ZEM database does not exists at: ";
  static constexpr const char* kRequestStart = "Start requesting the current ZEM database";
};

using InstallDatabase = DocumentTask<DatabaseDocument, DocumentOperation::kInstall>;
using ResetDatabase = DocumentTask<DatabaseDocument, DocumentOperation::kRemove>;
using RequestDatabase = DocumentTask<DatabaseDocument, DocumentOperation::kRequest>;

// Instantiated once, in DatabaseDocument.cpp.
extern template class DocumentTask<DatabaseDocument, DocumentOperation::kInstall>;
extern template class DocumentTask<DatabaseDocument, DocumentOperation::kRemove>;
extern template class DocumentTask<DatabaseDocument, DocumentOperation::kRequest>;
