// State file format, one "key=value" per line:
//   inProgress=0|1           a load began and has not finished yet
//   consecutiveCrashes=N     loads in a row that never finished
//   crash=<unix seconds>     time of each detected crash, newest last, at most historySize lines
// The file is replaced durably on every change, so a crash while writing leaves the old state.
#include "kest/CrashGuard.h"

#include <chrono>
#include <cstdint>
#include <sstream>
#include <vector>

#include "kest/ApplicationLogger.h"
#include "kest/DevicePaths.h"
#include "kest/File.h"

namespace {

struct GuardState {
  bool inProgress = false;
  unsigned consecutiveCrashes = 0;
  std::vector<int64_t> crashTimes;
};

std::string safeComponent(std::string text) {
  for (char& c : text) {
    if (c == '/' || c == '\0') c = '_';
  }
  return text.empty() ? std::string("_") : text;
}

// Reads the state; a missing file is a fresh state, an unreadable or malformed one is reported
// and treated as fresh (the guard must never stop a load by itself).
GuardState readState(const File& file) {
  GuardState state;
  std::string content;
  if (!file.exists() || !file.readAll(&content)) return state;
  std::istringstream in(content);
  std::string line;
  while (std::getline(in, line)) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq);
    const std::string value = line.substr(eq + 1);
    try {
      if (key == "inProgress") {
        state.inProgress = value == "1";
      } else if (key == "consecutiveCrashes") {
        state.consecutiveCrashes = static_cast<unsigned>(std::stoul(value));
      } else if (key == "crash") {
        state.crashTimes.push_back(std::stoll(value));
      }
    } catch (const std::exception&) {
      ZEM_WARN("Ignoring malformed line in crash guard state " << file.getPath() << ": " << line);
    }
  }
  return state;
}

bool writeState(const File& file, const GuardState& state) {
  std::ostringstream out;
  out << "inProgress=" << (state.inProgress ? 1 : 0) << '\n';
  out << "consecutiveCrashes=" << state.consecutiveCrashes << '\n';
  for (const int64_t t : state.crashTimes) out << "crash=" << t << '\n';
  if (!file.getParentFile().mkdirs() || !file.writeAtomically(out.str())) {
    ZEM_WARN("Cannot write crash guard state " << file.getPath());
    return false;
  }
  return true;
}

}  // namespace

CrashGuard::CrashGuard(const std::string& name, const std::string& tag, unsigned recoverableCrashes,
                       unsigned historySize)
    : stateFile_(DevicePaths::applicationDataFolder() + "/.crashguard/" + safeComponent(name) + "." +
                 safeComponent(tag)) {
  const File file(stateFile_);
  GuardState state = readState(file);
  if (state.inProgress) {
    state.inProgress = false;
    ++state.consecutiveCrashes;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    state.crashTimes.push_back(std::chrono::duration_cast<std::chrono::seconds>(now).count());
    while (state.crashTimes.size() > historySize) state.crashTimes.erase(state.crashTimes.begin());
    writeState(file, state);
    std::ostringstream what;
    what << "Loading " << name << " (" << tag << ") did not finish " << state.consecutiveCrashes << " time(s) in a row";
    if (state.consecutiveCrashes > recoverableCrashes) {
      what << "; more than " << recoverableCrashes << " crashes, giving up";
      throw UnrecoverableCrashDetectedException(what.str());
    }
    throw CrashDetectedException(what.str());
  }
  state.inProgress = true;
  writeState(file, state);
}

CrashGuard::~CrashGuard() {
  try {
    const File file(stateFile_);
    GuardState state = readState(file);
    state.inProgress = false;
    state.consecutiveCrashes = 0;
    writeState(file, state);
  } catch (...) {
    // A destructor must not throw; the next load then sees the load as unfinished.
  }
}
