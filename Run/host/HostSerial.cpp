#include "host/HostSerial.h"

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <vector>

#include "UniqueFd.h"
#include "host/InterfaceChoice.h"

namespace {

// Answers the per-interface questions with ioctls on one datagram socket.
class SocketQueries : public InterfaceQueries {
 public:
  explicit SocketQueries(int fd) : fd_(fd) {}

  void QueryLink(InterfaceRecord* entry) override {
    ethtool_value value{};
    value.cmd = ETHTOOL_GLINK;
    value.data = 0;
    ifreq request = RequestFor(*entry);
    request.ifr_data = reinterpret_cast<char*>(&value);
    // The result is ignored on purpose: a driver without an answer leaves the data word at 0.
    (void)ioctl(fd_, SIOCETHTOOL, &request);
    entry->link = value.data;
  }

  void QueryAddress(InterfaceRecord* entry) override {
    ifreq request = RequestFor(*entry);
    entry->address_ok = ioctl(fd_, SIOCGIFHWADDR, &request) == 0;
    if (entry->address_ok) memcpy(entry->address, request.ifr_hwaddr.sa_data, 6);
  }

 private:
  static ifreq RequestFor(const InterfaceRecord& entry) {
    ifreq request;
    memset(&request, 0, sizeof(request));
    memcpy(request.ifr_name, entry.name, IFNAMSIZ);
    return request;
  }

  int fd_;
};

}  // namespace

std::string getmac() {
  UniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!sock.valid()) return kNoSerial;

  ifreq list[kMaxInterfaceEntries];
  memset(list, 0, sizeof(list));
  ifconf conf;
  memset(&conf, 0, sizeof(conf));
  conf.ifc_len = sizeof(list);
  conf.ifc_req = list;
  if (ioctl(sock.get(), SIOCGIFCONF, &conf) != 0) return kNoSerial;

  size_t count = static_cast<size_t>(conf.ifc_len) / sizeof(ifreq);
  if (count > kMaxInterfaceEntries) count = kMaxInterfaceEntries;
  std::vector<InterfaceRecord> entries(count);
  for (size_t i = 0; i < count; ++i) memcpy(entries[i].name, list[i].ifr_name, IFNAMSIZ);

  SocketQueries queries(sock.get());
  return ChooseSerial(&entries, &queries);
}
