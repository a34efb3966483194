// zem-host: loads the ZEM application plug-in and serves it on D-Bus (see ZemHost.h).
#include <malloc.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "HostOptions.h"
#include "ZemHost.h"

int main(int argc, char** argv) {
  // Large call arguments must not pin memory: two heap arenas, however many threads, and blocks
  // over 132 KiB mapped on their own, so that freeing one returns it to the system (a fixed
  // threshold also stops glibc raising it after the first large block). The threshold lies just
  // above the 128 KiB hash and output buffers of the deflate state set up for every entry a
  // package gets, and up to 1 MiB of free heap top is kept between jobs: mapping, zeroing and unmapping
  // those buffers anew for every entry cost a quarter of a job's CPU in page faults. A quiet daemon
  // still gives its free memory back (the task queue trims the heap once it has been idle).
  mallopt(M_ARENA_MAX, 2);
  mallopt(M_MMAP_THRESHOLD, 132 * 1024);
  mallopt(M_TRIM_THRESHOLD, 1024 * 1024);
  // The console log appender writes a line piece by piece and flushes it when it is complete: with
  // a line-buffered stderr and no flush after every piece, each log line is one write instead of
  // a dozen. The bytes are the same, and nothing is held back past the end of a line.
  std::setvbuf(stderr, nullptr, _IOLBF, BUFSIZ);
  std::cerr.unsetf(std::ios_base::unitbuf);

  // Before any thread exists, so that only the host's wait takes these signals.
  ZemHost::blockTerminationSignals();

  const std::string program = argc > 0 ? argv[0] : "zem-host";
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : 0), argv + argc);
  HostOptions options;
  std::string error;
  if (!HostOptions::parse(args, HostOptions::defaultPluginPath(), &options, &error)) {
    std::cerr << program << ": " << error << "\n" << HostOptions::usage(program);
    return 2;
  }
  if (options.help) {
    std::cout << HostOptions::usage(program);
    return 0;
  }
  if (options.version) {
    std::cout << HostOptions::versionText();
    return 0;
  }
  return ZemHost(std::move(options)).run();
}
