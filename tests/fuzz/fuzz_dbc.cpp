// DBC files: the reader on any bytes, then the configuration writer on what it accepts. A refusal
// must be one short "LINE: ..." text; an accepted file must hold identifiers, lengths and bit
// positions within the bounds that decoders rely on; and the configuration written from it must
// parse as a provisioning configuration, whatever names, units and comments the file held.
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "DbcConfigWriter.h"
#include "FuzzSupport.h"
#include "kest/vehiclebus/DbcParser.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

namespace {

using VehicleBus::DbcFile;
using VehicleBus::DbcMessage;
using VehicleBus::DbcParser;
using VehicleBus::DbcSignal;

void check(bool condition) {
  if (!condition) std::abort();
}

void checkFile(const DbcFile& file) {
  for (const DbcMessage& message : file.messages) {
    check(message.id <= (message.extended ? 0x1FFFFFFFu : 0x7FFu));
    check(message.length <= 64 && !message.name.empty() && message.line > 0);
    for (const DbcSignal& signal : message.signals) {
      check(signal.startBit >= 0 && signal.startBit < 512 && signal.length >= 0 && signal.length <= 512);
      check(signal.line >= message.line);  // the same line after "BO_ ...;"
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zem_fuzz::silenceLogging();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  DbcFile file;
  std::string error;
  if (!DbcParser::parse(std::string_view(reinterpret_cast<const char*>(data), size), &file, &error)) {
    const std::size_t colon = error.find(": ");
    check(colon != std::string::npos && colon > 0 && error.size() < 200);
    for (std::size_t i = 0; i < colon; ++i) check(std::isdigit(static_cast<unsigned char>(error[i])) != 0);
    return 0;
  }
  checkFile(file);
  const DbcConfigWriter::Options options{"Fuzz", "can0", {}};
  std::string document;
  std::set<std::string> names;
  std::vector<std::string> leftOut;
  check(DbcConfigWriter(file, options).write(&document, &names, &leftOut, &error));
  try {
    xmldoc::parseString<Sarnet_Configuration::Types::ProvisioningConfig>(document);
  } catch (...) {
    check(false);
  }
  return 0;
}
