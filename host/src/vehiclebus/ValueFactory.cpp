#include "kest/vehiclebus/ValueFactory.h"

#include <utility>

#include "kest/ApplicationLogger.h"
#include "kest/vehiclebus/BusDispatcher.h"
#include "vehiclebus/BusDispatcherImpl.h"
#include "vehiclebus/ValueImpl.h"

namespace VehicleBus {

namespace Types = Sarnet_Configuration::Types;

std::shared_ptr<Value> ValueFactory::create(const Types::ValueSignal& config,
                                            std::shared_ptr<BusDispatcher> dispatcher) {
  std::string why;
  std::unique_ptr<Value::Impl> impl;
  Route route;
  route.interface = config.has_busInterface() && !config.get_busInterface().empty() ? config.get_busInterface()
                                                                                    : dispatcher->defaultInterface();
  route.id = config.get_canId();
  const auto* array = dynamic_cast<const Types::ArrayValueSignal*>(&config);
  if (array == nullptr) {
    why = "a " + config.typeName() + " is not a value signal kind this host decodes";
  } else if (resolveIdentifier(config.has_canId(), config.get_canId(), config.has_extendedId(), config.get_extendedId(),
                               &route.extended, &why)) {
    const auto bits = BitField::make(array->get_startBit(), array->get_length(), array->get_bigEndian(), &why);
    if (bits) {
      impl = std::make_unique<Value::Impl>(config.get_signalName(), std::move(route), *bits, array->get_signed(),
                                           array->has_factor() ? array->get_factor() : 1.0,
                                           array->has_offset() ? array->get_offset() : 0.0);
    }
  }
  if (impl == nullptr) {
    ZEM_ERROR("value signal \"" << ApplicationLogger::shortened(config.get_signalName(), 80) << "\" refused: " << why);
    return nullptr;
  }
  Value::Impl* const decoder = impl.get();
  std::shared_ptr<Value> value(new Value(std::move(impl), dispatcher));  // the constructor is private to the factory
  dispatcher->impl().add(decoder);
  return value;
}

}  // namespace VehicleBus
