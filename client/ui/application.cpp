#include "application.hpp"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace tarvotcpc::ui {

void SetUpApplication() {
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
