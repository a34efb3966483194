// KEST_EXPORT marks the public API of libKestCommon.so. The library is built with hidden
// visibility, so only the classes and functions so marked reach its dynamic symbol table. A
// marked class exports its members, vtable and typeinfo: exceptions and polymorphic classes that
// cross the library boundary must be marked so that they compare equal on both sides.
#pragma once

#define KEST_EXPORT __attribute__((visibility("default")))
