// A shared library opened with lazy binding for the life of the object, and the lookup of its
// exported symbols. Thread safety: immutable after construction; symbol() may be called from any
// thread.
#pragma once

#include <memory>
#include <string>

class SharedLibrary {
 public:
  // Opens `name` (handed to the loader unchanged) with RTLD_LAZY. On failure logs ERROR
  // "Impossible to load library " + name and keeps a null handle; nothing is thrown.
  explicit SharedLibrary(std::string name);
  // Closes a non-null handle; a failing close logs ERROR "Impossible to close library".
  virtual ~SharedLibrary();
  SharedLibrary(const SharedLibrary&) = delete;
  SharedLibrary& operator=(const SharedLibrary&) = delete;

  const std::string& getName() const { return name_; }
  bool isLoaded() const { return handle_ != nullptr; }
  // The address of the exported symbol `symbolName`; null when the library is not loaded or does
  // not export it. The address stays valid while this object lives.
  void* symbol(const std::string& symbolName) const;

 protected:
  // For a derived destructor that must call into the library before it is closed.
  void closeNow() { handle_.reset(); }

 private:
  struct Closer {
    void operator()(void* handle) const;
  };

  const std::string name_;
  std::unique_ptr<void, Closer> handle_;
};
