// Finds a document of a given index entry type in a task container: the first entry of that type
// (in "index.xml" order) that extracts, decrypts, verifies and parses wins.
// Thread safety: stateless; as thread-safe as the archive handle it is given.
#pragma once

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/security/SecurityException.h"
#include "kest/security/SecurityService.h"
#include "kest/task/CtpTask.h"
#include "kest/zip/ZipArchive.h"
#include "kest/zip/ZipException.h"
#include "kolconfig/Types.h"
#include "kolconfig/XSDEnumException.h"
#include "kolconfig/XmlDoc.h"

class ConfigLoader {
 public:
  using ElementType = Sarnet_Configuration::Types::ElementType;
  // Candidates tried per search: an index that names one costly entry thousands of times would
  // otherwise hold the task queue for minutes.
  static constexpr size_t kMaxCandidates = 4;

  // Returns the first document of type Document named by an index entry of type `entryType`, owned
  // by the caller, or null when the container has no readable index or no usable entry of that
  // type among the first kMaxCandidates entries of that type. The index is read without decryption or signature check;
  // each candidate entry goes through the security service's decryptor and a signature validator for the signing slot
  // (`security` may be null: nothing is decrypted or checked). A candidate that fails to extract,
  // verify or parse is logged at ERROR and skipped. A failure to read the index is logged at ERROR
  // and yields null. With `transientFailure`, it is set when a failure met on the way says nothing
  // about the container (ZipException::isTransient): the same search may succeed later.
  // Throws XSDEnumException ("Unable to parse the enum value " + text) when an entry's type text,
  // met before a usable candidate, is not an ElementType name.
  template <class Document, ElementType::Enum entryTypeToFind>
  static xmldoc::DocumentPtr<Document> loadAndGet(const ZipArchive& archive, Security::SecurityService* security,
                                                  bool* transientFailure = nullptr) {
    namespace Types = Sarnet_Configuration::Types;
    xmldoc::DocumentPtr<Types::TaskIndex> index;
    try {
      index = archive.extractXML<Types::TaskIndex>(DevicePaths::kIndexFileName, ZipArchive::nonDecryptor(),
                                                   ZipArchive::nonValidator(), false);
    } catch (const ZipException& e) {
      ZEM_ERROR(e.what());
      if (transientFailure != nullptr && e.isTransient()) *transientFailure = true;
      return nullptr;
    } catch (const Security::SecurityException& e) {
      ZEM_ERROR(e.what());
      return nullptr;
    }
    if (index == nullptr) return nullptr;

    size_t tried = 0;
    for (const auto& entry : index->elements_taskIndexEntry()) {
      if (ElementType::parse(entry->get_type()) != entryTypeToFind) continue;
      if (tried++ == kMaxCandidates) {
        ZEM_ERROR("The index names more than " << kMaxCandidates
                                               << " entries of the wanted type: the rest are ignored");
        break;
      }
      ZEM_TRACE("Found job definition: " << entry->get_file());
      try {
        auto document = archive.extractXML<Document>(
            entry->get_file(), CtpTask::getFileDecryptor(security),
            CtpTask::getSignatureValidator(*entry, security, Security::SecurityService::kSigningKeyNumber), false);
        if (document != nullptr) return document;
      } catch (const ZipException& e) {
        ZEM_ERROR(e.what());
        if (transientFailure != nullptr && e.isTransient()) *transientFailure = true;
      } catch (const Security::SecurityException& e) {
        ZEM_ERROR(e.what());
      }
    }
    return nullptr;
  }

  // The first entry type text of the container's index that is not an ElementType name; "" when
  // every type is known. The index is read as loadAndGet reads it. Throws ZipException or
  // SecurityException when the index cannot be read.
  static std::string firstUnknownEntryType(const ZipArchive& archive) {
    namespace Types = Sarnet_Configuration::Types;
    const auto index = archive.extractXML<Types::TaskIndex>(DevicePaths::kIndexFileName, ZipArchive::nonDecryptor(),
                                                            ZipArchive::nonValidator(), false);
    if (index == nullptr) return std::string();
    for (const auto& entry : index->elements_taskIndexEntry()) {
      try {
        ElementType::parse(entry->get_type());
      } catch (const XSDEnumException&) {
        return entry->get_type();
      }
    }
    return std::string();
  }

  // True when the container's TASK_REQUEST description is a Description whose forceOverride is
  // true; false when there is none, it is of another type, or the index names an unknown entry type
  // (logged at ERROR).
  template <class Description>
  static bool forcesOverride(const ZipArchive& archive, Security::SecurityService* security) {
    namespace Types = Sarnet_Configuration::Types;
    xmldoc::DocumentPtr<Types::ZemTaskDescription> description;
    try {
      description = loadAndGet<Types::ZemTaskDescription, ElementType::TASK_REQUEST>(archive, security);
    } catch (const XSDEnumException& e) {
      ZEM_ERROR(e.what());
    }
    const auto* typed = dynamic_cast<const Description*>(description.get());
    return typed != nullptr && typed->get_forceOverride();
  }
};
