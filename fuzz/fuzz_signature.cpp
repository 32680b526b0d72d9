// Fuzzes the readers of the update signing formats: the public key setting
// and the signature file fetched from the update server. Each input is read
// as both.
#include <sodium.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "FuzzCheck.h"
#include "update/Signature.h"

namespace {

std::string Base64(const unsigned char* data, size_t len) {
  std::string out(sodium_base64_ENCODED_LEN(len, sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(&out[0], out.size(), data, len, sodium_base64_VARIANT_ORIGINAL);
  out.resize(strlen(out.c_str()));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  FUZZ_CHECK(sodium_init() >= 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  SignKey key;
  if (ParseSignKey(text, &key).empty()) {
    // What was read is exactly one base64 key line of the input.
    unsigned char raw[2 + sizeof key.key_id + sizeof key.public_key] = {'E', 'd'};
    memcpy(raw + 2, key.key_id, sizeof key.key_id);
    memcpy(raw + 2 + sizeof key.key_id, key.public_key, sizeof key.public_key);
    FUZZ_CHECK(text.find(Base64(raw, sizeof raw)) != std::string::npos);
    FUZZ_CHECK(KeyIdText(key.key_id).size() <= 2 * kSignKeyIdBytes);
  }

  SignatureFile sig;
  if (ParseSignatureFile(text, &sig).empty()) {
    // The signed fields are the input's own second to fourth lines.
    unsigned char raw[2 + sizeof sig.key_id + sizeof sig.signature];
    memcpy(raw, sig.prehashed ? "ED" : "Ed", 2);
    memcpy(raw + 2, sig.key_id, sizeof sig.key_id);
    memcpy(raw + 2 + sizeof sig.key_id, sig.signature, sizeof sig.signature);
    const std::string comment_line = "\ntrusted comment: " + sig.trusted_comment;
    size_t at = text.find("\n" + Base64(raw, sizeof raw));
    FUZZ_CHECK(at != std::string::npos);
    FUZZ_CHECK(text.find(comment_line, at) != std::string::npos);
    FUZZ_CHECK(text.find(Base64(sig.global_signature, sizeof sig.global_signature)) !=
               std::string::npos);
    FUZZ_CHECK(sig.trusted_comment.find('\n') == std::string::npos);
    uint64_t seconds = 0;
    SignedTimestamp(sig.trusted_comment, &seconds);
  }
  uint64_t seconds = 0;
  SignedTimestamp(text, &seconds);
  return 0;
}
