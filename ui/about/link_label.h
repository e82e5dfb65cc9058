// TLinkLabel: a plain-text label that looks like a link and reports a left click.
#pragma once

#include <QLabel>
#include <QString>
#include <QWidget>

class QMouseEvent;

// The text stays plain (no rich-text anchors), so what the user reads is
// exactly what the owner opens on clicked().
class TLinkLabel final : public QLabel {
  Q_OBJECT

 public:
  explicit TLinkLabel(const QString& text, QWidget* parent = nullptr);

 signals:
  // A left button pressed on the label and released over it.
  void clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
};
