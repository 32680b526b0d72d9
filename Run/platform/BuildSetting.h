// What differs between the production build and the test build other than
// time; defined beside each build's time values.
#pragma once

namespace build {
// false: the single-instance record lives in /tmp/ and root's lock in /run/;
// true: both beside the executable, so that test runs stay apart.
extern const bool kInstanceFilesInAppDir;
}  // namespace build
