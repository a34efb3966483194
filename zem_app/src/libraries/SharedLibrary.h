// A shared library opened with lazy binding for the life of the object, and the lookup of its
// exported symbols. Only libraries inside the unit's library folders are ever opened.
// Thread safety: immutable after construction; symbol() may be called from any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>

class SharedLibrary {
 public:
  // Longest library name, in bytes, that is looked up at all.
  static constexpr size_t kMaxNameBytes = 4096;

  // The real path (every link resolved) of the library `name` when the unit may load it: an
  // absolute `name` whose real path lies inside one of TrustBoundaries::libraryFolders(); any other
  // `name` (a bare file name, or a relative path) is looked up in those folders in order and taken
  // when the real path of "<folder>/<name>" lies inside one of them. Never consults the loader's
  // search path. nullopt for a name that is empty, over kMaxNameBytes, holds a NUL byte, does not
  // exist, or resolves outside every library folder (a link or ".." that leads out).
  static std::optional<std::string> trustedPath(const std::string& name);

  // Opens the real path trustedPath(name) gives with RTLD_LAZY, so a link changed after the check
  // cannot redirect the load. A name it refuses is never handed to the loader: ERROR
  // "Library refused, not in a library folder: " + name. A library the loader cannot open logs
  // ERROR "Impossible to load library " + name. Either way the handle stays null; nothing is
  // thrown. Names in log lines are escaped and cut to 512 bytes.
  explicit SharedLibrary(std::string name);
  // Closes a non-null handle; a failing close logs ERROR "Impossible to close library".
  virtual ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  // The name as configured (not the resolved path).
  const std::string& getName() const { return name_; }
  bool isLoaded() const { return handle_ != nullptr; }
  // The address of the symbol `symbolName` that this library itself exports; null when the
  // library is not loaded or does not define it (a symbol of one of its dependencies does not
  // count). The address stays valid while this object lives.
  void* symbol(const std::string& symbolName) const;

 protected:
  // For a derived destructor that must call into the library before it is closed.
  void closeNow() { handle_.reset(); }

 private:
  struct Closer {
    void operator()(void* handle) const;
  };

  // The handle of the library `name` refers to, or null after the ERROR line.
  static void* open(const std::string& name);

  const std::string name_;
  std::unique_ptr<void, Closer> handle_;
};
