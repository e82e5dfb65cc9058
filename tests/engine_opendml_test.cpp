// Recognising long recordings in the OpenDML form: further RIFF "AVIX"
// extents and the streams' super indexes, on small files the builder writes
// in that form.
#include <gtest/gtest.h>

#include "engine/algorithm_unit.h"
#include "engine/file_io.h"
#include "engine/header_list.h"
#include "engine/opendml.h"
#include "engine_test_support.h"
#include "platform/message_ids.h"

using namespace avitest;

namespace {

TAviBuilder frames(TAviBuilder b, int count) {
  for (int i = 0; i < count; ++i) b.video(700 + i, i % 5 == 0).audio(201);
  return b;
}

TAvi three_extents() {
  TAviBuilder b = frames(TAviBuilder().opendml(), 10);
  b.extent();
  b = frames(b, 12);
  b.extent();
  return frames(b, 7).build();
}

struct TOpened {
  TTempDir dir;
  TFileIO file;
  explicit TOpened(const TBytes& bytes) {
    write_file(dir.file("a.avi"), bytes);
    EXPECT_TRUE(file.open_read(dir.file("a.avi").string()));
  }
};

TEST(OpenDml, ExtentsAreFoundInOrder) {
  const TAvi avi = three_extents();
  TOpened f(avi.bytes);
  const std::vector<TExtent> extents = further_extents(f.file);
  ASSERT_EQ(extents.size(), 2u);
  for (std::size_t i = 0; i < extents.size(); ++i) {
    EXPECT_EQ(extents[i].riff_pos, avi.riff_pos[i]);
    EXPECT_EQ(extents[i].movi_pos, avi.extent_movi_pos[i]);
  }
  EXPECT_EQ(extents[1].movi_end, avi.bytes.size());
  EXPECT_TRUE(is_opendml(f.file));
  const auto header = walk_header_list(f.file);
  ASSERT_TRUE(header);
  ASSERT_EQ(header->streams.size(), 2u);
  EXPECT_TRUE(header->streams[0].indx && header->streams[1].indx);
  ASSERT_TRUE(header->dmlh);
  EXPECT_EQ(f.file.read_le32_at(header->dmlh->data), std::optional<std::uint32_t>(29));
}

// What is and is not the OpenDML form, and where the extent walk stops.
TEST(OpenDml, RecognisedOnlyWhereItIs) {
  const TAvi plain = frames(TAviBuilder(), 6).build();
  const TAvi single = frames(TAviBuilder().opendml(), 6).build();
  const TAvi full = three_extents();
  TBytes cut_in_second_header(full.bytes.begin(), full.bytes.begin() + static_cast<std::ptrdiff_t>(full.riff_pos[1] + 10));
  TBytes bad_form = full.bytes;
  bad_form[full.riff_pos[0] + 8] = 'X';
  const struct {
    const char* name;
    TBytes bytes;
    bool opendml;
    std::size_t extents;
  } cases[] = {
      {"plain file", plain.bytes, false, 0},
      {"one RIFF chunk with super indexes", single.bytes, true, 0},
      {"three RIFF chunks", full.bytes, true, 2},
      {"cut inside the third RIFF header", cut_in_second_header, true, 1},
      {"second RIFF chunk not AVIX", bad_form, true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TOpened f(c.bytes);
    EXPECT_EQ(further_extents(f.file).size(), c.extents);
    EXPECT_EQ(is_opendml(f.file), c.opendml);
  }
}

// Until the repair walks every extent, one that would keep only the first
// RIFF chunk (and call that repaired) refuses, in both modes, and writes
// nothing.
TEST(OpenDml, RepairOfAFileWithFurtherExtentsIsRefused) {
  for (const bool new_file : {true, false}) {
    SCOPED_TRACE(new_file ? "new file" : "in place");
    const TRun run = run_fix(three_extents().bytes, new_file);
    EXPECT_EQ(run.result, fix_not_repaired);
    EXPECT_EQ(run.lines.back(), (TLine{" " + msg(msg_further_riff_chunks) + " " + run.source_path, mk_error}));
    if (new_file) {
      EXPECT_FALSE(run.output_exists);
    }
    EXPECT_EQ(run.source_after, run.source_before);
    EXPECT_TRUE(run.temp_left.empty());
  }
}

}  // namespace
