#include "libraries/LibraryLoaderSeam.h"

#include <dlfcn.h>

#include <atomic>

namespace {

const LibraryLoaderSeam kPlatform = {&dlopen, &dlsym, &dlclose, &ffi_prep_cif, &ffi_call};

std::atomic<const LibraryLoaderSeam*> gCurrent{&kPlatform};

}  // namespace

const LibraryLoaderSeam& LibraryLoaderSeam::current() { return *gCurrent.load(); }

const LibraryLoaderSeam& LibraryLoaderSeam::platform() { return kPlatform; }

ScopedLibraryLoaderSeam::ScopedLibraryLoaderSeam(const LibraryLoaderSeam& replacement)
    : replacement_(replacement), previous_(gCurrent.exchange(&replacement_)) {}

ScopedLibraryLoaderSeam::~ScopedLibraryLoaderSeam() { gCurrent.store(previous_); }
