// The supervisor's own executable in a release: an archive may replace it,
// but only with a program this machine runs. A text file or another
// machine's program there would leave nothing that starts at the next
// start of the supervisor.
#pragma once

#include <string>

// "" when the file open on fd may take the running executable's place: a
// regular file its owner may execute, an ELF executable or position-
// independent executable of the running one's class, byte order and
// machine. Otherwise why not. Judges the file on fd alone.
std::string JudgeExecutableFd(int fd);

// The same for the entry name (never followed if a link) in the directory
// on dir_fd; "" when nothing stands there.
std::string JudgeExecutableAt(int dir_fd, const std::string& name);
