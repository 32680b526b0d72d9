// The installation of a verified download as a transaction: staged and
// judged before anything is stopped, then the programs stopped, a journal
// written, the staged entries moved into place (the replaced ones kept as
// the previous release in update.previous), the signature kept and the
// download made update.gz. Cut short, it is finished at the next start, or
// undone when it cannot be finished; never a tree of two releases.
#pragma once

#include <string>

#include "supervision/ProgramControl.h"
#include "update/Journal.h"

// Installs the verified download at part (published as url with the CRC text
// crc and, for signed updates, the signature text signature; "" for none)
// over app_dir, whose update.gz is path. kUpdateInstalled once the programs
// were stopped (they are to be started again), kUpdateUnreadable when the
// archive was refused and nothing was stopped.
int Install(ProgramControl& programs, const std::string& part, const std::string& path,
            const std::string& app_dir, const std::string& url, const std::string& crc,
            const std::string& old_crc, const std::string& signature);

// At start-up, before the first check and before any program starts:
// finishes an installation or a rollback that the journal says was cut
// short, from what is on disk. 1 when it finished or undid one (the programs
// then start from the tree it left), 0 when there was nothing to finish.
int FinishInterrupted(const std::string& app_dir);

// Once the programs of an installation run (and its watch passed): the
// installation is confirmed, the previous release and the journal go.
void ConfirmInstallation(const std::string& app_dir);

// After an installation or a rollback: a pause, the list of the release now
// in place read, another pause, the stopped programs ended, every program
// started; then what the installation left in update.staging goes.
void StartRelease(ProgramControl& programs, const std::string& app_dir);

// Undoes the installation journal names (the programs are stopped): the
// journal says rolling back, the entries the release added leave, the
// replaced ones come back, and update.gz and its signature are the
// previous ones again. "" or why it could not be finished.
std::string RollBack(const std::string& app_dir, INSTALL_JOURNAL journal);
