#include "window/save_runner.hpp"
#include "common/widgets.hpp"

#include <QFileDialog>
#include <QProgressDialog>
#include <QTimer>

#include "common/dialog_seam.hpp"
#include "common/message_seam.hpp"
#include "saves/transcript_source.hpp"

namespace tarvotcpc::ui {

namespace {

// A step writes this much, so that the window turns between steps well within 100 ms.
constexpr std::size_t kStepBytes = std::size_t{1} << 20;
constexpr int kProgressScale = 1000;

} // namespace

SaveRunner::SaveRunner(QWidget *window) : QObject(window), window_(window) {
    timer_ = new QTimer(this);
    timer_->setInterval(0);
    connect(timer_, &QTimer::timeout, this, &SaveRunner::Step);
}

SaveRunner::~SaveRunner() {
    Cancel();
}

void SaveRunner::Start(SaveKind kind, const Transcript &transcript, Encoding encoding) {
    if (Running()) {
        if (progress_) progress_->raise();
        return;
    }
    const bool raw = kind == SaveKind::RawReceived;
    QFileDialog dialog(window_, raw ? Text("受信データを保存") : Text("送受信の記録を保存"));
    dialog.setObjectName(QStringLiteral("saveFileDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(raw ? Text("すべてのファイル(*)")
                             : Text("テキスト(*.txt);;すべてのファイル(*)"));
    dialog.selectFile(raw ? QStringLiteral("received.bin") : QStringLiteral("transcript.txt"));
    if (ExecFileDialog(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    const std::string path = dialog.selectedFiles().first().toStdString();

    transcript_ = &transcript;
    generation_ = transcript.Generation();
    source_ = std::make_unique<TranscriptSource>(transcript);
    job_ = std::make_unique<SaveJob>(*source_, kind, path, ChunkDecodersFor(encoding));
    progress_ = new QProgressDialog(Text("保存しています..."), Text("キャンセル"), 0,
                                    kProgressScale, window_);
    progress_->setObjectName(QStringLiteral("saveProgressDialog"));
    progress_->setWindowTitle(dialog.windowTitle());
    progress_->setWindowModality(Qt::WindowModal);
    progress_->setMinimumDuration(500);
    progress_->setAutoClose(false);
    progress_->setAutoReset(false);
    progress_->setValue(0);
    connect(progress_, &QProgressDialog::canceled, this, &SaveRunner::Cancel);
    timer_->start();
}

void SaveRunner::Step() {
    if (!job_) return;
    // Emptied under the save (the receive page cleared on connecting): what it began to write
    // is gone, so it stops and leaves no file.
    if (transcript_->Generation() != generation_) {
        Cancel();
        ShowMessageBox(window_, Text("受信データがクリアされたため、保存を取り消しました"),
                       MessageStyle::Warning);
        return;
    }
    const bool more = job_->Step(kStepBytes);
    if (progress_ && job_->BytesTotal() > 0)
        progress_->setValue(
            static_cast<int>(job_->BytesDone() * kProgressScale / job_->BytesTotal()));
    if (!more) End();
}

void SaveRunner::End() {
    timer_->stop();
    const bool saved = job_->Succeeded();
    const std::string error = job_->Error();
    job_.reset();
    source_.reset();
    if (progress_) progress_->deleteLater();
    progress_.clear();
    if (!saved && !error.empty())
        ShowMessageBox(window_, QString::fromStdString(error), MessageStyle::Warning);
    emit finished(saved);
}

void SaveRunner::Cancel() {
    if (!job_) return;
    timer_->stop();
    job_->Cancel();
    job_.reset();
    source_.reset();
    if (progress_) progress_->deleteLater();
    progress_.clear();
    emit finished(false);
}

} // namespace tarvotcpc::ui
