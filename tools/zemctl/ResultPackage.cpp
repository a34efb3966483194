#include "ResultPackage.h"

#include <exception>

#include "kest/DevicePaths.h"
#include "kest/File.h"
#include "kest/TempFile.h"
#include "kest/task/CtpTask.h"
#include "kest/zip/ZipArchive.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

namespace Types = Sarnet_Configuration::Types;

bool ResultPackage::read(const std::string& path, ResultPackage* package, std::string* error) {
  ResultPackage result;
  result.path = path;
  try {
    const ZipArchive archive = ZipArchive::openForReading(path);
    const TempFile folder("zemctl-result");
    const File indexFile = archive.extract(DevicePaths::kIndexFileName, folder.getFile(), "index",
                                           ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
    const auto index = xmldoc::parseFile<Types::TaskIndex>(indexFile.getPath());
    for (const auto& entry : index->elements_taskIndexEntry()) {
      Entry item{entry->get_type(), entry->get_file(), 0};
      if (archive.hasEntry(item.file)) item.size = archive.getUncompressedSize(item.file);
      result.entries.push_back(std::move(item));
    }
    if (archive.hasEntry(DevicePaths::kResultFileName)) {
      try {
        const File resultFile = archive.extract(DevicePaths::kResultFileName, folder.getFile(), "result",
                                                ZipArchive::nonDecryptor(), ZipArchive::nonValidator());
        const auto document = xmldoc::parseFile<Types::TaskResult>(resultFile.getPath());
        result.resultType = document->typeName();
        result.taskId = document->get_taskId();
        if (const Types::ErrorInfo* info = document->element_errorInfo()) {
          result.success = info->get_success();
          result.errorType = info->get_errorType();
          result.errorMessage = info->get_errorMessage();
        }
        result.hasResult = true;
      } catch (const std::exception&) {
        result.hasResult = false;  // listed as it is; the caller reports the missing result
      }
    }
  } catch (const std::exception& e) {
    *error = "cannot read the result package " + path + ": " + e.what();
    return false;
  }
  *package = std::move(result);
  return true;
}

std::string ResultPackage::safeIdForName(const std::string& taskId) { return CtpTask::idForPackageName(taskId); }

std::string ResultPackage::idPartOfName(const std::string& fileName) {
  static const std::string kExtension = ".zip";
  if (fileName.size() <= kExtension.size() ||
      fileName.compare(fileName.size() - kExtension.size(), kExtension.size(), kExtension) != 0) {
    return std::string();
  }
  const std::string stem = fileName.substr(0, fileName.size() - kExtension.size());
  const auto last = stem.rfind('_');
  if (last == std::string::npos || last == 0) return std::string();
  const auto previous = stem.rfind('_', last - 1);
  if (previous == std::string::npos) return std::string();
  return stem.substr(previous + 1, last - previous - 1);
}
