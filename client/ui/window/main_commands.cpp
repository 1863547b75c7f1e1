#include "window/main_commands.hpp"
#include "common/widgets.hpp"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QIcon>
#include <QKeySequence>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QStyle>
#include <QToolBar>

namespace tarvotcpc::ui {

namespace {

// The desktop's own image where its theme has one, else the style's.
QIcon DesktopIcon(const char *themeName, QStyle::StandardPixmap fallback) {
    return QIcon::fromTheme(QString::fromLatin1(themeName),
                            QApplication::style()->standardIcon(fallback));
}

} // namespace

MainCommands::MainCommands(QMainWindow *window) : QObject(window), window_(window) {
    Make(Command::Connect, "接続(&C)...", "接続", QStringLiteral("connect"))
        ->setIcon(QIcon(QStringLiteral(":/icons/connect.svg")));
    Make(Command::Disconnect, "切断(&D)", "切断", QStringLiteral("disconnect"))
        ->setIcon(QIcon(QStringLiteral(":/icons/disconnect.svg")));
    Make(Command::InsertTemplate, "定型文の挿入(&T)...", "定型文", QStringLiteral("insertTemplate"))
        ->setIcon(QIcon(QStringLiteral(":/icons/template.svg")));
    Make(Command::LoadFile, "ファイル読み込み(&O)...", "開く", QStringLiteral("loadFile"))
        ->setIcon(DesktopIcon("document-open", QStyle::SP_DialogOpenButton));
    Make(Command::Exit, "終了(&X)", nullptr, QStringLiteral("exit"));
    Make(Command::Send, "送信(&S)", "送信", QStringLiteral("send"))
        ->setIcon(QIcon(QStringLiteral(":/icons/send.svg")));
    Make(Command::Options, "オプション(&O)...", "オプション", QStringLiteral("options"))
        ->setIcon(QIcon(QStringLiteral(":/icons/options.svg")));
    Make(Command::Readme, "&Readme.txt...", nullptr, QStringLiteral("readme"));
    Make(Command::HomePage, "作者のホームページ(&P)...", nullptr, QStringLiteral("homePage"));
    Make(Command::About, "バージョン情報(&A)...", nullptr, QStringLiteral("about"));
    Make(Command::SaveReceived, "受信データを保存(&R)...", nullptr, QStringLiteral("saveReceived"));
    Make(Command::SaveTranscript, "送受信の記録をテキストで保存(&V)...", nullptr,
         QStringLiteral("saveTranscript"));
    Make(Command::SaveCapture, "キャプチャとして保存(&P)...", nullptr,
         QStringLiteral("saveCapture"));
    Make(Command::OpenCapture, "キャプチャを開く(&I)...", nullptr, QStringLiteral("openCapture"));
    Make(Command::Listen, "待ち受け(&L)...", "待ち受け", QStringLiteral("listen"))
        ->setIcon(QIcon(QStringLiteral(":/icons/listen.svg")));
    Make(Command::StartTls, "STARTTLS(&E)", "STARTTLS: この接続をTLSにする",
         QStringLiteral("startTls"))
        ->setIcon(QIcon(QStringLiteral(":/icons/starttls.svg")));
    Make(Command::Certificates, "相手の証明書(&V)...", nullptr, QStringLiteral("certificates"));
    Make(Command::RunScript, "スクリプトを実行(&R)...", nullptr, QStringLiteral("runScript"))
        ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_R));
    Make(Command::StopScript, "スクリプトを停止(&Q)", nullptr, QStringLiteral("stopScript"));
    Make(Command::Compare, "受信データを比較(&D)...", nullptr, QStringLiteral("compare"));
    Make(Command::ScriptFromRecord, "記録からスクリプトを作成(&K)...", nullptr,
         QStringLiteral("scriptFromRecord"));
    Make(Command::Variables, "変数(&V)...", nullptr, QStringLiteral("variables"));
    Make(Command::Preview, "送信プレビュー(&B)...", nullptr, QStringLiteral("preview"));
    Make(Command::RepeatSend, "繰り返し送信(&I)...", "繰り返し送信", QStringLiteral("repeatSend"))
        ->setIcon(QIcon(QStringLiteral(":/icons/repeat.svg")));
    Make(Command::StopRepeat, "繰り返し送信の停止(&O)", "繰り返し送信の停止",
         QStringLiteral("stopRepeat"))
        ->setIcon(QIcon(QStringLiteral(":/icons/repeatstop.svg")));

    QMenuBar *bar = window->menuBar();
    bar->setAccessibleName(Text("メニューバー"));
    QMenu *file = bar->addMenu(Text("ファイル(&F)"));
    file->setObjectName(QStringLiteral("fileMenu"));
    file->addAction(Action(Command::Connect));
    file->addAction(Action(Command::Disconnect));
    file->addAction(Action(Command::Listen));
    file->addAction(Action(Command::StartTls));
    file->addAction(Action(Command::Certificates));
    file->addSeparator();
    file->addAction(Action(Command::Send));
    file->addAction(Action(Command::InsertTemplate));
    file->addAction(Action(Command::LoadFile));
    file->addSeparator();
    file->addAction(Action(Command::SaveReceived));
    file->addAction(Action(Command::SaveTranscript));
    file->addAction(Action(Command::SaveCapture));
    file->addAction(Action(Command::OpenCapture));
    file->addSeparator();
    file->addAction(Action(Command::Exit));
    QMenu *send = bar->addMenu(Text("送信(&N)"));
    send->setObjectName(QStringLiteral("sendMenu"));
    auto *endings = new QActionGroup(this);
    const struct {
        LineEnding ending;
        const char *text;
        const char *name;
    } endingItems[] = {{LineEnding::Crlf, "改行 CR+LF(&W)", "lineEndingCrlfAction"},
                       {LineEnding::Lf, "改行 LF(&L)", "lineEndingLfAction"},
                       {LineEnding::Cr, "改行 CR(&M)", "lineEndingCrAction"},
                       {LineEnding::None, "改行を送らない(&N)", "lineEndingNoneAction"}};
    for (const auto &item : endingItems) {
        QAction *action = send->addAction(Text(item.text));
        action->setObjectName(QString::fromLatin1(item.name));
        action->setCheckable(true);
        endings->addAction(action);
        const LineEnding ending = item.ending;
        connect(action, &QAction::triggered, this,
                [this, ending] { emit lineEndingChosen(ending); });
        lineEndings_[static_cast<std::size_t>(ending)] = action;
    }
    send->addSeparator();
    escapes_ = send->addAction(Text("エスケープ (\\r \\n \\xNN ...) を使う(&E)"));
    escapes_->setObjectName(QStringLiteral("sendEscapesAction"));
    escapes_->setCheckable(true);
    connect(escapes_, &QAction::triggered, this, [this](bool on) { emit escapesChosen(on); });
    send->addSeparator();
    send->addAction(Action(Command::RunScript));
    send->addAction(Action(Command::StopScript));
    send->addAction(Action(Command::ScriptFromRecord));
    SetScriptRunning(false);
    placeholders_ = send->addAction(Text("%名前% を置き換える(&P)"));
    placeholders_->setObjectName(QStringLiteral("placeholdersAction"));
    placeholders_->setCheckable(true);
    connect(placeholders_, &QAction::triggered, this,
            [this](bool on) { emit placeholdersChosen(on); });
    send->addAction(Action(Command::Variables));
    send->addAction(Action(Command::Preview));
    send->addSeparator();
    send->addAction(Action(Command::RepeatSend));
    send->addAction(Action(Command::StopRepeat));
    QMenu *tools = bar->addMenu(Text("ツール(&T)"));
    tools->setObjectName(QStringLiteral("toolsMenu"));
    tools->addAction(Action(Command::Compare));
    tools->addAction(Action(Command::Options));
    QMenu *help = bar->addMenu(Text("ヘルプ(&H)"));
    help->setObjectName(QStringLiteral("helpMenu"));
    help->addAction(Action(Command::Readme));
    help->addAction(Action(Command::HomePage));
    help->addSeparator();
    help->addAction(Action(Command::About));
    for (QMenu *menu : {file, send, tools, help})
        menu->setAccessibleName(menu->title().remove('&'));

    toolBar_ = window->addToolBar(Text("ツールバー"));
    toolBar_->setObjectName(QStringLiteral("mainToolBar"));
    toolBar_->setAccessibleName(toolBar_->windowTitle());
    toolBar_->setMovable(false);
    // The toolbar is fixed: neither its own context menu nor the menu bar's may hide it, as a
    // hidden toolbar could not be found again.
    toolBar_->toggleViewAction()->setEnabled(false);
    toolBar_->toggleViewAction()->setVisible(false);
    window->setContextMenuPolicy(Qt::PreventContextMenu);
    toolBar_->setIconSize(QSize(24, 24));
    const Command buttons[] = {Command::Connect,    Command::Disconnect,     Command::Listen,
                               Command::StartTls,   Command::Send,           Command::RepeatSend,
                               Command::StopRepeat, Command::InsertTemplate, Command::LoadFile,
                               Command::Options};
    for (const Command command : buttons) {
        QAction *action = Action(command);
        toolBar_->addAction(action);
        // Separators after the connection's commands, the sends and Load.
        if (command == Command::StartTls || command == Command::StopRepeat ||
            command == Command::LoadFile)
            toolBar_->addSeparator();
        QWidget *button = toolBar_->widgetForAction(action);
        button->setObjectName(
            action->objectName().replace(QStringLiteral("Action"), QStringLiteral("ToolButton")));
        button->setAccessibleName(action->toolTip());
    }
}

QAction *MainCommands::Make(Command command, const char *text, const char *toolTip,
                            const QString &name) {
    auto *action = new QAction(Text(text), window_);
    action->setObjectName(name + QStringLiteral("Action"));
    if (toolTip != nullptr) action->setToolTip(Text(toolTip));
    // Menus show the text without an icon, as the toolbar carries the images.
    action->setIconVisibleInMenu(false);
    connect(action, &QAction::triggered, this, [this, command] { emit triggered(command); });
    actions_[command] = action;
    return action;
}

void MainCommands::SetConnected(bool connected) {
    connected_ = connected;
    Action(Command::Connect)->setEnabled(!connected);
    Action(Command::Disconnect)->setEnabled(connected);
    Action(Command::Send)->setEnabled(connected);
    SetRepeating(repeating_ && connected);
    Action(Command::Listen)->setEnabled(!connected);
    Action(Command::OpenCapture)->setEnabled(!connected);
    if (!connected) {
        SetStartTlsAvailable(false);
        SetCertificatesAvailable(false);
    }
}

void MainCommands::SetRepeating(bool running) {
    repeating_ = running;
    Action(Command::RepeatSend)->setEnabled(connected_ && !running);
    Action(Command::StopRepeat)->setEnabled(running);
}

void MainCommands::SetStartTlsAvailable(bool available) {
    Action(Command::StartTls)->setEnabled(available);
}

void MainCommands::SetScriptRunning(bool running) {
    Action(Command::RunScript)->setEnabled(!running);
    Action(Command::StopScript)->setEnabled(running);
}

void MainCommands::SetCertificatesAvailable(bool available) {
    Action(Command::Certificates)->setEnabled(available);
}

} // namespace tarvotcpc::ui

namespace tarvotcpc::ui {

void MainCommands::ShowSendOptions(LineEnding ending, bool escapes, bool placeholders) {
    LineEndingAction(ending)->setChecked(true);
    escapes_->setChecked(escapes);
    placeholders_->setChecked(placeholders);
}

} // namespace tarvotcpc::ui
