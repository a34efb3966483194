#include "CanCommands.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>

#include "CandumpLineReader.h"
#include "DecodedFramePrinter.h"
#include "Zemctl.h"
#include "kest/ipc/DBusIpcService.h"
#include "kest/vehiclebus/CandumpParser.h"
#include "kest/vehiclebus/DbcParser.h"
#include "kest/vehiclebus/FrameDecoder.h"
#include "kest/vehiclebus/InjectFramesServlet.h"

namespace {

using VehicleBus::InjectFramesServlet;
using VehicleBus::ParsedFrame;

// Frames due within this much of the first of a batch travel in one call.
constexpr std::chrono::microseconds kBatchWindow(1000);
// Decoded text is written in pieces of about this size (and whenever the input makes us wait).
constexpr std::size_t kOutputChunk = 64 * 1024;

// Closes the file descriptor it holds; standard input (0) is never held.
struct ClosingFd {
  int fd = 0;
  ~ClosingFd() {
    if (fd > 0) ::close(fd);
  }
};

}  // namespace

std::string CanCommands::format(const ParsedFrame& parsed) {
  static const char* const kHex = "0123456789ABCDEF";
  const VehicleBus::CanFrame& f = parsed.frame;
  std::string line = parsed.interface.empty() ? std::string() : parsed.interface + " ";
  const int digits = f.extended ? 8 : 3;
  for (int d = digits - 1; d >= 0; --d) line += kHex[(f.id >> (4 * d)) & 0xF];
  line += '#';
  if (f.fd) {
    line += '#';
    line += kHex[f.fdFlags & 0xF];
  }
  if (f.remote) return line + "R";
  for (std::size_t i = 0; i < f.length; ++i) {
    line += kHex[f.data[i] >> 4];
    line += kHex[f.data[i] & 0xF];
  }
  return line;
}

int CanCommands::run(const ZemctlCommand& command) {
  if (command.can.kind == CanCommand::Kind::Decode) return decode(command.can);
  std::unique_ptr<Ipc::DBusIpcService> client;
  try {
    Ipc::DBusIpcService::Options options;
    options.bus = command.systemBus ? Ipc::DBusBusType::System : Ipc::DBusBusType::Session;
    client = std::make_unique<Ipc::DBusIpcService>(Ipc::DBusIpcService::ClientOnly{}, options);
    client->start();
  } catch (const std::exception& e) {
    err_ << "zemctl: cannot connect to the " << (command.systemBus ? "system" : "session") << " bus: " << e.what()
         << "\n";
    return Zemctl::kExitUnreachable;
  }
  if (command.can.kind == CanCommand::Kind::Replay) return replay(command, *client);

  std::string text;
  if (!command.can.file.empty()) {
    if (!readText(command.can.file, &text)) return Zemctl::kExitUsage;
  } else {
    for (const std::string& frame : command.can.frames) text += frame + "\n";
  }
  int64_t accepted = 0;
  const int rc = inject(command, *client, text, &accepted);
  if (rc == Zemctl::kExitOk) out_ << "accepted " << accepted << "\n";
  return rc;
}

bool CanCommands::readText(const std::string& path, std::string* text) {
  std::ifstream file;
  if (path != "-") {
    file.open(path, std::ios::binary);
    if (!file.is_open()) {
      err_ << "zemctl: cannot read " << path << "\n";
      return false;
    }
  }
  std::istream& in = path == "-" ? std::cin : file;
  char buffer[64 * 1024];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    text->append(buffer, static_cast<std::size_t>(in.gcount()));
    if (text->size() > InjectFramesServlet::kMaxTextBytes) {
      err_ << "zemctl: " << path << " holds more than " << InjectFramesServlet::kMaxTextBytes << " bytes\n";
      return false;
    }
  }
  if (in.bad()) {
    err_ << "zemctl: cannot read " << path << "\n";
    return false;
  }
  return true;
}

int CanCommands::inject(const ZemctlCommand& command, Ipc::DBusIpcService& client, const std::string& frames,
                        int64_t* accepted) {
  Ipc::IpcParameterSet in;
  in.add(std::make_unique<Ipc::IpcStringParameter>("frames", frames));
  try {
    const Ipc::IpcParameterSet answer =
        client.callMethod(command.component, "", InjectFramesServlet::definition(), in, command.timeout);
    const Ipc::IpcParameter* count = answer.find("accepted");
    if (count == nullptr || count->getType() != Ipc::IpcParameterType::Integer) {
      err_ << "zemctl: the answer to InjectFrames holds no integer \"accepted\"\n";
      return Zemctl::kExitFailed;
    }
    *accepted = static_cast<const Ipc::IpcIntegerParameter*>(count)->getValue();
    return Zemctl::kExitOk;
  } catch (const std::exception& e) {
    const std::string text = e.what();
    if (text.find("is not running") != std::string::npos) {
      err_ << "zemctl: " << text << "\n";
      return Zemctl::kExitUnreachable;
    }
    err_ << "zemctl: InjectFrames failed: " << text << "\n";
    return Zemctl::kExitFailed;
  }
}

int CanCommands::replay(const ZemctlCommand& command, Ipc::DBusIpcService& client) {
  std::string text;
  if (!readText(command.can.file, &text)) return Zemctl::kExitUsage;
  std::vector<ParsedFrame> frames;
  std::string error;
  if (!VehicleBus::CandumpParser::parseText(text, InjectFramesServlet::kMaxFrames, &frames, &error)) {
    err_ << "zemctl: " << command.can.file << ": " << error << "\n";
    return Zemctl::kExitUsage;
  }
  text.clear();
  text.shrink_to_fit();

  const auto start = std::chrono::steady_clock::now();
  bool haveBase = false;
  int64_t baseUs = 0;
  // When a frame is due, relative to the start: its offset from the first stamp; an unstamped frame
  // (or one stamped earlier than the first) goes with the frame before it.
  std::chrono::microseconds previousDue(0);
  auto dueOf = [&](const ParsedFrame& p) {
    if (!p.hasTimestamp) return previousDue;
    if (!haveBase) {
      haveBase = true;
      baseUs = p.frame.timestampUs;
    }
    return std::max(previousDue, std::chrono::microseconds(p.frame.timestampUs - baseUs));
  };
  int64_t replayed = 0;
  std::size_t i = 0;
  while (i < frames.size()) {
    const std::chrono::microseconds batchDue = dueOf(frames[i]);
    previousDue = batchDue;
    std::string batch = format(frames[i++]) + "\n";
    while (i < frames.size()) {
      const std::chrono::microseconds due = dueOf(frames[i]);
      if (due - batchDue > kBatchWindow) break;
      previousDue = due;
      batch += format(frames[i++]) + "\n";
    }
    std::this_thread::sleep_until(start + batchDue);
    int64_t accepted = 0;
    if (const int rc = inject(command, client, batch, &accepted); rc != Zemctl::kExitOk) return rc;
    replayed += accepted;
  }
  out_ << "replayed " << replayed << "\n";
  return Zemctl::kExitOk;
}

std::unique_ptr<VehicleBus::FrameDecoder> CanCommands::loadDecoder(const CanCommand& command) {
  VehicleBus::DbcFile dbc;
  std::string error;
  if (!VehicleBus::DbcParser::parseFile(command.dbcFile, &dbc, &error)) {
    err_ << error << "\n";
    return nullptr;
  }
  const std::vector<std::string>& names = command.signalNames;
  std::vector<bool> chosen(names.size(), false);
  VehicleBus::FrameDecoder::Filter keep;
  if (!names.empty()) {
    keep = [&](const VehicleBus::DbcMessage& message, const VehicleBus::DbcSignal& signal) {
      bool kept = false;
      for (std::size_t i = 0; i < names.size(); ++i) {
        const std::string& name = names[i];
        const bool qualified = name.size() == message.name.size() + 1 + signal.name.size() &&
                               name.compare(0, message.name.size(), message.name) == 0 &&
                               name[message.name.size()] == '.' &&
                               name.compare(message.name.size() + 1, std::string::npos, signal.name) == 0;
        if (qualified || name == signal.name) chosen[i] = kept = true;
      }
      return kept;
    };
  }
  auto decoder = std::make_unique<VehicleBus::FrameDecoder>(std::move(dbc), keep);
  if (const auto none = std::find(chosen.begin(), chosen.end(), false); none != chosen.end()) {
    const std::string& name = names[static_cast<std::size_t>(none - chosen.begin())];
    err_ << "zemctl: --signal " << DecodedFramePrinter::printable(name) << " names no signal of " << command.dbcFile
         << "\n";
    return nullptr;
  }
  for (const VehicleBus::FrameDecoder::LeftOut& left : decoder->leftOut()) {
    err_ << command.dbcFile << ":" << left.entry.signal->line << ": "
         << DecodedFramePrinter::printable(left.entry.message->name + "." + left.entry.signal->name)
         << " is not decoded: " << DecodedFramePrinter::printable(left.reason) << "\n";
  }
  return decoder;
}

int CanCommands::decode(const CanCommand& command) {
  const std::unique_ptr<VehicleBus::FrameDecoder> decoder = loadDecoder(command);
  if (decoder == nullptr) return Zemctl::kExitUsage;
  ClosingFd log;
  if (command.file != "-") {
    log.fd = ::open(command.file.c_str(), O_RDONLY | O_CLOEXEC);
    if (log.fd < 0) {
      err_ << "zemctl: cannot read " << command.file << ": " << std::strerror(errno) << "\n";
      return Zemctl::kExitUsage;
    }
  }
  const std::string logName = command.file == "-" ? "stdin" : command.file;
  const DecodedFramePrinter printer(*decoder);
  std::string text;
  text.reserve(2 * kOutputChunk);
  const auto flush = [&] {
    out_.write(text.data(), static_cast<std::streamsize>(text.size())).flush();
    text.clear();
  };
  CandumpLineReader reader(log.fd, flush);
  VehicleBus::ParsedFrame frame;
  std::vector<VehicleBus::FrameDecoder::Decoded> values;
  std::string error;
  for (CandumpLineReader::Result result; (result = reader.next(&frame, &error)) != CandumpLineReader::Result::kEnd;) {
    if (result == CandumpLineReader::Result::kBadLine) {
      flush();
      err_ << logName << ":" << reader.lineNumber() << ": " << error << "\n";
      continue;
    }
    if (decoder->decode(frame.frame, &values) != nullptr) printer.append(frame, values, &text);
    if (text.size() >= kOutputChunk) flush();
  }
  flush();
  if (reader.failed() != 0) {
    err_ << "zemctl: reading " << logName << " stopped after line " << reader.lineNumber() << ": "
         << std::strerror(reader.failed()) << "\n";
    return Zemctl::kExitFailed;
  }
  return Zemctl::kExitOk;
}
