// Implementation of ApplicationSettings<XML>; included by ApplicationSettings.h only.
#pragma once

#include <cerrno>
#include <cstring>

#include "kest/ApplicationLogger.h"
#include "kest/CrashGuard.h"

template <class XML>
void ApplicationSettings<XML>::load() {
  const std::lock_guard<std::mutex> loadLock(loadMutex_);
  loadLocked();
}

template <class XML>
void ApplicationSettings<XML>::ensureLoaded() {
  const std::lock_guard<std::mutex> loadLock(loadMutex_);
  if (!isLoaded()) loadLocked();
}

template <class XML>
void ApplicationSettings<XML>::loadLocked() {
  try {
    // Alive until load() returns: a process that dies while parsing leaves the load marked as begun.
    const CrashGuard guard(name_, "settings", 5, 10);
    try {
      auto parsed = xmldoc::parseFile<XML>(file_.getAbsolutePath());
      const std::lock_guard<std::mutex> lock(documentMutex_);
      document_ = std::move(parsed);
      return;
    } catch (const XPlus::Exception& e) {
      ZEM_WARN("Cannot load " << name_ << " global configuration, using default settings");
      ZEM_WARN(e.what());
    }
    try {
      auto created = xmldoc::createDocument<XML>();
      setDefaults(*created);
      {
        const std::lock_guard<std::mutex> lock(documentMutex_);
        document_ = std::move(created);
      }
      save();
    } catch (const XPlus::Exception& e) {
      ZEM_WARN("Cannot set " << name_ << " global configuration");
      ZEM_WARN(e.what());
    }
  } catch (const CrashDetectedException& e) {
    ZEM_ERROR("A crash has been detected when loading " << name_ << " global settings");
    ZEM_ERROR(e.what());
    // Start from the defaults next time: the file is the likely cause of the crash.
    file_.remove();
  } catch (const UnrecoverableCrashDetectedException& e) {
    ZEM_ERROR("A crash has been detected when loading " << name_ << " global settings");
    ZEM_ERROR(e.what());
  }
}

template <class XML>
bool ApplicationSettings<XML>::save() {
  std::unique_lock<std::mutex> lock(saveMutex_);
  const uint64_t mine = ++requested_;
  saved_.wait(lock, [&] { return written_ >= mine || !writing_; });
  if (written_ >= mine) return lastWriteOk_;
  // This call writes for itself and for every call that arrived before it, all of whose changes
  // are in the document by now.
  writing_ = true;
  const uint64_t covers = requested_;
  lock.unlock();
  const bool ok = write();
  lock.lock();
  writing_ = false;
  written_ = covers;
  lastWriteOk_ = ok;
  saved_.notify_all();
  return ok;
}

template <class XML>
bool ApplicationSettings<XML>::write() {
  std::string text;
  try {
    const std::lock_guard<std::mutex> lock(documentMutex_);
    if (!document_) {
      ZEM_WARN("Cannot write " << name_ << " global configuration");
      ZEM_WARN("no document is loaded");
      return false;
    }
    text = xmldoc::toString(*document_);
  } catch (const XPlus::Exception& e) {
    ZEM_WARN("Cannot write " << name_ << " global configuration");
    ZEM_WARN(e.what());
    return false;
  }
  // A fresh device may not have the folder yet; a failure shows up as the write's own error.
  const File target(file_.getAbsolutePath());
  const File folder = target.getParentFile();
  if (!folder.getPath().empty()) folder.mkdirs();
  errno = 0;
  if (!target.writeAtomically(text)) {
    const int error = errno;
    ZEM_WARN("Cannot write " << name_ << " global configuration");
    ZEM_WARN("IO error: cannot replace " << target.getPath() << (error != 0 ? ": " : "")
                                         << (error != 0 ? std::strerror(error) : ""));
    return false;
  }
  return true;
}
