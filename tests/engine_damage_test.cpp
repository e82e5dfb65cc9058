// Damaged places in the movi data: reports, cut-backs, the search for the
// next video chunk, the end-of-file outcome, and sizes or ids that lie.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "platform/lang.h"
#include "engine/algorithm_unit.h"
#include "engine/file_io.h"
#include "engine_test_support.h"

using namespace avitest;

namespace {

TBytes cut(const TBytes& bytes, std::size_t length) {
  return TBytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(length));
}

std::string hex8(std::uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%08X", v);
  return b;
}

std::vector<TLine> damage_lines(std::uint32_t frames, const std::string& time, std::uint32_t offset) {
  return {{" " + msg(36) + " " + std::to_string(frames) + " (" + time + ")", mk_error},
          {" " + msg(37) + " " + std::to_string(offset) + " ($" + hex8(offset) + ")", mk_plain}};
}

std::vector<TLine> only_damage_lines(const std::vector<TLine>& lines) {
  std::vector<TLine> out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (lines[i].text.rfind(" " + msg(36) + " ", 0) == 0) {
      out.push_back(lines[i]);
      if (i + 1 < lines.size()) out.push_back(lines[i + 1]);
    }
  }
  return out;
}

std::vector<TEntry> new_index(const TRun& run) {
  const std::size_t at = find_last_idx1(run.output);
  return at == std::string::npos ? std::vector<TEntry>{} : index_entries(run.output, at);
}

// Entry of the source chunk `i` of `avi` with the offset it has in the source.
TEntry source_entry(const TAvi& avi, std::size_t i) { return index_entries(avi.bytes, avi.idx1_pos).at(i); }

TEntry moved(TEntry e, std::int64_t by) {
  e.offset = static_cast<std::uint32_t>(static_cast<std::int64_t>(e.offset) + by);
  return e;
}

TBytes garbage(std::size_t n) { return filled(n, 0xEE); }

}  // namespace

TEST(Damage, GarbageInTheMiddleNewFile) {
  TAviBuilder b;
  b.video(300, true).audio(101).video(307).audio(102).raw(garbage(50)).video(280, true).audio(103).video(90).audio(104);
  const TAvi avi = b.build();
  const TBytes source = cut(avi.bytes, avi.idx1_pos);
  const TRun run = run_fix(source, true);
  ASSERT_EQ(run.result, fix_repaired);
  EXPECT_EQ(run.source_after, source);
  // The audio chunk before the garbage leads into it: that chunk is the
  // damaged place.
  EXPECT_EQ(only_damage_lines(run.lines), damage_lines(2, "00:00:00", avi.chunk_pos[3]));
  EXPECT_EQ(run.lines.back().text, " " + msg(40));
  EXPECT_EQ(run.lines[run.lines.size() - 2].text, " " + msg(39) + " 1");

  // Every chunk but that one is indexed and copied, the frame before it too.
  const std::int64_t a1 = avi.chunk_pos[3];
  const std::int64_t v2 = avi.chunk_pos[4];
  const std::vector<TEntry> expected = {source_entry(avi, 0), source_entry(avi, 1), source_entry(avi, 2),
                                        moved(source_entry(avi, 4), a1 - v2), moved(source_entry(avi, 5), a1 - v2),
                                        moved(source_entry(avi, 6), a1 - v2), moved(source_entry(avi, 7), a1 - v2)};
  EXPECT_EQ(new_index(run), expected);
  TBytes body = cut(source, avi.chunk_pos[3]);
  body.insert(body.end(), source.begin() + v2, source.end());
  put_le32(body, avi.movi_pos - 4, static_cast<std::uint32_t>(body.size() - avi.movi_pos));
  // Four video frames and three audio chunks are left.
  put_lengths(body, avi, run.output.size(), 4, {4, 3});
  EXPECT_EQ(cut(run.output, body.size()), body);
}

TEST(Damage, GarbageInTheMiddleInPlace) {
  TAviBuilder b;
  b.video(300, true).audio(101).video(307).audio(102).raw(garbage(50)).video(280, true).audio(103);
  const TAvi avi = b.build();
  const TBytes source = cut(avi.bytes, avi.idx1_pos);
  const TRun run = run_fix(source, false);
  ASSERT_EQ(run.result, fix_repaired);
  EXPECT_EQ(new_index(run), (std::vector<TEntry>{source_entry(avi, 0), source_entry(avi, 1), source_entry(avi, 2),
                                                 source_entry(avi, 4), source_entry(avi, 5)}));
  // The damaged chunk and the garbage stay inside the list, which runs to the
  // old end of the file, as one JUNK chunk that readers step over.
  EXPECT_EQ(get_le32(run.output, avi.movi_pos - 4), source.size() - avi.movi_pos);
  EXPECT_EQ(find_last_idx1(run.output), source.size());
  EXPECT_EQ(std::string(run.output.begin() + avi.chunk_pos[3], run.output.begin() + avi.chunk_pos[3] + 4), "JUNK");
  EXPECT_EQ(get_le32(run.output, avi.chunk_pos[3] + 4), avi.chunk_pos[4] - avi.chunk_pos[3] - 8);
}

TEST(Damage, TailOfZeros) {
  // (An odd tail: in place the pad byte before the new index is the JUNK
  // chunk's last byte, so the walk over it lands on the index.)
  for (const std::size_t zeros : {100, 101})
  for (bool new_file : {true, false}) {
    SCOPED_TRACE(zeros);
    TAviBuilder b;
    b.video(300, true).audio(101).video(307).audio(102).raw(filled(zeros, 0));
    const TAvi avi = b.build();
    const TBytes source = cut(avi.bytes, avi.idx1_pos);
    const TRun run = run_fix(source, new_file);
    ASSERT_EQ(run.result, fix_repaired);
    EXPECT_EQ(only_damage_lines(run.lines), damage_lines(2, "00:00:00", avi.chunk_pos[3]));
    // Every chunk before the damage but the last one, whose end leads into it.
    EXPECT_EQ(new_index(run), (std::vector<TEntry>{source_entry(avi, 0), source_entry(avi, 1), source_entry(avi, 2)}));
    if (new_file) {
      EXPECT_EQ(find_last_idx1(run.output), avi.chunk_pos[3]);  // the last chunk copied is dropped
    } else {
      EXPECT_EQ(find_last_idx1(run.output), source.size() + zeros % 2);
    }
    EXPECT_EQ(check(run.output).result, 0);
  }
  // An index of one entry, which no scan from the end takes for one: the
  // walk itself must step over the JUNK chunk onto it; also where the tail
  // is a JUNK chunk whose size runs far past the end, cut back to the index.
  TBytes junk_past_end;
  append_id(junk_past_end, "JUNK");
  append_le32(junk_past_end, 1u << 22);
  junk_past_end.resize(60, 0);
  for (const bool junk : {false, true}) {
    TAviBuilder b;
    b.video(300, true);
    if (!junk) b.audio(101);
    const TAvi one = b.raw(junk ? junk_past_end : filled(101, 0)).build();
    const TRun run = run_fix(cut(one.bytes, one.idx1_pos), false);
    ASSERT_EQ(run.result, fix_repaired);
    EXPECT_EQ(check(run.output).result, 0);
  }
}

// A wrong size costs its own chunk and nothing else: the chunk whose size
// leads where no id begins is the damaged place, the search starts after its
// header, and every chunk around it is kept.
struct TSizeCase {
  const char* name;
  std::uint32_t size_field;  // of the audio chunk (100 bytes of data) after the first frame
};

class WrongSize : public ::testing::TestWithParam<TSizeCase> {};

TEST_P(WrongSize, CostsOneChunk) {
  TAviBuilder b;
  b.video(300, true).chunk_with_size("01wb", filled(100, 0xA5), GetParam().size_field).video(200, true).audio(60).video(90);
  const TAvi avi = b.build();
  for (const TBytes& source : {cut(avi.bytes, avi.idx1_pos), avi.bytes}) {
    for (bool new_file : {true, false}) {
      const TRun run = run_fix(source, new_file);
      ASSERT_EQ(run.result, fix_repaired);
      EXPECT_EQ(only_damage_lines(run.lines), damage_lines(1, "00:00:00", avi.chunk_pos[1])) << new_file;
      const auto entries = new_index(run);
      ASSERT_EQ(entries.size(), 4u) << new_file;
      EXPECT_EQ(entries[0], source_entry(avi, 0));
      if (!new_file) {
        EXPECT_EQ(entries[1], source_entry(avi, 2));
      }
      EXPECT_EQ(entries[3].size, 90u);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Damage, WrongSize,
                         ::testing::Values(TSizeCase{"TwoBytesTooLong", 102}, TSizeCase{"TooShort", 40},
                                           TSizeCase{"PastTheEnd", 0x00FF0064}, TSizeCase{"Wrapping", 0xFFFFFFF8}),
                         [](const ::testing::TestParamInfo<TSizeCase>& c) { return std::string(c.param.name); });

TEST(Damage, DamageBeforeAnyVideoFrameKeepsWhatWasWhole) {
  TAviBuilder b;
  b.audio(100).chunk("00dc", {}).raw(garbage(30)).video(200, true).audio(60);
  const TAvi avi = b.build();
  const TRun run = run_fix(cut(avi.bytes, avi.idx1_pos), false);
  ASSERT_EQ(run.result, fix_repaired);
  EXPECT_EQ(only_damage_lines(run.lines), damage_lines(0, "00:00:00", avi.chunk_pos[1]));
  EXPECT_EQ(new_index(run), (std::vector<TEntry>{source_entry(avi, 0), source_entry(avi, 2), source_entry(avi, 3)}));
}

TEST(Damage, TwoDamagedPlacesEachCostTheirChunk) {
  TAviBuilder b;
  b.video(100, true).audio(40).video(110).raw(garbage(20)).chunk("00dc", {}).audio(41).raw(garbage(20)).video(120, true).audio(42);
  const TAvi avi = b.build();
  const TRun run = run_fix(cut(avi.bytes, avi.idx1_pos), false);
  ASSERT_EQ(run.result, fix_repaired);
  EXPECT_EQ(only_damage_lines(run.lines).size(), 4u);
  EXPECT_EQ(new_index(run), (std::vector<TEntry>{source_entry(avi, 0), source_entry(avi, 1), source_entry(avi, 3),
                                                 source_entry(avi, 5), source_entry(avi, 6)}));
}

// Fewer stray bytes than a chunk header between two chunks: the chunk before
// them is whole and stays, in both modes; the bytes are the damaged place.
TEST(Damage, AFewStrayBytesCostNoChunk) {
  for (const std::size_t stray : {1u, 3u, 7u}) {
    TAviBuilder b;
    b.video(100, true).audio(40).raw(garbage(stray)).video(120, true).audio(42);
    const TAvi avi = b.build();
    for (const bool new_file : {true, false}) {
      SCOPED_TRACE(std::to_string(stray) + (new_file ? " new file" : " in place"));
      const TRun run = run_fix(cut(avi.bytes, avi.idx1_pos), new_file);
      ASSERT_EQ(run.result, fix_repaired);
      EXPECT_EQ(only_damage_lines(run.lines), damage_lines(1, "00:00:00", avi.chunk_pos[1] + 48));
      EXPECT_EQ(new_index(run).size(), 4u);
    }
  }
}

TEST(Damage, FalseOldIndexInsideTheData) {
  for (const char* first : {"ix00", "00pc"}) {
    TBytes fake;
    append_id(fake, "idx1");
    append_le32(fake, 16);
    append_id(fake, first);
    append_le32(fake, 0);
    append_le32(fake, 4);
    append_le32(fake, 0);
    TAviBuilder b;
    b.video(100, true).audio(40).raw(fake).video(120, true).audio(42);
    const TAvi avi = b.build();
    const TRun run = run_fix(cut(avi.bytes, avi.idx1_pos), false);
    ASSERT_EQ(run.result, fix_repaired) << first;
    EXPECT_EQ(only_damage_lines(run.lines), damage_lines(1, "00:00:00", avi.chunk_pos[1] + 48)) << first;
    EXPECT_EQ(new_index(run), (std::vector<TEntry>{source_entry(avi, 0), source_entry(avi, 1), source_entry(avi, 2),
                                                   source_entry(avi, 3)}))
        << first;
  }
}

TEST(Damage, RealOldIndexEndsTheScanAndIsReplaced) {
  TAviBuilder b;
  b.video(100, true).audio(40).video(120).audio(42);
  const TAvi avi = b.build();
  TBytes bytes = avi.bytes;
  put_le32(bytes, avi.idx1_pos + 8 + 4, 0);  // wrong flags in the old index: rebuilt anyway
  const TRun run = run_fix(bytes, false);
  ASSERT_EQ(run.result, fix_repaired);
  EXPECT_EQ(run.output, avi.bytes);
  EXPECT_TRUE(only_damage_lines(run.lines).empty());
}

TEST(Damage, FrameCountAndTimeFormat) {
  struct TCase {
    std::uint32_t scale, rate, frames;
    const char* time;
  };
  for (const TCase& c : {TCase{1, 25, 90025, "01:00:01"}, TCase{36000, 1, 11, "110:00:00"}, TCase{1001, 30000, 0, "00:00:00"},
                         TCase{1, 0, 5, "00:00:00"}, TCase{1, 25, 1525, "00:01:01"}}) {
    TAviBuilder b;
    b.stream({"vids", "DIVX", "DIVX", c.scale, c.rate});
    for (std::uint32_t i = 0; i < c.frames; ++i) b.chunk("00dc", {});
    // The audio chunk before the garbage is the damaged place.
    b.audio(10).raw(garbage(10)).video(100, true);
    const TAvi avi = b.build();
    const TRun run = run_fix(cut(avi.bytes, avi.idx1_pos), false);
    ASSERT_EQ(run.result, fix_repaired);
    const auto lines = only_damage_lines(run.lines);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, " " + msg(36) + " " + std::to_string(c.frames) + " (" + c.time + ")");
  }
}

TEST(Damage, OffsetInDecimalAndHex) {
  TAviBuilder b;
  b.video(100, true);
  const TAvi probe = b.build();
  // An audio chunk sized so that the one after it, which leads into garbage,
  // starts at 1 000 000.
  const std::uint32_t audio_at = probe.chunk_pos[0] + 8 + 100;
  const std::size_t audio_size = 1000000 - audio_at - 8;
  ASSERT_EQ(audio_size % 2, 0u);
  b.audio(audio_size).audio(10).raw(garbage(10)).video(50, true);
  const TAvi avi = b.build();
  const TRun run = run_fix(cut(avi.bytes, avi.idx1_pos), true);
  ASSERT_EQ(run.result, fix_repaired);
  const auto lines = only_damage_lines(run.lines);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].text, " " + msg(37) + " 1000000 ($000F4240)");
}

// The search reads blocks of 32768 bytes that share two bytes: an id whose
// letters fall on either side of a block border is found.
class AcrossBlockBorders : public ::testing::TestWithParam<int> {};

TEST_P(AcrossBlockBorders, NextVideoChunkIsFound) {
  TAviBuilder b;
  // The search starts after the header of the audio chunk that leads into
  // the garbage, 48 bytes before it.
  b.video(100, true).audio(40).raw(garbage(static_cast<std::size_t>(32768 - 48 + GetParam()))).video(120, true).audio(42);
  const TAvi avi = b.build();
  const TBytes source = cut(avi.bytes, avi.idx1_pos);
  for (bool new_file : {true, false}) {
    const TRun run = run_fix(source, new_file);
    ASSERT_EQ(run.result, fix_repaired);
    EXPECT_EQ(only_damage_lines(run.lines).size(), 2u);
    const auto entries = new_index(run);
    ASSERT_EQ(entries.size(), 3u) << GetParam();
    EXPECT_EQ(entries[1].id, "00dc");
    EXPECT_EQ(entries[1].size, 120u);
    EXPECT_EQ(entries[1].offset, new_file ? avi.chunk_pos[1] - avi.movi_pos : avi.chunk_pos[2] - avi.movi_pos);
  }
  EXPECT_EQ(run_fix(source, true).source_after, source);
}

INSTANTIATE_TEST_SUITE_P(Damage, AcrossBlockBorders, ::testing::Values(-6, -5, -4, -3, -2, -1, 0, 1, 2, 32766, 32767));

TEST(Damage, SearchReachesTheOldIndex) {
  // Garbage right before the index: the search runs into the old index and
  // the scan ends there.
  TAviBuilder b;
  b.video(100, true).audio(40).video(120).audio(42).raw(filled(20, 0x33));
  const TAvi avi = b.build();
  for (bool new_file : {true, false}) {
    const TRun run = run_fix(avi.bytes, new_file);
    ASSERT_EQ(run.result, fix_repaired);
    EXPECT_EQ(only_damage_lines(run.lines), damage_lines(2, "00:00:00", avi.chunk_pos[3]));
    EXPECT_EQ(new_index(run), (std::vector<TEntry>{source_entry(avi, 0), source_entry(avi, 1), source_entry(avi, 2)}));
    if (new_file) {
      // The list ends with the last chunk taken.
      EXPECT_EQ(find_last_idx1(run.output), avi.chunk_pos[3]);
    } else {
      EXPECT_EQ(find_last_idx1(run.output), avi.idx1_pos);
      EXPECT_EQ(get_le32(run.output, avi.movi_pos - 4), avi.idx1_pos - avi.movi_pos);
    }
  }
}

TEST(Damage, OldIndexWithoutTestBytesIsTakenAsReal) {
  TAviBuilder b;
  b.video(100, true).audio(40).with_index(false);
  TAvi avi = b.build();
  const std::size_t idx = avi.bytes.size();
  append_id(avi.bytes, "idx1");
  append_le32(avi.bytes, 16);
  avi.bytes.push_back('0');
  avi.bytes.push_back('0');  // the entry's id ends with the file
  for (bool new_file : {true, false}) {
    const TRun run = run_fix(avi.bytes, new_file);
    ASSERT_EQ(run.result, fix_repaired);
    EXPECT_TRUE(only_damage_lines(run.lines).empty());
    EXPECT_EQ(find_last_idx1(run.output), idx);
    EXPECT_EQ(new_index(run).size(), 2u);
    EXPECT_EQ(run.output.size(), idx + 8 + 32);
  }
}

// Size fields that would wrap a 32-bit position or run past the data.
TEST(LyingSizes, HugeJunkSizeEndsTheScanAndAChunkSizeIsSearchedPast) {
  for (const char* id : {"JUNK", "00dc", "01wb"}) {
    TAviBuilder b;
    b.video(100, true).audio(40).chunk_with_size(id, filled(20, 0x11), 0xFFFFFFF8u).video(60, true);
    const TAvi avi = b.build();
    for (bool new_file : {true, false}) {
      const TRun run = run_fix(cut(avi.bytes, avi.idx1_pos), new_file);
      ASSERT_EQ(run.result, fix_repaired) << id;
      auto entries = new_index(run);
      // A data chunk's size is damage with a frame after it; a JUNK chunk's
      // only ends the data.
      ASSERT_EQ(entries.size(), std::string(id) == "JUNK" ? 2u : 3u) << id;
      entries.resize(2);
      EXPECT_EQ(entries, (std::vector<TEntry>{source_entry(avi, 0), source_entry(avi, 1)})) << id;
    }
  }
}

TEST(LyingSizes, CorruptSizeDoesNotSwallowTheOldIndex) {
  TAviBuilder b;
  b.video(100, true).audio(40).chunk_with_size("00dc", mpeg4_frame(120, false), 0x7FFF0000u).audio(42);
  const TAvi avi = b.build();
  for (bool new_file : {true, false}) {
    const TRun run = run_fix(avi.bytes, new_file);
    ASSERT_EQ(run.result, fix_repaired);
    EXPECT_EQ(new_index(run), (std::vector<TEntry>{source_entry(avi, 0), source_entry(avi, 1)}));
    if (new_file) {
      EXPECT_EQ(find_last_idx1(run.output), avi.chunk_pos[2]);
    } else {
      // The chunks stay in the list, the one whose size runs into the old
      // index as a JUNK chunk up to it; only the old index is replaced.
      EXPECT_EQ(find_last_idx1(run.output), avi.idx1_pos);
      TBytes kept = cut(avi.bytes, avi.idx1_pos);
      std::memcpy(kept.data() + avi.chunk_pos[2], "JUNK", 4);
      put_le32(kept, avi.chunk_pos[2] + 4, avi.idx1_pos - avi.chunk_pos[2] - 8);
      put_lengths(kept, avi, run.output.size(), 1, {1, 1});
      EXPECT_EQ(cut(run.output, avi.idx1_pos), kept);
    }
  }
}

TEST(LyingSizes, IdInTheHeaderIsNoEndOfTheData) {
  // The real index id is overwritten; the only other "idx1" is a text in a
  // header chunk. In place, the file must not be cut behind its header.
  TAviBuilder b;
  b.video(100, true).audio(40).video(120).audio(42);
  TAvi avi = b.build();
  TBytes bytes = avi.bytes;
  std::memcpy(bytes.data() + 100, "idx1", 4);  // inside the first stream header's fields
  std::memcpy(bytes.data() + avi.idx1_pos, "XXXX", 4);
  const TRun run = run_fix(bytes, false);
  ASSERT_EQ(run.result, fix_repaired);
  EXPECT_GT(run.output.size(), avi.idx1_pos);
  const auto entries = new_index(run);
  // The overwritten id, where the movi list ends, is the damaged place;
  // every chunk before it is kept.
  ASSERT_GE(entries.size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(entries[i], source_entry(avi, i));
  TBytes kept = cut(run.output, avi.idx1_pos);
  put_le32(kept, avi.movi_pos - 4, get_le32(bytes, avi.movi_pos - 4));
  // The id in the first stream list's size makes that list hold the rest of
  // the header: one stream is walked, with its two video frames left.
  TBytes expected = cut(bytes, avi.idx1_pos);
  put_le32(expected, 4, static_cast<std::uint32_t>(run.output.size() - 8));
  put_le32(expected, avi.total_frames_at, 2);
  put_le32(expected, avi.length_at[0], 2);
  EXPECT_EQ(kept, expected);
}

TEST(InPlaceGuard, RefusesToCutAwayDataBehindTheIndex) {
  TAviBuilder b;
  b.video(100, true).audio(40).video(120).audio(42);
  b.trailer([] {
    TBytes t;
    append_id(t, "AVIX");
    append_le32(t, 0);
    return t;
  }());
  const TAvi avi = b.build();
  const TRun in_place = run_fix(avi.bytes, false);
  EXPECT_EQ(in_place.result, fix_not_repaired);
  EXPECT_EQ(in_place.source_after, avi.bytes);
  EXPECT_EQ(in_place.lines.back(), (TLine{" " + msg(75), mk_error}));
  EXPECT_TRUE(in_place.temp_left.empty());
  // A new file is fine: it never writes to the source.
  const TRun new_file = run_fix(avi.bytes, true);
  EXPECT_EQ(new_file.result, fix_repaired);
  EXPECT_EQ(new_index(new_file).size(), 4u);
}

TEST(InPlaceGuard, RefusesWhenAnEarlierIdxInsideAChunkWouldBeTheCut) {
  TAviBuilder b;
  TBytes data = filled(200, 0x11);
  std::memcpy(data.data() + 40, "idx1", 4);
  b.video(100, true).chunk("00dc", data).audio(30).video(60);
  TAvi avi = b.build();
  avi.bytes[avi.idx1_pos] = 'X';
  const TRun run = run_fix(avi.bytes, false);
  EXPECT_EQ(run.result, fix_not_repaired);
  EXPECT_EQ(run.source_after, avi.bytes);
  EXPECT_TRUE(run.temp_left.empty());
}

TEST(SourceSize, PlainFileOfFourGigabytesOrMoreIsRefused) {
  use_english_catalogue();
  TTempDir dir;
  const TAvi avi = TAviBuilder().video(100, true).build();
  const auto path = dir.file("big.avi");
  write_file(path, avi.bytes);
  // Sparse: no disk space is used.
  ASSERT_EQ(::truncate(path.c_str(), 0x100000000LL), 0);
  TRecordingSink sink;
  EXPECT_EQ(fix_file(path.string(), 1), fix_not_repaired);
  EXPECT_EQ(sink.lines.back(), (TLine{" " + msg(71) + " " + path.string(), mk_error}));
  EXPECT_FALSE(std::filesystem::exists(fixed_name(path.string())));
  EXPECT_EQ(std::filesystem::file_size(path), 0x100000000ull);
}

// A file cut inside a chunk header: fewer bytes than an id or a size needs
// end the scan as the end of the file does.
class CutInsideAHeader : public ::testing::TestWithParam<int> {};

TEST_P(CutInsideAHeader, EndsTheScanWithResultOne) {
  TAviBuilder b;
  b.video(100, true).audio(40).junk(10).video(120).audio(42);
  const TAvi avi = b.build();
  // The JUNK chunk lies right after the audio chunk; the last video chunk after it.
  const std::size_t junk_at = avi.chunk_pos[1] + 8 + 40;
  for (const std::size_t header : {junk_at, static_cast<std::size_t>(avi.chunk_pos[2])}) {
    const TBytes source = cut(avi.bytes, header + static_cast<std::size_t>(GetParam()));
    for (bool new_file : {true, false}) {
      const TRun run = run_fix(source, new_file);
      ASSERT_EQ(run.result, fix_repaired) << header << " " << GetParam();
      EXPECT_TRUE(only_damage_lines(run.lines).empty());
      EXPECT_EQ(new_index(run), (std::vector<TEntry>{source_entry(avi, 0), source_entry(avi, 1)}));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Damage, CutInsideAHeader, ::testing::Values(1, 2, 3, 4, 5, 6, 7, 8));

TEST(Damage, SearchFromBeyondTheOldIndexStart) {
  // A JUNK size that jumps into the old index: the id is read where the
  // positioning stops, at the old index, which fails its test (its entries
  // name "ix00" chunks). The damaged place is reported there, and the search,
  // counted from where the jump pointed, runs out at the end of the file.
  TAviBuilder b;
  b.video(100, true).audio(40).video(120).audio(42).with_index(false);
  TAvi avi = b.build();
  const std::size_t junk_at = avi.bytes.size();
  append_id(avi.bytes, "JUNK");
  append_le32(avi.bytes, 0);  // patched below
  const std::size_t idx = avi.bytes.size();
  append_id(avi.bytes, "idx1");
  const std::size_t entries = 3000;
  append_le32(avi.bytes, static_cast<std::uint32_t>(16 * (entries + 2)));
  for (std::size_t i = 0; i < entries; ++i) {
    append_id(avi.bytes, "ix00");
    append_le32(avi.bytes, 0);
    append_le32(avi.bytes, 4);
    append_le32(avi.bytes, 8);
  }
  for (int i = 0; i < 2; ++i) {
    append_id(avi.bytes, "00dc");
    append_le32(avi.bytes, 0x10);
    append_le32(avi.bytes, 4);
    append_le32(avi.bytes, 100);
  }
  put_le32(avi.bytes, junk_at + 4, static_cast<std::uint32_t>(20000));
  put_le32(avi.bytes, avi.movi_pos - 4, static_cast<std::uint32_t>(idx - avi.movi_pos));

  const TRun run = run_fix(avi.bytes, true);
  ASSERT_EQ(run.result, fix_repaired);
  EXPECT_EQ(only_damage_lines(run.lines), damage_lines(2, "00:00:00", static_cast<std::uint32_t>(idx)));
  // The end-of-file outcome: everything before the damage.
  const TAvi whole = TAviBuilder().video(100, true).audio(40).video(120).audio(42).build();
  EXPECT_EQ(new_index(run), index_entries(whole.bytes, whole.idx1_pos));
  // In place, the bytes from the list's end on are no index it knows: refused.
  const TRun in_place = run_fix(avi.bytes, false);
  EXPECT_EQ(in_place.result, fix_not_repaired);
  EXPECT_EQ(in_place.source_after, avi.bytes);
}

TEST(Damage, IndexChunkBeforeADamagedPlaceIsNotTakenLater) {
  // A per-stream index chunk whose chunk-id field (16 bytes on) is damaged.
  TBytes ix;
  append_le32(ix, 0x00000002);
  append_le32(ix, 0);
  append_id(ix, "XXXX");
  ix.resize(ix.size() + 12, 0x55);
  TAviBuilder b;
  b.video(100, true).audio(40).chunk("ix00", ix).video(120, true).audio(42);
  const TAvi avi = b.build();
  for (bool new_file : {true, false}) {
    const TRun run = run_fix(cut(avi.bytes, avi.idx1_pos), new_file);
    ASSERT_EQ(run.result, fix_repaired);
    EXPECT_EQ(only_damage_lines(run.lines), damage_lines(1, "00:00:00", avi.chunk_pos[2] + 16));
    const auto entries = new_index(run);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[2].id, "00dc");
    EXPECT_EQ(entries[2].size, 120u);
    EXPECT_EQ(entries[3].id, "01wb");
    // Each entry names its chunk where it lies in the file written.
    for (const auto& e : entries) {
      const std::size_t at = avi.movi_pos + e.offset;
      ASSERT_LT(at + 8, run.output.size());
      EXPECT_EQ(std::string(run.output.begin() + static_cast<std::ptrdiff_t>(at),
                            run.output.begin() + static_cast<std::ptrdiff_t>(at + 4)),
                e.id);
      EXPECT_EQ(get_le32(run.output, at + 4), e.size);
    }
  }
}

TEST(Damage, IndexIdWhoseChunkIdFieldIsAnotherIndexId) {
  // "ix00" whose chunk-id field is another "ix00", whose field is "00dc":
  // the second index chunk is taken as a chunk of stream 0; the first one's
  // 16 bytes stepped over are not copied, and the offsets after it still
  // point at their chunks in the new file.
  TBytes stacked;
  append_id(stacked, "ix00");
  append_le32(stacked, 8);
  stacked.resize(stacked.size() + 8, 0);
  append_id(stacked, "ix00");
  append_le32(stacked, 8 + 8 + 100);  // its "data" run over the next chunk
  stacked.resize(stacked.size() + 8, 0);
  append_id(stacked, "00dc");
  append_le32(stacked, 100);
  const TBytes frame = mpeg4_frame(100, false);
  stacked.insert(stacked.end(), frame.begin(), frame.end());
  TAviBuilder b;
  b.video(100, true).raw(stacked).audio(40);
  const TAvi avi = b.build();
  for (bool new_file : {true, false}) {
    const TRun run = run_fix(cut(avi.bytes, avi.idx1_pos), new_file);
    ASSERT_EQ(run.result, fix_repaired);
    const auto entries = new_index(run);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[1].id, "00dc");
    EXPECT_EQ(entries[1].size, 116u);
    const std::size_t audio_at = avi.movi_pos + entries[2].offset;
    ASSERT_LT(audio_at + 8, run.output.size());
    EXPECT_EQ(std::string(run.output.begin() + static_cast<std::ptrdiff_t>(audio_at),
                          run.output.begin() + static_cast<std::ptrdiff_t>(audio_at + 4)),
              "01wb");
    EXPECT_EQ(get_le32(run.output, audio_at + 4), 40u);
  }
}

// A failing medium: reads of a stretch fail with EIO. A new file steps over
// it as a damaged place; in place, or in the header, the repair stops and
// says what to do.
struct TUnreadableCase {
  const char* name;
  bool new_file;
  std::uint64_t from_chunk;  // the stretch begins 100 bytes into this chunk (or at this offset, when header)
  bool header;
  int result;
};

class Unreadable : public ::testing::TestWithParam<TUnreadableCase> {};

TEST_P(Unreadable, StretchIsSteppedOverInANewFileOnly) {
  const TUnreadableCase& c = GetParam();
  TAviBuilder b;
  for (int i = 0; i < 40; ++i) b.video(3001 + i, i % 10 == 0).audio(1100);
  const TAvi avi = b.build();
  const std::uint64_t from = c.header ? c.from_chunk : avi.chunk_pos[c.from_chunk] + 100;
  const std::uint64_t to = from + 5000;
  TFileIO::fail_reads({{from, to}});
  const TRun run = run_fix(avi.bytes, c.new_file);
  TFileIO::fail_reads({});
  std::string log;
  for (const TLine& l : run.lines) log += l.text + "\n";
  ASSERT_EQ(run.result, c.result) << log;
  EXPECT_EQ(run.source_after, avi.bytes);
  if (c.result != fix_repaired) {
    EXPECT_EQ(run.lines.back(), (TLine{" " + msg(123), mk_plain}));
    EXPECT_FALSE(c.new_file && run.output_exists);
    return;
  }
  ASSERT_EQ(count_lines(run.lines, 122), 1u);
  const auto line = std::find_if(run.lines.begin(), run.lines.end(),
                                 [](const TLine& l) { return l.text.rfind(" " + msg(122), 0) == 0; });
  const std::string range = line->text.substr(msg(122).size() + 2);
  const std::uint64_t start = std::stoull(range);
  const std::uint64_t length = std::stoull(range.substr(range.find(" / ") + 3));
  EXPECT_LE(start, from);
  EXPECT_GE(start + length, to);
  EXPECT_LT(length, 5000u + 2 * 4096u);  // found in small steps, not the rest of the file
  const auto entries = new_index(run);
  EXPECT_GE(entries.size(), 80u - 6u);
  EXPECT_EQ(check(run.output).result, 0);
}

INSTANTIATE_TEST_SUITE_P(Damage, Unreadable,
                         ::testing::Values(TUnreadableCase{"NewFileMiddle", true, 40, false, fix_repaired},
                                           TUnreadableCase{"NewFileLastChunks", true, 78, false, fix_repaired},
                                           TUnreadableCase{"InPlace", false, 40, false, fix_not_repaired},
                                           TUnreadableCase{"NewFileHeader", true, 100, true, fix_not_repaired}),
                         [](const ::testing::TestParamInfo<TUnreadableCase>& p) { return std::string(p.param.name); });

// A bad block in a file whose start is lost, past the chunks the test of the
// reference's fit reads or among them: the careful pass reads the file
// behind the reference's header again and steps over the block where the
// view shows it.
TEST(Damage, UnreadableStretchInAFileWhoseStartIsLost) {
  use_english_catalogue();
  TAviBuilder b;
  for (int i = 0; i < 2100; ++i) b.video(201 + i % 7, i % 50 == 0).audio(50);
  const TAvi avi = b.build();
  for (const std::size_t bad_chunk : {4100u, 1500u}) {
    SCOPED_TRACE(bad_chunk);
    TTempDir dir;
    TBytes lost = avi.bytes;
    std::fill(lost.begin(), lost.begin() + avi.chunk_pos[4], 0);
    write_file(dir.file("lost.avi"), lost);
    write_file(dir.file("good.avi"), avi.bytes);
    TRecordingSink sink;
    const std::uint64_t bad = avi.chunk_pos[bad_chunk] + 100;
    TFileIO::fail_reads({{bad, bad + 5000}});
    std::optional<std::string> written;
    const int result = fix_file(dir.file("lost.avi").string(), 1, written, {}, {true, dir.file("good.avi").string()});
    TFileIO::fail_reads({});
    ASSERT_EQ(result, fix_repaired);
    EXPECT_EQ(count_lines(sink.lines, 124), 1u);
    const auto stepped = std::find_if(sink.lines.begin(), sink.lines.end(),
                                      [](const TLine& l) { return l.text.starts_with(" " + msg(122)); });
    ASSERT_NE(stepped, sink.lines.end());
    // The view: the reference's header (as long as the file's was), then the file from its data on.
    const std::uint64_t shown = bad - avi.chunk_pos[4] + avi.chunk_pos[0];
    const std::string range = stepped->text.substr(msg(122).size() + 2);
    const std::uint64_t start = std::stoull(range);
    EXPECT_LE(start, shown);
    EXPECT_GE(start + std::stoull(range.substr(range.find(" / ") + 3)), shown + 5000);
    const TBytes out = read_file(dir.file("Fixed.lost.avi"));
    EXPECT_GE(index_entries(out, find_last_idx1(out)).size(), 4100u);  // of 4196, a block and two steps fewer
    EXPECT_EQ(check_file(dir.file("Fixed.lost.avi").string()), check_healthy);
    EXPECT_EQ(read_file(dir.file("lost.avi")), lost);
  }
}
