#include "BackendCommands.h"

#include "JobCommands.h"
#include "PropertyDocuments.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

namespace Types = Sarnet_Configuration::Types;

std::string BackendCommands::description(const PropertyCommand& command, const std::string& taskId) {
  const auto document = xmldoc::createDocument<Types::UpdateBackendConfigZemTaskDescription>();
  document->set_taskId(taskId);
  auto* properties = document->add_node_properties();
  const auto add = [properties](const std::string& name, PropertyCommand::ValueKind kind, const std::string& text) {
    Types::PersistedMapEntry* item = properties->add_node_entry();
    item->set_key(name);
    item->set_element_value(PropertyDocuments::value(kind, text));
  };
  for (const PropertyCommand::TypedEntry& entry : command.entries) add(entry.name, entry.kind, entry.text);
  add(kActiveProfileProperty, PropertyCommand::ValueKind::String, command.profile);
  return xmldoc::toString(*document);
}

int BackendCommands::run(const ZemctlCommand& command) {
  const PropertyCommand& p = command.property;
  return JobCommands(out_, err_)
      .runDescribed(
          command, "backend switch", p.taskId, [&p](const std::string& taskId) { return description(p, taskId); },
          p.keyFile, p.wait);
}
