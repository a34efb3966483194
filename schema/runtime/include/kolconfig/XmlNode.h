// Types::XmlNode: the root of every generated configuration-schema class.
// Thread safety: none of its own; a node (and its subtree) must not be modified while another
// thread reads it. Distinct nodes are independent.
#pragma once

#include <memory>
#include <string>

struct _xmlNode;  // libxml2's element node; only the codec hooks below mention it

namespace Sarnet_Configuration {
namespace Types {

namespace detail {
class ChildCursor;
}

class XmlNode {
 public:
  XmlNode() = default;
  XmlNode(const XmlNode&) = default;
  XmlNode& operator=(const XmlNode&) = default;
  XmlNode(XmlNode&&) noexcept = default;
  XmlNode& operator=(XmlNode&&) noexcept = default;
  virtual ~XmlNode();

  // "XmlNode": every schema type counts as derived from it.
  static const std::string& staticTypeName();

  // Unqualified schema type name of the dynamic type.
  virtual const std::string& typeName() const;

  // Deep copy of the dynamic type; the caller owns the result.
  virtual std::unique_ptr<XmlNode> cloneNode() const;

  // --- Codec hooks, overridden by the generated classes. Not for application code. ---
  // Each override handles its own fields after delegating to its base, so base fields come
  // first, as XSD extension requires.

  // True when `name` is an (unqualified) attribute of this type or of a base.
  virtual bool knowsAttribute_(const std::string& name) const;
  // Reads the attributes of `element`; throws XPlus::Exception ("Parse error: ...").
  virtual void parseAttributes_(const _xmlNode& element);
  // Consumes this type's child elements from `cursor`, in schema order; throws XPlus::Exception.
  virtual void parseChildren_(detail::ChildCursor& cursor);
  // Appends ` name="value"` for every present attribute; throws XPlus::Exception when a value
  // cannot be written as XML.
  virtual void writeAttributes_(std::string& out) const;
  // Appends the child elements, indented by `depth` levels; throws XPlus::Exception when a
  // required child is missing or a value cannot be written as XML.
  virtual void writeChildren_(std::string& out, int depth) const;
};

}  // namespace Types
}  // namespace Sarnet_Configuration
