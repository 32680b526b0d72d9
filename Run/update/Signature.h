// Signatures of update archives in the format of the minisign tool: a public
// key line, a signature file, and the check of a file against both, with
// libsodium (Ed25519; BLAKE2b-512 for the prehashed form).
#pragma once

#include <stdint.h>

#include <string>

constexpr size_t kSignKeyIdBytes = 8;

// One public key: its id and its Ed25519 key.
struct SignKey {
  unsigned char key_id[kSignKeyIdBytes];
  unsigned char public_key[32];
};

// One signature file.
struct SignatureFile {
  bool prehashed;  // "ED": over the BLAKE2b-512 hash of the file; "Ed": over the file
  unsigned char key_id[kSignKeyIdBytes];
  unsigned char signature[64];
  std::string trusted_comment;         // without its "trusted comment: " prefix
  unsigned char global_signature[64];  // over signature + trusted_comment
};

// Reads the base64 public key line of a key pair. The untrusted comment line
// of the .pub file may come with it and is ignored, as are blanks around the
// lines. "" on success, otherwise why the text is not a key.
std::string ParseSignKey(const std::string& text, SignKey* key);

// Reads a signature file: an untrusted comment line, the signature line, the
// trusted comment line and the global signature line, each ending in a line
// break (CR LF is taken too), the last one also where the text ends; whatever
// follows is not read. "" on success, otherwise why the text is not a
// signature file.
std::string ParseSignatureFile(const std::string& text, SignatureFile* sig);

// "" when sig is key's signature of the file at path and of its trusted
// comment, otherwise why not.
std::string VerifyFileSignature(const SignKey& key, const SignatureFile& sig,
                                const std::string& path);

// The seconds of a trusted comment's first field that begins "timestamp:"
// (fields are separated by tabs or blanks); false when there is none or its
// value is not a decimal number of at most 64 bits.
bool SignedTimestamp(const std::string& trusted_comment, uint64_t* seconds);

// A key id as the tool prints it: upper-case hexadecimal, without leading zeros.
std::string KeyIdText(const unsigned char (&key_id)[kSignKeyIdBytes]);
