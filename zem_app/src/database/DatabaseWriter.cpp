#include "database/DatabaseWriter.h"

#include <exception>

#include "kolconfig/XmlCodec.h"
#include "kolconfig/XmlDoc.h"

namespace Types = Sarnet_Configuration::Types;

namespace {

// Depth of a top-level entry: config > content > data > entry.
constexpr int kEntryDepth = 3;

// The text of a database document before and after its top-level entries, taken from a real
// serialisation so that it is exactly what xmldoc::saveFile writes. Empty when the layout is not
// the expected one (then every write serialises the whole document).
struct Framing {
  std::string head;
  std::string tail;
};

Framing makeFraming() {
  auto document = xmldoc::createDocument<Types::PersistedDatabase>();
  auto* entry = document->add_node_data()->add_node_entry();
  entry->set_key("framing");
  entry->add_node_value<Types::PersistedStringValue>()->set_stringValue("framing");
  std::string entryText;
  Types::detail::writeNode(entryText, kEntryDepth, "entry", *entry, false);
  const std::string whole = xmldoc::toString(*document);
  const size_t at = whole.find(entryText);
  if (at == std::string::npos) return Framing();
  return Framing{whole.substr(0, at), whole.substr(at + entryText.size())};
}

const Framing& framing() {
  static const Framing value = makeFraming();
  return value;
}

}  // namespace

bool DatabaseWriter::serialise(const Types::PersistedDatabase& document, bool cached) {
  const Types::PersistedMapValue* data = document.element_data();
  const Framing& frame = framing();
  buffer_.clear();
  if (data == nullptr || data->elements_entry().empty() || frame.head.empty()) {
    buffer_ = xmldoc::toString(document);
    return true;
  }
  buffer_ += frame.head;
  for (const auto& entry : data->elements_entry()) {
    if (!entry) return false;
    if (!cached) {
      Types::detail::writeNode(buffer_, kEntryDepth, "entry", *entry, false);
      continue;
    }
    const auto found = entryTexts_.find(entry.get());
    if (found != entryTexts_.end()) {
      buffer_ += found->second;
      continue;
    }
    std::string text;  // kept only once complete: a serialisation error leaves no partial text
    Types::detail::writeNode(text, kEntryDepth, "entry", *entry, false);
    buffer_ += text;
    entryTexts_.emplace(entry.get(), std::move(text));
  }
  buffer_ += frame.tail;
  return true;
}

xmldoc::ReplaceResult DatabaseWriter::write(const Types::PersistedDatabase& document, const std::string& path,
                                            bool cached) {
  xmldoc::ReplaceResult result;
  try {
    if (!serialise(document, cached)) {
      result.error = "Serialisation error: an entry of the database is missing";
      return result;
    }
  } catch (const std::exception& e) {
    result.error = e.what();
    return result;
  }
  return xmldoc::replaceFile(path, buffer_.data(), buffer_.size());
}
