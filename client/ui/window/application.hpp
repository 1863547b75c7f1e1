// The application object as the program sets it up before its window opens: its names and the
// language of Qt's own texts. Tests set up theirs the same way.
#pragma once

namespace tarvotcpc::ui {

// Call once, after the QApplication exists.
void SetUpApplication();

} // namespace tarvotcpc::ui
