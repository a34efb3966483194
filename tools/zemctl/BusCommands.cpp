#include "BusCommands.h"

#include "JobCommands.h"
#include "PropertyDocuments.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

namespace Types = Sarnet_Configuration::Types;

std::string BusCommands::description(const BusCommand& bus, const std::string& taskId) {
  const auto document = xmldoc::createDocument<Types::UpdateBusPropertiesZemTaskDescription>();
  document->set_taskId(taskId);
  Types::PersistedMapValue* properties = document->add_node_properties();
  for (const BusCommand::Entry& entry : bus.entries) {
    Types::PersistedMapEntry* item = properties->add_node_entry();
    item->set_key(entry.name);
    item->set_element_value(PropertyDocuments::value(entry.kind, entry.text));
  }
  return xmldoc::toString(*document);
}

int BusCommands::run(const ZemctlCommand& command) {
  const BusCommand& bus = command.bus;
  return JobCommands(out_, err_)
      .runDescribed(
          command, "bus update", bus.taskId, [&bus](const std::string& taskId) { return description(bus, taskId); },
          bus.keyFile, bus.wait);
}
