// Visits an in-memory value as its most-derived kind: one visit per concrete kind, so a visitor
// that lacks the visit of a kind added later cannot be instantiated, and a scalar kind is never
// mistaken for the StringValue it extends. Thread safety: none of its own.
#pragma once

class BooleanValue;
class ByteFieldValue;
class FloatValue;
class IntegerValue;
class ListValue;
class MapValue;
class StringValue;

class ValueVisitor {
 public:
  virtual ~ValueVisitor() = default;
  virtual void visit(const StringValue& value) = 0;
  virtual void visit(const IntegerValue& value) = 0;
  virtual void visit(const FloatValue& value) = 0;
  virtual void visit(const BooleanValue& value) = 0;
  virtual void visit(const ByteFieldValue& value) = 0;
  virtual void visit(const ListValue& value) = 0;
  virtual void visit(const MapValue& value) = 0;
};
