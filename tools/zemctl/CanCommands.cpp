#include "CanCommands.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <thread>

#include "Zemctl.h"
#include "kest/ipc/DBusIpcService.h"
#include "kest/vehiclebus/CandumpParser.h"
#include "kest/vehiclebus/InjectFramesServlet.h"

namespace {

using VehicleBus::InjectFramesServlet;
using VehicleBus::ParsedFrame;

// Frames due within this much of the first of a batch travel in one call.
constexpr std::chrono::microseconds kBatchWindow(1000);

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
