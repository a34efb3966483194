// The local KMS (examples/kms/local-kms.py) run as a child process for tests and benchmarks: an
// HTTP server on 127.0.0.1 that signs POSTed PKCS#10 requests with a CA of its own, or misbehaves
// as its mode says. Thread safety: every method may be called from any thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zem_test {

class TestKms {
 public:
  enum class Mode {
    kGood,      // 200 with a certificate for the request's key, signed by the CA
    kGarbage,   // 200 with a body that is no certificate
    kError500,  // 500
    kOtherKey,  // 200 with a CA-signed certificate for a key of the KMS's own
    kSilent,    // reads the request and never answers
  };

  // Starts the KMS in a fresh temporary folder and waits until it listens. Throws
  // std::runtime_error when it cannot start within 20 s.
  TestKms();
  // Ends the KMS process and removes its folder.
  ~TestKms();
  TestKms(const TestKms&) = delete;
  TestKms& operator=(const TestKms&) = delete;

  // Takes effect from the next request on.
  void setMode(Mode mode);
  int port() const { return port_; }
  // "http://127.0.0.1:PORT" + `path`.
  std::string url(const std::string& path) const;
  // The request paths received so far, in order.
  std::vector<std::string> paths() const;
  // Whether `certificatePem` parses and its signature verifies with the CA's key (X509_verify).
  bool issued(const std::string& certificatePem) const;

 private:
  // Ends the process and removes the folder. Idempotent.
  void stop();

  std::string folder_;
  pid_t pid_ = -1;
  int port_ = 0;
};

}  // namespace zem_test
