#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "le/le.h"
#include "support/test_video.h"
#include "tessera/le_bankdec_ff.h"
#include "tessera/le_bundle_tessera.h"
#include "tessera/le_tessera.h"
#include "tessera_fixtures.h"

using le::tessera::decodeBankTrack;
using le_test::TempDir;
using le_test::errorOf;
using tessera_test::kBandH;
using tessera_test::kBandW;

namespace {

const std::string kDash = "\xE2\x80\x94";

// Flat colour of reference frame t.
std::vector<uint8_t> colourOf(int t) {
  return {uint8_t(40 + 60 * t), uint8_t(200 - 50 * t), uint8_t(90 + 30 * t)};
}

std::string encodeTrack(int frames, int w = kBandW, int h = kBandH,
                        const std::string& pixfmt = "yuv444p", const std::string& muxer = "",
                        int firstColour = 0) {
  av_log_set_level(AV_LOG_ERROR);  // the encoder's statistics are noise here
  TempDir tmp;
  const std::string path = tmp / (muxer == "h264" ? "track.h264" : "track.mp4");
  le_test::VideoSpec layout;
  layout.width = w;
  layout.height = h;
  layout.frames = frames;
  layout.pixfmt = pixfmt;
  layout.container = muxer;
  const std::string err = le_test::encodeVideo(path, layout, [&](int t, uint8_t* rgb) {
    const std::vector<uint8_t> c = colourOf(firstColour + t);
    for (int i = 0; i < w * h; ++i)
      for (int ch = 0; ch < 3; ++ch) rgb[3 * i + ch] = c[size_t(ch)];
  });
  EXPECT_EQ(err, "");
  return le_test::readFile(path);
}

// A short mono 16-bit WAV file: a container without a video stream.
std::string wavBytes() {
  std::string b;
  auto put = [&b](uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b += char((v >> (8 * i)) & 0xff);
  };
  const uint32_t samples = 1600;
  b += "RIFF";
  put(36 + 2 * samples, 4);
  b += "WAVEfmt ";
  put(16, 4);
  put(1, 2);  // PCM
  put(1, 2);  // mono
  put(16000, 4);
  put(32000, 4);
  put(2, 2);
  put(16, 2);
  b += "data";
  put(2 * samples, 4);
  for (uint32_t i = 0; i < samples; ++i) put(uint16_t(int16_t((i % 40) * 500 - 10000)), 2);
  return b;
}

std::vector<uint8_t> decode(const std::string& track, int n, const std::vector<int32_t>& order,
                            int w = kBandW, int h = kBandH) {
  return decodeBankTrack(reinterpret_cast<const uint8_t*>(track.data()), track.size(), n, h, w,
                         order);
}

std::string decodeError(const std::string& track, int n, const std::vector<int32_t>& order,
                        int w = kBandW, int h = kBandH) {
  return errorOf([&] { decode(track, n, order, w, h); });
}

// Every pixel of donor slot `slot` is close to the colour of frame `frame`.
void expectSlot(const std::vector<uint8_t>& band, int slot, int frame) {
  const size_t patch = size_t(kBandW) * kBandH * 3;
  const std::vector<uint8_t> want = colourOf(frame);
  int worst = 0;
  for (size_t i = 0; i < patch; ++i)
    worst = std::max(worst, std::abs(int(band[size_t(slot) * patch + i]) - int(want[i % 3])));
  EXPECT_LE(worst, 6) << "slot " << slot << " frame " << frame;
}

TEST(BankDecode, WritesEachFrameIntoItsDonorSlot) {
  const std::string track = encodeTrack(3);
  const std::vector<uint8_t> band = decode(track, 3, {2, 0, 1});
  ASSERT_EQ(band.size(), size_t(3) * kBandH * kBandW * 3);
  expectSlot(band, 2, 0);
  expectSlot(band, 0, 1);
  expectSlot(band, 1, 2);

  const std::vector<uint8_t> two = decode(encodeTrack(2), 2, {1, 0});
  expectSlot(two, 1, 0);  // the first decoded frame lands in slot 1
  expectSlot(two, 0, 1);
}

// The converter's fast 4:2:0 path leaves the columns past the last multiple
// of 16 unwritten at this width; every pixel of the patch must be converted.
TEST(BankDecode, ConvertsEveryColumnOf420Tracks) {
  const std::vector<uint8_t> band = decode(encodeTrack(2, kBandW, kBandH, "yuv420p"), 2, {0, 1});
  expectSlot(band, 0, 0);
  expectSlot(band, 1, 1);
}

TEST(BankDecode, RefusesFrameCountsOtherThanTheSidecars) {
  EXPECT_EQ(decodeError(encodeTrack(4), 3, {0, 1, 2}),
            "bank track carries more frames than the sidecar's n_donors " + kDash +
                " sidecar/track mismatch, refusing to serve");
  EXPECT_EQ(decodeError(encodeTrack(2), 3, {0, 1, 2}),
            "bank track decoded to 2 frames, expected 3 " + kDash +
                " geometry/N mismatch, refusing to serve");
}

TEST(BankDecode, RefusesGeometryAndOrderMismatches) {
  const std::string track = encodeTrack(3);
  EXPECT_EQ(decodeError(track, 3, {0, 1, 2}, kBandW + 2),
            "reference bank track is 20x12, the geometry stamp says 22x12 " + kDash +
                " geometry mismatch, refusing to serve");
  EXPECT_EQ(decodeError("", 3, {0, 1, 2}),
            "reference bank track is empty " + kDash + " refusing to serve");
  EXPECT_EQ(errorOf([] { decodeBankTrack(nullptr, 10, 1, 1, 1, {0}); }),
            "reference bank track is empty " + kDash + " refusing to serve");
  const std::string notPositive =
      "reference bank geometry is not positive " + kDash + " refusing to serve";
  EXPECT_EQ(decodeError(track, 0, {}), notPositive);
  EXPECT_EQ(decodeError(track, 3, {0, 1, 2}, 0), notPositive);
  EXPECT_EQ(decodeError(track, 3, {0, 1, 2}, kBandW, -1), notPositive);
  EXPECT_EQ(decodeError(track, 3, {0, 1}),
            "reference bank sidecar track_order has 2 entries, expected 3 " + kDash +
                " sidecar/track mismatch, refusing to serve");
  EXPECT_EQ(decodeError(track, 3, {0, 3, 1}),
            "reference bank track_order is out of range " + kDash + " refusing to serve");
  EXPECT_EQ(decodeError(track, 3, {2, 0, 2}),
            "reference bank track_order is not a permutation " + kDash + " refusing to serve");
  EXPECT_EQ(decodeError("this is not a video at all", 3, {0, 1, 2}),
            "reference bank track is not a readable container " + kDash + " refusing to serve");
  EXPECT_EQ(decodeError(wavBytes(), 3, {0, 1, 2}),
            "reference bank track has no video stream " + kDash + " refusing to serve");
}

// A raw H.264 stream whose tail carries a new sequence header: the decoder
// reports the change of size or format, and the converter built for the
// first frame must never see the new layout. (The head of the stream is long
// enough for the stream information to be read from it alone.)
TEST(BankDecode, RefusesLayoutChangesMidTrack) {
  const int head = 10;
  std::vector<int32_t> order(head + 1);
  for (int i = 0; i <= head; ++i) order[size_t(i)] = i;
  const std::string first = encodeTrack(head, kBandW, kBandH, "yuv420p", "h264");
  const std::string wider = encodeTrack(1, kBandW + 16, kBandH, "yuv420p", "h264", 2);
  EXPECT_EQ(decodeError(first + wider, head + 1, order),
            "reference bank frame changed size mid-track " + kDash + " refusing to serve");
  const std::string full = encodeTrack(1, kBandW, kBandH, "yuv444p", "h264", 2);
  EXPECT_EQ(decodeError(first + full, head + 1, order),
            "reference bank frame changed pixel format mid-track " + kDash + " refusing to serve");
  // The same stream without a change decodes.
  const std::string same = encodeTrack(1, kBandW, kBandH, "yuv420p", "h264", 2);
  expectSlot(decode(first + same, head + 1, order), head, 2);
}

TEST(BankDecode, NamesTheDecoderBuild) {
  EXPECT_EQ(le::tessera::bankDecoderBuild(), std::string("libavcodec ") +
                                                 AV_STRINGIFY(LIBAVCODEC_VERSION) + " / " +
                                                 avcodec_configuration());
}

// A bundle carrying all four members loads through the C interface; its
// checkpoint and configuration read; its track decodes into donor order;
// and reordering the track-order decode through the C interface gives the
// same bytes.
TEST(TesseraEndToEnd, BundleLoadsAndTrackDecodesIntoDonorOrder) {
  TempDir tmp;
  tessera_test::BundleLayout layout;
  layout.tessera = R"({"geometry": )" + tessera_test::geometryText() + "}";
  const std::vector<uint8_t> pt = tessera_test::headFixture("full");
  layout.headPt.assign(pt.begin(), pt.end());
  layout.track = encodeTrack(3);
  tessera_test::writeBundle(tmp.path(), layout);

  char err[1024];
  le_tessera_members* m = le_tessera_members_open(tmp.path().c_str(), err, sizeof err);
  ASSERT_NE(m, nullptr) << err;
  const int n = le_tessera_members_n_donors(m);
  const int bh = le_tessera_members_band_h(m), bw = le_tessera_members_band_w(m);
  ASSERT_EQ(n, 3);

  const auto* ptBytes = le_tessera_members_head_pt(m);
  const le::tessera::HeadWeights w =
      le::tessera::loadHeadPt(ptBytes, size_t(le_tessera_members_head_pt_len(m)));
  EXPECT_EQ(w.params(), 4082);
  EXPECT_EQ(le::ServeConfig::fromHeadMemberJson(le_tessera_members_head_json(m)).K, 4);
  le::GeometryStamp stamp;
  for (int i = 0; i < le::GeometryStamp::kFields; ++i) stamp.at(i) = le_tessera_members_stamp(m)[i];
  EXPECT_NO_THROW(stamp.validate());

  const std::string track = le_test::readFile(le_tessera_members_bank_track_path(m));
  const std::vector<int32_t> order = {2, 0, 1};  // the sidecar's
  const std::vector<uint8_t> donor = decode(track, n, order, bw, bh);
  expectSlot(donor, 2, 0);
  expectSlot(donor, 0, 1);
  expectSlot(donor, 1, 2);

  const std::vector<uint8_t> inTrackOrder = decode(track, n, {0, 1, 2}, bw, bh);
  std::vector<uint8_t> reordered(size_t(le_tessera_members_band_bytes(m)), 0);
  ASSERT_EQ(reordered.size(), donor.size());
  ASSERT_EQ(le_tessera_members_reorder(m, inTrackOrder.data(), reordered.data(), err, sizeof err),
            0)
      << err;
  EXPECT_STREQ(err, "");
  EXPECT_EQ(reordered, donor);
  le_tessera_members_close(m);
}

}  // namespace
