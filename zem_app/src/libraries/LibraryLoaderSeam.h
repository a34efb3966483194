// The dynamic-loader and libffi functions the shared-library code calls, behind one replaceable
// table, so tests can force a failing dlclose or ffi_prep_cif without a build of their own.
// Thread safety: current() may be called from any thread; replace the table only while no library
// is being opened, called or closed (tests do it at the start of a case).
#pragma once

#include <ffi.h>

struct LibraryLoaderSeam {
  void* (*open)(const char* file, int mode);
  void* (*symbol)(void* handle, const char* name);
  int (*close)(void* handle);
  ffi_status (*prepareCall)(ffi_cif* cif, ffi_abi abi, unsigned int argumentCount, ffi_type* returnType,
                            ffi_type** argumentTypes);
  void (*call)(ffi_cif* cif, void (*function)(), void* returnValue, void** argumentValues);

  // The table in use: the platform's dlopen, dlsym, dlclose, ffi_prep_cif and ffi_call unless a
  // ScopedLibraryLoaderSeam replaced it. Never null.
  static const LibraryLoaderSeam& current();
  // The platform's functions.
  static const LibraryLoaderSeam& platform();
};

// While it lives, LibraryLoaderSeam::current() is `replacement` (copied); the destructor restores
// the table that was in use before. Scopes nest; destroy them in reverse order of creation.
class ScopedLibraryLoaderSeam {
 public:
  explicit ScopedLibraryLoaderSeam(const LibraryLoaderSeam& replacement);
  ~ScopedLibraryLoaderSeam();
  ScopedLibraryLoaderSeam(const ScopedLibraryLoaderSeam&) = delete;
  ScopedLibraryLoaderSeam& operator=(const ScopedLibraryLoaderSeam&) = delete;

 private:
  LibraryLoaderSeam replacement_;
  const LibraryLoaderSeam* previous_;
};
