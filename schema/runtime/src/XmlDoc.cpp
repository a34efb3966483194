#include "kolconfig/XmlDoc.h"

#include <errno.h>
#include <libxml/tree.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

#include "SafeXmlReader.h"
#include "kolconfig/FileIo.h"
#include "kolconfig/TypeRegistry.h"
#include "kolconfig/XmlCodec.h"

namespace xmldoc {

namespace Types = Sarnet_Configuration::Types;

namespace {

const char* const kXsiNamespace = "http://www.w3.org/2001/XMLSchema-instance";
const char* const kRootElement = "config";
const char* const kContentElement = "content";

const char* text(const xmlChar* s) { return reinterpret_cast<const char*>(s); }

std::string qualifiedName(const xmlNode* node) {
  std::string name = text(node->name);
  if (node->ns != nullptr && node->ns->href != nullptr && Types::namespaceUri() != text(node->ns->href)) {
    name = "{" + std::string(text(node->ns->href)) + "}" + name;
  } else if (node->ns == nullptr) {
    name = "{}" + name;
  }
  return name;
}

std::string contentTypeOf(const xmlNode& content) {
  for (const xmlAttr* a = content.properties; a != nullptr; a = a->next) {
    if (a->ns != nullptr && a->ns->href != nullptr && std::strcmp(text(a->ns->href), kXsiNamespace) == 0 &&
        std::strcmp(text(a->name), "type") == 0) {
      std::string value;
      for (const xmlNode* c = a->children; c != nullptr; c = c->next) {
        if (c->content != nullptr) {
          value += text(c->content);
        }
      }
      return value;
    }
  }
  Types::detail::throwParseError("element 'content' has no xsi:type", &content);
}

std::string errnoText(int error) { return std::strerror(error); }

[[noreturn]] void throwIoError(const std::string& what, int error) {
  throw XPlus::Exception("IO error: " + what + ": " + errnoText(error));
}

}  // namespace

void DocumentDeleter::operator()(Types::XmlNode* p) const { std::default_delete<Types::XmlNode>()(p); }

namespace detail {

std::unique_ptr<Types::XmlNode> parseDocument(const char* data, std::size_t size, const std::string& expectedType) {
  // A container's index lists its entries and nothing else: it gets the tighter size cap.
  const XmlDocPtr doc = readXmlDocument(data, size, expectedType == "TaskIndex" ? kMaxIndexBytes : kMaxDocumentBytes);
  const xmlNode* root = xmlDocGetRootElement(doc.get());
  if (root == nullptr) {
    throw XPlus::Exception("Parse error: document has no root element");
  }
  if (std::strcmp(text(root->name), kRootElement) != 0 || root->ns == nullptr || root->ns->href == nullptr ||
      Types::namespaceUri() != text(root->ns->href)) {
    throw XPlus::Exception("Root element is not the expected one",
                           {{"expected", kRootElement}, {"actual", qualifiedName(root)}});
  }
  static const std::string rootType("ConfigurationRoot");
  for (const xmlAttr* a = root->properties; a != nullptr; a = a->next) {
    const bool xsi = a->ns != nullptr && a->ns->href != nullptr && std::strcmp(text(a->ns->href), kXsiNamespace) == 0;
    if (!xsi) {
      Types::detail::throwParseError("unexpected attribute '" + std::string(text(a->name)) + "' on 'config'", root);
    }
  }
  Types::detail::ChildCursor cursor(*root, rootType);
  if (!cursor.at(kContentElement)) {
    cursor.missing(kContentElement);
  }
  const xmlNode& content = cursor.current();
  cursor.advance();
  cursor.finish();

  const std::string actual = contentTypeOf(content);
  const std::string actualType = Types::detail::xsiTypeLocalName(content, actual);
  if (!Types::isKnownTypeName(actualType)) {
    Types::detail::throwParseError("unknown type '" + actual + "' on element 'content'", &content);
  }
  if (!Types::isTypeDerivedFrom(actualType, expectedType)) {
    throw XPlus::Exception("Root element is not the expected one", {{"expected", expectedType}, {"actual", actual}});
  }
  return Types::detail::readNode(content, expectedType == Types::XmlNode::staticTypeName() ? actualType : expectedType);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in.is_open()) {
    throwIoError("cannot open " + path, errno);
  }
  // Refuse an oversized file before reading it: no document of ours comes near the cap.
  struct stat info {};
  if (::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
      static_cast<std::size_t>(info.st_size) > kMaxDocumentBytes) {
    throw XPlus::Exception("Parse error: refused: " + path + " has " + std::to_string(info.st_size) +
                           " bytes, more than " + std::to_string(kMaxDocumentBytes));
  }
  std::string data;
  try {
    // libstdc++ throws from the stream buffer on a read error (a folder, an I/O error).
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const std::exception&) {
    throwIoError("cannot read " + path, errno);
  }
  if (in.bad()) {
    throwIoError("cannot read " + path, errno);
  }
  return data;
}

std::string readStream(std::istream& in) {
  if (!in.good()) {
    throw XPlus::Exception("IO error: input stream is not readable");
  }
  std::string data;
  try {
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  } catch (const std::exception&) {
    throw XPlus::Exception("IO error: cannot read the input stream");
  }
  if (in.bad()) {
    throw XPlus::Exception("IO error: cannot read the input stream");
  }
  return data;
}

}  // namespace detail

namespace {

// Appends the whole document (declaration, wrapper and content) to `out`.
void appendDocument(std::string& out, const Types::XmlNode& content) {
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<k:";
  out += kRootElement;
  out += " xmlns:k=\"";
  out += Types::namespaceUri();
  out += "\" xmlns:xsi=\"";
  out += kXsiNamespace;
  out += "\">\n";
  Types::detail::writeNode(out, 1, kContentElement, content, true);
  out += "</k:";
  out += kRootElement;
  out += ">\n";
}

}  // namespace

std::string toString(const Types::XmlNode& content) {
  std::string out;
  out.reserve(1024);
  appendDocument(out, content);
  return out;
}

void writeStream(const Types::XmlNode& content, std::ostream& out) {
  const std::string text = toString(content);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.flush();
  if (!out) {
    throw XPlus::Exception("IO error: cannot write the document to the output stream");
  }
}

void saveFile(const Types::XmlNode& content, const std::string& path, Durability durability) {
  // Serialise first: a document that cannot be written never touches the disk. The buffer is
  // reused between saves of one thread, so a large document does not page in fresh memory each time.
  thread_local std::string buffer;
  buffer.clear();
  appendDocument(buffer, content);
  const ReplaceResult result = replaceFile(path, buffer.data(), buffer.size(), durability);
  if (!result.ok()) throw XPlus::Exception("IO error: " + result.error);
}

}  // namespace xmldoc
