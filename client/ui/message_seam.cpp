#include "message_seam.hpp"

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
    QMessageBox box(warning ? QMessageBox::Warning : QMessageBox::NoIcon,
                    warning ? QString() : QString::fromUtf8(kProductCaption), text, QMessageBox::Ok,
                    parent);
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
