// Key-frame flags on rebuilt video entries: the codec family read from the
// header list and each family's test on the first bytes of a frame.
#include <gtest/gtest.h>

#include "engine/algorithm_unit.h"
#include "engine/keyframe.h"
#include "engine_test_support.h"

using namespace avitest;

namespace {

std::optional<bool> decide(TCodecFamily family, const TBytes& data, bool whole = true) {
  return key_in_window(family, data.data(), data.size(), whole);
}

TBytes bytes(std::initializer_list<int> values) {
  TBytes b;
  for (int v : values) b.push_back(static_cast<std::uint8_t>(v));
  return b;
}

TBytes with_prefix(TBytes prefix, std::size_t total, std::uint8_t fill = 0x77) {
  prefix.resize(std::max(total, prefix.size()), fill);
  return prefix;
}

TStreamInfo video_info(const char* handler, const char* compression) {
  TStreamInfo info;
  info.fcc_type = fourcc("vids");
  info.fcc_handler = TFourCC{handler[0], handler[1], handler[2], handler[3]};
  info.bi_compression = TFourCC{compression[0], compression[1], compression[2], compression[3]};
  return info;
}

// Xvid's VOL header (vop_time_increment_resolution 25: 5 bits), a GOV header,
// an I-VOP that codes a picture, and Xvid's placeholder I-VOP (vop_coded 0).
const TBytes xvid_vol =
    bytes({0, 0, 1, 0x20, 0x08, 0xBC, 0x04, 0x06, 0x84, 0, 0x67, 0x0C, 0x14, 0x10, 0x3C, 0x51, 0x8F});
const TBytes gov = bytes({0, 0, 1, 0xB3, 0, 0x10, 0x07});
const TBytes i_vop = bytes({0, 0, 1, 0xB6, 0x10, 0x60, 0x91, 0x82, 0x3D, 0xB7, 0xED, 0x41});
const TBytes intra_n_vop = bytes({0, 0, 1, 0xB6, 0x16, 0x4F});

TBytes operator+(TBytes a, const TBytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct TMpeg4Case {
  const char* name;
  TBytes data;
  int time_bits;  // before the window
  bool whole;
  std::optional<bool> key;
  int time_bits_after;
};

}  // namespace

TEST(CodecFamily, CompressionDecidesThenHandler) {
  EXPECT_EQ(codec_family(video_info("DIVX", "XVID")), TCodecFamily::mpeg4);
  EXPECT_EQ(codec_family(video_info("xvid", "h264")), TCodecFamily::h264);  // case-insensitive
  EXPECT_EQ(codec_family(video_info("MJPG", "ABCD")), TCodecFamily::intra);  // unknown compression: handler
  EXPECT_EQ(codec_family(video_info("DIV3", std::string("\0\0\0\0", 4).c_str())), TCodecFamily::intra);  // BI_RGB
  EXPECT_EQ(codec_family(video_info("DIV3", std::string("\3\0\0\0", 4).c_str())), TCodecFamily::intra);  // BI_BITFIELDS
  EXPECT_EQ(codec_family(video_info(std::string("\0\0\0\0", 4).c_str(), "ABCD")), TCodecFamily::other);
  EXPECT_EQ(codec_family(video_info("mp43", "ABCD")), TCodecFamily::msmpeg4);
  EXPECT_EQ(codec_family(video_info("ABCD", "HEVC")), TCodecFamily::hevc);
  EXPECT_EQ(codec_family(video_info("ABCD", "mpg2")), TCodecFamily::mpeg12);
  EXPECT_EQ(codec_family(TStreamInfo{}), TCodecFamily::other);
  TStreamInfo no_compression = video_info("FMP4", "ABCD");
  no_compression.bi_compression.reset();
  EXPECT_EQ(codec_family(no_compression), TCodecFamily::mpeg4);
}

TEST(KeyInWindow, Mpeg4FirstVopCodesAnIntraPicture) {
  const TMpeg4Case cases[] = {
      {"I-VOP after VOL and GOV", xvid_vol + gov + i_vop, 0, true, true, 5},
      {"placeholder I-VOP", intra_n_vop, 5, true, false, 5},
      {"placeholder I-VOP, no VOL known: too short", intra_n_vop, 0, true, false, 0},
      {"padded placeholder, the chunk's VOL decides", xvid_vol + intra_n_vop + TBytes(8, 0), 3, true, false, 5},
      {"padded placeholder, no VOL known", intra_n_vop + TBytes(8, 0), 0, true, true, 0},
      {"markers do not fit the width: the length decides", i_vop, 3, true, true, 3},
      {"a start code ends the I-VOP short", bytes({0, 0, 1, 0xB6, 0x10, 0x60}) + i_vop, 0, true, false, 0},
      {"P-VOP packed with a B-VOP", bytes({0, 0, 1, 0xB6, 0x51, 0xE0, 0x83, 0x7D, 0, 0, 1, 0xB6, 0x91, 0x61}), 5, true,
       false, 5},
      {"empty chunk", {}, 5, true, false, 5},
      {"no VOP", bytes({0, 0, 1, 0xB2, 1, 2, 3}), 0, true, false, 0},
      {"VOL cut off in the first look", TBytes(xvid_vol.begin(), xvid_vol.begin() + 8), 0, false, std::nullopt, 0},
      {"I-VOP cut off in the first look", TBytes(i_vop.begin(), i_vop.begin() + 6), 0, false, std::nullopt, 0},
      {"type byte cut off", bytes({0, 0, 1, 0xB6}), 5, true, false, 5},
  };
  for (const TMpeg4Case& c : cases) {
    int time_bits = c.time_bits;
    EXPECT_EQ(key_in_window(TCodecFamily::mpeg4, c.data.data(), c.data.size(), c.whole, time_bits), c.key) << c.name;
    EXPECT_EQ(time_bits, c.time_bits_after) << c.name;
  }
}

// VOL headers written bit by bit: resolution and the optional fields before it.
TEST(Mpeg4VopTimeBits, WidthFromTheVolHeader) {
  const auto vol = [](const std::string& fields) {
    TBytes d = bytes({0, 0, 1, 0x20});
    const std::string all = fields + std::string(8, '1');
    for (std::size_t i = 0; i + 8 <= all.size(); i += 8) {
      d.push_back(static_cast<std::uint8_t>(std::stoi(all.substr(i, 8), nullptr, 2)));
    }
    return d;
  };
  const std::string plain = "0" "00000001" "0" "0001" "0" "00" "1";  // no id, square pixels, no control
  const std::pair<TBytes, int> cases[] = {
      {xvid_vol, 5},
      {vol(plain + "0000000000000001"), 1},
      {vol(plain + "0111010100110000"), 15},  // 30000
      {vol(plain + "0000000000000000"), 0},  // resolution 0 is no VOL
      // verid 2, grayscale shape with its extension, control with VBV parameters
      {vol("0" "00000001" "1" "0010" "001" "0001" "1" "01" "1" "1" + std::string(79, '0') + "11" "0000" "1"
           "0000000000001000"),
       3},  // resolution 8
      {TBytes(xvid_vol.begin(), xvid_vol.begin() + 8), 0},
      {gov, 0},
  };
  for (const auto& [data, bits] : cases) {
    EXPECT_EQ(mpeg4_vop_time_bits(data.data(), data.size()), bits) << ::testing::PrintToString(data);
  }
}

TEST(KeyInWindow, MsMpeg4LooksAtTheFirstByte) {
  EXPECT_EQ(decide(TCodecFamily::msmpeg4, bytes({0x3F, 0xFF})), true);
  EXPECT_EQ(decide(TCodecFamily::msmpeg4, bytes({0x40})), false);
}

TEST(KeyInWindow, H264IdrBeforeAnyNonIdrSlice) {
  EXPECT_EQ(decide(TCodecFamily::h264, bytes({0, 0, 0, 1, 0x67, 9, 0, 0, 1, 0x68, 0, 0, 1, 0x65})), true);
  EXPECT_EQ(decide(TCodecFamily::h264, bytes({0, 0, 0, 1, 0x09, 0x10, 0, 0, 1, 0x41, 0, 0, 1, 0x65})), false);
  EXPECT_EQ(decide(TCodecFamily::h264, bytes({0, 0, 1, 0x06, 5, 5})), false);
  EXPECT_EQ(decide(TCodecFamily::h264, bytes({0, 0, 1, 0x06, 5, 5}), false), std::nullopt);
}

TEST(KeyInWindow, HevcIrapBeforeAnyOtherSlice) {
  EXPECT_EQ(decide(TCodecFamily::hevc, bytes({0, 0, 1, 0x40, 1, 0, 0, 1, 0x26, 1})), true);  // VPS, IDR_W_RADL
  EXPECT_EQ(decide(TCodecFamily::hevc, bytes({0, 0, 1, 0x2A, 1})), true);                    // CRA (21)
  EXPECT_EQ(decide(TCodecFamily::hevc, bytes({0, 0, 1, 0x02, 1, 0, 0, 1, 0x26, 1})), false); // TRAIL_R first
  EXPECT_EQ(decide(TCodecFamily::hevc, bytes({0, 0, 1, 0x4E, 1})), false);                   // SEI only
}

TEST(KeyInWindow, Mpeg12PictureCodingType) {
  // Picture start code, temporal reference, then the type in bits 5-3.
  EXPECT_EQ(decide(TCodecFamily::mpeg12, bytes({0, 0, 1, 0xB3, 0, 0, 1, 0, 0x00, 0x0F, 0xFF})), true);
  EXPECT_EQ(decide(TCodecFamily::mpeg12, bytes({0, 0, 1, 0, 0x00, 0x17, 0xFF})), false);  // P picture
  EXPECT_EQ(decide(TCodecFamily::mpeg12, bytes({0, 0, 1, 0, 0x00})), false);              // type byte missing
}

TEST(KeyInWindow, WindowIsTheFirst4096Bytes) {
  // A VOP header that lies wholly in the window counts; one that runs past
  // the window does not.
  TBytes frame(5000, 0x77);
  const std::uint8_t vop[] = {0, 0, 1, 0xB6, 0x10, 0x60};
  std::copy(std::begin(vop), std::end(vop), frame.begin() + 4090);
  int time_bits = 5;
  EXPECT_EQ(key_in_window(TCodecFamily::mpeg4, frame.data(), keyframe_window, true, time_bits), true);
  std::fill(frame.begin(), frame.end(), 0x77);
  std::copy(std::begin(vop), std::end(vop), frame.begin() + 4091);
  EXPECT_EQ(key_in_window(TCodecFamily::mpeg4, frame.data(), keyframe_window, true, time_bits), false);
}

// Through a repair: the flags a rebuilt index carries per family.
struct TFamilyCase {
  const char* name;
  TStreamDescription stream;
  std::vector<std::pair<TBytes, bool>> frames;  // data, expected key
};

void PrintTo(const TFamilyCase& c, std::ostream* os) { *os << c.name; }

class FlagsByFamily : public ::testing::TestWithParam<TFamilyCase> {};

TEST_P(FlagsByFamily, RebuiltIndexFlagsKeyFrames) {
  const TFamilyCase& c = GetParam();
  TAviBuilder b;
  b.stream(c.stream);
  for (const auto& [data, key] : c.frames) b.chunk("00dc", data).audio(30, 1);
  const TAvi avi = b.build();
  const TRun run = run_fix(TBytes(avi.bytes.begin(), avi.bytes.begin() + avi.idx1_pos), true);
  ASSERT_EQ(run.result, fix_repaired);
  const auto entries = index_entries(run.output, find_last_idx1(run.output));
  ASSERT_EQ(entries.size(), 2 * c.frames.size());
  for (std::size_t i = 0; i < c.frames.size(); ++i) {
    EXPECT_EQ(entries[2 * i].flags, c.frames[i].second ? 0x10u : 0u) << "frame " << i;
    EXPECT_EQ(entries[2 * i + 1].flags, 0x10u);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Keyframes, FlagsByFamily,
    ::testing::Values(
        TFamilyCase{"Mpeg4", {"vids", "XVID", "XVID", 1, 25},
                    {{mpeg4_frame(500, true), true}, {mpeg4_frame(300, false), false},
                     {with_prefix(TBytes(100, 0x12), 200), false},  // no VOP start code at all
                     // decided only after the first look: VOP start code deep in the frame
                     {[] {
                        TBytes d(3000, 0x12);
                        d[2000] = 0; d[2001] = 0; d[2002] = 1; d[2003] = 0xB6; d[2004] = 0x00;
                        return d;
                      }(),
                      true}}},
        // Packed B-frames: placeholders after the I-VOP, read with the VOL
        // header of the extradata or of an earlier chunk.
        TFamilyCase{"Mpeg4VolInExtradata", {"vids", "XVID", "XVID", 1, 25, 0, xvid_vol},
                    {{with_prefix(i_vop, 300), true}, {with_prefix(intra_n_vop, 40), false}}},
        TFamilyCase{"Mpeg4VolInAnEarlierChunk", {"vids", "XVID", "XVID", 1, 25},
                    {{with_prefix(xvid_vol + gov + i_vop, 300), true}, {with_prefix(intra_n_vop, 40), false}}},
        TFamilyCase{"Intra", {"vids", "MJPG", "MJPG", 1, 25}, {{TBytes(100, 0xFF), true}, {TBytes(3, 0), true}}},
        TFamilyCase{"Raw", {"vids", std::string(4, '\0'), std::string(4, '\0'), 1, 25}, {{TBytes(64, 1), true}}},
        TFamilyCase{"Other", {"vids", "ZZZZ", "ZZZZ", 1, 25},
                    {{TBytes(100, 1), true}, {TBytes(100, 1), false}, {TBytes(100, 1), false}}},
        TFamilyCase{"MsMpeg4", {"vids", "DIV3", "DIV3", 1, 25}, {{bytes({0x10, 1, 2}), true}, {bytes({0x50, 1, 2}), false}}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Keyframes, EmptyFramesNeverCarryTheFlag) {
  TAviBuilder b;
  b.stream({"vids", "ZZZZ", "ZZZZ", 1, 25});
  b.chunk("00dc", {}).chunk("00dc", TBytes(50, 1)).chunk("00dc", TBytes(50, 1));
  const TAvi avi = b.build();
  const TRun run = run_fix(TBytes(avi.bytes.begin(), avi.bytes.begin() + avi.idx1_pos), false);
  const auto entries = index_entries(run.output, find_last_idx1(run.output));
  ASSERT_EQ(entries.size(), 3u);
  // For an unknown codec the first frame of size above 0 is the key frame.
  EXPECT_EQ(entries[0].flags, 0u);
  EXPECT_EQ(entries[1].flags, 0x10u);
  EXPECT_EQ(entries[2].flags, 0u);
}

TEST(Keyframes, FirstFrameTakenAfterADamagedOneIsTheKeyFrame) {
  TAviBuilder b;
  b.stream({"vids", "ZZZZ", "ZZZZ", 1, 25});
  b.chunk("00dc", TBytes(50, 1)).raw(filled(20, 0xEE)).chunk("00dc", TBytes(50, 1)).chunk("00dc", TBytes(50, 1));
  const TAvi avi = b.build();
  const TRun run = run_fix(TBytes(avi.bytes.begin(), avi.bytes.begin() + avi.idx1_pos), false);
  const auto entries = index_entries(run.output, find_last_idx1(run.output));
  ASSERT_EQ(entries.size(), 2u);  // the first frame leads into the damage
  EXPECT_EQ(entries[0].flags, 0x10u);
  EXPECT_EQ(entries[1].flags, 0u);
}

TEST(StreamHeaders, StreamsAreNumberedByTheirStrlLists) {
  TAviBuilder b;
  b.stream({"vids", "MJPG", "MJPG", 1, 25}).stream({"auds", std::string(4, '\0'), "", 1, 44100}).stream({"vids", "H264", "H264", 1, 25});
  b.video(10, true);
  const TAvi avi = b.build();
  TTempDir dir;
  write_file(dir.file("a.avi"), avi.bytes);
  TFileIO file;
  ASSERT_TRUE(file.open_read(dir.file("a.avi").string()));
  const auto streams = read_stream_headers(file);
  ASSERT_EQ(streams.size(), 3u);
  EXPECT_EQ(codec_family(streams[0]), TCodecFamily::intra);
  EXPECT_FALSE(streams[1].bi_compression.has_value());  // not a video stream
  EXPECT_EQ(codec_family(streams[2]), TCodecFamily::h264);
}

TEST(StreamHeaders, NoHeaderListMeansOther) {
  TAviBuilder b;
  b.video(10, true);
  TAvi avi = b.build();
  std::memcpy(avi.bytes.data() + 20, "hdrX", 4);
  TTempDir dir;
  write_file(dir.file("a.avi"), avi.bytes);
  TFileIO file;
  ASSERT_TRUE(file.open_read(dir.file("a.avi").string()));
  EXPECT_TRUE(read_stream_headers(file).empty());
}

TEST(StreamHeaders, FieldsBeyondAChunkStayUnknown) {
  TAviBuilder b;
  b.video(10, true);
  TAvi avi = b.build();
  // Shrink the first strh to 6 bytes: fccType is there, fccHandler is not.
  put_le32(avi.bytes, 104, 6);
  TTempDir dir;
  write_file(dir.file("a.avi"), avi.bytes);
  TFileIO file;
  ASSERT_TRUE(file.open_read(dir.file("a.avi").string()));
  const auto streams = read_stream_headers(file);
  ASSERT_FALSE(streams.empty());
  EXPECT_TRUE(streams[0].fcc_type.has_value());
  EXPECT_FALSE(streams[0].fcc_handler.has_value());
}
