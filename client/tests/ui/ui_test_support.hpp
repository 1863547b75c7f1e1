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

#include "message_seam.hpp"
#include "settings.hpp"
#include "temp_dir.hpp"

namespace tarvotcpc::ui::testing {

// One box as the user saw it.
struct SeenBox {
    QString objectName;
    QString title;
    QString text;
    QMessageBox::Icon icon;
};

// Records every box and presses its OK once it runs.
class BoxAnswerer {
  public:
    BoxAnswerer() {
        SetMessageBoxObserver([this](QMessageBox *box) {
            seen_.push_back({box->objectName(), box->windowTitle(), box->text(), box->icon()});
            QPointer<QMessageBox> guard(box);
            QTimer::singleShot(0, box, [guard] {
                if (guard) guard->button(QMessageBox::Ok)->click();
            });
        });
    }
    ~BoxAnswerer() { SetMessageBoxObserver({}); }
    BoxAnswerer(const BoxAnswerer &) = delete;
    BoxAnswerer &operator=(const BoxAnswerer &) = delete;

    const std::vector<SeenBox> &Seen() const { return seen_; }

  private:
    std::vector<SeenBox> seen_;
};

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
