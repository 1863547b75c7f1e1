// The window's ways out to the user and the desktop: message boxes, and opening a file or address
// with the desktop's own program. Each passes through here so that tests can watch and answer
// them: a box still runs modally as the user would see it, and the observer gets it just before,
// to record it and schedule its answer (QTimer::singleShot).
#pragma once

#include <QString>
#include <QUrl>

#include <functional>

#include "session/message_style.hpp"

class QMessageBox;
class QWidget;

namespace tarvotcpc::ui {

// Object names of the boxes, by style.
inline constexpr char kWarningBoxName[] = "warningMessageBox";
inline constexpr char kNoticeBoxName[] = "noticeMessageBox";

// A modal box with an OK button, owned by parent: a warning has the warning icon and no caption,
// a notice the caption "TARVO TCP/IP CLIENT" and no icon.
void ShowMessageBox(QWidget *parent, const QString &text, MessageStyle style);

// Runs a box that was set up elsewhere (the version box), under the same observer.
void ExecMessageBox(QMessageBox &box);

using MessageBoxObserver = std::function<void(QMessageBox *box)>;
// Replaces the observer; an empty one restores plain behaviour.
void SetMessageBoxObserver(MessageBoxObserver observer);

// Opens url with the desktop; false when nothing could open it.
bool OpenWithDesktop(const QUrl &url);
using DesktopOpener = std::function<bool(const QUrl &url)>;
// Replaces the opener; an empty one restores the desktop's.
void SetDesktopOpener(DesktopOpener opener);

} // namespace tarvotcpc::ui
