// Reading and writing helpers shared by the generated classes (Types.cpp) and the document
// functions. Internal to the kolconfig library: application code uses kolconfig/XmlDoc.h.
// Thread safety: stateless functions; a cursor belongs to one parse.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "kolconfig/XPlusException.h"
#include "kolconfig/XmlNode.h"

namespace Sarnet_Configuration {
namespace Types {
namespace detail {

// Throws XPlus::Exception("Parse error: " + reason [+ " (line N)"]).
[[noreturn]] void throwParseError(const std::string& reason, const _xmlNode* where);

// The local type name of the xsi:type value `qname` found on `element`: the prefix is ignored,
// but it must be declared in scope. Throws the parse error "undeclared namespace prefix 'P' in
// xsi:type ..." otherwise.
std::string xsiTypeLocalName(const _xmlNode& element, const std::string& qname);

// Walks the element children of one element in document order, skipping comments, processing
// instructions and blank text. Non-blank text between elements is a parse error.
class ChildCursor {
 public:
  // `ownerType` names the type being read, for error messages; it must outlive the cursor.
  ChildCursor(const _xmlNode& parent, const std::string& ownerType);

  // True when the current child is the element `name` in the configuration namespace.
  bool at(const char* name) const;

  // The current child element. REQUIRES: at(...) returned true.
  const _xmlNode& current() const;

  // Moves to the next child element.
  void advance();

  // Throws the parse error for the required element `name` that is not the current child.
  [[noreturn]] void missing(const char* name) const;

  // Throws a parse error naming the first child that no field consumed; returns when none is
  // left.
  void finish() const;

 private:
  void skipToElement();

  const _xmlNode* m_current;
  const _xmlNode& m_parent;
  const std::string& m_ownerType;
};

// ---- reading ----

// Text content of a simple-typed element (text and CDATA, exactly as written). Throws a parse
// error when it holds child elements or attributes other than xsi:*.
std::string readText(const _xmlNode& element);

// Finds the unqualified attribute `name`; on success stores its value in `out` and returns true.
bool findAttribute(const _xmlNode& element, const char* name, std::string& out);

// Throws the parse error for a required attribute that is absent.
[[noreturn]] void missingAttribute(const char* name, const std::string& ownerType, const _xmlNode& element);

// Convert XSD lexical forms (surrounding XML blanks allowed); throw a parse error naming
// `field` and `ownerType` when `text` is not a valid value of the type.
void convert(const std::string& text, int32_t& out, const char* field, const std::string& ownerType);
void convert(const std::string& text, int64_t& out, const char* field, const std::string& ownerType);
void convert(const std::string& text, uint32_t& out, const char* field, const std::string& ownerType);
void convert(const std::string& text, uint64_t& out, const char* field, const std::string& ownerType);
void convert(const std::string& text, bool& out, const char* field, const std::string& ownerType);
void convert(const std::string& text, double& out, const char* field, const std::string& ownerType);

// Reads a complex element whose declared type is `declaredType`: the node's type is its
// xsi:type (prefix ignored) when present, else the declared type. Unknown, abstract or
// unrelated types are parse errors. Returns the new node, owned by the caller.
std::unique_ptr<XmlNode> readNode(const _xmlNode& element, const std::string& declaredType);

// readNode, typed. C must be a generated class.
template <class C>
std::unique_ptr<C> readNodeAs(const _xmlNode& element) {
  std::unique_ptr<XmlNode> node = readNode(element, C::staticTypeName());
  if (dynamic_cast<C*>(node.get()) == nullptr) {
    throwParseError("type " + node->typeName() + " is not a " + C::staticTypeName(), &element);
  }
  // The check above makes the downcast safe; ownership moves from `node` to the result.
  return std::unique_ptr<C>(static_cast<C*>(node.release()));
}

// Fills `node` from `element`: attributes (unknown ones are errors), then the children.
void parseInto(const _xmlNode& element, XmlNode& node);

// ---- writing ----

// Append a simple element `<k:name>value</k:name>` on its own line at `depth`.
void writeValue(std::string& out, int depth, const char* name, const std::string& value);
void writeValue(std::string& out, int depth, const char* name, int32_t value);
void writeValue(std::string& out, int depth, const char* name, int64_t value);
void writeValue(std::string& out, int depth, const char* name, uint32_t value);
void writeValue(std::string& out, int depth, const char* name, uint64_t value);
void writeValue(std::string& out, int depth, const char* name, bool value);
void writeValue(std::string& out, int depth, const char* name, double value);

// Append ` name="value"`.
void writeAttribute(std::string& out, const char* name, const std::string& value);
void writeAttribute(std::string& out, const char* name, int32_t value);
void writeAttribute(std::string& out, const char* name, int64_t value);
void writeAttribute(std::string& out, const char* name, uint32_t value);
void writeAttribute(std::string& out, const char* name, uint64_t value);
void writeAttribute(std::string& out, const char* name, bool value);
void writeAttribute(std::string& out, const char* name, double value);

// Append the complex element `name` holding `node`; with `withType` it carries
// xsi:type="k:" + node.typeName().
void writeNode(std::string& out, int depth, const char* name, const XmlNode& node, bool withType);

// Throws XPlus::Exception("Serialisation error: ...") for a required child that is absent.
[[noreturn]] void missingOnWrite(const char* name, const std::string& ownerType);

}  // namespace detail
}  // namespace Types
}  // namespace Sarnet_Configuration
