#include "common/message_seam.hpp"

#include <QDesktopServices>
#include <QMessageBox>

#include <utility>

namespace tarvotcpc::ui {

namespace {

MessageBoxObserver &Observer() {
    static MessageBoxObserver observer;
    return observer;
}

DesktopOpener &Opener() {
    static DesktopOpener opener;
    return opener;
}

} // namespace

void ShowMessageBox(QWidget *parent, const QString &text, MessageStyle style) {
    const bool warning = style == MessageStyle::Warning;
    // A warning has no caption; Qt would put the program's name in an empty title bar, so a
    // single space keeps it blank.
    QMessageBox box(warning ? QMessageBox::Warning : QMessageBox::NoIcon,
                    warning ? QStringLiteral(" ") : QString::fromUtf8(kProductCaption), text,
                    QMessageBox::Ok, parent);
    box.setObjectName(QString::fromLatin1(warning ? kWarningBoxName : kNoticeBoxName));
    box.setAccessibleName(text);
    ExecMessageBox(box);
}

void ExecMessageBox(QMessageBox &box) {
    if (Observer()) Observer()(&box);
    box.exec();
}

void SetMessageBoxObserver(MessageBoxObserver observer) {
    Observer() = std::move(observer);
}

bool OpenWithDesktop(const QUrl &url) {
    if (Opener()) return Opener()(url);
    return QDesktopServices::openUrl(url);
}

void SetDesktopOpener(DesktopOpener opener) {
    Opener() = std::move(opener);
}

} // namespace tarvotcpc::ui
