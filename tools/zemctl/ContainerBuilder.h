// Builds a task container: "index.xml" (a TaskIndex listing every entry with its type and, when
// a key is given, its signature) followed by the task description and the payload files.
// Thread safety: one builder per thread; build() only reads the builder.
#pragma once

#include <string>
#include <vector>

#include "kolconfig/Types.h"

class File;
namespace Security {
class SecurityService;
}

class ContainerBuilder {
 public:
  // The entry name of a generated description.
  static constexpr const char* kGeneratedDescriptionName = "task.xml";

  // Takes the file at `path` as the task description, listed as TASK_REQUEST under its own file
  // name. Returns true; false with the reason in `error` when the file cannot be read or is not a
  // configuration document whose content is a task description.
  bool setDescriptionFile(const std::string& path, std::string* error);
  // A generated description of `type` (a schema type derived from TaskDescription) with
  // `taskId`, and forceOverride="true" when asked (only the install kinds know it). Returns true;
  // false with the reason when the type is unknown or does not take forceOverride.
  bool generateDescription(const std::string& type, const std::string& taskId, bool forceOverride, std::string* error);
  // As generateDescription, with a description the caller filled (its own fields included).
  bool setDescription(const Sarnet_Configuration::Types::TaskDescription& description, std::string* error);
  // Adds the file at `path` under its own file name, listed as `typeText` (an ElementType text,
  // exact spelling). Returns false with the reason for an unknown type, an unreadable file, or a
  // name that is taken already or is "index.xml".
  bool addPayload(const std::string& typeText, const std::string& path, std::string* error);

  // Writes the container to `output` (replacing it atomically; nothing appears there on failure).
  // With a non-empty `keyFile` (PEM private key, RSA or EC) each entry's index signature is the
  // Base64 text of its SHA-256 signature, as `openssl dgst -sha256 -sign KEY FILE | base64 -w0`
  // gives. Returns true; false with the reason in `error`.
  // REQUIRES: a description was set.
  bool build(const std::string& output, const std::string& keyFile, std::string* error) const;

  // The description document of a generated description (empty before one was generated).
  const std::string& generatedDescription() const { return generated_; }

 private:
  struct Item {
    std::string type;  // ElementType text
    std::string name;  // entry name
    std::string path;  // source file; empty for the generated description
  };
  bool nameTaken(const std::string& name) const;
  // The file whose bytes `item` carries: its path, or `descriptionFile` for the generated description.
  static File sourceOf(const Item& item, const File& descriptionFile);
  // Writes the TaskIndex of items_ to `indexFile`, each entry signed by `signer` when it is not null
  // (`keyFile` names the key in messages). Returns true; false with the reason in `error`.
  bool writeIndex(const File& indexFile, const File& descriptionFile, Security::SecurityService* signer,
                  const std::string& keyFile, std::string* error) const;

  std::vector<Item> items_;  // the description first (once set), then the payloads in order
  bool described_ = false;
  std::string generated_;
};
