// The application object: Qt's, plus the program's default handling of an
// error that escapes an event handler.
#pragma once

#include <QApplication>
#include <exception>

class TApplication final : public QApplication {
  Q_OBJECT

 public:
  TApplication(int& argc, char** argv);

  // Delivers the event; an error thrown by its handler (a preview whose file
  // cannot be opened, say) is shown in an error box and the program goes on.
  bool notify(QObject* receiver, QEvent* event) override;
};

// The box an escaped error gets: its text, as an error.
void show_application_error(const std::exception& error);
