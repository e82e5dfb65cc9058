// Long recordings as real writers make them past 1 GiB (OpenDML: further RIFF
// "AVIX" chunks, super indexes, standard index chunks), repaired after their
// index chunks were cut off. Gigabyte files: built only with
// -DENABLE_SLOW_TESTS=ON and run by tools/slow-test, not by the test command.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "avi_builder.h"
#include "process_runner.h"

namespace fs = std::filesystem;
using namespace avitest;

namespace {

void run_ok(const std::vector<std::string>& argv) {
  TLaunch l;
  l.argv = argv;
  l.time_limit = std::chrono::seconds(900);
  const TProcessResult r = run_process(l);
  ASSERT_EQ(r.exit.code, 0) << argv[0] << ": " << r.err << r.out;
}

std::string output_of(const std::vector<std::string>& argv) {
  TLaunch l;
  l.argv = argv;
  l.time_limit = std::chrono::seconds(900);
  const TProcessResult r = run_process(l);
  EXPECT_EQ(r.exit.code, 0) << argv[0] << ": " << r.err;
  return r.out;
}

// ffmpeg's long recording: 640x480 raw video and PCM, 25 frames a second.
fs::path ffmpeg_recording(const TTempDir& dir, int seconds) {
  const fs::path file = dir.file("ffmpeg.avi");
  run_ok({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=640x480:rate=25", "-f", "lavfi",
          "-i", "sine=frequency=440:sample_rate=48000", "-t", std::to_string(seconds), "-c:v", "rawvideo", "-pix_fmt",
          "bgr24", "-c:a", "pcm_s16le", file.string()});
  return file;
}

// mencoder's: raw YUY2 video and PCM, 75 seconds.
fs::path mencoder_recording(const TTempDir& dir) {
  const fs::path source = dir.file("source.avi");
  run_ok({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=640x480:rate=25", "-f", "lavfi",
          "-i", "sine=frequency=440:sample_rate=48000", "-t", "75", "-c:v", "mpeg4", "-q:v", "5", "-c:a", "pcm_s16le",
          source.string()});
  const fs::path file = dir.file("mencoder.avi");
  run_ok({"mencoder", "-really-quiet", source.string(), "-noskip", "-mc", "0", "-ovc", "raw", "-vf", "format=yuy2",
          "-oac", "pcm", "-o", file.string()});
  fs::remove(source);
  return file;
}

// Where the first standard index chunk of the file's last part lies: the
// writers put them after the last frame.
std::uint64_t first_index_chunk_near_end(const fs::path& file) {
  const std::uint64_t size = fs::file_size(file);
  const std::uint64_t tail = std::min<std::uint64_t>(size, 4u << 20);
  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(size - tail));
  std::string bytes(tail, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(tail));
  const std::size_t at = bytes.find("ix00");
  EXPECT_NE(at, std::string::npos);
  return size - tail + at;
}

// A copy as the recording was left when it stopped before its index chunks.
fs::path cut_copy(const fs::path& file, const std::string& name, std::uint64_t length) {
  const fs::path copy = file.parent_path() / name;
  run_ok({"cp", file.string(), copy.string()});
  fs::resize_file(copy, length);
  return copy;
}

bool same_bytes(const fs::path& a, const fs::path& b) {
  TLaunch l;
  l.argv = {"cmp", "-s", a.string(), b.string()};
  return run_process(l).exit.code == 0;
}

std::string packets_and_duration(const fs::path& file) {
  return output_of({"ffprobe", "-v", "error", "-count_packets", "-show_entries", "stream=nb_read_packets", "-show_entries",
                    "format=duration", "-of", "csv=p=0", file.string()});
}

std::string frame_after_seek(const fs::path& file, const std::string& at) {
  const std::string out = output_of({"ffmpeg", "-nostdin", "-v", "error", "-ss", at, "-i", file.string(), "-map", "0:v",
                                     "-frames:v", "1", "-f", "framemd5", "-"});
  const std::size_t comma = out.find_last_of(',');
  return comma == std::string::npos ? std::string() : out.substr(comma + 1);
}

std::string mpv_start_at_half(const fs::path& file) {
  const std::string out = output_of({"mpv", "--no-config", "--vo=null", "--ao=null", "--msg-level=all=v", "--start=50%",
                                     "--frames=1", file.string()});
  std::smatch m;
  return std::regex_search(out, m, std::regex("playback restart complete @ (-?[0-9.]+)")) ? m[1].str() : "";
}

std::string repair(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {REELWRIGHT_FIX_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return output_of(argv);
}

// What players see of a repaired file is what they saw of the original.
void expect_plays_as(const fs::path& repaired, const fs::path& original, const std::string& middle) {
  EXPECT_EQ(packets_and_duration(repaired), packets_and_duration(original));
  EXPECT_EQ(frame_after_seek(repaired, middle), frame_after_seek(original, middle));
  EXPECT_EQ(mpv_start_at_half(repaired), mpv_start_at_half(original));
  EXPECT_NE(repair({"--check", repaired.string()}).find("No problems found."), std::string::npos);
}

TEST(LongRecording, FfmpegFileComesBackByteIdenticalInBothModes) {
  TTempDir dir;
  const fs::path original = ffmpeg_recording(dir, 50);
  ASSERT_GT(fs::file_size(original), 1u << 30);
  const fs::path cut = cut_copy(original, "cut.avi", first_index_chunk_near_end(original));
  repair({cut.string()});
  EXPECT_TRUE(same_bytes(dir.file("Fixed.cut.avi"), original));
  expect_plays_as(dir.file("Fixed.cut.avi"), original, "25");
  fs::remove(dir.file("Fixed.cut.avi"));
  repair({"--in-place", cut.string()});
  EXPECT_TRUE(same_bytes(cut, original));
}

TEST(LongRecording, MencoderFileKeepsEveryFrame) {
  TTempDir dir;
  const fs::path original = mencoder_recording(dir);
  ASSERT_GT(fs::file_size(original), 1u << 30);
  const fs::path cut = cut_copy(original, "cut.avi", first_index_chunk_near_end(original));
  repair({cut.string()});
  expect_plays_as(dir.file("Fixed.cut.avi"), original, "37.5");
  fs::remove(dir.file("Fixed.cut.avi"));
  repair({"--in-place", cut.string()});
  expect_plays_as(cut, original, "37.5");
}

TEST(LongRecording, FileOfMoreThanTwoGigabytesIsRepaired) {
  TTempDir dir;
  const fs::path original = ffmpeg_recording(dir, 100);
  ASSERT_GT(fs::file_size(original), 2u << 30);
  const fs::path cut = cut_copy(original, "cut.avi", first_index_chunk_near_end(original));
  repair({cut.string()});
  EXPECT_TRUE(same_bytes(dir.file("Fixed.cut.avi"), original));
}

// A plain file of 4 GiB - 8 KiB without an index, sparse: ffmpeg's header
// (with its JUNK rooms for super indexes, or with them renamed away), then
// 1 MiB video chunks whose data are holes.
fs::path sparse_plain_file(const TTempDir& dir, const std::string& name, bool rooms) {
  const fs::path small = dir.file("small.avi");
  run_ok({"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i", "testsrc=size=160x120:rate=25", "-t", "1",
          "-c:v", "rawvideo", "-pix_fmt", "bgr24", small.string()});
  const TBytes bytes = read_file(small);
  const std::string text(bytes.begin(), bytes.end());
  const std::size_t movi = text.find("movi");
  TBytes head(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(movi + 4));
  for (std::size_t at = 0; !rooms && at + 4 <= head.size(); ++at) {
    if (std::equal(head.begin() + static_cast<std::ptrdiff_t>(at), head.begin() + static_cast<std::ptrdiff_t>(at + 4), "JUNK")) {
      head[at + 3] = 'Q';
    }
  }
  const std::uint64_t total = (std::uint64_t{1} << 32) - 8192;
  put_le32(head, 4, static_cast<std::uint32_t>(total - 8));
  put_le32(head, movi - 4, static_cast<std::uint32_t>(total - movi + 4));
  const fs::path file = dir.file(name);
  std::fstream out(file, std::ios::binary | std::ios::out | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(head.data()), static_cast<std::streamsize>(head.size()));
  std::uint64_t pos = head.size();
  while (pos + 8 < total) {
    const std::uint64_t size = std::min<std::uint64_t>(1u << 20, total - pos - 8);
    TBytes chunk;
    append_id(chunk, "00dc");
    append_le32(chunk, static_cast<std::uint32_t>(size));
    out.seekp(static_cast<std::streamoff>(pos));
    out.write(reinterpret_cast<const char*>(chunk.data()), 8);
    pos += 8 + size;
  }
  out.close();
  fs::resize_file(file, total);
  fs::remove(small);
  return file;
}

// Its new file passes 4 GiB with the index: written in the OpenDML form when
// the header keeps room for it, else refused without a file; in place it is
// refused and left as it was.
TEST(LongRecording, PlainFileAtTheFourGigabyteEdge) {
  TTempDir dir;
  const fs::path with_rooms = sparse_plain_file(dir, "rooms.avi", true);
  repair({with_rooms.string()});
  const fs::path fixed = dir.file("Fixed.rooms.avi");
  EXPECT_GT(fs::file_size(fixed), std::uint64_t{1} << 32);
  EXPECT_EQ(packets_and_duration(fixed), "4096\n163.840000\n");
  EXPECT_NE(repair({"--check", fixed.string()}).find("No problems found."), std::string::npos);
  fs::remove(fixed);

  for (const auto& [source, args] : {std::pair{sparse_plain_file(dir, "plain.avi", false), std::vector<std::string>{}},
                                     std::pair{with_rooms, std::vector<std::string>{"--in-place"}}}) {
    SCOPED_TRACE(source.string());
    const auto before = fs::last_write_time(source);
    TLaunch l;
    l.argv = {REELWRIGHT_FIX_PATH};
    l.argv.insert(l.argv.end(), args.begin(), args.end());
    l.argv.push_back(source.string());
    l.time_limit = std::chrono::seconds(900);
    const TProcessResult r = run_process(l);
    EXPECT_EQ(r.exit.code, 1) << r.out;
    EXPECT_NE(r.out.find("4 GiB"), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(dir.file("Fixed." + source.filename().string())));
    EXPECT_EQ(fs::last_write_time(source), before);
  }
}

}  // namespace
