// Reading configuration documents: the child cursor, attribute and text access, value conversion
// and typed node creation. Serialising is in XmlCodec.cpp.
#include "kolconfig/XmlCodec.h"

#include <libxml/tree.h>

#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>

#include "kolconfig/TypeRegistry.h"

namespace Sarnet_Configuration {
namespace Types {
namespace detail {
namespace {

const char* const kXsiNamespace = "http://www.w3.org/2001/XMLSchema-instance";

const char* text(const xmlChar* s) { return reinterpret_cast<const char*>(s); }

bool isXmlBlank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool isBlank(const xmlChar* s) {
  if (s == nullptr) {
    return true;
  }
  for (; *s != 0; ++s) {
    if (!isXmlBlank(*s)) {
      return false;
    }
  }
  return true;
}

bool isConfigNamespace(const xmlNs* ns) {
  return ns != nullptr && ns->href != nullptr && namespaceUri() == text(ns->href);
}

bool isXsiNamespace(const xmlNs* ns) {
  return ns != nullptr && ns->href != nullptr && std::strcmp(text(ns->href), kXsiNamespace) == 0;
}

// 'name', with its namespace when it is not the configuration namespace.
std::string describe(const xmlNode* node) {
  std::string out = "'" + std::string(text(node->name)) + "'";
  if (node->ns == nullptr || node->ns->href == nullptr) {
    out += " (no namespace)";
  } else if (!isConfigNamespace(node->ns)) {
    out += " (namespace " + std::string(text(node->ns->href)) + ")";
  }
  return out;
}

std::string trimmed(const std::string& s) {
  std::size_t begin = 0;
  std::size_t end = s.size();
  while (begin < end && isXmlBlank(static_cast<unsigned char>(s[begin]))) {
    ++begin;
  }
  while (end > begin && isXmlBlank(static_cast<unsigned char>(s[end - 1]))) {
    --end;
  }
  return s.substr(begin, end - begin);
}

[[noreturn]] void invalidValue(const std::string& value, const char* xsdType, const char* field,
                               const std::string& ownerType) {
  throwParseError("invalid " + std::string(xsdType) + " value '" + value + "' for '" + field + "' of " + ownerType,
                  nullptr);
}

template <class Int>
void convertInteger(const std::string& value, Int& out, const char* xsdType, const char* field,
                    const std::string& ownerType) {
  const std::string t = trimmed(value);
  const char* begin = t.data();
  const char* const end = begin + t.size();
  if (begin != end && *begin == '+') {
    ++begin;
    if (begin != end && (*begin == '+' || *begin == '-')) {
      invalidValue(value, xsdType, field, ownerType);
    }
  }
  Int parsed{};
  const std::from_chars_result result = std::from_chars(begin, end, parsed);
  if (begin == end || result.ec != std::errc() || result.ptr != end) {
    invalidValue(value, xsdType, field, ownerType);
  }
  out = parsed;
}

// Puts the text of the first attribute of `element` that `matches` into `out`. Returns false
// (`out` untouched) when no attribute matches.
template <class Matches>
bool findAttributeWhere(const xmlNode& element, Matches matches, std::string& out) {
  for (const xmlAttr* a = element.properties; a != nullptr; a = a->next) {
    if (matches(*a)) {
      out.clear();
      for (const xmlNode* c = a->children; c != nullptr; c = c->next) {
        if (c->content != nullptr) {
          out += text(c->content);
        }
      }
      return true;
    }
  }
  return false;
}

bool findXsiType(const xmlNode& element, std::string& out) {
  return findAttributeWhere(
      element, [](const xmlAttr& a) { return isXsiNamespace(a.ns) && std::strcmp(text(a.name), "type") == 0; }, out);
}

bool isAllowedXsiAttribute(const char* name) {
  return std::strcmp(name, "type") == 0 || std::strcmp(name, "schemaLocation") == 0 ||
         std::strcmp(name, "noNamespaceSchemaLocation") == 0;
}

}  // namespace

void throwParseError(const std::string& reason, const _xmlNode* where) {
  std::string message = "Parse error: " + reason;
  if (where != nullptr) {
    const long line = xmlGetLineNo(where);
    if (line > 0) {
      message += " (line " + std::to_string(line) + ")";
    }
  }
  throw XPlus::Exception(message);
}

// ---------------------------------------------------------------- ChildCursor

ChildCursor::ChildCursor(const _xmlNode& parent, const std::string& ownerType)
    : m_current(parent.children), m_parent(parent), m_ownerType(ownerType) {
  skipToElement();
}

void ChildCursor::skipToElement() {
  while (m_current != nullptr && m_current->type != XML_ELEMENT_NODE) {
    switch (m_current->type) {
      case XML_TEXT_NODE:
      case XML_CDATA_SECTION_NODE:
        if (!isBlank(m_current->content)) {
          throwParseError("unexpected text in " + m_ownerType, m_current);
        }
        break;
      case XML_COMMENT_NODE:
      case XML_PI_NODE:
        break;
      default:
        throwParseError("unexpected node in " + m_ownerType, m_current);
    }
    m_current = m_current->next;
  }
}

bool ChildCursor::at(const char* name) const {
  return m_current != nullptr && isConfigNamespace(m_current->ns) && std::strcmp(text(m_current->name), name) == 0;
}

const _xmlNode& ChildCursor::current() const { return *m_current; }

void ChildCursor::advance() {
  m_current = m_current->next;
  skipToElement();
}

void ChildCursor::missing(const char* name) const {
  if (m_current != nullptr) {
    throwParseError("missing element '" + std::string(name) + "' in " + m_ownerType + ", found " + describe(m_current),
                    m_current);
  }
  throwParseError("missing element '" + std::string(name) + "' in " + m_ownerType, &m_parent);
}

void ChildCursor::finish() const {
  if (m_current != nullptr) {
    throwParseError("unexpected element " + describe(m_current) + " in " + m_ownerType, m_current);
  }
}

// ---------------------------------------------------------------- reading

std::string readText(const _xmlNode& element) {
  for (const xmlAttr* a = element.properties; a != nullptr; a = a->next) {
    if (!isXsiNamespace(a->ns)) {
      throwParseError("unexpected attribute '" + std::string(text(a->name)) + "' on element " + describe(&element),
                      &element);
    }
  }
  std::string out;
  for (const xmlNode* c = element.children; c != nullptr; c = c->next) {
    switch (c->type) {
      case XML_TEXT_NODE:
      case XML_CDATA_SECTION_NODE:
        if (c->content != nullptr) {
          out += text(c->content);
        }
        break;
      case XML_COMMENT_NODE:
      case XML_PI_NODE:
        break;
      default:
        throwParseError("element " + describe(&element) + " must hold text only", c);
    }
  }
  return out;
}

bool findAttribute(const _xmlNode& element, const char* name, std::string& out) {
  return findAttributeWhere(
      element, [name](const xmlAttr& a) { return a.ns == nullptr && std::strcmp(text(a.name), name) == 0; }, out);
}

void missingAttribute(const char* name, const std::string& ownerType, const _xmlNode& element) {
  throwParseError("missing attribute '" + std::string(name) + "' of " + ownerType, &element);
}

void convert(const std::string& value, int32_t& out, const char* field, const std::string& ownerType) {
  convertInteger(value, out, "xs:int", field, ownerType);
}

void convert(const std::string& value, int64_t& out, const char* field, const std::string& ownerType) {
  convertInteger(value, out, "xs:long", field, ownerType);
}

void convert(const std::string& value, uint32_t& out, const char* field, const std::string& ownerType) {
  convertInteger(value, out, "xs:unsignedInt", field, ownerType);
}

void convert(const std::string& value, uint64_t& out, const char* field, const std::string& ownerType) {
  convertInteger(value, out, "xs:unsignedLong", field, ownerType);
}

void convert(const std::string& value, bool& out, const char* field, const std::string& ownerType) {
  const std::string t = trimmed(value);
  if (t == "true" || t == "1") {
    out = true;
  } else if (t == "false" || t == "0") {
    out = false;
  } else {
    invalidValue(value, "xs:boolean", field, ownerType);
  }
}

void convert(const std::string& value, double& out, const char* field, const std::string& ownerType) {
  const std::string t = trimmed(value);
  if (t == "INF" || t == "+INF") {
    out = std::numeric_limits<double>::infinity();
    return;
  }
  if (t == "-INF") {
    out = -std::numeric_limits<double>::infinity();
    return;
  }
  if (t == "NaN") {
    out = std::numeric_limits<double>::quiet_NaN();
    return;
  }
  // Only the decimal and exponent forms of xs:double; from_chars alone would take "inf".
  if (t.empty() || t.find_first_not_of("0123456789+-.eE") != std::string::npos) {
    invalidValue(value, "xs:double", field, ownerType);
  }
  const char* begin = t.data();
  const char* const end = begin + t.size();
  if (*begin == '+') {
    ++begin;
  }
  double parsed = 0.0;
  const std::from_chars_result result = std::from_chars(begin, end, parsed, std::chars_format::general);
  if (begin == end || result.ec != std::errc() || result.ptr != end) {
    invalidValue(value, "xs:double", field, ownerType);
  }
  out = parsed;
}

std::string xsiTypeLocalName(const _xmlNode& element, const std::string& qname) {
  const std::string::size_type colon = qname.find(':');
  if (colon != std::string::npos) {
    const std::string prefix = qname.substr(0, colon);
    if (xmlSearchNs(element.doc, const_cast<xmlNode*>(&element), reinterpret_cast<const xmlChar*>(prefix.c_str())) ==
        nullptr) {
      throwParseError("undeclared namespace prefix '" + prefix + "' in xsi:type of element " + describe(&element),
                      &element);
    }
  }
  return localTypeName(qname);
}

std::unique_ptr<XmlNode> readNode(const _xmlNode& element, const std::string& declaredType) {
  std::string typeName = declaredType;
  std::string xsiType;
  if (findXsiType(element, xsiType)) {
    typeName = xsiTypeLocalName(element, trimmed(xsiType));
    if (!isKnownTypeName(typeName)) {
      throwParseError("unknown type '" + xsiType + "' on element " + describe(&element), &element);
    }
    if (!isTypeDerivedFrom(typeName, declaredType)) {
      throwParseError(
          "type '" + typeName + "' of element " + describe(&element) + " is not derived from " + declaredType,
          &element);
    }
  }
  if (isAbstractTypeName(typeName)) {
    throwParseError(
        "element " + describe(&element) + " needs an xsi:type naming a concrete type derived from " + typeName,
        &element);
  }
  std::unique_ptr<XmlNode> node = createNodeByTypeName(typeName);
  if (!node) {
    throwParseError("unknown type '" + typeName + "' on element " + describe(&element), &element);
  }
  parseInto(element, *node);
  return node;
}

void parseInto(const _xmlNode& element, XmlNode& node) {
  for (const xmlAttr* a = element.properties; a != nullptr; a = a->next) {
    const char* name = text(a->name);
    const bool known =
        a->ns == nullptr ? node.knowsAttribute_(name) : isXsiNamespace(a->ns) && isAllowedXsiAttribute(name);
    if (!known) {
      throwParseError("unexpected attribute '" + std::string(name) + "' on element " + describe(&element) + " of " +
                          node.typeName(),
                      &element);
    }
  }
  node.parseAttributes_(element);
  ChildCursor cursor(element, node.typeName());
  node.parseChildren_(cursor);
  cursor.finish();
}

}  // namespace detail
}  // namespace Types
}  // namespace Sarnet_Configuration
