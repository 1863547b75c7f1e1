// The help commands' targets and the version box.
#pragma once

#include <QUrl>

class QWidget;

namespace tarvotcpc::ui {

// The README as installed beside the program's documentation, or the one of the source tree that
// the program was built from when it runs from its build folder.
QUrl ReadmeUrl();
// The folder of the installed documentation (the source tree's docs/ when not installed).
QUrl DocumentationUrl();

// The program's and the library's versions, and the Qt release in use.
QString AboutText();
void ShowAbout(QWidget *parent);

} // namespace tarvotcpc::ui
