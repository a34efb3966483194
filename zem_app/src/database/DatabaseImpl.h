// The interface of a persistent typed key/value store whose keys are dotted paths into nested maps.
// Thread safety: implementations are safe to call from any thread.
#pragma once

#include <memory>
#include <string>

#include "kolconfig/Types.h"
#include "values/BooleanValue.h"
#include "values/ByteFieldValue.h"
#include "values/FloatValue.h"
#include "values/IntegerValue.h"
#include "values/ListValue.h"
#include "values/MapValue.h"
#include "values/StringValue.h"

class DatabaseImpl {
 public:
  virtual ~DatabaseImpl() = default;

  // (Re)loads the store from its file. Failures are logged, never thrown.
  virtual void load() = 0;

  // Getters return a new value that the caller owns, never null: the stored value, or an invalid
  // value of the asked kind when the key is missing or holds another kind.
  // Setters store a copy of `value` (not taken over; may be null, which stores nothing) and return
  // true once it is durably saved, false when nothing was stored.
  virtual std::unique_ptr<StringValue> getString(const std::string& key) const = 0;
  virtual bool setString(const std::string& key, const Sarnet_Configuration::Types::PersistedStringValue* value) = 0;
  virtual std::unique_ptr<IntegerValue> getInteger(const std::string& key) const = 0;
  virtual bool setInteger(const std::string& key, const Sarnet_Configuration::Types::PersistedIntegerValue* value) = 0;
  virtual std::unique_ptr<BooleanValue> getBoolean(const std::string& key) const = 0;
  virtual bool setBoolean(const std::string& key, const Sarnet_Configuration::Types::PersistedBooleanValue* value) = 0;
  virtual std::unique_ptr<FloatValue> getFloat(const std::string& key) const = 0;
  virtual bool setFloat(const std::string& key, const Sarnet_Configuration::Types::PersistedFloatValue* value) = 0;
  virtual std::unique_ptr<ByteFieldValue> getByteField(const std::string& key) const = 0;
  virtual bool setByteField(const std::string& key,
                            const Sarnet_Configuration::Types::PersistedByteFieldValue* value) = 0;
  virtual std::unique_ptr<ListValue> getList(const std::string& key) const = 0;
  virtual bool setList(const std::string& key, const Sarnet_Configuration::Types::PersistedListValue* value) = 0;
  virtual std::unique_ptr<MapValue> getMap(const std::string& key) const = 0;
  virtual bool setMap(const std::string& key, const Sarnet_Configuration::Types::PersistedMapValue* value) = 0;
};
