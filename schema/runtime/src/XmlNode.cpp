#include "kolconfig/XmlNode.h"

namespace Sarnet_Configuration {
namespace Types {

XmlNode::~XmlNode() = default;

const std::string& XmlNode::staticTypeName() {
  static const std::string name("XmlNode");
  return name;
}

const std::string& XmlNode::typeName() const { return staticTypeName(); }

std::unique_ptr<XmlNode> XmlNode::cloneNode() const { return std::make_unique<XmlNode>(*this); }

bool XmlNode::knowsAttribute_(const std::string& /*name*/) const { return false; }

void XmlNode::parseAttributes_(const _xmlNode& /*element*/) {}

void XmlNode::parseChildren_(detail::ChildCursor& /*cursor*/) {}

void XmlNode::writeAttributes_(std::string& /*out*/) const {}

void XmlNode::writeChildren_(std::string& /*out*/, int /*depth*/) const {}

}  // namespace Types
}  // namespace Sarnet_Configuration
