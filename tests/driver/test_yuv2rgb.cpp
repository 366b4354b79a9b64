// The 4:2:0 row conversion against its integer definition on every
// instruction-set target this processor can run: identical bytes for every
// width, every (Y, U, V) triple and both chroma layouts, and no access
// outside the rows it is given.

#include <gtest/gtest.h>
#include <hwy/targets.h>
#include <setjmp.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "compute/le_simd.h"
#include "driver/le_yuv2rgb_simd.h"
#include "support/hwy_targets.h"

namespace {

// ------------------------------------------------------------ targets

template <class F>
void forEachTarget(F&& body) {
  le_test::forEachHwyTarget([&](const std::string&) { body(); });
}

// ------------------------------------------------------------ reference

// floor(a / 256) without relying on how >> treats negative numbers.
int floorDiv256(int a) {
  return (a + 256 * 4096) / 256 - 4096;
}

uint8_t clampByte(int v) {
  return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v);
}

void refPixel(int Y, int U, int V, uint8_t* rgb) {
  const int c = 298 * (Y - 16) + 128, d = U - 128, e = V - 128;
  rgb[0] = clampByte(floorDiv256(c + 409 * e));
  rgb[1] = clampByte(floorDiv256(c - 100 * d - 208 * e));
  rgb[2] = clampByte(floorDiv256(c + 516 * d));
}

// One row's inputs in either layout, chroma laid out exactly as long as the
// row needs: (width + 1) / 2 samples.
struct Row {
  int width = 0, step = 1;
  std::vector<uint8_t> y, u, v;  // step 1: planes; step 2: u holds the UV pairs

  Row(int w, int s) : width(w), step(s), y(size_t(w)) {
    const size_t n = size_t(w + 1) / 2;
    if (s == 1) {
      u.resize(n);
      v.resize(n);
    } else {
      u.resize(2 * n);
    }
  }
  int chroma() const { return (width + 1) / 2; }
  uint8_t& U(int j) { return step == 1 ? u[size_t(j)] : u[2 * size_t(j)]; }
  uint8_t& V(int j) { return step == 1 ? v[size_t(j)] : u[2 * size_t(j) + 1]; }
  const uint8_t* uPtr() const { return u.data(); }
  const uint8_t* vPtr() const { return step == 1 ? v.data() : u.data() + 1; }

  std::vector<uint8_t> expected() {
    std::vector<uint8_t> out(3 * size_t(width));
    for (int x = 0; x < width; ++x) refPixel(y[size_t(x)], U(x / 2), V(x / 2), &out[3 * size_t(x)]);
    return out;
  }
  std::vector<uint8_t> converted() const {
    std::vector<uint8_t> out(3 * size_t(width));
    le::simd::yuv420RowToRgb24(y.data(), uPtr(), vPtr(), width, step, out.data());
    return out;
  }
};

void randomize(Row& r, std::mt19937& rng) {
  for (uint8_t& b : r.y) b = uint8_t(rng());
  for (int j = 0; j < r.chroma(); ++j) {
    r.U(j) = uint8_t(rng());
    r.V(j) = uint8_t(rng());
  }
}

// Index of the first differing pixel, or -1.
int firstMismatch(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return int(i / 3);
  }
  return a.size() == b.size() ? -1 : int(a.size() / 3);
}

std::string describe(Row& r, const std::vector<uint8_t>& want, const std::vector<uint8_t>& got,
                     int x) {
  char buf[160];
  std::snprintf(buf, sizeof buf,
                "width %d step %d pixel %d: Y=%d U=%d V=%d want %d,%d,%d got %d,%d,%d", r.width,
                r.step, x, r.y[size_t(x)], r.U(x / 2), r.V(x / 2), want[3 * size_t(x)],
                want[3 * size_t(x) + 1], want[3 * size_t(x) + 2], got[3 * size_t(x)],
                got[3 * size_t(x) + 1], got[3 * size_t(x) + 2]);
  return buf;
}

// ------------------------------------------------------------ definition

TEST(Yuv2Rgb, KnownColours) {
  // Studio-range black and white, clipped extremes, mid grey and the
  // primaries' usual codes (green keeps a rounding residue in blue); the
  // expected bytes are worked out by hand from the formula.
  struct Point {
    int Y, U, V;
    uint8_t r, g, b;
  };
  const Point points[] = {
      {16, 128, 128, 0, 0, 0},        {235, 128, 128, 255, 255, 255}, {0, 128, 128, 0, 0, 0},
      {255, 128, 128, 255, 255, 255}, {126, 128, 128, 128, 128, 128}, {81, 90, 240, 255, 0, 0},
      {145, 54, 34, 0, 255, 1},       {41, 240, 110, 0, 0, 255},
  };
  for (int step : {1, 2}) {
    // Long enough for every target's widest block and a tail.
    Row row(77, step);
    forEachTarget([&] {
      for (const Point& p : points) {
        std::fill(row.y.begin(), row.y.end(), uint8_t(p.Y));
        for (int j = 0; j < row.chroma(); ++j) {
          row.U(j) = uint8_t(p.U);
          row.V(j) = uint8_t(p.V);
        }
        const std::vector<uint8_t> got = row.converted();
        for (int x = 0; x < row.width; ++x) {
          const uint8_t* px = &got[3 * size_t(x)];
          ASSERT_TRUE(px[0] == p.r && px[1] == p.g && px[2] == p.b)
              << "step " << step << " pixel " << x << " of Y=" << p.Y << " U=" << p.U
              << " V=" << p.V << " gave " << int(px[0]) << "," << int(px[1]) << "," << int(px[2]);
        }
      }
    });
  }
}

TEST(Yuv2Rgb, EveryTripleMatchesFormula) {
  // Every (Y, U, V): a row per U and luma offset r carries V = 0..255 as its
  // chroma samples; pixel pair j of row r holds Y = 2r + k + 7j, so the 128
  // rows of one U give each (U, V) all 256 lumas, on both pixels of a pair.
  for (int step : {1, 2}) {
    Row row(512, step);
    forEachTarget([&] {
      for (int U = 0; U < 256; ++U) {
        for (int j = 0; j < 256; ++j) {
          row.U(j) = uint8_t(U);
          row.V(j) = uint8_t(j);
        }
        for (int r = 0; r < 128; ++r) {
          for (int x = 0; x < 512; ++x) row.y[size_t(x)] = uint8_t(2 * r + (x & 1) + 7 * (x / 2));
          const std::vector<uint8_t> want = row.expected(), got = row.converted();
          const int bad = firstMismatch(want, got);
          ASSERT_EQ(bad, -1) << describe(row, want, got, bad);
        }
      }
    });
  }
}

TEST(Yuv2Rgb, EveryWidthMatchesFormula) {
  // Short rows exercise tails alone and every split between blocks and
  // tail; the long ones a frame's rows.
  std::vector<int> widths;
  for (int w = 1; w <= 70; ++w) widths.push_back(w);
  for (int w : {127, 128, 129, 255, 257, 1279, 1280, 1917, 1919, 1920, 3839}) widths.push_back(w);
  std::mt19937 rng(7);
  for (int step : {1, 2}) {
    for (int w : widths) {
      Row row(w, step);
      for (int rep = 0; rep < 4; ++rep) {
        randomize(row, rng);
        const std::vector<uint8_t> want = row.expected();
        forEachTarget([&] {
          const std::vector<uint8_t> got = row.converted();
          const int bad = firstMismatch(want, got);
          ASSERT_EQ(bad, -1) << describe(row, want, got, bad);
        });
        if (HasFatalFailure()) return;
      }
    }
  }
}

TEST(Yuv2Rgb, OddWidthEndsOnItsOwnChromaSample) {
  // The last pixel of an odd row is alone on chroma sample (width - 1) / 2;
  // give that sample video red and everything else neutral grey.
  for (int step : {1, 2}) {
    for (int w : {1, 3, 15, 17, 31, 33, 63, 65, 1919}) {
      Row row(w, step);
      std::fill(row.y.begin(), row.y.end(), uint8_t(126));
      for (int j = 0; j < row.chroma(); ++j) row.U(j) = row.V(j) = 128;
      row.y[size_t(w - 1)] = 81;
      row.U((w - 1) / 2) = 90;
      row.V((w - 1) / 2) = 240;
      forEachTarget([&] {
        const std::vector<uint8_t> got = row.converted();
        for (int x = 0; x < w; ++x) {
          const uint8_t* px = &got[3 * size_t(x)];
          const bool last = x == w - 1;
          const uint8_t want[3] = {uint8_t(last ? 255 : 128), uint8_t(last ? 0 : 128),
                                   uint8_t(last ? 0 : 128)};
          ASSERT_TRUE(std::memcmp(px, want, 3) == 0)
              << "width " << w << " step " << step << " pixel " << x << " gave " << int(px[0])
              << "," << int(px[1]) << "," << int(px[2]);
        }
      });
      if (HasFatalFailure()) return;
    }
  }
}

// ------------------------------------------------------------ bounds

// Pages with no access on both sides of `pages` usable ones, so the first
// byte before or after the usable span faults.
class Guarded {
 public:
  explicit Guarded(size_t bytes) {
    page_ = size_t(sysconf(_SC_PAGESIZE));
    span_ = (bytes + page_ - 1) / page_ * page_;
    void* p = mmap(nullptr, span_ + 2 * page_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return;
    base_ = static_cast<uint8_t*>(p);
    if (mprotect(base_ + page_, span_, PROT_READ | PROT_WRITE) != 0) {
      munmap(base_, span_ + 2 * page_);
      base_ = nullptr;
    }
  }
  ~Guarded() {
    if (base_) munmap(base_, span_ + 2 * page_);
  }
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  bool ok() const { return base_ != nullptr; }
  // n bytes whose last one is followed by the upper guard.
  uint8_t* atEnd(size_t n) const { return base_ + page_ + span_ - n; }
  // Bytes whose first one follows the lower guard.
  uint8_t* atStart() const { return base_ + page_; }
  const uint8_t* guardAfter() const { return base_ + page_ + span_; }
  const uint8_t* guardBefore() const { return base_ + page_ - 1; }

 private:
  size_t page_ = 0, span_ = 0;
  uint8_t* base_ = nullptr;
};

// Turns a segmentation fault inside `f` into a false return and the faulting
// address, so a stray access fails one case with its details instead of
// ending the test program.
sigjmp_buf gFaultJump;
volatile const void* gFaultAddress = nullptr;

void onFault(int, siginfo_t* info, void*) {
  gFaultAddress = info->si_addr;
  siglongjmp(gFaultJump, 1);
}

template <class F>
bool runTrapped(F&& f, const void** faultAt) {
  struct sigaction act {
  }, old{};
  act.sa_sigaction = onFault;
  act.sa_flags = SA_SIGINFO;
  sigemptyset(&act.sa_mask);
  sigaction(SIGSEGV, &act, &old);
  bool clean = true;
  if (sigsetjmp(gFaultJump, 1) == 0) {
    f();
  } else {
    clean = false;
    *faultAt = const_cast<const void*>(gFaultAddress);
  }
  sigaction(SIGSEGV, &old, nullptr);
  return clean;
}

TEST(Yuv2Rgb, GuardPagesTrapStrayAccess) {
  // The bounds test below is only as good as its trap.
  Guarded g(100);
  ASSERT_TRUE(g.ok());
  const void* at = nullptr;
  volatile uint8_t sink = 0;
  EXPECT_TRUE(runTrapped([&] { sink = *g.atEnd(1); }, &at));
  EXPECT_FALSE(runTrapped([&] { sink = *g.guardAfter(); }, &at));
  EXPECT_EQ(at, g.guardAfter());
  EXPECT_FALSE(runTrapped([&] { sink = *g.guardBefore(); }, &at));
  EXPECT_EQ(at, g.guardBefore());
  (void)sink;
}

TEST(Yuv2Rgb, StaysInsideItsRows) {
  // Inputs end exactly at a guard page (the last chroma byte read is
  // u[step * ((width - 1) / 2)], likewise v), or start right after one; the
  // output likewise. Chroma planes are separate buffers even for step 2, so
  // neither pointer may stray into the other's bytes; the real interleaved
  // layout is run too.
  std::vector<int> widths;
  for (int w = 1; w <= 70; ++w) widths.push_back(w);
  for (int w : {127, 128, 129, 1919, 1920}) widths.push_back(w);
  const size_t maxW = 1920;
  Guarded gy(maxW), gu(maxW + 2), gv(maxW + 2), gd(3 * maxW);
  ASSERT_TRUE(gy.ok() && gu.ok() && gv.ok() && gd.ok());
  std::mt19937 rng(11);
  forEachTarget([&] {
    for (int step : {1, 2}) {
      for (int w : widths) {
        const size_t chromaBytes = size_t(step) * size_t((w - 1) / 2) + 1;
        for (int layout = 0; layout < 3; ++layout) {
          // 0: at the upper guards; 1: at the lower guards; 2: one UV buffer
          // at the upper guard (step 2 only).
          if (layout == 2 && step == 1) continue;
          const bool end = layout != 1;
          uint8_t* y = end ? gy.atEnd(size_t(w)) : gy.atStart();
          uint8_t *u, *v;
          if (layout == 2) {
            u = gu.atEnd(chromaBytes + 1);
            v = u + 1;
          } else {
            u = end ? gu.atEnd(chromaBytes) : gu.atStart();
            v = end ? gv.atEnd(chromaBytes) : gv.atStart();
          }
          uint8_t* dst = end ? gd.atEnd(3 * size_t(w)) : gd.atStart();
          Row row(w, step);
          randomize(row, rng);
          std::memcpy(y, row.y.data(), size_t(w));
          for (int j = 0; j < row.chroma(); ++j) {
            u[size_t(step) * size_t(j)] = row.U(j);
            v[size_t(step) * size_t(j)] = row.V(j);
          }
          const void* at = nullptr;
          const bool clean =
              runTrapped([&] { le::simd::yuv420RowToRgb24(y, u, v, w, step, dst); }, &at);
          ASSERT_TRUE(clean) << "width " << w << " step " << step << " layout " << layout
                             << ": fault at " << at << " (y " << static_cast<void*>(y) << ", u "
                             << static_cast<void*>(u) << ", v " << static_cast<void*>(v) << ", dst "
                             << static_cast<void*>(dst) << ")";
          const std::vector<uint8_t> want = row.expected();
          ASSERT_EQ(std::memcmp(dst, want.data(), want.size()), 0)
              << "width " << w << " step " << step << " layout " << layout;
        }
      }
    }
  });
}

}  // namespace
