// Files written by ffmpeg with their first bytes lost: the header list made
// from their data says what ffmpeg's own says, field by field, and ffmpeg's
// own fits the data.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "avi_builder.h"
#include "engine/file_io.h"
#include "engine/header_rebuild.h"
#include "platform/message_ids.h"
#include "process_runner.h"

namespace fs = std::filesystem;
using namespace avitest;

namespace {

struct TClip {
  TBytes bytes;
  std::size_t data_start = 0;  // the first chunk's id
  TBytes header_list;          // ffmpeg's
};

// `seconds` of testsrc and a sine at `rate` fps, encoded as `codecs` say.
TClip make_clip(const TTempDir& dir, const std::string& size, const std::string& rate, int seconds,
                const std::vector<std::string>& codecs) {
  std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                                   "testsrc=size=" + size + ":rate=" + rate, "-f", "lavfi", "-i",
                                   "sine=sample_rate=48000", "-t", std::to_string(seconds)};
  argv.insert(argv.end(), codecs.begin(), codecs.end());
  argv.push_back(dir.file("clip.avi").string());
  const TProcessResult r = run_process(argv);
  EXPECT_EQ(r.exit.code, 0) << r.err;
  TClip clip;
  clip.bytes = read_file(dir.file("clip.avi"));
  const std::string text(clip.bytes.begin(), clip.bytes.end());
  clip.data_start = text.find("movi") + 4;
  clip.header_list.assign(clip.bytes.begin() + 12, clip.bytes.begin() + 20 + get_le32(clip.bytes, 16));
  // As a card gives it back: zeros where the header was.
  std::fill(clip.bytes.begin(), clip.bytes.begin() + static_cast<std::ptrdiff_t>(clip.data_start), 0);
  return clip;
}

// avih, strh and strf in the order they come, in hex, without what only
// the whole file tells (avih's byte rate; the counts the repair writes);
// codes in capitals.
std::vector<std::string> fields(const TBytes& h) {
  std::vector<std::string> out;
  for (std::size_t p = 12; p + 8 <= h.size();) {
    const std::string id(h.begin() + static_cast<std::ptrdiff_t>(p), h.begin() + static_cast<std::ptrdiff_t>(p) + 4);
    const std::uint32_t size = get_le32(h, p + 4);
    TBytes d(h.begin() + static_cast<std::ptrdiff_t>(p) + 8, h.begin() + static_cast<std::ptrdiff_t>(p + 8 + size));
    const auto upper = [&d](std::size_t at) {
      for (std::size_t i = at; i < at + 4; ++i) d[i] = static_cast<std::uint8_t>(std::toupper(d[i]));
    };
    if (id == "avih") {
      put_le32(d, 4, 0);
      put_le32(d, 16, 0);
    } else if (id == "strh") {
      upper(4);
      put_le32(d, 32, 0);
    } else if (id == "strf" && get_le32(d, 0) == 40) {
      upper(16);
    }
    if (id == "avih" || id == "strh" || id == "strf") {
      std::string text = id + " ";
      for (const std::uint8_t byte : d) {
        text += "0123456789abcdef"[byte >> 4];
        text += "0123456789abcdef"[byte & 15];
      }
      out.push_back(text);
    }
    p += id == "LIST" ? 12 : 8 + size + (size & 1);
  }
  return out;
}

struct TWriterCase {
  const char* name;
  std::string size;
  std::string rate;
  int seconds;
  std::vector<std::string> codecs;
  std::uint32_t refusal;  // 0: a header is made
  std::vector<std::uint32_t> lines;
};

void PrintTo(const TWriterCase& c, std::ostream* os) { *os << c.name; }

class FfmpegHeaders : public ::testing::TestWithParam<TWriterCase> {};

}  // namespace

TEST_P(FfmpegHeaders, HeaderFromTheDataIsTheWritersOwn) {
  const TWriterCase& c = GetParam();
  TTempDir dir;
  const TClip clip = make_clip(dir, c.size, c.rate, c.seconds, c.codecs);
  write_file(dir.file("lost.avi"), clip.bytes);
  TFileIO file;
  ASSERT_TRUE(file.open_read(dir.file("lost.avi").string()));
  const THeaderGuessResult r = guess_header_list(file, clip.data_start);
  EXPECT_EQ(reference_mismatch(clip.header_list, file, clip.data_start), std::nullopt);
  if (c.refusal != 0) {
    ASSERT_TRUE(r.refusal.has_value());
    EXPECT_EQ(r.refusal->message, c.refusal);
    return;
  }
  ASSERT_TRUE(r.guess.has_value()) << r.refusal->tail;
  std::vector<std::uint32_t> lines;
  for (const auto& l : r.guess->assumptions) lines.push_back(l.message);
  EXPECT_EQ(lines, c.lines);
  EXPECT_EQ(fields(r.guess->header_list), fields(clip.header_list));
}

INSTANTIATE_TEST_SUITE_P(
    Integration, FfmpegHeaders,
    ::testing::Values(
        TWriterCase{"mjpeg_pcm", "320x240", "25", 2, {"-c:v", "mjpeg", "-c:a", "pcm_s16le"}, msg_header_not_recognised,
                    {}},
        TWriterCase{"mjpeg", "320x240", "25", 2, {"-c:v", "mjpeg", "-an"}, 0, {msg_frame_rate_assumed}},
        TWriterCase{"mpeg4_mp3", "320x240", "25", 4, {"-c:v", "mpeg4", "-c:a", "libmp3lame", "-b:a", "128k"}, 0,
                    {msg_frame_rate_from_audio}},
        TWriterCase{"libxvid_mp3", "320x240", "25", 4, {"-c:v", "libxvid", "-c:a", "libmp3lame", "-b:a", "128k"}, 0, {}},
        TWriterCase{"mpeg4_mp3_23.976", "160x120", "24000/1001", 20, {"-c:v", "mpeg4", "-c:a", "libmp3lame", "-b:a", "128k"}, 0,
                    {msg_frame_rate_from_audio}},
        TWriterCase{"mjpeg_mp2_24", "160x120", "24", 20, {"-c:v", "mjpeg", "-c:a", "mp2"}, 0,
                    {msg_frame_rate_from_audio}},
        TWriterCase{"mpeg4_mp2_29.97", "320x240", "30000/1001", 4, {"-c:v", "mpeg4", "-c:a", "mp2"}, 0,
                    {msg_frame_rate_from_audio}},
        TWriterCase{"libx264_ac3", "320x240", "24000/1001", 4, {"-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "ac3"},
                    0, {}},
        TWriterCase{"dv_pal_pcm", "720x576", "25", 1, {"-c:v", "dvvideo", "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le"},
                    msg_header_not_recognised, {}},
        TWriterCase{"dv_ntsc_pcm", "720x480", "30000/1001", 1,
                    {"-c:v", "dvvideo", "-pix_fmt", "yuv411p", "-c:a", "pcm_s16le"}, msg_header_not_recognised, {}},
        TWriterCase{"dv_pal", "720x576", "25", 1, {"-c:v", "dvvideo", "-pix_fmt", "yuv420p", "-an"}, 0, {}},
        TWriterCase{"dv_ntsc", "720x480", "30000/1001", 1, {"-c:v", "dvvideo", "-pix_fmt", "yuv411p", "-an"}, 0, {}}),
    [](const auto& param_info) {
      std::string name = param_info.param.name;
      std::replace(name.begin(), name.end(), '.', '_');
      return name;
    });

// mencoder writes half a second of audio ahead of the first frame, and the
// last frames after the audio ended.
TEST(FfmpegHeaders, MencodersFrameRateFromItsAudio) {
  TTempDir dir;
  make_clip(dir, "320x240", "30000/1001", 12, {"-c:v", "rawvideo", "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le"});
  const fs::path file = dir.file("mencoder.avi");
  ASSERT_EQ(run_process({"mencoder", "-really-quiet", dir.file("clip.avi").string(), "-ovc", "lavc", "-lavcopts",
                         "vcodec=mpeg4", "-oac", "mp3lame", "-o", file.string()})
                .exit.code,
            0);
  const TBytes bytes = read_file(file);
  TFileIO source;
  ASSERT_TRUE(source.open_read(file.string()));
  const THeaderGuessResult r =
      guess_header_list(source, std::string(bytes.begin(), bytes.end()).find("movi") + 4);
  ASSERT_TRUE(r.guess.has_value());
  const std::string strh = fields(r.guess->header_list).at(1);
  EXPECT_EQ(strh.substr(45, 16), "e903000030750000") << "30000/1001";
}
