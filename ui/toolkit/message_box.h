// The one place the program shows modal message boxes, with a hook for tests to answer them.
#pragma once

#include <QMessageBox>
#include <QString>
#include <cstdint>
#include <functional>

class QWidget;

// Called instead of showing a box; the box then counts as closed with OK.
using TBoxAnswerer = std::function<void(const QString& text, std::uint8_t kind)>;

// Installs the answerer; nullptr shows real boxes again.
void set_box_answerer(TBoxAnswerer answerer);

// A modal box of the report kind (mk_warning .. mk_plain; anything else is
// plain) with a single OK button; returns when it is closed.
void show_message_box(QWidget* parent, const QString& text, std::uint8_t kind);

// A box without icon, captioned with the application's name; usable before
// any window exists.
void show_plain_box(const QString& text);

// The icon and caption a kind's box gets; the caption in the toolkit's
// language (its English text translated in this context).
inline constexpr const char* box_caption_context = "TMessageBox";
[[nodiscard]] QMessageBox::Icon box_icon(std::uint8_t kind);
[[nodiscard]] QString box_caption(std::uint8_t kind);
