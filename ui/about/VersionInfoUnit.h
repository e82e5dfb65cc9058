// TrpVersionInfo: the executable's version strings (product name, file
// version, ...) read once from its version block, as a component that its
// owner destroys. The window titles, the status bar and the About box read
// the one instance, version_info.
#pragma once

#include <QObject>
#include <QString>
#include <string>

#include "platform/version_info_strings.h"

class TrpVersionInfo : public QObject {
  Q_OBJECT
  Q_PROPERTY(QString CompanyName READ CompanyName CONSTANT)
  Q_PROPERTY(QString FileDescription READ FileDescription CONSTANT)
  Q_PROPERTY(QString FileVersion READ FileVersion CONSTANT)
  Q_PROPERTY(QString InternalName READ InternalName CONSTANT)
  Q_PROPERTY(QString LegalCopyright READ LegalCopyright CONSTANT)
  Q_PROPERTY(QString LegalTradeMark READ LegalTradeMark CONSTANT)
  Q_PROPERTY(QString OriginalFileName READ OriginalFileName CONSTANT)
  Q_PROPERTY(QString ProductName READ ProductName CONSTANT)
  Q_PROPERTY(QString ProductVersion READ ProductVersion CONSTANT)
  Q_PROPERTY(QString Comments READ Comments CONSTANT)

 public:
  // Reads the strings of the running executable.
  explicit TrpVersionInfo(QObject* owner);
  // Reads the strings of the executable at `exe_path` (for tests and tools).
  TrpVersionInfo(QObject* owner, std::string exe_path);

  [[nodiscard]] virtual QString GetVersionString(TVersionType index) const;
  virtual void ReadVersionInfo();

  [[nodiscard]] QString CompanyName() const;
  [[nodiscard]] QString FileDescription() const;
  [[nodiscard]] QString FileVersion() const;
  [[nodiscard]] QString InternalName() const;
  [[nodiscard]] QString LegalCopyright() const;
  [[nodiscard]] QString LegalTradeMark() const;
  [[nodiscard]] QString OriginalFileName() const;
  [[nodiscard]] QString ProductName() const;
  [[nodiscard]] QString ProductVersion() const;
  [[nodiscard]] QString Comments() const;

 private:
  std::string exe_path_;
  TVersionStrings strings_;
};

// The program-wide instance, made by the main window's creation and owned
// by the application object; null before that.
extern TrpVersionInfo* version_info;
