#include "DbcConfigWriter.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>

#include "kest/vehiclebus/FrameDecoder.h"
#include "kolconfig/Types.h"
#include "kolconfig/XmlDoc.h"

namespace Types = Sarnet_Configuration::Types;
using VehicleBus::DbcMessage;
using VehicleBus::DbcSignal;

namespace {

constexpr const char* kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!-- Properties of the signals of a DBC file, written by zemctl config from-dbc. -->\n"
    "<k:config xmlns:k=\"http://www.olvane.com/kolconfig\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
    "  <k:content xsi:type=\"k:ProvisioningConfig\">\n";
constexpr const char* kTail = "  </k:content>\n</k:config>\n";
constexpr const char* kNamespace = "http://www.olvane.com/kolconfig";

struct XmlDocDeleter {
  void operator()(xmlDoc* doc) const { xmlFreeDoc(doc); }
};
using XmlDocPtr = std::unique_ptr<xmlDoc, XmlDocDeleter>;

// Markup characters as entities. Names reach here checked (DBC identifiers, --prefix and --bus
// words), so this only guards the document's shape.
std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const char* const entity = c == '&'   ? "&amp;"
                               : c == '<' ? "&lt;"
                               : c == '>' ? "&gt;"
                               : c == '"' ? "&quot;"
                                          : nullptr;
    if (entity != nullptr) {
      out += entity;
    } else {
      out += c;
    }
  }
  return out;
}

// The shortest text that reads back as exactly `value` (an xs:double).
std::string number(double value) {
  char buffer[32];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  return std::string(buffer, end);
}

std::string element(const std::string& indent, const char* name, const std::string& text) {
  return indent + "<k:" + name + ">" + escaped(text) + "</k:" + name + ">\n";
}

bool isBoolean(const DbcSignal& signal) {
  return signal.length == 1 && !signal.isSigned && signal.factor == 1.0 && signal.offset == 0.0;
}

// "123" or "0x7B". Returns false for any other text.
bool parseIdentifier(const std::string& text, std::uint32_t* id) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* const begin = text.data() + (hex ? 2 : 0);
  const char* const end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(begin, end, *id, hex ? 16 : 10);
  return begin != end && ec == std::errc() && ptr == end;
}

// Collects the full property names of a configuration as the unit composes them.
class NameCollector final : public Types::ProvisioningAdapterVisitor {
 public:
  NameCollector(const std::string& prefix, std::set<std::string>* names) : prefix_(prefix), names_(names) {}
  void visit(const Types::GroupAdapter& group) override {
    NameCollector nested(prefix_ + group.get_name() + ".", names_);
    for (const auto& definition : group.elements_provisioningDefinitions()) definition->accept(nested);
  }
  void visit(const Types::ImeiPropertyAdapter&) override { add("Imei"); }
  void visit(const Types::GeoLocationPropertyAdapter&) override { add("GeoLocation"); }
  void visit(const Types::TcuIdPropertyAdapter&) override { add("TcuId"); }
  void visit(const Types::VinPropertyAdapter&) override { add("VIN"); }
  void visit(const Types::SystemTimePropertyAdapter&) override { add("SystemTime"); }
  void visit(const Types::VehiclePropertyAdapter& a) override { add(a.get_vehicleProperty()); }
  void visit(const Types::IntegerPropertyAdapter& a) override { add(a.get_propertyName()); }
  void visit(const Types::FloatPropertyAdapter& a) override { add(a.get_propertyName()); }
  void visit(const Types::StringPropertyAdapter& a) override { add(a.get_propertyName()); }
  void visit(const Types::BooleanPropertyAdapter& a) override { add(a.get_propertyName()); }
  void visit(const Types::ByteFieldPropertyAdapter& a) override { add(a.get_propertyName()); }
  void visit(const Types::ListPropertyAdapter& a) override { add(a.get_propertyName()); }
  void visit(const Types::MapPropertyAdapter& a) override { add(a.get_propertyName()); }

 private:
  void add(const std::string& name) { names_->insert(prefix_ + name); }
  const std::string prefix_;
  std::set<std::string>* const names_;
};

XmlDocPtr parsed(const std::string& xml) {
  // No network, no entities substituted, no DTD loaded: the text passed the safe reader already.
  XmlDocPtr doc(xmlReadMemory(xml.data(), static_cast<int>(xml.size()), nullptr, nullptr, XML_PARSE_NONET));
  if (doc == nullptr) throw std::runtime_error("the configuration does not parse");
  return doc;
}

// The `content` element under the root of `doc`, or null.
xmlNode* contentOf(xmlDoc* doc) {
  const xmlNode* const root = xmlDocGetRootElement(doc);
  for (xmlNode* child = root != nullptr ? root->children : nullptr; child != nullptr; child = child->next) {
    if (child->type == XML_ELEMENT_NODE && xmlStrEqual(child->name, BAD_CAST "content") && child->ns != nullptr &&
        xmlStrEqual(child->ns->href, BAD_CAST kNamespace)) {
      return child;
    }
  }
  return nullptr;
}

}  // namespace

std::string DbcConfigWriter::commentText(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    // U+FFFE and U+FFFF (EF BF BE, EF BF BF) are no XML characters.
    if (c == 0xEF && i + 2 < text.size() && text[i + 1] == '\xBF' && (text[i + 2] == '\xBE' || text[i + 2] == '\xBF')) {
      out += "\xEF\xBF\xBD";
      i += 2;
    } else if (c < 0x20 || c == 0x7F) {
      out += ' ';
    } else if (c == '-' && !out.empty() && out.back() == '-') {
      out += " -";
    } else {
      out += static_cast<char>(c);
    }
  }
  if (!out.empty() && out.back() == '-') out += ' ';
  return out;
}

bool DbcConfigWriter::selected(std::vector<const DbcMessage*>* messages, std::string* error) const {
  std::set<const DbcMessage*> chosen;
  for (const std::string& wanted : options_.messages) {
    std::uint32_t id = 0;
    const bool byId = parseIdentifier(wanted, &id);
    bool found = false;
    for (const DbcMessage& message : file_.messages) {
      // An identifier matches as the bus carries it or as the DBC file writes it (bit 31 set).
      const bool match =
          byId ? message.id == id || (message.extended && (message.id | 0x80000000u) == id) : message.name == wanted;
      if (match) chosen.insert(&message);
      found = found || match;
    }
    if (!found) {
      *error = "no message '" + commentText(wanted) + "' in the file";
      return false;
    }
  }
  for (const DbcMessage& message : file_.messages) {
    if (options_.messages.empty() || chosen.count(&message) != 0) messages->push_back(&message);
  }
  return true;
}

std::string DbcConfigWriter::property(const DbcMessage& message, const DbcSignal& signal,
                                      const std::string& indent) const {
  const bool boolean = isBoolean(signal);
  const std::string in1 = indent + "  ", in2 = in1 + "  ", in3 = in2 + "  ";
  std::string out;
  if (!signal.unit.empty() || !signal.comment.empty()) {
    out += indent + "<!-- " +
           commentText(signal.name + (signal.unit.empty() ? "" : " [" + signal.unit + "]") +
                       (signal.comment.empty() ? "" : ": " + signal.comment)) +
           " -->\n";
  }
  out += indent +
         "<k:provisioningDefinitions xsi:type=\"k:" + (boolean ? "BooleanPropertyAdapter" : "FloatPropertyAdapter") +
         "\" propertyName=\"" + escaped(signal.name) + "\">\n";
  out += in1 + "<k:origin xsi:type=\"k:" + (boolean ? "CanBooleanPropertyOrigin" : "CanFloatPropertyOrigin") + "\">\n";
  out += in2 + "<k:canValue xsi:type=\"k:" + (boolean ? "ValueRangeBooleanSignal" : "ArrayValueSignal") + "\">\n";
  out += element(in3, "signalName", message.name + "." + signal.name);
  if (!options_.bus.empty()) out += element(in3, "busInterface", options_.bus);
  out += element(in3, "canId", std::to_string(message.id));
  if (message.extended) out += element(in3, "extendedId", "true");
  out += element(in3, "startBit", std::to_string(signal.startBit));
  out += element(in3, "length", std::to_string(signal.length));
  if (signal.bigEndian) out += element(in3, "bigEndian", "true");
  if (boolean) {
    out += element(in3, "minimum", "1") + element(in3, "maximum", "1");
  } else {
    if (signal.isSigned) out += element(in3, "signed", "true");
    out += element(in3, "factor", number(signal.factor)) + element(in3, "offset", number(signal.offset));
  }
  return out + in2 + "</k:canValue>\n" + in1 + "</k:origin>\n" + indent + "</k:provisioningDefinitions>\n";
}

bool DbcConfigWriter::write(std::string* document, std::set<std::string>* names, std::vector<std::string>* leftOut,
                            std::string* error) const {
  std::vector<const DbcMessage*> messages;
  if (!selected(&messages, error)) return false;
  // What is left out is decided by the decoder that checks a log against the file, so that an
  // import and a decode never disagree on which signals a unit decodes.
  VehicleBus::DbcFile chosen;
  for (const DbcMessage* message : messages) chosen.messages.push_back(*message);
  const VehicleBus::FrameDecoder decoder(std::move(chosen));
  std::map<const DbcSignal*, const std::string*> refused;
  for (const VehicleBus::FrameDecoder::LeftOut& out : decoder.leftOut()) refused.emplace(out.entry.signal, &out.reason);

  const bool grouped = !options_.prefix.empty();
  const std::string indent = grouped ? "      " : "    ";
  const std::string prefix = grouped ? options_.prefix + "." : "";
  std::string body;
  for (const DbcMessage& message : decoder.dbc().messages) {
    std::string group;
    for (const DbcSignal& signal : message.signals) {
      const auto why = refused.find(&signal);
      if (why != refused.end()) {
        leftOut->push_back(message.name + "." + signal.name + ": " + *why->second);
        continue;
      }
      names->insert(prefix + message.name + "." + signal.name);
      group += property(message, signal, indent + "  ");
    }
    if (group.empty()) continue;
    if (!message.comment.empty()) body += indent + "<!-- " + commentText(message.comment) + " -->\n";
    body += indent + "<k:provisioningDefinitions xsi:type=\"k:GroupAdapter\" name=\"" + escaped(message.name) + "\">\n";
    body += group;
    body += indent + "</k:provisioningDefinitions>\n";
  }
  if (grouped && !body.empty()) {
    body = "    <k:provisioningDefinitions xsi:type=\"k:GroupAdapter\" name=\"" + escaped(options_.prefix) + "\">\n" +
           body + "    </k:provisioningDefinitions>\n";
  }
  *document = kHead + body + kTail;
  return true;
}

std::set<std::string> DbcConfigWriter::propertyNames(const std::string& config) {
  const auto parsedConfig = xmldoc::parseString<Types::ProvisioningConfig>(config);
  std::set<std::string> names;
  NameCollector collector("", &names);
  for (const auto& definition : parsedConfig->elements_provisioningDefinitions()) definition->accept(collector);
  return names;
}

std::string DbcConfigWriter::merge(const std::string& existing, const std::string& generated) {
  const XmlDocPtr target = parsed(existing);
  const XmlDocPtr source = parsed(generated);
  xmlNode* const into = contentOf(target.get());
  const xmlNode* const from = contentOf(source.get());
  if (into == nullptr || from == nullptr) throw std::runtime_error("the configuration holds no content element");
  // The existing content's closing indentation goes; the generated nodes bring their own.
  if (into->last != nullptr && xmlIsBlankNode(into->last) != 0) {
    xmlNode* const blank = into->last;
    xmlUnlinkNode(blank);
    xmlFreeNode(blank);
  }
  for (const xmlNode* node = from->children; node != nullptr; node = node->next) {
    // A copy declares the namespaces it uses itself, so it means the same in any document.
    xmlNode* const copy = xmlDocCopyNode(const_cast<xmlNode*>(node), target.get(), 1);
    if (copy == nullptr || xmlAddChild(into, copy) == nullptr) throw std::runtime_error("out of memory");
  }
  xmlChar* text = nullptr;
  int size = 0;
  xmlDocDumpMemoryEnc(target.get(), &text, &size, "UTF-8");
  const std::unique_ptr<xmlChar, void (*)(void*)> owned(text, [](void* p) { xmlFree(p); });
  if (text == nullptr) throw std::runtime_error("the configuration cannot be written");
  return std::string(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
}
