// A settings document of schema type XML, stored in one file and loaded under a crash guard.
// Thread safety: none of its own; the owner serialises load() and save() with document writers.
#pragma once

#include <memory>
#include <string>

#include "kest/File.h"
#include "kolconfig/XmlDoc.h"

template <class XML>
class ApplicationSettings {
 public:
  ApplicationSettings(std::string name, File file) : name_(std::move(name)), file_(std::move(file)) {}
  virtual ~ApplicationSettings() = default;

  // Loads the document from the file. A missing or malformed file yields a new document filled
  // by setDefaults() and written back. A crash detected by the guard during an earlier load
  // removes the file (recoverable) or leaves it (unrecoverable) and keeps the current document.
  // Never throws the XML library's or the crash guard's exceptions.
  void load();
  // Writes the document durably. Returns true when written; false (logged) otherwise.
  // REQUIRES: a document is loaded.
  bool save();

  bool isLoaded() const { return document_ != nullptr; }
  // The document, or nullptr before load(). Owned by the settings.
  XML* getDocument() const { return document_.get(); }
  const std::string& getName() const { return name_; }
  const File& getFile() const { return file_; }

 protected:
  // Fills a freshly created empty document with the default values.
  virtual void setDefaults(XML& document) = 0;

 private:
  std::string name_;
  File file_;
  xmldoc::DocumentPtr<XML> document_;
};

#include "kest/ApplicationSettings.inl"
