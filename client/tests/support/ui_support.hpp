// What the window and dialog tests share: answering message boxes, driving modal dialogs from
// within their own event loops, and a settings file per test, written before a window reads it or
// loaded and read back as the next start would.
#pragma once

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QFileDialog>
#include <QLineEdit>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <QtTest>

#include <deque>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "support/box_answerer.hpp"
#include "common/dialog_seam.hpp"
#include "common/message_seam.hpp"
#include "settings/settings.hpp"
#include "support/temp_dir.hpp"

namespace tarvotcpc::ui::testing {

using Entries = std::vector<std::pair<std::string, std::string>>;

inline Entries EntriesOf(const Hash &hash) {
    Entries entries;
    for (int32_t i = 0; i < hash.count; ++i)
        entries.emplace_back(hash.keys[i], hash.values[i]);
    return entries;
}

// Runs act on the modal dialog of type T once it is the active one, from within its event loop.
// act is to close it; should it leave the dialog open (a failed check returns early), the dialog
// is rejected so that the test goes on to report the failure instead of hanging.
template <typename T> void WhenModal(std::function<void(T *)> act, int triesLeft = 500) {
    QTimer::singleShot(10, [act = std::move(act), triesLeft] {
        if (auto *dialog = qobject_cast<T *>(QApplication::activeModalWidget())) {
            QPointer<T> guard(dialog);
            act(dialog);
            if (guard && guard->isVisible()) guard->reject();
        } else if (triesLeft > 0) {
            WhenModal<T>(act, triesLeft - 1);
        } else {
            qWarning("no modal dialog of the expected type came up");
        }
    });
}

template <typename W> W *Child(QObject *parent, const char *name) {
    W *child = parent->findChild<W *>(QString::fromLatin1(name));
    if (child == nullptr) qFatal("no child %s", name);
    return child;
}

inline void Click(QObject *parent, const char *name) {
    Child<QAbstractButton>(parent, name)->click();
}

// A settings file of its own with the given contents, loaded as the main window would load it.
class SettingsFixture {
  public:
    explicit SettingsFixture(const std::string &contents) {
        path_ = dir_.Path("tarvotcpc.ini");
        tarvotcpc::testing::WriteFile(path_, contents);
        LoadSettings(settings_, path_);
    }
    ~SettingsFixture() { FreeSettings(settings_); }
    SettingsFixture(const SettingsFixture &) = delete;
    SettingsFixture &operator=(const SettingsFixture &) = delete;

    SettingsHashes &Settings() { return settings_; }
    const std::string &Path() const { return path_; }
    std::string FileBytes() const { return tarvotcpc::testing::ReadFile(path_); }
    std::string FilePath(const std::string &name) const { return dir_.Path(name); }

    // What the next start of the program would find in the file.
    struct Reloaded {
        Entries options;
        Entries hosts;
        Entries templates;
    };
    Reloaded Reload() const {
        SettingsHashes fresh{};
        LoadSettings(fresh, path_);
        Reloaded reloaded{EntriesOf(fresh.options), EntriesOf(fresh.hosts),
                          EntriesOf(fresh.templates)};
        FreeSettings(fresh);
        return reloaded;
    }

  private:
    tarvotcpc::testing::TempDir dir_;
    std::string path_;
    SettingsHashes settings_{};
};

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

// Answers the next file dialog by choosing path (or cancelling, for an empty path), after letting
// look see it as offered.
class FileDialogAnswerer {
  public:
    FileDialogAnswerer(QString path, std::function<void(QFileDialog *)> look = {}) {
        SetFileDialogObserver([this, path, look](QFileDialog *dialog) {
            ++shown;
            if (look) look(dialog);
            QTimer::singleShot(0, dialog, [dialog, path] {
                if (path.isEmpty()) {
                    dialog->reject();
                    return;
                }
                // Typed over whatever the dialog offered: the file it offered is no longer
                // selected in its list.
                dialog->findChild<QAbstractItemView *>(QStringLiteral("listView"))
                    ->selectionModel()
                    ->clear();
                dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
                QMetaObject::invokeMethod(dialog, "accept");
            });
        });
    }
    ~FileDialogAnswerer() { SetFileDialogObserver({}); }
    FileDialogAnswerer(const FileDialogAnswerer &) = delete;
    FileDialogAnswerer &operator=(const FileDialogAnswerer &) = delete;

    int shown = 0;
};

} // namespace tarvotcpc::ui::testing
