// Registry of the schema's complex types: name -> factory, and the "is-a" relation of XSD
// extension. Implemented by the generated Types.cpp; used by the parser to honour xsi:type.
// Thread safety: read-only after static initialisation; every function may be called from any
// thread.
#pragma once

#include <memory>
#include <string>

#include "kolconfig/XmlNode.h"

namespace Sarnet_Configuration {
namespace Types {

// The target namespace of the schema ("http://www.olvane.com/kolconfig").
const std::string& namespaceUri();

// True when `name` (unqualified) is a complex type of the schema.
bool isKnownTypeName(const std::string& name);

// True when `name` is a known type declared abstract in the schema.
bool isAbstractTypeName(const std::string& name);

// True when `type` is `base` or extends it (directly or not). Every known type is derived
// from "XmlNode". False when either name is unknown.
bool isTypeDerivedFrom(const std::string& type, const std::string& base);

// A new default-constructed node of type `name`; nullptr when the name is unknown or abstract.
std::unique_ptr<XmlNode> createNodeByTypeName(const std::string& name);

// `qname` without its namespace prefix: everything up to and including the first ':' is
// dropped ("ns:Foo" -> "Foo", "Foo" -> "Foo").
std::string localTypeName(const std::string& qname);

}  // namespace Types
}  // namespace Sarnet_Configuration
