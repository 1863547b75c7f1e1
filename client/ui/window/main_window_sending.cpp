#include "window/main_window.hpp"
#include "common/widgets.hpp"

#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTimer>

#include <algorithm>
#include <chrono>

#include "common/message_seam.hpp"
#include "dialogs/placeholder_dialogs.hpp"

namespace tarvotcpc::ui {

void MainWindow::SetUpSending() {
    repeatLabel_ = new QLabel(statusBar());
    repeatLabel_->setObjectName(QStringLiteral("repeatLabel"));
    repeatLabel_->setAccessibleName(Text("繰り返し送信"));
    repeatLabel_->setAccessibleDescription(repeatLabel_->accessibleName());
    repeatLabel_->hide();
    statusBar()->addPermanentWidget(repeatLabel_);
    repeatTimer_ = new QTimer(this);
    repeatTimer_->setSingleShot(true);
    // Milliseconds matter here: the coarse timer may fire 5% of its interval late.
    repeatTimer_->setTimerType(Qt::PreciseTimer);
    connect(repeatTimer_, &QTimer::timeout, this, &MainWindow::RunRepeat);
}

void MainWindow::RunSending(Command command) {
    switch (command) {
    case Command::Variables:
        ExecVariablesDialog(this, settingsPath_);
        break;
    case Command::Preview:
        ShowSendPreview(this, controller_->Preview());
        break;
    case Command::RepeatSend:
        StartRepeat();
        break;
    case Command::StopRepeat:
        controller_->StopRepeat();
        break;
    default:
        break;
    }
}

void MainWindow::StartRepeat() {
    OptionValues values = ReadOptions(settings_);
    std::string error;
    const RepeatParams initial = ParseRepeatParams(values.Text(Option::RepeatInterval),
                                                   values.Text(Option::RepeatCount), error)
                                     .value_or(RepeatParams{});
    RepeatDialog dialog(this, initial);
    if (dialog.exec() != QDialog::Accepted || closing_) return;
    const std::optional<RepeatParams> params = dialog.Params();
    if (!params) return;
    // The choice is kept for the next time, as the menu's other choices are.
    if (settingsLive_) {
        values.SetText(Option::RepeatInterval, std::to_string(params->intervalMs));
        values.SetText(Option::RepeatCount, std::to_string(params->count));
        SaveOptions(settings_, values, settingsPath_);
    }
    if (controller_->StartRepeat(*params)) RunRepeat();
}

void MainWindow::RunRepeat() {
    if (closing_) return;
    const auto next = controller_->RepeatTick();
    if (!next) {
        repeatTimer_->stop();
        return;
    }
    const auto wait =
        std::chrono::ceil<std::chrono::milliseconds>(*next - std::chrono::steady_clock::now());
    repeatTimer_->start(static_cast<int>(std::max<int64_t>(0, wait.count())));
}

void MainWindow::RepeatChanged(const std::string &text, bool running) {
    const QString shown = QString::fromStdString(text);
    repeatLabel_->setText(shown);
    repeatLabel_->setVisible(!shown.isEmpty());
    // The name is announced when it changes: only at the start and the end, not at every send.
    if (running != commands_->Action(Command::StopRepeat)->isEnabled() || !running)
        repeatLabel_->setAccessibleName(shown.isEmpty() ? Text("繰り返し送信") : shown);
    commands_->SetRepeating(running);
    if (!running) repeatTimer_->stop();
}

void MainWindow::StorePlaceholders(bool on) {
    if (!settingsLive_) return;
    OptionValues values = ReadOptions(settings_);
    values[Option::Placeholders] = on;
    SaveOptions(settings_, values, settingsPath_);
}

std::optional<std::vector<std::string>>
MainWindow::AskPlaceholderValues(const std::vector<std::string> &names) {
    if (closing_) return std::nullopt;
    return tarvotcpc::ui::AskPlaceholderValues(this, names);
}

bool MainWindow::ConfirmSend(const std::string &question) {
    if (closing_) return false;
    QMessageBox box(QMessageBox::Question, QString::fromUtf8(kProductCaption),
                    QString::fromStdString(question), QMessageBox::Yes | QMessageBox::No, this);
    box.setObjectName(QStringLiteral("confirmSendMessageBox"));
    box.setAccessibleName(box.text());
    box.button(QMessageBox::Yes)->setText(Text("送信"));
    box.button(QMessageBox::No)->setText(Text("キャンセル"));
    box.setDefaultButton(QMessageBox::No);
    ExecMessageBox(box);
    return box.clickedButton() == box.button(QMessageBox::Yes);
}

} // namespace tarvotcpc::ui
