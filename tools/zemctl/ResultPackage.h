// A result package of the outbox read back: the task id and outcome from its "result.xml" and
// the entries of its "index.xml"; also the naming rule that ties a package to its task.
// Thread safety: a plain value type; read() is reentrant.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct ResultPackage {
  struct Entry {
    std::string type;   // the ElementType text of the index
    std::string file;   // the entry name
    uint64_t size = 0;  // its uncompressed size, 0 when the package lacks it
  };

  std::string path;
  bool hasResult = false;  // "result.xml" was present and readable
  std::string resultType;  // its content type, e.g. RequestZemDatabaseTaskResult
  std::string taskId;
  bool success = false;
  int32_t errorType = 0;
  std::string errorMessage;
  std::vector<Entry> entries;  // in index order

  // Reads the package at `path`. Returns true with `package` filled (hasResult false when it has
  // no readable "result.xml"); false with the reason in `error` when it is not a readable zip or
  // its "index.xml" is missing or unreadable. Temporary files go to $TMPDIR and are removed.
  static bool read(const std::string& path, ResultPackage* package, std::string* error);

  // The task id as the packaging spells it in package names (CtpTask::idForPackageName): safe
  // characters only, shortened with a hash of the full id when needed.
  static std::string safeIdForName(const std::string& taskId);
  // The task id part of a package name MODULE_ID_TIME.zip ("ZEM_db-1_20240101T101010-123.zip"
  // gives "db-1"); empty when the name does not have that form.
  static std::string idPartOfName(const std::string& fileName);
};
