// The three task kinds over one document the unit keeps as a single file (install it from the
// container, remove it, send it back), written once for every document a trait describes
// (ProvisioningConfigDocument, DatabaseDocument).
// Thread safety: run by the queue's worker thread only.
#pragma once

#include <type_traits>

#include "jobs/ConfigLoader.h"
#include "jobs/DiskSpaceChecker.h"
#include "jobs/TaskTypeRegistration.h"
#include "jobs/ZemTask.h"

enum class DocumentOperation { kInstall, kRemove, kRequest };

// The log texts of the tasks over one document, in this order.
struct DocumentTexts {
  const char* installStart;
  const char* alreadyInstalled;  // followed by the installed file's path
  const char* overrideAllowed;
  const char* overrideRefused;
  const char* invalid;     // the container holds no usable document
  const char* loaded;      // the container's document parsed
  const char* unwritable;  // followed by the installed file's path
  const char* removeStart;
  const char* removed;
  const char* undeletable;  // followed by the installed file's path
  const char* missing;      // followed by the installed file's path
  const char* requestStart;
};

// The schema types of one document, as a Document trait names them (see DocumentTask).
template <class ContentType, Sarnet_Configuration::Types::ElementType::Enum entryType, class InstallDescriptionType,
          class InstallResultType, class RemoveResultType, class RequestResultType>
struct DocumentTypes {
  using Content = ContentType;
  static constexpr auto kEntryType = entryType;
  using InstallDescription = InstallDescriptionType;
  using InstallResult = InstallResultType;
  using RemoveResult = RemoveResultType;
  using RequestResult = RequestResultType;
};

// A Document trait derives from DocumentTypes (`Content`, the schema type of the document, and
// `kEntryType`, its index entry type; `InstallDescription`, whose forceOverride allows replacing an
// installed document; the result types) and names:
// - `installedFile()`, where the installed document lies;
// - `reload()`, which makes the application take up the file as it now is (or its absence); it
//   may throw XPlus::Exception;
// - `kTexts`, its log texts.
template <class Document, DocumentOperation kOperation>
class DocumentTask : public ZemTask {
 public:
  DocumentTask(const ZipArchive& archive, DescriptionPtr description) : ZemTask(archive, std::move(description)) {}
  ~DocumentTask() override = default;

  // Runs the operation (see install, remove, request), reports the result, deletes the container
  // and returns the success flag. Does not throw for any of the outcomes below.
  bool execute() override;
  // A request first copies the installed document into `folder` under its file name (skipped when
  // there is none); every operation then writes "result.xml" of its result type.
  void createTaskResults(const File& folder, bool success) override;

  // True when the container's description is a Document::InstallDescription whose forceOverride is
  // true.
  bool allowOverride(const ZipArchive& container) const;

 private:
  using Result =
      std::conditional_t<kOperation == DocumentOperation::kInstall, typename Document::InstallResult,
                         std::conditional_t<kOperation == DocumentOperation::kRemove, typename Document::RemoveResult,
                                            typename Document::RequestResult>>;

  // Installs the container's document unless one is installed and the description does not allow
  // replacing it, or the data folder lacks room for the container. A failed install leaves the
  // installed file and what the application made of it untouched (the file is replaced durably in
  // one rename, or not at all).
  bool install();
  // Writes the container's document over the installed file and reloads; false when the container
  // holds no usable document or it cannot be written.
  bool writeContainerDocument(const File& file);
  // Deletes the installed file when the data folder has room for the container and the file
  // exists, then reloads.
  bool remove();
  // True when the document is installed (createTaskResults sends it).
  bool request();
};

template <class Document, DocumentOperation kOperation>
bool DocumentTask<Document, kOperation>::execute() {
  bool success = false;
  if constexpr (kOperation == DocumentOperation::kInstall) {
    success = install();
  } else if constexpr (kOperation == DocumentOperation::kRemove) {
    success = remove();
  } else {
    success = request();
  }
  return finish(success);
}

template <class Document, DocumentOperation kOperation>
void DocumentTask<Document, kOperation>::createTaskResults(const File& folder, bool success) {
  if constexpr (kOperation == DocumentOperation::kRequest) {
    // Attempted whatever the outcome; a missing document simply leaves no copy. The installed file
    // is only ever replaced by rename, so the file held open (or, for a package whose entries are
    // encrypted or signed from files, a snapshot: a link where possible) is a true copy of the file
    // as it was, and the result folder is only read.
    const File installed = Document::installedFile();
    if (!holdResultSnapshot(folder, installed.getName(), installed)) {
      installed.snapshotTo(File(folder, installed.getName()));
    }
  }
  ZemTask::createTaskResults<Result>(folder, success);
}

template <class Document, DocumentOperation kOperation>
bool DocumentTask<Document, kOperation>::allowOverride(const ZipArchive& container) const {
  const bool allowed =
      ConfigLoader::forcesOverride<typename Document::InstallDescription>(container, getSecurityService());
  if (allowed) {
    ZEM_DEBUG(Document::kTexts.overrideAllowed);
  } else {
    ZEM_DEBUG(Document::kTexts.overrideRefused);
  }
  return allowed;
}

template <class Document, DocumentOperation kOperation>
bool DocumentTask<Document, kOperation>::install() {
  ZEM_INFO(Document::kTexts.installStart);
  const File file = Document::installedFile();
  bool allowed = true;
  if (file.exists()) {
    allowed = allowOverride(archive);
    if (!allowed) ZEM_ERROR(Document::kTexts.alreadyInstalled << file.getAbsolutePath() << " Remove it first! ");
  }
  // Evaluated also when the install is refused: the check logs what the container would need.
  const bool space = DiskSpaceChecker::sufficientDiskSpaceAvailable(getContainerSize());
  return allowed && space && writeContainerDocument(file);
}

template <class Document, DocumentOperation kOperation>
bool DocumentTask<Document, kOperation>::writeContainerDocument(const File& file) {
  xmldoc::DocumentPtr<typename Document::Content> content;
  try {
    content = ConfigLoader::loadAndGet<typename Document::Content, Document::kEntryType>(archive, getSecurityService());
  } catch (const XSDEnumException& e) {  // an index entry of an unknown type: no usable document
    ZEM_ERROR(e.what());
  }
  if (content == nullptr) {
    ZEM_ERROR(Document::kTexts.invalid);
    return false;
  }
  ZEM_DEBUG(Document::kTexts.loaded);
  try {
    file.getParentFile().mkdirs();
    xmldoc::saveFile(*content, file.getPath());
    Document::reload();
    return true;
  } catch (const XPlus::Exception& e) {
    ZEM_ERROR(Document::kTexts.unwritable << file.getAbsolutePath());
    ZEM_ERROR(e.what());
    return false;
  }
}

template <class Document, DocumentOperation kOperation>
bool DocumentTask<Document, kOperation>::remove() {
  ZEM_INFO(Document::kTexts.removeStart);
  const File file = Document::installedFile();
  if (!DiskSpaceChecker::sufficientDiskSpaceAvailable(getContainerSize())) return false;
  if (!file.exists()) {
    ZEM_ERROR(Document::kTexts.missing << file.getAbsolutePath());
    return false;
  }
  if (!file.remove()) {
    ZEM_ERROR(Document::kTexts.undeletable << file.getAbsolutePath());
    return false;
  }
  ZEM_INFO(Document::kTexts.removed);
  Document::reload();
  return true;
}

template <class Document, DocumentOperation kOperation>
bool DocumentTask<Document, kOperation>::request() {
  ZEM_INFO(Document::kTexts.requestStart);
  const File file = Document::installedFile();
  if (file.exists()) return true;
  ZEM_ERROR(Document::kTexts.missing << file.getAbsolutePath());
  return false;
}

// Registers the three kinds over Document under their description type names; one static object
// per document, in the trait's source file.
template <class Document>
class DocumentTaskRegistration {
 public:
  DocumentTaskRegistration(const std::string& installType, const std::string& removeType,
                           const std::string& requestType) {
    const TaskTypeRegistration<DocumentTask<Document, DocumentOperation::kInstall>> install(installType);
    const TaskTypeRegistration<DocumentTask<Document, DocumentOperation::kRemove>> remove(removeType);
    const TaskTypeRegistration<DocumentTask<Document, DocumentOperation::kRequest>> request(requestType);
  }
};
