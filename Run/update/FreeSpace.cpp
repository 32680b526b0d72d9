#include "update/FreeSpace.h"

#include <sys/statvfs.h>

#include <algorithm>

namespace {

constexpr unsigned long long kReserveMin = 64ULL << 20;
constexpr unsigned kReservePercent = 5;

}  // namespace

unsigned long long ReserveBytes(int fd) {
  struct statvfs fs;
  if (fstatvfs(fd, &fs) != 0) return kReserveMin;
  unsigned long long total = static_cast<unsigned long long>(fs.f_blocks) * fs.f_frsize;
  return std::max(total / 100 * kReservePercent, kReserveMin);
}

bool RoomFor(int fd, unsigned long long more_bytes) {
  struct statvfs fs;
  if (fstatvfs(fd, &fs) != 0) return true;
  unsigned long long total = static_cast<unsigned long long>(fs.f_blocks) * fs.f_frsize;
  unsigned long long avail = static_cast<unsigned long long>(fs.f_bavail) * fs.f_frsize;
  unsigned long long reserve = std::max(total / 100 * kReservePercent, kReserveMin);
  if (avail < reserve || avail - reserve < more_bytes) return false;
  return fs.f_files == 0 || fs.f_favail >= fs.f_files / 100 * kReservePercent;
}

std::string NoRoomText(const char* who, int fd) {
  return std::string("not enough free space: ") + who + " keeps " +
         std::to_string(ReserveBytes(fd) >> 20) + " MiB and 5 % of the inodes free";
}
