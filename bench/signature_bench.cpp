// How fast the updater verifies a signed release against `minisign -V` of the
// same 1 GiB file with the same key, both in the page cache: a key pair and a
// prehashed signature made by minisign, then rounds of each, interleaved.
// Usage: signature_bench
// Exits non-zero when our verification is slower than minisign's, or when
// either refuses the signature.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "BenchFiles.h"
#include "ChildProcess.h"
#include "SingletonBase.h"
#include "ToolHelper.h"
#include "UniqueFd.h"
#include "WholeIo.h"
#include "update/Signature.h"

namespace {

constexpr size_t kMiB = size_t(1) << 20;
constexpr size_t kSize = 1024 * kMiB;
constexpr int kRounds = 3;
const char kMinisign[] = "/usr/bin/minisign";

bool Ok(int status) { return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0; }

std::string Read(const std::string& path) {
  return SingletonBase<qmToolHelper>::Instance().ReadFileToDisk(path.c_str());
}

// The updater's whole judgement: both texts read, then the file verified.
bool Ours(const std::string& key_text, const std::string& sig_text, const std::string& path) {
  SignKey key;
  SignatureFile sig;
  return ParseSignKey(key_text, &key).empty() && ParseSignatureFile(sig_text, &sig).empty() &&
         sig.prehashed && VerifyFileSignature(key, sig, path).empty();
}

}  // namespace

int main() {
  if (access(kMinisign, X_OK) != 0) {
    fprintf(stderr, "no %s (Debian package minisign)\n", kMinisign);
    return 1;
  }
  struct statvfs vfs;
  if (statvfs("/tmp", &vfs) != 0 || double(vfs.f_bavail) * vfs.f_frsize < 1.5 * double(kSize)) {
    fprintf(stderr, "less than 1.5 GiB free in /tmp\n");
    return 1;
  }
  char dir_template[] = "/tmp/signature_bench.XXXXXX";
  if (!mkdtemp(dir_template)) {
    perror("mkdtemp");
    return 1;
  }
  const std::string dir = dir_template;
  const std::string data = dir + "/data", pub = dir + "/key.pub", key = dir + "/key",
                    sig = data + ".minisig";

  std::string chatter;  // minisign's messages while it makes the key and the signature
  bool ok = WriteRandomFile(data, kSize) &&
            Ok(qmChildProcess::Run({kMinisign, "-G", "-W", "-p", pub, "-s", key}, &chatter)) &&
            Ok(qmChildProcess::Run({kMinisign, "-S", "-s", key, "-m", data, "-x", sig}, &chatter));
  std::string key_text = Read(pub), sig_text = Read(sig);
  std::string key_line = key_text.substr(key_text.find('\n') + 1);
  key_line.resize(key_line.find('\n'));

  double ours = 1e9, theirs = 1e9;
  for (int i = 0; ok && i < kRounds; ++i) {
    double t0 = BenchNow();
    bool a = Ours(key_text, sig_text, data);
    double t1 = BenchNow();
    std::string out;
    bool b = Ok(
        qmChildProcess::Run({kMinisign, "-V", "-q", "-P", key_line, "-m", data, "-x", sig}, &out));
    double t2 = BenchNow();
    if (!a || !b) {
      fprintf(stderr, "round %d: ours %s, minisign %s\n", i, a ? "verified" : "refused",
              b ? "verified" : "refused");
      ok = false;
    }
    ours = std::min(ours, t1 - t0);
    theirs = std::min(theirs, t2 - t1);
  }
  for (const std::string& f : {data, sig, pub, key}) unlink(f.c_str());
  rmdir(dir.c_str());
  if (!ok) {
    fprintf(stderr, "signature_bench: could not make, sign or verify the test file\n");
    return 1;
  }

  const double gb = double(kSize) / 1e9;
  printf("Verifying a prehashed signature of a 1 GiB file in the page cache (best of %d)\n",
         kRounds);
  printf("  %-26s %8s %8s\n", "", "time s", "GB/s");
  printf("  %-26s %8.3f %8.2f\n", "updater (in process)", ours, gb / ours);
  printf("  %-26s %8.3f %8.2f\n", "minisign -V", theirs, gb / theirs);
  printf("  our time / minisign's: %.2f\n", ours / theirs);
  if (ours > theirs) {
    printf("FAIL: our verification is slower than minisign -V\n");
    return 1;
  }
  printf("OK: our verification is at least as fast as minisign -V\n");
  return 0;
}
