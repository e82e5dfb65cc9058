// TAboutBox: the modal About box with the product name, version, logo and
// links to the home page and the support address.
#include "ui/about/about_unit.h"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QPainter>
#include <QPalette>
#include <QPixmap>
#include <QRect>
#include <QScreen>
#include <QShowEvent>
#include <QString>

#include "ui/about/VersionInfoUnit.h"
#include "ui/toolkit/button_pictures.h"
#include "ui/toolkit/shell_open.h"

namespace {

const QString site_address = QStringLiteral("https://reelwright.example.org/");
const QString support_link = QStringLiteral("mailto:support@reelwright.example.org");

// Makes a label at (left, top) in client pixels, sized to its text.
template <typename Label>
Label* place(Label* label, int left, int top) {
  label->adjustSize();
  label->move(left, top);
  return label;
}

// The logo flattened onto white: no alpha channel, 24 bits per pixel.
QImage opaque_logo(int size) {
  QImage image(size, size, QImage::Format_RGB888);
  image.fill(Qt::white);
  QPainter painter(&image);
  painter.drawPixmap(QRect(0, 0, size, size), reelwright_logo(size));
  return image;
}

}  // namespace

TAboutBox::TAboutBox(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint),
      ProductName(place(new QLabel(this), 156, 19)),
      Label2(place(new QLabel(QStringLiteral("\u00a9 2026"), this), 313, 56)),
      Version(place(new QLabel(QStringLiteral("Version"), this), 156, 39)),
      VersionLabel(place(new QLabel(this), 206, 39)),
      SiteLabel(place(new TLinkLabel(site_address, this), 156, 104)),
      Label3(place(new TLinkLabel(support_link, this), 156, 120)),
      Label4(place(new QLabel(QStringLiteral("Reelwright developers"), this), 156, 57)),
      Image(new QLabel(this)),
      logo_(opaque_logo(logo_size)) {
  setModal(true);
  setFont(QFontDatabase::systemFont(QFontDatabase::GeneralFont));
  setFixedSize(client_width, client_height);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, Qt::white);
  setPalette(pal);
  setAutoFillBackground(true);

  for (QLabel* label : {ProductName, Label2, Version, VersionLabel, Label4}) label->setTextFormat(Qt::PlainText);
  Image->setPixmap(QPixmap::fromImage(logo_));
  place(Image, 8, 11);

  connect(SiteLabel, &TLinkLabel::clicked, this, &TAboutBox::SiteLabelClick);
  connect(Label3, &TLinkLabel::clicked, this, &TAboutBox::Label3Click);

  FormCreate();
}

void TAboutBox::FormCreate() {
  const QString product = version_info != nullptr ? version_info->ProductName() : QString();
  const QString file_version = version_info != nullptr ? version_info->FileVersion() : QString();
  setWindowTitle(product + QStringLiteral(" - ") + QStringLiteral("About"));
  ProductName->setText(product);
  ProductName->adjustSize();
  VersionLabel->setText(file_version);
  VersionLabel->adjustSize();
}

void TAboutBox::SiteLabelClick() { shell_open(SiteLabel->text()); }

void TAboutBox::Label3Click() { shell_open(Label3->text()); }

QImage TAboutBox::logo_picture() const { return logo_; }

void TAboutBox::showEvent(QShowEvent* event) {
  // Centred on the screen rather than over the main window.
  if (!event->spontaneous()) {
    const QScreen* shown_on = screen() != nullptr ? screen() : QGuiApplication::primaryScreen();
    if (shown_on != nullptr) {
      const QRect area = shown_on->availableGeometry();
      const QRect frame = frameGeometry();
      move(area.x() + (area.width() - frame.width()) / 2, area.y() + (area.height() - frame.height()) / 2);
    }
  }
  QDialog::showEvent(event);
}

TAboutBox* AboutBox = nullptr;
