// Capture files from the ファイル menu: the record written as a capture, and a capture opened into
// a record of its own that the receive page shows read-only. Both run in steps between the
// window's events with a progress window that can cancel them; the decisions are CaptureJob's and
// CaptureReadJob's.
#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

#include <memory>

#include "capture/capture_reader.hpp"
#include "capture/transcript_capture.hpp"

class QProgressDialog;
class QTimer;
class QWidget;

namespace tarvotcpc::ui {

class CaptureRunner : public QObject {
    Q_OBJECT

  public:
    explicit CaptureRunner(QWidget *window);
    ~CaptureRunner() override;

    // Asks for the file, then writes transcript into it with the ends of each connection. The
    // transcript must not be cleared meanwhile: the window cancels first.
    void Save(const Transcript &transcript, CaptureConnections connections);
    // Asks for a capture file and reads it; `opened` once it is whole.
    void Open();
    // Stops a running save (no file is left) or reading (nothing is opened).
    void Cancel();
    bool Running() const { return save_ != nullptr || read_ != nullptr; }
    // Whether the running save reads this transcript.
    bool Saving(const Transcript &transcript) const { return save_ && source_ == &transcript; }

    // The capture opened last, or null; forgotten by Close.
    const Transcript *Opened() const { return shown_.get(); }
    const CaptureSummary &OpenedSummary() const { return shownSummary_; }
    const QString &OpenedName() const { return shownName_; }
    void Close();

  signals:
    void opened();
    // A save or a reading has ended: done whole, or failed (its message shown), or cancelled.
    void finished(bool done);

  private:
    void Step();
    void EndSave();
    void EndRead();
    void StartProgress(const QString &title, const QString &text);
    void StopProgress();

    QWidget *window_;
    QTimer *timer_;
    const Transcript *source_ = nullptr;
    uint64_t generation_ = 0; // the source's when the save began
    std::unique_ptr<TranscriptCapture> input_;
    std::unique_ptr<CaptureJob> save_;
    std::unique_ptr<Transcript> reading_;
    std::unique_ptr<CaptureReadJob> read_;
    QString readName_;
    std::unique_ptr<Transcript> shown_;
    CaptureSummary shownSummary_;
    QString shownName_;
    QPointer<QProgressDialog> progress_;
};

// What the user is told about a capture that opened with something left out, or empty.
QString CaptureOpenNotice(const CaptureSummary &summary);

} // namespace tarvotcpc::ui
