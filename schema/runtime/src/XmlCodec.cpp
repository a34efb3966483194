// Serialising configuration documents: escaping, number formats and the element writers. Reading
// is in XmlCodecReading.cpp.
#include "kolconfig/XmlCodec.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <string>

namespace Sarnet_Configuration {
namespace Types {
namespace detail {
namespace {

// Length of the valid UTF-8 sequence at p that XML 1.0 can carry; 0 when there is none.
std::size_t utf8SequenceLength(const unsigned char* p, std::size_t available) {
  const unsigned char c = p[0];
  auto cont = [&](std::size_t i, unsigned char lo = 0x80, unsigned char hi = 0xBF) {
    return i < available && p[i] >= lo && p[i] <= hi;
  };
  if (c >= 0xC2 && c <= 0xDF) {
    return cont(1) ? 2 : 0;
  }
  if (c == 0xE0) {
    return cont(1, 0xA0) && cont(2) ? 3 : 0;
  }
  if (c == 0xED) {
    return cont(1, 0x80, 0x9F) && cont(2) ? 3 : 0;
  }
  if (c >= 0xE1 && c <= 0xEF) {
    if (!(cont(1) && cont(2))) {
      return 0;
    }
    // U+FFFE and U+FFFF are not XML characters.
    if (c == 0xEF && p[1] == 0xBF && (p[2] == 0xBE || p[2] == 0xBF)) {
      return 0;
    }
    return 3;
  }
  if (c == 0xF0) {
    return cont(1, 0x90) && cont(2) && cont(3) ? 4 : 0;
  }
  if (c >= 0xF1 && c <= 0xF3) {
    return cont(1) && cont(2) && cont(3) ? 4 : 0;
  }
  if (c == 0xF4) {
    return cont(1, 0x80, 0x8F) && cont(2) && cont(3) ? 4 : 0;
  }
  return 0;
}

// Appends `value` with XML escaping; false when it holds bytes that XML 1.0 cannot carry.
// Runs of plain characters are copied in one piece.
bool appendEscaped(std::string& out, const std::string& value, bool attribute) {
  const unsigned char* const p = reinterpret_cast<const unsigned char*>(value.data());
  const std::size_t n = value.size();
  std::size_t runStart = 0;
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (c >= 0x80) {
      const std::size_t len = utf8SequenceLength(p + i, n - i);
      if (len == 0) {
        return false;
      }
      i += len;
      continue;
    }
    const char* replacement = nullptr;
    switch (c) {
      case '&':
        replacement = "&amp;";
        break;
      case '<':
        replacement = "&lt;";
        break;
      case '>':
        replacement = "&gt;";
        break;
      case '\r':
        replacement = "&#13;";
        break;  // a raw CR would be normalised away
      case '"':
        replacement = attribute ? "&quot;" : nullptr;
        break;
      case '\n':
        replacement = attribute ? "&#10;" : nullptr;
        break;
      case '\t':
        replacement = attribute ? "&#9;" : nullptr;
        break;
      default:
        if (c < 0x20) {
          return false;
        }
        break;
    }
    if (replacement != nullptr) {
      out.append(value, runStart, i - runStart);
      out += replacement;
      runStart = i + 1;
    }
    ++i;
  }
  out.append(value, runStart, n - runStart);
  return true;
}

void indent(std::string& out, int depth) { out.append(static_cast<std::size_t>(depth) * 2, ' '); }

template <class Number>
std::string formatNumber(Number value) {
  char buffer[32];
  const std::to_chars_result result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

std::string formatDouble(double value) {
  if (std::isnan(value)) {
    return "NaN";
  }
  if (std::isinf(value)) {
    return value > 0 ? "INF" : "-INF";
  }
  return formatNumber(value);  // shortest text that reads back to the same double
}

void appendSimple(std::string& out, int depth, const char* name, const std::string& lexical) {
  indent(out, depth);
  out += "<k:";
  out += name;
  out += '>';
  out += lexical;
  out += "</k:";
  out += name;
  out += ">\n";
}

void appendAttribute(std::string& out, const char* name, const std::string& lexical) {
  out += ' ';
  out += name;
  out += "=\"";
  out += lexical;
  out += '"';
}

}  // namespace

void writeValue(std::string& out, int depth, const char* name, const std::string& value) {
  indent(out, depth);
  out += "<k:";
  out += name;
  out += '>';
  if (!appendEscaped(out, value, false)) {
    throw XPlus::Exception("Serialisation error: the text of element '" + std::string(name) +
                           "' is not valid UTF-8 or holds a character that XML cannot carry");
  }
  out += "</k:";
  out += name;
  out += ">\n";
}

void writeValue(std::string& out, int depth, const char* name, int32_t value) {
  appendSimple(out, depth, name, formatNumber(value));
}

void writeValue(std::string& out, int depth, const char* name, int64_t value) {
  appendSimple(out, depth, name, formatNumber(value));
}

void writeValue(std::string& out, int depth, const char* name, uint32_t value) {
  appendSimple(out, depth, name, formatNumber(value));
}

void writeValue(std::string& out, int depth, const char* name, uint64_t value) {
  appendSimple(out, depth, name, formatNumber(value));
}

void writeValue(std::string& out, int depth, const char* name, bool value) {
  appendSimple(out, depth, name, value ? "true" : "false");
}

void writeValue(std::string& out, int depth, const char* name, double value) {
  appendSimple(out, depth, name, formatDouble(value));
}

void writeAttribute(std::string& out, const char* name, const std::string& value) {
  out += ' ';
  out += name;
  out += "=\"";
  if (!appendEscaped(out, value, true)) {
    throw XPlus::Exception("Serialisation error: the value of attribute '" + std::string(name) +
                           "' is not valid UTF-8 or holds a character that XML cannot carry");
  }
  out += '"';
}

void writeAttribute(std::string& out, const char* name, int32_t value) {
  appendAttribute(out, name, formatNumber(value));
}

void writeAttribute(std::string& out, const char* name, int64_t value) {
  appendAttribute(out, name, formatNumber(value));
}

void writeAttribute(std::string& out, const char* name, uint32_t value) {
  appendAttribute(out, name, formatNumber(value));
}

void writeAttribute(std::string& out, const char* name, uint64_t value) {
  appendAttribute(out, name, formatNumber(value));
}

void writeAttribute(std::string& out, const char* name, bool value) {
  appendAttribute(out, name, value ? "true" : "false");
}

void writeAttribute(std::string& out, const char* name, double value) {
  appendAttribute(out, name, formatDouble(value));
}

void writeNode(std::string& out, int depth, const char* name, const XmlNode& node, bool withType) {
  indent(out, depth);
  out += "<k:";
  out += name;
  if (withType) {
    out += " xsi:type=\"k:";
    out += node.typeName();
    out += '"';
  }
  node.writeAttributes_(out);
  const std::size_t mark = out.size();
  out += ">\n";
  node.writeChildren_(out, depth + 1);
  if (out.size() == mark + 2) {
    out.resize(mark);
    out += "/>\n";
  } else {
    indent(out, depth);
    out += "</k:";
    out += name;
    out += ">\n";
  }
}

void missingOnWrite(const char* name, const std::string& ownerType) {
  throw XPlus::Exception("Serialisation error: required element '" + std::string(name) + "' of " + ownerType +
                         " is missing");
}

}  // namespace detail
}  // namespace Types
}  // namespace Sarnet_Configuration
