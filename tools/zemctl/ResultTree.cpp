#include "ResultTree.h"

#include <sstream>

namespace Types = Sarnet_Configuration::Types;

namespace {

template <class T>
bool valueOf(const Types::PropertyResult& result, std::string* text) {
  const auto* typed = dynamic_cast<const T*>(&result);
  if (typed == nullptr) return false;
  *text = typed->get_value();
  return true;
}

void appendItems(const Types::PropertyResult& result, int indent, std::string* out);

// One line `label` + the item: "LABEL VALUE" for a scalar, or "LABEL" followed by the nested items.
// `label` is "KEY:" for a map entry and empty for a list item.
void appendItem(const Types::PropertyResult& item, const std::string& label, int indent, std::string* out) {
  const std::string margin(static_cast<size_t>(indent), ' ');
  std::string text;
  if (ResultTree::scalarText(item, &text)) {
    *out += margin + (label.empty() ? "" : label + " ") + ResultTree::oneLine(text) + "\n";
    return;
  }
  const bool list = dynamic_cast<const Types::ListPropertyResult*>(&item) != nullptr;
  const bool map = dynamic_cast<const Types::MapPropertyResult*>(&item) != nullptr;
  if (list || map) {
    *out += margin + (label.empty() ? (list ? "(list)" : "(map)") : label) + "\n";
    appendItems(item, indent + 2, out);
    return;
  }
  // A geolocation or a misplaced map entry inside a collection: its own lines, indented.
  std::istringstream lines(ResultTree::format(item));
  *out += margin + (label.empty() ? "(" + item.typeName() + ")" : label) + "\n";
  for (std::string line; std::getline(lines, line);) out->append(margin).append("  ").append(line).append("\n");
}

// The items of a list or the entries of a map, at `indent`.
void appendItems(const Types::PropertyResult& result, int indent, std::string* out) {
  if (const auto* list = dynamic_cast<const Types::ListPropertyResult*>(&result)) {
    for (const auto& item : list->elements_item()) {
      if (item) appendItem(*item, std::string(), indent, out);
    }
  } else if (const auto* map = dynamic_cast<const Types::MapPropertyResult*>(&result)) {
    for (const auto& entry : map->elements_entry()) {
      if (!entry) continue;
      const std::string label = ResultTree::oneLine(entry->get_key()) + ":";
      if (entry->element_value() == nullptr) {
        *out += std::string(static_cast<size_t>(indent), ' ') + label + "\n";
      } else {
        appendItem(*entry->element_value(), label, indent, out);
      }
    }
  }
}

}  // namespace

bool ResultTree::scalarText(const Types::PropertyResult& result, std::string* text) {
  if (const auto* update = dynamic_cast<const Types::PropertyUpdateResult*>(&result)) {
    *text = update->get_value() ? "true" : "false";
    return true;
  }
  return valueOf<Types::StringPropertyResult>(result, text) || valueOf<Types::IntegerPropertyResult>(result, text) ||
         valueOf<Types::FloatPropertyResult>(result, text) || valueOf<Types::BooleanPropertyResult>(result, text) ||
         valueOf<Types::SimpleBooleanPropertyResult>(result, text) ||
         valueOf<Types::ByteFieldPropertyResult>(result, text) || valueOf<Types::ImeiPropertyResult>(result, text) ||
         valueOf<Types::TcuIdPropertyResult>(result, text) || valueOf<Types::VinPropertyResult>(result, text);
}

std::string ResultTree::oneLine(const std::string& text) {
  static const char* const kHex = "0123456789abcdef";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (byte < 0x20 || byte == 0x7f) {
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xf];
    } else {
      out += c;
    }
  }
  return out;
}

std::string ResultTree::format(const Types::PropertyResult& result) {
  std::string text;
  if (scalarText(result, &text)) return oneLine(text) + "\n";
  if (const auto* position = dynamic_cast<const Types::GeolocationPropertyResult*>(&result)) {
    if (!position->has_latitude() && !position->has_longitude()) return "(no position)\n";
    std::ostringstream out;
    if (position->has_latitude()) out << "latitude " << position->get_latitude() << "\n";
    if (position->has_longitude()) out << "longitude " << position->get_longitude() << "\n";
    return out.str();
  }
  if (const auto* entry = dynamic_cast<const Types::MapEntryPropertyResult*>(&result)) {
    std::string out;
    if (entry->element_value() == nullptr) return oneLine(entry->get_key()) + ":\n";
    appendItem(*entry->element_value(), oneLine(entry->get_key()) + ":", 0, &out);
    return out;
  }
  std::string out;
  appendItems(result, 0, &out);
  return out;
}
