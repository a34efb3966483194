// Logging of a written property value: one DEBUG line per scalar, lists and maps recursively.
// Thread safety: stateless; the value must not change during the call.
#pragma once

#include <cstddef>
#include <string>

#include "kolconfig/Types.h"

// At most this many lines per printValue call: an update may carry a list of any length.
constexpr size_t kMaxPrintedValueLines = 256;

// Logs "Updated value for property key <name> to ..." for `value` (not taken over; may be null:
// logged as an unknown kind). A list item is logged under "<name> #<position from 1>", a map
// entry under "<name>.<entry key>", in document order. No value, or an object of the abstract
// PersistedValue itself: WARN "Unknown value type for key <name>". Beyond kMaxPrintedValueLines
// lines one DEBUG line says the rest is not logged.
void printValue(const std::string& name, const Sarnet_Configuration::Types::PersistedValue* value);
