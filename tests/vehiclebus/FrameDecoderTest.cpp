// Decoding frames with a DBC file's signals: the values the daemon would hold, and the signals an
// import leaves out.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "kest/vehiclebus/BusDispatcher.h"
#include "kest/vehiclebus/CandumpParser.h"
#include "kest/vehiclebus/FrameDecoder.h"
#include "kest/vehiclebus/ValueFactory.h"

namespace VehicleBus {
namespace {

DbcSignal sig(const char* name, int startBit, int length, bool bigEndian = false, bool isSigned = false,
              double factor = 1, double offset = 0) {
  DbcSignal s;
  s.name = name;
  s.startBit = startBit;
  s.length = length;
  s.bigEndian = bigEndian;
  s.isSigned = isSigned;
  s.factor = factor;
  s.offset = offset;
  return s;
}

DbcMessage msg(const char* name, std::uint32_t id, bool extended, std::vector<DbcSignal> signals, unsigned length = 8) {
  DbcMessage m;
  m.name = name;
  m.id = id;
  m.extended = extended;
  m.length = length;
  m.signals = std::move(signals);
  return m;
}

DbcFile vehicle() {
  DbcSignal speed = sig("Speed", 8, 16, false, false, 1e-2);
  speed.line = 7;
  DbcFile dbc;
  dbc.messages = {
      msg("Body", 0x100, false,
          {speed, sig("Temp", 39, 12, true, true, 0.5, -4e1), sig("Tilt", 0, 8, false, true), sig("Last", 56, 8),
           sig("Wide", 504, 2, true)}),
      msg("EEC1", 0x18FEF100, true, {sig("EngineSpeed", 24, 16, false, false, 0.125)}),
      msg("Body100x", 0x100, true, {sig("Raw", 0, 64, false, true)}),
      msg("Again", 0x100, false, {sig("Shadow", 0, 4)}),  // decoded with Body's frames, as a unit would
      msg("Body", 0x200, false, {sig("Speed", 0, 8)}),
      msg("Short", 0x201, false, {sig("Far", 16, 8)}, 2),
      msg("TooBig", 0x800, false, {sig("Lost", 0, 8)}),
      msg("Cells", 0x3D0, false, {sig("Pack", 496, 16, false, false, 0.01)}, 64),
  };
  return dbc;
}

// The frame of a candump line ("100#FE10", "18FEF100#00").
CanFrame frame(const std::string& line) {
  std::string error;
  const std::optional<ParsedFrame> parsed = CandumpParser::parseLine(line, &error);
  EXPECT_TRUE(parsed) << line << ": " << error;
  return parsed ? parsed->frame : CanFrame();
}

// Every value decoded must equal, to the bit, what the daemon's numeric source of the same signal
// holds after the same frame.
void expectSameAsDaemon(const FrameDecoder::Entry& entry, const CanFrame& f, double physical) {
  const auto bus = std::make_shared<BusDispatcher>();
  Sarnet_Configuration::Types::ArrayValueSignal config;
  config.set_busInterface("t1");
  config.set_canId(entry.message->id);
  config.set_extendedId(entry.message->extended);
  config.set_startBit(entry.signal->startBit);
  config.set_length(entry.signal->length);
  config.set_bigEndian(entry.signal->bigEndian);
  config.set_signed(entry.signal->isSigned);
  config.set_factor(entry.signal->factor);
  config.set_offset(entry.signal->offset);
  const auto value = ValueFactory::create(config, bus);
  ASSERT_NE(value, nullptr);
  bus->dispatch("t1", f);
  EXPECT_EQ(value->getCurrentValue(), physical) << entry.signal->name;
}

TEST(FrameDecoderTest, DecodesWhatTheDaemonWouldAndNothingElse) {
  const FrameDecoder decoder(vehicle());
  const struct {
    const char* what;
    CanFrame frame;
    std::string expected;  // "MESSAGE: SIGNAL=VALUE ..." or "" for nothing decoded
  } cases[] = {
      {"little-endian, big-endian signed, signed, factor and offset in exponent form", frame("100#FE102700800F002A"),
       "Body: Speed=100 Temp=-1064 Tilt=-2 Last=42 Shadow=14"},
      {"a frame too short for a signal decodes the others", frame("100#013412"), "Body: Speed=46.6 Tilt=1 Shadow=1"},
      {"the same number as an extended identifier is another message", frame("00000100#FFFFFFFFFFFFFFFF"),
       "Body100x: Raw=-1"},
      {"too short for every signal", frame("18FEF100#010203"), ""},
      {"CAN FD: a 48-byte frame is too short for it", frame("3D0##0" + std::string(96, 'F')), ""},
  };
  std::vector<FrameDecoder::Decoded> values;
  for (const auto& c : cases) {
    const DbcMessage* message = decoder.decode(c.frame, &values);
    std::ostringstream text;
    if (message != nullptr) text << message->name << ":";
    for (const FrameDecoder::Decoded& d : values) {
      const FrameDecoder::Entry& entry = decoder.signals().at(d.index);
      EXPECT_TRUE(entry.message->id == c.frame.id && entry.message->extended == c.frame.extended) << c.what;
      text << " " << entry.signal->name << "=" << d.physical;
      expectSameAsDaemon(entry, c.frame, d.physical);
    }
    EXPECT_EQ(text.str(), c.expected) << c.what;
  }

  std::ostringstream leftOut;
  for (const FrameDecoder::LeftOut& l : decoder.leftOut()) {
    // The bit-field check words its own reason (and knows the frame size): only its subject is fixed.
    const bool bits = l.entry.signal->name == "Wide" && l.reason.find("startBit 504") != std::string::npos;
    leftOut << l.entry.message->name << "." << l.entry.signal->name << ": " << (bits ? "(bits)" : l.reason) << "\n";
  }
  EXPECT_EQ(leftOut.str(),
            "Body.Wide: (bits)\n"
            "Body.Speed: its name repeats the signal on line 7\n"
            "Short.Far: its bits need 3 bytes, the message has 2\n"
            "TooBig.Lost: identifier exceeds 11 bits\n");

  // A filter keeps the signals it refuses out of both lists.
  const FrameDecoder speedOnly(vehicle(), [](const DbcMessage&, const DbcSignal& s) { return s.name == "Speed"; });
  EXPECT_EQ(speedOnly.signals().size(), 1u);
  EXPECT_EQ(speedOnly.leftOut().size(), 1u);  // the second Body.Speed
  EXPECT_EQ(speedOnly.decode(frame("18FEF100#0000008025"), &values), nullptr);
}

}  // namespace
}  // namespace VehicleBus
