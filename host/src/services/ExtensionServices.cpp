#include "kest/ExtensionServices.h"

// Defined here so that the services, declared incomplete in the header, are released by the
// deleters captured when they were handed to the bundle.
ExtensionServices::~ExtensionServices() = default;
