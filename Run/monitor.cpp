// The supervisor's entry point.
#include "ChildProcess.h"

int main(int, char**) {
  qmChildProcess::NoteInheritance();
  return 0;
}
