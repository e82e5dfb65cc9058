// The one place the program shows modal message boxes, with a hook for tests to answer them.
#include "ui/toolkit/message_box.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QPushButton>
#include <utility>

#include "platform/message_kind.h"

namespace {

TBoxAnswerer& installed_answerer() {
  static TBoxAnswerer installed;
  return installed;
}

}  // namespace

void set_box_answerer(TBoxAnswerer answerer) { installed_answerer() = std::move(answerer); }

QMessageBox::Icon box_icon(std::uint8_t kind) {
  switch (kind) {
    case mk_warning: return QMessageBox::Warning;
    case mk_error: return QMessageBox::Critical;
    case mk_information: return QMessageBox::Information;
    case mk_confirmation: return QMessageBox::Question;
    default: return QMessageBox::NoIcon;
  }
}

QString box_caption(std::uint8_t kind) {
  switch (kind) {
    case mk_warning: return QCoreApplication::translate(box_caption_context, "Warning");
    case mk_error: return QCoreApplication::translate(box_caption_context, "Error");
    case mk_information: return QCoreApplication::translate(box_caption_context, "Information");
    case mk_confirmation: return QCoreApplication::translate(box_caption_context, "Confirmation");
    default:
      // Falls back to the executable's name when no display name was set.
      return QGuiApplication::applicationDisplayName();
  }
}

void show_message_box(QWidget* parent, const QString& text, std::uint8_t kind) {
  if (const TBoxAnswerer& answer = installed_answerer()) {
    answer(text, kind);
    return;
  }
  QMessageBox box(box_icon(kind), box_caption(kind), text, QMessageBox::Ok, parent);
  // Reports carry file names, which must never be taken for markup.
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(QMessageBox::Ok);
  box.setEscapeButton(QMessageBox::Ok);
  // A confirmation still offers only OK: the user acknowledges, never chooses.
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
}

void show_plain_box(const QString& text) { show_message_box(nullptr, text, mk_plain); }
