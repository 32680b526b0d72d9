// One update check: the CRC file, and when it names another release the
// download, its CRC, its signature and its installation.
#pragma once

#include <string>

#include "supervision/ProgramControl.h"
#include "update/UpdateSettings.h"

// The "crc" string of a CRC file's body, or "".
std::string GetCrc(std::string json_data);

// One check with settings (read once for it); an installation stops and
// moves around programs.
int Check(const UPDATE_SETTINGS& settings, ProgramControl& programs);
