// The main window driven as a user would: through its actions, the real connect dialog and loopback
// peers, offscreen.
#include <QAccessible>
#include <QAction>
#include <QComboBox>
#include <QElapsedTimer>
#include <QFontInfo>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusTipEvent>
#include <QStatusBar>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>
#include <QToolTip>

#include <sys/socket.h>

#include <cerrno>
#include <memory>

#include "dialogs/connect_dialog.hpp"
#include "window/main_window.hpp"
#include "window/receive_page.hpp"
#include "view/transcript_view.hpp"
#include "support/test_servers.hpp"
#include "text/text.hpp"
#include "support/ui_support.hpp"

using tarvotcpc::testing::TestServer;

namespace tarvotcpc::ui {
namespace {

using testing::BoxAnswerer;
using testing::BytesOf;
using testing::LastRows;
using testing::PageText;
using testing::SettingsFile;
using testing::WhenModal;

QString U(const char *utf8) {
    return QString::fromUtf8(utf8);
}

// Chooses Connect, fills the dialog with host and port and presses its 接続 button.
void ConnectThroughDialog(MainWindow &window, const QString &host, const QString &port) {
    WhenModal<ConnectDialog>([host, port](ConnectDialog *dialog) {
        dialog->HostBox()->setEditText(host);
        dialog->PortEdit()->setText(port);
        dialog->findChild<QPushButton *>(QStringLiteral("connectPushButton"))->click();
    });
    window.Commands().Action(Command::Connect)->trigger();
}

void ConnectTo(MainWindow &window, const TestServer &server) {
    ConnectThroughDialog(window, QStringLiteral("127.0.0.1"), QString::number(server.Port()));
}

bool LooksConnected(MainWindow &window) {
    const MainCommands &commands = window.Commands();
    const bool connected = commands.Action(Command::Disconnect)->isEnabled();
    // Both looks are exact opposites for the three commands; the others never change.
    if (commands.Action(Command::Send)->isEnabled() != connected ||
        commands.Action(Command::Connect)->isEnabled() == connected)
        return !connected; // a mixed look fails whichever way the test expects
    for (const Command always : {Command::InsertTemplate, Command::LoadFile, Command::Options,
                                 Command::Exit, Command::Readme, Command::HomePage})
        if (!commands.Action(always)->isEnabled()) return !connected;
    return connected;
}

// The status text as it stands in the status bar.
QString Status(MainWindow &window) {
    auto *label = window.statusBar()->findChild<QLabel *>(QStringLiteral("statusLabel"));
    return label != nullptr ? label->text() : QString();
}

// A peer that sends bytes in writes of the given pieces, then closes.
TestServer::Behaviour SendPieces(std::vector<std::string> pieces) {
    return [pieces = std::move(pieces)](int fd, TestServer &) {
        for (const std::string &piece : pieces) {
            std::size_t done = 0;
            while (done < piece.size()) {
                const ssize_t n = send(fd, piece.data() + done, piece.size() - done, MSG_NOSIGNAL);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return;
                done += static_cast<std::size_t>(n);
            }
            QThread::msleep(30);
        }
    };
}

class MainWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void looksAndTextsAsGiven();
    void everyControlHasAnAccessibleName();
    void toolTipsForEveryToolbarCommand();
    void connectSendEchoAndDisconnect();
    void sendsUtf8WithCrlfLineBreaks();
    void connectSendsAndClearsWithBothOptions();
    void cancellingTheDialogChangesNothing();
    void peerClosingEndsWithNoticeAndStatus();
    void failedConnectWarns();
    void receivedBytesShowAsText();
    void closingWhileConnectedIsQuietAndQuick();
    void helpOpensReadmeAndDocumentation();
    void aboutShowsVersions();
    void largeStreamIsShownWholeWithBoundedBacklog();
    void wideLinesKeepTheViewAtTheEnd();
    void statusTextStaysAndIsReadable();
    void toolbarCannotBeHidden();
    void bothPagesUseOneMonospacedJapaneseFont();
    void optionsIconIsTheProgramsOwn();
};

void MainWindowTest::looksAndTextsAsGiven() {
    SettingsFile settings;
    MainWindow window(settings.Path());
    QCOMPARE(window.windowTitle(), QStringLiteral("TARVO TCP/IP CLIENT"));
    QCOMPARE(window.size(), QSize(640, 400));
    QVERIFY(!LooksConnected(window));

    const struct {
        Command command;
        const char *text;
    } menuTexts[] = {{Command::Connect, "接続(&C)..."},
                     {Command::Disconnect, "切断(&D)"},
                     {Command::InsertTemplate, "定型文の挿入(&T)..."},
                     {Command::LoadFile, "ファイル読み込み(&O)..."},
                     {Command::Exit, "終了(&X)"},
                     {Command::Send, "送信(&S)"},
                     {Command::Options, "オプション(&O)..."},
                     {Command::Readme, "&Readme.txt..."},
                     {Command::HomePage, "作者のホームページ(&P)..."}};
    QList<QAction *> inMenus;
    QSet<QChar> mnemonics;
    for (QAction *top : window.menuBar()->actions()) {
        const QString title = top->text();
        const qsizetype amp = title.indexOf('&');
        QVERIFY2(amp >= 0, qPrintable(title));
        QVERIFY2(!mnemonics.contains(title.at(amp + 1)), "menu mnemonics must differ");
        mnemonics.insert(title.at(amp + 1));
        inMenus += top->menu()->actions();
    }
    for (const auto &row : menuTexts) {
        QAction *action = window.Commands().Action(row.command);
        QCOMPARE(action->text(), U(row.text));
        QVERIFY2(inMenus.contains(action), row.text);
    }

    // Thirteen positions: connect, disconnect, listen, STARTTLS, -, send, repeat, stop the
    // repeat, -, template, open, -, options.
    const QList<QAction *> bar = window.Commands().ToolBar()->actions();
    QCOMPARE(bar.size(), 13);
    const Command order[] = {Command::Connect,    Command::Disconnect,     Command::Listen,
                             Command::StartTls,   Command::Send,           Command::RepeatSend,
                             Command::StopRepeat, Command::InsertTemplate, Command::LoadFile,
                             Command::Options};
    const int positions[] = {0, 1, 2, 3, 5, 6, 7, 9, 10, 12};
    for (int i = 0; i < 10; ++i) {
        QCOMPARE(bar[positions[i]], window.Commands().Action(order[i]));
        QVERIFY(!bar[positions[i]]->icon().isNull());
    }
    for (const int separator : {4, 8, 11})
        QVERIFY(bar[separator]->isSeparator());

    QCOMPARE(window.Tabs()->count(), 2);
    QCOMPARE(window.Tabs()->tabText(0), U("送信データ"));
    QCOMPARE(window.Tabs()->tabText(1), U("受信データ"));
    QCOMPARE(window.Tabs()->currentIndex(), 0);
    QCOMPARE(window.Receive()->objectName(), QStringLiteral("receivePlainTextEdit"));
    QCOMPARE(window.Receive()->accessibleName(), U("受信データ"));
    QVERIFY(!window.SendEdit()->isReadOnly());
}

void MainWindowTest::everyControlHasAnAccessibleName() {
    SettingsFile settings;
    MainWindow window(settings.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    auto nameOf = [](QObject *object) {
        QAccessibleInterface *face = QAccessible::queryAccessibleInterface(object);
        return face ? face->text(QAccessible::Name) : QString();
    };
    for (QWidget *widget : window.findChildren<QWidget *>()) {
        if (!widget->isVisible() || qobject_cast<QMenu *>(widget)) continue;
        if (widget->focusPolicy() == Qt::NoFocus && !qobject_cast<QToolButton *>(widget) &&
            !qobject_cast<QToolBar *>(widget) && !qobject_cast<QStatusBar *>(widget))
            continue; // layout-only containers and scroll bars
        QVERIFY2(!nameOf(widget).isEmpty(), qPrintable(widget->metaObject()->className() +
                                                       QStringLiteral(" ") + widget->objectName()));
    }
    for (QAction *action : window.Commands().ToolBar()->actions()) {
        if (action->isSeparator()) continue;
        QCOMPARE(nameOf(window.Commands().ToolBar()->widgetForAction(action)), action->toolTip());
    }
    for (QAction *top : window.menuBar()->actions()) {
        QMenu *menu = top->menu();
        QAccessibleInterface *face = QAccessible::queryAccessibleInterface(menu);
        QVERIFY(face);
        for (int i = 0; i < face->childCount(); ++i) {
            QAccessibleInterface *item = face->child(i);
            if (item->role() == QAccessible::Separator) continue;
            QVERIFY2(!item->text(QAccessible::Name).isEmpty(), qPrintable(menu->title()));
        }
    }
}

void MainWindowTest::toolTipsForEveryToolbarCommand() {
    SettingsFile settings;
    MainWindow window(settings.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const struct {
        Command command;
        const char *tip;
    } rows[] = {{Command::Connect, "接続"},  {Command::Disconnect, "切断"},
                {Command::Send, "送信"},     {Command::InsertTemplate, "定型文"},
                {Command::LoadFile, "開く"}, {Command::Options, "オプション"}};
    for (const auto &row : rows) {
        QWidget *button =
            window.Commands().ToolBar()->widgetForAction(window.Commands().Action(row.command));
        QVERIFY(button);
        const QPoint at = button->rect().center();
        QHelpEvent request(QEvent::ToolTip, at, button->mapToGlobal(at));
        QApplication::sendEvent(button, &request);
        QTRY_COMPARE(QToolTip::text(), U(row.tip));
        QToolTip::hideText();
    }
}

void MainWindowTest::connectSendEchoAndDisconnect() {
    BoxAnswerer boxes;
    SettingsFile settings;
    MainWindow window(settings.Path());
    TestServer server(tarvotcpc::testing::Echo());

    ConnectTo(window, server);
    QVERIFY(LooksConnected(window));
    QCOMPARE(Status(window), QStringLiteral("127.0.0.1:%1").arg(server.Port()) + U("に接続中"));

    window.SendEdit()->setPlainText(U("hello\nこんにちは"));
    window.Commands().Action(Command::Send)->trigger();
    QTRY_COMPARE(PageText(window.Receive()), U("hello\nこんにちは"));
    QCOMPARE(window.Tabs()->currentIndex(), 1);
    QCOMPARE(window.SendEdit()->toPlainText(), U("hello\nこんにちは"));

    window.Commands().Action(Command::Disconnect)->trigger();
    QVERIFY2(!LooksConnected(window), "Connect is available again at once");
    QTRY_COMPARE(boxes.Seen().size(), std::size_t(1));
    const testing::SeenBox &box = boxes.Seen()[0];
    QCOMPARE(box.text, U("切断しました"));
    QCOMPARE(box.title, QStringLiteral("TARVO TCP/IP CLIENT"));
    QCOMPARE(box.icon, QMessageBox::NoIcon);
    QTRY_COMPARE(Status(window), U("切断しました"));
    QVERIFY(!LooksConnected(window));
    QVERIFY(!window.Controller().HasConnection());
}

void MainWindowTest::sendsUtf8WithCrlfLineBreaks() {
    BoxAnswerer boxes;
    SettingsFile settings;
    MainWindow window(settings.Path());
    TestServer server(tarvotcpc::testing::Sink());
    ConnectTo(window, server);
    window.SendEdit()->setPlainText(U("GET / HTTP/1.0\n日本語\u00a0x\n\n"));
    window.Commands().Action(Command::Send)->trigger();
    const std::string expected = "GET / HTTP/1.0\r\n日本語\xC2\xA0x\r\n\r\n";
    QTRY_COMPARE(server.Recorded(), expected);
}

void MainWindowTest::connectSendsAndClearsWithBothOptions() {
    BoxAnswerer boxes;
    SettingsFile settings({"consend=1", "consenclear=1"});
    MainWindow window(settings.Path());
    TestServer server(tarvotcpc::testing::Sink());
    window.SendEdit()->setPlainText(QStringLiteral("PING"));

    ConnectTo(window, server);
    QCOMPARE(window.SendEdit()->toPlainText(), QString());
    QTRY_COMPARE(server.Recorded(), std::string("PING"));
    window.Commands().Action(Command::Disconnect)->trigger();
    QTRY_COMPARE(boxes.Seen().size(), std::size_t(1));
    QCOMPARE(server.Recorded(), std::string("PING")); // sent once
}

void MainWindowTest::cancellingTheDialogChangesNothing() {
    BoxAnswerer boxes;
    SettingsFile settings;
    MainWindow window(settings.Path());
    window.show();
    window.statusBar()
        ->findChild<QLabel *>(QStringLiteral("statusLabel"))
        ->setText(QStringLiteral("before"));
    WhenModal<ConnectDialog>([](ConnectDialog *dialog) {
        dialog->HostBox()->setEditText(QStringLiteral("127.0.0.1"));
        dialog->PortEdit()->setText(QStringLiteral("1"));
        dialog->findChild<QPushButton *>(QStringLiteral("cancelPushButton"))->click();
    });
    window.Commands().Action(Command::Connect)->trigger();
    QVERIFY(!LooksConnected(window));
    QVERIFY(!window.Controller().HasConnection());
    QCOMPARE(Status(window), QStringLiteral("before"));
    QVERIFY(boxes.Seen().empty());
}

void MainWindowTest::peerClosingEndsWithNoticeAndStatus() {
    BoxAnswerer boxes;
    SettingsFile settings;
    MainWindow window(settings.Path());
    TestServer server(tarvotcpc::testing::SendThenClose("bye\r\n"));
    QSignalSpy ended(&window, &MainWindow::connectionEnded);
    ConnectTo(window, server);
    QVERIFY(ended.wait(5000));
    QCOMPARE(boxes.Seen().size(), std::size_t(1));
    QCOMPARE(boxes.Seen()[0].objectName, QString::fromLatin1(kNoticeBoxName));
    QCOMPARE(boxes.Seen()[0].text, U("切断しました"));
    QCOMPARE(PageText(window.Receive()), QStringLiteral("bye\n"));
    QCOMPARE(window.Tabs()->currentIndex(), 1);
    QCOMPARE(Status(window), U("切断しました"));
    QVERIFY(!LooksConnected(window));
}

void MainWindowTest::failedConnectWarns() {
    BoxAnswerer boxes;
    SettingsFile settings;
    MainWindow window(settings.Path());
    tarvotcpc::testing::RefusedPort refused;
    QSignalSpy ended(&window, &MainWindow::connectionEnded);
    ConnectThroughDialog(window, QStringLiteral("127.0.0.1"), QString::number(refused.Port()));
    QVERIFY(ended.wait(5000));
    QCOMPARE(boxes.Seen().size(), std::size_t(1));
    const testing::SeenBox &box = boxes.Seen()[0];
    QCOMPARE(box.text, U("接続に失敗しました"));
    QCOMPARE(box.icon, QMessageBox::Warning);
    // A blank caption: an empty one would be replaced by the program's name.
    QCOMPARE(box.title, QStringLiteral(" "));
    QCOMPARE(Status(window), U("接続に失敗しました"));
    QVERIFY(!LooksConnected(window));
}

void MainWindowTest::receivedBytesShowAsText() {
    BoxAnswerer boxes;
    SettingsFile settings;
    MainWindow window(settings.Path());
    // "あ" split between two writes, a NUL with text after it, an invalid byte, every kind of
    // line break, and a CRLF split between writes.
    TestServer server(SendPieces({std::string("a\r\nb\xE3\x81"), std::string("\x82\0c\xFF\rd\r", 7),
                                  "\ne\n" + std::string(5000, 'x')}));
    QSignalSpy ended(&window, &MainWindow::connectionEnded);
    ConnectTo(window, server);
    QVERIFY(ended.wait(5000));
    const QString expected = U("a\nbあ\u2400c\ufffd\nd\ne\n") + QString(5000, 'x');
    QCOMPARE(PageText(window.Receive()), expected);
}

void MainWindowTest::closingWhileConnectedIsQuietAndQuick() {
    BoxAnswerer boxes;
    SettingsFile settings;
    auto window = std::make_unique<MainWindow>(settings.Path());
    window->show();
    TestServer server(tarvotcpc::testing::Echo());
    ConnectTo(*window, server);
    window->SendEdit()->setPlainText(QStringLiteral("x"));
    window->Commands().Action(Command::Send)->trigger();
    QTRY_COMPARE(PageText(window->Receive()), QStringLiteral("x"));

    QElapsedTimer clock;
    clock.start();
    window->Commands().Action(Command::Exit)->trigger();
    QVERIFY(!window->isVisible());
    QVERIFY(!window->SettingsLoaded());
    window.reset();
    QTest::qWait(200); // anything the connection might still have said would show now
    QVERIFY(clock.elapsed() < 5000);
    QVERIFY(boxes.Seen().empty());
}

void MainWindowTest::helpOpensReadmeAndDocumentation() {
    SettingsFile settings;
    MainWindow window(settings.Path());
    QList<QUrl> opened;
    SetDesktopOpener([&opened](const QUrl &url) {
        opened << url;
        return true;
    });
    window.Commands().Action(Command::Readme)->trigger();
    window.Commands().Action(Command::HomePage)->trigger();
    SetDesktopOpener({});
    QCOMPARE(opened.size(), 2);
    QVERIFY(opened[0].isLocalFile());
    QVERIFY2(QFileInfo(opened[0].toLocalFile()).fileName() == QStringLiteral("README.md"),
             qPrintable(opened[0].toString()));
    QVERIFY(QFileInfo::exists(opened[0].toLocalFile()));
    QVERIFY(opened[1].isLocalFile());
}

void MainWindowTest::aboutShowsVersions() {
    BoxAnswerer boxes;
    SettingsFile settings;
    MainWindow window(settings.Path());
    window.Commands().Action(Command::About)->trigger();
    QCOMPARE(boxes.Seen().size(), std::size_t(1));
    QVERIFY(boxes.Seen()[0].text.contains(QStringLiteral(TARVOTCPC_VERSION)));
    QVERIFY(boxes.Seen()[0].text.contains(QStringLiteral("libvornhash")));
}

// A peer that streams far more than the page takes per step: everything arrives, in order, and the
// text waiting to be shown stays bounded because the connection stops reading meanwhile.
void MainWindowTest::largeStreamIsShownWholeWithBoundedBacklog() {
    BoxAnswerer boxes;
    SettingsFile settings;
    MainWindow window(settings.Path());
    constexpr std::size_t kLines = 300000; // about 24 MB
    std::string all;
    for (std::size_t i = 0; i < kLines; ++i)
        all += QStringLiteral("%1 ").arg(i, 8, 10, QLatin1Char('0')).toStdString() +
               std::string(70, static_cast<char>('a' + i % 26)) + "\n";
    TestServer server(SendPieces({all}));
    QSignalSpy ended(&window, &MainWindow::connectionEnded);
    std::size_t worst = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        worst = std::max(worst, window.Controller().Backlog() + window.Controller().QueuedBytes());
    });
    watch.start(5);
    ConnectTo(window, server);
    QVERIFY(ended.wait(60000));
    watch.stop();
    QCOMPARE(window.Controller().Backlog(), std::size_t(0));
    const Transcript &transcript = window.Controller().KeptTranscript();
    QCOMPARE(transcript.Size(), uint64_t(all.size()));
    QVERIFY(BytesOf(transcript, Direction::Received) == all);
    // What waits to be shown plus what waits in the connection's queue, each passed by one step.
    QVERIFY2(worst < 2 * ReceiveFlow::kBacklogHigh + kReceiveQueueLimit,
             std::to_string(worst).c_str());
}

// A line wider than the page brings the horizontal scroll bar, which makes the view one line
// shorter after the step that scrolled it: the page still follows every later line to the end,
// and stops following only when the user scrolls up.
void MainWindowTest::wideLinesKeepTheViewAtTheEnd() {
    BoxAnswerer boxes;
    SettingsFile settings;
    MainWindow window(settings.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    TestServer server(tarvotcpc::testing::Echo());
    ConnectTo(window, server);
    QScrollBar *bar = window.Receive()->verticalScrollBar();
    auto sendAndWait = [&](const QString &text) {
        window.SendEdit()->setPlainText(text);
        window.Commands().Action(Command::Send)->trigger();
        QTRY_VERIFY(PageText(window.Receive()).endsWith(text));
        QTest::qWait(100); // the layout that follows the step
    };
    QString lines;
    for (int i = 0; i < 40; ++i)
        lines += QStringLiteral("short %1\n").arg(i);
    sendAndWait(lines);
    QCOMPARE(bar->value(), bar->maximum());
    sendAndWait(QStringLiteral("$300\n") + QString(300, 'w') + "\n");
    for (int i = 0; i < 20; ++i)
        sendAndWait(QStringLiteral("+PONG %1\n").arg(i));
    QCOMPARE(bar->value(), bar->maximum());
    sendAndWait(QStringLiteral("newest-line\n"));
    QCOMPARE(bar->value(), bar->maximum());
    QCOMPARE(LastRows(window.Receive(), 1), QStringList{QStringLiteral("newest-line")});

    // Scrolled up by the user: the view stays where it was put.
    bar->setValue(bar->maximum() / 2);
    QTest::qWait(50);
    QVERIFY(!window.Receive()->IsFollowingEnd());
    const QStringList kept = window.Receive()->VisibleRows();

    sendAndWait(QStringLiteral("later\n"));
    QCOMPARE(window.Receive()->VisibleRows(), kept);
    bar->setValue(bar->maximum());
    QTRY_VERIFY(window.Receive()->IsFollowingEnd());
    sendAndWait(QStringLiteral("latest\n"));
    QCOMPARE(bar->value(), bar->maximum());
}

// Passing over the menus sets an empty status tip; the connection's status stays until it changes,
// and assistive technology reads it from the status bar.
void MainWindowTest::statusTextStaysAndIsReadable() {
    BoxAnswerer boxes;
    SettingsFile settings;
    MainWindow window(settings.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    TestServer server(tarvotcpc::testing::Silent());
    ConnectTo(window, server);
    const QString connecting = QStringLiteral("127.0.0.1:%1").arg(server.Port()) + U("に接続中");
    QCOMPARE(Status(window), connecting);

    QStatusTipEvent hover{QString()};
    QApplication::sendEvent(window.menuBar(), &hover);
    QMenu *file = window.findChild<QMenu *>(QStringLiteral("fileMenu"));
    file->popup(window.mapToGlobal(QPoint(0, 0)));
    QTRY_VERIFY(file->isVisible());
    file->setActiveAction(window.Commands().Action(Command::Connect));
    file->hide();
    QCOMPARE(Status(window), connecting);

    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(window.statusBar());
    QVERIFY(face);
    QCOMPARE(face->text(QAccessible::Name), connecting);

    // The second field, the address reached, reads by its text too (a new accessible name is
    // told to the bus as it is set).
    auto *peer = window.statusBar()->findChild<QLabel *>(QStringLiteral("peerLabel"));
    QTRY_VERIFY(!peer->text().isEmpty());
    QAccessibleInterface *peerFace = QAccessible::queryAccessibleInterface(peer);
    QCOMPARE(peerFace->text(QAccessible::Name), peer->text());
    QCOMPARE(peerFace->text(QAccessible::Description), U("接続先アドレス"));

    window.Commands().Action(Command::Disconnect)->trigger();
    QTRY_COMPARE(Status(window), U("切断しました"));
    QCOMPARE(face->text(QAccessible::Name), U("切断しました"));
}

void MainWindowTest::toolbarCannotBeHidden() {
    SettingsFile settings;
    MainWindow window(settings.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QToolBar *toolBar = window.Commands().ToolBar();
    for (QWidget *target :
         {static_cast<QWidget *>(toolBar), static_cast<QWidget *>(window.menuBar())}) {
        QContextMenuEvent request(QContextMenuEvent::Mouse, QPoint(2, 2),
                                  target->mapToGlobal(QPoint(2, 2)));
        QApplication::sendEvent(target, &request);
        QTest::qWait(50);
        QWidget *popup = QApplication::activePopupWidget();
        if (popup != nullptr) {
            for (QAction *action : popup->actions())
                QVERIFY2(!action->isEnabled() || !action->isVisible(), qPrintable(action->text()));
            popup->close();
        }
    }
    QVERIFY(!toolBar->toggleViewAction()->isEnabled());
    toolBar->toggleViewAction()->trigger();
    QVERIFY(toolBar->isVisible());

    // The pages keep their own context menus.
    for (QAbstractScrollArea *page : {static_cast<QAbstractScrollArea *>(window.SendEdit()),
                                      static_cast<QAbstractScrollArea *>(window.Receive())}) {
        bool shown = false;
        QTimer::singleShot(100, [&shown] {
            if (QWidget *popup = QApplication::activePopupWidget()) {
                shown = true;
                popup->close();
            }
        });
        QContextMenuEvent request(QContextMenuEvent::Mouse, QPoint(5, 5),
                                  page->viewport()->mapToGlobal(QPoint(5, 5)));
        QApplication::sendEvent(page->viewport(), &request);
        QTRY_VERIFY(shown);
    }
}

// Digits, Latin and Japanese text keep to one grid: a Japanese character is two columns wide.
void MainWindowTest::bothPagesUseOneMonospacedJapaneseFont() {
    SettingsFile settings;
    MainWindow window(settings.Path());
    for (QWidget *page :
         {static_cast<QWidget *>(window.SendEdit()), static_cast<QWidget *>(window.Receive())}) {
        QCOMPARE(QFontInfo(page->font()).family(), QStringLiteral("Noto Sans Mono CJK JP"));
        const QFontMetrics metrics(page->font());
        const int column = metrics.horizontalAdvance(QLatin1Char('a'));
        QCOMPARE(metrics.horizontalAdvance(QStringLiteral("0123456789")), 10 * column);
        QCOMPARE(metrics.horizontalAdvance(U("日本語テキスト")), 14 * column);
    }
}

void MainWindowTest::optionsIconIsTheProgramsOwn() {
    SettingsFile settings;
    MainWindow window(settings.Path());
    const QImage shown =
        window.Commands().Action(Command::Options)->icon().pixmap(24, 24).toImage();
    const QImage own = QIcon(QStringLiteral(":/icons/options.svg")).pixmap(24, 24).toImage();
    QVERIFY(!own.isNull());
    QCOMPARE(shown.convertToFormat(QImage::Format_ARGB32),
             own.convertToFormat(QImage::Format_ARGB32));
}

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::MainWindowTest)
#include "main_window_test.moc"
