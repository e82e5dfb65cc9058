// Recognising long recordings in the OpenDML form: further RIFF "AVIX"
// extents and the streams' super indexes, on small files the builder writes
// in that form.
#include <gtest/gtest.h>

#include "engine/algorithm_unit.h"
#include "engine/file_io.h"
#include "engine/header_list.h"
#include "engine/opendml.h"
#include "engine/scan.h"
#include "engine_test_support.h"
#include "platform/message_ids.h"

using namespace avitest;

namespace {

TAviBuilder frames(TAviBuilder b, int count, int first = 0) {
  for (int i = first; i < first + count; ++i) b.video(700 + i, i % 5 == 0).audio(201);
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

std::uint64_t le64(const TBytes& b, std::uint64_t at) {
  return get_le32(b, at) | (std::uint64_t{get_le32(b, at + 4)} << 32);
}

// Reads a repaired OpenDML file as a player does, from its indexes only, and
// checks that every entry of every index names a chunk that is there: the
// super indexes lead to the standard index chunks, those to the chunks, and
// the first RIFF chunk's idx1 to its chunks. Returns the chunks per stream.
std::vector<std::size_t> indexed_chunks(const TBytes& b, std::size_t streams) {
  std::vector<std::size_t> chunks(streams, 0);
  TOpened f(b);
  const auto header = walk_header_list(f.file);
  if (!header) {
    ADD_FAILURE() << "no header list";
    return chunks;
  }
  auto chunk_at = [&](std::uint64_t at, const std::string& id, std::uint32_t size) {
    if (at + 8 > b.size() || std::string(b.begin() + static_cast<std::ptrdiff_t>(at), b.begin() + static_cast<std::ptrdiff_t>(at + 4)) != id ||
        get_le32(b, at + 4) != size) {
      ADD_FAILURE() << "no " << id << " chunk of " << size << " bytes at " << at;
    }
  };
  for (std::size_t n = 0; n < streams; ++n) {
    const std::uint64_t indx = header->streams[n].indx->data;
    const std::uint32_t used = get_le32(b, indx + 4);
    for (std::uint32_t k = 0; k < used; ++k) {
      const std::uint64_t e = indx + 24 + 16 * k;
      const std::uint64_t ix = le64(b, e);
      const std::uint32_t count = get_le32(b, ix + 12);
      const std::string digits = std::string(1, static_cast<char>('0' + n / 10)) + static_cast<char>('0' + n % 10);
      chunk_at(ix, "ix" + digits, 24 + 8 * count);
      EXPECT_EQ(get_le32(b, e + 8), 32 + 8 * count);
      EXPECT_EQ(get_le32(b, e + 12), count);
      const std::string id(b.begin() + static_cast<std::ptrdiff_t>(ix + 16), b.begin() + static_cast<std::ptrdiff_t>(ix + 20));
      const std::uint64_t base = le64(b, ix + 20);
      for (std::uint32_t j = 0; j < count; ++j) {
        const std::uint64_t at = ix + 32 + 8 * j;
        chunk_at(base + get_le32(b, at) - 8, id, get_le32(b, at + 4) & 0x7FFFFFFFu);
      }
      chunks[n] += count;
    }
  }
  const std::size_t first_movi = find_last_idx1(b) == std::string::npos ? 0 : 1;
  if (first_movi != 0) {
    TOpened g(b);
    const auto movi = engine_detail::find_movi_list(g.file);
    for (const TEntry& e : index_entries(b, find_last_idx1(b))) chunk_at(movi->movi_pos + e.offset, e.id, e.size);
  }
  return chunks;
}

// A new file keeps every extent: a healthy file comes back byte for byte,
// and one cut short loses only what is missing, its index chunks rebuilt.
TEST(OpenDml, NewFileKeepsEveryExtent) {
  const TAvi full = three_extents();
  auto cut_at = [&](std::uint64_t at) { return TBytes(full.bytes.begin(), full.bytes.begin() + static_cast<std::ptrdiff_t>(at)); };
  const std::uint64_t last_video = full.chunk_pos[full.chunk_pos.size() - 2];
  TAviBuilder six = frames(frames(frames(TAviBuilder().opendml(), 10).extent(), 12).extent(), 6);
  const struct {
    const char* name;
    TBytes source;
    TBytes expected;
  } cases[] = {
      {"healthy, three RIFF chunks", full.bytes, full.bytes},
      {"healthy, one RIFF chunk", frames(TAviBuilder().opendml(), 6).build().bytes, frames(TAviBuilder().opendml(), 6).build().bytes},
      {"index chunks never written", cut_at(full.ix_pos[full.ix_pos.size() - 2]), full.bytes},
      {"cut inside the last index chunk", cut_at(full.ix_pos.back() + 20), full.bytes},
      {"cut inside the last extent's last frame", cut_at(last_video + 300), six.build().bytes},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TRun run = run_fix(c.source, true);
    EXPECT_EQ(run.result, fix_repaired);
    EXPECT_EQ(run.output, c.expected);
    EXPECT_EQ(run.source_after, run.source_before);
    EXPECT_TRUE(run.temp_left.empty());
  }
}

// Damage anywhere, a further RIFF header included, is stepped over; the new
// file's indexes all lead to chunks, and only chunks at the damage are lost.
TEST(OpenDml, DamageIsSteppedOverIntoTheNextExtent) {
  const TAvi full = three_extents();
  auto garbage = [&](std::uint64_t at, std::size_t n) {
    TBytes b = full.bytes;
    std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(at), n, 'X');
    return b;
  };
  const struct {
    const char* name;
    TBytes source;
    std::uint64_t damage_at;
  } cases[] = {
      {"second RIFF header", garbage(full.riff_pos[0], 24), full.riff_pos[0]},
      {"third RIFF header", garbage(full.riff_pos[1], 24), full.riff_pos[1]},
      {"a frame in the second extent", garbage(full.extent_movi_pos[0] + 4, 50), full.extent_movi_pos[0] + 4},
      {"an index chunk's size", garbage(full.ix_pos[0] + 4, 4), full.ix_pos[0]},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TRun run = run_fix(c.source, true);
    EXPECT_EQ(run.result, fix_repaired);
    EXPECT_EQ(run.lines[run.lines.size() - 2], (TLine{" " + msg(msg_damage_count) + " 1", mk_plain}));
    const auto damage = std::find_if(run.lines.begin(), run.lines.end(),
                                     [](const TLine& l) { return l.text.find(msg(msg_damage_offset)) != std::string::npos; });
    ASSERT_NE(damage, run.lines.end());
    EXPECT_NE(damage->text.find(" " + std::to_string(c.damage_at) + " "), std::string::npos) << damage->text;
    const std::vector<std::size_t> chunks = indexed_chunks(run.output, 2);
    EXPECT_GE(chunks[0], 29u - 2);
    EXPECT_GE(chunks[1], 29u - 2);
  }
}

// The check reads the OpenDML indexes too: the super indexes and their
// standard index chunks against the chunks found, per stream.
TEST(OpenDml, CheckComparesEveryStreamsIndexChunks) {
  use_english_catalogue();
  const TAvi full = three_extents();
  TBytes wrong_super = full.bytes;
  put_le32(wrong_super, full.indx_at[1] + 24 + 16, 12);  // the second entry's offset
  TBytes wrong_entry = full.bytes;
  put_le32(wrong_entry, full.ix_pos[2] + 32, 4);         // extent 2's first video entry
  auto line = [](std::uint32_t k, const std::string& tail) { return " " + msg(k) + " " + tail; };
  const struct {
    const char* name;
    TBytes bytes;
    int problems;
    std::vector<std::string> lines;
  } cases[] = {
      {"healthy", full.bytes, 0, {line(msg_odml_index_agrees, "0 / 29"), line(msg_odml_index_agrees, "1 / 29")}},
      {"last index chunks never written", TBytes(full.bytes.begin(), full.bytes.begin() + static_cast<std::ptrdiff_t>(full.ix_pos[4])), 2,
       {line(msg_odml_index_broken, "0 / " + std::to_string(full.ix_pos[4])), line(msg_odml_index_broken, "1 / " + std::to_string(full.ix_pos[5]))}},
      {"super index entry elsewhere", wrong_super, 1, {line(msg_odml_index_agrees, "0 / 29"), line(msg_odml_index_broken, "1 / 12")}},
      {"standard index entry elsewhere", wrong_entry, 1, {line(msg_odml_index_differs, "0 / 29 / 29 / 11"), line(msg_odml_index_agrees, "1 / 29")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TTempDir dir;
    write_file(dir.file("a.avi"), c.bytes);
    TRecordingSink sink;
    EXPECT_EQ(check_file(dir.file("a.avi").string()), c.problems);
    std::vector<std::string> odml;
    for (const TLine& l : sink.lines) {
      if (l.text.find("OpenDML") != std::string::npos || l.text.find("super index") != std::string::npos) odml.push_back(l.text);
    }
    EXPECT_EQ(odml, c.lines);
    EXPECT_EQ(read_file(dir.file("a.avi")), c.bytes);
  }
}

// In place, no data chunk moves and only index data are overwritten: index
// chunks that agree stay, missing ones are appended in the last extent, a
// wrong one becomes JUNK. The result checks clean and a second repair leaves
// it byte for byte.
TEST(OpenDml, InPlaceRebuildsOnlyWhatDisagrees) {
  use_english_catalogue();
  const TAvi full = three_extents();
  auto cut_at = [&](std::uint64_t at) { return TBytes(full.bytes.begin(), full.bytes.begin() + static_cast<std::ptrdiff_t>(at)); };
  TBytes wrong_entry = full.bytes;
  put_le32(wrong_entry, full.ix_pos[2] + 36, 5);  // extent 2's first video size
  TBytes idx1_too_long = full.bytes;
  put_le32(idx1_too_long, full.idx1_pos + 4, 49280);  // past the end of the file
  TBytes idx1_too_short = full.bytes;
  put_le32(idx1_too_short, full.idx1_pos + 4, 32);
  TBytes wrong_id = full.bytes;
  wrong_id[full.ix_pos[0] + 17] = 'c';  // "0cdc": right entries, a chunk id no chunk has
  // Damage the search steps over together with what follows: the next RIFF
  // chunk's headers, or an index chunk.
  auto zeroed = [&](std::uint64_t at, std::size_t n) {
    TBytes b = full.bytes;
    std::fill_n(b.begin() + static_cast<std::ptrdiff_t>(at), n, 0);
    return b;
  };
  const struct {
    const char* name;
    TBytes source;
    bool identical_to_full;
    std::size_t junk_chunks;
    std::size_t indexed;
  } cases[] = {
      {"healthy", full.bytes, true, 0, 58},
      {"index chunks never written", cut_at(full.ix_pos[4]), true, 0, 58},
      {"cut inside the last frame", cut_at(full.chunk_pos[full.chunk_pos.size() - 2] + 300), false, 1, 56},
      {"a wrong index chunk", wrong_entry, false, 1, 58},
      {"an index chunk naming another chunk id", wrong_id, false, 1, 58},
      {"idx1's size runs past the file", idx1_too_long, true, 0, 58},
      {"idx1's size ends inside its entries", idx1_too_short, true, 0, 58},
      {"the first index chunk's size zeroed", zeroed(full.ix_pos[0] + 4, 6), false, 1, 58},
      {"a later index chunk's size zeroed", zeroed(full.ix_pos[2] + 4, 6), false, 1, 58},
      {"the first RIFF chunk's index chunks and idx1's head wiped",
       zeroed(full.ix_pos[0] + 8, full.idx1_pos + 24 - full.ix_pos[0] - 8), false, 1, 58},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const TRun run = run_fix(c.source, false);
    ASSERT_EQ(run.result, fix_repaired);
    if (c.identical_to_full) {
      EXPECT_EQ(run.output, full.bytes);
      // A new file keeps every chunk too.
      EXPECT_EQ(run_fix(c.source, true).output, run_fix(full.bytes, true).output);
    }
    TBytes junk_id = {'J', 'U', 'N', 'K'};
    std::size_t junk = 0;
    for (auto it = run.output.begin(); (it = std::search(it, run.output.end(), junk_id.begin(), junk_id.end())) != run.output.end(); ++it) ++junk;
    EXPECT_EQ(junk, c.junk_chunks);
    // Every chunk that was there is still where it was.
    for (const std::uint32_t at : full.chunk_pos) {
      if (at + 8 <= c.source.size() && std::equal(c.source.begin() + at, c.source.begin() + at + 4, full.bytes.begin() + at) && at + 8 + get_le32(c.source, at + 4) <= c.source.size()) {
        EXPECT_TRUE(std::equal(full.bytes.begin() + at, full.bytes.begin() + at + 8, run.output.begin() + at)) << at;
      }
    }
    const std::vector<std::size_t> chunks = indexed_chunks(run.output, 2);
    EXPECT_EQ(chunks[0] + chunks[1], c.indexed);
    const TRun again = run_fix(run.output, false);
    EXPECT_EQ(again.output, run.output);
    TTempDir dir;
    write_file(dir.file("a.avi"), run.output);
    EXPECT_EQ(check_file(dir.file("a.avi").string()), 0);
  }
}

}  // namespace

namespace {

// An idx1 header the next RIFF chunk already overlaps (a hostile file) is no
// room to write an index into: in place, where the first RIFF chunk gets no
// idx1, the file is refused and stays as it was.
TEST(OpenDml, AnIdx1OverlappedByTheNextRiffChunkIsLeftAlone) {
  use_english_catalogue();
  const TAvi full = three_extents();
  TBytes source(full.bytes.begin(), full.bytes.begin() + static_cast<std::ptrdiff_t>(full.idx1_pos));
  for (const char c : std::string("idx1")) source.push_back(static_cast<unsigned char>(c));
  const std::uint64_t next_riff = source.size();
  source.insert(source.end(), full.bytes.begin() + static_cast<std::ptrdiff_t>(full.riff_pos[0]), full.bytes.end());
  put_le32(source, 4, static_cast<std::uint32_t>(next_riff - 8));
  for (const bool new_file : {false, true}) {
    SCOPED_TRACE(new_file ? "new file" : "in place");
    const TRun run = run_fix(source, new_file);
    if (!new_file) {
      EXPECT_EQ(run.result, fix_not_repaired);
      EXPECT_EQ(run.output, source);
      continue;
    }
    ASSERT_EQ(run.result, fix_repaired);
    EXPECT_EQ(run.lines[run.lines.size() - 2], (TLine{" " + msg(msg_damage_count) + " 1", mk_plain}));
    TOpened f(run.output);
    EXPECT_EQ(further_extents(f.file).size(), 2u);
    const std::vector<std::size_t> chunks = indexed_chunks(run.output, 2);
    EXPECT_GE(chunks[0] + chunks[1], 58u - 2);
  }
}

}  // namespace

namespace {

bool has_line(const TRun& run, std::uint32_t k) {
  return std::any_of(run.lines.begin(), run.lines.end(), [&](const TLine& l) { return l.text.find(msg(k)) != std::string::npos; });
}

// Writers name standard index chunks "ix00" or "00ix": both are indexes,
// never frames, and a new file writes the "ix##" form.
TEST(OpenDml, IndexChunksOfEitherIdFormAreIndexes) {
  use_english_catalogue();
  const TAvi full = three_extents();
  TBytes swapped = full.bytes;
  for (const std::uint64_t at : full.ix_pos) {
    const unsigned char d0 = swapped[at + 2], d1 = swapped[at + 3];
    swapped[at] = d0;
    swapped[at + 1] = d1;
    swapped[at + 2] = 'i';
    swapped[at + 3] = 'x';
  }
  const TRun fixed = run_fix(swapped, true);
  ASSERT_EQ(fixed.result, fix_repaired);
  EXPECT_EQ(fixed.output, full.bytes);

  const TRun in_place = run_fix(swapped, false);
  ASSERT_EQ(in_place.result, fix_repaired);
  EXPECT_EQ(in_place.lines[in_place.lines.size() - 2], (TLine{" " + msg(msg_damage_count) + " 0", mk_plain}));
  EXPECT_EQ(run_fix(in_place.output, false).output, in_place.output);
}

// Super indexes with room for fewer RIFF chunks than the file has: a new
// file keeps every chunk, says so and indexes it with idx1 alone; in place
// is refused and the file left as it was.
TEST(OpenDml, ASuperIndexWithoutRoomForEveryRiffChunkPutsThemTogether) {
  use_english_catalogue();
  TAviBuilder b = frames(TAviBuilder().opendml(1), 10);
  b.extent();
  b = frames(b, 12);
  const TAvi small_room = frames(b.extent(), 7).build();

  // The new file puts the three extents in one RIFF chunk, which its idx1
  // and the one-entry super indexes cover whole.
  const TRun fixed = run_fix(small_room.bytes, true);
  ASSERT_EQ(fixed.result, fix_repaired);
  EXPECT_FALSE(has_line(fixed, msg_super_index_full));
  TOpened f(fixed.output);
  EXPECT_EQ(further_extents(f.file).size(), 0u);
  const auto header = walk_header_list(f.file);
  ASSERT_TRUE(header);
  for (const TStreamList& s : header->streams) EXPECT_EQ(get_le32(fixed.output, s.indx->data + 4), 1u);
  EXPECT_EQ(index_entries(fixed.output, find_last_idx1(fixed.output)).size(), 58u);
  EXPECT_EQ(check(fixed.output).result, 0);

  const TRun in_place = run_fix(small_room.bytes, false);
  EXPECT_EQ(in_place.result, fix_not_repaired);
  EXPECT_TRUE(has_line(in_place, msg_further_riff_chunks));
  EXPECT_EQ(in_place.source_after, in_place.source_before);
}

// In place, a file of one RIFF chunk whose index chunks were damaged: its
// super indexes, which would lead players to garbage, are emptied (its idx1
// covers it); ones that still agree stay.
TEST(OpenDml, InPlaceOneRiffChunkEmptiesASuperIndexThatNoLongerLeadsToIndexes) {
  const TAvi avi = frames(TAviBuilder().opendml(), 6).build();
  for (const bool damaged : {true, false}) {
    SCOPED_TRACE(damaged);
    TBytes source = avi.bytes;
    if (damaged) std::fill_n(source.begin() + static_cast<std::ptrdiff_t>(avi.ix_pos[0]), 40, 0xA5);
    const TRun run = run_fix(source, false);
    ASSERT_EQ(run.result, fix_repaired);
    for (const std::uint32_t indx : avi.indx_at) EXPECT_EQ(get_le32(run.output, indx + 4), damaged ? 0u : 1u);
    EXPECT_EQ(check(run.output).result, 0);
  }
}

// A plain source whose new file outgrows one RIFF chunk (4 GiB; here the
// seam's few kilobytes) goes on in the OpenDML form in the rooms ffmpeg
// keeps, laid out as a writer of that form does; without rooms it is
// refused and no file is made.
TEST(OpenDml, APlainFileGrowsIntoFurtherRiffChunks) {
  use_english_catalogue();
  const TAvi expected = frames(frames(TAviBuilder().opendml(16), 12).extent(), 10, 12).build();
  const TBytes rooms = frames(TAviBuilder().opendml_rooms(16), 22).build().bytes;
  const TBytes rooms_no_index = frames(TAviBuilder().opendml_rooms(16).with_index(false), 22).build().bytes;
  const TBytes no_rooms = frames(TAviBuilder().with_index(false), 22).build().bytes;
  // Room for the first twelve frames with their indexes (and a spare pad
  // byte); the ten after them take less.
  const std::uint64_t twelve_frames = get_le32(expected.bytes, 4) + 2;
  const struct {
    const char* name;
    const TBytes& source;
    std::uint64_t limit;
    int result;
    std::uint32_t line;
    const TBytes* output;
  } cases[] = {
      {"rooms and an index", rooms, twelve_frames, fix_repaired, msg_grows_into_opendml, &expected.bytes},
      {"rooms, no index", rooms_no_index, twelve_frames, fix_repaired, msg_grows_into_opendml, &expected.bytes},
      {"rooms, one RIFF chunk is enough", rooms, max_riff_size, fix_repaired, msg_repaired, &rooms},
      {"no rooms", no_rooms, twelve_frames, fix_not_repaired, msg_no_room_to_grow, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    engine_detail::TScan::limit_riff_size(c.limit);
    const TRun run = run_fix(c.source, true);
    engine_detail::TScan::limit_riff_size(max_riff_size);
    EXPECT_EQ(run.result, c.result);
    EXPECT_TRUE(has_line(run, c.line));
    EXPECT_EQ(run.output_exists, c.output != nullptr);
    if (c.output) {
      EXPECT_EQ(run.output, *c.output);
            EXPECT_EQ(check(run.output).result, 0);
    }
    EXPECT_EQ(run.source_after, run.source_before);
    EXPECT_TRUE(run.temp_left.empty());
  }
}

}  // namespace

// A long recording whose start is lost, read behind the header of a short
// one of the same writer: its new file is the one the writer would have made
// of the frames that are left, every RIFF chunk and index as it writes them.
TEST(OpenDml, AReferenceHeaderCarriesALongRecordingWhoseStartIsLost) {
  const TAvi full = three_extents();
  TTempDir dir;
  TBytes lost = full.bytes;
  std::fill(lost.begin(), lost.begin() + static_cast<std::ptrdiff_t>(full.chunk_pos[2]), 0);
  write_file(dir.file("lost.avi"), lost);
  write_file(dir.file("good.avi"), frames(TAviBuilder().opendml(), 6).build().bytes);
  std::optional<std::string> written;
  ASSERT_EQ(fix_file(dir.file("lost.avi").string(), 1, written, {}, {true, dir.file("good.avi").string()}), fix_repaired);
  TAviBuilder left = frames(TAviBuilder().opendml(), 9, 1);
  left.extent();
  left = frames(left, 12);
  left.extent();
  EXPECT_TRUE(read_file(dir.file("Fixed.lost.avi")) == frames(left, 7).build().bytes);
  EXPECT_TRUE(read_file(dir.file("lost.avi")) == lost);
}
