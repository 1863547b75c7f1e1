#include "window/application.hpp"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace tarvotcpc::ui {

namespace {

QtMessageHandler passOn = nullptr;

// Qt's font matching writes a warning for every fallback font it rejects for a script that it
// shapes with OpenType tables: a few hundred lines on the terminal the first time bytes shown as
// text reach such a script (Thaana, from random bytes read as UTF-8). They tell the user nothing.
void DropFontMatchingChatter(QtMsgType type, const QMessageLogContext &context,
                             const QString &message) {
    if (type == QtWarningMsg && message.startsWith(QLatin1String("  OpenType support missing for")))
        return;
    if (passOn != nullptr) passOn(type, context, message);
}

} // namespace

void SetUpApplication() {
    if (passOn == nullptr) passOn = qInstallMessageHandler(DropFontMatchingChatter);
    QApplication::setApplicationName(QStringLiteral("tarvotcpc"));
    // No display name: under X11 Qt would add it to every title, and the titles are exact.
    QApplication::setApplicationVersion(QStringLiteral(TARVOTCPC_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("tarvotcpc"));

    // Every text the user sees is Japanese, Qt's own included (file dialog, context menus), on any
    // desktop language. Without the translations installed, Qt's texts stay in English.
    auto *translator = new QTranslator(qApp);
    if (translator->load(QStringLiteral("qtbase_ja"),
                         QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        QCoreApplication::installTranslator(translator);
    } else {
        qWarning("qtbase_ja not found: Qt's own texts stay in English "
                 "(Debian package qt6-translations-l10n)");
        delete translator;
    }
}

} // namespace tarvotcpc::ui
