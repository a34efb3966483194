// Turns the signals of a DBC file into a provisioning configuration: one live property per signal,
// named [PREFIX.]MESSAGE.SIGNAL through groups, with the signal's unit and comment beside it; and
// adds such properties to an existing configuration without losing what it holds.
// Thread safety: a plain value; the static functions are reentrant.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "kest/vehiclebus/DbcFile.h"

class DbcConfigWriter {
 public:
  struct Options {
    std::string prefix;                 // the name of a group around everything; empty: none
    std::string bus;                    // the busInterface of every signal; empty: none written
    std::vector<std::string> messages;  // names or identifiers (decimal or 0x hex); empty: all
  };

  // Neither is copied: `file` must outlive the writer.
  DbcConfigWriter(const VehicleBus::DbcFile& file, const Options& options) : file_(file), options_(options) {}

  // Builds the configuration. A 1-bit unsigned signal with factor 1 and offset 0 becomes a
  // boolean property (true while the bit is 1), every other signal a float property (raw x factor
  // + offset). The signals a FrameDecoder of the same messages leaves out (no configuration form,
  // bits beyond the message or any frame, a repeated name) are left out with one line
  // "MESSAGE.SIGNAL: why" each in `*leftOut`.
  // Returns true with the whole document in `*document` and the full property names in `*names`;
  // false with the reason in `*error` when an entry of options.messages names no message.
  bool write(std::string* document, std::set<std::string>* names, std::vector<std::string>* leftOut,
             std::string* error) const;

  // The full names of the properties that `config` (a valid provisioning configuration) defines,
  // group names joined with '.' as the unit joins them.
  static std::set<std::string> propertyNames(const std::string& config);

  // `existing` (a valid provisioning configuration) with the definitions of `generated` (a
  // document of write()) appended to its content; its own text, comments included, is kept.
  // Throws std::runtime_error when either does not parse.
  static std::string merge(const std::string& existing, const std::string& generated);

  // `text` made fit for an XML comment on one line: control characters and non-characters become
  // blanks or U+FFFD, no "--" remains and it does not end with '-'.
  static std::string commentText(const std::string& text);

 private:
  // The messages that options_.messages select (all when empty), in file order. Returns false with
  // `*error` naming the first entry that matches no message.
  bool selected(std::vector<const VehicleBus::DbcMessage*>* messages, std::string* error) const;
  // The definition of one signal at `indent`.
  std::string property(const VehicleBus::DbcMessage& message, const VehicleBus::DbcSignal& signal,
                       const std::string& indent) const;

  const VehicleBus::DbcFile& file_;
  const Options& options_;
};
