// The supervisor's entry point: the command modes, then the supervisor.
#include <stdio.h>
#include <string.h>

#include <string>

#include "CRC.h"
#include "ChildProcess.h"
#include "Supervisor.h"
#include "host/HostSerial.h"

int main(int argc, char** argv) {
  qmChildProcess::NoteInheritance();

  if (argc == 3 && strcmp(argv[1], "crc") == 0) {
    qmCRC crc;
    std::string local_crc = crc.GetFileCRCNum(argv[2], nullptr, 0, 0);
    printf("%s", local_crc.c_str());
    return 0;
  }
  if (argc > 1 && strcmp(argv[1], "sn") == 0) {
    puts(getmac().c_str());
    return 0;
  }
  RunSupervisor();
}
