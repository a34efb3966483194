#!/usr/bin/env python3
"""Generates the C++ classes of the configuration schema (Sarnet_Configuration::Types).

Usage: generate.py SCHEMA.xsd OUTPUT_DIR

Writes OUTPUT_DIR/Types.h and OUTPUT_DIR/Types.cpp. Every class, enumeration and the type
registry come from the schema; the hand-written runtime (kolconfig/XmlNode.h, XmlCodec.h,
TypeRegistry.h) supplies the base class and the reading/writing primitives.

The generator accepts the XSD subset the schema uses and rejects anything else loudly:
  - xs:simpleType with xs:restriction of a built-in type, optionally with xs:enumeration facets
    (an enumeration becomes a C++ enum struct; fields of that type are held as text);
  - xs:complexType (optionally abstract) holding an xs:sequence of local xs:element and
    xs:attribute declarations, directly or in xs:complexContent/xs:extension;
  - global xs:element declarations (the document root).
Python 3 standard library only.
"""

import io
import os
import re
import sys
import xml.etree.ElementTree as ET

XS_NS = "http://www.w3.org/2001/XMLSchema"
XS = "{%s}" % XS_NS

# Built-in simple types: C++ type, default value, whether the C++ type is a class type.
BUILTINS = {
    "string": ("std::string", None),
    "normalizedString": ("std::string", None),
    "token": ("std::string", None),
    "anyURI": ("std::string", None),
    "base64Binary": ("std::string", None),
    "hexBinary": ("std::string", None),
    "dateTime": ("std::string", None),
    "int": ("int32_t", "0"),
    "long": ("int64_t", "0"),
    "unsignedInt": ("uint32_t", "0"),
    "unsignedLong": ("uint64_t", "0"),
    "boolean": ("bool", "false"),
    "double": ("double", "0.0"),
    "float": ("double", "0.0"),
}

CPP_KEYWORDS = {
    "alignas", "alignof", "and", "and_eq", "asm", "auto", "bitand", "bitor", "bool", "break", "case",
    "catch", "char", "class", "compl", "const", "constexpr", "const_cast", "continue", "decltype",
    "default", "delete", "do", "double", "dynamic_cast", "else", "enum", "explicit", "export",
    "extern", "false", "float", "for", "friend", "goto", "if", "inline", "int", "long", "mutable",
    "namespace", "new", "noexcept", "not", "not_eq", "nullptr", "operator", "or", "or_eq", "private",
    "protected", "public", "register", "reinterpret_cast", "return", "short", "signed", "sizeof",
    "static", "static_assert", "static_cast", "struct", "switch", "template", "this", "throw",
    "true", "try", "typedef", "typeid", "typename", "union", "unsigned", "using", "virtual", "void",
    "volatile", "wchar_t", "while",
}

IDENTIFIER = re.compile(r"^[A-Za-z_][A-Za-z0-9_]*$")


class SchemaError(Exception):
    pass


class Field:
    def __init__(self, name, is_attribute, type_ref, optional, repeated):
        self.name = name
        self.is_attribute = is_attribute
        self.type_ref = type_ref  # (namespace, local name)
        self.optional = optional
        self.repeated = repeated
        # resolved later
        self.complex_type = None  # ComplexType when the field is a complex element
        self.cpp = None  # C++ type of a simple field
        self.default = None


class ComplexType:
    def __init__(self, name, abstract, base_ref, fields):
        self.name = name
        self.abstract = abstract
        self.base_ref = base_ref
        self.fields = fields
        self.base = None
        self.derived = []

    def chain(self):
        """This type and its bases, most derived first."""
        t = self
        while t is not None:
            yield t
            t = t.base


class EnumType:
    def __init__(self, name, values):
        self.name = name
        self.values = values


class Schema:
    def __init__(self):
        self.target_ns = None
        self.complex_types = {}
        self.order = []  # complex type names in document order
        self.enums = []
        self.simple_aliases = {}  # simple type name -> built-in local name
        self.root_elements = []


def fail(message):
    raise SchemaError(message)


def read_namespaces(path):
    """Prefix -> URI of every namespace declaration (ElementTree drops them)."""
    prefixes = {}
    for _, (prefix, uri) in ET.iterparse(path, events=("start-ns",)):
        if prefix in prefixes and prefixes[prefix] != uri:
            fail("prefix %r is bound to two namespaces; the generator needs one binding per prefix" % prefix)
        prefixes[prefix] = uri
    return prefixes


def resolve_qname(text, prefixes, where):
    if ":" in text:
        prefix, local = text.split(":", 1)
    else:
        prefix, local = "", text
    if prefix not in prefixes:
        fail("%s: unknown namespace prefix in %r" % (where, text))
    return (prefixes[prefix], local)


def check_identifier(name, where, bare=True):
    """`bare` names are used as C++ identifiers as they are (types, enumerators); field names
    only ever appear with a prefix (get_, m_ ...), so they may be C++ keywords."""
    if not IDENTIFIER.match(name) or (bare and name in CPP_KEYWORDS):
        fail("%s: %r cannot be used as a C++ identifier" % (where, name))


def only_children(element, allowed, where):
    for child in element:
        if child.tag is ET.Comment or not isinstance(child.tag, str):
            continue
        if child.tag == XS + "annotation":
            continue
        if child.tag not in allowed:
            fail("%s: unsupported construct <%s>" % (where, child.tag.replace(XS, "xs:")))


def parse_occurs(element, where):
    min_occurs = element.get("minOccurs", "1")
    max_occurs = element.get("maxOccurs", "1")
    if min_occurs not in ("0", "1"):
        fail("%s: minOccurs must be 0 or 1" % where)
    if max_occurs == "unbounded":
        repeated = True
    else:
        try:
            repeated = int(max_occurs) > 1
        except ValueError:
            fail("%s: bad maxOccurs %r" % (where, max_occurs))
        if int(max_occurs) < 1:
            fail("%s: maxOccurs must be at least 1" % where)
    return min_occurs == "0", repeated


def parse_fields(container, prefixes, owner):
    """Fields of an xs:complexType or xs:extension: the sequence's elements, then attributes."""
    elements = []
    attributes = []
    only_children(container, {XS + "sequence", XS + "attribute"}, owner)
    sequences = container.findall(XS + "sequence")
    if len(sequences) > 1:
        fail("%s: more than one xs:sequence" % owner)
    for sequence in sequences:
        only_children(sequence, {XS + "element"}, owner + "/sequence")
        for element in sequence.findall(XS + "element"):
            name = element.get("name")
            where = "%s/%s" % (owner, name)
            if name is None or element.get("ref") is not None:
                fail("%s: element declarations need a name and a type (no ref)" % owner)
            if element.get("type") is None:
                fail("%s: anonymous element types are not supported" % where)
            only_children(element, set(), where)
            check_identifier(name, where, bare=False)
            optional, repeated = parse_occurs(element, where)
            elements.append(Field(name, False, resolve_qname(element.get("type"), prefixes, where), optional, repeated))
    for attribute in container.findall(XS + "attribute"):
        name = attribute.get("name")
        where = "%s/@%s" % (owner, name)
        if name is None or attribute.get("type") is None:
            fail("%s: attributes need a name and a type" % owner)
        only_children(attribute, set(), where)
        check_identifier(name, where, bare=False)
        use = attribute.get("use", "optional")
        if use not in ("optional", "required"):
            fail("%s: unsupported use=%r" % (where, use))
        attributes.append(Field(name, True, resolve_qname(attribute.get("type"), prefixes, where), use == "optional", False))
    return elements + attributes


def load_schema(path):
    prefixes = read_namespaces(path)
    root = ET.parse(path).getroot()
    if root.tag != XS + "schema":
        fail("%s is not an XML schema" % path)
    schema = Schema()
    schema.target_ns = root.get("targetNamespace")
    if not schema.target_ns:
        fail("the schema needs a targetNamespace")
    if root.get("elementFormDefault") != "qualified":
        fail("the generator expects elementFormDefault=\"qualified\"")
    if root.get("attributeFormDefault", "unqualified") != "unqualified":
        fail("the generator expects unqualified attributes")

    only_children(root, {XS + "simpleType", XS + "complexType", XS + "element"}, "schema")
    for node in root:
        if not isinstance(node.tag, str):
            continue
        if node.tag == XS + "simpleType":
            name = node.get("name")
            check_identifier(name, "simpleType")
            only_children(node, {XS + "restriction"}, name)
            restriction = node.find(XS + "restriction")
            if restriction is None:
                fail("%s: only xs:restriction simple types are supported" % name)
            base = resolve_qname(restriction.get("base", ""), prefixes, name)
            if base[0] != XS_NS or base[1] not in BUILTINS:
                fail("%s: restriction base must be a supported built-in type" % name)
            values = [e.get("value") for e in restriction.findall(XS + "enumeration")]
            if values:
                for v in values:
                    check_identifier(v, "%s enumeration" % name)
                if len(set(values)) != len(values):
                    fail("%s: duplicate enumeration values" % name)
                schema.enums.append(EnumType(name, values))
            schema.simple_aliases[name] = base[1]
        elif node.tag == XS + "complexType":
            name = node.get("name")
            check_identifier(name, "complexType")
            if name in schema.complex_types:
                fail("complex type %s declared twice" % name)
            abstract = node.get("abstract", "false") == "true"
            if node.get("mixed", "false") == "true":
                fail("%s: mixed content is not supported" % name)
            complex_content = node.find(XS + "complexContent")
            if complex_content is not None:
                only_children(node, {XS + "complexContent"}, name)
                only_children(complex_content, {XS + "extension"}, name)
                extension = complex_content.find(XS + "extension")
                if extension is None:
                    fail("%s: only xs:extension is supported in xs:complexContent" % name)
                base_ref = resolve_qname(extension.get("base", ""), prefixes, name)
                fields = parse_fields(extension, prefixes, name)
            else:
                base_ref = None
                fields = parse_fields(node, prefixes, name)
            schema.complex_types[name] = ComplexType(name, abstract, base_ref, fields)
            schema.order.append(name)
        elif node.tag == XS + "element":
            name = node.get("name")
            type_ref = resolve_qname(node.get("type", ""), prefixes, "element " + str(name))
            schema.root_elements.append((name, type_ref))

    resolve(schema)
    return schema


def resolve(schema):
    ns = schema.target_ns
    for t in schema.complex_types.values():
        if t.base_ref is not None:
            if t.base_ref[0] != ns or t.base_ref[1] not in schema.complex_types:
                fail("%s: unknown base type %s" % (t.name, t.base_ref[1]))
            t.base = schema.complex_types[t.base_ref[1]]
            t.base.derived.append(t)
    # cycles in the base relation
    for t in schema.complex_types.values():
        seen = set()
        for b in t.chain():
            if b.name in seen:
                fail("%s: circular extension" % t.name)
            seen.add(b.name)
    for t in schema.complex_types.values():
        for f in t.fields:
            where = "%s/%s" % (t.name, f.name)
            tns, local = f.type_ref
            if tns == XS_NS:
                if local not in BUILTINS:
                    fail("%s: unsupported built-in type xs:%s" % (where, local))
                f.cpp, f.default = BUILTINS[local]
            elif tns == ns and local in schema.simple_aliases:
                f.cpp, f.default = BUILTINS[schema.simple_aliases[local]]
                if any(e.name == local for e in schema.enums):
                    # enumeration names are kept as text; callers parse them with E::parse
                    f.cpp, f.default = "std::string", None
            elif tns == ns and local in schema.complex_types:
                if f.is_attribute:
                    fail("%s: attributes must have simple types" % where)
                f.complex_type = schema.complex_types[local]
            else:
                fail("%s: unknown type %s" % (where, local))
    # a field name may appear only once along an extension chain
    for t in schema.complex_types.values():
        names = {}
        for b in t.chain():
            for f in b.fields:
                if f.name in names and names[f.name] is not b:
                    fail("%s: field %s is declared in both %s and %s" % (t.name, f.name, b.name, names[f.name].name))
                if f.name in names and names[f.name] is b:
                    fail("%s: field %s is declared twice" % (b.name, f.name))
                names[f.name] = b
    for name, type_ref in schema.root_elements:
        if type_ref[0] != ns or type_ref[1] not in schema.complex_types:
            fail("global element %s: unknown type" % name)


def ordered_types(schema):
    """Complex types with every base before its derived types, otherwise in document order."""
    out = []
    placed = set()

    def place(t):
        if t.name in placed:
            return
        if t.base is not None:
            place(t.base)
        placed.add(t.name)
        out.append(t)

    for name in schema.order:
        place(schema.complex_types[name])
    return out


def is_polymorphic(t):
    """An element of declared type t carries xsi:type when t is abstract or has derived types."""
    return t.abstract or bool(t.derived)


def base_class(t):
    return t.base.name if t.base is not None else "XmlNode"


def param_type(f):
    return "const std::string&" if f.cpp == "std::string" else f.cpp


# --------------------------------------------------------------------------- header


def emit_enum_decl(out, e):
    out.write("// Enumeration %s of the schema; the numeric value is the position in the schema.\n" % e.name)
    out.write("struct %s {\n" % e.name)
    out.write("  enum Enum : int {\n")
    for i, v in enumerate(e.values):
        out.write("    %s = %d,\n" % (v, i))
    out.write("  };\n")
    out.write("  static constexpr int kCount = %d;\n\n" % len(e.values))
    out.write("  // The value whose name is exactly `text` (case-sensitive); throws XSDEnumException.\n")
    out.write("  static Enum parse(const std::string& text);\n")
    out.write("  // The name of `value`; throws XSDEnumException (with the number) when out of range.\n")
    out.write("  static const std::string& toString(Enum value);\n")
    out.write("  // The value numbered `value`; throws XSDEnumException when out of range.\n")
    out.write("  static Enum fromInt(long value);\n")
    out.write("};\n\n")


def emit_field_decls(out, t, f):
    n = f.name
    if f.complex_type is None:
        cpp = f.cpp
        if f.repeated:
            out.write("  // %s: repeated %s element.\n" % (n, cpp))
            out.write("  const std::vector<%s>& elements_%s() const { return m_%s; }\n" % (cpp, n, n))
            out.write("  std::vector<%s>& elements_%s() { return m_%s; }\n" % (cpp, n, n))
            out.write("  void add_node_%s(%s value) { m_%s.push_back(value); }\n" % (n, param_type(f), n))
        else:
            kind = "attribute" if f.is_attribute else "element"
            out.write("  // %s: %s %s %s.\n" % (n, "optional" if f.optional else "required", cpp, kind))
            ret = "const std::string&" if cpp == "std::string" else cpp
            out.write("  %s get_%s() const { return m_%s; }\n" % (ret, n, n))
            if f.optional:
                out.write("  void set_%s(%s value) { m_%s = value; m_has_%s = true; }\n" % (n, param_type(f), n, n))
                out.write("  bool has_%s() const { return m_has_%s; }\n" % (n, n))
                default = f.default if f.default is not None else "%s()" % cpp
                out.write("  void clear_%s() { m_%s = %s; m_has_%s = false; }\n" % (n, n, default, n))
            else:
                out.write("  void set_%s(%s value) { m_%s = value; }\n" % (n, param_type(f), n))
    else:
        c = f.complex_type.name
        if f.repeated:
            out.write("  // %s: repeated %s element (owned).\n" % (n, c))
            out.write("  const std::vector<std::unique_ptr<%s>>& elements_%s() const { return m_%s; }\n" % (c, n, n))
            out.write("  std::vector<std::unique_ptr<%s>>& elements_%s() { return m_%s; }\n" % (c, n, n))
            out.write("  // Appends a new D (default-constructed) and returns it; the parent owns it.\n")
            out.write("  template <class D = %s>\n" % c)
            out.write("  D* add_node_%s() {\n" % n)
            out.write("    static_assert(std::is_base_of<%s, D>::value, \"D must derive from %s\");\n" % (c, c))
            out.write("    std::unique_ptr<D> node = std::make_unique<D>();\n")
            out.write("    D* raw = node.get();\n")
            out.write("    add_element_%s(std::move(node));\n" % n)
            out.write("    return raw;\n")
            out.write("  }\n")
            out.write("  // Appends `node` (taking ownership).\n")
            out.write("  void add_element_%s(std::unique_ptr<%s> node);\n" % (n, c))
        else:
            out.write("  // %s: %s %s element (owned); nullptr when absent.\n" % (n, "optional" if f.optional else "required", c))
            out.write("  %s* element_%s() { return m_%s.get(); }\n" % (c, n, n))
            out.write("  const %s* element_%s() const { return m_%s.get(); }\n" % (c, n, n))
            out.write("  // Replaces the child with a new D (default-constructed) and returns it; the parent owns it.\n")
            out.write("  template <class D = %s>\n" % c)
            out.write("  D* add_node_%s() {\n" % n)
            out.write("    static_assert(std::is_base_of<%s, D>::value, \"D must derive from %s\");\n" % (c, c))
            out.write("    std::unique_ptr<D> node = std::make_unique<D>();\n")
            out.write("    D* raw = node.get();\n")
            out.write("    set_element_%s(std::move(node));\n" % n)
            out.write("    return raw;\n")
            out.write("  }\n")
            out.write("  // Replaces the child with `node` (taking ownership; nullptr removes it).\n")
            out.write("  void set_element_%s(std::unique_ptr<%s> node);\n" % (n, c))
            out.write("  // Removes the child and hands it to the caller; nullptr when absent.\n")
            out.write("  std::unique_ptr<%s> release_element_%s();\n" % (c, n))
    out.write("\n")


def member_decls(f):
    n = f.name
    if f.complex_type is None:
        if f.repeated:
            return ["std::vector<%s> m_%s;" % (f.cpp, n)]
        init = "" if f.default is None else " = %s" % f.default
        decls = ["%s m_%s%s;" % (f.cpp, n, init)]
        if f.optional:
            decls.append("bool m_has_%s = false;" % n)
        return decls
    c = f.complex_type.name
    if f.repeated:
        return ["std::vector<std::unique_ptr<%s>> m_%s;" % (c, n)]
    return ["std::unique_ptr<%s> m_%s;" % (c, n)]


def emit_class_decl(out, t):
    base = base_class(t)
    summary = "Schema type %s" % t.name
    if t.base is not None:
        summary += " (extends %s)" % t.base.name
    summary += "."
    if t.abstract:
        summary += " Abstract in the schema: documents always name a derived type."
    out.write("// %s\n" % summary)
    out.write("class %s : public %s {\n" % (t.name, base))
    out.write(" public:\n")
    out.write("  %s();\n" % t.name)
    out.write("  ~%s() override;\n" % t.name)
    out.write("  %s(const %s& other);  // deep copy\n" % (t.name, t.name))
    out.write("  %s& operator=(const %s& other);  // deep copy\n" % (t.name, t.name))
    out.write("  %s(%s&& other) noexcept;\n" % (t.name, t.name))
    out.write("  %s& operator=(%s&& other) noexcept;\n\n" % (t.name, t.name))
    out.write("  static const std::string& staticTypeName();\n")
    out.write("  const std::string& typeName() const override;\n")
    out.write("  std::unique_ptr<XmlNode> cloneNode() const override;\n")
    out.write("  std::unique_ptr<%s> clone() const;  // deep copy of this type (slices a derived object)\n\n" % t.name)
    for f in t.fields:
        emit_field_decls(out, t, f)
    out.write("  // Codec hooks (see XmlNode).\n")
    out.write("  bool knowsAttribute_(const std::string& name) const override;\n")
    out.write("  void parseAttributes_(const _xmlNode& element) override;\n")
    out.write("  void parseChildren_(detail::ChildCursor& cursor) override;\n")
    out.write("  void writeAttributes_(std::string& out) const override;\n")
    out.write("  void writeChildren_(std::string& out, int depth) const override;\n")
    members = [d for f in t.fields for d in member_decls(f)]
    if members:
        out.write("\n private:\n")
        for d in members:
            out.write("  %s\n" % d)
    out.write("};\n\n")


def generate_header(schema, source_name):
    out = io.StringIO()
    out.write("// Generated by schema/generate.py from %s. Do not edit: change the schema instead.\n" % source_name)
    out.write("// The classes of the configuration schema, one per complex type; XSD extension is C++ public\n")
    out.write("// inheritance. Thread safety: none of their own; see kolconfig/XmlNode.h.\n")
    out.write("#pragma once\n\n")
    out.write("#include <cstdint>\n#include <memory>\n#include <string>\n#include <type_traits>\n#include <utility>\n#include <vector>\n\n")
    out.write('#include "kolconfig/TypeRegistry.h"\n#include "kolconfig/XSDEnumException.h"\n#include "kolconfig/XmlNode.h"\n\n')
    out.write("namespace Sarnet_Configuration {\nnamespace Types {\n\n")
    for e in schema.enums:
        emit_enum_decl(out, e)
    types = ordered_types(schema)
    for t in types:
        out.write("class %s;\n" % t.name)
    out.write("\n")
    for t in types:
        emit_class_decl(out, t)
    out.write("}  // namespace Types\n}  // namespace Sarnet_Configuration\n")
    return out.getvalue()


# --------------------------------------------------------------------------- source


def emit_enum_impl(out, e):
    out.write("namespace {\nconst std::string k%sNames[] = {\n" % e.name)
    for v in e.values:
        out.write('    "%s",\n' % v)
    out.write("};\n}  // namespace\n\n")
    out.write("%s::Enum %s::parse(const std::string& text) {\n" % (e.name, e.name))
    out.write("  for (int i = 0; i < kCount; ++i) {\n")
    out.write("    if (k%sNames[i] == text) {\n      return static_cast<Enum>(i);\n    }\n  }\n" % e.name)
    out.write("  throw XSDEnumException(text);\n}\n\n")
    out.write("const std::string& %s::toString(Enum value) {\n" % e.name)
    out.write("  const long index = static_cast<long>(value);\n")
    out.write("  if (index < 0 || index >= kCount) {\n    throw XSDEnumException(std::to_string(index));\n  }\n")
    out.write("  return k%sNames[index];\n}\n\n" % e.name)
    out.write("%s::Enum %s::fromInt(long value) {\n" % (e.name, e.name))
    out.write("  if (value < 0 || value >= kCount) {\n    throw XSDEnumException(std::to_string(value));\n  }\n")
    out.write("  return static_cast<Enum>(value);\n}\n\n")


def copy_init(f):
    n = f.name
    if f.complex_type is None:
        inits = ["m_%s(other.m_%s)" % (n, n)]
        if f.optional and not f.repeated:
            inits.append("m_has_%s(other.m_has_%s)" % (n, n))
        return inits
    if f.repeated:
        return ["m_%s(cloneAll(other.m_%s))" % (n, n)]
    return ["m_%s(cloneOne(other.m_%s))" % (n, n)]


def copy_assign(f):
    n = f.name
    if f.complex_type is None:
        lines = ["m_%s = other.m_%s;" % (n, n)]
        if f.optional and not f.repeated:
            lines.append("m_has_%s = other.m_has_%s;" % (n, n))
        return lines
    if f.repeated:
        return ["m_%s = cloneAll(other.m_%s);" % (n, n)]
    return ["m_%s = cloneOne(other.m_%s);" % (n, n)]


def emit_parse_field(out, f):
    n = f.name
    if f.complex_type is not None:
        c = f.complex_type.name
        if f.repeated:
            out.write('  while (cursor.at("%s")) {\n' % n)
            out.write("    m_%s.push_back(detail::readNodeAs<%s>(cursor.current()));\n" % (n, c))
            out.write("    cursor.advance();\n  }\n")
        else:
            out.write('  if (cursor.at("%s")) {\n' % n)
            out.write("    m_%s = detail::readNodeAs<%s>(cursor.current());\n" % (n, c))
            out.write("    cursor.advance();\n  }")
            if not f.optional:
                out.write(' else {\n    cursor.missing("%s");\n  }\n' % n)
            else:
                out.write("\n")
        return
    if f.cpp == "std::string":
        read = "detail::readText(cursor.current())"
    else:
        read = None
    if f.repeated:
        out.write('  while (cursor.at("%s")) {\n' % n)
        if read:
            out.write("    m_%s.push_back(%s);\n" % (n, read))
        else:
            out.write("    %s value{};\n" % f.cpp)
            out.write('    detail::convert(detail::readText(cursor.current()), value, "%s", typeName());\n' % n)
            out.write("    m_%s.push_back(value);\n" % n)
        out.write("    cursor.advance();\n  }\n")
        return
    body = ("    m_%s = %s;\n" % (n, read)) if read else (
        '    detail::convert(detail::readText(cursor.current()), m_%s, "%s", typeName());\n' % (n, n))
    out.write('  if (cursor.at("%s")) {\n' % n)
    out.write(body)
    if f.optional:
        out.write("    m_has_%s = true;\n" % n)
    out.write("    cursor.advance();\n  }")
    if not f.optional:
        out.write(' else {\n    cursor.missing("%s");\n  }\n' % n)
    else:
        out.write("\n")


def emit_write_field(out, f):
    n = f.name
    if f.complex_type is not None:
        poly = "true" if is_polymorphic(f.complex_type) else "false"
        if f.repeated:
            out.write("  for (const auto& node : m_%s) {\n" % n)
            out.write("    if (!node) {\n")
            out.write('      detail::missingOnWrite("%s", typeName());\n    }\n' % n)
            out.write('    detail::writeNode(out, depth, "%s", *node, %s);\n  }\n' % (n, poly))
        else:
            out.write("  if (m_%s) {\n" % n)
            out.write('    detail::writeNode(out, depth, "%s", *m_%s, %s);\n  }' % (n, n, poly))
            if not f.optional:
                out.write(' else {\n    detail::missingOnWrite("%s", typeName());\n  }\n' % n)
            else:
                out.write("\n")
        return
    if f.repeated:
        out.write("  for (const auto& value : m_%s) {\n" % n)
        out.write('    detail::writeValue(out, depth, "%s", value);\n  }\n' % n)
    elif f.optional:
        out.write("  if (m_has_%s) {\n" % n)
        out.write('    detail::writeValue(out, depth, "%s", m_%s);\n  }\n' % (n, n))
    else:
        out.write('  detail::writeValue(out, depth, "%s", m_%s);\n' % (n, n))


def emit_class_impl(out, t):
    name = t.name
    base = base_class(t)
    elements = [f for f in t.fields if not f.is_attribute]
    attributes = [f for f in t.fields if f.is_attribute]
    out.write("// ---------------------------------------------------------------- %s\n\n" % name)
    out.write("%s::%s() = default;\n\n" % (name, name))
    out.write("%s::~%s() = default;\n\n" % (name, name))
    inits = ["%s(other)" % base] + [i for f in t.fields for i in copy_init(f)]
    out.write("%s::%s(const %s& other)\n    : %s {}\n\n" % (name, name, name, ",\n      ".join(inits)))
    out.write("%s& %s::operator=(const %s& other) {\n" % (name, name, name))
    out.write("  if (this != &other) {\n")
    out.write("    %s::operator=(other);\n" % base)
    for f in t.fields:
        for line in copy_assign(f):
            out.write("    %s\n" % line)
    out.write("  }\n  return *this;\n}\n\n")
    out.write("%s::%s(%s&& other) noexcept = default;\n\n" % (name, name, name))
    out.write("%s& %s::operator=(%s&& other) noexcept = default;\n\n" % (name, name, name))
    out.write("const std::string& %s::staticTypeName() {\n" % name)
    out.write('  static const std::string name("%s");\n  return name;\n}\n\n' % name)
    out.write("const std::string& %s::typeName() const { return staticTypeName(); }\n\n" % name)
    out.write("std::unique_ptr<XmlNode> %s::cloneNode() const { return clone(); }\n\n" % name)
    out.write("std::unique_ptr<%s> %s::clone() const { return std::make_unique<%s>(*this); }\n\n" % (name, name, name))

    for f in t.fields:
        if f.complex_type is None:
            continue
        c = f.complex_type.name
        n = f.name
        if f.repeated:
            out.write("void %s::add_element_%s(std::unique_ptr<%s> node) { m_%s.push_back(std::move(node)); }\n\n"
                      % (name, n, c, n))
        else:
            out.write("void %s::set_element_%s(std::unique_ptr<%s> node) { m_%s = std::move(node); }\n\n"
                      % (name, n, c, n))
            out.write("std::unique_ptr<%s> %s::release_element_%s() { return std::move(m_%s); }\n\n"
                      % (c, name, n, n))

    # attributes
    out.write("bool %s::knowsAttribute_(const std::string& name) const {\n" % name)
    if attributes:
        checks = " || ".join('name == "%s"' % f.name for f in attributes)
        out.write("  return %s || %s::knowsAttribute_(name);\n}\n\n" % (checks, base))
    else:
        out.write("  return %s::knowsAttribute_(name);\n}\n\n" % base)
    out.write("void %s::parseAttributes_(const _xmlNode& element) {\n" % name)
    out.write("  %s::parseAttributes_(element);\n" % base)
    if attributes:
        out.write("  std::string text;\n")
    for f in attributes:
        n = f.name
        out.write('  if (detail::findAttribute(element, "%s", text)) {\n' % n)
        if f.cpp == "std::string":
            out.write("    m_%s = text;\n" % n)
        else:
            out.write('    detail::convert(text, m_%s, "%s", typeName());\n' % (n, n))
        if f.optional:
            out.write("    m_has_%s = true;\n  }\n" % n)
        else:
            out.write('  } else {\n    detail::missingAttribute("%s", typeName(), element);\n  }\n' % n)
    out.write("}\n\n")

    out.write("void %s::parseChildren_(detail::ChildCursor& cursor) {\n" % name)
    out.write("  %s::parseChildren_(cursor);\n" % base)
    for f in elements:
        emit_parse_field(out, f)
    out.write("}\n\n")

    out.write("void %s::writeAttributes_(std::string& out) const {\n" % name)
    out.write("  %s::writeAttributes_(out);\n" % base)
    for f in attributes:
        if f.optional:
            out.write("  if (m_has_%s) {\n    detail::writeAttribute(out, \"%s\", m_%s);\n  }\n" % (f.name, f.name, f.name))
        else:
            out.write('  detail::writeAttribute(out, "%s", m_%s);\n' % (f.name, f.name))
    out.write("}\n\n")

    out.write("void %s::writeChildren_(std::string& out, int depth) const {\n" % name)
    out.write("  %s::writeChildren_(out, depth);\n" % base)
    for f in elements:
        emit_write_field(out, f)
    out.write("}\n\n")


def generate_source(schema, source_name):
    out = io.StringIO()
    out.write("// Generated by schema/generate.py from %s. Do not edit: change the schema instead.\n" % source_name)
    out.write('#include "kolconfig/Types.h"\n\n')
    out.write("#include <unordered_map>\n\n")
    out.write('#include "kolconfig/XmlCodec.h"\n\n')
    out.write("namespace Sarnet_Configuration {\nnamespace Types {\n\n")
    out.write("namespace {\n\n")
    out.write("template <class C>\nstd::unique_ptr<C> cloneOne(const std::unique_ptr<C>& node) {\n")
    out.write("  if (!node) {\n    return nullptr;\n  }\n")
    out.write("  return std::unique_ptr<C>(static_cast<C*>(node->cloneNode().release()));\n}\n\n")
    out.write("template <class C>\nstd::vector<std::unique_ptr<C>> cloneAll(const std::vector<std::unique_ptr<C>>& nodes) {\n")
    out.write("  std::vector<std::unique_ptr<C>> copies;\n  copies.reserve(nodes.size());\n")
    out.write("  for (const auto& node : nodes) {\n    copies.push_back(cloneOne(node));\n  }\n  return copies;\n}\n\n")
    out.write("}  // namespace\n\n")

    for e in schema.enums:
        emit_enum_impl(out, e)

    types = ordered_types(schema)
    for t in types:
        emit_class_impl(out, t)

    # registry
    out.write("// ---------------------------------------------------------------- registry\n\n")
    out.write("namespace {\n\n")
    out.write("struct TypeEntry {\n  const char* base;  // nullptr for a root type\n  bool abstract;\n")
    out.write("  std::unique_ptr<XmlNode> (*create)();\n};\n\n")
    out.write("template <class T>\nstd::unique_ptr<XmlNode> createNode() {\n  return std::make_unique<T>();\n}\n\n")
    out.write("const std::unordered_map<std::string, TypeEntry>& registry() {\n")
    out.write("  static const std::unordered_map<std::string, TypeEntry> types = {\n")
    for t in types:
        base = '"%s"' % t.base.name if t.base is not None else "nullptr"
        out.write('      {"%s", {%s, %s, &createNode<%s>}},\n' % (t.name, base, "true" if t.abstract else "false", t.name))
    out.write("  };\n  return types;\n}\n\n")
    out.write("}  // namespace\n\n")
    out.write("const std::string& namespaceUri() {\n")
    out.write('  static const std::string uri("%s");\n  return uri;\n}\n\n' % schema.target_ns)
    out.write("bool isKnownTypeName(const std::string& name) { return registry().count(name) != 0; }\n\n")
    out.write("bool isAbstractTypeName(const std::string& name) {\n")
    out.write("  const auto it = registry().find(name);\n  return it != registry().end() && it->second.abstract;\n}\n\n")
    out.write("bool isTypeDerivedFrom(const std::string& type, const std::string& base) {\n")
    out.write("  const auto& types = registry();\n")
    out.write("  auto it = types.find(type);\n")
    out.write("  if (it == types.end()) {\n    return false;\n  }\n")
    out.write("  if (base == XmlNode::staticTypeName()) {\n    return true;\n  }\n")
    out.write("  while (true) {\n")
    out.write("    if (it->first == base) {\n      return true;\n    }\n")
    out.write("    if (it->second.base == nullptr) {\n      return false;\n    }\n")
    out.write("    it = types.find(it->second.base);\n")
    out.write("    if (it == types.end()) {\n      return false;\n    }\n  }\n}\n\n")
    out.write("std::unique_ptr<XmlNode> createNodeByTypeName(const std::string& name) {\n")
    out.write("  const auto it = registry().find(name);\n")
    out.write("  if (it == registry().end() || it->second.abstract) {\n    return nullptr;\n  }\n")
    out.write("  return it->second.create();\n}\n\n")
    out.write("std::string localTypeName(const std::string& qname) {\n")
    out.write("  const std::string::size_type colon = qname.find(':');\n")
    out.write("  return colon == std::string::npos ? qname : qname.substr(colon + 1);\n}\n\n")
    out.write("}  // namespace Types\n}  // namespace Sarnet_Configuration\n")
    return out.getvalue()


def write_file(path, text):
    """Replaces `path` in one step, so that an interrupted run leaves no half-written file."""
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        f.write(text)
    os.replace(tmp, path)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: generate.py SCHEMA.xsd OUTPUT_DIR\n")
        return 2
    schema_path, out_dir = argv[1], argv[2]
    try:
        schema = load_schema(schema_path)
    except (SchemaError, ET.ParseError) as e:
        sys.stderr.write("generate.py: %s: %s\n" % (schema_path, e))
        return 1
    os.makedirs(out_dir, exist_ok=True)
    source_name = os.path.basename(schema_path)
    write_file(os.path.join(out_dir, "Types.h"), generate_header(schema, source_name))
    write_file(os.path.join(out_dir, "Types.cpp"), generate_source(schema, source_name))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
