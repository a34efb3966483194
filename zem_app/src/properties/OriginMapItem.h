// OriginMapItem: one entry of the property map, a type-erased, cloning wrapper around one origin.
// Thread safety: immutable once built; the property map calls it with the map lock held.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "kest/ApplicationLogger.h"
#include "kolconfig/Types.h"
#include "properties/OriginValues.h"

// True for the origin kinds whose value the item holds itself (literals, the cached booleans of the
// persistent store): reading one takes no lock but the map's and does no I/O.
template <class OriginType>
struct ValueHeldInMemory : std::false_type {};
template <>
struct ValueHeldInMemory<Sarnet_Configuration::Types::StringLiteralPropertyOrigin> : std::true_type {};
template <>
struct ValueHeldInMemory<Sarnet_Configuration::Types::IntegerLiteralPropertyOrigin> : std::true_type {};
template <>
struct ValueHeldInMemory<Sarnet_Configuration::Types::FloatLiteralPropertyOrigin> : std::true_type {};
template <>
struct ValueHeldInMemory<Sarnet_Configuration::Types::BooleanLiteralPropertyOrigin> : std::true_type {};
template <>
struct ValueHeldInMemory<Sarnet_Configuration::Types::BytefieldLiteralPropertyOrigin> : std::true_type {};
template <>
struct ValueHeldInMemory<MapAdapter<DatabaseProperty>> : std::true_type {};
template <>
struct ValueHeldInMemory<MapAdapter<DatabaseVehicleProperty>> : std::true_type {};

// Wraps a configuration element copied from the provisioning document or a MapAdapter bound to a
// live source. What each operation does per origin kind is defined by the getValue / setValue /
// getConfig overloads of OriginValues.h.
class OriginMapItem {
 public:
  // Wraps a copy of `origin` (moved in). OriginType is a schema origin element or a MapAdapter.
  template <class OriginType, class = std::enable_if_t<!std::is_same<std::decay_t<OriginType>, OriginMapItem>::value>>
  explicit OriginMapItem(OriginType&& origin)
      : concept_(std::make_unique<model<std::decay_t<OriginType>>>(std::forward<OriginType>(origin))) {}

  // Copies clone the wrapped origin.
  OriginMapItem(const OriginMapItem& other) : concept_(other.concept_->clone_()) {}
  OriginMapItem& operator=(const OriginMapItem& other) {
    if (this != &other) concept_ = other.concept_->clone_();
    return *this;
  }
  OriginMapItem(OriginMapItem&&) noexcept = default;
  OriginMapItem& operator=(OriginMapItem&&) noexcept = default;
  virtual ~OriginMapItem() = default;

  // The current value: null or invalid when the origin has none.
  PropertyValue getValue_() const { return concept_->getValue_(); }
  // Writes `value` (not taken over; may be null). True when the origin stored it. May throw
  // PropertyException (backend profile); the property map catches it.
  bool setValue_(const Sarnet_Configuration::Types::PersistedValue* value) const { return concept_->setValue_(value); }
  // The origin's configuration element for the kinds that expose it, otherwise null. Owned by
  // the item.
  const Sarnet_Configuration::Types::PropertyOrigin* getConfig_() const { return concept_->getConfig_(); }
  // A literal longer than this is not answered at once: copying it would hold a thread that
  // must not wait.
  static constexpr size_t kMaxValueBytesAtOnce = 64 * 1024;
  // True when the value is held by the item itself (ValueHeldInMemory) and small enough to be
  // answered at once (kMaxValueBytesAtOnce): a read does no I/O and little copying.
  bool holdsValueInMemory() const { return concept_->inMemory_(); }
  // The wrapped origin type's name ("StringLiteralPropertyOrigin", "MapAdapter<Signal>", ...).
  const std::string& getTypeName() const { return concept_->typeName_(); }

 private:
  struct originConcept {
    virtual ~originConcept() = default;
    virtual std::unique_ptr<originConcept> clone_() const = 0;
    virtual PropertyValue getValue_() const = 0;
    virtual bool setValue_(const Sarnet_Configuration::Types::PersistedValue* value) const = 0;
    virtual const Sarnet_Configuration::Types::PropertyOrigin* getConfig_() const = 0;
    virtual const std::string& typeName_() const = 0;
    virtual bool inMemory_() const = 0;
  };

  template <class OriginType>
  struct model final : originConcept {
    explicit model(OriginType o) : origin(std::move(o)) {}
    std::unique_ptr<originConcept> clone_() const override { return std::make_unique<model>(origin); }
    PropertyValue getValue_() const override {
      ZEM_TRACE("Calling getValue with type: " << typeName_());
      return getValue(origin);
    }
    bool setValue_(const Sarnet_Configuration::Types::PersistedValue* value) const override {
      ZEM_TRACE("Calling setValue with type: " << typeName_());
      return setValue(origin, value);
    }
    const Sarnet_Configuration::Types::PropertyOrigin* getConfig_() const override { return getConfig(origin); }
    const std::string& typeName_() const override { return OriginType::staticTypeName(); }
    bool inMemory_() const override {
      if constexpr (!ValueHeldInMemory<OriginType>::value) {
        return false;
      } else if constexpr (std::is_base_of<Sarnet_Configuration::Types::XmlNode, OriginType>::value) {
        return origin.get_value().size() <= kMaxValueBytesAtOnce;  // a literal's text
      } else {
        return true;  // a cached boolean
      }
    }

    OriginType origin;
  };

  std::unique_ptr<originConcept> concept_;
};
