// Conversion of persisted value nodes of the configuration schema into in-memory values.
// Thread safety: stateless; the node must not change during the call.
#pragma once

#include <memory>

#include "kolconfig/Types.h"
#include "values/BaseValue.h"

// Returns a new value converted from `node` (the caller owns it), or null when `node` is null or
// an object of the abstract PersistedValue itself. The node's most-derived kind decides (string,
// integer, float, boolean, byte field, list, map). Lists keep document order; a map key that occurs twice keeps
// its last value. An item or entry whose node converts to null is kept as an empty pointer.
std::unique_ptr<BaseValue> convertValue(const Sarnet_Configuration::Types::PersistedValue* node);
