#include "supervision/ProgramControl.h"

#include "supervision/ProgramList.h"
#include "supervision/ProgramTable.h"

namespace {

class TablePrograms : public ProgramControl {
 public:
  void StopAll() override { killProcessList(); }
  void ReadList() override { ReadConfig(); }
  void EndStopped(unsigned ms) override {
    EndLingeringPrograms();
    // Not yet reaped, a killed program would be skipped by StartAll and
    // then started apart from the others by the supervision loop.
    AwaitStoppedPrograms(ms);
  }
  void StartAll() override { LoadProcessList(); }
  std::vector<PROGRAM_FAILURES> Failures() override { return ProgramFailures(); }
};

}  // namespace

ProgramControl& SupervisedPrograms() {
  static TablePrograms programs;
  return programs;
}
