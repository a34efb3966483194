// The statement layer of the DBC reader: one function per statement that decoding needs, every
// other statement skipped to its end. Comments, value tables and value types are looked up by the
// identifier as written, so each costs one hash lookup whatever the size of the file.
#include "kest/vehiclebus/DbcParser.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "kolconfig/FileIo.h"
#include "vehiclebus/DbcTokenizer.h"

namespace VehicleBus {

namespace {

constexpr std::uint32_t kExtendedFlag = 0x80000000u;
constexpr std::uint32_t kIndependentSignals = 0xC0000000u;  // VECTOR__INDEPENDENT_SIG_MSG
constexpr std::uint32_t kMaxStandardId = 0x7FF;
constexpr std::uint32_t kMaxExtendedId = 0x1FFFFFFF;
constexpr std::uint64_t kMaxLength = 64;  // bytes of a CAN FD frame
constexpr std::uint64_t kMaxBits = 8 * kMaxLength;

std::string hex(std::uint32_t value) {
  char buffer[16];
  const auto end = std::to_chars(buffer, buffer + sizeof buffer, value, 16).ptr;
  std::string digits(buffer, end);
  for (char& c : digits) c = static_cast<char>(c >= 'a' ? c - 'a' + 'A' : c);
  return "0x" + digits;
}

// VERSION or an upper-case word ending in '_' (BO_, CM_, BA_DEF_DEF_, ...).
bool isKeyword(const DbcToken& token) {
  if (token.kind != DbcToken::Kind::kIdentifier) return false;
  if (token.text == "VERSION") return true;
  if (token.text.back() != '_') return false;
  for (const char c : token.text) {
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_')) return false;
  }
  return true;
}

// Reads the statements of one text; used once. Every function below returns true when what it
// reads is well-formed and false with error_ set ("LINE: what is wrong") when it is not; a
// function that reads something consumes its tokens and leaves current_ on the next one.
class Reader {
 public:
  explicit Reader(std::string_view text) : tokens_(text) {}

  // Reads the whole text into `*file`.
  bool run(DbcFile* file);
  const std::string& error() const { return error_; }

 private:
  using Statement = bool (Reader::*)();

  // Moves to the next token.
  bool advance();
  // Whether current_ ends the statement being read: ';', the end, or a keyword opening a line.
  bool atStatementEnd() const {
    return current_.kind == DbcToken::Kind::kEnd || current_.is(';') || (current_.startsLine && isKeyword(current_));
  }
  // Always false: sets error_ at the line of current_, or of the previous token when current_
  // already belongs to a later line.
  bool fail(const std::string& what);
  // fail() with "expected WHAT, found ...".
  bool expected(const std::string& what);
  // The punctuation `punct`, described by `what` when it is missing.
  bool expect(char punct, const char* what);
  // An identifier, a whole number up to `max`, a whole signed number, a finite number, a string.
  bool identifier(std::string_view* out, const char* what);
  bool unsignedNumber(std::uint64_t max, std::uint64_t* out, const char* what);
  bool signedNumber(std::int64_t* out, const char* what);
  bool realNumber(double* out, const char* what);
  bool string(std::string* out, const char* what);
  // The end of a statement of `keyword`: ';' (consumed) or what atStatementEnd() accepts.
  bool endStatement(const char* keyword);
  // Skips the rest of the statement.
  bool skipStatement();
  // Reads "ID SIGNAL" and sets `*signal` to that signal, or to null when the file defines none.
  bool findSignal(DbcSignal** signal);

  // The statements, each called with current_ after its keyword.
  bool version();
  bool newSymbols();
  bool nodes();
  bool message();
  bool signal();
  bool comment();
  bool valueDescriptions();
  bool valueType();
  // Parts of BO_ and SG_: the checks of a message identifier; "START|LENGTH@ORDER SIGN"; and
  // "(FACTOR,OFFSET) [MIN|MAX] "UNIT"".
  bool messageIdentifier(std::uint32_t dbcId, DbcMessage* message);
  bool signalLayout(DbcSignal* signal);
  bool signalScaling(DbcSignal* signal);

  DbcTokenizer tokens_;
  DbcToken current_;
  int previousLine_ = 1;  // the line of the last token consumed
  std::string error_;
  DbcFile file_;
  std::unordered_map<std::uint32_t, std::size_t> messages_;                       // DBC identifier as written -> index
  std::unordered_map<std::string, std::pair<std::size_t, std::size_t>> signals_;  // "INDEX NAME" -> indices
  bool inMessage_ = false;         // the last statement was BO_ or SG_ of a message kept
  bool inSkippedMessage_ = false;  // ... of the message of unplaced signals
  std::size_t signalCount_ = 0;
  std::size_t valueCount_ = 0;
};

bool Reader::advance() {
  if (current_.kind != DbcToken::Kind::kEnd) previousLine_ = current_.line;
  return tokens_.next(&current_, &error_);
}

bool Reader::fail(const std::string& what) {
  const bool elsewhere =
      current_.kind == DbcToken::Kind::kEnd || (current_.startsLine && current_.line > previousLine_);
  error_ = std::to_string(elsewhere ? previousLine_ : current_.line) + ": " + what;
  return false;
}

bool Reader::expected(const std::string& what) {
  if (current_.kind == DbcToken::Kind::kEnd) return fail("expected " + what + ", found the end of the file");
  if (current_.startsLine && current_.line > previousLine_) return fail("expected " + what + " before the line end");
  return fail("expected " + what + ", found '" + DbcTokenizer::echo(current_.text) + "'");
}

bool Reader::expect(char punct, const char* what) {
  if (!current_.is(punct)) return expected(what);
  return advance();
}

bool Reader::identifier(std::string_view* out, const char* what) {
  if (current_.kind != DbcToken::Kind::kIdentifier || atStatementEnd()) return expected(what);
  *out = current_.text;
  return advance();
}

bool Reader::unsignedNumber(std::uint64_t max, std::uint64_t* out, const char* what) {
  const std::string_view text = current_.text;
  const char* const end = text.data() + text.size();
  if (current_.kind != DbcToken::Kind::kNumber || atStatementEnd()) return expected(what);
  const auto [ptr, ec] = std::from_chars(text.data(), end, *out);
  if (ec != std::errc() || ptr != end || *out > max)
    return fail(std::string(what) + " '" + DbcTokenizer::echo(text) + "' is not a whole number from 0 to " +
                std::to_string(max));
  return advance();
}

bool Reader::signedNumber(std::int64_t* out, const char* what) {
  std::string_view text = current_.text;
  if (current_.kind != DbcToken::Kind::kNumber || atStatementEnd()) return expected(what);
  if (text.front() == '+') text.remove_prefix(1);
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  if (ec != std::errc() || ptr != text.data() + text.size())
    return fail(std::string(what) + " '" + DbcTokenizer::echo(current_.text) + "' is not a whole 64-bit number");
  return advance();
}

bool Reader::realNumber(double* out, const char* what) {
  std::string_view text = current_.text;
  if (current_.kind != DbcToken::Kind::kNumber || atStatementEnd()) return expected(what);
  if (text.front() == '+') text.remove_prefix(1);
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
  if (ec != std::errc() || ptr != text.data() + text.size() || !std::isfinite(*out))
    return fail(std::string(what) + " '" + DbcTokenizer::echo(current_.text) + "' is not a finite number");
  return advance();
}

bool Reader::string(std::string* out, const char* what) {
  if (current_.kind != DbcToken::Kind::kString) return expected(what);
  *out = DbcTokenizer::unescape(current_.text);
  return advance();
}

bool Reader::endStatement(const char* keyword) {
  if (current_.is(';')) return advance();
  if (atStatementEnd()) return true;
  return fail("unexpected '" + DbcTokenizer::echo(current_.text) + "' in the " + keyword + " entry");
}

bool Reader::skipStatement() {
  while (!atStatementEnd()) {
    if (!advance()) return false;
  }
  return current_.is(';') ? advance() : true;
}

bool Reader::run(DbcFile* file) {
  static const std::pair<std::string_view, Statement> kStatements[] = {{"VERSION", &Reader::version},
                                                                       {"NS_", &Reader::newSymbols},
                                                                       {"BU_", &Reader::nodes},
                                                                       {"BO_", &Reader::message},
                                                                       {"SG_", &Reader::signal},
                                                                       {"CM_", &Reader::comment},
                                                                       {"VAL_", &Reader::valueDescriptions},
                                                                       {"SIG_VALTYPE_", &Reader::valueType}};
  if (!advance()) return false;
  while (current_.kind != DbcToken::Kind::kEnd) {
    if (current_.is(';')) {  // an empty statement
      if (!advance()) return false;
      continue;
    }
    if (!isKeyword(current_)) {
      error_ = std::to_string(current_.line) + ": unexpected '" + DbcTokenizer::echo(current_.text) + "'";
      return false;
    }
    const std::string_view keyword = current_.text;
    if (!advance()) return false;
    Statement statement = &Reader::skipStatement;
    for (const auto& [name, function] : kStatements) {
      if (keyword == name) statement = function;
    }
    const bool messagePart = statement == &Reader::message || statement == &Reader::signal;
    if (!messagePart) inMessage_ = inSkippedMessage_ = false;
    // A keyword alone on its line (an NS_ list written without indentation) says nothing.
    const bool bare = statement != &Reader::newSymbols && atStatementEnd();
    if (!(bare ? skipStatement() : (this->*statement)())) return false;
  }
  *file = std::move(file_);
  return true;
}

bool Reader::version() { return string(&file_.version, "the version text") && endStatement("VERSION"); }

// NS_ : and its list of keywords, one per indented line. The list ends at a line that is not
// indented or that begins with BS_, BU_ or BO_, which no list holds.
bool Reader::newSymbols() {
  const auto listEnds = [this] {
    const std::string_view t = current_.text;
    return current_.startsLine && (!current_.indented || t == "BS_" || t == "BU_" || t == "BO_");
  };
  if (current_.is(':') && !advance()) return false;
  while (current_.kind != DbcToken::Kind::kEnd && !listEnds()) {
    if (!advance()) return false;
  }
  return true;
}

bool Reader::nodes() {
  if (!expect(':', "':' after BU_")) return false;
  while (!atStatementEnd()) {
    std::string_view node;
    if (!identifier(&node, "a node name")) return false;
    file_.nodes.emplace_back(node);
  }
  return endStatement("BU_");
}

bool Reader::messageIdentifier(std::uint32_t dbcId, DbcMessage* message) {
  message->extended = (dbcId & kExtendedFlag) != 0;
  message->id = dbcId & ~kExtendedFlag;
  if (message->extended && message->id > kMaxExtendedId)
    return fail("message id " + hex(dbcId) + " is over 29 bits once bit 31 is removed");
  if (!message->extended && message->id > kMaxStandardId)
    return fail("message id " + hex(dbcId) + " is over 0x7FF but bit 31 (extended) is not set");
  if (const auto known = messages_.find(dbcId); known != messages_.end())
    return fail("message id " + hex(dbcId) + " is already defined on line " +
                std::to_string(file_.messages[known->second].line));
  if (file_.messages.size() >= DbcParser::kMaxMessages)
    return fail("more than " + std::to_string(DbcParser::kMaxMessages) + " messages");
  return true;
}

bool Reader::message() {
  DbcMessage message;
  message.line = previousLine_;
  std::uint64_t dbcId = 0;
  std::uint64_t length = 0;
  std::string_view name;
  if (!unsignedNumber(UINT32_MAX, &dbcId, "the message id") || !identifier(&name, "the message name") ||
      !expect(':', "':' after the message name") || !unsignedNumber(UINT32_MAX, &length, "the message length")) {
    return false;
  }
  inSkippedMessage_ = dbcId == kIndependentSignals;
  inMessage_ = !inSkippedMessage_;
  if (inSkippedMessage_) return skipStatement();
  if (length > kMaxLength) return fail("message length " + std::to_string(length) + " is over 64 bytes");
  if (!messageIdentifier(static_cast<std::uint32_t>(dbcId), &message)) return false;
  std::string_view transmitter = "Vector__XXX";
  if (!atStatementEnd() && !identifier(&transmitter, "the transmitter")) return false;
  message.name = name;
  message.length = static_cast<unsigned>(length);
  message.transmitter = transmitter;
  messages_.emplace(static_cast<std::uint32_t>(dbcId), file_.messages.size());
  file_.messages.push_back(std::move(message));
  return endStatement("BO_");
}

bool Reader::signalLayout(DbcSignal* signal) {
  std::uint64_t start = 0;
  std::uint64_t length = 0;
  std::uint64_t order = 0;
  if (!unsignedNumber(kMaxBits - 1, &start, "the start bit") || !expect('|', "'|' after the start bit") ||
      !unsignedNumber(kMaxBits, &length, "the length") || !expect('@', "'@' after the length") ||
      !unsignedNumber(1, &order, "the byte order")) {
    return false;
  }
  if (!current_.is('+') && !current_.is('-')) return expected("'+' or '-' after the byte order");
  signal->startBit = static_cast<int>(start);
  signal->length = static_cast<int>(length);
  signal->bigEndian = order == 0;
  signal->isSigned = current_.is('-');
  return advance();
}

bool Reader::signalScaling(DbcSignal* signal) {
  return expect('(', "'(' before the factor") && realNumber(&signal->factor, "the factor") &&
         expect(',', "',' after the factor") && realNumber(&signal->offset, "the offset") &&
         expect(')', "')' after the offset") && expect('[', "'[' before the minimum") &&
         realNumber(&signal->minimum, "the minimum") && expect('|', "'|' after the minimum") &&
         realNumber(&signal->maximum, "the maximum") && expect(']', "']' after the maximum") &&
         string(&signal->unit, "the unit");
}

// "M" is the multiplexor; "mN" a signal sent when the multiplexor is N ("mNM": also a multiplexor
// of its own, read as multiplexed).
bool readMultiplex(std::string_view text, DbcSignal* signal) {
  if (text == "M") {
    signal->multiplex = DbcSignal::Multiplex::kMultiplexor;
    return true;
  }
  if (text.size() < 2 || text[0] != 'm') return false;
  if (text.back() == 'M') text.remove_suffix(1);
  const auto [ptr, ec] = std::from_chars(text.data() + 1, text.data() + text.size(), signal->multiplexValue);
  signal->multiplex = DbcSignal::Multiplex::kMultiplexed;
  return ec == std::errc() && ptr == text.data() + text.size();
}

bool Reader::signal() {
  if (!inMessage_ && !inSkippedMessage_) return fail("SG_ outside a message");
  DbcSignal signal;
  signal.line = previousLine_;
  std::string_view name;
  if (!identifier(&name, "the signal name")) return false;
  signal.name = name;
  const bool multiplex = current_.kind == DbcToken::Kind::kIdentifier && !atStatementEnd();
  if (multiplex && !readMultiplex(current_.text, &signal))
    return fail("'" + DbcTokenizer::echo(current_.text) + "' is neither M nor mN (multiplexing)");
  if (multiplex && !advance()) return false;
  if (!expect(':', "':' after the signal name") || !signalLayout(&signal) || !signalScaling(&signal)) return false;
  while (!atStatementEnd()) {
    std::string_view receiver;
    if (current_.is(',') ? !advance() : !identifier(&receiver, "a receiver")) return false;
    if (!receiver.empty()) signal.receivers.emplace_back(receiver);
  }
  if (!endStatement("SG_")) return false;
  if (inSkippedMessage_) return true;
  if (++signalCount_ > DbcParser::kMaxSignals)
    return fail("more than " + std::to_string(DbcParser::kMaxSignals) + " signals");
  const std::size_t index = file_.messages.size() - 1;
  std::vector<DbcSignal>& signals = file_.messages.back().signals;
  signals_.try_emplace(std::to_string(index) + ' ' + signal.name, index, signals.size());
  signals.push_back(std::move(signal));
  return true;
}

bool Reader::findSignal(DbcSignal** signal) {
  std::uint64_t dbcId = 0;
  std::string_view name;
  if (!unsignedNumber(UINT32_MAX, &dbcId, "the message id") || !identifier(&name, "the signal name")) return false;
  *signal = nullptr;
  const auto message = messages_.find(static_cast<std::uint32_t>(dbcId));
  if (message == messages_.end()) return true;
  const auto found = signals_.find(std::to_string(message->second) + ' ' + std::string(name));
  if (found != signals_.end()) *signal = &file_.messages[found->second.first].signals[found->second.second];
  return true;
}

// CM_ "text"; CM_ BU_ node "text"; CM_ BO_ id "text"; CM_ SG_ id signal "text"; CM_ EV_ name "text".
// Comments of what the file does not define are dropped, as are those of nodes and variables.
bool Reader::comment() {
  std::string text;
  std::string* target = nullptr;
  if (current_.text == "BO_" && current_.kind == DbcToken::Kind::kIdentifier) {
    std::uint64_t dbcId = 0;
    if (!advance() || !unsignedNumber(UINT32_MAX, &dbcId, "the message id")) return false;
    const auto message = messages_.find(static_cast<std::uint32_t>(dbcId));
    if (message != messages_.end()) target = &file_.messages[message->second].comment;
  } else if (current_.text == "SG_" && current_.kind == DbcToken::Kind::kIdentifier) {
    DbcSignal* signal = nullptr;
    if (!advance() || !findSignal(&signal)) return false;
    if (signal != nullptr) target = &signal->comment;
  } else if (current_.kind == DbcToken::Kind::kIdentifier) {
    std::string_view name;
    if (!advance() || !identifier(&name, "a name")) return false;
  }
  if (!string(&text, "the comment text")) return false;
  if (target != nullptr) *target = std::move(text);
  return endStatement("CM_");
}

// VAL_ id signal N "text" ... ; the form for environment variables (a name first) is skipped.
bool Reader::valueDescriptions() {
  if (current_.kind == DbcToken::Kind::kIdentifier) return skipStatement();
  DbcSignal* signal = nullptr;
  if (!findSignal(&signal)) return false;
  std::vector<std::pair<std::int64_t, std::string>> table;
  while (!atStatementEnd()) {
    std::pair<std::int64_t, std::string> entry;
    if (!signedNumber(&entry.first, "a value") || !string(&entry.second, "the text of a value")) return false;
    if (++valueCount_ > DbcParser::kMaxValueDescriptions)
      return fail("more than " + std::to_string(DbcParser::kMaxValueDescriptions) + " value descriptions");
    table.push_back(std::move(entry));
  }
  if (signal != nullptr) signal->valueTable = std::move(table);
  return endStatement("VAL_");
}

// SIG_VALTYPE_ id signal : 0|1|2; (integer, IEEE float32, IEEE float64).
bool Reader::valueType() {
  DbcSignal* signal = nullptr;
  std::uint64_t type = 0;
  if (!findSignal(&signal) || (current_.is(':') && !advance()) || !unsignedNumber(2, &type, "the value type"))
    return false;
  static constexpr DbcSignal::ValueType kTypes[] = {DbcSignal::ValueType::kInteger, DbcSignal::ValueType::kFloat32,
                                                    DbcSignal::ValueType::kFloat64};
  if (signal != nullptr) signal->valueType = kTypes[type];
  return endStatement("SIG_VALTYPE_");
}

// Reads the regular file at `path`, of at most DbcParser::kMaxBytes, into `*bytes`. Returns 0, or
// the errno of the failure (EFBIG for a larger file, EINVAL for one that is not a regular file).
int readRegularFile(const std::string& path, std::string* bytes) {
  const xmldoc::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat status {};
  if (!fd.valid() || ::fstat(fd.get(), &status) != 0) return errno;
  if (!S_ISREG(status.st_mode)) return EINVAL;
  if (static_cast<std::uint64_t>(status.st_size) > DbcParser::kMaxBytes) return EFBIG;
  bytes->resize(static_cast<std::size_t>(status.st_size));
  std::size_t done = 0;
  while (done < bytes->size()) {
    const ssize_t n = ::read(fd.get(), bytes->data() + done, bytes->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) break;  // the file shrank meanwhile: what is there is read
    done += static_cast<std::size_t>(n);
  }
  bytes->resize(done);
  return 0;
}

}  // namespace

bool DbcParser::parse(std::string_view bytes, DbcFile* file, std::string* error) {
  if (bytes.size() > kMaxBytes) {
    *error = "1: the text is larger than 16 MiB";
    return false;
  }
  std::string converted;
  const std::string_view text = DbcTokenizer::toUtf8(bytes, &converted);
  if (const int line = DbcTokenizer::firstLineOver(text, kMaxLineLength); line > 0) {
    *error = std::to_string(line) + ": line over " + std::to_string(kMaxLineLength) + " bytes";
    return false;
  }
  Reader reader(text);
  if (reader.run(file)) return true;
  *error = reader.error();
  return false;
}

bool DbcParser::parseFile(const std::string& path, DbcFile* file, std::string* error) {
  std::string bytes;
  if (const int code = readRegularFile(path, &bytes); code != 0) {
    *error = path + (code == EFBIG ? std::string(": larger than 16 MiB")
                                   : ": cannot read: " + std::string(std::strerror(code)));
    return false;
  }
  if (parse(bytes, file, error)) return true;
  *error = path + ":" + *error;
  return false;
}

}  // namespace VehicleBus
