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
