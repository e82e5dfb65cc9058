// The repair of intact and cut-off files in both modes: output bytes, index
// entries and log lines; the chunk id classes, the file name, the progress
// rule and the old-index scan.
#include <gtest/gtest.h>

#include <filesystem>

#include "platform/lang.h"
#include "engine/algorithm_unit.h"
#include "engine_test_support.h"

using namespace avitest;

namespace {

// A file like a muxer writes it: MPEG-4 video with key frames every 4th
// frame, interleaved audio, some odd sizes, and an index.
TAviBuilder typical_file(int frames = 12) {
  TAviBuilder b;
  for (int i = 0; i < frames; ++i) {
    b.video(static_cast<std::size_t>(300 + 7 * i), i % 4 == 0);
    b.audio(static_cast<std::size_t>(101 + i));
  }
  return b;
}

// The bytes of `avi` with the RIFF size of `riff_source`: the engine never
// rewrites the RIFF size.
TBytes with_riff_size_of(TBytes bytes, const TBytes& riff_source) {
  put_le32(bytes, 4, get_le32(riff_source, 4));
  return bytes;
}

TBytes cut(const TBytes& bytes, std::size_t length) { return TBytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length)); }

class BothModes : public ::testing::TestWithParam<bool> {};

}  // namespace

TEST(ChunkIds, ClassesFollowTheTestOrder) {
  EXPECT_EQ(classify_id(fourcc("00dc")), TChunkClass::data);
  EXPECT_EQ(classify_id(fourcc("01wb")), TChunkClass::data);
  EXPECT_EQ(classify_id(fourcc("99db")), TChunkClass::data);
  for (const char* id : {"0Adc", "00DC", "00pc", "00tx", "00wc", "a0dc"}) {
    EXPECT_EQ(classify_id(fourcc(*reinterpret_cast<const char(*)[5]>(id))), TChunkClass::damage) << id;
  }
  EXPECT_EQ(classify_id(fourcc("ix00")), TChunkClass::stream_index);
  EXPECT_EQ(classify_id(fourcc("00ix")), TChunkClass::stream_index);
  EXPECT_EQ(classify_id(fourcc("LIST")), TChunkClass::list);
  EXPECT_EQ(classify_id(fourcc("JUNK")), TChunkClass::junk);
  EXPECT_EQ(classify_id(fourcc("idx1")), TChunkClass::old_index);
  EXPECT_EQ(classify_id(fourcc("junk")), TChunkClass::damage);  // case-sensitive
  EXPECT_TRUE(is_video_id(fourcc("00db")));
  EXPECT_FALSE(is_video_id(fourcc("00wb")));
}

TEST(ChunkIds, StepRules) {
  EXPECT_EQ(4 + 8 + padded_size(7), 20u);  // data chunk of size 7 at 4: next at 20
  EXPECT_EQ(padded_size(8), 8u);
  EXPECT_EQ(padded_size(0xFFFFFFFFu), 0x100000000ull);  // no wrap-around
}

TEST(FixedName, ExtensionRules) {
  EXPECT_EQ(fixed_name("/v/a.avi"), "/v/Fixed.a.avi");
  EXPECT_EQ(fixed_name("/v/a.divx"), "/v/Fixed.a.divx");
  EXPECT_EQ(fixed_name("/v/a.AVI"), "/v/Fixed.a.AVI.avi");
  EXPECT_EQ(fixed_name("/v/Movie.Avi"), "/v/Fixed.Movie.Avi.avi");
  EXPECT_EQ(fixed_name("/v/clip.mpg"), "/v/Fixed.clip.mpg.avi");
  EXPECT_EQ(fixed_name("/v/noext"), "/v/Fixed.noext.avi");
  EXPECT_EQ(fixed_name("/v.d/noext"), "/v.d/Fixed.noext.avi");
  EXPECT_EQ(fixed_name("rel.avi"), "Fixed.rel.avi");
  EXPECT_EQ(fixed_name("/v/a.AVI", "out"), "out/Fixed.a.AVI.avi");
  EXPECT_EQ(fixed_name("rel.avi", "/o/"), "/o/Fixed.rel.avi");
  EXPECT_EQ(fixed_name("/v/a.avi", ""), "/v/Fixed.a.avi");
}

TEST(Progress, MovesOnlyByTwoOrToZero) {
  TRecordingSink sink;
  std::vector<int> seen;
  for (std::uint32_t v : {0u, 1u, 2u, 3u, 4u}) {
    show_progress(v);
    seen.push_back(sink.progress_position());
  }
  EXPECT_EQ(seen, (std::vector<int>{0, 0, 2, 2, 4}));
  sink.set_progress_position(50);
  show_progress(49);
  EXPECT_EQ(sink.progress_position(), 50);
  show_progress(0);
  EXPECT_EQ(sink.progress_position(), 0);
  sink.set_progress_position(99);
  show_progress(100);
  EXPECT_EQ(sink.progress_position(), 99);
  sink.set_progress_position(98);
  show_progress(100);
  EXPECT_EQ(sink.progress_position(), 100);
  show_progress(65536 + 0);  // only the low 16 bits count
  EXPECT_EQ(sink.progress_position(), 0);
  EXPECT_EQ(sink.pumps, 10);  // every call pumps
}

TEST_P(BothModes, IntactFileComesBackIdentical) {
  const TAvi avi = typical_file().build();
  const TRun run = run_fix(avi.bytes, GetParam());
  ASSERT_EQ(run.result, fix_repaired);
  EXPECT_EQ(run.output, avi.bytes);
  EXPECT_EQ(run.source_after, GetParam() ? avi.bytes : run.output);
  EXPECT_TRUE(run.temp_left.empty());
  const std::vector<TLine> expected_start = {{" " + msg(31), mk_information},
                                             {" " + msg(34) + " " + run.source_path, mk_plain}};
  std::vector<TLine> expected = expected_start;
  for (const auto& line : closing_lines(run.source_path, 0)) expected.push_back(line);
  EXPECT_EQ(run.lines, expected);
}

TEST_P(BothModes, IndexCutOffIsRebuilt) {
  const TAvi with = typical_file().build();
  const TBytes without = cut(with.bytes, with.idx1_pos);
  const TRun run = run_fix(without, GetParam());
  ASSERT_EQ(run.result, fix_repaired);
  EXPECT_EQ(run.output, with_riff_size_of(with.bytes, without));
  if (GetParam()) {
    EXPECT_EQ(run.source_after, without);
  }
}

TEST_P(BothModes, FileCutInsideAChunkKeepsTheCompleteOnes) {
  const TAvi with = typical_file(6).build();
  // Cut 10 bytes into the last audio chunk's data.
  const std::size_t last = with.chunk_pos.back();
  const TBytes damaged = cut(with.bytes, last + 18);
  const TRun run = run_fix(damaged, GetParam());
  ASSERT_EQ(run.result, fix_repaired);
  const std::size_t idx = find_last_idx1(run.output);
  ASSERT_NE(idx, std::string::npos);
  auto expected = index_entries(with.bytes, with.idx1_pos);
  expected.pop_back();
  EXPECT_EQ(index_entries(run.output, idx), expected);
  if (GetParam()) {
    // The partial chunk is not copied; the list ends where it began.
    EXPECT_EQ(idx, last);
    EXPECT_EQ(get_le32(run.output, with.movi_pos - 4), last - with.movi_pos);
  } else {
    // In place the partial chunk stays inside the list as a JUNK chunk, so
    // that its size does not run over the index that follows it.
    EXPECT_EQ(idx, damaged.size());
    EXPECT_EQ(get_le32(run.output, with.movi_pos - 4), damaged.size() - with.movi_pos);
    TBytes kept(run.output.begin(), run.output.begin() + static_cast<std::ptrdiff_t>(damaged.size()));
    put_le32(kept, with.movi_pos - 4, get_le32(damaged, with.movi_pos - 4));
    TBytes before = damaged;
    std::memcpy(before.data() + last, "JUNK", 4);
    put_le32(before, last + 4, 10);
    put_lengths(before, with, run.output.size(), 6, {6, 5});
    EXPECT_EQ(kept, before);
  }
  EXPECT_EQ(run.output.size(), idx + 8 + 16 * expected.size());
  // The header says what is left: six frames, five audio chunks.
  EXPECT_EQ(get_le32(run.output, with.total_frames_at), 6u);
  EXPECT_EQ(get_le32(run.output, with.length_at[1]), 5u);
  EXPECT_EQ(get_le32(run.output, 4), run.output.size() - 8);
  // The line that says what was left out comes right before the closing lines.
  ASSERT_GE(run.lines.size(), 4u);
  EXPECT_EQ(run.lines[run.lines.size() - 4], cut_off_line(last, 18));
}

// A file that ends after the data of an odd-sized chunk, before its pad
// byte: the chunk is whole and kept; the pad byte is written before the index.
TEST_P(BothModes, ChunkLackingOnlyItsPadByteIsKept) {
  TAviBuilder b = typical_file(2);
  b.video(301, false);
  const TAvi with = b.build();
  const TBytes damaged = cut(with.bytes, with.idx1_pos - 1);
  const TRun run = run_fix(damaged, GetParam());
  ASSERT_EQ(run.result, fix_repaired);
  const std::size_t idx = find_last_idx1(run.output);
  EXPECT_EQ(index_entries(run.output, idx), index_entries(with.bytes, with.idx1_pos));
  EXPECT_EQ(idx, with.idx1_pos);
  EXPECT_EQ(run.output[idx - 1], 0);
  if (GetParam()) {
    EXPECT_EQ(run.output, with.bytes);  // the new file is whole again
  } else {
    EXPECT_EQ(get_le32(run.output, with.movi_pos - 4), with.idx1_pos - 1 - with.movi_pos);
  }
}

// Writers of the past: "rec " lists with an index entry of their own, pad
// bytes left out after odd sizes, and a file whose RIFF header is lost.
TEST_P(BothModes, RecListsWithTheirOwnIndexEntriesAreTheOldIndex) {
  TAviBuilder b;
  for (int i = 0; i < 3; ++i) b.list("rec ").video(121, i == 0).audio(40);
  const TAvi avi = b.list_entries().build();
  const TRun run = run_fix(avi.bytes, GetParam());
  ASSERT_EQ(run.result, fix_repaired);
  EXPECT_EQ(count_lines(run.lines, 36), 0u);
  EXPECT_EQ(index_entries(run.output, find_last_idx1(run.output)).size(), 6u);
  EXPECT_EQ(check(avi.bytes).result, 0);
  EXPECT_EQ(check(run.output).result, 0);
}

TEST_P(BothModes, WriterThatLeavesOutPadBytes) {
  TAviBuilder b;
  b.video(301, true).audio(101).video(201).audio(57).video(90);
  const TAvi avi = b.build();
  TBytes padless = cut(avi.bytes, avi.idx1_pos);
  std::vector<std::size_t> pads;
  for (std::size_t i = 0; i < avi.chunk_pos.size(); ++i) {
    const std::uint32_t size = get_le32(avi.bytes, avi.chunk_pos[i] + 4);
    if (size % 2 != 0) pads.push_back(avi.chunk_pos[i] + 8 + size);
  }
  for (auto at = pads.rbegin(); at != pads.rend(); ++at) padless.erase(padless.begin() + static_cast<std::ptrdiff_t>(*at));
  const TRun run = run_fix(padless, GetParam());
  ASSERT_EQ(run.result, fix_repaired);
  EXPECT_EQ(count_lines(run.lines, 36), 0u);
  const auto entries = index_entries(run.output, find_last_idx1(run.output));
  ASSERT_EQ(entries.size(), 5u);
  if (GetParam()) {
    // The new file gets its pad bytes back: the writer's file as it should be.
    EXPECT_EQ(run.output, avi.bytes);
  } else {
    EXPECT_EQ(entries[4].offset, avi.chunk_pos[4] - pads.size() - avi.movi_pos);
  }
  EXPECT_EQ(check(run.output).result, 0);
}

TEST_P(BothModes, LostRiffHeaderIsWrittenAnew) {
  const TAvi avi = typical_file(3).build();
  for (std::size_t lost : {12, 16, 20}) {
    TBytes damaged = avi.bytes;
    std::fill_n(damaged.begin(), lost, 0);
    const TRun run = run_fix(damaged, GetParam());
    if (lost > 16) {
      // The header list's size is gone too: no AVI to be found.
      EXPECT_EQ(run.result, fix_not_repaired);
      EXPECT_EQ(run.source_after, damaged);
      continue;
    }
    ASSERT_EQ(run.result, fix_repaired) << lost;
    EXPECT_EQ(count_lines(run.lines, 120), 1u);
    EXPECT_EQ(run.output, avi.bytes) << lost;
  }
}

TEST_P(BothModes, StrayByteAtTheEndIsNoChunk) {
  const TAvi with = typical_file(2).build();
  TBytes damaged = cut(with.bytes, with.idx1_pos);
  damaged.push_back(0x77);  // less than a chunk header
  const TRun run = run_fix(damaged, GetParam());
  ASSERT_EQ(run.result, fix_repaired);
  // Not copied into a new file; in place, the index goes over it.
  EXPECT_EQ(run.output, with.bytes);
}

TEST_P(BothModes, JunkAndNestedListsInTheMoviData) {
  TAviBuilder b;
  b.video(200, true).junk(7).audio(50).list("rec ").video(120, false).audio(51).video(88, false);
  const TAvi avi = b.build();
  const TRun run = run_fix(cut(avi.bytes, avi.idx1_pos), GetParam());
  ASSERT_EQ(run.result, fix_repaired);
  const auto source_entries = index_entries(avi.bytes, avi.idx1_pos);
  const auto entries = index_entries(run.output, find_last_idx1(run.output));
  ASSERT_EQ(entries.size(), source_entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(entries[i].id, source_entries[i].id);
    EXPECT_EQ(entries[i].size, source_entries[i].size);
    EXPECT_EQ(entries[i].flags, source_entries[i].flags);
    // The JUNK chunk of size 7 takes 15 bytes (no rounding); the list header 12.
    const std::uint32_t left_out = i == 0 ? 0 : (i == 1 ? 15 : 27);
    EXPECT_EQ(entries[i].offset, source_entries[i].offset - (GetParam() ? left_out : 0)) << i;
  }
  if (GetParam()) {
    // Each entry's offset points at its chunk in the output.
    for (const auto& e : entries) {
      EXPECT_EQ(std::string(run.output.begin() + avi.movi_pos + e.offset,
                            run.output.begin() + avi.movi_pos + e.offset + 4),
                e.id);
    }
  }
}

TEST_P(BothModes, FlagsOfEmptyAndSmallChunks) {
  TAviBuilder b;
  b.video(100, true).chunk("00dc", {}).audio(0).audio(1).chunk("00db", mpeg4_frame(40, false));
  const TAvi avi = b.build();
  const TRun run = run_fix(cut(avi.bytes, avi.idx1_pos), GetParam());
  ASSERT_EQ(run.result, fix_repaired);
  const auto entries = index_entries(run.output, find_last_idx1(run.output));
  ASSERT_EQ(entries.size(), 5u);
  EXPECT_EQ(entries[0].flags, 0x10u);
  EXPECT_EQ(entries[1].flags, 0u);     // empty video chunk
  EXPECT_EQ(entries[2].flags, 0u);     // empty audio chunk
  EXPECT_EQ(entries[3].flags, 0x10u);  // audio of size 1
  EXPECT_EQ(entries[4].flags, 0u);     // P-VOP
}

TEST_P(BothModes, PerStreamIndexChunkIsTakenAsAChunkOfItsStream) {
  // An OpenDML standard index: "ix00", size, then 16 bytes on its chunk-id field.
  TBytes ix;
  append_le32(ix, 0x00000002);  // wLongsPerEntry, bIndexSubType, bIndexType
  append_le32(ix, 0);           // nEntriesInUse
  append_id(ix, "00dc");        // dwChunkId
  append_le32(ix, 0);
  append_le32(ix, 0);
  append_le32(ix, 0);
  TAviBuilder b;
  b.video(100, true).chunk("ix00", ix).audio(20);
  const TAvi avi = b.build();
  const TRun run = run_fix(cut(avi.bytes, avi.idx1_pos), GetParam());
  ASSERT_EQ(run.result, fix_repaired);
  const auto entries = index_entries(run.output, find_last_idx1(run.output));
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_EQ(entries[1].id, "00dc");
  EXPECT_EQ(entries[1].size, ix.size());
  EXPECT_EQ(entries[1].offset, avi.chunk_pos[1] - avi.movi_pos);
  EXPECT_EQ(entries[2].id, "01wb");
}

INSTANTIATE_TEST_SUITE_P(Engine, BothModes, ::testing::Values(true, false),
                         [](const auto& param_info) { return param_info.param ? "NewFile" : "InPlace"; });

TEST(HeaderWalk, JunkBeforeTheMoviListIsWalkedOver) {
  TAviBuilder b = typical_file(3);
  b.header_junk(1001);  // odd: the walk does not round
  const TAvi avi = b.build();
  const TRun run = run_fix(avi.bytes, true);
  ASSERT_EQ(run.result, fix_repaired);
  EXPECT_EQ(index_entries(run.output, find_last_idx1(run.output)), index_entries(avi.bytes, avi.idx1_pos));
  // The movi data now end at an odd offset: a pad byte precedes the index.
  EXPECT_EQ(find_last_idx1(run.output), avi.idx1_pos + 1u);
}

TEST(HeaderWalk, NoMoviListIsRefused) {
  TAvi avi = typical_file(3).build();
  avi.bytes[avi.movi_pos] = 'M';
  for (bool new_file : {true, false}) {
    const TRun run = run_fix(avi.bytes, new_file);
    EXPECT_EQ(run.result, fix_not_repaired);
    EXPECT_FALSE(new_file && run.output_exists);
    EXPECT_EQ(run.source_after, avi.bytes);
    EXPECT_TRUE(run.temp_left.empty());
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back(), (TLine{" " + msg(70) + " " + run.source_path, mk_error}));
  }
}

TEST(HeaderWalk, HugeSizeFieldEndsTheWalk) {
  TAvi avi = typical_file(3).build();
  put_le32(avi.bytes, 16, 0xFFFFFFF8u);  // would wrap back onto itself in 32 bits
  const TRun run = run_fix(avi.bytes, true);
  EXPECT_EQ(run.result, fix_not_repaired);
  EXPECT_EQ(run.lines.back().text, " " + msg(70) + " " + run.source_path);
}

TEST(SetUp, NotAnAviFile) {
  TAvi avi = typical_file(2).build();
  avi.bytes[12] = 'J';  // a JUNK chunk first would do the same
  for (bool new_file : {true, false}) {
    const TRun run = run_fix(avi.bytes, new_file);
    EXPECT_EQ(run.result, fix_not_repaired);
    EXPECT_EQ(run.lines, (std::vector<TLine>{{" " + msg(31), mk_information},
                                             {run.source_path + " " + msg(28), mk_error}}));
    EXPECT_FALSE(new_file && run.output_exists);
    EXPECT_EQ(run.source_after, avi.bytes);
    EXPECT_TRUE(run.temp_left.empty());
  }
}

TEST(SetUp, TinyFiles) {
  // Shorter than the signature: not an AVI file.
  const TRun tiny = run_fix(TBytes{'R', 'I', 'F', 'F'}, true);
  EXPECT_EQ(tiny.result, fix_not_repaired);
  EXPECT_EQ(tiny.lines.back().text, tiny.source_path + " " + msg(28));
  // Signature present but too short for the stream header's rate fields.
  TBytes short_avi = typical_file(1).build().bytes;
  short_avi.resize(100);
  const TRun run = run_fix(short_avi, true);
  EXPECT_EQ(run.result, fix_not_repaired);
  EXPECT_EQ(run.lines.back(), (TLine{" " + msg(72) + " " + run.source_path, mk_error}));
  EXPECT_FALSE(run.output_exists);
}

TEST(SetUp, SourceMissing) {
  use_english_catalogue();
  TRecordingSink sink;
  EXPECT_EQ(fix_file("/nonexistent/clip.avi", 1), fix_not_repaired);
  EXPECT_EQ(sink.lines, (std::vector<TLine>{{" " + msg(31), mk_information}, {" " + msg(27), mk_error}}));
  EXPECT_EQ(sink.positions.front(), 0);
}

TEST(SetUp, ProgressEndsAtHundred) {
  const TAvi avi = typical_file(40).build();
  use_english_catalogue();
  TTempDir dir;
  write_file(dir.file("a.avi"), avi.bytes);
  TRecordingSink sink;
  ASSERT_EQ(fix_file(dir.file("a.avi").string(), 1), fix_repaired);
  ASSERT_FALSE(sink.positions.empty());
  EXPECT_EQ(sink.positions.front(), 0);
  EXPECT_EQ(sink.positions.back(), 100);
  EXPECT_TRUE(std::is_sorted(sink.positions.begin(), sink.positions.end()));
  EXPECT_GE(sink.pumps, 80);  // at least twice per chunk
  EXPECT_FALSE(sink.any_box);
}

TEST(Stop, EndsTheFileWithMinusOne) {
  const TAvi avi = typical_file(40).build();
  use_english_catalogue();
  TTempDir dir;
  TTempDir temp;
  ::setenv("TMPDIR", temp.path().c_str(), 1);
  write_file(dir.file("a.avi"), avi.bytes);
  TRecordingSink sink;
  sink.on_pump = [](int n) {
    if (n == 20) stop_flag.store(1);
  };
  const int result = fix_file(dir.file("a.avi").string(), 1);
  ::unsetenv("TMPDIR");
  EXPECT_EQ(result, fix_stopped);
  EXPECT_EQ(stop_flag.load(), 0);  // honoured, so a batch goes on
  EXPECT_EQ(sink.lines.back(), (TLine{" " + msg(35), mk_warning}));
  EXPECT_EQ(sink.progress_position(), 0);
  EXPECT_TRUE(std::filesystem::is_empty(temp.path()));
  EXPECT_EQ(read_file(dir.file("a.avi")), avi.bytes);
  // The new file keeps what was copied, without an index.
  const TBytes partial = read_file(dir.file("Fixed.a.avi"));
  EXPECT_GT(partial.size(), avi.movi_pos + 4u);
  EXPECT_EQ(find_last_idx1(partial), std::string::npos);
  EXPECT_EQ(TBytes(avi.bytes.begin(), avi.bytes.begin() + static_cast<std::ptrdiff_t>(partial.size())), partial);
}

// The old-index scan on its own.
namespace {

std::uint32_t locate(const TBytes& bytes) {
  TTempDir dir;
  write_file(dir.file("f.avi"), bytes);
  TFileIO file;
  EXPECT_TRUE(file.open_read(dir.file("f.avi").string()));
  file.seek(1234);
  const std::uint32_t at = locate_old_index(file);
  EXPECT_EQ(file.pos(), 1234u);  // the position is kept
  return at;
}

}  // namespace

TEST(OldIndexScan, FindsTheIndexAtTheEnd) {
  const TAvi avi = typical_file(5).build();
  EXPECT_EQ(locate(avi.bytes), avi.idx1_pos);
}

TEST(OldIndexScan, NoIndexOrAnEmptyOne) {
  const TAvi avi = typical_file(5).build();
  EXPECT_EQ(locate(cut(avi.bytes, avi.idx1_pos)), 0u);  // ends in a chunk's data
  TBytes empty_index = cut(avi.bytes, avi.idx1_pos);
  append_id(empty_index, "idx1");
  append_le32(empty_index, 0);
  EXPECT_EQ(locate(empty_index), 0u);  // "idx1" nearer the end than any entry
}

TEST(OldIndexScan, OneEntryIsNotEnough) {
  TAviBuilder b;
  b.video(50, true);
  const TAvi avi = b.build();
  EXPECT_EQ(locate(avi.bytes), 0u);
}

TEST(OldIndexScan, OverwrittenIdFallsBackToAnEarlierOne) {
  TAviBuilder b;
  TBytes data = filled(200, 0x11);
  std::memcpy(data.data() + 40, "idx1", 4);  // the same four bytes inside a chunk
  b.video(100, true).chunk("00dc", data).audio(30);
  TAvi avi = b.build();
  avi.bytes[avi.idx1_pos] = 'X';
  EXPECT_EQ(locate(avi.bytes), avi.chunk_pos[1] + 8 + 40);
  avi.bytes[avi.chunk_pos[1] + 8 + 40] = 'X';
  EXPECT_EQ(locate(avi.bytes), 0u);
}

TEST(OldIndexScan, LargeFileAndIdAcrossAWindowBorder) {
  // Index entries fill more than one window; the id straddles the border
  // between the last two windows searched.
  for (std::size_t straddle = 0; straddle < 4; ++straddle) {
    TAviBuilder b;
    b.video(64, true);
    const TAvi base = b.build();
    TBytes bytes = cut(base.bytes, base.idx1_pos);
    const std::size_t entries = 5000;
    // Place "idx1" so that the first window (the last 32764 bytes) starts
    // `straddle` + 1 bytes into it... computed from the final size.
    const std::size_t index_bytes = 8 + 16 * entries;
    const std::size_t filler = 40000;
    bytes.resize(bytes.size() + filler, 0x22);
    const std::size_t idx_pos = bytes.size();
    append_id(bytes, "idx1");
    append_le32(bytes, static_cast<std::uint32_t>(16 * entries));
    for (std::size_t i = 0; i < entries; ++i) {
      append_id(bytes, "00dc");
      append_le32(bytes, 0x10);
      append_le32(bytes, 4);
      append_le32(bytes, 64);
    }
    // Trim entries from the end so that the window border 32764 * k before
    // the end falls inside "idx1".
    const std::size_t size_now = idx_pos + index_bytes;
    std::size_t k = (size_now - idx_pos) / 32764;
    const std::size_t border = size_now - 32764 * k;  // start of window k
    // Move the border to idx_pos + straddle + 1 by dropping bytes at the end.
    const std::size_t drop = (border - (idx_pos + straddle + 1)) % 16 == 0 ? border - (idx_pos + straddle + 1) : 0;
    if (drop == 0) continue;
    bytes.resize(size_now - drop);
    ASSERT_EQ(bytes.size() - 32764 * k, idx_pos + straddle + 1);
    EXPECT_EQ(locate(bytes), idx_pos) << straddle;
  }
}

// Fields read at an offset: little-endian, the position kept, and nothing
// when the file ends inside the field.
TEST(FileLayer, FieldsAtAnOffset) {
  TTempDir dir;
  write_file(dir.file("f.bin"), TBytes{'a', 'b', 'c', 'd', 0x01, 0x02, 0x03});
  TFileIO file;
  ASSERT_TRUE(file.open_read(dir.file("f.bin").string()));
  file.seek(2);
  EXPECT_EQ(file.read_le32_at(0), 0x64636261u);
  EXPECT_EQ(file.read_le32_at(3), 0x03020164u);
  EXPECT_EQ(file.read_fourcc_at(0), fourcc("abcd"));
  EXPECT_FALSE(file.read_le32_at(4).has_value());
  EXPECT_FALSE(file.read_fourcc_at(4).has_value());
  EXPECT_FALSE(file.read_le32_at(100).has_value());
  EXPECT_EQ(file.pos(), 2u);
}

TEST(EndOfFile, EmptyChunkEndingTheFileIsKept) {
  // A chunk of size 0 whose size field ends the file has no byte missing:
  // indexed and copied, so the file comes back as it was.
  TAviBuilder b;
  b.video(100, true).audio(40).chunk("00dc", {});
  const TAvi avi = b.build();
  for (bool new_file : {true, false}) {
    const TRun run = run_fix(cut(avi.bytes, avi.idx1_pos), new_file);
    ASSERT_EQ(run.result, fix_repaired);
    const auto entries = index_entries(run.output, find_last_idx1(run.output));
    EXPECT_EQ(entries.size(), 3u);
    EXPECT_EQ(run.output, avi.bytes);
  }
}

TEST(EndOfFile, MoviSpanUnderHundredBytes) {
  // The progress divisor would be 0 here.
  TAviBuilder b;
  b.audio(10);
  const TAvi avi = b.build();
  const TBytes source = cut(avi.bytes, avi.idx1_pos);
  ASSERT_LT(source.size() - avi.movi_pos, 100u);
  for (bool new_file : {true, false}) {
    const TRun run = run_fix(source, new_file);
    ASSERT_EQ(run.result, fix_repaired);
    EXPECT_EQ(run.output, with_riff_size_of(avi.bytes, source));
  }
}

// Copies are handed to the copier thread in steps that end on a page of the
// new file; whatever the step boundaries, every byte lands where it belongs.
TEST(FileCopy, RunsOfChunksArriveWhole) {
  TTempDir dir;
  TBytes source(7u << 20);
  std::uint32_t x = 12345;
  for (auto& b : source) b = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 24);
  write_file(dir.file("src"), source);
  TFileIO from;
  ASSERT_TRUE(from.open_read(dir.file("src").string()));
  TFileIO to;
  ASSERT_TRUE(to.create_temp(dir.path().string(), "out-", 0600, TFileIO::TTempUse::to_publish));
  TBytes expected;
  auto put = [&](const std::string& text) {
    to.write(text.data(), text.size());
    expected.insert(expected.end(), text.begin(), text.end());
  };
  auto copy = [&](std::uint64_t at, std::uint64_t length) {
    to.copy_from(from, at, length);
    expected.insert(expected.end(), source.begin() + static_cast<std::ptrdiff_t>(at),
                    source.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(at + length, source.size())));
  };
  put("odd header");
  // Chunk-sized pieces, contiguous, past two steps; then a gap (damage
  // stepped over), a write between copies, and a run to past the end.
  std::uint64_t at = 0;
  for (std::uint64_t piece = 1; at + piece < (5u << 20); piece = piece * 7 % 9973 + 1) {
    copy(at, piece);
    at += piece;
  }
  at += 1001;
  put("written between copies");
  for (; at < source.size() - 9000; at += 4099) copy(at, 4099);
  copy(at, 20000);
  ASSERT_TRUE(to.close_as(dir.file("out").string(), false));
  EXPECT_EQ(read_file(dir.file("out")), expected);
}

// A file whose start is lost is read behind a header made for it: reads and
// copies show that header, then the file from where its data begin, and a
// bad block is reported where the view shows it.
TEST(FileView, ReadsAndCopiesShowThePrefixThenTheFileFromItsOffset) {
  TTempDir dir;
  TBytes source(300000);
  std::uint32_t x = 777;
  for (auto& b : source) b = static_cast<unsigned char>((x = x * 1103515245u + 12345u) >> 24);
  write_file(dir.file("src"), source);
  const TBytes prefix(source.rbegin(), source.rbegin() + 5000);
  constexpr std::size_t skip = 70001;
  TBytes shown = prefix;
  shown.insert(shown.end(), source.begin() + skip, source.end());
  TFileIO from;
  ASSERT_TRUE(from.open_read(dir.file("src").string()));
  from.set_view(prefix, skip);
  ASSERT_EQ(from.size(), shown.size());
  TFileIO to;
  ASSERT_TRUE(to.create_temp(dir.path().string(), "out-", 0600, TFileIO::TTempUse::to_publish));
  TBytes copied;
  const std::pair<std::size_t, std::size_t> ranges[] = {{0, 10}, {4990, 20}, {4990, 40000}, {100000, 3}, {shown.size() - 5, 10}};
  for (const auto& [at, length] : ranges) {
    TBytes got(length);
    got.resize(from.read_at(at, got.data(), length));
    const TBytes want(shown.begin() + static_cast<std::ptrdiff_t>(at),
                      shown.begin() + static_cast<std::ptrdiff_t>(std::min(at + length, shown.size())));
    EXPECT_EQ(got, want) << at;
    to.copy_from(from, at, length);
    copied.insert(copied.end(), want.begin(), want.end());
  }
  ASSERT_TRUE(to.close_as(dir.file("out").string(), false));
  EXPECT_EQ(read_file(dir.file("out")), copied);

  TFileIO::fail_reads({{skip + 1000, skip + 1010}});
  unsigned char byte[200];
  try {
    (void)from.read_at(prefix.size() + 900, byte, sizeof byte);
    ADD_FAILURE() << "the bad block was read";
  } catch (const TIoError& e) {
    EXPECT_EQ(e.offset(), prefix.size() + 900);
  }
  TFileIO::fail_reads({});
  EXPECT_EQ(read_file(dir.file("src")), source);
}
