// Staging, inspection and move of update archives built on the fly with
// Python's tarfile, GNU tar and gzip. Each test owns a directory holding the
// application directory, its staging directory and an "outside" directory
// that nothing may ever create, change or follow anything in.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "AsNobody.h"
#include "ChildProcess.h"
#include "ScratchDir.h"
#include "platform/AppFiles.h"
#include "platform/Files.h"
#include "update/Stage.h"
#include "update/StagedTree.h"

namespace fs = std::filesystem;

namespace {

// Helpers every archive snippet can use. Members: F file, D directory,
// L symbolic link, H hard link, P FIFO, C character device; tar_bytes makes
// the uncompressed tar, gz compresses, write puts the bytes at OUT.
const char kPrelude[] = R"PY(
import gzip, io, os, sys, tarfile
OUT = sys.argv[1]
OUTSIDE = sys.argv[2]
def M(name, kind, data=b"", link="", mode=0o644, uid=0, size=None):
    return dict(name=name, kind=kind, data=data, link=link, mode=mode, uid=uid, size=size)
def F(name, data=b"x", mode=0o644, uid=0): return M(name, tarfile.REGTYPE, data, mode=mode, uid=uid)
def D(name, mode=0o755, uid=0): return M(name, tarfile.DIRTYPE, mode=mode, uid=uid)
def L(name, link): return M(name, tarfile.SYMTYPE, link=link, mode=0o777)
def H(name, link, data=b""): return M(name, tarfile.LNKTYPE, data, link=link)
def P(name): return M(name, tarfile.FIFOTYPE)
def C(name): return M(name, tarfile.CHRTYPE, mode=0o666)
def tar_bytes(members, format=tarfile.GNU_FORMAT, pax=None):
    buf = io.BytesIO()
    with tarfile.open(fileobj=buf, mode="w", format=format, pax_headers=pax or {},
                      encoding="utf-8", errors="surrogateescape") as t:
        for m in members:
            ti = tarfile.TarInfo(m["name"])
            ti.type, ti.linkname, ti.mode, ti.uid = m["kind"], m["link"], m["mode"], m["uid"]
            ti.size = len(m["data"]) if m["size"] is None else m["size"]
            ti.pax_headers = m.get("pax", {})
            t.addfile(ti, io.BytesIO(m["data"]) if ti.size else None)
    return buf.getvalue()
def gz(data): return gzip.compress(data, mtime=0)
def write(data):
    with open(OUT, "wb") as f: f.write(data)
)PY";

std::string Python() {
  return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

class InstallTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = scratch_.path();
    app_ = root_ + "/app";
    staging_ = app_ + "/" + appfiles::kStaging;
    previous_ = app_ + "/" + appfiles::kPrevious;
    outside_ = root_ + "/outside";
    fs::create_directories(app_);
    fs::create_directories(outside_);
    Put(outside_ + "/target", "outside");
    Put(root_ + "/prelude.py", kPrelude);
    umask_ = umask(022);
  }
  void TearDown() override {
    umask(umask_);
    if (!mounted_.empty()) umount2(mounted_.c_str(), MNT_DETACH);
  }

  static void Put(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
  }
  static std::string Content(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  void Sh(const std::string& cmd) {
    int status = qmChildProcess::RunShell("cd '" + root_ + "' && " + cmd, nullptr);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << cmd;
  }
  // Runs a snippet of Python (see kPrelude) that writes the archive.
  std::string Archive(const std::string& snippet) {
    std::string script = root_ + "/make.py";
    Put(script, "exec(open('" + root_ + "/prelude.py').read())\n" + snippet + "\n");
    std::string out = root_ + "/archive.tgz";
    int status = qmChildProcess::Run({Python(), script, out, outside_}, nullptr);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << snippet;
    return out;
  }
  std::string Stage(const std::string& archive) { return StageArchive(archive, staging_); }

  // Everything under dir, one line per entry: name, type, mode, and the
  // content or link target.
  static std::vector<std::string> Tree(const std::string& dir) {
    std::vector<std::string> lines;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
         ++it) {
      std::string rel = it->path().lexically_relative(dir).string();
      struct stat st;
      lstat(it->path().c_str(), &st);
      char mode[8];
      snprintf(mode, sizeof mode, "%o", static_cast<unsigned>(st.st_mode & 07777));
      if (S_ISDIR(st.st_mode)) {
        lines.push_back(rel + " d " + mode);
      } else if (S_ISLNK(st.st_mode)) {
        lines.push_back(rel + " -> " + fs::read_symlink(it->path()).string());
      } else {
        lines.push_back(rel + " f " + mode + " " + Content(it->path()));
      }
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }
  void ExpectOutsideUntouched() {
    EXPECT_EQ(Tree(outside_), std::vector<std::string>{"target f 644 outside"});
    EXPECT_FALSE(fs::exists(root_ + "/planted"));
  }

  // Everything under dir with what a write through a link would change:
  // type, mode, owner, modification time and content.
  static std::vector<std::string> Stats(const std::string& dir) {
    std::vector<std::string> lines;
    for (auto it = fs::recursive_directory_iterator(dir); it != fs::recursive_directory_iterator();
         ++it) {
      struct stat st;
      lstat(it->path().c_str(), &st);
      char line[128];
      snprintf(line, sizeof line, " %o %u:%u %lld ", static_cast<unsigned>(st.st_mode),
               static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_gid),
               static_cast<long long>(st.st_mtime));
      lines.push_back(it->path().lexically_relative(dir).string() + line +
                      (S_ISREG(st.st_mode) ? Content(it->path()) : ""));
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  ScratchDir scratch_{"install-test"};
  std::string root_, app_, staging_, previous_, outside_, mounted_;
  mode_t umask_ = 022;
};

using Lines = std::vector<std::string>;

TEST_F(InstallTest, StagesWhatRealToolsMake) {
  struct Case {
    const char* label;
    std::string make;  // shell command in the test directory, writing archive.tgz from src/
    Lines tree;
  };
  Sh("mkdir -p src/bin src/data && printf 1 > src/bin/prog && printf '{}' > src/bin/config.json"
     " && chmod 755 src/bin/prog && printf y > 'src/data/with blank' && chmod 777 src/data");
  const Lines tree = {"bin d 755", "bin/config.json f 644 {}", "bin/prog f 755 1", "data d 755",
                      "data/with blank f 644 y"};
  const Case cases[] = {
      {"gnu tar of .", "tar czf archive.tgz -C src .", tree},
      {"posix", "tar czf archive.tgz --format=posix -C src .", tree},
      {"posix with a global header", "tar czf archive.tgz --format=posix -V label -C src bin data",
       tree},
      {"ustar", "tar czf archive.tgz --format=ustar -C src bin data", tree},
      {"v7", "tar czf archive.tgz --format=v7 -C src bin data", tree},
      // Two gzip members, each half of one tar stream.
      {"concatenated members",
       "tar -b1 -cf - -C src bin > a.tar && tar -b1 -cf - -C src data > b.tar && head -c -1024 "
       "a.tar | "
       "gzip > a.gz && gzip -c b.tar > b.gz && cat a.gz b.gz > archive.tgz",
       tree},
      // Real tools accept a stream that ends after its last member.
      {"no end blocks",
       "tar cf - -C src bin data --format=ustar > t.tar && python3 -c \"import sys; d=open('t.tar',"
       "'rb').read(); sys.stdout.buffer.write(d.rstrip(b'\\0'))\" > cut.tar && "
       "truncate -s %512 cut.tar && gzip -c cut.tar > archive.tgz",
       tree},
      {"oldgnu", "tar czf archive.tgz --format=oldgnu -C src bin data", tree},
      {"bsdtar", "bsdtar -czf archive.tgz -C src bin data", tree},
      {"bsdtar pax", "bsdtar --format=pax -czf archive.tgz -C src bin data", tree},
      {"busybox", "cd src && busybox tar czf ../archive.tgz bin data", tree},
      {"pigz", "tar cf - -C src bin data | pigz -p 2 -b 32 > archive.tgz", tree},
      {"python pax",
       "cd src && python3 -c \"import tarfile; t = tarfile.open('../archive.tgz',"
       " 'w:gz', format=tarfile.PAX_FORMAT); t.add('bin'); t.add('data'); t.close()\"",
       tree},
      {"no members", "tar czf archive.tgz -T /dev/null", {}},
      {"a gzip of nothing", "printf '' | gzip > archive.tgz", {}},
      {"zero padding after the gzip stream",
       "tar czf archive.tgz -C src bin data && head -c 1000 /dev/zero >> archive.tgz", tree},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Sh(c.make);
    ASSERT_EQ(Stage(root_ + "/archive.tgz"), "");
    EXPECT_EQ(Tree(staging_), c.tree);
    ASSERT_TRUE(RemoveTree(staging_));
  }
}

// Archives GNU tar makes and extracts that are no plain copy of a tree.
TEST_F(InstallTest, StagesWhatGnuTarExtracts) {
  struct Case {
    const char* label;
    std::string make;  // shell command in the test directory, writing archive.tgz from src/
  };
  // Latin-1 names (one a link's target) and a UTF-8 name in decomposed form.
  Sh(R"SH(mkdir -p src/rel/sub && printf r > src/rel/README && printf f > src/f &&
          printf l > "src/rel/caf$(printf '\351')" && ln -s "caf$(printf '\351')" src/rel/link &&
          printf n > "src/rel/u$(printf '\314\210')ber" && chmod 700 src/rel/sub)SH");
  const Case cases[] = {
      {"posix, names no UTF-8", "tar czf archive.tgz --format=posix -C src rel"},
      {"posix, names no UTF-8 and a global header",
       "tar czf archive.tgz --format=posix -V label -C src rel"},
      {"a file named twice", "tar czf archive.tgz -C src rel rel/README"},
      {"a folder named twice", "tar czf archive.tgz -C src rel rel"},
      {"a file named twice, spelt two ways", "tar czf archive.tgz -C src ./rel rel/README"},
      {"a file named twice, spelt the other way", "tar czf archive.tgz -C src rel ./rel/README"},
      {"f f, gnu", "tar czf archive.tgz --format=gnu -C src f f"},
      {"f f, posix", "tar czf archive.tgz --format=posix -C src f f"},
      {"f f, ustar", "tar czf archive.tgz --format=ustar -C src f f"},
      {"f f, v7", "tar czf archive.tgz --format=v7 -C src f f"},
      {"incremental, gnu", "rm -f snap && tar czf archive.tgz --format=gnu -g snap -C src rel f"},
      {"incremental, oldgnu", "tar czf archive.tgz --format=oldgnu -G -C src rel f"},
      {"incremental, level 1",
       "rm -f snap && tar cf /dev/null -g snap -C src rel && printf new > src/rel/sub/new"
       " && tar czf archive.tgz -g snap -C src rel && rm src/rel/sub/new"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Sh(c.make);
    ASSERT_EQ(Stage(root_ + "/archive.tgz"), "");
    Sh("rm -rf by-tar && mkdir by-tar && tar xzf archive.tgz -C by-tar --no-same-owner"
       " --no-same-permissions");
    EXPECT_EQ(Tree(staging_), Tree(root_ + "/by-tar"));
    ASSERT_TRUE(RemoveTree(staging_));
  }
}

TEST_F(InstallTest, SparseFilesStaySparse) {
  // Many data segments: GNU tar's -S format, and pax.
  Sh("mkdir -p sparse && truncate -s 64M sparse/holes && for i in 1 2 3 4 5 6 7 8; do"
     " printf $i | dd of=sparse/holes bs=1 seek=$((i * 7000000)) conv=notrunc status=none; done");
  for (const char* format : {"gnu", "posix"}) {
    SCOPED_TRACE(format);
    Sh(std::string("tar -S -czf archive.tgz --format=") + format + " -C sparse .");
    ASSERT_EQ(Stage(root_ + "/archive.tgz"), "");
    Sh("cmp sparse/holes app/update.staging/holes");
    struct stat st;
    ASSERT_EQ(stat((staging_ + "/holes").c_str(), &st), 0);
    EXPECT_LT(st.st_blocks * 512, 1 << 20);
    ASSERT_TRUE(RemoveTree(staging_));
  }
}

TEST_F(InstallTest, StagedFilesAreOursWithTheArchivesModesLessTheUmask) {
  std::string archive = Archive(
      "write(gz(tar_bytes([D('./', mode=0o777, uid=1234), D('bin', mode=0o777, uid=1234),"
      " F('bin/suid', mode=0o4755, uid=1234), F('bin/sgid', mode=0o2775),"
      " F('bin/open', mode=0o666), D('sticky', mode=0o1777), L('bin/python', '/usr/bin/python3'),"
      " L('bin/up', '../../x')])))");
  ASSERT_EQ(Stage(archive), "");
  EXPECT_EQ(Tree(staging_),
            (Lines{"bin d 755", "bin/open f 644 x", "bin/python -> /usr/bin/python3",
                   "bin/sgid f 755 x", "bin/suid f 755 x", "bin/up -> ../../x", "sticky d 755"}));
  for (const char* name : {"", "/bin", "/bin/suid", "/bin/python"}) {
    struct stat st;
    ASSERT_EQ(lstat((staging_ + name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_uid, geteuid()) << name;
  }
  struct stat st;
  ASSERT_EQ(stat(staging_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);  // "./" changed nothing
}

TEST_F(InstallTest, HardLinksAndFoldersCarryNoData) {
  // pax size records give data to a hard link onto a file and to a folder:
  // the file keeps its own content, and nothing is written into the folder.
  std::string archive = Archive(
      "h = H('h', 'a', data=b'new'); h['pax'] = {'size': '3'}\n"
      "d = D('d'); d['data'] = b'listing'; d['pax'] = {'size': '7'}\n"
      "write(gz(tar_bytes([F('a', b'old'), h, d, F('d/f', b'f')], format=tarfile.PAX_FORMAT)))");
  ASSERT_EQ(Stage(archive), "");
  EXPECT_EQ(Tree(staging_), (Lines{"a f 644 old", "d d 755", "d/f f 644 f", "h f 644 old"}));
}

TEST_F(InstallTest, NamesAreTheArchivesBytes) {
  // Whatever the locale: a Latin-1 name in a GNU header, UTF-8 in a pax
  // record, and bytes that are no UTF-8 in a pax record marked binary.
  ASSERT_EQ(Stage(Archive("write(gz(tar_bytes([F('caf\\udce9')])))")), "");
  EXPECT_TRUE(fs::exists(staging_ + "/caf\xe9"));
  ASSERT_TRUE(RemoveTree(staging_));
  ASSERT_EQ(Stage(Archive("write(gz(tar_bytes([F('\\u00fcber/' + 'n' * 200), F('raw\\udcff')],"
                          " format=tarfile.PAX_FORMAT)))")),
            "");
  EXPECT_TRUE(fs::exists(staging_ +
                         "/\xc3\xbc"
                         "ber/" +
                         std::string(200, 'n')));
  EXPECT_TRUE(fs::exists(staging_ + "/raw\xff"));
}

TEST_F(InstallTest, ListsEveryMemberAsStored) {
  std::string archive = Archive(
      "write(gz(tar_bytes([D('./'), F('./bin/a'), F('two\\nlines'), F('back\\\\slash')])))");
  char* text = nullptr;
  size_t size = 0;
  FILE* listing = open_memstream(&text, &size);
  ASSERT_EQ(StageArchive(archive, staging_, listing), "");
  fclose(listing);
  EXPECT_EQ(std::string(text, size), "./\n./bin/a\ntwo\\nlines\nback\\\\slash\n");
  free(text);
}

TEST_F(InstallTest, ListsNamesAsGnuTarDoes) {
  // Every byte but NUL and "/" in one name, and a few names as people write them.
  std::string archive = Archive(R"PY(
names = ['tab\there', 'nl\nhere', 'esc\x1b[31mred', 'back\\slash', 'sp ace?', 'utf\u00e9',
         'lat\udce9', bytes(b for b in range(1, 256) if b != 47).decode('utf-8', 'surrogateescape')]
write(gz(tar_bytes([D('./')] + [F(n) for n in names])))
)PY");
  char* text = nullptr;
  size_t size = 0;
  FILE* listing = open_memstream(&text, &size);
  ASSERT_EQ(StageArchive(archive, staging_, listing), "");
  fclose(listing);
  std::string listed(text, size);
  free(text);
  std::string tar;
  ASSERT_EQ(qmChildProcess::RunShell("LC_ALL=C tar tzf '" + archive + "'", &tar), 0);
  EXPECT_EQ(listed, tar);
  EXPECT_NE(tar.find("\nesc\\033[31mred\n"), std::string::npos) << tar;
}

TEST_F(InstallTest, HostileArchivesAreRefusedAndTouchNothingOutside) {
  struct Case {
    const char* label;
    std::string snippet;
    std::string why;  // start of the reason
  };
  const Case cases[] = {
      {"absolute name", "write(gz(tar_bytes([F(OUTSIDE + '/planted')])))", "cannot stage /"},
      {"dot-dot", "write(gz(tar_bytes([F('bin/../../outside/planted')])))", "cannot stage bin/../"},
      {"through a link it made", "write(gz(tar_bytes([L('esc', OUTSIDE), F('esc/planted')])))",
       "cannot stage esc/planted"},
      {"chain of inside links",
       "write(gz(tar_bytes([L('s', '.'), L('u', 's/..'), F('u/planted')])))",
       "cannot stage u/planted"},
      {"hard link outside", "write(gz(tar_bytes([H('h', '../outside/target')])))",
       "cannot stage h"},
      {"hard link through a link",
       "write(gz(tar_bytes([L('esc', OUTSIDE), H('h', 'esc/target')])))", "cannot stage h"},
      {"hard link with data onto a link",
       "write(gz(tar_bytes([L('s', OUTSIDE + '/target'), H('h', 's', data=b'written')])))",
       "hard link to a symbolic link: h"},
      {"pax hard link with data onto a link",
       "m = H('h', 's', data=b'written'); m['pax'] = {'size': '7'}\n"
       "write(gz(tar_bytes([L('s', OUTSIDE + '/target'), m], format=tarfile.PAX_FORMAT)))",
       "hard link to a symbolic link: h"},
      {"hard link to itself, alone", "write(gz(tar_bytes([H('h', './h')])))", "cannot stage h"},
      {"FIFO", "write(gz(tar_bytes([P('Log/x')])))", "device node, FIFO or socket: Log/x"},
      {"device", "write(gz(tar_bytes([C('bin/null')])))", "device node, FIFO or socket: bin/null"},
      {"not gzip", "write(tar_bytes([F('a')]))", "not gzip-compressed"},
      {"text", "write(b'this is not an archive\\n' * 10)", "not gzip-compressed"},
      {"empty", "write(b'')", "not gzip-compressed"},
      {"gzip but not tar", "write(gz(os.urandom(4000)))", "not a tar archive"},
      {"no trailer", "write(gz(tar_bytes([F('a')]))[:-8])", "the gzip stream ends early"},
      {"cut in a member", "write(gz(tar_bytes([F('a', b'x' * 5000)]))[:60])",
       "the gzip stream ends early"},
      {"bad crc", "d = bytearray(gz(tar_bytes([F('a')]))); d[-8] ^= 1; write(bytes(d))",
       "damaged gzip stream: incorrect data check"},
      {"garbage after the stream", "write(gz(tar_bytes([F('a')])) + b'junk')",
       "data after the end of the gzip stream"},
      {"member cut short", "write(gz(tar_bytes([F('a', b'x' * 5000)])[:1024]))", "damaged archive"},
      {"damaged second header",
       "d = bytearray(tar_bytes([F('a'), F('b')])); d[1024 + 148] ^= 1; write(gz(bytes(d)))",
       "damaged archive"},
      {"wrapping pax length",
       "h = b'18446744073709551617 path=x\\n'\n"
       "ti = tarfile.TarInfo('pax'); ti.type = tarfile.XHDTYPE; ti.size = len(h)\n"
       "write(gz(ti.tobuf(tarfile.USTAR_FORMAT) + h + b'\\0' * (512 - len(h)) + "
       "tar_bytes([F('a')])))",
       "not a tar archive"},
      {"too deep", "write(gz(tar_bytes([F('d/' * 200 + 'f')], format=tarfile.PAX_FORMAT)))",
       "name too deeply nested"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    std::string why = Stage(Archive(c.snippet));
    EXPECT_EQ(why.compare(0, c.why.size(), c.why), 0) << why;
    EXPECT_FALSE(fs::exists(staging_)) << "staging left";
    ExpectOutsideUntouched();
  }
}

// A hard link onto a symbolic link that carries data: writing it would end
// in setting the member's mode and time on whatever the link names.
TEST_F(InstallTest, AHardLinkOntoASymbolicLinkChangesNothingOutside) {
  if (geteuid() != 0) GTEST_SKIP() << "the victims belong to root and to another user";
  Sh("printf secret > outside/file && chmod 640 outside/file && mkdir outside/dir"
     " && chmod 750 outside/dir && printf theirs > outside/theirs && chmod 600 outside/theirs"
     " && chown 65534:65534 outside/theirs"
     " && touch -d @1000000000 outside/file outside/dir outside/theirs outside/target");
  const Lines before = Stats(outside_);
  for (const char* victim : {"file", "dir", "theirs"}) {
    for (unsigned mode : {0u, 0777u, 04755u}) {
      for (mode_t mask : {mode_t{0}, mode_t{022}}) {
        char label[64];
        snprintf(label, sizeof label, "%s, mode %o, umask %03o", victim, mode,
                 static_cast<unsigned>(mask));
        SCOPED_TRACE(label);
        char snippet[512];
        snprintf(snippet, sizeof snippet,
                 "m = H('h', 's', data=b'written'); m['mode'] = 0o%o; m['pax'] = {'size': '7'}\n"
                 "write(gz(tar_bytes([L('s', OUTSIDE + '/%s'), m], format=tarfile.PAX_FORMAT)))",
                 mode, victim);
        std::string archive = Archive(snippet);
        umask(mask);
        std::string why = Stage(archive);
        umask(022);
        EXPECT_EQ(why, "hard link to a symbolic link: h");
        EXPECT_FALSE(fs::exists(staging_)) << "staging left";
        EXPECT_EQ(Stats(outside_), before);
      }
    }
  }
}

TEST_F(InstallTest, StagingAsAnotherUserChangesNothingOutside) {
  if (geteuid() != 0) GTEST_SKIP() << "becoming nobody needs root";
  // nobody stages into a folder of its own; the victim is its file elsewhere.
  Sh("chmod 711 . && mkdir nobody && chown 65534 nobody && printf theirs > outside/theirs"
     " && chmod 600 outside/theirs && chown 65534:65534 outside/theirs"
     " && touch -d @1000000000 outside/theirs");
  const Lines before = Stats(outside_);
  const std::string staging = root_ + "/nobody/" + appfiles::kStaging;
  std::string archive = Archive(
      "m = H('h', 's', data=b'written'); m['mode'] = 0o777; m['pax'] = {'size': '7'}\n"
      "write(gz(tar_bytes([L('s', OUTSIDE + '/theirs'), m], format=tarfile.PAX_FORMAT)))");
  ASSERT_EQ(chmod(archive.c_str(), 0644), 0);
  EXPECT_EQ(AsNobody([&] { return StageArchive(archive, staging); }),
            "hard link to a symbolic link: h");
  EXPECT_EQ(Stats(outside_), before);
  EXPECT_FALSE(fs::exists(staging));

  archive = Archive(
      "write(gz(tar_bytes([D('bin'), F('bin/a', b'a'), H('bin/b', 'bin/a'),"
      " L('bin/python', '/usr/bin/python3')])))");
  ASSERT_EQ(chmod(archive.c_str(), 0644), 0);
  EXPECT_EQ(AsNobody([&] { return StageArchive(archive, staging); }), "");
  EXPECT_EQ(Tree(staging), (Lines{"bin d 755", "bin/a f 644 a", "bin/b f 644 a",
                                  "bin/python -> /usr/bin/python3"}));
  EXPECT_EQ(Stats(outside_), before);
}

TEST_F(InstallTest, AGzipBombStopsAtTheReserve) {
  std::string small = root_ + "/small";
  fs::create_directories(small);
  if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=96m") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  mounted_ = small;
  // 200 MiB of zeros in a few hundred KiB.
  Sh("head -c 200M /dev/zero > big && tar czf bomb.tgz big && rm big");
  std::string why = StageArchive(root_ + "/bomb.tgz", small + "/staging");
  EXPECT_EQ(why, "not enough free space: staging keeps 64 MiB and 5 % of the inodes free");
  EXPECT_FALSE(fs::exists(small + "/staging"));
  // Something smaller than the room left goes in.
  Sh("head -c 10M /dev/urandom > ten && tar czf ten.tgz ten && rm ten");
  EXPECT_EQ(StageArchive(root_ + "/ten.tgz", small + "/staging"), "");
}

// Inspection judges a staged tree laid out by hand against the application
// directory as it stands.
TEST_F(InstallTest, InspectionRefusesWhatMayNotBeInstalled) {
  struct Case {
    const char* label;
    std::string staged;  // shell commands in staging/
    std::string app;     // shell commands in app/
    std::string why;
  };
  const Case cases[] = {
      {"FIFO", "mkdir bin && mkfifo bin/f", "", "device node, FIFO or socket: bin/f"},
      {"update.gz", "echo > update.gz", "", "the supervisor's own file: update.gz"},
      {"update.gz.part as a directory", "mkdir update.gz.part", "",
       "the supervisor's own file: update.gz.part"},
      {"the log directory", "mkdir -p Log && mkfifo 'Log/monitor[2026-12-11].log'", "",
       "the supervisor's own file: Log"},
      {"the lock", "echo > tavrin.lock", "", "the supervisor's own file: tavrin.lock"},
      {"file where a non-empty directory stands", "echo > data", "mkdir -p data && echo > data/x",
       "a file where a non-empty directory stands: data"},
      {"directory where a file stands", "mkdir -p bin/tool && echo > bin/tool/x",
       "mkdir -p bin && echo > bin/tool", "a directory where a file stands: bin/tool"},
      {"directory where a link stands", "mkdir -p data && echo > data/x", "ln -s ../outside data",
       "a directory where a symbolic link stands: data"},
      {"hard link to a file outside", "ln ../../outside/target t", "",
       "hard link to a file outside the archive: t"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(app_);
    fs::create_directories(staging_);
    Sh("cd app/" + std::string(appfiles::kStaging) + " && true " + (c.staged.empty() ? "" : "&& ") +
       c.staged);
    if (!c.app.empty()) Sh("cd app && " + c.app);
    EXPECT_EQ(InspectStaged(staging_, app_), c.why);
  }
}

TEST_F(InstallTest, MoveMergesDirectoriesAndReplacesFiles) {
  Sh("mkdir -p app/bin app/Log && printf old > app/bin/prog && printf kept > app/bin/mine"
     " && printf log > app/Log/day.log && mkdir app/empty && chmod 700 app/bin"
     " && ln -s ../outside/target app/bin/tool && printf v1 > app/update.gz");
  std::string archive = Archive(
      "write(gz(tar_bytes([D('./', mode=0o777), D('bin', mode=0o777), F('bin/prog', b'new', 0o755),"
      " F('bin/tool', b'tool'), F('bin/a', b'linked'), H('bin/b', 'bin/a'),"
      " L('bin/python', '/usr/bin/python3'), D('data'), F('data/x', b'x'), F('empty', b'e')])))");
  ASSERT_EQ(Stage(archive), "");
  StagedInodes fresh;
  ASSERT_EQ(InspectStaged(staging_, app_, nullptr, &fresh), "");
  struct stat before;
  ASSERT_EQ(stat(app_.c_str(), &before), 0);
  EXPECT_TRUE(MoveStaged(staging_, app_, fresh));
  // What the release replaced is left where it was staged, and nothing else.
  EXPECT_EQ(Tree(staging_), (Lines{"bin d 755", "bin/prog f 644 old",
                                   "bin/tool -> ../outside/target", "empty d 755"}));
  ASSERT_TRUE(RemoveTree(staging_));
  EXPECT_EQ(Tree(app_),
            (Lines{"Log d 755", "Log/day.log f 644 log", "bin d 700", "bin/a f 644 linked",
                   "bin/b f 644 linked", "bin/mine f 644 kept", "bin/prog f 755 new",
                   "bin/python -> /usr/bin/python3", "bin/tool f 644 tool", "data d 755",
                   "data/x f 644 x", "empty f 644 e", "update.gz f 644 v1"}));
  struct stat a, b, after;
  ASSERT_EQ(stat((app_ + "/bin/a").c_str(), &a), 0);
  ASSERT_EQ(stat((app_ + "/bin/b").c_str(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino);  // still one file
  ASSERT_EQ(stat(app_.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode, before.st_mode);  // "./" changed nothing
  ExpectOutsideUntouched();
}

TEST_F(InstallTest, MoveNeverPassesThroughALinkAndMovesTheRest) {
  // The application directory changed after inspection: data became a link.
  Sh("mkdir -p app/data");
  std::string archive =
      Archive("write(gz(tar_bytes([D('data'), F('data/planted'), F('other', b'o')])))");
  ASSERT_EQ(Stage(archive), "");
  StagedInodes fresh;
  ASSERT_EQ(InspectStaged(staging_, app_, nullptr, &fresh), "");
  Sh("rmdir app/data && ln -s ../outside app/data");
  EXPECT_FALSE(MoveStaged(staging_, app_, fresh));
  EXPECT_EQ(Content(app_ + "/other"), "o");
  EXPECT_TRUE(fs::is_symlink(app_ + "/data"));
  ExpectOutsideUntouched();
}

TEST_F(InstallTest, InspectionAcceptsWhatAMoveCanDo) {
  Sh("mkdir -p app/bin app/gone app/data && echo > app/bin/tool && echo > app/data/x"
     " && ln -s /nowhere app/bin/link");
  Sh("cd app && mkdir -p update.staging/bin/Log update.staging/bin/tool update.staging/data"
     " && cd update.staging && echo > gone && echo > bin/update.gz && echo > bin/link"
     " && ln -s /usr/bin/python3 bin/python && echo > a && ln a b");
  StagedInodes fresh;
  EXPECT_EQ(InspectStaged(staging_, app_, nullptr, &fresh), "");
  EXPECT_TRUE(MoveStaged(staging_, app_, fresh));
  EXPECT_TRUE(fs::is_regular_file(app_ + "/gone"));
  EXPECT_TRUE(fs::is_directory(app_ + "/bin/tool"));
  EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(app_ + "/bin/link")));
}

// The previous release comes back exactly, however far the move had come,
// and a move or a restore cut short and run again ends as a whole one.
TEST_F(InstallTest, RestoreBringsBackTheTreeBeforeTheMove) {
  Sh("mkdir -p app/bin app/data app/gone && printf old > app/bin/prog && printf kept > app/bin/mine"
     " && ln -s prog app/bin/alias && printf f > app/data/file && printf v1 > app/update.gz");
  const Lines before = Tree(app_);
  std::string archive = Archive(
      "write(gz(tar_bytes([D('bin'), F('bin/prog', b'new', 0o755), F('bin/alias', b'a'),"
      " F('bin/added', b'x'), D('fresh'), F('fresh/deep', b'y'), F('gone', b'file now'),"
      " D('data'), F('data/file', b'g')])))");
  Lines whole;
  // 0: no cut; n: the move stopped after n entries (it moves 6).
  for (unsigned long cut = 0; cut <= 6; ++cut) {
    SCOPED_TRACE(cut);
    ASSERT_EQ(Tree(app_), before);
    ASSERT_EQ(Stage(archive), "");
    std::vector<std::string> added;
    StagedInodes fresh;
    ASSERT_EQ(InspectStaged(staging_, app_, &added, &fresh), "");
    EXPECT_EQ(added, (std::vector<std::string>{"bin/added", "fresh"}));
    StopWalksAfterForTests("moving", cut);
    MoveStaged(staging_, app_, fresh);
    StopWalksAfterForTests("moving", 0);
    if (cut == 0) {
      whole = Tree(app_);
    } else {
      // Finished after the cut, the move ends as a whole one would.
      ASSERT_TRUE(MoveStaged(staging_, app_, fresh));
      EXPECT_EQ(Tree(app_), whole);
      // A restore cut short, then run again.
      StopWalksAfterForTests("rolling-back", cut);
      RestorePrevious(staging_, app_, added, fresh, {"update.gz"});
      StopWalksAfterForTests("rolling-back", 0);
    }
    EXPECT_TRUE(RestorePrevious(staging_, app_, added, fresh, {"update.gz"}));
    EXPECT_TRUE(RestorePrevious(staging_, app_, added, fresh, {"update.gz"}));
    ASSERT_TRUE(RemoveTree(staging_));
    EXPECT_EQ(Tree(app_), before);
  }
  // Undone straight from a cut move, without finishing it first.
  for (unsigned long cut = 1; cut <= 6; ++cut) {
    SCOPED_TRACE(cut);
    ASSERT_EQ(Stage(archive), "");
    std::vector<std::string> added;
    StagedInodes fresh;
    ASSERT_EQ(InspectStaged(staging_, app_, &added, &fresh), "");
    StopWalksAfterForTests("moving", cut);
    MoveStaged(staging_, app_, fresh);
    StopWalksAfterForTests("moving", 0);
    EXPECT_TRUE(RestorePrevious(staging_, app_, added, fresh, {"update.gz"}));
    ASSERT_TRUE(RemoveTree(staging_));
    EXPECT_EQ(Tree(app_), before);
  }
}

// A directory whose staged copy holds every name that stands below its place
// takes that place whole, in one rename, and the one it replaces holds only
// replaced entries; any other is merged entry by entry, and what the release
// does not hold stays. The folder's owner and mode stay either way. A
// rollback puts each back as it was.
TEST_F(InstallTest, CoveringDirectoriesAreExchangedWholeOthersMerged) {
  Sh("mkdir -p app/a app/b app/c/d app/e && printf 1 > app/a/x && printf 1 > app/b/x"
     " && printf mine > app/b/keep && printf 1 > app/c/d/x && printf mine > app/c/d/keep"
     " && chmod 750 app/a");
  const Lines before = Tree(app_);
  auto inode = [](const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
  };
  const ino_t b = inode(app_ + "/b"), c = inode(app_ + "/c"), d = inode(app_ + "/c/d");
  ASSERT_EQ(Stage(Archive("write(gz(tar_bytes([D('a'), F('a/x', b'2'), F('a/y', b'2'), D('b'),"
                          " F('b/x', b'2'), D('c'), D('c/d'), F('c/d/x', b'2'), D('e'),"
                          " F('e/z', b'2')])))")),
            "");
  const ino_t staged_a = inode(staging_ + "/a"), staged_e = inode(staging_ + "/e");
  std::vector<std::string> added;
  StagedInodes fresh;
  ASSERT_EQ(InspectStaged(staging_, app_, &added, &fresh), "");
  ASSERT_TRUE(MoveStaged(staging_, app_, fresh));
  EXPECT_EQ(inode(app_ + "/a"), staged_a);
  EXPECT_EQ(fs::status(app_ + "/a").permissions(), fs::perms(0750));  // the folder's, kept
  EXPECT_EQ(inode(app_ + "/e"), staged_e);
  EXPECT_EQ(inode(app_ + "/b"), b);
  EXPECT_EQ(inode(app_ + "/c"), c);
  EXPECT_EQ(inode(app_ + "/c/d"), d);
  for (const char* name : {"a/x", "a/y", "b/x", "c/d/x", "e/z"})
    EXPECT_EQ(Content(app_ + "/" + name), "2") << name;
  EXPECT_EQ(Content(app_ + "/b/keep"), "mine");
  EXPECT_EQ(Content(app_ + "/c/d/keep"), "mine");
  // The previous release: the replaced entries alone.
  EXPECT_EQ(Content(staging_ + "/a/x"), "1");
  EXPECT_FALSE(fs::exists(staging_ + "/a/y"));
  EXPECT_TRUE(fs::is_empty(staging_ + "/e"));
  EXPECT_FALSE(fs::exists(staging_ + "/b/keep"));
  ASSERT_TRUE(RestorePrevious(staging_, app_, added, fresh, {}));
  ASSERT_TRUE(RemoveTree(staging_));
  EXPECT_EQ(Tree(app_), before);
  EXPECT_EQ(inode(app_ + "/b"), b);
}

TEST_F(InstallTest, RemoveTreeRemovesWhateverStandsWithoutFollowingLinks) {
  Sh("mkdir -p app/tree/a/b && echo > app/tree/a/b/f && ln -s ../../outside app/tree/a/out"
     " && mkfifo app/tree/fifo && ln -s ../outside app/link && mkfifo app/fifo && echo > app/file");
  for (const char* name : {"tree", "link", "fifo", "file", "missing"}) {
    SCOPED_TRACE(name);
    EXPECT_TRUE(RemoveTree(app_ + "/" + name));
    EXPECT_FALSE(fs::exists(fs::symlink_status(app_ + "/" + name)));
  }
  ExpectOutsideUntouched();
}

}  // namespace
