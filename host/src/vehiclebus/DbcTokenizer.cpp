// Splits DBC text into tokens without copying it: each token is a view into the text, so reading
// a file costs one pass and no allocation per token.
#include "vehiclebus/DbcTokenizer.h"

#include <cstring>

namespace VehicleBus {

namespace {

constexpr std::size_t kMaxEchoedBytes = 40;
constexpr std::string_view kPunctuation = ":;|@()[],+-";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr char32_t kReplacement = 0xFFFD;

// CP1252 0x80-0x9F; 0 marks the five bytes that the code page leaves undefined.
constexpr char16_t kCp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isIdentifierStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool isIdentifierChar(char c) { return isIdentifierStart(c) || isDigit(c); }
bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v'; }

// The length of the well-formed UTF-8 sequence at `s[i]` (no overlong forms, no surrogates, nothing
// above U+10FFFF), or 0 when there is none.
std::size_t utf8Length(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return k < s.size() ? static_cast<unsigned char>(s[k]) : 0u; };
  const unsigned b0 = byte(i);
  const auto continuation = [&](std::size_t k) { return (byte(k) & 0xC0u) == 0x80u; };
  if (b0 < 0x80) return 1;
  if (b0 >= 0xC2 && b0 <= 0xDF) return continuation(i + 1) ? 2 : 0;
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    const unsigned b1 = byte(i + 1);
    const bool ok = (b0 == 0xE0 ? b1 >= 0xA0 : true) && (b0 == 0xED ? b1 < 0xA0 : true);
    return ok && continuation(i + 1) && continuation(i + 2) ? 3 : 0;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    const unsigned b1 = byte(i + 1);
    const bool ok = (b0 == 0xF0 ? b1 >= 0x90 : true) && (b0 == 0xF4 ? b1 < 0x90 : true);
    return ok && continuation(i + 1) && continuation(i + 2) && continuation(i + 3) ? 4 : 0;
  }
  return 0;
}

bool isUtf8(std::string_view s) {
  for (std::size_t i = 0; i < s.size();) {
    const std::size_t n = utf8Length(s, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

void appendUtf8(char32_t c, std::string* out) {
  if (c < 0x80) {
    *out += static_cast<char>(c);
  } else if (c < 0x800) {
    *out += static_cast<char>(0xC0 | (c >> 6));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out += static_cast<char>(0xE0 | (c >> 12));
    *out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::string_view DbcTokenizer::toUtf8(std::string_view bytes, std::string* text) {
  if (bytes.substr(0, kByteOrderMark.size()) == kByteOrderMark) bytes.remove_prefix(kByteOrderMark.size());
  if (isUtf8(bytes)) return bytes;
  text->clear();
  text->reserve(bytes.size() + bytes.size() / 8);
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      *text += c;
    } else if (b < 0xA0) {
      const char32_t mapped = kCp1252High[b - 0x80];
      appendUtf8(mapped != 0 ? mapped : kReplacement, text);
    } else {
      appendUtf8(b, text);  // 0xA0-0xFF are U+00A0-U+00FF
    }
  }
  return *text;
}

int DbcTokenizer::firstLineOver(std::string_view text, std::size_t maxLength) {
  int line = 1;
  for (std::size_t start = 0; start < text.size(); ++line) {
    const void* const newline = std::memchr(text.data() + start, '\n', text.size() - start);
    const std::size_t end = newline != nullptr ? static_cast<const char*>(newline) - text.data() : text.size();
    if (end - start > maxLength) return line;
    start = end + 1;
  }
  return 0;
}

std::string DbcTokenizer::unescape(std::string_view body) {
  std::string out;
  out.reserve(body.size());
  for (std::size_t i = 0; i < body.size(); ++i) {
    const char c = body[i];
    if (c == '\\' && i + 1 < body.size() && (body[i + 1] == '"' || body[i + 1] == '\\')) {
      out += body[++i];
    } else if (c != '\r' || i + 1 >= body.size() || body[i + 1] != '\n') {
      out += c;
    }
  }
  return out;
}

std::string DbcTokenizer::echo(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size() && i < kMaxEchoedBytes; ++i)
    out += text[i] >= 0x20 && text[i] < 0x7f ? text[i] : '?';
  if (text.size() > kMaxEchoedBytes) out += "...";
  return out;
}

void DbcTokenizer::skipBlanks() {
  while (pos_ < text_.size() && isBlank(text_[pos_])) {
    if (text_[pos_] == '\n') {
      ++line_;
      lineStart_ = pos_ + 1;
    }
    ++pos_;
  }
}

std::size_t DbcTokenizer::numberLength() const {
  std::size_t i = pos_;
  const auto at = [&](std::size_t k) { return k < text_.size() ? text_[k] : '\0'; };
  if (at(i) == '+' || at(i) == '-') ++i;
  const std::size_t mantissa = i;
  while (isDigit(at(i))) ++i;
  const bool integral = i > mantissa;
  if (at(i) == '.' && (integral || isDigit(at(i + 1)))) {
    ++i;
    while (isDigit(at(i))) ++i;
  } else if (!integral) {
    return 0;
  }
  if (at(i) == 'e' || at(i) == 'E') {
    std::size_t e = i + 1;
    if (at(e) == '+' || at(e) == '-') ++e;
    if (isDigit(at(e))) {
      while (isDigit(at(e))) ++e;
      i = e;
    }
  }
  return i - pos_;
}

bool DbcTokenizer::readString(DbcToken* token, std::string* error) {
  const std::size_t start = ++pos_;  // past the opening quote
  while (pos_ < text_.size() && text_[pos_] != '"') {
    if (text_[pos_] == '\\' && pos_ + 1 < text_.size()) ++pos_;
    if (text_[pos_] == '\n') {
      ++line_;
      lineStart_ = pos_ + 1;
    }
    if (++pos_ - start > kMaxStringLength) {
      *error = std::to_string(token->line) + ": string over " + std::to_string(kMaxStringLength) + " bytes";
      return false;
    }
  }
  if (pos_ >= text_.size()) {
    *error = std::to_string(token->line) + ": string not closed";
    return false;
  }
  token->kind = DbcToken::Kind::kString;
  token->text = text_.substr(start, pos_ - start);
  ++pos_;  // past the closing quote
  return true;
}

bool DbcTokenizer::next(DbcToken* token, std::string* error) {
  skipBlanks();
  token->line = line_;
  token->startsLine = line_ != lastTokenLine_;
  token->indented = token->startsLine && pos_ > lineStart_;
  if (pos_ >= text_.size()) {
    token->kind = DbcToken::Kind::kEnd;
    token->text = std::string_view();
    token->startsLine = true;
    return true;
  }
  const char c = text_[pos_];
  std::size_t length = 1;
  if (c == '"') {
    if (!readString(token, error)) return false;
    lastTokenLine_ = line_;
    return true;
  }
  if (isIdentifierStart(c)) {
    token->kind = DbcToken::Kind::kIdentifier;
    while (pos_ + length < text_.size() && isIdentifierChar(text_[pos_ + length])) ++length;
  } else if (const std::size_t number = numberLength(); number > 0) {
    token->kind = DbcToken::Kind::kNumber;
    length = number;
  } else {
    token->kind = kPunctuation.find(c) != std::string_view::npos ? DbcToken::Kind::kPunct : DbcToken::Kind::kOther;
  }
  token->text = text_.substr(pos_, length);
  pos_ += length;
  lastTokenLine_ = line_;
  return true;
}

}  // namespace VehicleBus
