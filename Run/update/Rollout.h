// Phased rollouts: the share of the hosts a published release is for, and
// this host's place among them. The decision is taken on each host from the
// CRC file alone, so a static server (or a CDN) publishes a rollout.
#pragma once

#include <string>

// What the CRC file says: the release's CRC and the share of the hosts (in
// per cent, 0 to 100) it is for.
struct CRC_REPLY {
  std::string crc;
  double rollout = 100;  // missing: every host
};

// The one reader of a CRC file's body. False, with *why, when the body is not
// a JSON object with a string "crc" and, if present, a number "rollout" from
// 0 to 100; *reply is then left as it was.
bool ParseCrcReply(const std::string& body, CRC_REPLY* reply, std::string* why);

// Where the host's identity comes from. Replaced in tests, so that hosts
// that share one machine get identities of their own.
class IdentitySource {
 public:
  virtual ~IdentitySource() = default;
  // The serial number the sn mode prints.
  virtual std::string Serial() = 0;
  // The contents of /etc/machine-id as read, "" when it cannot be read.
  virtual std::string MachineId() = 0;
};

// Installs source (null: the real one again). Call while no check runs.
void SetIdentitySource(IdentitySource* source);

// The serial number, or where it is all zeros the machine id (without the
// blanks around it), or "" when neither is there.
std::string HostIdentity();

// The host's place for the release crc, in [0, 100): the first 8 bytes of
// SHA-256 of "<identity>:<crc>" as a big-endian unsigned number n, and
// n / 2^64 * 100. 0 for an empty identity.
double RolloutPlace(const std::string& identity, const std::string& crc);

// A place or share as text: the fewest digits (15 to 17) that read back as
// the same double, so that a publisher can compare it with its own.
std::string NumberText(double value);

// Whether a release with this share is for a host at place.
bool RolloutReaches(double place, double share);
