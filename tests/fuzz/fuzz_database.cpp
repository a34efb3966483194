// The database file: whatever STORE/database.xml holds, loading it gives a store (the file's, or the
// default database that replaces an invalid one) whose getters answer for any key. A string set
// afterwards must read back the same from a fresh load of the file, so a set never leaves a file
// that the next start would throw away. Input: the file, then optionally "\0" and the text to set.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "database/XMLDatabaseImpl.h"
#include "kest/DevicePaths.h"
#include "kest/File.h"
#include "values/StringValue.h"

namespace {

namespace Types = Sarnet_Configuration::Types;

const char* const kKeys[] = {
    "ZEM.LOGLEVEL", "Vehicle", "Vehicle.ReportInterval", "Comfort.Presets.Morning", "Comfort.Destinations", "a..b", ""};

std::string databaseFile() { return DevicePaths::storeFolder() + "/" + DevicePaths::kDatabaseFileName; }

XMLDatabaseImpl makeStore() {
  return XMLDatabaseImpl(databaseFile(), DevicePaths::defaultConfigFolder() + "/" + DevicePaths::kDatabaseFileName,
                         DevicePaths::configurationSchema(), DevicePaths::storeFolder());
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zem_fuzz::makeDevice();
  File(DevicePaths::storeFolder()).mkdirs();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input = zem_fuzz::text(data, size);
  const std::size_t split = input.rfind('\0');
  const std::string text = split == std::string::npos ? "fuzz" : input.substr(split + 1);
  zem_fuzz::writeFile(databaseFile(), input.substr(0, split));

  XMLDatabaseImpl store = makeStore();
  store.load();
  for (const char* key : kKeys) {
    static_cast<void>(store.getString(key));
    static_cast<void>(store.getInteger(key));
    static_cast<void>(store.getBoolean(key));
    static_cast<void>(store.getFloat(key));
    static_cast<void>(store.getByteField(key));
    static_cast<void>(store.getList(key));
    static_cast<void>(store.getMap(key));
  }
  Types::PersistedStringValue value;
  value.set_stringValue(text);
  if (!store.setString("Fuzz.Text", &value)) return 0;
  XMLDatabaseImpl reloaded = makeStore();
  reloaded.load();
  const auto read = reloaded.getString("Fuzz.Text");
  if (read == nullptr || !read->isValid() || read->getText() != text) std::abort();
  return 0;
}
