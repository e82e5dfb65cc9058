// Files as recorders leave them: header lengths that are placeholders or
// stale, stretches of random bytes that spell chunk ids, a last chunk cut
// off. The repaired file must tell players how long it is and keep every
// intact chunk.
#include <gtest/gtest.h>

#include <random>

#include "engine/algorithm_unit.h"
#include "engine_test_support.h"

using namespace avitest;

namespace {

TBytes cut(const TBytes& bytes, std::size_t length) {
  return TBytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

TAviBuilder recording(int frames) {
  TAviBuilder b;
  for (int i = 0; i < frames; ++i) b.video(static_cast<std::size_t>(300 + 5 * i), i % 5 == 0).audio(100);
  return b;
}

std::vector<TEntry> new_index(const TRun& run) {
  const std::size_t at = find_last_idx1(run.output);
  return at == std::string::npos ? std::vector<TEntry>{} : index_entries(run.output, at);
}

class Lengths : public ::testing::TestWithParam<bool> {};

}  // namespace

// A recorder killed before it wrote its index leaves placeholders: ffmpeg
// writes 0xFFFFFFFF as the RIFF size, GStreamer 0 for every length.
TEST_P(Lengths, PlaceholdersOfAKilledRecorderSayWhatTheFileHolds) {
  const TAvi whole = recording(12).build();
  for (const std::uint32_t placeholder : {0u, 0xFFFFFFFFu}) {
    TBytes killed = cut(whole.bytes, whole.idx1_pos);
    put_lengths(killed, whole, std::size_t{placeholder} + 8, placeholder, {placeholder, placeholder});
    const TRun run = run_fix(killed, GetParam());
    ASSERT_EQ(run.result, fix_repaired);
    EXPECT_EQ(run.output, whole.bytes) << "placeholder " << placeholder;
    if (GetParam()) {
      EXPECT_EQ(run.source_after, killed);
    }
  }
}

// A camera that lost power: the header still counts the frames it meant to write.
TEST_P(Lengths, FileCutShortCountsWhatIsLeft) {
  const TAvi whole = recording(20).build();
  const TBytes cut_short = cut(whole.bytes, whole.chunk_pos[14]);  // 7 frames, 7 audio chunks
  const TRun run = run_fix(cut_short, GetParam());
  ASSERT_EQ(run.result, fix_repaired);
  TBytes expected = cut(run.output, whole.chunk_pos[14]);
  put_lengths(expected, whole, run.output.size(), 7, {7, 7});
  EXPECT_EQ(cut(run.output, whole.chunk_pos[14]), expected);
  put_le32(expected, whole.movi_pos - 4, get_le32(cut_short, whole.movi_pos - 4));
  put_lengths(expected, whole, whole.bytes.size(), 20, {20, 20});
  EXPECT_EQ(expected, cut_short) << "bytes other than the lengths changed";
}

// A sampled stream's length may be off by less than one chunk (GStreamer
// rounds the duration); a whole chunk more or less is rewritten.
TEST_P(Lengths, SampledStreamIsKeptWithinOneChunk) {
  TAviBuilder b;
  b.stream({}).stream({"auds", std::string(4, '\0'), "", 1, 44100, 4});
  for (int i = 0; i < 6; ++i) b.video(200, i == 0).audio(400);
  const TAvi avi = b.build();
  const std::uint32_t length = 6 * 400 / 4;
  struct TCase {
    std::uint32_t stored;
    std::uint32_t after;
  };
  for (const TCase c : {TCase{length - 1, length - 1}, TCase{length + 99, length + 99}, TCase{length + 100, length},
                        TCase{length - 100, length}, TCase{0, length}}) {
    TBytes source = cut(avi.bytes, avi.idx1_pos);
    put_le32(source, avi.length_at[1], c.stored);
    const TRun run = run_fix(source, GetParam());
    ASSERT_EQ(run.result, fix_repaired);
    EXPECT_EQ(get_le32(run.output, avi.length_at[1]), c.after) << "stored " << c.stored;
  }
}

TEST_P(Lengths, HeaderThatCannotBeWalkedIsLeftAloneWithALine) {
  const TAvi whole = recording(6).build();
  TBytes source = cut(whole.bytes, whole.idx1_pos);
  put_lengths(source, whole, 8, 0, {0, 0});
  std::memcpy(source.data() + whole.total_frames_at - 24, "xvih", 4);  // the avih id
  const TRun run = run_fix(source, GetParam());
  ASSERT_EQ(run.result, fix_repaired);
  EXPECT_EQ(count_lines(run.lines, 102), 1u);
  const auto line = std::find_if(run.lines.begin(), run.lines.end(),
                                 [](const TLine& l) { return l.text == " " + msg(102); });
  ASSERT_NE(line, run.lines.end());
  EXPECT_EQ(line->kind, mk_warning);
  TBytes expected = source;
  put_le32(expected, 4, static_cast<std::uint32_t>(whole.bytes.size() - 8));  // the RIFF size is no header field
  EXPECT_EQ(cut(run.output, whole.idx1_pos), expected);
}

INSTANTIATE_TEST_SUITE_P(Recordings, Lengths, ::testing::Values(true, false),
                         [](const auto& param_info) { return param_info.param ? "NewFile" : "InPlace"; });

// Random bytes spell a video chunk id now and then; the search must not take
// one whose size runs past the data or is followed by no chunk.
TEST(Recordings, FalseChunkIdsInRandomStretchesDoNotEndTheScan) {
  std::mt19937 random(20261209);
  TAviBuilder b;
  constexpr int stretches = 6;
  for (int s = 0; s < stretches; ++s) {
    for (int i = 0; i < 5; ++i) b.video(400, i == 0).audio(120);
    TBytes noise(3000);
    for (auto& byte : noise) byte = static_cast<std::uint8_t>(random());
    // False candidates: a huge size, a size that lands on noise, an id of
    // the right shape followed by a size landing inside the next stretch.
    const char* planted[] = {"00dc\xff\xff\xff\x7f", "01dc\x10\x00\x00\x00", "00db\x40\x00\x00\x00"};
    for (std::size_t p = 0; p < 3; ++p) std::memcpy(noise.data() + 500 + 900 * p, planted[p], 8);
    b.raw(noise);
  }
  for (int i = 0; i < 5; ++i) b.video(400, i == 0).audio(120);
  const TAvi avi = b.build();
  const TBytes source = cut(avi.bytes, avi.idx1_pos);
  const std::size_t total_chunks = avi.chunk_pos.size();
  for (bool new_file : {true, false}) {
    const TRun run = run_fix(source, new_file);
    ASSERT_EQ(run.result, fix_repaired);
    EXPECT_EQ(count_lines(run.lines, 36), static_cast<std::size_t>(stretches));
    const auto entries = new_index(run);
    // Each stretch costs the audio chunk that leads into it.
    ASSERT_EQ(entries.size(), total_chunks - stretches);
    const std::size_t tail = 10;  // the chunks after the last stretch
    const TBytes& out = run.output;
    const std::size_t movi = avi.movi_pos;
    for (std::size_t i = 0; i < tail; ++i) {
      const TEntry& e = entries[entries.size() - tail + i];
      const std::size_t src = avi.chunk_pos[total_chunks - tail + i];
      EXPECT_EQ(e.id, std::string(source.begin() + static_cast<std::ptrdiff_t>(src),
                                  source.begin() + static_cast<std::ptrdiff_t>(src + 4)));
      // Indexed where the chunk really lies in the repaired file.
      const std::size_t at = movi + e.offset;
      ASSERT_LE(at + 8 + e.size, out.size());
      EXPECT_TRUE(std::equal(out.begin() + static_cast<std::ptrdiff_t>(at),
                             out.begin() + static_cast<std::ptrdiff_t>(at + 8 + e.size),
                             source.begin() + static_cast<std::ptrdiff_t>(src)));
    }
  }
}

// A file that ends inside a chunk header: the line says where and how much.
TEST(Recordings, CutInsideTheLastHeaderIsReported) {
  const TAvi whole = recording(4).build();
  const std::size_t last = whole.chunk_pos.back();
  const TRun run = run_fix(cut(whole.bytes, last + 6), true);
  ASSERT_EQ(run.result, fix_repaired);
  EXPECT_EQ(count_lines(run.lines, 101), 1u);
  EXPECT_NE(std::find(run.lines.begin(), run.lines.end(), cut_off_line(last, 6)), run.lines.end());
}
