// Shared setup of the plug-in tests: a fresh temporary sysroot (ZEM_SYSROOT) for the whole test
// program, with the configuration schema installed at the device's schema path.
#pragma once

#include <string>

namespace apptest {

// The temporary sysroot of this test program (set as ZEM_SYSROOT before any test runs).
const std::string& sysroot();
// The schema in the source tree (schema/kolconfig.xsd).
std::string sourceSchemaFile();

}  // namespace apptest
