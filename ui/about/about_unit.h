// TAboutBox: the modal About box with the product name, version, logo and
// links to the home page and the support address.
#pragma once

#include <QDialog>
#include <QImage>
#include <QLabel>
#include <QWidget>

#include "ui/about/link_label.h"

class QShowEvent;

// Made once at start-up and shown by the main window with exec(). The
// controls are public so that the window and tests can reach them by name.
class TAboutBox final : public QDialog {
  Q_OBJECT

 public:
  static constexpr int client_width = 448;
  static constexpr int client_height = 148;
  static constexpr int logo_size = 128;

  explicit TAboutBox(QWidget* parent = nullptr);

  QLabel* ProductName;
  QLabel* Label2;
  QLabel* Version;
  QLabel* VersionLabel;
  TLinkLabel* SiteLabel;
  TLinkLabel* Label3;
  QLabel* Label4;
  QLabel* Image;

  // Fills the title and the version labels from version_info (all empty
  // without one). Run once from the constructor; showing again keeps them.
  void FormCreate();
  // Hand the link's shown text to the desktop; the outcome is not reported.
  void SiteLabelClick();
  void Label3Click();

  // The logo as the Image control shows it: opaque RGB, composited on white.
  [[nodiscard]] QImage logo_picture() const;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  QImage logo_;
};

// The program's About box, made by the start-up after the main window; null before that.
extern TAboutBox* AboutBox;
