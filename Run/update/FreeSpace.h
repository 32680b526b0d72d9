// The free space an update leaves on the application directory's file
// system, while it downloads and while it stages: max(5 %, 64 MiB) of the
// blocks and 5 % of the inodes. Only what any user may use counts as free
// (root's reserved blocks do not), so that the programs, which may run as
// other users, keep room too.
#pragma once

#include <string>

// The reserve on the file system of fd, in bytes; kReserveMin when it cannot
// be told.
unsigned long long ReserveBytes(int fd);

// True when more_bytes further bytes still leave the reserve free on the file
// system of fd; also when the free space cannot be told (the writes will).
bool RoomFor(int fd, unsigned long long more_bytes);

// "not enough free space: <who> keeps <n> MiB and 5 % of the inodes free".
std::string NoRoomText(const char* who, int fd);
