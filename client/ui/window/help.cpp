#include "window/help.hpp"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QWidget>

#include "session/message_style.hpp"
#include "common/message_seam.hpp"
#include "vornhash.h"

namespace tarvotcpc::ui {

namespace {

// The first of the places that exists: installed (relative to the program, so that a copied
// prefix keeps working), then the source tree.
QString FirstExisting(const QString &installed, const QString &source) {
    const QString path = QDir(QCoreApplication::applicationDirPath()).filePath(installed);
    if (QFileInfo::exists(path)) return QDir::cleanPath(path);
    return source;
}

} // namespace

QUrl ReadmeUrl() {
    return QUrl::fromLocalFile(FirstExisting(QStringLiteral(TARVOTCPC_RELATIVE_DOCDIR "/README.md"),
                                             QStringLiteral(TARVOTCPC_SOURCE_DIR "/README.md")));
}

QUrl DocumentationUrl() {
    return QUrl::fromLocalFile(FirstExisting(QStringLiteral(TARVOTCPC_RELATIVE_DOCDIR),
                                             QStringLiteral(TARVOTCPC_SOURCE_DIR "/docs")));
}

QString AboutText() {
    return QStringLiteral("<p><b>%1</b> %2</p>"
                          "<p>libvornhash %3 (interface %4)<br>Qt %5</p>")
        .arg(QString::fromUtf8(kProductCaption), QStringLiteral(TARVOTCPC_VERSION),
             QString::fromLatin1(VORNHASH_VERSION_STRING), QString::number(VornHashVersion()),
             QString::fromLatin1(qVersion()));
}

void ShowAbout(QWidget *parent) {
    QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8("バージョン情報"), AboutText(),
                    QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("aboutMessageBox"));
    box.setIconPixmap(QIcon(QStringLiteral(":/icons/tarvotcpc.svg")).pixmap(64, 64));
    ExecMessageBox(box);
}

} // namespace tarvotcpc::ui
