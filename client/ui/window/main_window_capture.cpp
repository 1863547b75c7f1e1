#include "window/main_window.hpp"
#include "common/widgets.hpp"

#include <QLabel>

#include "view/transcript_view.hpp"
#include "window/capture_runner.hpp"
#include "window/save_runner.hpp"

namespace tarvotcpc::ui {

void MainWindow::SetUpCaptures() {
    captures_ = new CaptureRunner(this);
    connect(captures_, &CaptureRunner::opened, this, &MainWindow::ShowOpenedCapture);
}

const Transcript &MainWindow::ShownTranscript() const {
    const Transcript *capture = captures_->Opened();
    return capture != nullptr ? *capture : controller_->KeptTranscript();
}

void MainWindow::SaveCapture() {
    if (captures_->Opened() != nullptr) {
        // The capture shown, written again: one stream between the ends it named.
        const std::optional<CaptureConnection> ends =
            CaptureConnectionOf(captures_->OpenedSummary());
        captures_->Save(*captures_->Opened(), [ends](uint32_t) { return ends; });
        return;
    }
    captures_->Save(controller_->KeptTranscript(), [this](uint32_t connection) {
        return controller_->CaptureConnectionOf(connection);
    });
}

void MainWindow::ShowOpenedCapture() {
    // A save still reading the page's record goes on: the record itself stays as it is.
    const CaptureSummary &summary = captures_->OpenedSummary();
    receive_->SetTranscript(captures_->Opened());
    ApplyProtocols();
    SetStatusText(Text("キャプチャ「%1」 (送信 %2 バイト、受信 %3 バイト)")
                      .arg(captures_->OpenedName())
                      .arg(summary.sent)
                      .arg(summary.received)
                      .toStdString());
    peerLabel_->setText(QString::fromStdString(summary.local + " ⇄ " + summary.peer));
    ShowReceivePage();
}

void MainWindow::ShowRecord() {
    const Transcript *capture = captures_->Opened();
    if (capture == nullptr) return;
    // A save of the capture stops before the capture goes.
    if (saver_->Saving(*capture)) saver_->Cancel();
    if (captures_->Saving(*capture)) captures_->Cancel();
    receive_->SetTranscript(&controller_->KeptTranscript());
    captures_->Close();
    ApplyProtocols();
    peerLabel_->clear();
}

} // namespace tarvotcpc::ui
