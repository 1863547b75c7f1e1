// Saving the transcript to a file the user chooses, in steps between the window's events, with a
// progress window that can cancel it. The decisions (what is written, atomically) are SaveJob's.
#pragma once

#include <QObject>
#include <QPointer>

#include <memory>

#include "saves/saving.hpp"
#include "transcript/text_decoder.hpp"
#include "transcript/transcript.hpp"

class QProgressDialog;
class QTimer;
class QWidget;

namespace tarvotcpc {
class TranscriptSource;
}

namespace tarvotcpc::ui {

class SaveRunner : public QObject {
    Q_OBJECT

  public:
    explicit SaveRunner(QWidget *window);
    ~SaveRunner() override;

    // Asks for the file (through the file dialog seam), then saves transcript into it. While a
    // save runs, a second one only brings its progress window to the front.
    void Start(SaveKind kind, const Transcript &transcript, Encoding encoding);
    // Stops a running save; no file is left of it. The window calls it before the transcript is
    // emptied or goes.
    void Cancel();
    bool Running() const { return job_ != nullptr; }
    // Whether the running save reads this transcript.
    bool Saving(const Transcript &transcript) const { return job_ && transcript_ == &transcript; }

  signals:
    // A save has ended: written whole, or failed (its message shown), or cancelled.
    void finished(bool saved);

  private:
    void Step();
    void End();

    QWidget *window_;
    QTimer *timer_;
    const Transcript *transcript_ = nullptr;
    uint64_t generation_ = 0; // the transcript's when the save began
    std::unique_ptr<TranscriptSource> source_;
    std::unique_ptr<SaveJob> job_;
    QPointer<QProgressDialog> progress_;
};

} // namespace tarvotcpc::ui
