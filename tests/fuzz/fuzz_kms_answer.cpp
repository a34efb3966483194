// KMS answers: the body of an answer checked against the key the unit made, as certificate
// provisioning checks it (PEM or DER certificate, then the key comparison), and the excerpt of it
// that a refusal quotes, which must stay short whatever the answer holds.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "FuzzSupport.h"
#include "kest/ApplicationLogger.h"
#include "kest/security/ClientCertificateProvisioner.h"

namespace {

std::string& unitKey() {
  static std::string key;
  return key;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  zem_fuzz::silenceLogging();
  std::string request;
  std::string reason;
  if (!Security::ClientCertificateProvisioner::makeKeyAndRequest("fuzz", &unitKey(), &request, &reason)) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string answer = zem_fuzz::text(data, size);
  // A certificate for the unit's fresh key cannot come from the fuzzer's bytes.
  if (Security::ClientCertificateProvisioner::keyMatchesCertificate(answer, unitKey())) std::abort();
  if (ApplicationLogger::shortened(answer, 80).size() > 80 + 32) std::abort();
  return 0;
}
