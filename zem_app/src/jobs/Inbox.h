// The inbox of task containers: which paths name a container in it, the claims that let one
// container be processed by one request at a time, and its removal relative to the inbox folder.
// The claims are the application's task queue's (ZemTaskExecutionQueue owns its Inbox and shares it
// with the requests and tasks that hold a claim); the static functions only read the folder.
// Thread safety: all functions are thread-safe; claims_ is guarded by mutex_.
#pragma once

#include <mutex>
#include <set>
#include <string>

#include "kest/zip/ZipArchive.h"

class Inbox {
 public:
  // The file name of `path` when `path` names an entry directly inside the inbox folder: its
  // folder, taken literally (no "." or ".." component, no trailing '/'), is the inbox folder,
  // spelt absolutely or relative to the current folder. Returns "" for any other path.
  static std::string entryName(const std::string& path);
  // The absolute path of the inbox entry `name`.
  static std::string pathOf(const std::string& name);
  // True when `name` is a regular file in the inbox (a symbolic link is not followed).
  static bool isRegularFile(const std::string& name);
  // Removes the entry `name` relative to the inbox folder (a link is removed, not its target).
  // With `opened`, only while the entry is still the file that archive opened: a container put in
  // its place meanwhile stays for its own announcement. Returns true when the opened file is gone.
  static bool remove(const std::string& name, const ZipArchive* opened = nullptr);
  // `path` for a log line: at most kMaxLoggedPath characters ("..." marks a cut); the logger
  // escapes control characters.
  static std::string forLog(const std::string& path);
  static constexpr size_t kMaxLoggedPath = 512;

  // Claims the container `name` for processing. Returns false when it is already claimed (queued
  // or running); the caller then leaves it alone.
  bool claim(const std::string& name);
  // Ends the claim on `name` (no effect when it is not claimed).
  void release(const std::string& name);
  bool isClaimed(const std::string& name) const;

 private:
  mutable std::mutex mutex_;
  std::set<std::string> claims_;  // guarded by mutex_
};
