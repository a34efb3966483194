// A shared library opened with dlopen on the first call of one of its entry points instead of being
// linked: a daemon that never needs it does not map it (its relocations alone cost resident pages).
// Internal to the host library. Thread safety: entries() may be called from any thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>

// Marks a definition that stays inside KestCommon even where a header declared the name exported.
#define KEST_HIDDEN __attribute__((visibility("hidden")))

class LazyLibrary {
 public:
  // Throws the exception its callers already handle for a failed operation; `reason` names the
  // library and says why it cannot be used.
  using Refuse = void (*)(const std::string& reason);

  // `name` is the library's name in texts ("libzip"); `fileName` the file the dynamic loader looks
  // up as a link dependency would be (a constant, never a name from a caller); `symbols` the
  // `count` entry points resolved at once, their addresses kept in `addresses`. Nothing is copied:
  // all must outlive the object (literals and static arrays). Loads nothing.
  constexpr LazyLibrary(const char* name, const char* fileName, const char* const* symbols, void** addresses,
                        size_t count, Refuse refuse)
      : name_(name), fileName_(fileName), symbols_(symbols), addresses_(addresses), count_(count), refuse_(refuse) {}
  LazyLibrary(const LazyLibrary&) = delete;
  LazyLibrary& operator=(const LazyLibrary&) = delete;

  // The addresses of the symbols, in their order. The first call opens the library and resolves
  // every symbol; the library then stays mapped for the life of the process (it is opened
  // RTLD_NODELETE, so no address ever dangles). When it cannot be opened or lacks a symbol: logs
  // one ERROR naming it with the loader's reason and calls `refuse`, which throws; a later call
  // tries again (a library installed meanwhile is used).
  void* const* entries() {
    if (loaded_.load(std::memory_order_acquire)) return addresses_;
    return load();
  }

  // Test seam: makes the next call load from `fileName` (which must outlive its use) as if nothing
  // had been loaded, and returns the file name used so far.
  // REQUIRES: no other thread calls the library's entry points meanwhile.
  const char* replaceFileName(const char* fileName);

 private:
  struct HandleClose {
    void operator()(void* handle) const;
  };

  void* const* load();

  const char* const name_;
  const char* fileName_;  // guarded by mutex_
  const char* const* const symbols_;
  void** const addresses_;  // written under mutex_ before loaded_ is set, read-only afterwards
  const size_t count_;
  const Refuse refuse_;
  std::mutex mutex_;
  std::atomic<bool> loaded_{false};
  std::unique_ptr<void, HandleClose> handle_;  // guarded by mutex_
};

// The parts of a list of entry points X(type, name, (parameters), (arguments)) that a library's
// file of entry points expands: the index of each entry, its symbol name, and its definition,
// which forwards to the library's function of the same name (the compiler checks the signature
// against the library's header) and never leaves KestCommon. The definitions use the file's
// LazyLibrary `library` and its enumerators k_<name>.
#define KEST_LAZY_INDEX(type, name, parameters, arguments) k_##name,
#define KEST_LAZY_SYMBOL(type, name, parameters, arguments) #name,
// NOLINTBEGIN(bugprone-macro-parentheses): a type, a name and parameter lists, not expressions
#define KEST_LAZY_FORWARD(type, name, parameters, arguments)                           \
  extern "C" KEST_HIDDEN type name parameters {                                        \
    return reinterpret_cast<decltype(&::name)>(library.entries()[k_##name]) arguments; \
  }
// NOLINTEND(bugprone-macro-parentheses)
