// A small KMS for tests and benchmarks: an HTTP/1.1 server on 127.0.0.1 in a thread of its own,
// answering each POSTed PKCS#10 request as its mode says, with certificates signed by a test CA
// (EC P-256, made with OpenSSL at construction). Thread safety: every method may be called from
// any thread; mutex_ guards the mode and the request log.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
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

  // Makes the CA and starts serving on a free port. Throws std::runtime_error when it cannot.
  TestKms();
  // Stops the thread and closes every connection.
  ~TestKms();
  TestKms(const TestKms&) = delete;
  TestKms& operator=(const TestKms&) = delete;

  void setMode(Mode mode);
  int port() const { return port_; }
  // "http://127.0.0.1:PORT" + `path`.
  std::string url(const std::string& path) const;
  // The request paths received so far, in order.
  std::vector<std::string> paths() const;
  const std::string& caCertificatePem() const { return caPem_; }
  // Whether `certificatePem` parses and its signature verifies with the CA's key (X509_verify).
  bool issued(const std::string& certificatePem) const;

 private:
  void serve();
  void answer(int fd);

  std::string caPem_;
  std::string caKeyPem_;
  std::string otherKeyPem_;
  int listenFd_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  Mode mode_ = Mode::kGood;         // guarded by mutex_
  std::vector<std::string> paths_;  // guarded by mutex_
  std::vector<int> silent_;         // connections left unanswered; the server thread's only
  std::thread thread_;
};

}  // namespace zem_test
