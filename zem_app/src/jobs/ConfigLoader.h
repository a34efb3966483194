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
  // type among the first kMaxCandidates entries of that type. The index is read as readIndex() reads
  // it; each candidate entry goes through the security service's decryptor and a signature
  // validator for the signing slot (`security` may be null: nothing is decrypted or checked). A
  // candidate that fails to extract, verify or parse is logged at ERROR and skipped. With
  // `transientFailure`, it is set when a failure met on the way says nothing about the container
  // (ZipException::isTransient): the same search may succeed later. With `indexRead`, it receives
  // the index that was searched (null when none could be read), so that a caller needing it again
  // does not extract it a second time.
  // Throws XSDEnumException ("Unable to parse the enum value " + text) when an entry's type text,
  // met before a usable candidate, is not an ElementType name.
  template <class Document, ElementType::Enum entryTypeToFind>
  static xmldoc::DocumentPtr<Document> loadAndGet(
      const ZipArchive& archive, Security::SecurityService* security, bool* transientFailure = nullptr,
      xmldoc::DocumentPtr<Sarnet_Configuration::Types::TaskIndex>* indexRead = nullptr) {
    auto index = readIndex(archive, transientFailure);
    if (index == nullptr) return nullptr;
    const Sarnet_Configuration::Types::TaskIndex& searched = *index;
    if (indexRead != nullptr) *indexRead = std::move(index);
    return findIn<Document, entryTypeToFind>(archive, searched, security, transientFailure);
  }

  // The container's "index.xml", read without decryption or signature check and validated against
  // the schema; null (logged at ERROR) when it cannot be read. `transientFailure` as in loadAndGet.
  static xmldoc::DocumentPtr<Sarnet_Configuration::Types::TaskIndex> readIndex(const ZipArchive& archive,
                                                                               bool* transientFailure = nullptr) {
    return extractLogged<Sarnet_Configuration::Types::TaskIndex>(
        archive, DevicePaths::kIndexFileName, ZipArchive::nonDecryptor(), ZipArchive::nonValidator(), transientFailure);
  }

  // The first entry type text of `index` that is not an ElementType name; "" when every type is
  // known.
  static std::string firstUnknownEntryType(const Sarnet_Configuration::Types::TaskIndex& index) {
    for (const auto& entry : index.elements_taskIndexEntry()) {
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

 private:
  // The search of loadAndGet over an index already read from `archive`.
  template <class Document, ElementType::Enum entryTypeToFind>
  static xmldoc::DocumentPtr<Document> findIn(const ZipArchive& archive,
                                              const Sarnet_Configuration::Types::TaskIndex& index,
                                              Security::SecurityService* security, bool* transientFailure) {
    size_t tried = 0;
    for (const auto& entry : index.elements_taskIndexEntry()) {
      if (ElementType::parse(entry->get_type()) != entryTypeToFind) continue;
      if (tried++ == kMaxCandidates) {
        ZEM_ERROR("The index names more than " << kMaxCandidates
                                               << " entries of the wanted type: the rest are ignored");
        break;
      }
      ZEM_TRACE("Found job definition: " << entry->get_file());
      auto document = extractLogged<Document>(
          archive, entry->get_file(), CtpTask::getFileDecryptor(security),
          CtpTask::getSignatureValidator(*entry, security, Security::SecurityService::kSigningKeyNumber),
          transientFailure);
      if (document != nullptr) return document;
    }
    return nullptr;
  }

  // The entry `entryName` of `archive` as a Document, or null when it cannot be extracted, verified
  // or parsed (logged at ERROR; `transientFailure` as in loadAndGet).
  template <class Document>
  static xmldoc::DocumentPtr<Document> extractLogged(const ZipArchive& archive, const std::string& entryName,
                                                     const Security::FileDecryptor& decryptor,
                                                     const Security::SignatureValidator& validator,
                                                     bool* transientFailure) {
    try {
      return archive.extractXML<Document>(entryName, decryptor, validator, false);
    } catch (const ZipException& e) {
      ZEM_ERROR(e.what());
      if (transientFailure != nullptr && e.isTransient()) *transientFailure = true;
    } catch (const Security::SecurityException& e) {
      ZEM_ERROR(e.what());
    }
    return nullptr;
  }
};
