// What the window tests share: answering message boxes, driving modal dialogs, a fresh settings
// file per test, and waiting on the window.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <string>
#include <vector>

#include "box_answerer.hpp"
#include "message_seam.hpp"
#include "settings.hpp"
#include "temp_dir.hpp"

namespace tarvotcpc::ui::testing {

// Runs act on the first modal dialog of type T once it is shown, from within its event loop.
template <typename T> void WhenModal(std::function<void(T *)> act, int triesLeft = 200) {
    QTimer::singleShot(10, [act = std::move(act), triesLeft] {
        if (auto *dialog = qobject_cast<T *>(QApplication::activeModalWidget())) {
            act(dialog);
        } else if (triesLeft > 0) {
            WhenModal<T>(act, triesLeft - 1);
        }
    });
}

// A settings file of its own, with the given options set before the window reads it.
class SettingsFile {
  public:
    explicit SettingsFile(const std::vector<std::string> &options = {},
                          const std::vector<std::string> &hosts = {}) {
        path_ = dir_.Path("tarvotcpc.ini");
        std::string text = "[TARVOTCPC]\n";
        for (const std::string &line : options)
            text += line + "\n";
        text += "[HOSTS]\n";
        for (const std::string &line : hosts)
            text += line + "\n";
        text += "[TEMPLATES]\n";
        std::ofstream(path_) << text;
    }
    const std::string &Path() const { return path_; }

  private:
    tarvotcpc::testing::TempDir dir_;
    std::string path_;
};

} // namespace tarvotcpc::ui::testing
