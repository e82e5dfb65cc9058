// Real files written by ffmpeg, mencoder and GStreamer: with the index cut
// off, reelwright-fix gives back the muxer's own bytes for every codec
// family, players seek in the result, a damaged or unfinished recording
// comes back playable to its end, and healthy files check clean.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>

#include "avi_builder.h"
#include "process_runner.h"

namespace fs = std::filesystem;
using namespace avitest;

namespace {

const std::vector<std::string> test_picture = {"-f", "lavfi", "-i", "testsrc=size=160x120:rate=25",
                                               "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=44100"};

// Writes an 8-second clip with ffmpeg: video arguments, then MP3 audio.
fs::path make_clip(const TTempDir& dir, const std::string& name, const std::vector<std::string>& video) {
  std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-y"};
  argv.insert(argv.end(), test_picture.begin(), test_picture.end());
  argv.insert(argv.end(), {"-t", "8"});
  argv.insert(argv.end(), video.begin(), video.end());
  argv.insert(argv.end(), {"-c:a", "libmp3lame", "-b:a", "64k", dir.file(name).string()});
  const TProcessResult r = run_process(argv);
  EXPECT_EQ(r.exit.code, 0) << r.err;
  return dir.file(name);
}

// The file as if the recording had stopped before the index was written.
fs::path without_index(const fs::path& file) {
  const TBytes bytes = read_file(file);
  const std::size_t idx = find_last_idx1(bytes);
  EXPECT_NE(idx, std::string::npos);
  const fs::path cut = file.parent_path() / ("cut." + file.filename().string());
  write_file(cut, TBytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(idx)));
  return cut;
}

TProcessResult repair(const std::vector<std::string>& args) {
  TLaunch l;
  l.argv = {REELWRIGHT_FIX_PATH};
  l.argv.insert(l.argv.end(), args.begin(), args.end());
  return run_process(l);
}

int video_packets(const fs::path& file) {
  const TProcessResult r = run_process({"ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets",
                                        "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", file.string()});
  EXPECT_EQ(r.exit.code, 0) << r.err;
  return std::atoi(r.out.c_str());
}

// Decodes every frame; ffmpeg's error output must stay empty.
std::string decode_errors(const fs::path& file) {
  const TProcessResult r = run_process({"ffmpeg", "-nostdin", "-v", "error", "-i", file.string(), "-f", "null", "-"});
  return r.exit.code == 0 ? r.err : "exit " + std::to_string(r.exit.code) + ": " + r.err;
}

// The checksum of the first video frame ffmpeg shows after seeking to `at`.
std::string frame_after_seek(const fs::path& file, const std::string& at) {
  const TProcessResult r = run_process({"ffmpeg", "-nostdin", "-v", "error", "-ss", at, "-i", file.string(), "-map",
                                        "0:v", "-frames:v", "1", "-f", "framemd5", "-"});
  std::istringstream lines(r.out);
  std::string line;
  std::string last;
  while (std::getline(lines, line)) {
    if (!line.empty() && line[0] != '#') last = line;
  }
  const auto comma = last.find_last_of(',');
  return comma == std::string::npos ? std::string() : last.substr(comma + 1);
}

// The check of a healthy file finds nothing to change in its index.
::testing::AssertionResult checks_clean(const fs::path& file) {
  const TProcessResult c = repair({"--check", file.string()});
  if (c.exit.code == 0 && c.out.find("Fix would leave this file's index as it is.") != std::string::npos) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << file << "\n" << c.out;
}

// Where mpv's playback starts after it was asked to start at `at` seconds.
std::string mpv_restart_position(const fs::path& file, const std::string& at) {
  const TProcessResult r = run_process({"mpv", "--no-config", "--vo=null", "--ao=null", "--msg-level=all=v",
                                        "--start=" + at, "--frames=1", file.string()});
  const std::regex restart("playback restart complete @ (-?[0-9.]+)");
  std::smatch m;
  std::string position;
  for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), restart); it != std::sregex_iterator(); ++it) {
    position = (*it)[1];
  }
  return position;
}

// Writes a 4-second clip with GStreamer's avimux: MPEG-4 video and the
// audio encoder given ("audioconvert" for PCM).
fs::path gstreamer_clip(const TTempDir& dir, const std::string& name, const std::string& audio) {
  const std::string pipeline = "gst-launch-1.0 -q videotestsrc num-buffers=100 ! "
                         "video/x-raw,width=160,height=120,framerate=25/1 ! avenc_mpeg4 ! avimux name=m ! "
                         "filesink location='" + dir.file(name).string() + "'" +
                         " audiotestsrc num-buffers=172 ! audio/x-raw,rate=44100 ! " + audio + " ! m.";
  const TProcessResult r = run_process({"sh", "-c", pipeline});
  EXPECT_EQ(r.exit.code, 0) << r.err;
  return dir.file(name);
}

struct TCodecCase {
  const char* name;
  std::vector<std::string> video;
};

void PrintTo(const TCodecCase& c, std::ostream* os) { *os << c.name; }

class MuxerFiles : public ::testing::TestWithParam<TCodecCase> {};

}  // namespace

TEST_P(MuxerFiles, IndexCutOffComesBackByteIdentical) {
  TTempDir dir;
  const fs::path original = make_clip(dir, std::string(GetParam().name) + ".avi", GetParam().video);
  const fs::path cut = without_index(original);
  const TBytes cut_bytes = read_file(cut);

  const TProcessResult fixed = repair({cut.string()});
  ASSERT_EQ(fixed.exit.code, 0) << fixed.out << fixed.err;
  const fs::path repaired = dir.file("Fixed.cut." + original.filename().string());
  EXPECT_TRUE(read_file(repaired) == read_file(original)) << "the rebuilt file differs from the muxer's";
  EXPECT_TRUE(read_file(cut) == cut_bytes) << "the source was changed";
  EXPECT_EQ(video_packets(repaired), video_packets(original));
  EXPECT_EQ(decode_errors(repaired), "");
  EXPECT_TRUE(checks_clean(original));

  const TProcessResult in_place = repair({"--in-place", cut.string()});
  ASSERT_EQ(in_place.exit.code, 0) << in_place.out << in_place.err;
  EXPECT_TRUE(read_file(cut) == read_file(original)) << "the file repaired in place differs from the muxer's";
}

INSTANTIATE_TEST_SUITE_P(
    Integration, MuxerFiles,
    ::testing::Values(TCodecCase{"mpeg4", {"-c:v", "mpeg4", "-g", "25"}},
                      TCodecCase{"xvid_bframes", {"-c:v", "mpeg4", "-vtag", "XVID", "-bf", "2", "-g", "25"}},
                      TCodecCase{"libxvid", {"-c:v", "libxvid", "-g", "25"}},
                      // Packed B-frames: placeholder VOPs, an I-VOP's placeholder of intra type.
                      TCodecCase{"libxvid_packed", {"-c:v", "libxvid", "-bf", "2", "-g", "12"}},
                      TCodecCase{"libxvid_packed_tag", {"-c:v", "libxvid", "-bf", "2", "-g", "12", "-vtag", "XVID"}},
                      TCodecCase{"h264", {"-c:v", "libx264", "-g", "25", "-bf", "2"}},
                      TCodecCase{"hevc", {"-c:v", "libx265", "-vtag", "HEVC", "-g", "25", "-x265-params", "log-level=error"}},
                      TCodecCase{"msmpeg4", {"-c:v", "msmpeg4v3", "-g", "25"}},
                      TCodecCase{"mpeg2", {"-c:v", "mpeg2video", "-bf", "2", "-g", "25"}},
                      TCodecCase{"mjpeg", {"-c:v", "mjpeg"}},
                      TCodecCase{"huffyuv", {"-c:v", "huffyuv"}},
                      TCodecCase{"raw", {"-c:v", "rawvideo", "-pix_fmt", "bgr24"}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Integration, MencoderFileComesBackByteIdentical) {
  TTempDir dir;
  const fs::path source = make_clip(dir, "source.avi", {"-c:v", "mpeg4", "-q:v", "3"});
  const fs::path original = dir.file("mencoder.avi");
  // mencoder's defaults: duplicate frames as empty chunks, at the end too.
  const TProcessResult m = run_process({"mencoder", "-really-quiet", source.string(), "-ovc", "lavc", "-lavcopts",
                                        "vcodec=mpeg4:keyint=25", "-oac", "mp3lame", "-o", original.string()});
  ASSERT_EQ(m.exit.code, 0) << m.err;
  const auto entries = index_entries(read_file(original), find_last_idx1(read_file(original)));
  ASSERT_FALSE(entries.empty());
  EXPECT_EQ(entries.back().size, 0u) << "mencoder no longer ends this file with an empty frame";
  const fs::path cut = without_index(original);
  const TProcessResult fixed = repair({cut.string()});
  ASSERT_EQ(fixed.exit.code, 0) << fixed.out;
  EXPECT_TRUE(read_file(dir.file("Fixed.cut.mencoder.avi")) == read_file(original));
  ASSERT_EQ(repair({"--in-place", cut.string()}).exit.code, 0);
  EXPECT_TRUE(read_file(cut) == read_file(original));
}

// mencoder's MPEG-4 encoders, B-frames packed or not, on raw pictures (its
// MPEG-4 decoder gives it only the first).
class MencoderEncoders : public ::testing::TestWithParam<TCodecCase> {};

TEST_P(MencoderEncoders, IndexCutOffComesBackByteIdentical) {
  TTempDir dir;
  const fs::path source = make_clip(dir, "source.avi", {"-c:v", "rawvideo", "-pix_fmt", "yuv420p"});
  const fs::path original = dir.file("mencoder.avi");
  std::vector<std::string> argv = {"mencoder", "-really-quiet", source.string(), "-oac", "copy", "-o", original.string()};
  argv.insert(argv.end(), GetParam().video.begin(), GetParam().video.end());
  ASSERT_EQ(run_process(argv).exit.code, 0);
  EXPECT_TRUE(checks_clean(original));
  const fs::path cut = without_index(original);
  ASSERT_EQ(repair({cut.string()}).exit.code, 0);
  EXPECT_TRUE(read_file(dir.file("Fixed.cut.mencoder.avi")) == read_file(original));
}

INSTANTIATE_TEST_SUITE_P(
    Integration, MencoderEncoders,
    ::testing::Values(
        TCodecCase{"lavc_bframes", {"-ovc", "lavc", "-lavcopts", "vcodec=mpeg4:keyint=25:vmax_b_frames=2"}},
        TCodecCase{"xvid", {"-ovc", "xvid", "-xvidencopts", "fixed_quant=4:max_key_interval=12:max_bframes=2:nopacked"}},
        TCodecCase{"xvid_packed",
                   {"-ovc", "xvid", "-xvidencopts",
                    "fixed_quant=4:max_key_interval=12:bvhq=1:max_bframes=2:packed:noclosed_gop"}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// Seeking needs the key frames flagged in the rebuilt index.
class Seeking : public ::testing::TestWithParam<TCodecCase> {};

TEST_P(Seeking, FfmpegAndMpvSeekInTheRepairedFile) {
  TTempDir dir;
  const fs::path original = make_clip(dir, std::string(GetParam().name) + ".avi", GetParam().video);
  const fs::path cut = without_index(original);
  ASSERT_EQ(repair({cut.string()}).exit.code, 0);
  const fs::path repaired = dir.file("Fixed.cut." + original.filename().string());

  for (const char* at : {"5.5", "6.1"}) {
    const std::string expected = frame_after_seek(original, at);
    ASSERT_FALSE(expected.empty()) << at;
    EXPECT_EQ(frame_after_seek(repaired, at), expected) << at;
  }
  const std::string position = mpv_restart_position(original, "5.5");
  ASSERT_FALSE(position.empty());
  EXPECT_EQ(position.substr(0, 3), "5.5");
  EXPECT_EQ(mpv_restart_position(repaired, "5.5"), position);
}

INSTANTIATE_TEST_SUITE_P(Integration, Seeking,
                         ::testing::Values(TCodecCase{"mpeg4", {"-c:v", "mpeg4", "-g", "25"}},
                                           TCodecCase{"libxvid_packed", {"-c:v", "libxvid", "-bf", "2", "-g", "12"}},
                                           TCodecCase{"h264", {"-c:v", "libx264", "-g", "25", "-bf", "2"}}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Integration, GarbageInARecordingIsSteppedOver) {
  TTempDir dir;
  const fs::path original = make_clip(dir, "clip.avi", {"-c:v", "mpeg4", "-g", "25"});
  const fs::path cut = without_index(original);
  TBytes bytes = read_file(cut);
  // Four kilobytes of garbage in the middle of the movi data.
  const std::size_t middle = bytes.size() / 2;
  std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(middle), bytes.begin() + static_cast<std::ptrdiff_t>(middle + 4096),
            0xEE);
  write_file(cut, bytes);

  const TProcessResult fixed = repair({cut.string()});
  ASSERT_EQ(fixed.exit.code, 0) << fixed.out;
  EXPECT_NE(fixed.out.find("\nE "), std::string::npos) << "no damage reported:\n" << fixed.out;
  const fs::path repaired = dir.file("Fixed.cut.clip.avi");
  const int packets = video_packets(repaired);
  EXPECT_LT(packets, video_packets(original));
  EXPECT_GT(packets, video_packets(original) / 2);
  // Playable to the end, and seekable on both sides of the damage.
  EXPECT_EQ(run_process({"ffmpeg", "-nostdin", "-v", "quiet", "-i", repaired.string(), "-f", "null", "-"}).exit.code, 0);
  EXPECT_FALSE(frame_after_seek(repaired, "2").empty());
  EXPECT_FALSE(frame_after_seek(repaired, "7").empty());
  EXPECT_EQ(mpv_restart_position(repaired, "7").substr(0, 3), "7.0");
  // Every file a repair writes passes its own check; in place the damaged
  // stretch stays as a JUNK chunk that players step over.
  EXPECT_TRUE(checks_clean(repaired));
  ASSERT_EQ(repair({"--in-place", cut.string()}).exit.code, 0);
  EXPECT_TRUE(checks_clean(cut));
  EXPECT_EQ(decode_errors(cut), "");
}

// Healthy files of every writer check clean; GStreamer's index gives offsets
// from the start of the file, and the check says so.
// The test builder's OpenDML files are ones a real reader takes as such:
// ffprobe finds the frames of every extent.
TEST(Integration, BuiltOpenDmlFilesReadAcrossExtents) {
  TTempDir dir;
  TAviBuilder b;
  b.opendml();
  for (int extent = 0; extent < 3; ++extent) {
    if (extent > 0) b.extent();
    for (int i = 0; i < 10; ++i) b.video(700 + i, i % 5 == 0).audio(201);
  }
  write_file(dir.file("odml.avi"), b.with_index(true).build().bytes);
  EXPECT_EQ(video_packets(dir.file("odml.avi")), 30);
}

TEST(Integration, HealthyFilesOfEveryWriterCheckClean) {
  TTempDir dir;
  const fs::path ffmpeg_file = make_clip(dir, "ffmpeg.avi", {"-c:v", "mpeg4", "-g", "25"});
  const fs::path mencoder_file = dir.file("mencoder.avi");
  ASSERT_EQ(run_process({"mencoder", "-really-quiet", ffmpeg_file.string(), "-ovc", "copy", "-oac", "copy", "-o",
                         mencoder_file.string()})
                .exit.code,
            0);
  for (const fs::path& file : {ffmpeg_file, mencoder_file, gstreamer_clip(dir, "gst.avi", "lamemp3enc")}) {
    const TProcessResult c = repair({"--check", file.string()});
    EXPECT_EQ(c.exit.code, 0) << file << "\n" << c.out;
    const bool absolute = c.out.find("offsets from the start of the file") != std::string::npos;
    EXPECT_EQ(absolute, file.filename() == "gst.avi") << c.out;
  }
}

// GStreamer computes a sampled stream's length from its duration, rounded:
// its healthy headers are left as they are, MP3 and PCM alike.
TEST(Integration, GStreamerHeaderIsKept) {
  TTempDir dir;
  for (const char* audio : {"lamemp3enc", "audioconvert"}) {
    const fs::path original = gstreamer_clip(dir, std::string(audio) + ".avi", audio);
    const TBytes bytes = read_file(original);
    const std::size_t idx = find_last_idx1(bytes);
    const fs::path cut = without_index(original);
    ASSERT_EQ(repair({cut.string()}).exit.code, 0);
    const TBytes fixed = read_file(dir.file("Fixed." + cut.filename().string()));
    EXPECT_TRUE(std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(idx), fixed.begin())) << audio;
    ASSERT_EQ(repair({"--in-place", cut.string()}).exit.code, 0);
    EXPECT_TRUE(read_file(cut) == fixed) << audio;
  }
}

struct TRecorder {
  const char* name;
  const char* pipeline;  // writes an AVI to standard output, which is a pipe
};

void PrintTo(const TRecorder& r, std::ostream* os) { *os << r.name; }

class UnfinishedRecording : public ::testing::TestWithParam<TRecorder> {};

// Written to a pipe the muxer cannot go back to its header: it keeps the
// placeholders a recorder killed mid-write leaves. Cut in the middle, the
// file must tell players its length after the repair and seek to its middle.
TEST_P(UnfinishedRecording, PlayersSeeItsLengthAndSeekToTheMiddle) {
  TTempDir dir;
  const fs::path whole = dir.file("whole.avi");
  run_process({"sh", "-c", std::string(GetParam().pipeline) + " | cat > '" + whole.string() + "'"});
  TBytes bytes = read_file(whole);
  ASSERT_GT(bytes.size(), 100000u);
  bytes.resize(bytes.size() * 3 / 5 + 1);
  const fs::path recording = dir.file("rec.avi");
  write_file(recording, bytes);
  const fs::path in_place = dir.file("in_place.avi");
  write_file(in_place, bytes);

  ASSERT_EQ(repair({recording.string()}).exit.code, 0);
  ASSERT_EQ(repair({"--in-place", in_place.string()}).exit.code, 0);
  const fs::path fixed = dir.file("Fixed.rec.avi");
  // The chunk cut off stays out of both: a JUNK chunk in place.
  for (const fs::path& file : {fixed, in_place}) {
    EXPECT_EQ(decode_errors(file), "") << file;
    EXPECT_TRUE(checks_clean(file));
  }
  // The frames that were recorded whole, as ffmpeg reads them.
  const double recorded = video_packets(fixed) / 25.0;
  for (const fs::path& file : {fixed, in_place}) {
    const TProcessResult probe = run_process(
        {"ffprobe", "-v", "error", "-show_entries", "format=duration", "-of", "csv=p=0", file.string()});
    const double duration = std::atof(probe.out.c_str());
    EXPECT_NEAR(duration, recorded, 0.041) << file << ": not within one frame";
    const std::string middle = mpv_restart_position(file, "50%");
    ASSERT_FALSE(middle.empty()) << file;
    EXPECT_NEAR(std::atof(middle.c_str()), duration / 2, 0.25) << file;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Integration, UnfinishedRecording,
    ::testing::Values(
        TRecorder{"ffmpeg",
                  "ffmpeg -nostdin -v error -f lavfi -i testsrc=size=160x120:rate=25 -f lavfi -i "
                  "sine=frequency=440:sample_rate=44100 -t 8 -c:v mpeg4 -g 25 -c:a libmp3lame -f avi -"},
        TRecorder{"gstreamer",
                  "gst-launch-1.0 -q videotestsrc num-buffers=200 ! video/x-raw,width=160,height=120,framerate=25/1 "
                  "! jpegenc ! avimux name=m ! fdsink fd=1 audiotestsrc num-buffers=344 ! "
                  "audio/x-raw,rate=44100,channels=2,format=S16LE ! m. 2>/dev/null"}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// A recording whose start is lost, read behind the header of another
// recording of the same writer: every frame after the lost start comes back,
// seeking shows the original's pictures, and the length is the data's.
struct TLostStartWriter {
  const char* name;
  const char* size;
  int seconds;                      // enough to outgrow 4 MiB by half
  std::vector<std::string> codecs;  // ffmpeg's video and audio arguments; empty: mencoder Xvid + MP3
};

void PrintTo(const TLostStartWriter& w, std::ostream* os) { *os << w.name; }

const std::vector<std::string> bitexact = {"-threads", "1", "-fflags", "+bitexact", "-flags:v", "+bitexact"};

// Pictures with noise, so that a few seconds outgrow 4 MiB.
fs::path noisy_clip(const TTempDir& dir, const std::string& name, const TLostStartWriter& w, const std::string& pattern,
                    int seconds) {
  const std::string length = std::to_string(seconds);
  std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v", "error", "-y", "-f", "lavfi", "-i",
                                   pattern + "=size=" + w.size + ":rate=25,noise=alls=20:allf=t", "-f", "lavfi", "-i",
                                   "sine=frequency=440:sample_rate=48000", "-t", length};
  const bool mencoder = w.codecs.empty();
  const std::vector<std::string> raw = {"-c:v", "rawvideo", "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le"};
  argv.insert(argv.end(), mencoder ? raw.begin() : w.codecs.begin(), mencoder ? raw.end() : w.codecs.end());
  argv.push_back(dir.file(mencoder ? "raw." + name : name).string());
  const TProcessResult r = run_process(argv);
  EXPECT_EQ(r.exit.code, 0) << r.err;
  if (mencoder) {
    const TProcessResult m = run_process({"mencoder", "-really-quiet", dir.file("raw." + name).string(), "-ovc", "xvid",
                                          "-xvidencopts", "fixed_quant=2:max_key_interval=25", "-oac", "mp3lame", "-o",
                                          dir.file(name).string()});
    EXPECT_EQ(m.exit.code, 0) << m.err;
    fs::remove(dir.file("raw." + name));
  }
  return dir.file(name);
}

// Each decoded video frame's checksum by its time stamp in frames (a frame
// the encoder left uncoded has none).
std::map<int, std::string> frames_by_time(const fs::path& file) {
  std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v", "error"};
  argv.insert(argv.end(), bitexact.begin(), bitexact.end());
  argv.insert(argv.end(), {"-i", file.string(), "-map", "0:v:0", "-fps_mode", "passthrough", "-f", "framemd5", "-"});
  std::istringstream lines(run_process(argv).out);
  std::map<int, std::string> frames;
  for (std::string line; std::getline(lines, line);) {
    std::vector<std::string> fields;
    std::istringstream cells(line);
    for (std::string cell; std::getline(cells, cell, ',');) fields.push_back(cell);
    if (line.empty() || line[0] == '#' || fields.size() < 6) continue;
    frames[std::stoi(fields[2])] = fields.back().substr(fields.back().find_first_not_of(' '));
  }
  return frames;
}

std::string picture_after_seek(const fs::path& file, double seconds) {
  std::vector<std::string> argv = {"ffmpeg", "-nostdin", "-v", "error"};
  argv.insert(argv.end(), bitexact.begin(), bitexact.end());
  argv.insert(argv.end(), {"-ss", std::to_string(seconds), "-i", file.string(), "-map", "0:v", "-frames:v", "1", "-f",
                           "framemd5", "-"});
  const std::string out = run_process(argv).out;
  const std::size_t last = out.find_last_of(',');
  return last == std::string::npos ? std::string() : out.substr(out.find_first_not_of(' ', last + 1), 32);
}

// Where each video chunk's header lies, by the writer's index (offsets from "movi").
std::vector<std::size_t> video_chunk_offsets(const TBytes& bytes) {
  const std::string movi = "movi";
  const auto at = static_cast<std::size_t>(std::search(bytes.begin(), bytes.end(), movi.begin(), movi.end()) - bytes.begin());
  std::vector<std::size_t> video;
  for (const TEntry& e : index_entries(bytes, find_last_idx1(bytes))) {
    if (e.id.substr(2) == "dc") video.push_back(at + e.offset);
  }
  return video;
}

class LostStart : public ::testing::TestWithParam<TLostStartWriter> {};

TEST_P(LostStart, EveryFrameAfterItComesBackBehindAnotherRecordingsHeader) {
  TTempDir dir;
  const fs::path original = noisy_clip(dir, "original.avi", GetParam(), "testsrc", GetParam().seconds);
  const fs::path reference = noisy_clip(dir, "reference.avi", GetParam(), "testsrc2", 2);
  const TBytes bytes = read_file(original);
  const std::vector<std::size_t> video = video_chunk_offsets(bytes);
  const std::map<int, std::string> pictures = frames_by_time(original);
  ASSERT_GT(bytes.size(), std::size_t{6} << 20);

  // Zeros over the first bytes, or a fragment carved from the middle of the movi data to the end.
  for (const std::size_t lost : {std::size_t{16} << 10, std::size_t{256} << 10, std::size_t{4} << 20, std::size_t{0}}) {
    const bool carved = lost == 0;
    const std::size_t kept_from = carved ? video[video.size() / 2] - 4321 : lost;
    SCOPED_TRACE(carved ? "carved" : std::to_string(lost) + " bytes zeroed");
    TBytes damaged = bytes;
    if (carved) {
      damaged.erase(damaged.begin(), damaged.begin() + static_cast<std::ptrdiff_t>(kept_from));
    } else {
      std::fill(damaged.begin(), damaged.begin() + static_cast<std::ptrdiff_t>(lost), 0);
    }
    const fs::path source = dir.file("lost.avi");
    write_file(source, damaged);
    fs::remove(dir.file("Fixed.lost.avi"));
    const TProcessResult fixed = repair({"--reference", reference.string(), source.string()});
    ASSERT_EQ(fixed.exit.code, 0) << fixed.out;
    const fs::path repaired = dir.file("Fixed.lost.avi");

    const auto first = static_cast<int>(std::count_if(video.begin(), video.end(), [&](std::size_t at) { return at < kept_from; }));
    const int kept = static_cast<int>(video.size()) - first;
    const TBytes out = read_file(repaired);
    std::vector<TEntry> frames = index_entries(out, find_last_idx1(out));
    std::erase_if(frames, [](const TEntry& e) { return e.id.substr(2) != "dc"; });
    EXPECT_EQ(static_cast<int>(frames.size()), kept);
    // ffmpeg cannot seek to the first key frame of a file whose video has B-frames.
    const auto first_key = std::find_if(frames.begin(), frames.end(), [](const TEntry& e) { return e.flags & 0x10; });
    ASSERT_NE(first_key, frames.end());
    for (const double share : {0.3, 0.55, 0.8}) {
      int n = std::max(static_cast<int>(kept * share), static_cast<int>(first_key - frames.begin()) + 1);
      // (Past a frame the encoder left uncoded: a seek to it shows the one before.)
      while (!pictures.contains(first + n)) ++n;
      EXPECT_EQ(picture_after_seek(repaired, n / 25.0), pictures.at(first + n)) << "frame " << n;
    }
    const TProcessResult probe = run_process({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                              "stream=duration", "-of", "csv=p=0", repaired.string()});
    EXPECT_NEAR(std::atof(probe.out.c_str()), kept / 25.0, 0.001);
    EXPECT_EQ(repair({"--check", repaired.string()}).exit.code, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Integration, LostStart,
    ::testing::Values(
        TLostStartWriter{"mjpeg_pcm", "640x480", 5, {"-c:v", "mjpeg", "-q:v", "2", "-pix_fmt", "yuvj420p", "-c:a", "pcm_s16le"}},
        TLostStartWriter{"mpeg4_mp3", "640x480", 5, {"-c:v", "mpeg4", "-q:v", "2", "-g", "25", "-c:a", "libmp3lame"}},
        TLostStartWriter{"h264_ac3", "640x480", 5, {"-c:v", "libx264", "-preset", "ultrafast", "-qp", "20", "-g", "25", "-c:a", "ac3"}},
        TLostStartWriter{"dv_pcm", "720x576", 4, {"-c:v", "dvvideo", "-pix_fmt", "yuv420p", "-c:a", "pcm_s16le"}},
        TLostStartWriter{"mencoder_xvid_mp3", "640x480", 8, {}}),
    [](const auto& param_info) { return std::string(param_info.param.name); });
