#include "tasks/ResultPackageWriter.h"

#include <ctime>
#include <exception>
#include <stdexcept>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/security/SecurityService.h"

namespace Types = Sarnet_Configuration::Types;

ResultPackageWriter::ResultPackageWriter(CtpTask& task, const File& resultFolder)
    : task_(task), resultFolder_(resultFolder), index_(xmldoc::createDocument<Types::TaskIndex>()) {
  const File outbox(task_.getOutboxFolder());
  outbox.mkdirs();
  package_ = File(outbox, task_.getResultPackage(resultFolder_.getPath()) + ".zip");
  if (package_.exists()) package_.remove();
  archive_ = ZipArchive::create(package_.getPath());
}

bool ResultPackageWriter::addFile(const File& file, const std::string& entryName, ElementType type) {
  if (file.isFile() && file.size() == 0) {
    ZEM_TRACE("File " << file.getAbsolutePath() << " will not be added to archive as it is an empty file");
    return true;
  }
  Security::SecurityService* const security = task_.getSecurityService();
  try {
    archive_.addFile(entryName, file, CtpTask::getFileEncryptor(security));
    const std::string signature = security == nullptr ? std::string() : security->signFile(file, 1);
    auto* entry = index_->add_node_taskIndexEntry();
    ++entries_;
    entry->set_file(security == nullptr ? entryName : security->mapFileName(entryName));
    if (!signature.empty()) entry->set_signature(signature);
    entry->set_type(Types::ElementType::toString(type));
    return true;
  } catch (const std::exception& e) {
    ZEM_ERROR("Error while compressing file " << entryName);
    ZEM_DEBUG(e.what());
    return false;
  }
}

void ResultPackageWriter::addResult() {
  addFile(File(resultFolder_, DevicePaths::kResultFileName), DevicePaths::kResultFileName,
          Types::ElementType::TASK_RESULT);
}

void ResultPackageWriter::addVehicleData() {
  try {
    task_.generateVehicleData(resultFolder_, archive_, *index_);
  } catch (const std::exception& e) {
    ZEM_ERROR("Error while compressing file: " << e.what());
  }
}

void ResultPackageWriter::addIndex() {
  std::string text;
  try {
    text = xmldoc::toString(*index_);
  } catch (const std::exception& e) {
    ZEM_ERROR("Error while creating index.xml file for task report: " << e.what());
    return;
  }
  try {
    // Straight from memory: the entry is what a file of the index written now would give.
    archive_.addBytes(DevicePaths::kIndexFileName, text, ::time(nullptr));
  } catch (const std::exception& e) {
    ZEM_ERROR("Error while compressing file: " << e.what());
  }
}

std::string ResultPackageWriter::close(const Security::SignatureGenerator& generator) {
  archive_.close(generator);
  return package_.getPath();
}
