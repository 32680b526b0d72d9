// The record beside a partial download ("update.gz.part.json"): what the
// bytes in update.gz.part belong to, so that a later check, or a later run
// of the supervisor, can continue them instead of starting over.
//
// clang-format off
//   {"crc":"3421780262","etag":"\"5f3-1a\"","last_modified":"Tue, 01 Dec 2026 10:00:00 GMT","size":1523}
// clang-format on
//
// "crc" is the published CRC text the download was started for; "etag" and
// "last_modified" are the server's validators (absent when it sent none);
// "size" is the archive's size by the server (absent when unknown).
#pragma once

#include <string>

#include "CRC.h"

struct PART_RECORD {
  std::string crc;
  std::string etag;
  std::string last_modified;
  DWORD64 size = 0;  // 0: unknown
};

// The longest record file read, and the longest text of each field.
constexpr size_t kMaxPartRecordFile = 4096;
constexpr size_t kMaxPartRecordField = 512;

// The record's text, compact JSON.
std::string PartRecordText(const PART_RECORD& record);

// Reads a record's text. False, and *out untouched, unless it is a JSON object
// whose "crc" is a non-empty string, every string read at most
// kMaxPartRecordField bytes without control characters (the validators go
// into request headers). An "etag", "last_modified" or "size" of another type
// (a string, a string, an unsigned number) reads as absent.
bool ParsePartRecord(const std::string& text, PART_RECORD* out);

// Reads the record file at path: a regular file of this process's user, not a
// link, at most kMaxPartRecordFile bytes, with an intact record.
bool ReadPartRecord(const std::string& path, PART_RECORD* out);

// Writes the record to path + ".tmp" and renames it over path, so a reader
// finds the old record or the new one, never half of one. False when any
// step failed (the temporary file is then removed).
bool WritePartRecord(const std::string& path, const PART_RECORD& record);

// The validator for If-Range: a strong ETag, else the Last-Modified date,
// else "" (a weak ETag may not be used for a range).
std::string RangeValidator(const PART_RECORD& record);
