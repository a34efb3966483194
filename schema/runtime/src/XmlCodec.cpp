#include "kolconfig/XmlCodec.h"

#include <libxml/tree.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>
#include <type_traits>

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

// Length of the valid UTF-8 sequence at p that XML 1.0 can carry; 0 when there is none.
std::size_t utf8SequenceLength(const unsigned char* p, std::size_t available) {
  const unsigned char c = p[0];
  auto cont = [&](std::size_t i, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
    return i < available && p[i] >= lo && p[i] <= hi;
  };
  if (c >= 0xC2 && c <= 0xDF) {
    return cont(1) ? 2 : 0;
  }
  if (c == 0xE0) {
    return cont(1, 0xA0) && cont(2) ? 3 : 0;
  }
  if (c == 0xED) {
    return cont(1, 0x80, 0x9F) && cont(2) ? 3 : 0;
  }
  if (c >= 0xE1 && c <= 0xEF) {
    if (!(cont(1) && cont(2))) {
      return 0;
    }
    // U+FFFE and U+FFFF are not XML characters.
    if (c == 0xEF && p[1] == 0xBF && (p[2] == 0xBE || p[2] == 0xBF)) {
      return 0;
    }
    return 3;
  }
  if (c == 0xF0) {
    return cont(1, 0x90) && cont(2) && cont(3) ? 4 : 0;
  }
  if (c >= 0xF1 && c <= 0xF3) {
    return cont(1) && cont(2) && cont(3) ? 4 : 0;
  }
  if (c == 0xF4) {
    return cont(1, 0x80, 0x8F) && cont(2) && cont(3) ? 4 : 0;
  }
  return 0;
}

// Appends `value` with XML escaping; false when it holds bytes that XML 1.0 cannot carry.
// Runs of plain characters are copied in one piece.
bool appendEscaped(std::string& out, const std::string& value, bool attribute) {
  const unsigned char* const p = reinterpret_cast<const unsigned char*>(value.data());
  const std::size_t n = value.size();
  std::size_t runStart = 0;
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c >= 0x80) {
      const std::size_t len = utf8SequenceLength(p + i, n - i);
      if (len == 0) {
        return false;
      }
      i += len;
      continue;
    }
    const char* replacement = nullptr;
    switch (c) {
      case '&':
        replacement = "&amp;";
        break;
      case '<':
        replacement = "&lt;";
        break;
      case '>':
        replacement = "&gt;";
        break;
      case '\r':
        replacement = "&#13;";
        break;  // a raw CR would be normalised away
      case '"':
        replacement = attribute ? "&quot;" : nullptr;
        break;
      case '\n':
        replacement = attribute ? "&#10;" : nullptr;
        break;
      case '\t':
        replacement = attribute ? "&#9;" : nullptr;
        break;
      default:
        if (c < 0x20) {
          return false;
        }
        break;
    }
    if (replacement != nullptr) {
      out.append(value, runStart, i - runStart);
      out += replacement;
      runStart = i + 1;
    }
    ++i;
  }
  out.append(value, runStart, n - runStart);
  return true;
}

void indent(std::string& out, int depth) { out.append(static_cast<std::size_t>(depth) * 2, ' '); }

template <class Number>
std::string formatNumber(Number value) {
  char buffer[32];
  const std::to_chars_result result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string formatDouble(double value) {
  if (std::isnan(value)) {
    return "NaN";
  }
  if (std::isinf(value)) {
    return value > 0 ? "INF" : "-INF";
  }
  return formatNumber(value);  // shortest text that reads back to the same double
}

void appendSimple(std::string& out, int depth, const char* name, const std::string& lexical) {
  indent(out, depth);
  out += "<k:";
  out += name;
  out += '>';
  out += lexical;
  out += "</k:";
  out += name;
  out += ">\n";
}

void appendAttribute(std::string& out, const char* name, const std::string& lexical) {
  out += ' ';
  out += name;
  out += "=\"";
  out += lexical;
  out += '"';
}

bool findXsiType(const xmlNode& element, std::string& out) {
  for (const xmlAttr* a = element.properties; a != nullptr; a = a->next) {
    if (isXsiNamespace(a->ns) && std::strcmp(text(a->name), "type") == 0) {
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
  for (const xmlAttr* a = element.properties; a != nullptr; a = a->next) {
    if (a->ns == nullptr && std::strcmp(text(a->name), name) == 0) {
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

// ---------------------------------------------------------------- writing

void writeValue(std::string& out, int depth, const char* name, const std::string& value) {
  indent(out, depth);
  out += "<k:";
  out += name;
  out += '>';
  if (!appendEscaped(out, value, false)) {
    throw XPlus::Exception("Serialisation error: the text of element '" + std::string(name) +
                           "' is not valid UTF-8 or holds a character that XML cannot carry");
  }
  out += "</k:";
  out += name;
  out += ">\n";
}

void writeValue(std::string& out, int depth, const char* name, int32_t value) {
  appendSimple(out, depth, name, formatNumber(value));
}

void writeValue(std::string& out, int depth, const char* name, int64_t value) {
  appendSimple(out, depth, name, formatNumber(value));
}

void writeValue(std::string& out, int depth, const char* name, uint32_t value) {
  appendSimple(out, depth, name, formatNumber(value));
}

void writeValue(std::string& out, int depth, const char* name, uint64_t value) {
  appendSimple(out, depth, name, formatNumber(value));
}

void writeValue(std::string& out, int depth, const char* name, bool value) {
  appendSimple(out, depth, name, value ? "true" : "false");
}

void writeValue(std::string& out, int depth, const char* name, double value) {
  appendSimple(out, depth, name, formatDouble(value));
}

void writeAttribute(std::string& out, const char* name, const std::string& value) {
  out += ' ';
  out += name;
  out += "=\"";
  if (!appendEscaped(out, value, true)) {
    throw XPlus::Exception("Serialisation error: the value of attribute '" + std::string(name) +
                           "' is not valid UTF-8 or holds a character that XML cannot carry");
  }
  out += '"';
}

void writeAttribute(std::string& out, const char* name, int32_t value) {
  appendAttribute(out, name, formatNumber(value));
}

void writeAttribute(std::string& out, const char* name, int64_t value) {
  appendAttribute(out, name, formatNumber(value));
}

void writeAttribute(std::string& out, const char* name, uint32_t value) {
  appendAttribute(out, name, formatNumber(value));
}

void writeAttribute(std::string& out, const char* name, uint64_t value) {
  appendAttribute(out, name, formatNumber(value));
}

void writeAttribute(std::string& out, const char* name, bool value) {
  appendAttribute(out, name, value ? "true" : "false");
}

void writeAttribute(std::string& out, const char* name, double value) {
  appendAttribute(out, name, formatDouble(value));
}

void writeNode(std::string& out, int depth, const char* name, const XmlNode& node, bool withType) {
  indent(out, depth);
  out += "<k:";
  out += name;
  if (withType) {
    out += " xsi:type=\"k:";
    out += node.typeName();
    out += '"';
  }
  node.writeAttributes_(out);
  const std::size_t mark = out.size();
  out += ">\n";
  node.writeChildren_(out, depth + 1);
  if (out.size() == mark + 2) {
    out.resize(mark);
    out += "/>\n";
  } else {
    indent(out, depth);
    out += "</k:";
    out += name;
    out += ">\n";
  }
}

void missingOnWrite(const char* name, const std::string& ownerType) {
  throw XPlus::Exception("Serialisation error: required element '" + std::string(name) + "' of " + ownerType +
                         " is missing");
}

}  // namespace detail
}  // namespace Types
}  // namespace Sarnet_Configuration
