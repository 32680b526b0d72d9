// The watch after an installation, with a "health" object in the update
// settings: for watch_s seconds after the programs start, a release fails
// when one program of the new list fails max_ends times (ends by a non-zero
// exit status or by a signal) or when the check program fails; a failed
// release is rolled back and rejected, one that passes is confirmed.
#pragma once

#include <string>

#include "supervision/ProgramControl.h"
#include "update/UpdateSettings.h"

// Runs the check once, "<path under bin/> <param>" from app_dir/bin, within
// timing::kHealthCheckTimeoutMs: "" when it exited with status 0, otherwise
// why not.
std::string RunHealthCheck(const std::string& check, const std::string& app_dir);

// Watches the programs for health.watch_s from now: "" when the release
// passed, otherwise why it failed.
std::string WatchRelease(const HEALTH_SETTINGS& health, ProgramControl& programs,
                         const std::string& app_dir, const std::string& crc);

// Once the programs of an installation run (after the installation, or at
// start-up for one not yet confirmed): without a watch, the installation is
// confirmed; with one, it is watched, then confirmed or rolled back (the
// programs stopped, the previous release put back, the CRC rejected, the
// programs started again). Returns true when it rolled back.
bool SettleInstallation(const HEALTH_SETTINGS& health, ProgramControl& programs,
                        const std::string& app_dir);
