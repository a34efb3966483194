// zem_db_writer DATABASE DEFAULT SCHEMA STORE ACK_FD
// Opens the store and sets values in a loop until killed: the integer "counter" to i = last + 1,
// last + 2, ... and, for every i divisible by 4, the list "deep.list" to [i]. After each set has
// returned, it writes "c <i>\n" or "l <i>\n" to ACK_FD. Exits 2 when a set fails.
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "database/XMLDatabaseImpl.h"

namespace Types = Sarnet_Configuration::Types;

namespace {
void acknowledge(int fd, char kind, int value) {
  const std::string line = std::string(1, kind) + " " + std::to_string(value) + "\n";
  if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) std::exit(3);
}
}  // namespace

int main(int argc, char** argv) {
  if (argc != 6) return 1;
  XMLDatabaseImpl store(argv[1], argv[2], argv[3], argv[4]);
  const int ackFd = std::atoi(argv[5]);
  store.load();
  const auto last = store.getInteger("counter");
  for (int i = last->isValid() ? last->getValue() + 1 : 1;; ++i) {
    Types::PersistedIntegerValue counter;
    counter.set_integerValue(i);
    if (!store.setInteger("counter", &counter)) return 2;
    acknowledge(ackFd, 'c', i);
    if (i % 4 == 0) {
      Types::PersistedListValue list;
      list.add_node_item<Types::PersistedIntegerValue>()->set_integerValue(i);
      if (!store.setList("deep.list", &list)) return 2;
      acknowledge(ackFd, 'l', i);
    }
  }
}
