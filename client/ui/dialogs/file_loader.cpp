// Loading a file into the send page: the file is read on a thread of its own and its text handed
// to the page in pieces, one per turn of the event loop, with a progress window for long loads.
#include "dialogs/file_loader.hpp"
#include "common/widgets.hpp"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QMessageBox>
#include <QPushButton>
#include <QProgressDialog>
#include <QTimer>
#include <QWidget>

#include <algorithm>
#include <atomic>
#include <climits>
#include <new>
#include <thread>
#include <utility>

#include "session/message_style.hpp"
#include "common/dialog_seam.hpp"
#include "files/file_name.hpp"
#include "common/message_seam.hpp"
#include "files/file_text.hpp"

namespace tarvotcpc::ui {

namespace {

// The page takes this much in one step without a noticeable pause (tens of milliseconds).
constexpr qsizetype kPieceLength = 256 * 1024;
// A load that ends sooner than this never shows its progress window.
constexpr int kProgressDelayMs = 400;
constexpr int kProgressPollMs = 100;
// The bar's scale: reading fills the first half, handing the text to the page the second.
constexpr int kProgressSteps = 1000;

// The end of the next piece of text from offset: after a line break when there is one in the
// piece's second half (the page then extends no line twice), and never between the two halves of
// a surrogate pair.
qsizetype PieceEnd(const QString &text, qsizetype offset) {
    if (text.size() - offset <= kPieceLength) return text.size();
    qsizetype end = offset + kPieceLength;
    const qsizetype lineEnd = text.lastIndexOf(QLatin1Char('\n'), end - 1);
    if (lineEnd >= offset + kPieceLength / 2) return lineEnd + 1;
    if (text[end - 1].isHighSurrogate()) --end;
    return end;
}

} // namespace

class FileLoader::Job {
  public:
    // Shared with the reading thread until it has posted its end.
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> read{0};
    std::atomic<uint64_t> size{0};
    // Written by the reading thread before it posts its end, read on the window's thread after.
    FileLoadStatus status = FileLoadStatus::Failed;
    QString text;
    QString notice;
    std::thread thread;

    // The window's thread only.
    qsizetype offset = 0; // how much of text went to the page
    QTimer poll;
    QTimer pieces;
    QTimer showDelay;
    bool appending = false;

    ~Job() {
        stop.store(true);
        if (thread.joinable()) thread.join();
    }
};

FileLoader::FileLoader(QWidget *parent) : QObject(parent), window_(parent) {}

FileLoader::~FileLoader() {
    delete job_;
    delete progress_;
}

bool FileLoader::isLoading() const {
    return job_ != nullptr;
}

void FileLoader::Open() {
    if (job_ != nullptr) {
        ShowProgress();
        return;
    }
    QFileDialog dialog(window_);
    dialog.setObjectName(QStringLiteral("openFileDialog"));
    dialog.setAccessibleName(Text("ファイル読み込み"));
    // Qt's own dialog, so that the filter below behaves the same on every desktop.
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // A name that does not exist may be typed; it ends in the open failure message, as any other
    // file that cannot be opened.
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilter(Text("すべてのファイル(*.*)"));
    // "*.*" means every file, with or without a dot; taken literally it would hide every
    // name without a dot (README, Makefile).
    if (auto *model = dialog.findChild<QFileSystemModel *>())
        model->setNameFilters({QStringLiteral("*")});
    if (!lastPath_.isEmpty()) {
        dialog.setDirectory(QFileInfo(lastPath_).absolutePath());
        dialog.selectFile(lastPath_);
    }
    if (ExecFileDialog(dialog) != QDialog::Accepted) return;
    const QStringList chosen = dialog.selectedFiles();
    if (chosen.isEmpty() || chosen.first().isEmpty()) return;
    const std::string path = WithDefaultExtension(QFile::encodeName(chosen.first()).toStdString());
    Load(QFile::decodeName(QByteArray::fromStdString(path)));
}

void FileLoader::Load(const QString &path) {
    if (job_ != nullptr) {
        ShowProgress();
        return;
    }
    lastPath_ = path;
    job_ = new Job;
    Job *job = job_;

    auto *progress = new QProgressDialog(window_);
    progress_ = progress;
    progress->setObjectName(QStringLiteral("loadProgressDialog"));
    progress->setWindowTitle(Text(kProductCaption));
    progress->setLabelText(Text("ファイルを読み込んでいます..."));
    progress->setAccessibleName(progress->labelText());
    progress->setCancelButtonText(Text("キャンセル"));
    // Not modal, so that the send page stays usable; it comes up only through the delay below.
    progress->setWindowModality(Qt::NonModal);
    progress->setAutoClose(false);
    progress->setAutoReset(false);
    progress->setMinimumDuration(INT_MAX);
    progress->setRange(0, kProgressSteps);
    progress->setValue(0);
    progress->hide();
    connect(progress, &QProgressDialog::canceled, this, &FileLoader::Cancel);

    job->showDelay.setSingleShot(true);
    connect(&job->showDelay, &QTimer::timeout, this, &FileLoader::ShowProgress);
    job->showDelay.start(kProgressDelayMs);
    connect(&job->poll, &QTimer::timeout, this, &FileLoader::UpdateProgress);
    job->poll.start(kProgressPollMs);
    connect(&job->pieces, &QTimer::timeout, this, &FileLoader::AppendPiece);

    const std::string file = QFile::encodeName(path).toStdString();
    std::optional<PageTextOptions> options;
    if (options_) options = options_();
    job->thread = std::thread([this, job, file, options] {
        const auto progress = [job](uint64_t read, uint64_t size) {
            job->read.store(read, std::memory_order_relaxed);
            job->size.store(size, std::memory_order_relaxed);
            return !job->stop.load(std::memory_order_relaxed);
        };
        FileLoadResult result =
            options ? LoadFileForPage(file, *options, progress) : LoadFileText(file, progress);
        job->status = result.status;
        if (result.status == FileLoadStatus::Loaded) {
            try {
                job->text = QString::fromStdString(result.text);
                job->notice = QString::fromStdString(result.notice);
            } catch (const std::bad_alloc &) {
                // A file too large for memory twice over ends like one that cannot be read.
                job->status = FileLoadStatus::Failed;
            }
        }
        QMetaObject::invokeMethod(
            this, [this] { ReadDone(); }, Qt::QueuedConnection);
    });
}

void FileLoader::Cancel() {
    if (job_ == nullptr) return;
    job_->stop.store(true);
    // Whatever the thread still reads is thrown away when it reports back.
    if (job_->appending) Finish();
}

void FileLoader::ShowProgress() {
    if (progress_ == nullptr || job_ == nullptr) return;
    progress_->show();
    progress_->raise();
}

void FileLoader::UpdateProgress() {
    if (job_ == nullptr || progress_ == nullptr) return;
    if (job_->appending) {
        const double share = job_->text.isEmpty() ? 1.0
                                                  : static_cast<double>(job_->offset) /
                                                        static_cast<double>(job_->text.size());
        progress_->setRange(0, kProgressSteps);
        progress_->setValue(kProgressSteps / 2 + static_cast<int>(share * (kProgressSteps / 2)));
        return;
    }
    const uint64_t size = job_->size.load(std::memory_order_relaxed);
    const uint64_t read = job_->read.load(std::memory_order_relaxed);
    if (size == 0) {
        progress_->setRange(0, 0); // no size to measure against: a busy bar
        return;
    }
    const double share = static_cast<double>(std::min(read, size)) / static_cast<double>(size);
    progress_->setRange(0, kProgressSteps);
    progress_->setValue(static_cast<int>(share * (kProgressSteps / 2)));
}

void FileLoader::ReadDone() {
    if (job_ == nullptr) return;
    job_->thread.join();
    if (job_->stop.load() || job_->status == FileLoadStatus::Stopped) {
        Finish();
        return;
    }
    if (job_->status == FileLoadStatus::Failed) {
        Release();
        ShowMessageBox(window_, Text(kFileOpenFailedText), MessageStyle::Warning);
        emit finished();
        return;
    }
    if (job_->text.isEmpty()) {
        Finish();
        return;
    }
    if (!job_->notice.isEmpty()) {
        QMessageBox question(QMessageBox::Question, Text(kProductCaption), job_->notice,
                             QMessageBox::Yes | QMessageBox::No, window_);
        question.setObjectName(QStringLiteral("binaryFileQuestionMessageBox"));
        question.setAccessibleName(question.text());
        question.setDefaultButton(QMessageBox::No);
        question.button(QMessageBox::Yes)->setText(Text("はい"));
        question.button(QMessageBox::No)->setText(Text("いいえ"));
        ExecMessageBox(question);
        if (job_ == nullptr) return;
        if (question.clickedButton() != question.button(QMessageBox::Yes)) {
            Finish();
            return;
        }
        emit escapesNeeded();
    }
    job_->appending = true;
    UpdateProgress();
    job_->pieces.start(0);
}

void FileLoader::AppendPiece() {
    if (job_ == nullptr) return;
    const qsizetype end = PieceEnd(job_->text, job_->offset);
    const QString piece = job_->text.mid(job_->offset, end - job_->offset);
    job_->offset = end;
    if (end < job_->text.size()) {
        emit textReady(piece);
        return;
    }
    // The job is over before its last piece goes out, so that whatever the receiver does (even
    // start the next load) finds the loader free.
    Release();
    emit textReady(piece);
    emit finished();
}

void FileLoader::Release() {
    Job *job = job_;
    job_ = nullptr;
    delete job;
    if (progress_ != nullptr) {
        progress_->hide();
        progress_->deleteLater();
        progress_ = nullptr;
    }
}

void FileLoader::Finish() {
    Release();
    emit finished();
}

} // namespace tarvotcpc::ui
