// MapAdapter<Source>: the map item of a property bound to a live source, with its listener.
// Thread safety: immutable; copies share the source and listener, which synchronise themselves.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "kolconfig/Types.h"
#include "properties/LiveSourceKinds.h"

template <class Source>
class attachToAsListener;

// Holds the configuration element it was built from, the source object (a CAN signal, value or
// byte field, a library vehicle property, or a boolean of the persistent store) and the listener
// that turns the source's events into change notifications. The listener stays attached until the
// last copy of the adapter is destroyed.
template <class Source>
class MapAdapter {
 public:
  // `config` is the element the adapter was built from (shared, immutable); `source` may be null
  // when no source of that kind could be built; `listener` is null exactly when `source` is.
  MapAdapter(std::shared_ptr<const Sarnet_Configuration::Types::XmlNode> config, std::shared_ptr<Source> source,
             std::shared_ptr<attachToAsListener<Source>> listener)
      : config_(std::move(config)), source_(std::move(source)), listener_(std::move(listener)) {}

  // "MapAdapter<" + the source kind + ">".
  static const std::string& staticTypeName() {
    static const std::string name = std::string("MapAdapter<") + SourceKind<Source>::kName + ">";
    return name;
  }

  const Sarnet_Configuration::Types::XmlNode* getConfig() const { return config_.get(); }
  // Null when the adapter holds no source.
  const std::shared_ptr<Source>& getSource() const { return source_; }

 private:
  std::shared_ptr<const Sarnet_Configuration::Types::XmlNode> config_;
  std::shared_ptr<Source> source_;
  std::shared_ptr<attachToAsListener<Source>> listener_;
};
