#include "ContainerBuilder.h"

#include <exception>
#include <memory>

#include "kest/DevicePaths.h"
#include "kest/File.h"
#include "kest/TempFile.h"
#include "kest/security/SecurityService.h"
#include "kest/zip/ZipArchive.h"
#include "kolconfig/TypeRegistry.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

const char* const kTaskRequestType = "TASK_REQUEST";

// The signing service reads its key as "device.key" of its certificate folder: a private copy of
// the key at `keyFile` in `staging` (mode 0700) serves as that folder. Returns true with the
// service in `signer`; false with the reason in `error`.
bool stageSigner(const std::string& keyFile, const File& staging, std::unique_ptr<Security::SecurityService>* signer,
                 std::string* error) {
  std::string key;
  if (!File(keyFile).isFile() || !File(keyFile).readAll(&key)) {
    *error = "cannot read the key " + keyFile;
    return false;
  }
  const File keys(staging, "keys");
  if (!keys.mkdirs() || !File(keys, Security::SecurityService::kDeviceKeyFileName).writeAtomically(key)) {
    *error = "cannot stage the key " + keyFile;
    return false;
  }
  *signer = std::make_unique<Security::SecurityService>(keys.getPath());
  return true;
}

}  // namespace

bool ContainerBuilder::nameTaken(const std::string& name) const {
  if (name == DevicePaths::kIndexFileName) return true;
  for (const Item& item : items_) {
    if (item.name == name) return true;
  }
  return false;
}

bool ContainerBuilder::setDescriptionFile(const std::string& path, std::string* error) {
  const File file(path);
  if (!file.isFile()) {
    *error = "cannot read the description " + path;
    return false;
  }
  try {
    xmldoc::parseFile<Types::TaskDescription>(path);
  } catch (const std::exception& e) {
    *error = path + " is not a task description: " + e.what();
    return false;
  }
  if (described_) {
    *error = "the container has a description already";
    return false;
  }
  if (nameTaken(file.getName())) {
    *error = "the description cannot be named " + file.getName();
    return false;
  }
  items_.insert(items_.begin(), Item{kTaskRequestType, file.getName(), path});
  described_ = true;
  return true;
}

bool ContainerBuilder::generateDescription(const std::string& type, const std::string& taskId, bool forceOverride,
                                           std::string* error) {
  const std::string name = Types::localTypeName(type);
  if (!Types::isTypeDerivedFrom(name, Types::TaskDescription::staticTypeName()) || Types::isAbstractTypeName(name)) {
    *error = "'" + type + "' is not a task description type (e.g. RequestZemDatabaseTaskDescription)";
    return false;
  }
  std::unique_ptr<Types::XmlNode> node = Types::createNodeByTypeName(name);
  auto* description = dynamic_cast<Types::TaskDescription*>(node.get());
  if (description == nullptr) {
    *error = "'" + type + "' is not a task description type";
    return false;
  }
  description->set_taskId(taskId);
  if (forceOverride) {
    if (auto* database = dynamic_cast<Types::InstallZemDatabaseTaskDescription*>(description)) {
      database->set_forceOverride(true);
    } else if (auto* config = dynamic_cast<Types::InstallProvisioningConfigTaskDescription*>(description)) {
      config->set_forceOverride(true);
    } else {
      *error = "--force-override does not apply to " + name;
      return false;
    }
  }
  return setDescription(*description, error);
}

bool ContainerBuilder::setDescription(const Types::TaskDescription& description, std::string* error) {
  const std::string& name = description.typeName();
  std::string text;
  try {
    text = xmldoc::toString(description);
    xmldoc::parseString<Types::TaskDescription>(text);  // a kind with required fields fails here
  } catch (const std::exception& e) {
    *error = name + " has fields of its own; write the description and use --description (" + e.what() + ")";
    return false;
  }
  if (described_) {
    *error = "the container has a description already";
    return false;
  }
  if (nameTaken(kGeneratedDescriptionName)) {
    *error = std::string("a payload is named ") + kGeneratedDescriptionName + " already";
    return false;
  }
  generated_ = std::move(text);
  items_.insert(items_.begin(), Item{kTaskRequestType, kGeneratedDescriptionName, std::string()});
  described_ = true;
  return true;
}

bool ContainerBuilder::addPayload(const std::string& typeText, const std::string& path, std::string* error) {
  try {
    Types::ElementType::parse(typeText);
  } catch (const std::exception&) {
    *error = "unknown entry type '" + typeText + "' (e.g. ZEM_DATABASE, PROVISIONING_CONFIG, DATA_FILE)";
    return false;
  }
  const File file(path);
  if (!file.isFile()) {
    *error = "cannot read the payload " + path;
    return false;
  }
  if (nameTaken(file.getName())) {
    *error = "two entries would be named " + file.getName();
    return false;
  }
  items_.push_back(Item{typeText, file.getName(), path});
  return true;
}

bool ContainerBuilder::build(const std::string& output, const std::string& keyFile, std::string* error) const {
  if (!described_) {
    *error = "the container has no description";
    return false;
  }
  try {
    const TempFile staging("zemctl-job");
    const File descriptionFile(staging.getFile(), kGeneratedDescriptionName);
    if (!generated_.empty() && !descriptionFile.writeAtomically(generated_)) {
      *error = "cannot write " + descriptionFile.getPath();
      return false;
    }
    std::unique_ptr<Security::SecurityService> signer;
    if (!keyFile.empty() && !stageSigner(keyFile, staging.getFile(), &signer, error)) return false;
    const File indexFile(staging.getFile(), DevicePaths::kIndexFileName);
    if (!writeIndex(indexFile, descriptionFile, signer.get(), keyFile, error)) return false;

    ZipArchive archive = ZipArchive::create(output);
    archive.addFile(DevicePaths::kIndexFileName, indexFile);
    for (const Item& item : items_) archive.addFile(item.name, sourceOf(item, descriptionFile));
    archive.close();
    return true;
  } catch (const std::exception& e) {
    *error = std::string("cannot write ") + output + ": " + e.what();
    return false;
  }
}

File ContainerBuilder::sourceOf(const Item& item, const File& descriptionFile) {
  return item.path.empty() ? descriptionFile : File(item.path);
}

bool ContainerBuilder::writeIndex(const File& indexFile, const File& descriptionFile, Security::SecurityService* signer,
                                  const std::string& keyFile, std::string* error) const {
  auto index = xmldoc::createDocument<Types::TaskIndex>();
  for (const Item& item : items_) {
    auto* entry = index->add_node_taskIndexEntry();
    entry->set_type(item.type);
    entry->set_file(item.name);
    if (signer != nullptr) {
      const std::string signature = signer->signFile(sourceOf(item, descriptionFile));
      if (signature.empty()) {
        *error = "cannot sign " + item.name + " with " + keyFile + " (not a PEM private key, or unreadable file)";
        return false;
      }
      entry->set_signature(signature);
    }
  }
  if (!indexFile.writeAtomically(xmldoc::toString(*index))) {
    *error = "cannot write " + indexFile.getPath();
    return false;
  }
  return true;
}
