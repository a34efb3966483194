#include "TestKms.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace zem_test {

namespace {

struct Free {
  void operator()(BIO* p) const { BIO_free_all(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};

std::unique_ptr<X509, Free> parse(const std::string& pem) {
  const std::unique_ptr<BIO, Free> in(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
  std::unique_ptr<X509, Free> cert(in != nullptr ? PEM_read_bio_X509(in.get(), nullptr, nullptr, nullptr) : nullptr);
  ERR_clear_error();
  return cert;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The first line the child writes to `fd`, waiting at most until `deadline`.
std::string firstLine(int fd, std::chrono::steady_clock::time_point deadline) {
  std::string line;
  while (line.find('\n') == std::string::npos) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[256];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    line.append(buffer, static_cast<size_t>(n));
  }
  return line.substr(0, line.find('\n'));
}

}  // namespace

TestKms::TestKms() {
  char pattern[] = "/tmp/zem-test-kms-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("test KMS: cannot make its folder");
  folder_ = pattern;
  int pipe[2];
  if (::pipe2(pipe, O_CLOEXEC) != 0) throw std::runtime_error("test KMS: cannot make a pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe[1], STDOUT_FILENO);
  const std::string script = ZEM_KMS_SCRIPT;
  char* const argv[] = {const_cast<char*>("python3"), const_cast<char*>(script.c_str()),
                        const_cast<char*>(folder_.c_str()), nullptr};
  const int spawned = ::posix_spawnp(&pid_, "python3", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe[1]);
  const std::string line =
      spawned == 0 ? firstLine(pipe[0], std::chrono::steady_clock::now() + std::chrono::seconds(20)) : std::string();
  ::close(pipe[0]);
  if (spawned != 0) pid_ = -1;
  if (line.rfind("PORT ", 0) == 0) port_ = std::atoi(line.c_str() + 5);
  if (port_ <= 0) {
    stop();
    throw std::runtime_error("test KMS: " + script + " did not start");
  }
}

TestKms::~TestKms() { stop(); }

void TestKms::stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder_, ignored);
}

void TestKms::setMode(Mode mode) {
  static const char* const kNames[] = {"good", "garbage", "error500", "otherkey", "silent"};
  const std::string next = folder_ + "/mode.next";
  std::ofstream(next, std::ios::trunc) << kNames[static_cast<int>(mode)] << "\n";
  std::filesystem::rename(next, folder_ + "/mode");
}

std::string TestKms::url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

std::vector<std::string> TestKms::paths() const {
  std::vector<std::string> paths;
  std::istringstream lines(readAll(folder_ + "/paths"));
  for (std::string line; std::getline(lines, line);) paths.push_back(line);
  return paths;
}

bool TestKms::issued(const std::string& certificatePem) const {
  const auto ca = parse(readAll(folder_ + "/ca.pem"));
  const auto cert = parse(certificatePem);
  if (ca == nullptr || cert == nullptr) return false;
  const std::unique_ptr<EVP_PKEY, Free> key(X509_get_pubkey(ca.get()));
  const bool verified = key != nullptr && X509_verify(cert.get(), key.get()) == 1;
  ERR_clear_error();
  return verified;
}

}  // namespace zem_test
