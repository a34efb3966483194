// The lexical layer of the DBC reader: the conversion of a file's bytes to UTF-8 text (CP1252 when
// they are not UTF-8 already) and the tokens of that text, each with its line.
// Thread safety: a DbcTokenizer is used by one thread; the static functions are reentrant.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace VehicleBus {

struct DbcToken {
  enum class Kind {
    kEnd,         // the end of the text
    kIdentifier,  // [A-Za-z_][A-Za-z0-9_]*
    kNumber,      // an optionally signed decimal number, with fraction and exponent
    kString,      // "..." over any number of lines; `text` is the body, escapes still in it
    kPunct,       // one of : ; | @ ( ) [ ] , + -
    kOther,       // any other character (an error wherever a statement is read, not where one is skipped)
  };
  Kind kind = Kind::kEnd;
  std::string_view text;    // a view into the tokenizer's text
  int line = 0;             // where the token begins, counted from 1
  bool startsLine = false;  // the first token on its line
  bool indented = false;    // the first token on its line, after blanks

  bool is(char punct) const { return kind == Kind::kPunct && text.size() == 1 && text[0] == punct; }
};

class DbcTokenizer {
 public:
  // The longest string token; a longer one is refused.
  static constexpr std::size_t kMaxStringLength = 64 * 1024;

  // Tokens of `text`, which must outlive the tokenizer.
  explicit DbcTokenizer(std::string_view text) : text_(text) {}

  // Reads the next token into `*token` (kEnd, again and again, at the end of the text). Returns
  // false with "LINE: what is wrong" in `*error` for a string that is not closed or is over
  // kMaxStringLength.
  bool next(DbcToken* token, std::string* error);

  // `bytes` as UTF-8 text in `*text`, a byte-order mark dropped: unchanged when they are valid
  // UTF-8, otherwise read as CP1252, whose five undefined bytes (0x81, 0x8D, 0x8F, 0x90, 0x9D)
  // become U+FFFD. Returns a view of `bytes` itself when they were valid UTF-8 (`*text` is then
  // left empty), otherwise a view of `*text`.
  static std::string_view toUtf8(std::string_view bytes, std::string* text);

  // The number (from 1) of the first line of `text` with more than `maxLength` bytes, or 0.
  static int firstLineOver(std::string_view text, std::size_t maxLength);

  // The body of a string token with its escapes (\" and \\) resolved and CR LF read as LF.
  static std::string unescape(std::string_view body);

  // At most 40 characters of `text` for an error message, printable ASCII only (any other byte
  // becomes '?'), so that an echo is one short line whatever the input held.
  static std::string echo(std::string_view text);

 private:
  // Moves past blanks and line ends, counting lines.
  void skipBlanks();
  // Reads the string that opens at pos_ into `*token`; false with `*error` set as next() says.
  bool readString(DbcToken* token, std::string* error);
  // The length of the number that begins at pos_, or 0 when none does.
  std::size_t numberLength() const;

  std::string_view text_;
  std::size_t pos_ = 0;
  int line_ = 1;
  std::size_t lineStart_ = 0;  // offset of the current line's first byte
  int lastTokenLine_ = 0;      // the line of the previous token
};

}  // namespace VehicleBus
