// The kinds of a report: a log line's marker and a message box's type. Every
// layer that reports or shows a report uses them; they depend on nothing.
#pragma once

#include <cstdint>

// The values are the message-box types of the toolkit.
enum : std::uint8_t {
  mk_warning = 0,
  mk_error = 1,
  mk_information = 2,
  mk_confirmation = 3,
  mk_plain = 4,
};
