// A settings document of schema type XML, stored in one file and loaded under a crash guard.
// Thread safety: every method may be called from any thread. documentMutex_ guards document_ (the
// pointer and the document's content) and is held only for a field access or one serialisation,
// never across file I/O, so reads stay cheap while a save is written. saveMutex_ guards the save
// bookkeeping; loadMutex_ serialises loads. Lock order: loadMutex_, then saveMutex_ (only inside
// save()), then documentMutex_; no lock is held while calling out to code of the caller except
// documentMutex_ inside read() and update().
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "kest/Export.h"
#include "kest/File.h"
#include "kolconfig/XmlDoc.h"

template <class XML>
class KEST_EXPORT ApplicationSettings {
 public:
  ApplicationSettings(std::string name, File file) : name_(std::move(name)), file_(std::move(file)) {}
  virtual ~ApplicationSettings() = default;
  ApplicationSettings(const ApplicationSettings&) = delete;
  ApplicationSettings& operator=(const ApplicationSettings&) = delete;

  // Loads the document from the file. A missing or malformed file yields a new document filled
  // by setDefaults() and written back. A crash detected by the guard during an earlier load
  // removes the file (recoverable) or leaves it (unrecoverable) and keeps the current document.
  // Never throws the XML library's or the crash guard's exceptions.
  void load();
  // load() unless a document is loaded already; concurrent callers load once.
  void ensureLoaded();
  // Writes the document durably. Returns true when a write that holds every change made before
  // this call succeeded; false (logged) otherwise, or when no document is loaded. Concurrent
  // callers share writes: a call that arrives while a write runs waits for it and then joins the
  // next one, so a burst of changes costs one or two writes, and the last value always reaches
  // the file.
  bool save();

  // Calls `reader` with the document (nullptr before load()) under documentMutex_ and returns
  // what it returns. `reader` must not call back into these settings.
  template <class Reader>
  auto read(Reader&& reader) const {
    const std::lock_guard<std::mutex> lock(documentMutex_);
    return reader(static_cast<const XML*>(document_.get()));
  }
  // As read(), with write access to the document. Call save() afterwards to persist the change.
  template <class Writer>
  auto update(Writer&& writer) {
    const std::lock_guard<std::mutex> lock(documentMutex_);
    return writer(document_.get());
  }

  bool isLoaded() const {
    const std::lock_guard<std::mutex> lock(documentMutex_);
    return document_ != nullptr;
  }
  // The document, or nullptr before load(). Owned by the settings; replaced by a later load().
  // REQUIRES: no concurrent update() or load(); read() is the safe form.
  XML* getDocument() const {
    const std::lock_guard<std::mutex> lock(documentMutex_);
    return document_.get();
  }
  const std::string& getName() const { return name_; }
  const File& getFile() const { return file_; }

 protected:
  // Fills a freshly created empty document with the default values.
  virtual void setDefaults(XML& document) = 0;

 private:
  // load() with loadMutex_ held.
  void loadLocked();
  // Serialises the document under documentMutex_ and writes it durably without it. Logs failures.
  bool write();

  const std::string name_;
  const File file_;
  std::mutex loadMutex_;
  mutable std::mutex documentMutex_;
  xmldoc::DocumentPtr<XML> document_;  // guarded by documentMutex_
  std::mutex saveMutex_;
  std::condition_variable saved_;
  uint64_t requested_ = 0;    // save() calls so far; guarded by saveMutex_
  uint64_t written_ = 0;      // save() calls covered by a finished write; guarded by saveMutex_
  bool writing_ = false;      // a write runs; guarded by saveMutex_
  bool lastWriteOk_ = false;  // outcome of the last finished write; guarded by saveMutex_
};

#include "kest/ApplicationSettings.inl"
