// What differs between the production build and the test build other than
// time; defined beside each build's time values.
#pragma once

namespace build {
// false: the single-instance record lives in /tmp/ and root's lock in /run/;
// true: both beside the executable, so that test runs stay apart.
extern const bool kInstanceFilesInAppDir;
// true: the installation's test hook (a file "test-hook.kill" in the
// application directory naming a phase and a count: the supervisor kills
// itself after that many moved entries), so that tests cut an installation
// at any point. Never in the production build.
extern const bool kTestHooks;
}  // namespace build
