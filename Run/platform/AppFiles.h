// The supervisor's own files: their names in the application directory (and
// beside it), in one table, so that the start-up, the update path, the
// status and the inspection of archives all mean the same files.
#pragma once

#include <cstddef>
#include <string>

namespace appfiles {

constexpr const char* kSettings = "config.json";            // the update settings
constexpr const char* kProgramList = "bin/config.json";     // the programs
constexpr const char* kBinDir = "bin/";                     // where every program lives
constexpr const char* kArchive = "update.gz";               // the installed release
constexpr const char* kPart = "update.gz.part";             // a download in progress
constexpr const char* kPartRecord = "update.gz.part.json";  // what the part belongs to
constexpr const char* kSignature = "update.gz.minisig";     // the installed release's signature
constexpr const char* kStaging = "update.staging";          // an installation in progress
constexpr const char* kJournal = "update.journal";          // what an installation is doing
constexpr const char* kPrevious = "update.previous";        // the release it replaced
constexpr const char* kRejected = "update.rejected";        // the release last rolled back
constexpr const char* kLogDir = "Log";
constexpr const char* kInstanceRecord = "tavrin.exe";  // the single-instance record
constexpr const char* kInstanceLock = "tavrin.lock";
constexpr const char* kStatus = "status.json";

// The temporary name of a file replaced by write-then-rename.
inline std::string TemporaryName(const std::string& name) { return name + ".tmp"; }

// True when name, at the top of the application directory, is one of the
// supervisor's own files (or their temporary names): an archive may not
// hold it, nor anything under Log.
bool IsOwnName(const std::string& name);

// The longest settings file or program list read.
constexpr size_t kMaxConfigFileSize = 16 * 1024 * 1024;

}  // namespace appfiles
