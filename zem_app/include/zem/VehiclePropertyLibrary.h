/* The C interface of a vehicle-property library: its status values, its change callback and the
 * signatures of its five exported entry points. Usable from C and C++; declarations only.
 *
 * Exported symbols of such a library:
 *   "initialize"                          VehiclePropertyInitializeFunction
 *   "addVehiclePropertyChangeCallback"    VehiclePropertyAddCallbackFunction
 *   "removeVehiclePropertyChangeCallback" VehiclePropertyRemoveCallbackFunction
 *   "getVehicleProperty"                  VehiclePropertyGetFunction
 *   "releaseAPI"                          VehiclePropertyReleaseFunction
 * The library may call a registered callback from any thread of its own, for every change of
 * every property; the callback tells properties apart by the name it is given. */
#ifndef ZEM_VEHICLE_PROPERTY_LIBRARY_H
#define ZEM_VEHICLE_PROPERTY_LIBRARY_H

#ifdef __cplusplus
extern "C" {
#endif

/* The state of one property. A library may hand over other numbers; readers treat them as not
 * recognised. */
typedef enum _VehiclePropertyStatus { FALSE = 0, TRUE = 1, UNKNOWN = 2, NOT_SUPPORTED = 3 } _VehiclePropertyStatus;

/* Told of a change: the context given at registration, the property name (NUL-terminated, owned
 * by the library, valid for the call only) and its new status. */
typedef void (*VehiclePropertyChangeCallback)(void* context, const char* propertyName, _VehiclePropertyStatus status);

/* Called once after the library is opened. */
typedef void (*VehiclePropertyInitializeFunction)(void);
/* Registers `callback` with `context`; the same callback may be registered several times. */
typedef void (*VehiclePropertyAddCallbackFunction)(VehiclePropertyChangeCallback callback, void* context);
/* Removes one registration of `callback`. */
typedef void (*VehiclePropertyRemoveCallbackFunction)(VehiclePropertyChangeCallback callback);
/* The current status of the property named `propertyName` (NUL-terminated). */
typedef _VehiclePropertyStatus (*VehiclePropertyGetFunction)(const char* propertyName);
/* Called before the library is given up: stops its threads; no callback runs after it returns. */
typedef void (*VehiclePropertyReleaseFunction)(void);

#ifdef __cplusplus
}
#endif

#endif /* ZEM_VEHICLE_PROPERTY_LIBRARY_H */
