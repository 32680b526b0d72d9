// The production build's values.
#include "platform/BuildSetting.h"
#include "platform/Timing.h"

namespace timing {
const unsigned kRestartPauseMs = 30000;
const unsigned kUpdateTickMs = 1000;
const int kUpdateTicks = 1800;
const unsigned kInstallPauseMs = 5000;
const unsigned kStopGraceMs = 10000;
const unsigned kKillWaitMs = 5000;
const unsigned kHealthCheckPeriodMs = 30000;
const unsigned kHealthCheckTimeoutMs = 30000;
const unsigned kCrcTimeoutS = 5;
const unsigned kArchiveTimeoutS = 120;
}  // namespace timing

namespace build {
const bool kInstanceFilesInAppDir = false;
const bool kTestHooks = false;
}  // namespace build
