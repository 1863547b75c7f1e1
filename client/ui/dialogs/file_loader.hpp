// Loading a file into the send page (it is not a dialog, though it shows some).
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

#include "files/file_text.hpp"

class QProgressDialog;
class QWidget;

namespace tarvotcpc::ui {

// Asks for a file and reads it on a thread of its own, with a progress window, so
// that a file of any size never holds up the window; the send page stays usable meanwhile. The
// text is the file's bytes up to its first NUL, as UTF-8, line breaks as LF. A file that cannot
// be opened shows kFileOpenFailedText and appends nothing; an empty file appends nothing and
// shows nothing. One file loads at a time: Open() or Load() while a file loads brings its
// progress window to the front instead.
//
// The file dialog offers "すべてのファイル(*.*)", which matches every name, with or without a dot,
// and starts at the file chosen last.
class FileLoader : public QObject {
    Q_OBJECT

  public:
    // parent owns the file and message dialogs and receives the progress window.
    explicit FileLoader(QWidget *parent);
    ~FileLoader() override; // stops a running load and waits for its thread

    // With options, a file is loaded whole as the send page would send it (LoadFileForPage): a
    // file that is not text in the encoding is loaded in the escape form only once the user
    // agreed to the question (escapesNeeded then asks for escape mode), and not at all otherwise.
    // Without, text up to the first NUL as always.
    void SetPageOptions(std::function<PageTextOptions()> options) { options_ = std::move(options); }

    // The file chosen last ("" before the first); the file dialog starts there.
    QString lastPath() const { return lastPath_; }
    bool isLoading() const;

  public slots:
    // Shows the open-file dialog, then loads the file chosen.
    void Open();
    // Loads path without asking, and remembers it as the file chosen last.
    void Load(const QString &path);
    // Stops a running load: a file still being read appends nothing, and of a text already
    // going to the page the pieces not yet handed over stay out.
    void Cancel();

  signals:
    // Text to append at the end of the send page. A large file comes in several pieces, in order,
    // one per turn of the event loop, so that the page takes it without holding up the window;
    // the pieces together are the file's text. Never emitted with an empty text.
    void textReady(const QString &text);
    // A load has ended, whatever its outcome (after textReady or the failure message).
    void finished();
    // The user agreed to load a file in the escape form: escape mode must be on to send it.
    void escapesNeeded();

  private:
    class Job;

    void ShowProgress();
    void UpdateProgress();
    void ReadDone();
    void AppendPiece();
    void Release(); // ends the job and its progress window without a word
    void Finish();

    QWidget *window_;
    QString lastPath_;
    std::function<PageTextOptions()> options_;
    Job *job_ = nullptr;
    QPointer<QProgressDialog> progress_;
};

} // namespace tarvotcpc::ui
