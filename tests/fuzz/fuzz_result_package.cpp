// zemctl's reading of result packages: the input is a package file of the outbox. Whatever it
// holds, the read either fails with a reason or yields fields that zemctl prints on one line each
// without a control character.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "ResultPackage.h"
#include "ResultTree.h"
#include "kest/ApplicationLogger.h"

namespace {

std::string& packagePath() {
  static std::string path;
  return path;
}

// What zemctl prints of a text from the unit: one line, no control character.
void checkPrinted(const std::string& text) {
  const std::string line = ResultTree::oneLine(ApplicationLogger::shortened(text, 200));
  for (const char c : line) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  packagePath() = zem_fuzz::makeDevice() + "/ZEM_fuzz-1_20240101T101010-123.zip";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  zem_fuzz::writeFile(packagePath(), zem_fuzz::text(data, size));
  ResultPackage package;
  std::string error;
  if (!ResultPackage::read(packagePath(), &package, &error)) {
    if (error.empty()) std::abort();
    return 0;
  }
  checkPrinted(package.resultType);
  checkPrinted(package.taskId);
  checkPrinted(package.errorMessage);
  for (const ResultPackage::Entry& entry : package.entries) {
    checkPrinted(entry.type);
    checkPrinted(entry.file);
  }
  // The name a package of this task would carry must lead back to a safe id.
  const std::string safe = ResultPackage::safeIdForName(package.taskId);
  if (ResultPackage::idPartOfName("ZEM_" + safe + "_20240101T101010-123.zip") != safe) std::abort();
  return 0;
}
