#include "common/dialog_seam.hpp"

#include <QFileDialog>

#include <utility>

namespace tarvotcpc::ui {

namespace {

FileDialogObserver &Observer() {
    static FileDialogObserver observer;
    return observer;
}

} // namespace

int ExecFileDialog(QFileDialog &dialog) {
    if (Observer()) Observer()(&dialog);
    return dialog.exec();
}

void SetFileDialogObserver(FileDialogObserver observer) {
    Observer() = std::move(observer);
}

} // namespace tarvotcpc::ui
