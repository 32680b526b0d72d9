// Phased rollouts: the CRC file's share as the one reader of the reply takes
// it, and the host's place from its identity.
#include "update/Rollout.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <utility>

#include "platform/ReportCapture.h"
#include "update/Check.h"

namespace {

TEST(CrcReply, ShareTable) {
  const struct {
    const char* body;
    bool ok;
    double share;
  } cases[] = {
      {R"({"crc":"1"})", true, 100},  // every CRC file without a share: every host
      {R"({"crc":"1","rollout":0})", true, 0},
      {R"({"crc":"1","rollout":0.5})", true, 0.5},
      {R"({"crc":"1","rollout":5})", true, 5},
      {R"({"crc":"1","rollout":100})", true, 100},
      {R"({"crc":"1","rollout":1e2})", true, 100},
      {R"({"crc":"1","rollout":-0.0})", true, 0},
      {R"({"crc":"1","rollout":101})", false, 0},
      {R"({"crc":"1","rollout":100.000001})", false, 0},
      {R"({"crc":"1","rollout":-1})", false, 0},
      {R"({"crc":"1","rollout":-0.001})", false, 0},
      {R"({"crc":"1","rollout":18446744073709551615})", false, 0},
      {R"({"crc":"1","rollout":"5"})", false, 0},
      {R"({"crc":"1","rollout":null})", false, 0},
      {R"({"crc":"1","rollout":true})", false, 0},
      {R"({"crc":"1","rollout":[5]})", false, 0},
      {R"({"crc":"1","rollout":{}})", false, 0},
      // The CRC is read as before: a share does not mend a bad one.
      {R"({"crc":1,"rollout":5})", false, 0},
      {R"({"rollout":5})", false, 0},
      {"not json", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body);
    CRC_REPLY reply;
    reply.crc = "kept";
    std::string why;
    ASSERT_EQ(ParseCrcReply(c.body, &reply, &why), c.ok) << why;
    if (c.ok) {
      EXPECT_EQ(reply.crc, "1");
      EXPECT_EQ(reply.rollout, c.share);
    } else {
      EXPECT_EQ(reply.crc, "kept");  // a refused reply leaves it as it was
      EXPECT_FALSE(why.empty());
    }
  }
}

// A bad share is the same json error as a bad crc: no CRC, so nothing installs.
TEST(CrcReply, BadShareIsAJsonErrorWithoutCrc) {
  for (const char* body : {R"({"crc":"42","rollout":"5"})", R"({"crc":5})"}) {
    SCOPED_TRACE(body);
    ReportCapture capture;
    EXPECT_EQ(GetCrc(body), "");
    EXPECT_EQ(capture.Message().rfind("json error! json:", 0), 0u) << capture.Message();
  }
  EXPECT_EQ(GetCrc(R"({"crc":"42","rollout":5})"), "42");
}

// Vectors from sha256sum in a shell: the first 16 hex digits of
// printf '%s' '<identity>:<crc>' | sha256sum, over 2^64, times 100 (with bc).
TEST(RolloutPlace, FirstEightBytesOfSha256OverTwoToTheSixtyFour) {
  const struct {
    const char* identity;
    const char* crc;
    double place;
  } cases[] = {
      {"001a2b3c4d5e", "4204838306", 35.632192558981846101},  // 5b37e9e9418a4063
      {"001a2b3c4d5e", "3421780262", 26.159385152530983644},  // 42f7d08d22c963c7
      {"3d1219c7c4c5404aaa1f6d2a48adfda4", "4204838306", 36.214587143040036623},  // 5cb5...
      {"02fc00000001", "1", 95.350262296658114047},  // f418bf764aabd5d9
      {"", "4204838306", 0},  // no identity: among the first hosts of every release
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.identity) + ":" + c.crc);
    EXPECT_DOUBLE_EQ(RolloutPlace(c.identity, c.crc), c.place);
  }
}

TEST(RolloutPlace, ReachedBelowTheShareOnly) {
  EXPECT_TRUE(RolloutReaches(0, 0.5));
  EXPECT_FALSE(RolloutReaches(0, 0));  // 0 holds a release even for a host at place 0
  EXPECT_FALSE(RolloutReaches(35.6, 35.6));
  // The highest place a host can have still takes a release for every host.
  EXPECT_TRUE(RolloutReaches(std::nextafter(100.0, 0.0), 100));
}

class FakeIdentity : public IdentitySource {
 public:
  FakeIdentity(std::string serial, std::string machine_id)
      : serial_(std::move(serial)), machine_id_(std::move(machine_id)) {}
  std::string Serial() override { return serial_; }
  std::string MachineId() override {
    ++machine_id_reads;
    return machine_id_;
  }
  int machine_id_reads = 0;

 private:
  std::string serial_, machine_id_;
};

TEST(HostIdentity, SerialElseMachineIdElseNone) {
  const struct {
    const char* serial;
    const char* machine_id;
    const char* identity;
  } cases[] = {
      {"001a2b3c4d5e", "3d1219c7c4c5404aaa1f6d2a48adfda4\n", "001a2b3c4d5e"},
      {"000000000000", "3d1219c7c4c5404aaa1f6d2a48adfda4\n", "3d1219c7c4c5404aaa1f6d2a48adfda4"},
      {"000000000000", " \t3d12 19c7\r\n", "3d12 19c7"},  // blanks around it only
      {"000000000000", "", ""},
      {"000000000000", " \n\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.serial) + " / " + c.machine_id);
    FakeIdentity fake(c.serial, c.machine_id);
    SetIdentitySource(&fake);
    EXPECT_EQ(HostIdentity(), c.identity);
    SetIdentitySource(nullptr);
  }
}

}  // namespace
