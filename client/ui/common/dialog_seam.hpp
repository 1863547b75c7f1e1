// The open-file dialog passes through here so that tests can watch and answer it: it still runs
// modally as the user would see it, and the observer gets it just before, to look at what it
// offers and schedule its answer (QTimer::singleShot). Message boxes go through message_seam.hpp.
#pragma once

#include <functional>

class QFileDialog;

namespace tarvotcpc::ui {

// Runs dialog modally; its result (QDialog::Accepted or Rejected).
int ExecFileDialog(QFileDialog &dialog);

using FileDialogObserver = std::function<void(QFileDialog *dialog)>;
// Replaces the observer; an empty one restores plain behaviour.
void SetFileDialogObserver(FileDialogObserver observer);

} // namespace tarvotcpc::ui
