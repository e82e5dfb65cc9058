// The application object and its default error handling.
#include "app/application.h"

#include <QString>
#include <stdexcept>

#include "platform/message_kind.h"
#include "ui/toolkit/message_box.h"

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

void show_application_error(const std::exception& error) {
  show_message_box(QApplication::activeModalWidget() != nullptr ? QApplication::activeModalWidget() : QApplication::activeWindow(),
                   QString::fromUtf8(error.what()), mk_error);
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    show_application_error(error);
  } catch (...) {
    show_application_error(std::runtime_error("Unknown error"));
  }
  // The event counts as handled: nothing else should act on it now.
  return true;
}
