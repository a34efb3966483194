// A temporary folder that lives as long as its owner.
// Thread safety: not shared; one owner.
#pragma once

#include "kest/File.h"

// A fresh temporary folder (mkdtemp) below File::tmpFolder(), removed with its content when the
// TempFile is destroyed. Throws std::runtime_error when the folder cannot be created.
class TempFile {
 public:
  explicit TempFile(const std::string& prefix = "zem");
  ~TempFile();
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const File& getFile() const { return folder_; }

 private:
  File folder_;
};
