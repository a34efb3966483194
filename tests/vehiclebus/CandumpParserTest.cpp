// The candump log reader: accepted line forms, refused lines with their reasons, and the
// all-or-nothing reading of a text.
#include <gtest/gtest.h>

#include <sstream>

#include "kest/vehiclebus/CandumpParser.h"

using VehicleBus::CandumpParser;
using VehicleBus::ParsedFrame;

// Each line's frame as "INTERFACE ID[x] [R] [fdFLAGS] [@STAMP] DATA" (x: extended, R: remote).
TEST(CandumpParserTest, ReadsEveryLineForm) {
  std::string fdLine = "00", fdHex = "00";  // 64 bytes, 00 to 3F, dotted: the longest line form
  for (int i = 1; i < 64; ++i) {
    const std::string byte{"0123456789ABCDEF"[i >> 4], "0123456789ABCDEF"[i & 0xF]};
    fdLine += "." + byte;
    fdHex += byte;
  }
  const std::pair<std::string, std::string> rows[] = {
      {"(1436509052.249713) sim0 18FEF100#00FF", "sim0 18FEF100x @1436509052249713 00FF"},
      {"sim0 123#DEAD", "sim0 123 DEAD"},
      {"123#R", " 123 R "},
      {"7ff#", " 7FF "},
      {"1FFFFFFF#01.02.03", " 1FFFFFFFx 010203"},
      {"  (0.5)\tvcan-1.x 00000001#0102030405060708 ", "vcan-1.x 1x @500000 0102030405060708"},
      {"(143650905200.249713) fd-interface-15 1FFFFFFF##3" + fdLine,
       "fd-interface-15 1FFFFFFFx fd3 @143650905200249713 " + fdHex},
      {"7FF##0", " 7FF fd0 "},
      {"123##1DE.AD.BE.EF.01.02.03.04.05.06.07.08", " 123 fd1 DEADBEEF0102030405060708"},
  };
  for (const auto& [line, expected] : rows) {
    std::string error;
    const std::optional<ParsedFrame> p = CandumpParser::parseLine(line, &error);
    ASSERT_TRUE(p) << line << ": " << error;
    const VehicleBus::CanFrame& f = p->frame;
    std::ostringstream text;
    text << p->interface << " " << std::hex << std::uppercase << f.id << std::dec << (f.extended ? "x" : "")
         << (f.remote ? " R" : "");
    if (f.fd || f.fdFlags != 0) text << (f.fd ? " fd" : " flags") << static_cast<int>(f.fdFlags);
    if (p->hasTimestamp) text << " @" << f.timestampUs;
    text << " ";
    for (uint8_t i = 0; i < f.length; ++i)
      text << "0123456789ABCDEF"[f.data[i] >> 4] << "0123456789ABCDEF"[f.data[i] & 0xF];
    EXPECT_EQ(text.str(), expected) << line;
  }
}

TEST(CandumpParserTest, RefusesMalformedLinesWithAShortReason) {
  const std::pair<std::string, std::string> rows[] = {
      {"hello", "no '#'"},
      {"", "blank"},
      {"20000000#00", "29 bits"},
      {"800#00", "11 bits"},
      {"1234#00", "3 or 8"},
      {"12G#00", "not hexadecimal"},
      {"123#ABC", "two hexadecimal digits"},
      {"123#010203040506070809", "more than 8"},
      {"123#01..02", "not hexadecimal"},
      {"bad/name 123#00", "bad interface name"},
      {"(12x.5) sim0 123#00", "time stamp"},
      {"(1.5) sim0 123#00 extra", "too many fields"},
      {"123##", "flags nibble missing"},
      {"123##G00", "flags nibble is not hexadecimal"},
      {"123##R", "flags nibble is not hexadecimal"},
      {"123##1ABC", "two hexadecimal digits"},
      {"123##1" + std::string(18, '0'), "9 data bytes is not a CAN FD length"},
      {"123##1" + std::string(130, '0'), "more than 64"},
      {std::string(321, 'A'), "longer than 320"},
  };
  for (const auto& [line, reason] : rows) {
    std::string error;
    EXPECT_FALSE(CandumpParser::parseLine(line, &error)) << line;
    EXPECT_NE(error.find(reason), std::string::npos) << line << " gave: " << error;
    EXPECT_LE(error.size(), 80U) << line;
  }
}

TEST(CandumpParserTest, TextIsAllOrNothingAndNamesTheFirstBadLineShortened) {
  std::vector<ParsedFrame> frames;
  std::string error;
  ASSERT_TRUE(CandumpParser::parseText("123#01\n\n  \nsim1 456#02\r\n", 10, &frames, &error)) << error;
  ASSERT_EQ(frames.size(), 2U);
  EXPECT_EQ(frames[1].interface, "sim1");

  const std::string hostile = "123#" + std::string(5000, 'Z') + "\x01";
  EXPECT_FALSE(CandumpParser::parseText("123#01\n" + hostile + "\n124#\n", 10, &frames, &error));
  EXPECT_TRUE(frames.empty());
  EXPECT_EQ(error.rfind("line 2: ", 0), 0U) << error;
  EXPECT_LT(error.size(), 150U);
  EXPECT_EQ(error.find('\x01'), std::string::npos);

  EXPECT_FALSE(CandumpParser::parseText("123#\n124#\n125#\n", 2, &frames, &error));
  EXPECT_NE(error.find("line 3: more than 2 frames"), std::string::npos) << error;
  EXPECT_TRUE(frames.empty());
}
