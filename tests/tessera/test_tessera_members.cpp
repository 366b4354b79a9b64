#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "bundle/le_bundle.h"
#include "le/le.h"
#include "tessera/le_bundle_tessera.h"
#include "tessera_fixtures.h"

using le_test::TempDir;
using le_test::writeFile;
using tessera_test::BundleLayout;
using le_test::errorOf;
using tessera_test::geometryText;
using tessera_test::sidecarText;
using tessera_test::writeBundle;

namespace {

const std::string kDash = "\xE2\x80\x94";

const std::string kRuling =
    ". ONE predicate (owner ruling 2026-09-06): all four members present = ARMED on every plane; "
    "any missing = REFUSED on every plane. The borrow is a SWITCH, not a gradient " +
    kDash +
    " there is no rendering mode that proceeds without them (tavrin-2 IS borrowed teeth). "
    "Re-stage the bundle with the bank builder.";

std::string loadError(const std::string& dir) {
  return errorOf([&] { le::loadTesseraMembers(dir); });
}

TEST(TesseraSlots, FixedTable) {
  ASSERT_EQ(le::tesseraSlotCount(), 4);
  ASSERT_EQ(le_tessera_slot_count(), 4);
  const char* keys[] = {"bank_track", "bank_sidecar", "head_weights", "head_config"};
  const le::TesseraSlots defaults;
  for (int i = 0; i < 4; ++i) {
    EXPECT_STREQ(le::tesseraSlotKeys()[size_t(i)].key, keys[i]);
    EXPECT_STREQ(le_tessera_slot_key(i), keys[i]);
    EXPECT_EQ(defaults.at(i), le::tesseraSlotKeys()[size_t(i)].member);
  }
  EXPECT_EQ(defaults.bank_track, "tessera_bank.v1.mp4");
  EXPECT_EQ(defaults.head_config, "tessera_head.v1.json");
  EXPECT_EQ(le_tessera_slot_key(-1), nullptr);
  EXPECT_EQ(le_tessera_slot_key(4), nullptr);
}

TEST(TesseraCarriage, WithoutManifestStillDescribesTheBundle) {
  TempDir tmp;
  BundleLayout layout;
  layout.manifest = false;
  writeBundle(tmp.path(), layout);
  const le::TesseraCarriage c = le::tesseraCarriage(tmp.path());
  EXPECT_TRUE(c.complete);
  EXPECT_FALSE(c.declared);
  EXPECT_EQ(c.names.bank_sidecar, "tessera_bank.v1.json");
  EXPECT_EQ(c.path("head_weights"), tmp / "tessera_head.v1.pt");
  EXPECT_EQ(errorOf([&] { c.path("bank"); }), "teeth: no such member slot 'bank'");
  // The load gets past the completeness check and stops at the manifest.
  EXPECT_EQ(loadError(tmp.path()),
            tmp.path() + " carries no manifest.json or meta.json " + kDash +
                " the compose descriptor (unified.pi) the pass places its window by lives there, "
                "and placing a borrow window without it is guessing.");
}

TEST(TesseraCarriage, ManifestOverridesNamesAndListsPlanes) {
  TempDir tmp;
  BundleLayout layout;
  layout.tessera =
      R"({"members": {"bank_track": "bank/track.mp4", "bank_sidecar": "", "head_weights": 5},
          "planes": ["utt", 3, "stream"]})";
  writeBundle(tmp.path(), layout);
  le::TesseraCarriage c = le::tesseraCarriage(tmp.path());
  EXPECT_TRUE(c.declared);
  EXPECT_EQ(c.names.bank_track, "bank/track.mp4");
  EXPECT_EQ(c.names.bank_sidecar, "tessera_bank.v1.json");  // empty string: default kept
  EXPECT_EQ(c.names.head_weights, "tessera_head.v1.pt");    // not a string: default kept
  EXPECT_EQ(c.planes, (std::vector<std::string>{"utt", "stream"}));
  EXPECT_FALSE(c.complete);
  EXPECT_EQ(c.missing, std::vector<std::string>{"bank_track"});

  writeFile(tmp / "bank/track.mp4", "x");
  c = le::tesseraCarriage(tmp.path());
  EXPECT_TRUE(c.complete);
  EXPECT_EQ(c.path("bank_track"), tmp / "bank/track.mp4");

  // meta.json stands in for a missing manifest.json.
  ::rename((tmp / "manifest.json").c_str(), (tmp / "meta.json").c_str());
  EXPECT_EQ(le::tesseraCarriage(tmp.path()).names.bank_track, "bank/track.mp4");

  // A manifest that does not parse declares nothing.
  writeFile(tmp / "meta.json", R"({"tessera": {"members": {"bank_track": "bank/track.mp4"}})");
  c = le::tesseraCarriage(tmp.path());
  EXPECT_FALSE(c.declared);
  EXPECT_EQ(c.names.bank_track, "tessera_bank.v1.mp4");
}

TEST(TesseraCarriage, EachMissingMemberRefusesTheBundle) {
  const char* members[] = {"tessera_bank.v1.mp4", "tessera_bank.v1.json", "tessera_head.v1.pt",
                           "tessera_head.v1.json"};
  for (int slot = 0; slot < 4; ++slot) {
    TempDir tmp;
    writeBundle(tmp.path(), BundleLayout());
    ::unlink((tmp / members[slot]).c_str());
    const std::string key = le::tesseraSlotKeys()[size_t(slot)].key;
    const le::TesseraCarriage c = le::tesseraCarriage(tmp.path());
    EXPECT_FALSE(c.complete);
    try {
      le::requireTesseraMembers(c);
      ADD_FAILURE() << "no refusal without " << key;
    } catch (const le::MissingTesseraMember& e) {
      EXPECT_EQ(e.missing(), std::vector<std::string>{key});
      EXPECT_EQ(std::string(e.what()), "missing teeth member(s): " + key + " (" + members[slot] +
                                           ") " + kDash + " carries 3 of 4" + kRuling);
    }
    // The full load refuses with the same exception.
    EXPECT_THROW(le::loadTesseraMembers(tmp.path()), le::MissingTesseraMember);
  }

  // Two missing, with a declared block the members do not keep.
  TempDir tmp;
  BundleLayout layout;
  layout.tessera = R"({"members": {"head_config": "conf/head.json"}})";
  writeBundle(tmp.path(), layout);
  ::unlink((tmp / "tessera_bank.v1.mp4").c_str());
  EXPECT_EQ(loadError(tmp.path()),
            "missing teeth member(s): bank_track (tessera_bank.v1.mp4), head_config "
            "(conf/head.json) " +
                kDash +
                " carries 2 of 4 and declares a manifest.tessera block the members do not keep" +
                kRuling);
}

TEST(TesseraMembers, LoadsAndCrossChecksAllFour) {
  TempDir tmp;
  BundleLayout layout;
  layout.tessera = R"({"geometry": )" + geometryText() +
                 R"(, "bank_container": "mkv", "bank_pix_fmt": "gbrp", "bank_codec": 7})";
  layout.headPt = std::string("PK\0\x01\x02", 5);
  writeBundle(tmp.path(), layout);
  const le::Manifest m = le::loadManifest(tmp.path());
  const le::TesseraAttachInputs in = le::loadTesseraMembers(m);
  EXPECT_EQ(in.n_donors, 3);
  EXPECT_EQ(in.track_order, (std::vector<int32_t>{2, 0, 1}));
  EXPECT_EQ(in.cent, (std::vector<double>{30.5, 36, 31, 35.25, 29, 37}));
  EXPECT_EQ(in.c_canon[0], 30.0);
  EXPECT_EQ(in.c_canon[1], 36.0);
  EXPECT_EQ(in.aperture, (std::vector<double>{0.25, 0.5, 0.75}));
  EXPECT_EQ(in.stamp.text(),
            "{canvas_w=64, canvas_h=64, window_x0=16, window_y0=24, window_w=32, window_h=24, "
            "pad=4, band_r0=4, band_r1=12, band_c0=6, band_c1=22, shift_margin=2}");
  EXPECT_EQ(in.band_w, tessera_test::kBandW);
  EXPECT_EQ(in.band_h, tessera_test::kBandH);
  EXPECT_EQ(in.bandBytes(), 3u * 12 * 20 * 3);
  EXPECT_EQ(std::string(in.head_pt.begin(), in.head_pt.end()), layout.headPt);
  EXPECT_EQ(in.head_json, layout.headConfig);
  EXPECT_EQ(in.manifest_json, le_test::readFile(tmp / "manifest.json"));
  EXPECT_EQ(in.bank_track_path, tmp / "tessera_bank.v1.mp4");
  // Manifest strings win; a non-string falls back to the sidecar's codec.
  EXPECT_EQ(in.bank_container, "mkv");
  EXPECT_EQ(in.bank_pix_fmt, "gbrp");
  EXPECT_EQ(in.bank_codec, "h264");
  EXPECT_EQ(in.bank_packing, "rgb24_frames");

  // Without a tessera block the sidecar states codec and pixel format.
  layout.tessera.clear();
  writeBundle(tmp.path(), layout);
  const le::TesseraAttachInputs plain = le::loadTesseraMembers(tmp.path());
  EXPECT_EQ(plain.bank_container, "mp4");
  EXPECT_EQ(plain.bank_pix_fmt, "yuv444p");
  EXPECT_EQ(plain.bank_codec, "h264");
}

struct SidecarCase {
  std::map<std::string, std::string> sidecar;
  std::string tessera;  // manifest block, raw JSON
  std::string message;  // "" = loads
};

TEST(TesseraMembers, RefusesEverySidecarFaultInOrder) {
  const std::string S = "tessera_bank.v1.json";
  const std::string tail = " " + kDash + " a count mismatch silently mis-orders the donors.";
  std::string ones1024 = "[", perm1024 = "[", pairs1024 = "[";
  for (int i = 0; i < 1024; ++i) {
    const std::string sep = i ? ", " : "";
    ones1024 += sep + "1";
    perm1024 += sep + std::to_string(1023 - i);
    pairs1024 += sep + "[1, 2]";
  }
  ones1024 += "]", perm1024 += "]", pairs1024 += "]";

  const std::vector<SidecarCase> cases = {
      {{{"format", "\"tessera_bank.v2\""}},
       "",
       S + " declares format 'tessera_bank.v2', not 'tessera_bank.v1' " + kDash +
           " this reader does not know that generation and will not guess at its keys."},
      {{{"format", ""}},
       "",
       S + " declares format '', not 'tessera_bank.v1' " + kDash +
           " this reader does not know that generation and will not "
           "guess at its keys."},
      {{{"geometry", ""}}, "", S + " carries no `geometry` stamp"},
      {{{"geometry", "[1, 2]"}}, "", S + " carries no `geometry` stamp"},
      {{{"geometry", geometryText({{"pad", ""}})}},
       "",
       "teeth: " + S + ".geometry lacks numeric 'pad'"},
      {{{"geometry", geometryText({{"band_r0", "\"4\""}})}},
       "",
       "teeth: " + S + ".geometry lacks numeric 'band_r0'"},
      {{{"geometry", geometryText({{"canvas_w", "3e9"}})}},
       "",
       "teeth: " + S + ".geometry.canvas_w = 3000000000 does not fit a 32-bit integer"},
      {{},
       R"({"geometry": )" + geometryText({{"band_c1", "21"}}) + "}",
       "teeth geometry DISAGREES between the manifest and the bank sidecar " + kDash +
           " manifest {canvas_w=64, canvas_h=64, window_x0=16, window_y0=24, window_w=32, "
           "window_h=24, pad=4, band_r0=4, band_r1=12, band_c0=6, band_c1=21, shift_margin=2} "
           "vs " +
           S +
           " {canvas_w=64, canvas_h=64, window_x0=16, window_y0=24, window_w=32, window_h=24, "
           "pad=4, band_r0=4, band_r1=12, band_c0=6, band_c1=22, shift_margin=2}; refusing to "
           "place a window on a rectangle the two halves of the bundle do not agree on."},
      {{},
       R"({"geometry": )" + geometryText({{"shift_margin", ""}}) + "}",
       "teeth: manifest.tessera.geometry lacks numeric 'shift_margin'"},
      {{}, R"({"geometry": "elsewhere"})", ""},  // not an object: not compared
      {{{"geometry", geometryText({{"band_r1", "4"}, {"shift_margin", "0"}})}},
       "",
       "teeth stamp yields a non-positive stored patch (16x0)"},
      {{{"n_donors", "0"}}, "", S + " says n_donors=0"},
      {{{"n_donors", "-2.7"}}, "", S + " says n_donors=-2"},
      {{{"n_donors", "\"3\""}}, "", "teeth: " + S + " lacks numeric 'n_donors'"},
      {{{"n_donors", "1025"}},
       "",
       S + " carries n_donors=1025, over the owner's cap of 1024 (ruling 2026-08-28). This "
           "reader REFUSES rather than capping: the selector is the bank's BUILD-time cap "
           "selector, and a second one here would change which donors reach the mouth while "
           "every count-based check stayed green. Rebuild the bank."},
      {{{"n_donors", "1024"},
        {"track_order", perm1024},
        {"cent", pairs1024},
        {"aperture", ones1024}},
       "",
       ""},
      {{{"track_order", "{}"}},
       "",
       S + " lacks one of track_order/cent/aperture/c_canon as an array"},
      {{{"c_canon", ""}}, "", S + " lacks one of track_order/cent/aperture/c_canon as an array"},
      {{{"cent", "[[1, 2], [3, 4]]"}},
       "",
       S + " says n_donors=3 but carries track_order=3, cent=2, aperture=3" + tail},
      {{{"aperture", "[1, 2, 3, 4]"}},
       "",
       S + " says n_donors=3 but carries track_order=3, cent=3, aperture=4" + tail},
      {{{"c_canon", "[1, 2, 3]"}}, "", S + " c_canon is not a pair"},
      {{{"track_order", "[1, 3, 0]"}}, "", S + " track_order[1]=3 is outside [0,3)"},
      {{{"track_order", "[-1, 1, 0]"}}, "", S + " track_order[0]=-1 is outside [0,3)"},
      {{{"track_order", "[1, 1, 0]"}},
       "",
       S + " track_order is not a permutation (reference 1 appears twice) " + kDash +
           " the inverse permutation would leave a reference slot never written and the pass "
           "would blend uninitialised memory into a real mouth."},
      {{{"cent", "[[1, 2], [3], [4, 5]]"}}, "", S + " cent[1] is not an (x,y) pair"},
      {{{"cent", "[[1, 2], 3, [4, 5]]"}}, "", S + " cent[1] is not an (x,y) pair"},
      {{{"codec", "{\"codec\": \"h264\"}"}},
       "",
       "<B>: neither manifest.tessera.bank_pix_fmt nor " + S +
           ".codec.pix_fmt states the reference track's pixel format. A decoder handed no "
           "format negotiates one, and the one it settles on is 4:2:0 " +
           kDash +
           " lossy chroma on reference pixels IS the borrow degrading. Refusing rather than "
           "letting it guess."},
      {{{"codec", "{\"pix_fmt\": \"rgb24\"}"}}, "", ""},  // an empty codec is accepted
      {{{"format", "}"}}, "", "teeth: " + S + " is not readable JSON: teeth: bad JSON number"},
  };
  for (const SidecarCase& c : cases) {
    TempDir tmp;
    BundleLayout layout;
    layout.sidecar = sidecarText(c.sidecar);
    layout.tessera = c.tessera;
    writeBundle(tmp.path(), layout);
    std::string expected = c.message;
    if (expected.rfind("<B>", 0) == 0) expected = tmp.path() + expected.substr(3);
    if (expected.empty()) {
      EXPECT_NO_THROW(le::loadTesseraMembers(tmp.path())) << layout.sidecar;
    } else {
      EXPECT_EQ(loadError(tmp.path()), expected) << layout.sidecar << c.tessera;
    }
  }
}

TEST(TesseraMembers, UnreadableManifestIsNamed) {
  TempDir tmp;
  writeBundle(tmp.path(), BundleLayout());
  writeFile(tmp / "manifest.json", "{\"tessera\": [1,}");
  EXPECT_EQ(loadError(tmp.path()),
            "teeth: " + (tmp / "manifest.json") + " is not readable JSON: teeth: bad JSON number");
}

TEST(TesseraMembers, MemberThatYieldsLessThanItsSizeIsRefused) {
  TempDir tmp;
  writeBundle(tmp.path(), BundleLayout());
  ::unlink((tmp / "tessera_head.v1.json").c_str());
  le_test::makeDirs(tmp / "tessera_head.v1.json");
  struct stat st;
  ASSERT_EQ(::stat((tmp / "tessera_head.v1.json").c_str(), &st), 0);
  if (st.st_size == 0) GTEST_SKIP() << "this file system gives directories no size";
  EXPECT_EQ(loadError(tmp.path()), "teeth: short read " + (tmp / "tessera_head.v1.json"));
}

le::GeometryStamp fixtureStamp() {
  le::GeometryStamp s;
  const auto& f = tessera_test::stampFields();
  for (int i = 0; i < le::GeometryStamp::kFields; ++i) s.at(i) = f[size_t(i)].second;
  return s;
}

TEST(GeometryStamp, ValidateNamesEveryBrokenRule) {
  EXPECT_NO_THROW(fixtureStamp().validate());
  struct Case {
    std::function<void(le::GeometryStamp&)> change;
    std::string phrases;
  };
  const std::vector<Case> cases = {
      {[](le::GeometryStamp& s) { s.window_w = 0; },
       " window dims must be positive; band cols escape window; stored band cols escape patch;"},
      {[](le::GeometryStamp& s) { s.window_x0 = 40; }, " window x-range escapes canvas;"},
      {[](le::GeometryStamp& s) { s.window_y0 = -1; }, " window y-range escapes canvas;"},
      {[](le::GeometryStamp& s) { s.band_r1 = 4; }, " band rows escape window;"},
      {[](le::GeometryStamp& s) { s.band_c0 = 22; }, " band cols escape window;"},
      {[](le::GeometryStamp& s) { s.shift_margin = -1; }, " pad/shift_margin must be positive;"},
      {[](le::GeometryStamp& s) { s.pad = 0; }, " pad/shift_margin must be positive;"},
      {[](le::GeometryStamp& s) { s.shift_margin = 11; },
       " stored band rows escape patch; stored band cols escape patch;"},
      {[](le::GeometryStamp& s) {
         s.band_c1 = 32;
         s.shift_margin = 5;
       },
       " stored band cols escape patch;"},
      // 32-bit sums would wrap negative and pass.
      {[](le::GeometryStamp& s) { s.window_x0 = std::numeric_limits<int32_t>::max(); },
       " window x-range escapes canvas;"},
  };
  for (const Case& c : cases) {
    le::GeometryStamp s = fixtureStamp();
    c.change(s);
    EXPECT_EQ(errorOf([&] { s.validate(); }), "teeth: GeometryStamp incoherent:" + c.phrases)
        << s.text();
  }
}

TEST(ServeConfig, ReadsTheHeadConfiguration) {
  const le::ServeConfig c = le::ServeConfig::fromHeadMemberJson(tessera_test::headConfigText());
  EXPECT_EQ(c.kshort, 24);
  EXPECT_EQ(c.aperture_tol, 0.35);
  EXPECT_EQ(c.cut, 8);
  EXPECT_EQ(c.K, 4);
  EXPECT_EQ(c.hysteresis, 2);
  EXPECT_EQ(c.lookahead, 1);
  EXPECT_EQ(c.lumaMin, 100.0);
  EXPECT_EQ(c.chromaMax, 25.0);
  EXPECT_EQ(c.minTeethPixels, 32);
  EXPECT_EQ(c.weightDecay, 0.6);
  EXPECT_TRUE(c.useLookahead);

  const std::string temporal = R"("temporal": {"hysteresis": 2.9, "lookahead": 1})";
  const le::ServeConfig t = le::ServeConfig::fromHeadMemberJson(
      R"({"retrieval": {"kshort": 24.7, "aperture_tol": 0.5, "cut": 8, "K": -4.5}, )" + temporal +
      R"(, "decode": {"envelope_clamp_255": 12.0000005}})");
  EXPECT_EQ(t.kshort, 24);  // truncated toward zero
  EXPECT_EQ(t.K, -4);
  EXPECT_EQ(t.hysteresis, 2);

  EXPECT_EQ(errorOf([&] { le::ServeConfig::fromHeadMemberJson(R"({"retrieval": {}})"); }),
            "teeth: tessera_head.v1 config lacks the retrieval/temporal blocks of the v1 schema " +
                kDash + " refusing to serve defaults (W3-01)");
  EXPECT_EQ(errorOf([&] {
              le::ServeConfig::fromHeadMemberJson(
                  R"({"retrieval": {"kshort": 1, "aperture_tol": 1, "K": 1}, )" + temporal + "}");
            }),
            "teeth: member JSON lacks key 'cut'");
  EXPECT_EQ(errorOf([&] {
              le::ServeConfig::fromHeadMemberJson(
                  R"({"retrieval": {"kshort": 1, "aperture_tol": 1, "cut": 1, "K": 1}, )" +
                  temporal + R"(, "decode": {"envelope_clamp_255": 13}})");
            }),
            "teeth: member envelope_clamp_255 != the envelope of record (12/255) " + kDash +
                " the envelope is a gated quantity");
  // Reader errors pass through unwrapped.
  EXPECT_EQ(errorOf([] { le::ServeConfig::fromHeadMemberJson(""); }), "teeth: JSON truncated");
}

le::TesseraAttachInputs threeDonors() {
  le::TesseraAttachInputs in;
  in.n_donors = 3;
  in.track_order = {2, 0, 1};
  in.band_w = 2;
  in.band_h = 1;
  return in;
}

TEST(ReorderTrackToDonor, ScattersReferencesIntoDonorOrder) {
  const le::TesseraAttachInputs in = threeDonors();
  std::vector<uint8_t> track(in.bandBytes()), donor(in.bandBytes(), 0);
  for (size_t i = 0; i < track.size(); ++i) track[i] = uint8_t(10 * (i / 6) + i % 6);
  le::reorderTrackToDonor(in, track.data(), donor.data());
  // Reference i of the track is donor track_order[i].
  for (int i = 0; i < 3; ++i)
    for (int b = 0; b < 6; ++b)
      EXPECT_EQ(donor[size_t(in.track_order[size_t(i)] * 6 + b)], 10 * i + b);

  EXPECT_EQ(errorOf([&] { le::reorderTrackToDonor(in, nullptr, donor.data()); }),
            "teeth: null band buffer");
  le::TesseraAttachInputs bad = in;
  bad.track_order.pop_back();
  EXPECT_EQ(errorOf([&] { le::reorderTrackToDonor(bad, track.data(), donor.data()); }),
            "teeth: track_order does not match n_donors");
  bad = in;
  bad.band_w = 0;
  EXPECT_EQ(errorOf([&] { le::reorderTrackToDonor(bad, track.data(), donor.data()); }),
            "teeth: zero reference stride");
}

// A hand-built record must not steer the copy outside the donor buffer, and
// a refusal writes nothing.
TEST(ReorderTrackToDonor, RefusesOrdersThatAreNotPermutations) {
  le::TesseraAttachInputs in = threeDonors();
  std::vector<uint8_t> track(in.bandBytes(), 1), donor(in.bandBytes(), 0);
  in.track_order = {0, 1, 3};
  EXPECT_EQ(errorOf([&] { le::reorderTrackToDonor(in, track.data(), donor.data()); }),
            "teeth: track_order entry out of range");
  in.track_order = {0, 0, 1};
  EXPECT_EQ(errorOf([&] { le::reorderTrackToDonor(in, track.data(), donor.data()); }),
            "teeth: track_order is not a permutation");
  EXPECT_EQ(donor, std::vector<uint8_t>(donor.size(), 0));
}

TEST(TesseraCApi, CarriageHandle) {
  TempDir tmp;
  BundleLayout layout;
  layout.tessera = R"({"members": {"bank_track": "t.mp4"}})";
  writeBundle(tmp.path(), layout);
  le_tessera_carriage* c = le_tessera_carriage_open(tmp.path().c_str());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(le_tessera_carriage_complete(c), 0);
  EXPECT_EQ(le_tessera_carriage_declared(c), 1);
  ASSERT_EQ(le_tessera_carriage_missing_count(c), 1);
  EXPECT_STREQ(le_tessera_carriage_missing(c, 0), "bank_track");
  EXPECT_EQ(le_tessera_carriage_missing(c, 1), nullptr);
  EXPECT_EQ(le_tessera_carriage_missing(c, -1), nullptr);
  EXPECT_EQ(std::string(le_tessera_carriage_path(c, "bank_track")), tmp / "t.mp4");
  EXPECT_EQ(std::string(le_tessera_carriage_path(c, "head_config")), tmp / "tessera_head.v1.json");
  EXPECT_STREQ(le_tessera_carriage_path(c, "nope"), "");
  EXPECT_STREQ(le_tessera_carriage_path(c, nullptr), "");
  le_tessera_carriage_close(c);

  // A bundle that cannot even be examined (a broken container) still gives
  // a handle: nothing declared, every member missing.
  writeFile(tmp / "broken.imx", std::string("IMX\0\x02\x00\x09\x00", 8));
  c = le_tessera_carriage_open((tmp / "broken.imx").c_str());
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(le_tessera_carriage_complete(c), 0);
  EXPECT_EQ(le_tessera_carriage_declared(c), 0);
  EXPECT_EQ(le_tessera_carriage_missing_count(c), 4);
  EXPECT_STREQ(le_tessera_carriage_missing(c, 3), "head_config");
  le_tessera_carriage_close(c);

  EXPECT_EQ(le_tessera_carriage_open(nullptr), nullptr);
  EXPECT_EQ(le_tessera_carriage_complete(nullptr), 0);
  EXPECT_EQ(le_tessera_carriage_declared(nullptr), 0);
  EXPECT_EQ(le_tessera_carriage_missing_count(nullptr), 0);
  EXPECT_EQ(le_tessera_carriage_missing(nullptr, 0), nullptr);
  EXPECT_STREQ(le_tessera_carriage_path(nullptr, "bank_track"), "");
  le_tessera_carriage_close(nullptr);
}

TEST(TesseraCApi, MembersHandleAndErrorBuffers) {
  TempDir tmp;
  BundleLayout layout;
  writeBundle(tmp.path(), layout);
  char err[512];
  le_tessera_members* m = le_tessera_members_open(tmp.path().c_str(), err, sizeof err);
  ASSERT_NE(m, nullptr) << err;
  EXPECT_STREQ(err, "");
  EXPECT_EQ(le_tessera_members_n_donors(m), 3);
  EXPECT_EQ(le_tessera_members_cent(m)[3], 35.25);
  EXPECT_EQ(le_tessera_members_c_canon(m)[1], 36.0);
  EXPECT_EQ(le_tessera_members_aperture(m)[2], 0.75);
  const int* stamp = le_tessera_members_stamp(m);
  for (int i = 0; i < 12; ++i) EXPECT_EQ(stamp[i], tessera_test::stampFields()[size_t(i)].second);
  ASSERT_EQ(le_tessera_members_head_pt_len(m), int64_t(layout.headPt.size()));
  EXPECT_EQ(std::memcmp(le_tessera_members_head_pt(m), layout.headPt.data(), layout.headPt.size()), 0);
  EXPECT_EQ(le_tessera_members_head_json(m), layout.headConfig);
  EXPECT_EQ(le_tessera_members_manifest_json(m), le_test::readFile(tmp / "manifest.json"));
  EXPECT_EQ(le_tessera_members_bank_track_path(m), tmp / "tessera_bank.v1.mp4");
  EXPECT_STREQ(le_tessera_members_bank_container(m), "mp4");
  EXPECT_STREQ(le_tessera_members_bank_codec(m), "h264");
  EXPECT_STREQ(le_tessera_members_bank_pix_fmt(m), "yuv444p");
  EXPECT_STREQ(le_tessera_members_bank_packing(m), "rgb24_frames");
  EXPECT_EQ(le_tessera_members_band_w(m), 20);
  EXPECT_EQ(le_tessera_members_band_h(m), 12);
  EXPECT_EQ(le_tessera_members_band_bytes(m), 3 * 12 * 20 * 3);

  std::vector<uint8_t> band(size_t(le_tessera_members_band_bytes(m)));
  EXPECT_EQ(le_tessera_members_reorder(m, nullptr, band.data(), err, sizeof err), 1);
  EXPECT_STREQ(err, "le_tessera_members_reorder: null argument");
  EXPECT_EQ(le_tessera_members_reorder(nullptr, band.data(), band.data(), err, sizeof err), 1);
  EXPECT_STREQ(err, "le_tessera_members_reorder: null argument");
  le_tessera_members_close(m);

  // Failure: the message, cut to the buffer and always terminated.
  ::unlink((tmp / "tessera_head.v1.pt").c_str());
  std::memset(err, 'x', sizeof err);
  EXPECT_EQ(le_tessera_members_open(tmp.path().c_str(), err, 24), nullptr);
  EXPECT_STREQ(err, "missing teeth member(s)");  // 23 bytes + NUL
  EXPECT_EQ(err[24], 'x');
  EXPECT_EQ(le_tessera_members_open(tmp.path().c_str(), err, 1), nullptr);
  EXPECT_STREQ(err, "");
  EXPECT_EQ(le_tessera_members_open(tmp.path().c_str(), nullptr, 0), nullptr);
  EXPECT_EQ(le_tessera_members_open(nullptr, err, sizeof err), nullptr);
  EXPECT_STREQ(err, "le_tessera_members_open: null bundle_dir");

  EXPECT_EQ(le_tessera_members_n_donors(nullptr), 0);
  EXPECT_EQ(le_tessera_members_cent(nullptr), nullptr);
  EXPECT_EQ(le_tessera_members_stamp(nullptr), nullptr);
  EXPECT_EQ(le_tessera_members_head_pt(nullptr), nullptr);
  EXPECT_EQ(le_tessera_members_head_pt_len(nullptr), 0);
  EXPECT_STREQ(le_tessera_members_head_json(nullptr), "");
  EXPECT_STREQ(le_tessera_members_bank_pix_fmt(nullptr), "");
  EXPECT_EQ(le_tessera_members_band_bytes(nullptr), 0);
  le_tessera_members_close(nullptr);
}

}  // namespace
