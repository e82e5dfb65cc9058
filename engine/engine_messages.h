// Message numbers the engine's lines are built from (offsets to lang_base).
#pragma once

#include <cstdint>

inline constexpr std::uint32_t msg_cannot_open = 27;
inline constexpr std::uint32_t msg_not_avi = 28;
inline constexpr std::uint32_t msg_repair_started = 31;
inline constexpr std::uint32_t msg_no_temp_file = 32;
inline constexpr std::uint32_t msg_no_output_file = 33;
inline constexpr std::uint32_t msg_scanning = 34;
inline constexpr std::uint32_t msg_stopped = 35;
inline constexpr std::uint32_t msg_damage_frame = 36;
inline constexpr std::uint32_t msg_damage_offset = 37;
inline constexpr std::uint32_t msg_repaired = 38;
inline constexpr std::uint32_t msg_damage_count = 39;
inline constexpr std::uint32_t msg_done = 40;
inline constexpr std::uint32_t msg_no_movi = 70;
inline constexpr std::uint32_t msg_too_large = 71;
inline constexpr std::uint32_t msg_too_short = 72;
inline constexpr std::uint32_t msg_read_error = 73;
inline constexpr std::uint32_t msg_write_error = 74;
inline constexpr std::uint32_t msg_data_after_index = 75;
// Check for Errors.
inline constexpr std::uint32_t msg_checking = 80;
inline constexpr std::uint32_t msg_movi_begins = 81;
inline constexpr std::uint32_t msg_movi_ends = 82;
inline constexpr std::uint32_t msg_no_old_index = 83;
inline constexpr std::uint32_t msg_old_index_at = 84;
inline constexpr std::uint32_t msg_old_index_entries = 85;
inline constexpr std::uint32_t msg_chunks_found = 86;
inline constexpr std::uint32_t msg_index_agrees = 87;
inline constexpr std::uint32_t msg_index_count_differs = 88;
inline constexpr std::uint32_t msg_index_entry_differs = 89;
inline constexpr std::uint32_t msg_no_key_frames = 90;
inline constexpr std::uint32_t msg_chunk_cut_off = 91;
inline constexpr std::uint32_t msg_no_problems = 92;
inline constexpr std::uint32_t msg_problems = 93;
inline constexpr std::uint32_t msg_fix_would_change = 94;
inline constexpr std::uint32_t msg_fix_would_keep = 95;
// Strip Index.
inline constexpr std::uint32_t msg_stripping = 96;
inline constexpr std::uint32_t msg_index_removed = 97;
inline constexpr std::uint32_t msg_no_index_to_strip = 98;
inline constexpr std::uint32_t msg_index_not_strippable = 99;
// Check for Errors, again.
inline constexpr std::uint32_t msg_chunk_into_index = 100;
// Repair, continued.
inline constexpr std::uint32_t msg_cut_off_left_out = 101;
inline constexpr std::uint32_t msg_header_unreadable = 102;
// Check for Errors, continued.
inline constexpr std::uint32_t msg_absolute_offsets = 103;
