// Process and path utilities of the log facility; nothing else uses them.
#pragma once

#include <cstdarg>
#include <string>
#include <vector>

namespace commlog {

// Absolute path of the executable, read once; empty when it cannot be read.
const char* GetAppPath();
// Directory of the executable without a trailing "/", read once; empty when
// it cannot be read or the executable sits directly under the root.
const char* GetAppDir();
// Working directory at the first call; empty when it cannot be read.
const char* GetCurDir();

// Makes the environment's character-type locale the process's, once.
void setlocal();
// wstr in the multibyte encoding of that locale; empty when a character
// cannot be converted.
std::string WToA(const std::wstring& wstr);

// Length of the expansion of format, without the terminating zero; negative
// when it cannot be formatted. vl is left unconsumed.
int _vscprintf(const char* format, va_list vl);

// Standard output of the shell command cmd up to its first zero byte; empty
// when it writes nothing or cannot be run.
std::string system(const std::string& cmd);

// The words of this process's line in a ps listing, without its process id.
std::vector<std::string> GetBootArguments();

}  // namespace commlog
