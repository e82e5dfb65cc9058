// The toolkit's own texts in the user's language.
#include "ui/toolkit/toolkit_language.h"

#include <QCoreApplication>
#include <QHash>
#include <QLibraryInfo>
#include <QLocale>
#include <QPointer>
#include <QTranslator>
#include <utility>

#include "ui/toolkit/message_box.h"

namespace {

// The box captions in the languages the program has modules for.
QHash<QString, QString> box_captions(const std::string& language) {
  if (language == "de") {
    return {{QStringLiteral("Warning"), QStringLiteral("Warnung")},
            {QStringLiteral("Error"), QStringLiteral("Fehler")},
            {QStringLiteral("Information"), QStringLiteral("Information")},
            {QStringLiteral("Confirmation"), QStringLiteral("Bestätigung")}};
  }
  return {};
}

class TCaptionTranslator final : public QTranslator {
 public:
  TCaptionTranslator(QHash<QString, QString> captions, QObject* parent)
      : QTranslator(parent), captions_(std::move(captions)) {}

  [[nodiscard]] QString translate(const char* context, const char* source_text, const char* /*disambiguation*/,
                                  int /*n*/) const override {
    if (qstrcmp(context, box_caption_context) != 0) return {};
    return captions_.value(QString::fromUtf8(source_text));
  }
  [[nodiscard]] bool isEmpty() const override { return captions_.isEmpty(); }

 private:
  QHash<QString, QString> captions_;
};

QPointer<QTranslator>& qt_translator() {
  static QPointer<QTranslator> installed;
  return installed;
}

QPointer<QTranslator>& caption_translator() {
  static QPointer<QTranslator> installed;
  return installed;
}

}  // namespace

void translate_toolkit(const std::string& language) {
  // A translator leaves the application's list when it is destroyed.
  delete qt_translator().data();
  delete caption_translator().data();
  QCoreApplication* const application = QCoreApplication::instance();
  if (application == nullptr || language.empty()) return;

  auto* qt = new QTranslator(application);
  if (qt->load(QLocale(QString::fromStdString(language)), QStringLiteral("qtbase"), QStringLiteral("_"),
               QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    QCoreApplication::installTranslator(qt);
    qt_translator() = qt;
  } else {
    delete qt;
  }
  if (QHash<QString, QString> captions = box_captions(language); !captions.isEmpty()) {
    caption_translator() = new TCaptionTranslator(std::move(captions), application);
    QCoreApplication::installTranslator(caption_translator());
  }
}
