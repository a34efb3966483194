// A simulated power cut through the durable writer's table (xmldoc::FileIo): a replacement table
// that performs the real calls, records what a real disk would keep, and at a chosen step stops
// executing calls and rewrites the watched folders to what survives the cut.
// Thread safety: none. One instance at a time (the table is process-wide); the workload under it
// runs on the calling thread.
//
// The model, per watched folder (flat folders of regular files):
// - Content: a file's bytes become durable when fsync runs on a descriptor of it. Bytes written
//   after that, or a file never flushed, are volatile: at the cut such a file keeps a random
//   prefix shorter than its content (possibly empty), i.e. it is torn.
// - Entries: every call of the table that changes a folder (a temporary file made, a rename)
//   appends the folder's listing to that folder's journal; fsync of the folder makes the latest
//   listing durable and empties the journal. The file system may have committed any prefix of the
//   journal on its own, so at the cut the folder shows the last durable listing or one of the
//   journal's listings, drawn at random. Entries changed outside the table (a zip library's own
//   temporary file) enter the journal with the next listing taken.
// - The cut: the table's call number `cutStep` (counted from 1) and every later call fail with
//   EIO without running (close still releases the descriptor), so the operation in flight ends
//   as it would when the machine stops; applyCut() then lays the surviving state on disk.
// The real fsync is not called: durability is what the model records, not what the disk does.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "kolconfig/FileIo.h"

class PowerCutFileSystem {
 public:
  // Test-only faults of the simulated writer, to show that the checks catch a real ordering error.
  enum class Fault {
    kNone,
    // A file's fsync takes effect only after the next rename: the writer renames before flushing.
    kFsyncAfterRename,
  };

  // Takes the current state of `folders` (absolute paths) as durable and installs the table.
  // `cutStep` 0: never cut (counts steps). `seed` drives the random choices of applyCut().
  PowerCutFileSystem(std::vector<std::string> folders, uint64_t cutStep, uint64_t seed, Fault fault = Fault::kNone);
  // Restores the table that was installed before.
  ~PowerCutFileSystem();
  PowerCutFileSystem(const PowerCutFileSystem&) = delete;
  PowerCutFileSystem& operator=(const PowerCutFileSystem&) = delete;

  // Whether the cut step was reached: every call from then on failed.
  bool cut() const { return cut_; }
  // Calls of the table made so far (the cut call included).
  uint64_t steps() const { return steps_; }

  // Stops the table (as at the cut, if it had not come) and rewrites every watched folder to its
  // surviving state: the entries of the chosen listing, each with its durable content or torn.
  // Returns false with `error` set when the folders cannot be rewritten.
  // REQUIRES: the workload has returned; called at most once.
  bool applyCut(std::string* error);

 private:
  // A file's identity and version: content recorded under a key is valid only while the file's
  // inode, modification time and size are the same.
  using Key = std::tuple<dev_t, ino_t, int64_t, int64_t, off_t>;
  using Listing = std::map<std::string, Key>;  // regular files of a folder by name
  struct Folder {
    std::string path;
    Listing durable;               // what the last folder fsync (or the start) made durable
    std::vector<Listing> journal;  // listings since then, oldest first
  };

  static int makeTemp(char* pathTemplate);
  static int setMode(int fd, mode_t mode);
  static ssize_t write(int fd, const void* data, size_t n);
  static int fsync(int fd);
  static int closeFile(int fd);
  static int rename(const char* from, const char* to);
  static int openDirectory(const char* path);

  static Key keyOf(const struct stat& st);
  // The regular files of `folder` by name; with `contents`, also records what each holds.
  static Listing scan(const std::string& folder, std::map<Key, std::string>* contents);
  // Counts a call; false (errno EIO) when the machine is off from this call on.
  bool step();
  // Appends the current listing of the watched folder holding `path`, if any.
  void journalFolderOf(const std::string& path);
  Folder* watched(const std::string& folderPath);
  // Records the durable content of the file open as `fd`, or the durable listing of a folder.
  void flush(int fd);

  static PowerCutFileSystem* active_;

  const xmldoc::FileIo saved_;
  const uint64_t cutStep_;
  const Fault fault_;
  std::mt19937_64 random_;
  std::vector<Folder> folders_;
  std::map<Key, std::string> durableContent_;
  // kFsyncAfterRename: flushes held back until the next rename.
  std::vector<std::pair<Key, std::string>> heldFlushes_;
  uint64_t steps_ = 0;
  bool cut_ = false;
};
