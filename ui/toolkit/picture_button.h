// A flat navigation-bar button: a 32×32 picture on the left, its caption beside it.
#pragma once

#include <QAbstractButton>
#include <QPixmap>

class TPictureButton final : public QAbstractButton {
  Q_OBJECT

 public:
  static constexpr int button_width = 249;
  static constexpr int button_height = 50;
  static constexpr int picture_left = 10;
  static constexpr int caption_left = picture_left + 32 + 10;

  static constexpr QRgb background_colour = qRgb(255, 255, 255);
  static constexpr QRgb hover_colour = qRgb(225, 236, 252);
  static constexpr QRgb pressed_colour = qRgb(176, 202, 244);

  explicit TPictureButton(QWidget* parent = nullptr);
  TPictureButton(const QPixmap& picture, const QString& caption, QWidget* parent = nullptr);

  void set_caption(const QString& caption);
  void set_picture(const QPixmap& picture);
  [[nodiscard]] QPixmap picture() const;

  [[nodiscard]] QSize sizeHint() const override;
  [[nodiscard]] QSize minimumSizeHint() const override;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QPixmap picture_;
  QPixmap greyed_picture_;
};
