#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bundle/le_bundle.h"
#include "bundle/le_imx.h"
#include "support/test_util.h"

using le_test::fileExists;
using le_test::readFile;
using le_test::TempDir;
using le_test::writeFile;

using le_test::errorOf;

namespace {

struct Member {
  std::string name;
  std::string data;
};

void put16(std::string& s, uint16_t v) {
  s += char(v & 0xff);
  s += char(v >> 8);
}
void put64(std::string& s, uint64_t v) {
  for (int i = 0; i < 8; ++i) s += char((v >> (8 * i)) & 0xff);
}

// Container bytes: header, TOC, then the payloads in order. `sizeExtra`
// inflates every declared size, to make payloads run past the end.
std::string imxBytes(const std::vector<Member>& members, uint16_t version = 2,
                     uint64_t sizeExtra = 0) {
  std::string toc;
  size_t tocSize = 0;
  for (const Member& m : members) tocSize += 2 + m.name.size() + 16;
  uint64_t off = 8 + tocSize;
  std::string payload;
  for (const Member& m : members) {
    put16(toc, uint16_t(m.name.size()));
    toc += m.name;
    put64(toc, off);
    put64(toc, m.data.size() + sizeExtra);
    off += m.data.size();
    payload += m.data;
  }
  std::string out("IMX\0", 4);
  put16(out, version);
  put16(out, uint16_t(members.size()));
  return out + toc + payload;
}

std::string stampOf(const std::string& container, const std::string& base) {
  struct stat st;
  ::lstat(container.c_str(), &st);
  return "imx-unwrapped.v2 " + base + " " + std::to_string(st.st_size) + " " +
         std::to_string(int64_t(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec) + " " +
         std::to_string(st.st_ino);
}

void bumpMtime(const std::string& path) {
  struct stat st;
  ::stat(path.c_str(), &st);
  struct timespec ts[2] = {st.st_atim, st.st_mtim};
  ts[1].tv_sec += 10;
  ::utimensat(AT_FDCWD, path.c_str(), ts, 0);
}

class Imx : public ::testing::Test {
 protected:
  void SetUp() override { ::unsetenv("LE_IMX_UNWRAP_ROOT"); }
  void TearDown() override { ::unsetenv("LE_IMX_UNWRAP_ROOT"); }
  std::vector<Member> sample() const {
    return {{"manifest.json", le_test::manifestText(4, 64, 48, 0)},
            {"sub/deep/data.bin", std::string("\x01\x02\0\x03", 4)},
            {"empty", ""}};
  }
  TempDir tmp;
};

TEST_F(Imx, UnwrapsOnceAndReusesWhileUnchanged) {
  const std::string c = tmp / "alice.imx";
  writeFile(c, imxBytes(sample()));
  const std::string d = tmp / "alice.lebundle";
  testing::internal::CaptureStderr();
  EXPECT_EQ(le::resolveBundlePath(c), d);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[le] unwrapped " + c + " -> " + d + "\n");
  EXPECT_EQ(readFile(d + "/sub/deep/data.bin"), std::string("\x01\x02\0\x03", 4));
  EXPECT_TRUE(fileExists(d + "/empty"));
  EXPECT_FALSE(fileExists(d + "/sub/deep/data.bin.part"));
  EXPECT_EQ(readFile(d + ".imx_unwrapped"), stampOf(c, "alice.imx"));
  EXPECT_EQ(le::loadManifest(c).NT, 4);

  // Unchanged container: nothing is written, local edits survive.
  writeFile(d + "/sub/deep/data.bin", "edited");
  testing::internal::CaptureStderr();
  EXPECT_EQ(le::resolveBundlePath(c), d);
  EXPECT_EQ(le::resolveBundlePath(tmp / "alice"), d);  // named without ".imx"
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(readFile(d + "/sub/deep/data.bin"), "edited");

  // A marker with a line end still matches.
  writeFile(d + ".imx_unwrapped", stampOf(c, "alice.imx") + "\n");
  EXPECT_EQ(le::resolveBundlePath(c), d);
  EXPECT_EQ(readFile(d + "/sub/deep/data.bin"), "edited");

  // A new modification time rebuilds the directory from scratch.
  writeFile(d + "/stray", "x");
  bumpMtime(c);
  testing::internal::CaptureStderr();
  EXPECT_EQ(le::resolveBundlePath(c), d);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("[le] unwrapped"), std::string::npos);
  EXPECT_EQ(readFile(d + "/sub/deep/data.bin"), std::string("\x01\x02\0\x03", 4));
  EXPECT_FALSE(fileExists(d + "/stray"));
  EXPECT_EQ(readFile(d + ".imx_unwrapped"), stampOf(c, "alice.imx"));
}

TEST_F(Imx, PathForms) {
  // A plain directory without a sibling marker comes back unchanged, even
  // when a container of the same name sits beside it.
  le_test::makeDirs(tmp / "plain");
  writeFile(tmp / "plain.imx", imxBytes(sample()));
  EXPECT_EQ(le::resolveBundlePath(tmp / "plain"), tmp / "plain");
  EXPECT_EQ(le::resolveBundlePath(""), "");
  EXPECT_EQ(le::resolveBundlePath(tmp / "nothing"), tmp / "nothing");

  // name.lebundle.imx unwraps to name.lebundle; that directory, given with a
  // trailing slash, is checked against its container again.
  const std::string c = tmp / "bob.lebundle.imx";
  writeFile(c, imxBytes(sample()));
  const std::string d = tmp / "bob.lebundle";
  EXPECT_EQ(le::resolveBundlePath(c), d);
  EXPECT_EQ(le::resolveBundlePath(d + "/"), d);
  writeFile(d + "/manifest.json", "changed");
  bumpMtime(c);
  EXPECT_EQ(le::resolveBundlePath(d), d);
  EXPECT_EQ(readFile(d + "/manifest.json"), le_test::manifestText(4, 64, 48, 0));

  // A container without any extension.
  const std::string bare = tmp / "carol";
  writeFile(bare, imxBytes(sample()));
  EXPECT_EQ(le::resolveBundlePath(bare), tmp / "carol.lebundle");
}

TEST_F(Imx, UnwrapRootFromEnvironment) {
  const std::string c = tmp / "dan.imx";
  writeFile(c, imxBytes(sample()));
  TempDir root;
  ::setenv("LE_IMX_UNWRAP_ROOT", (root.path() + "/nested/").c_str(), 1);
  EXPECT_EQ(le::resolveBundlePath(c), root / "nested/dan.lebundle");
  EXPECT_TRUE(fileExists(root / "nested/dan.lebundle.imx_unwrapped"));
  EXPECT_FALSE(fileExists(tmp / "dan.lebundle"));
  ::setenv("LE_IMX_UNWRAP_ROOT", "", 1);
  EXPECT_EQ(le::resolveBundlePath(c), tmp / "dan.lebundle");
}

TEST_F(Imx, VersionOneIsNotAContainer) {
  const std::string c = tmp / "old.imx";
  writeFile(c, imxBytes(sample(), 1));
  EXPECT_FALSE(le::isImxV2File(c));
  EXPECT_TRUE(le::isImxV2File((writeFile(tmp / "new.imx", imxBytes(sample())), tmp / "new.imx")));
  EXPECT_FALSE(le::isImxV2File(tmp.path()));
  writeFile(tmp / "short.imx", std::string("IMX\0\2", 5));
  EXPECT_FALSE(le::isImxV2File(tmp / "short.imx"));
  EXPECT_EQ(le::resolveBundlePath(c), c);
  EXPECT_EQ(errorOf([&] { le::loadManifest(c); }), "cannot open " + c + "/manifest.json");
}

TEST_F(Imx, RefusalsLeaveNoMarker) {
  const std::string c = tmp / "bad.imx";
  const std::string marker = tmp / "bad.lebundle.imx_unwrapped";
  for (const std::string& name :
       {std::string(".."), std::string("a/../b"), std::string("/abs"), std::string("\\win"),
        std::string(""), std::string("nul\0x", 5)}) {
    writeFile(c, imxBytes({{"ok.txt", "fine"}, {name, "evil"}}));
    bumpMtime(c);
    std::string shown = name;
    if (shown.find('\0') != std::string::npos) shown = "nul\\0x";  // printed, not cut short
    EXPECT_EQ(errorOf([&] { le::resolveBundlePath(c); }),
              c + ": refusing unsafe member name '" + shown + "'");
    EXPECT_FALSE(fileExists(marker));
  }
  EXPECT_FALSE(fileExists(tmp / "b"));
  EXPECT_FALSE(fileExists("/abs"));

  writeFile(c, imxBytes({{"a", "0123456789"}}, 2, 1));
  bumpMtime(c);
  EXPECT_EQ(errorOf([&] { le::resolveBundlePath(c); }), c + ": truncated payload for member a");
  EXPECT_FALSE(fileExists(marker));

  // Truncated tables of contents.
  std::string whole = imxBytes({{"abc", "xyz"}});
  struct {
    size_t keep;
    std::string error;
  } cuts[] = {{9, c + ": truncated TOC at member 0"},
              {11, c + ": truncated member name at 0"},
              {20, c + ": truncated TOC offsets at member abc"}};
  for (const auto& cut : cuts) {
    writeFile(c, whole.substr(0, cut.keep));
    bumpMtime(c);
    EXPECT_EQ(errorOf([&] { le::resolveBundlePath(c); }), cut.error);
    EXPECT_FALSE(fileExists(marker));
  }
  // The next attempt on a good container starts over and succeeds.
  writeFile(c, whole);
  bumpMtime(c);
  EXPECT_EQ(le::resolveBundlePath(c), tmp / "bad.lebundle");
  EXPECT_EQ(readFile(tmp / "bad.lebundle/abc"), "xyz");
}

TEST_F(Imx, SyntheticManifestIsSkipped) {
  const std::string c = tmp / "syn.imx";
  writeFile(c, imxBytes({{"manifest.json", "{\"_imx_synthetic_manifest\": true}"},
                         {"other.json", "{\"_imx_synthetic_manifest\": true}"}}));
  const std::string d = le::resolveBundlePath(c);
  EXPECT_FALSE(fileExists(d + "/manifest.json"));
  EXPECT_TRUE(fileExists(d + "/other.json"));
}

TEST_F(Imx, ConcurrentResolutionsUnwrapOnce) {
  const std::string c = tmp / "race.imx";
  writeFile(c, imxBytes(sample()));
  testing::internal::CaptureStderr();
  std::vector<std::thread> ts;
  std::atomic<int> right{0};
  for (int i = 0; i < 4; ++i)
    ts.emplace_back([&] { right += le::resolveBundlePath(c) == tmp / "race.lebundle"; });
  for (auto& t : ts) t.join();
  const std::string log = testing::internal::GetCapturedStderr();
  EXPECT_EQ(right.load(), 4);
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
}

}  // namespace
