// Set-up shared by the fuzz targets: a private device under a fresh temporary sysroot, logging
// that formats every line but writes none, and small file helpers.
// Thread safety: call from LLVMFuzzerInitialize / LLVMFuzzerTestOneInput only (one thread).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zem_fuzz {

// Creates a fresh sysroot under $TMPDIR (else /dev/shm, else /tmp), lays the factory content of a device into it
// (scripts/seed-device), points ZEM_SYSROOT at it and removes it when the process exits. Also
// silences logging (see silenceLogging). Returns the sysroot's path; aborts when it cannot be
// made, since every input would then test nothing. REQUIRES: called once, before any use of
// DevicePaths.
std::string makeDevice();

// Keeps every log line's formatting (the code under test still escapes and shortens hostile text)
// but sends the lines nowhere, whatever level a later input sets.
void silenceLogging();

// The input as a string.
inline std::string text(const std::uint8_t* data, std::size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// Writes `bytes` to `path`, replacing it; aborts on failure (the target's set-up is broken).
void writeFile(const std::string& path, const std::string& bytes);

// Reads the whole of `path`; "" when it cannot be read.
std::string readFile(const std::string& path);

}  // namespace zem_fuzz
