// Keys and signatures made by the real minisign tool, read and checked.
#include "update/Signature.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <functional>
#include <string>

#include "ChildProcess.h"
#include "ScratchDir.h"
#include "SingletonBase.h"
#include "ToolHelper.h"

namespace {

ScratchDir* g_scratch = nullptr;
std::string g_dir;  // two key pairs (a, b) and a signed file, made once

void Sh(const std::string& cmd) {
  int status = qmChildProcess::RunShell("cd '" + g_dir + "' && " + cmd, nullptr);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << cmd;
}

std::string Read(const std::string& name) {
  return SingletonBase<qmToolHelper>::Instance().ReadFileToDisk((g_dir + "/" + name).c_str());
}

void Write(const std::string& name, const std::string& data) {
  SingletonBase<qmToolHelper>::Instance().WriteFileToDisk((g_dir + "/" + name).c_str(), data.data(),
                                                          int(data.size()));
}

// The n-th line (from 0) of a text, without its line break.
std::string Line(const std::string& text, int n) {
  size_t pos = 0;
  for (int i = 0; i < n; ++i) pos = text.find('\n', pos) + 1;
  return text.substr(pos, text.find('\n', pos) - pos);
}

std::string ReplaceAll(std::string s, const std::string& from, const std::string& to) {
  for (size_t p = 0; (p = s.find(from, p)) != std::string::npos; p += to.size())
    s.replace(p, from.size(), to);
  return s;
}

// why is "" when expected is, otherwise begins with it.
void ExpectJudged(const std::string& why, const char* expected, const char* name) {
  if (expected[0] == '\0') {
    EXPECT_EQ(why, "") << name;
  } else {
    EXPECT_EQ(why.rfind(expected, 0), 0u) << name << ": " << why;
  }
}

class SignatureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_scratch = new ScratchDir("signature_test");
    g_dir = g_scratch->path();
    Sh("minisign -G -W -p a.pub -s a.key >/dev/null && minisign -G -W -p b.pub -s b.key "
       ">/dev/null");
    Sh("head -c 300000 /dev/urandom > archive");
    Sh("minisign -S -s a.key -m archive -x hashed.sig >/dev/null");
    Sh("minisign -S -l -s a.key -m archive -x legacy.sig >/dev/null");
    Sh("minisign -S -s b.key -m archive -x other.sig >/dev/null");
    Sh(": > empty && minisign -S -s a.key -m empty -x empty.sig >/dev/null");
  }
  static void TearDownTestSuite() {
    delete g_scratch;
    g_scratch = nullptr;
  }

  static SignKey KeyA() {
    SignKey key;
    EXPECT_EQ(ParseSignKey(Read("a.pub"), &key), "");
    return key;
  }

  // Why the signature text is refused for the file ("" when it passes).
  static std::string Judge(const std::string& sig_text, const std::string& file = "archive") {
    SignatureFile sig;
    std::string why = ParseSignatureFile(sig_text, &sig);
    if (!why.empty()) return "parse: " + why;
    return VerifyFileSignature(KeyA(), sig, g_dir + "/" + file);
  }
};

TEST_F(SignatureTest, PublicKeyTexts) {
  const std::string pub = Read("a.pub");
  const std::string line = Line(pub, 1);
  const struct {
    const char* name;
    std::string text;
    const char* why;  // "" accepted, else the start of the refusal
  } cases[] = {
      {"the .pub file", pub, ""},
      {"the key line", line, ""},
      {"blanks and CR LF", "  " + Line(pub, 0) + "\r\n\t" + line + " \r\n\n", ""},
      {"empty", "", "no key line"},
      {"comment only", Line(pub, 0), "no key line"},
      {"garbage", "not a key at all", "the key line is not a base64 public key"},
      {"cut short", line.substr(0, line.size() - 4), "the key line is not a base64"},
      {"a signature line", Line(Read("hashed.sig"), 1), "the key line is not a base64"},
      {"two keys", line + "\n" + Line(Read("b.pub"), 1), "more than one key line"},
      {"NUL inside", line + std::string(1, '\0'), "the key holds a NUL byte"},
      {"another algorithm", "RXQ" + line.substr(3), "not an Ed25519 public key"},
      // libsodium alone would read this byte as a base64 character.
      {"byte above 127", line.substr(0, 20) + "\x8f" + line.substr(21),
       "the key line is not a base64"},
  };
  for (const auto& c : cases) {
    SignKey key;
    EXPECT_EQ(ParseSignKey(c.text, &key).rfind(c.why, 0), 0u) << c.name;
  }
  // The id is the one the tool names in the comment line.
  SignKey key = KeyA();
  EXPECT_EQ(Line(pub, 0), "untrusted comment: minisign public key " + KeyIdText(key.key_id));
  const unsigned char leading_zero[kSignKeyIdBytes] = {0x65, 0xff, 0x12, 0x92,
                                                       0x8f, 0x74, 0x3d, 0x05};
  EXPECT_EQ(KeyIdText(leading_zero), "53D748F9212FF65");
}

TEST_F(SignatureTest, SignaturesOfTheFile) {
  const std::string hashed = Read("hashed.sig");
  const std::string legacy = Read("legacy.sig");
  // The global signature of one file's signature moved under another's comment.
  std::string swapped_global = Line(hashed, 0) + "\n" + Line(hashed, 1) + "\n" + Line(hashed, 2) +
                               "\n" + Line(Read("empty.sig"), 3) + "\n";
  // "ED" changed to "Ed": the prehashed signature read as a legacy one.
  std::string line = Line(hashed, 1);
  ASSERT_EQ(line.compare(0, 2, "RU"), 0);  // base64 of "ED"
  std::string as_legacy = ReplaceAll(hashed, line, "RW" + line.substr(2));

  const struct {
    const char* name;
    std::string sig;
    const char* file;
    const char* why;
  } cases[] = {
      {"prehashed", hashed, "archive", ""},
      {"legacy", legacy, "archive", ""},
      {"CR LF lines", ReplaceAll(hashed, "\n", "\r\n"), "archive", ""},
      {"empty file", Read("empty.sig"), "empty", ""},
      {"another key", Read("other.sig"), "archive", "signed by another key (key id "},
      {"changed file, prehashed", hashed, "changed", "the signature does not match the archive"},
      {"changed file, legacy", legacy, "changed", "the signature does not match the archive"},
      {"algorithm changed", as_legacy, "archive", "the signature does not match the archive"},
      {"trusted comment changed", ReplaceAll(hashed, "timestamp:", "timestamp:9"), "archive",
       "the trusted comment does not match its signature"},
      {"global signature of another", swapped_global, "archive",
       "the trusted comment does not match its signature"},
      {"missing file", hashed, "no such file", "cannot open"},
      {"truncated", hashed.substr(0, hashed.size() / 2), "archive", "parse: no "},
      {"global signature cut", hashed.substr(0, hashed.size() - 6) + "\n", "archive",
       "parse: the global signature line is not base64"},
      {"garbage", "<html>404 Not Found</html>\n", "archive", "parse: no untrusted comment line"},
      {"empty signature file", "", "archive", "parse: no untrusted comment line"},
      {"NUL inside", hashed + std::string(1, '\0'), "archive", "parse: the signature file holds"},
      {"no trusted comment",
       Line(hashed, 0) + "\n" + Line(hashed, 1) + "\n" + Line(hashed, 3) + "\n", "archive",
       "parse: no trusted comment line"},
  };
  std::string archive = Read("archive");
  archive[archive.size() / 3] ^= 0x01;
  Write("changed", archive);
  for (const auto& c : cases) ExpectJudged(Judge(c.sig, c.file), c.why, c.name);
  EXPECT_NE(Judge(Read("other.sig")).find(", expected " + KeyIdText(KeyA().key_id) + ")"),
            std::string::npos);
}

// A signature file that a pipeline or an upload trimmed at its end: taken
// exactly when the tool itself takes it.
TEST_F(SignatureTest, TrimmedEndsAsTheToolJudgesThem) {
  const std::string hashed = Read("hashed.sig");
  const std::string legacy = Read("legacy.sig");
  const std::string crlf = ReplaceAll(hashed, "\n", "\r\n");
  const std::string first_three = Line(hashed, 0) + "\n" + Line(hashed, 1) + "\n" + Line(hashed, 2);
  const struct {
    const char* name;
    std::string sig;
    const char* why;  // "" accepted
  } cases[] = {
      {"last line break missing", hashed.substr(0, hashed.size() - 1), ""},
      {"last CR LF missing", crlf.substr(0, crlf.size() - 2), ""},
      {"last LF of CR LF missing", crlf.substr(0, crlf.size() - 1), ""},
      {"legacy, last line break missing", legacy.substr(0, legacy.size() - 1), ""},
      {"ends after the trusted comment", first_three + "\n", "parse: no global signature line"},
      {"ends within the trusted comment", first_three, "parse: no trusted comment line"},
      {"global signature cut, no line break", hashed.substr(0, hashed.size() - 6),
       "parse: the global signature line is not base64"},
  };
  for (const auto& c : cases) {
    ExpectJudged(Judge(c.sig), c.why, c.name);
    Write("trimmed.sig", c.sig);
    int status = qmChildProcess::RunShell(
        "cd '" + g_dir + "' && minisign -Vq -p a.pub -m archive -x trimmed.sig 2>/dev/null",
        nullptr);
    ASSERT_TRUE(WIFEXITED(status)) << c.name;
    EXPECT_EQ(WEXITSTATUS(status) == 0, c.why[0] == '\0') << c.name << ": the tool disagrees";
  }
}

TEST_F(SignatureTest, TimestampsOfTrustedComments) {
  SignatureFile sig;
  ASSERT_EQ(ParseSignatureFile(Read("hashed.sig"), &sig), "");
  uint64_t seconds = 0;
  ASSERT_TRUE(SignedTimestamp(sig.trusted_comment, &seconds));
  EXPECT_NEAR(double(seconds), double(time(nullptr)), 600.0);  // the tool's default: now

  const struct {
    const char* comment;
    bool found;
    uint64_t seconds;
  } cases[] = {
      {"timestamp:1700000000\tfile:update.tar.gz\thashed", true, 1700000000},
      {"release 7 timestamp:42", true, 42},
      {"timestamp:0", true, 0},
      {"timestamp:18446744073709551615", true, UINT64_MAX},
      {"timestamp:18446744073709551616", false, 0},
      {"timestamp:", false, 0},
      {"timestamp:12x", false, 0},
      {"timestamp:-5", false, 0},
      {"mytimestamp:5", false, 0},
      {"release 7", false, 0},
      {"", false, 0},
  };
  for (const auto& c : cases) {
    uint64_t got = 12345;
    EXPECT_EQ(SignedTimestamp(c.comment, &got), c.found) << c.comment;
    if (c.found) {
      EXPECT_EQ(got, c.seconds) << c.comment;
    }
  }
}

}  // namespace
