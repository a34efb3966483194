#include "kest/ExtensionServices.h"

#include "kest/vehiclebus/BusDispatcher.h"

ExtensionServices::ExtensionServices() : busDispatcher_(std::make_shared<VehicleBus::BusDispatcher>()) {}

// Defined here so that the services, declared incomplete in the header, are released by the
// deleters captured when they were handed to the bundle.
ExtensionServices::~ExtensionServices() = default;
