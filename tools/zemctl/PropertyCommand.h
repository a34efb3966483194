// The property commands of zemctl parsed into one value: reading ("get", "read"), updating
// ("set"), monitoring ("monitor"), the provisioning configuration handled by jobs ("config") and
// the switch of the backend profile handled by a job ("backend switch").
// Thread safety: a plain value type; parse() is reentrant and touches neither bus nor files.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

struct PropertyCommand {
  enum class Kind { Get, Set, Read, Monitor, ConfigInstall, ConfigRequest, ConfigDelete, ConfigFromDbc, BackendSwitch };
  // The request kinds of "get --as KIND", one per IpcMessage*PropertyRequest type.
  enum class RequestKind {
    String,
    Integer,
    Float,
    Boolean,
    ByteField,
    List,
    Map,
    Vehicle,
    Imei,
    Vin,
    TcuId,
    SystemTime,
    GeoLocation
  };
  // The value kinds of "set NAME TYPE:VALUE", one per scalar Persisted*Value type.
  enum class ValueKind { String, Integer, Float, Boolean, ByteField };

  Kind kind = Kind::Get;

  // ---- get, set, read, monitor
  std::vector<std::string> names;  // get, set, read: one (none for the fixed get kinds); monitor: one or more
  RequestKind requestKind = RequestKind::String;  // get --as KIND
  ValueKind valueKind = ValueKind::String;        // set
  std::string valueText;  // set: the value checked and in its document form (see parseTypedValue)
  uint64_t count = 0;     // monitor --count N; 0 monitors until interrupted

  // ---- backend switch PROFILE [NAME=TYPE:VALUE...]
  struct TypedEntry {
    std::string name;
    ValueKind kind = ValueKind::String;
    std::string text;  // in its document form (see parseTypedValue)
  };
  std::string profile;              // the new active backend profile
  std::vector<TypedEntry> entries;  // the properties written before the switch, in order

  // ---- config install / request / delete (and backend switch: --key, --task-id, --wait)
  std::string configFile;                 // install: the ProvisioningConfig document
  bool force = false;                     // install --force: replace an installed configuration
  std::string keyFile;                    // --key KEY.pem: signs the container's entries
  std::string taskId;                     // --task-id ID; empty: a fresh id is made up
  std::string output;                     // request, from-dbc: -o FILE; empty: printed on stdout
  std::chrono::milliseconds wait{30000};  // --wait SECONDS for the result package

  // ---- config from-dbc FILE.dbc (and -o FILE above); checked here: prefix and bus are names
  std::string dbcFile;                // the DBC file
  std::string prefix;                 // --prefix NAME: a group around the properties
  std::string busInterface;           // --bus IFACE
  std::vector<std::string> messages;  // --message NAME|ID, repeatable; empty: every message
  std::string intoFile;               // --into CONFIG.xml: the configuration added to

  // Parses the arguments that follow `group` ("get", "set", "read", "monitor", "config" or
  // "backend").
  // Returns true and fills `command`; returns false with a one-line reason in `error` for a usage
  // error (unknown kind or option, missing name, malformed value). Files are not looked at here.
  static bool parse(const std::string& group, const std::vector<std::string>& args, PropertyCommand* command,
                    std::string* error);

  // "string", "vin", ... as a request kind. Returns false for any other text.
  static bool parseRequestKind(const std::string& text, RequestKind* kind);
  // Whether the kind names a property ("vehicle" names a vehicle property); the fixed kinds
  // (imei, vin, tcuid, systemtime, geolocation) take no name.
  static bool takesName(RequestKind kind);

  // Checks "TYPE:VALUE" (TYPE string, integer, float, boolean or bytefield) and gives the value's
  // document form: a string as it is; an integer in decimal within 32 bits (the schema's xs:int);
  // a finite float as written; a boolean exactly "true" or "false"; a byte field of whole bytes in
  // hexadecimal, with or without "0x", as "0x" and upper-case digits. Returns false with the reason
  // in `error`.
  static bool parseTypedValue(const std::string& argument, ValueKind* kind, std::string* text, std::string* error);

  // The lines of the help text that describe these commands.
  static std::string usage();
};
