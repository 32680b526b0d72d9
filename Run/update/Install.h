// The installation of a verified download: staged and judged before anything
// is stopped, then the programs stopped, the staged entries moved into
// place, the signature kept and the download made update.gz.
#pragma once

#include <string>

#include "supervision/ProgramControl.h"

// Installs the verified download at part (published as url with the CRC text
// crc and, for signed updates, the signature text signature; "" for none)
// over app_dir, whose update.gz is path. kUpdateInstalled once the programs
// were stopped (they are to be started again), kUpdateUnreadable when the
// archive was refused and nothing was stopped.
int Install(ProgramControl& programs, const std::string& part, const std::string& path,
            const std::string& app_dir, const std::string& url, const std::string& crc,
            const std::string& signature);
