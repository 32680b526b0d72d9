#include "update/Rollout.h"

#include <sodium.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <cmath>

#include "Json.h"
#include "SingletonBase.h"
#include "ToolHelper.h"
#include "host/HostSerial.h"
#include "host/InterfaceChoice.h"

namespace {

// A machine id is 33 bytes; anything much longer is not one.
constexpr size_t kMaxMachineIdSize = 4096;

class RealIdentity : public IdentitySource {
 public:
  std::string Serial() override { return getmac(); }
  std::string MachineId() override {
    return SingletonBase<qmToolHelper>::Instance().ReadFileToDisk("/etc/machine-id",
                                                                  kMaxMachineIdSize);
  }
};

RealIdentity g_real;
std::atomic<IdentitySource*> g_source{&g_real};

std::string Trimmed(const std::string& text) {
  const char* blanks = " \t\r\n\v\f";
  size_t first = text.find_first_not_of(blanks);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

}  // namespace

bool ParseCrcReply(const std::string& body, CRC_REPLY* reply, std::string* why) {
  CJson json;
  CRC_REPLY got;
  if (json.LoadJson(body.c_str()) != 0) {
    *why = "not JSON";
    return false;
  }
  if (json.GetValue("crc", got.crc) != 0) {
    *why = "no crc string";
    return false;
  }
  if (json.GetValueMap().count("rollout") != 0) {
    // A number with a fraction or an exponent, or a whole one.
    long whole = 0;
    if (json.GetValue("rollout", got.rollout) != 0) {
      if (json.GetValue("rollout", whole) != 0) {
        *why = "rollout is not a number from 0 to 100";
        return false;
      }
      got.rollout = static_cast<double>(whole);
    }
    if (!(got.rollout >= 0 && got.rollout <= 100)) {
      *why = "rollout is not a number from 0 to 100";
      return false;
    }
  }
  *reply = got;
  return true;
}

void SetIdentitySource(IdentitySource* source) {
  g_source.store(source ? source : &g_real, std::memory_order_release);
}

std::string HostIdentity() {
  IdentitySource& source = *g_source.load(std::memory_order_acquire);
  std::string serial = source.Serial();
  if (!serial.empty() && serial != kNoSerial) return serial;
  return Trimmed(source.MachineId());
}

double RolloutPlace(const std::string& identity, const std::string& crc) {
  if (identity.empty()) return 0;
  std::string text = identity + ":" + crc;
  // Once, before the first use; SHA-256 has no implementation to choose,
  // so it works even where the initialisation fails.
  static const int sodium_ready = sodium_init();
  (void)sodium_ready;
  unsigned char digest[crypto_hash_sha256_BYTES];
  crypto_hash_sha256(digest, reinterpret_cast<const unsigned char*>(text.data()), text.size());
  unsigned long long n = 0;
  for (int i = 0; i < 8; ++i) n = (n << 8) | digest[i];
  // n / 2^64 in double, as any language's float division of n by 2^64
  // gives it; numbers near 2^64 round up to 1, and the place stays below 100.
  double place = static_cast<double>(n) / 18446744073709551616.0 * 100.0;
  return place < 100.0 ? place : std::nextafter(100.0, 0.0);
}

std::string NumberText(double value) {
  char text[40];
  for (int digits = 15; digits <= 17; ++digits) {
    snprintf(text, sizeof(text), "%.*g", digits, value);
    if (strtod(text, nullptr) == value) break;
  }
  return text;
}

bool RolloutReaches(double place, double share) { return place < share; }
