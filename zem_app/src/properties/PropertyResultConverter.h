// Conversion of in-memory values into list / map property results and into typed persisted values.
// Thread safety: stateless; the value and the target node must not change during a call.
#pragma once

#include <memory>

#include "kolconfig/Types.h"
#include "values/BaseValue.h"
#include "values/ListValue.h"
#include "values/MapValue.h"

// Appends one `item` per item of `value`, in list order, typed by the item's kind: StringValue ->
// StringPropertyResult, IntegerValue -> IntegerPropertyResult, FloatValue -> FloatPropertyResult,
// BooleanValue -> SimpleBooleanPropertyResult, ByteFieldValue -> ByteFieldPropertyResult (each
// with value = str()), ListValue / MapValue -> nested results, recursively; each value counts as
// its most-derived kind. Empty pointers are skipped. REQUIRES: result != nullptr.
void convertValueToResult(Sarnet_Configuration::Types::ListPropertyResult* result, const ListValue& value);
// As above for a map: one `entry` per entry, in key order, with key and a typed `value`.
void convertValueToResult(Sarnet_Configuration::Types::MapPropertyResult* result, const MapValue& value);

// The persisted value node of `value`'s kind (string, integer, float, boolean, byte field, list,
// map, by the value's most-derived kind; containers converted item by item), owned by the caller.
std::unique_ptr<Sarnet_Configuration::Types::PersistedValue> toPersistedValue(const BaseValue& value);
