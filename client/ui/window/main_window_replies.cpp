#include "window/main_window.hpp"
#include "common/widgets.hpp"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QSignalBlocker>
#include <QStatusBar>

#include "common/message_seam.hpp"
#include "dialogs/reply_rules_dialog.hpp"

namespace tarvotcpc::ui {

void MainWindow::SetUpReplies() {
    auto *send = menuBar()->findChild<QMenu *>(QStringLiteral("sendMenu"));
    send->addSeparator();
    autoReplies_ = send->addAction(Text("自動応答(&A)"));
    autoReplies_->setObjectName(QStringLiteral("autoRepliesAction"));
    autoReplies_->setCheckable(true);
    autoReplies_->setEnabled(false);
    connect(autoReplies_, &QAction::triggered, this,
            [this](bool on) { controller_->SetAutoReplies(on); });
    QAction *rules = send->addAction(Text("自動応答の規則(&Y)..."));
    rules->setObjectName(QStringLiteral("replyRulesAction"));
    connect(rules, &QAction::triggered, this, [this] {
        if (ExecReplyRulesDialog(this, settingsPath_) && !closing_) controller_->ReloadReplyRules();
    });
    QAction *summary = send->addAction(Text("応答時間の集計(&T)..."));
    summary->setObjectName(QStringLiteral("replySummaryAction"));
    connect(summary, &QAction::triggered, this, [this] {
        ShowMessageBox(this, QString::fromStdString(controller_->ReplyTimesSummary()),
                       MessageStyle::Notice);
    });

    replyTimeLabel_ = new QLabel(statusBar());
    replyTimeLabel_->setObjectName(QStringLiteral("replyTimeLabel"));
    replyTimeLabel_->setAccessibleName(Text("応答時間"));
    statusBar()->addPermanentWidget(replyTimeLabel_);
}

void MainWindow::SetAutoRepliesOn(bool on) {
    const QSignalBlocker blocker(autoReplies_);
    autoReplies_->setChecked(on);
}

void MainWindow::SetReplyTimeText(const std::string &text) {
    const QString shown = QString::fromStdString(text);
    replyTimeLabel_->setText(shown);
    // Read by its name, as the other fields are.
    replyTimeLabel_->setAccessibleName(shown.isEmpty() ? Text("応答時間") : shown);
}

} // namespace tarvotcpc::ui
