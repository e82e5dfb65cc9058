// Writes the engine fuzzer's seed corpus: small AVI files from the test
// builder (intact, cut, with garbage, JUNK, LIST and ix00 chunks, several
// codec families) and any extra files named on the command line, each once
// per fuzzer branch with the two header bytes the fuzzer expects in front.
//
//   make_seeds OUT_DIR [EXTRA_FILE...]
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "avi_builder.h"
#include "engine_exercise.h"

using namespace avitest;
namespace fs = std::filesystem;

namespace {

TBytes bytes_of(const std::string& s) { return TBytes(s.begin(), s.end()); }

TBytes cut(const TBytes& bytes, std::size_t length) {
  return TBytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(length, bytes.size())));
}

TBytes with(TBytes head, const TBytes& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// First bytes of a key and of a non-key frame for each codec family.
struct TFamilySample {
  std::string code;
  TBytes key;
  TBytes other;
};

std::vector<TFamilySample> family_samples() {
  return {
      // VOL header and I-VOP; a placeholder I-VOP that codes nothing.
      {"XVID",
       {0, 0, 1, 0x20, 0x08, 0xBC, 0x04, 0x06, 0x84, 0, 0x67, 0x0C, 0x14, 0x10, 0x3C, 0x51, 0x8F, 0, 0, 1, 0xB6, 0x10, 0x60},
       {0, 0, 1, 0xB6, 0x16, 0x4F, 0, 0, 1, 0xB6, 0x50}},
      {"DIV3", {0x00, 0x11}, {0x40, 0x11}},
      {"H264", {0, 0, 1, 0x09, 0x10, 0, 0, 1, 0x65}, {0, 0, 1, 0x41}},
      {"HEVC", {0, 0, 1, 0x26, 0x01}, {0, 0, 1, 0x02, 0x01}},
      {"MPG2", {0, 0, 1, 0, 0x00, 0x08}, {0, 0, 1, 0, 0x00, 0x10}},
      {"MJPG", {0xFF, 0xD8, 0xFF, 0xE0}, {0xFF, 0xD8, 0xFF, 0xDB}},
      {"ABCD", {0x12, 0x34}, {0x56, 0x78}},
  };
}

TBytes frame(const TBytes& head, std::size_t size) {
  TBytes d(size, 0x33);
  for (std::size_t i = 0; i < head.size() && i < size; ++i) d[i] = head[i];
  return d;
}

std::vector<std::pair<std::string, TBytes>> built_files() {
  std::vector<std::pair<std::string, TBytes>> files;
  auto add = [&](const std::string& name, const TBytes& bytes) { files.emplace_back(name, bytes); };

  auto plain = [](int frames, bool index) {
    TAviBuilder b;
    for (int i = 0; i < frames; ++i) b.video(300 + static_cast<std::size_t>(i) * 7, i % 4 == 0).audio(101);
    return b.with_index(index).build();
  };
  const TAvi intact = plain(12, true);
  add("intact", intact.bytes);
  add("no-index", plain(12, false).bytes);
  add("index-cut", cut(intact.bytes, intact.bytes.size() - 40));
  add("index-header-only", cut(intact.bytes, intact.idx1_pos + 8));
  add("chunk-cut", cut(intact.bytes, intact.chunk_pos[9] + 50));
  add("chunk-header-cut", cut(intact.bytes, intact.chunk_pos[9] + 5));
  add("data-after-index", TAviBuilder().video(200, true).audio(80).video(200).trailer(bytes_of("TAIL-DATA!")).build().bytes);

  {
    TAviBuilder b;
    b.video(400, true).audio(100).video(400).raw(filled(333, 0xEE)).video(400, true).audio(100).video(300);
    add("garbage", b.build().bytes);
  }
  {
    // Garbage holding the byte pairs the damage search looks for.
    TAviBuilder b;
    b.video(300, true).raw(bytes_of("xxdcyywbzzdb00wb77dc")).video(300).raw(bytes_of("idx1")).video(300, true);
    add("garbage-false-ids", b.build().bytes);
  }
  {
    TAviBuilder b;
    b.header_junk(50).video(200, true).junk(64).audio(100).junk(0).video(200).junk(7).video(150);
    add("junk", b.build().bytes);
  }
  {
    TAviBuilder b;
    b.list("rec ").video(200, true).audio(90).list("rec ").video(201).audio(90);
    add("rec-lists", b.build().bytes);
  }
  {
    // A per-stream (OpenDML) index: the id 16 bytes on names its stream.
    TBytes ix = filled(32, 0);
    ix[0] = 2;
    ix[3] = 1;
    ix[8] = '0';
    ix[9] = '0';
    ix[10] = 'd';
    ix[11] = 'c';
    TAviBuilder b;
    b.video(200, true).chunk("ix00", ix).audio(90).video(200).chunk("01ix", ix);
    add("ix-chunks", b.build().bytes);
  }
  {
    TAviBuilder b;
    b.video(200, true).chunk_with_size("00dc", filled(100, 1), 0x7FFFFFF0).video(200).audio(50);
    add("lying-size", b.build().bytes);
  }
  {
    TAviBuilder b;
    b.video(201, true).audio(1).chunk("00dc", {}).audio(0).video(3).chunk("02db", filled(9, 2));
    add("odd-and-empty", b.build().bytes);
  }
  {
    TAviBuilder b;
    b.video(100, true).chunk("00dc", bytes_of("idx1....00dc")).video(100).audio(20);
    add("idx1-in-data", b.build().bytes);
  }
  {
    TAviBuilder b;
    b.stream({"vids", "DIVX", "DIVX", 1, 25}).stream({"vids", "H264", "H264", 1, 30}).stream({"auds", std::string(4, '\0'), "", 1, 44100});
    b.video(100, true, 0).chunk("01dc", frame({0, 0, 1, 0x65}, 120)).chunk("02wb", filled(60, 3)).video(90, false, 0);
    add("three-streams", b.build().bytes);
  }
  {
    // Long recordings: three RIFF chunks with their index chunks, and one.
    TAviBuilder b;
    b.opendml(4);
    for (int e = 0; e < 3; ++e) {
      if (e > 0) b.extent();
      for (int i = 0; i < 4; ++i) b.video(120 + i, i == 0).audio(40);
    }
    const TAvi avi = b.build();
    add("opendml", avi.bytes);
    add("opendml-cut", cut(avi.bytes, avi.ix_pos[avi.ix_pos.size() - 2] + 4));
    add("opendml-one-riff", TAviBuilder().opendml(2).video(100, true).audio(30).video(90).build().bytes);
  }
  for (const auto& sample : family_samples()) {
    TAviBuilder b;
    b.stream({"vids", sample.code, sample.code, 1, 25}).stream({"auds", std::string(4, '\0'), "", 1, 44100});
    for (int i = 0; i < 6; ++i) {
      b.chunk("00dc", frame(i % 3 == 0 ? sample.key : sample.other, 180)).audio(64);
    }
    const TAvi avi = b.build();
    add("family-" + sample.code, avi.bytes);
    add("family-" + sample.code + "-cut", cut(avi.bytes, avi.chunk_pos[7] + 20));
  }
  {
    // Frames whose headers give the picture size, and audio frames, as
    // ffmpeg's encoders begin them (x264's SPS, a JPEG's SOF0, MP3, AC-3):
    // for the header made from the data.
    const TBytes sps = {0, 0, 0, 1, 0x67, 0x64, 0, 0x0D, 0xAC, 0xD9, 0x41, 0x41, 0xFB, 0x01,
                        0x10, 0, 0, 0x3E, 0x90, 0, 0x0E, 0xA6, 0, 0xF1, 0x42, 0x99, 0x60,
                        0, 0, 0, 1, 0x65, 0x88, 0x84};
    const TBytes sof = {0xFF, 0xD8, 0xFF, 0xC0, 0, 0x11, 8, 0, 0xF0, 0x01, 0x40, 3};
    TAviBuilder h264;
    TAviBuilder mjpeg;
    for (int i = 0; i < 20; ++i) {
      h264.chunk("00dc", frame(i % 5 == 0 ? sps : TBytes{0, 0, 0, 1, 0x41}, 150))
          .chunk("01wb", frame({0x0B, 0x77, 0x48, 0x0D, 0x0C, 0x40, 0x2F}, 384));
      mjpeg.chunk("00dc", frame(sof, 200)).chunk("01wb", frame({0xFF, 0xFB, 0x50, 0xC4}, 208));
    }
    add("writers-h264-ac3", h264.build().bytes);
    add("writers-mjpeg-mp3", mjpeg.build().bytes);
  }
  {
    // Only the fields the engine insists on.
    TBytes tiny = bytes_of("RIFF");
    append_le32(tiny, 136);
    append_id(tiny, "AVI ");
    append_id(tiny, "LIST");
    tiny.resize(140, 0);
    append_id(tiny, "LIST");
    append_le32(tiny, 4);
    append_id(tiny, "movi");
    add("tiny", tiny);
  }
  return files;
}

// The parameter byte: pumps before Stop, or where the index search starts.
std::uint8_t parameter_for(fuzzcheck::TBranch branch, std::size_t file_number) {
  switch (branch) {
    case fuzzcheck::TBranch::stop_new_file:
    case fuzzcheck::TBranch::stop_in_place:
      return static_cast<std::uint8_t>(1 + file_number * 3 % 24);
    case fuzzcheck::TBranch::locate_index:
      return static_cast<std::uint8_t>(file_number * 37);
    default:
      return 0;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: make_seeds OUT_DIR [EXTRA_FILE...]\n");
    return 2;
  }
  const fs::path out = argv[1];
  fs::create_directories(out);
  auto files = built_files();
  for (int i = 2; i < argc; ++i) files.emplace_back(fs::path(argv[i]).filename().string(), read_file(argv[i]));

  std::size_t written = 0;
  for (std::size_t n = 0; n < files.size(); ++n) {
    for (int b = 0; b < fuzzcheck::branch_count; ++b) {
      const auto branch = static_cast<fuzzcheck::TBranch>(b);
      TBytes seed{static_cast<std::uint8_t>(b), parameter_for(branch, n)};
      seed = with(seed, files[n].second);
      write_file(out / (files[n].first + "." + fuzzcheck::branch_name(branch)), seed);
      ++written;
    }
  }
  std::printf("%zu seeds from %zu files in %s\n", written, files.size(), out.c_str());
  return 0;
}
