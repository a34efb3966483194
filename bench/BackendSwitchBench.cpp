// Backend profile switches through zem-host on a seeded temporary device, against a test KMS
// running in this process: each round announces an "UpdateBackendConfigZemTaskDescription" job
// that alternates between two profiles (client certificate from the KMS, switch of the profile
// link, reload with a real reachability check) and is timed from the announcement to its result
// package in the outbox (polled every 5 ms). The baseline, measured in the same run, is the KMS
// exchange alone done here: key, request, POST and the checked answer. Prints median and p95 of
// both and their ratio. A plain program; every wait has a deadline.
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "TestKms.h"
#include "kest/File.h"
#include "kest/security/ClientCertificateProvisioner.h"
#include "kest/zip/ZipArchive.h"

namespace fs = std::filesystem;

namespace {

constexpr int kRounds = 30;
constexpr auto kJobTimeout = std::chrono::seconds(30);

std::string property(const std::string& name, const std::string& origin, const std::string& body) {
  return "<k:provisioningDefinitions xsi:type=\"k:StringPropertyAdapter\" propertyName=\"" + name +
         "\"><k:origin xsi:type=\"k:" + origin + "PropertyOrigin\">" + body + "</k:origin></k:provisioningDefinitions>";
}

std::string profile(const std::string& name, const zem_test::TestKms& kms) {
  const std::string p = "CONNECTIVITY." + name;
  const auto literal = [](const std::string& n, const std::string& v) {
    return property(n, "StringLiteral", "<k:value>" + v + "</k:value>");
  };
  return property(p + ".TLS_CLIENT_CERTIFICATE", "Certificate",
                  "<k:certificateId>Cert0_Client_Target</k:certificateId>") +
         literal(p + ".ROOT_CA_IDENTIFIER", "BenchCA") + literal(p + ".KMS_URL_CERTIFICATE_REQUEST", kms.url("/req")) +
         literal(p + ".KMS_URL_RENEWAL_REQUEST", kms.url("/renew")) + literal(p + ".BACKEND_URL", kms.url("/"));
}

// A container holding the switch to `name`, written to `path`.
void stageSwitch(const std::string& folder, const std::string& path, const std::string& taskId,
                 const std::string& name) {
  std::ofstream(folder + "/index.xml") << bench::configDocument(
      "TaskIndex", "", "<k:taskIndexEntry><k:type>TASK_REQUEST</k:type><k:file>task.xml</k:file></k:taskIndexEntry>");
  std::ofstream(folder + "/task.xml") << bench::configDocument(
      "UpdateBackendConfigZemTaskDescription", "taskId=\"" + taskId + "\"",
      "<k:properties><k:entry><k:key>CONNECTIVITY.ACTIVE_BACKEND_PROFILE</k:key><k:value "
      "xsi:type=\"k:PersistedStringValue\"><k:stringValue>" +
          name + "</k:stringValue></k:value></k:entry></k:properties>");
  ZipArchive archive = ZipArchive::create(path);
  archive.addFile("index.xml", File(folder + "/index.xml"));
  archive.addFile("task.xml", File(folder + "/task.xml"));
  archive.close();
}

size_t countFiles(const std::string& folder) {
  size_t n = 0;
  for (const auto& item : fs::directory_iterator(folder)) n += item.is_regular_file() ? 1 : 0;
  return n;
}

void report(const std::string& label, const std::vector<double>& us) {
  std::cout << label << ": median " << bench::percentile(us, 0.5) / 1000.0 << " ms, p95 "
            << bench::percentile(us, 0.95) / 1000.0 << " ms (" << us.size() << " rounds)\n";
}

// The whole benchmark: sets up, measures and prints its figures. Returns the exit status; throws
// when the unit fails.
int runBench() {
  zem_test::TestKms kms;
  bench::BenchUnit unit("backend-switch");
  const std::string root = unit.sysroot() + "/media/olvane";
  const std::string config = bench::configDocument(
      "ProvisioningConfig", "",
      property("CONNECTIVITY.ACTIVE_BACKEND_PROFILE", "TqlBackendConfig",
               "<k:key>backend.profile</k:key><k:configPath>connectivity.properties</k:configPath>") +
          profile("a", kms) + profile("b", kms));
  std::ofstream(root + "/configs/zem_app/config.xml") << config;
  fs::create_directories(root + "/data/tql_app");
  std::ofstream(root + "/data/tql_app/a.prs") << "prm.manager.url=" << kms.url("/") << "\n";
  fs::create_symlink("a.prs", root + "/data/tql_app/connectivity.properties");
  unit.startHost();

  const std::string inbox = root + "/data/zem_app/INBOX";
  const std::string outbox = root + "/data/zem_app/OUTBOX";
  const std::string staging = unit.base() + "/staging";
  fs::create_directories(staging);
  std::vector<double> jobs;
  for (int round = 0; round < kRounds; ++round) {
    const std::string id = "switch-" + std::to_string(round);
    const std::string name = id + ".zip";
    const fs::path staged = fs::path(staging) / name;
    const std::string target = (fs::path(inbox) / name).string();
    stageSwitch(staging, staged.string(), id, round % 2 == 0 ? "b" : "a");
    fs::rename(staged, target);
    const size_t before = countFiles(outbox);
    Ipc::IpcParameterSet in;
    in.add(std::make_unique<Ipc::IpcStringParameter>("jobLocation", target));
    const auto start = std::chrono::steady_clock::now();
    unit.client().call("ZEM_APP", "Zem", "JobAppeared", in);
    if (!bench::waitUntil([&] { return countFiles(outbox) > before; }, kJobTimeout)) {
      throw std::runtime_error("no result package for " + id + "; see " + unit.log());
    }
    jobs.push_back(bench::microseconds(std::chrono::steady_clock::now() - start));
  }
  std::string certificate;
  const bool chained = File(root + "/certs/Cert0_Client_Target").readAll(&certificate) && kms.issued(certificate);

  const Security::ClientCertificateProvisioner provisioner;
  std::vector<double> exchanges;
  for (int round = 0; round < kRounds; ++round) {
    Security::ClientCertificateProvisioner::Issued issued;
    std::string reason;
    const auto start = std::chrono::steady_clock::now();
    if (!provisioner.obtain("bench", kms.url("/req"), &issued, &reason)) throw std::runtime_error(reason);
    exchanges.push_back(bench::microseconds(std::chrono::steady_clock::now() - start));
  }
  report("switch job (announcement to result package)", jobs);
  report("baseline: KMS exchange alone (key, request, POST, checked answer)", exchanges);
  std::cout << "ratio job / exchange: median " << bench::percentile(jobs, 0.5) / bench::percentile(exchanges, 0.5)
            << ", p95 " << bench::percentile(jobs, 0.95) / bench::percentile(exchanges, 0.95) << "\n"
            << "slot certificate issued by the bench CA: " << (chained ? "yes" : "NO") << "\n";
  return chained ? 0 : 1;
}

}  // namespace

int main() { return bench::runReported("BackendSwitchBench", runBench); }
