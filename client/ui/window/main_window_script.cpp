#include "window/main_window.hpp"
#include "common/widgets.hpp"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QProgressDialog>

#include "capture/capture_reader.hpp"
#include "capture/capture_writer.hpp"
#include "common/dialog_seam.hpp"
#include "common/message_seam.hpp"
#include "dialogs/compare_dialog.hpp"
#include "dialogs/script_edit_dialog.hpp"
#include "replay/exchange_compare.hpp"
#include "replay/line_diff.hpp"
#include "replay/script_maker.hpp"
#include "saves/transcript_source.hpp"
#include "window/capture_runner.hpp"

namespace tarvotcpc::ui {

namespace {

// Larger than any script written by hand or made from a sizeable record; a bigger file was picked
// by mistake (a capture, an image) and would only fail in Lua's parser.
constexpr qint64 kScriptFileLimit = qint64{16} << 20;

} // namespace

void MainWindow::RunScriptFile() {
    if (controller_->ScriptRunning()) return;
    QFileDialog dialog(this, Text("スクリプトを実行"));
    dialog.setObjectName(QStringLiteral("runScriptFileDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(Text("Luaスクリプト(*.lua);;すべてのファイル(*)"));
    if (ExecFileDialog(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty() || closing_)
        return;
    const QString path = dialog.selectedFiles().first();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        ShowMessageBox(this, Text("「%1」を開けません: %2").arg(path, file.errorString()),
                       MessageStyle::Warning);
        return;
    }
    if (file.size() > kScriptFileLimit) {
        ShowMessageBox(this, Text("「%1」はスクリプトとしては大きすぎます").arg(path),
                       MessageStyle::Warning);
        return;
    }
    const QByteArray source = file.readAll();
    controller_->RunScript(source.toStdString(), QFileInfo(path).fileName().toStdString());
    Pump();
}

void MainWindow::MakeScriptFromRecord() {
    ScriptMakerOptions options;
    // Where each connection of the record went: the destination as it was given; for a capture
    // opened from a file, the peer's address as the capture tells it.
    options.target = [this](uint64_t connection) -> std::optional<ScriptTarget> {
        if (captures_->Opened() == nullptr)
            return controller_->ScriptTargetOf(static_cast<uint32_t>(connection));
        const std::optional<CaptureConnection> ends =
            CaptureConnectionOf(captures_->OpenedSummary());
        if (!ends || !ends->localOpened || ends->udp) return std::nullopt;
        std::string host = FormatCaptureAddress(ends->peer);
        host.erase(host.rfind(':'));
        if (!host.empty() && host.front() == '[') host = host.substr(1, host.size() - 2);
        return ScriptTarget{host, ends->peer.port, false};
    };
    options.encoding = SendEncodingOf(ReadOptions(settings_));
    const std::string script = ScriptFromRecord(TranscriptSource(ShownTranscript()), options);
    ScriptEditDialog dialog(this, QString::fromStdString(script));
    if (dialog.exec() != QDialog::Accepted || closing_ || controller_->ScriptRunning()) return;
    controller_->RunScript(dialog.Script().toStdString(), "記録から.lua");
    Pump();
}

void MainWindow::CompareWithFile() {
    QFileDialog dialog(this, Text("受信データを比較"));
    dialog.setObjectName(QStringLiteral("compareFileDialog"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setNameFilter(
        Text("キャプチャ・テキスト保存(*.pcapng *.pcap *.cap *.txt *.log);;すべてのファイル(*)"));
    if (ExecFileDialog(dialog) != QDialog::Accepted || dialog.selectedFiles().isEmpty() || closing_)
        return;
    const QString path = dialog.selectedFiles().first();
    Transcript other;
    ExchangeFileJob job(path.toStdString(), other);
    // Read in steps under a progress box, so that a large file keeps the window alive and can be
    // given up.
    QProgressDialog progress(Text("「%1」を読み込んでいます").arg(QFileInfo(path).fileName()),
                             Text("キャンセル"), 0, 1000, this);
    progress.setObjectName(QStringLiteral("compareProgressDialog"));
    progress.setWindowModality(Qt::WindowModal);
    progress.setMinimumDuration(500);
    while (job.Step()) {
        progress.setValue(job.Progress());
        if (progress.wasCanceled() || closing_) return;
    }
    progress.reset();
    if (!job.Succeeded()) {
        ShowMessageBox(this, QString::fromStdString(job.Error()), MessageStyle::Warning);
        return;
    }
    const ChunkDecoderFactory decoders = ChunkDecodersFor(ViewEncodingOf(ReadOptions(settings_)));
    const ReceivedLines mine = ReceivedLinesOf(TranscriptSource(ShownTranscript()), decoders);
    const ReceivedLines theirs = ReceivedLinesOf(TranscriptSource(other), decoders);
    const LineDiff diff = DiffLines(mine.lines, theirs.lines);
    CompareDialog compare(this, Text("この記録"), mine.lines, QFileInfo(path).fileName(),
                          theirs.lines, diff);
    compare.exec();
}

void MainWindow::ScriptRunning(bool running) {
    commands_->SetScriptRunning(running);
}

} // namespace tarvotcpc::ui
