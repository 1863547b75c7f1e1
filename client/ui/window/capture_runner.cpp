#include "window/capture_runner.hpp"
#include "common/widgets.hpp"

#include <QFileDialog>
#include <QFileInfo>
#include <QProgressDialog>
#include <QTimer>

#include "common/dialog_seam.hpp"
#include "common/message_seam.hpp"

namespace tarvotcpc::ui {

namespace {

// Each step writes or reads about this much, so that the window turns between steps well
// within 100 ms.
constexpr std::size_t kStepBytes = std::size_t{1} << 20;
constexpr std::size_t kStepPackets = 2000;
constexpr int kProgressScale = 1000;

} // namespace

QString CaptureOpenNotice(const CaptureSummary &summary) {
    QStringList lines;
    if (summary.otherStreams > 0)
        lines
            << Text("このキャプチャにはほかに %1 本のTCPの通信があります。最初にデータを運んだ通信 "
                    "(%2 ⇄ %3) を開きました。")
                   .arg(summary.otherStreams)
                   .arg(QString::fromStdString(summary.local),
                        QString::fromStdString(summary.peer));
    if (summary.missing > 0)
        lines << Text("キャプチャに取り込まれていない部分が %1 バイトあり、飛ばしました。")
                     .arg(summary.missing);
    if (summary.unreadablePackets > 0)
        lines << Text("読めないパケット (IPの断片や途中で切れたもの) が %1 個ありました。")
                     .arg(summary.unreadablePackets);
    if (!summary.fileProblem.empty())
        lines << Text("ファイルが途中で終わっているため、そこまでを開きました (%1)。")
                     .arg(QString::fromStdString(summary.fileProblem));
    return lines.join(QLatin1Char('\n'));
}

CaptureRunner::CaptureRunner(QWidget *window) : QObject(window), window_(window) {
    timer_ = new QTimer(this);
    timer_->setInterval(0);
    connect(timer_, &QTimer::timeout, this, &CaptureRunner::Step);
}

CaptureRunner::~CaptureRunner() {
    Cancel();
}

void CaptureRunner::StartProgress(const QString &title, const QString &text) {
    progress_ = new QProgressDialog(text, Text("キャンセル"), 0, kProgressScale, window_);
    progress_->setObjectName(QStringLiteral("captureProgressDialog"));
    progress_->setWindowTitle(title);
    progress_->setAccessibleName(title);
    progress_->setWindowModality(Qt::WindowModal);
    progress_->setMinimumDuration(500);
    progress_->setAutoClose(false);
    progress_->setAutoReset(false);
    progress_->setValue(0);
    connect(progress_, &QProgressDialog::canceled, this, &CaptureRunner::Cancel);
    timer_->start();
}

void CaptureRunner::StopProgress() {
    timer_->stop();
    // Hidden at once, its timer that shows it after a moment stopped (reset): a message box
    // that follows runs an event loop of its own, in which the deferred deletion does not happen.
    if (progress_) {
        progress_->reset();
        progress_->hide();
        progress_->deleteLater();
    }
    progress_.clear();
}

void CaptureRunner::Save(const Transcript &transcript, CaptureConnections connections) {
    if (Running()) {
        if (progress_) progress_->raise();
        return;
    }
    QFileDialog dialog(window_, Text("キャプチャとして保存"));
    dialog.setObjectName(QStringLiteral("saveCaptureFileDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilter(Text("pcapngキャプチャ(*.pcapng);;すべてのファイル(*)"));
    dialog.selectFile(QStringLiteral("capture.pcapng"));
    if (ExecFileDialog(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    const std::string path = dialog.selectedFiles().first().toStdString();

    source_ = &transcript;
    generation_ = transcript.Generation();
    input_ = std::make_unique<TranscriptCapture>(transcript, std::move(connections));
    save_ = std::make_unique<CaptureJob>(*input_, path);
    StartProgress(dialog.windowTitle(), Text("キャプチャを書いています..."));
}

void CaptureRunner::Open() {
    if (Running()) {
        if (progress_) progress_->raise();
        return;
    }
    QFileDialog dialog(window_, Text("キャプチャを開く"));
    dialog.setObjectName(QStringLiteral("openCaptureFileDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(Text("キャプチャ(*.pcapng *.pcap *.cap *.dmp);;すべてのファイル(*)"));
    if (ExecFileDialog(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
    const QString path = dialog.selectedFiles().first();
    readName_ = QFileInfo(path).fileName();
    reading_ = std::make_unique<Transcript>();
    read_ = std::make_unique<CaptureReadJob>(path.toStdString(), *reading_);
    StartProgress(dialog.windowTitle(), Text("キャプチャを読み込んでいます..."));
}

void CaptureRunner::Step() {
    if (save_) {
        // Emptied under the save (the receive page cleared on connecting): what it began to
        // write is gone, so it stops and leaves no file.
        if (source_->Generation() != generation_) {
            Cancel();
            ShowMessageBox(window_, Text("受信データがクリアされたため、保存を取り消しました"),
                           MessageStyle::Warning);
            return;
        }
        const bool more = save_->Step(kStepBytes);
        if (progress_ && save_->BytesTotal() > 0)
            progress_->setValue(
                static_cast<int>(save_->BytesDone() * kProgressScale / save_->BytesTotal()));
        if (!more) EndSave();
    } else if (read_) {
        const bool more = read_->Step(kStepPackets);
        if (progress_) progress_->setValue(read_->Progress());
        if (!more) EndRead();
    }
}

void CaptureRunner::EndSave() {
    StopProgress();
    const bool saved = save_->Succeeded();
    const std::string error = save_->Error();
    const std::size_t guessed = save_->GuessedConnections();
    save_.reset();
    input_.reset();
    if (!saved && !error.empty())
        ShowMessageBox(window_, QString::fromStdString(error), MessageStyle::Warning);
    if (saved && guessed > 0)
        ShowMessageBox(window_,
                       Text("アドレスの分からない接続が %1 本あったため、その分は仮のアドレス "
                            "(192.0.2.1 と 192.0.2.2) で書きました。")
                           .arg(guessed),
                       MessageStyle::Notice);
    emit finished(saved);
}

void CaptureRunner::EndRead() {
    StopProgress();
    const bool ok = read_->Succeeded();
    const std::string error = read_->Error();
    const CaptureSummary summary = read_->Summary();
    read_.reset();
    if (!ok) {
        reading_.reset();
        ShowMessageBox(window_, QString::fromStdString(error), MessageStyle::Warning);
        emit finished(false);
        return;
    }
    shown_ = std::move(reading_);
    shownSummary_ = summary;
    shownName_ = readName_;
    emit opened();
    const QString notice = CaptureOpenNotice(summary);
    if (!notice.isEmpty()) ShowMessageBox(window_, notice, MessageStyle::Notice);
    emit finished(true);
}

void CaptureRunner::Cancel() {
    if (!Running()) return;
    StopProgress();
    if (save_) save_->Cancel();
    save_.reset();
    input_.reset();
    read_.reset();
    reading_.reset();
    emit finished(false);
}

void CaptureRunner::Close() {
    shown_.reset();
    shownSummary_ = {};
    shownName_.clear();
}

} // namespace tarvotcpc::ui
