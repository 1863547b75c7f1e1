// End to end against a real server: Debian's redis-server on a loopback port of its own, reached
// through the window's connect dialog.
#include <QAction>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSpinBox>
#include <QScrollBar>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTabWidget>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "dialogs/connect_dialog.hpp"
#include "dialogs/placeholder_dialogs.hpp"
#include "window/main_window.hpp"
#include "window/receive_page.hpp"
#include "view/transcript_view.hpp"
#include "support/ui_support.hpp"

namespace tarvotcpc::ui {
namespace {

using testing::BoxAnswerer;
using testing::LastRows;
using testing::PageText;
using testing::SettingsFile;
using testing::WhenModal;

sockaddr_in Loopback(quint16 port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A loopback port that was free a moment ago.
quint16 FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    socklen_t length = sizeof address;
    quint16 port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) == 0)
        port = ntohs(address.sin_port);
    close(fd);
    return port;
}

bool Accepts(quint16 port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = Loopback(port);
    const bool ok = connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return ok;
}

class RedisEndToEndTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase();
    void cleanupTestCase();
    void pingGivesPong();
    void followsTheEndAfterAWideLine();
    void typingIsKeptWhilePublishedMessagesArrive();
    void aRepeatOfAHundredCountsInOrder();

  private:
    QProcess redis_;
    quint16 port_ = 0;
};

void RedisEndToEndTest::initTestCase() {
    const QString program = QStandardPaths::findExecutable(QStringLiteral("redis-server"));
    if (program.isEmpty()) QSKIP("redis-server is not installed (scripts/setup.sh installs it)");
    port_ = FreePort();
    QVERIFY(port_ != 0);
    redis_.setProgram(program);
    redis_.setArguments({QStringLiteral("--port"), QString::number(port_), QStringLiteral("--bind"),
                         QStringLiteral("127.0.0.1"), QStringLiteral("--save"), QString(),
                         QStringLiteral("--appendonly"), QStringLiteral("no"),
                         QStringLiteral("--dir"), QDir::tempPath()});
    redis_.start();
    QVERIFY(redis_.waitForStarted(5000));
    // Ready once it accepts connections.
    bool ready = false;
    for (int i = 0; i < 200 && !ready; ++i) {
        ready = Accepts(port_);
        if (!ready) QTest::qWait(25);
    }
    QVERIFY2(ready, "redis-server did not start listening");
}

void RedisEndToEndTest::cleanupTestCase() {
    if (redis_.state() == QProcess::NotRunning) return;
    redis_.terminate();
    if (!redis_.waitForFinished(5000)) redis_.kill();
}

void RedisEndToEndTest::pingGivesPong() {
    BoxAnswerer boxes;
    SettingsFile settings;
    MainWindow window(settings.Path());
    window.show();
    const quint16 port = port_;
    WhenModal<ConnectDialog>([port](ConnectDialog *dialog) {
        dialog->HostBox()->setEditText(QStringLiteral("localhost:%1").arg(port));
        dialog->findChild<QPushButton *>(QStringLiteral("connectPushButton"))->click();
    });
    window.Commands().Action(Command::Connect)->trigger();

    window.SendEdit()->setPlainText(QStringLiteral("PING\n"));
    window.Commands().Action(Command::Send)->trigger();
    QTRY_COMPARE(PageText(window.Receive()), QStringLiteral("+PONG\n"));
    QCOMPARE(window.Tabs()->currentIndex(), 1);

    // Inline commands of the protocol, two in one page, each answered in order.
    window.SendEdit()->setPlainText(QStringLiteral("SET tarvo 日本語\nGET tarvo\n"));
    window.Commands().Action(Command::Send)->trigger();
    QTRY_COMPARE(PageText(window.Receive()), QString::fromUtf8("+PONG\n+OK\n$9\n日本語\n"));

    window.SendEdit()->setPlainText(QStringLiteral("QUIT\n"));
    window.Commands().Action(Command::Send)->trigger();
    QTRY_COMPARE(boxes.Seen().size(), std::size_t(1));
    QCOMPARE(boxes.Seen()[0].text, QString::fromUtf8("切断しました"));
    QTRY_COMPARE(window.statusBar()->findChild<QLabel *>(QStringLiteral("statusLabel"))->text(),
                 QString::fromUtf8("切断しました"));
}

// Connects the window to the server through its connect dialog.
void ConnectWindow(MainWindow &window, quint16 port) {
    WhenModal<ConnectDialog>([port](ConnectDialog *dialog) {
        dialog->HostBox()->setEditText(QStringLiteral("127.0.0.1:%1").arg(port));
        dialog->findChild<QPushButton *>(QStringLiteral("connectPushButton"))->click();
    });
    window.Commands().Action(Command::Connect)->trigger();
}

// Sends text from the send page and waits until the page ends with answer.
void SendAndAwait(MainWindow &window, const QString &text, const QString &answer) {
    window.SendEdit()->setPlainText(text);
    window.Commands().Action(Command::Send)->trigger();
    QTRY_VERIFY(PageText(window.Receive()).endsWith(answer));
    QTest::qWait(100); // the layout that follows the step
}

// A value wider than the page, then more answers: the newest answer is in view.
void RedisEndToEndTest::followsTheEndAfterAWideLine() {
    BoxAnswerer boxes;
    SettingsFile settings;
    MainWindow window(settings.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    ConnectWindow(window, port_);
    const QString value(300, 'v');
    SendAndAwait(window, QStringLiteral("SET long ") + value + "\n", QStringLiteral("+OK\n"));
    for (int i = 0; i < 20; ++i)
        SendAndAwait(window, QStringLiteral("PING\n"), QStringLiteral("+PONG\n"));
    SendAndAwait(window, QStringLiteral("GET long\n"), value + "\n");
    SendAndAwait(window, QStringLiteral("ECHO newest-line\n"), QStringLiteral("newest-line\n"));
    QScrollBar *bar = window.Receive()->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    QVERIFY(window.Receive()->IsFollowingEnd());
    // The newest answer's line is the last row drawn on the page.
    QCOMPARE(LastRows(window.Receive(), 1), QStringList{QStringLiteral("newest-line")});
}

// A subscription that brings a message every quarter second while the user types on the send
// page: the page stays in front and every keystroke reaches it.
void RedisEndToEndTest::typingIsKeptWhilePublishedMessagesArrive() {
    BoxAnswerer boxes;
    SettingsFile settings;
    MainWindow window(settings.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    ConnectWindow(window, port_);
    SendAndAwait(window, QStringLiteral("SUBSCRIBE news\n"), QStringLiteral(":1\n"));
    QCOMPARE(window.Tabs()->currentIndex(), 1);

    // The publisher is a second client of the server; its own answers are never read.
    const int publisher = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = Loopback(port_);
    QVERIFY(::connect(publisher, reinterpret_cast<const sockaddr *>(&address), sizeof address) ==
            0);
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [publisher] {
        static const char kPublish[] = "PUBLISH news tick\r\n";
        (void)!send(publisher, kPublish, sizeof kPublish - 1, MSG_NOSIGNAL);
    });
    tick.start(250);

    window.SendEdit()->clear();
    window.Tabs()->setCurrentIndex(0);
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    window.SendEdit()->setFocus();
    const QString typed = QStringLiteral("GET tarvo typed while messages arrive");
    for (const QChar c : typed) {
        // Keys go wherever the focus is, as the user's would.
        QWidget *focus = QApplication::focusWidget();
        QVERIFY(focus);
        QTest::keyClick(focus, c.toLatin1());
        QTest::qWait(40);
    }
    tick.stop();
    close(publisher);
    QCOMPARE(window.Tabs()->currentIndex(), 0);
    QCOMPARE(window.SendEdit()->toPlainText(), typed);
    QVERIFY(PageText(window.Receive()).count(QStringLiteral("tick")) >= 4);
}

// A hundred sends every 10 ms from the repeat dialog, each a PING and an ECHO of %counter%:
// redis answers each in order, and every send is marked in the record before its bytes.
void RedisEndToEndTest::aRepeatOfAHundredCountsInOrder() {
    BoxAnswerer boxes;
    SettingsFile settings({"placeholders=1"});
    MainWindow window(settings.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    ConnectWindow(window, port_);
    window.SendEdit()->setPlainText(QStringLiteral("PING\nECHO %counter%\n"));
    WhenModal<RepeatDialog>([](RepeatDialog *dialog) {
        dialog->IntervalBox()->setValue(10);
        dialog->CountBox()->setValue(100);
        dialog->findChild<QPushButton *>(QStringLiteral("okPushButton"))->click();
    });
    window.Commands().Action(Command::RepeatSend)->trigger();
    QVERIFY(!window.Commands().Action(Command::RepeatSend)->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(window.RepeatLabel()->text(),
                              QString::fromUtf8("繰り返し送信 100/100 完了"), 30000);
    QVERIFY(window.Commands().Action(Command::RepeatSend)->isEnabled());
    QString expected;
    for (int n = 1; n <= 100; ++n)
        expected += QStringLiteral("+PONG\n$%1\n%2\n").arg(QString::number(n).size()).arg(n);
    QTRY_COMPARE_WITH_TIMEOUT(PageText(window.Receive()), expected, 10000);
    const Transcript &kept = window.Controller().KeptTranscript();
    QCOMPARE(int(kept.Notes().size()), 100);
    for (int n = 1; n <= 100; ++n) {
        const Note &note = kept.Notes()[std::size_t(n - 1)];
        QCOMPARE(QString::fromStdString(note.text),
                 QString::fromUtf8("繰り返し送信 %1/100").arg(n));
        std::string bytes;
        QVERIFY(kept.Read(note.offset, 6, bytes));
        QCOMPARE(QString::fromStdString(bytes), QStringLiteral("PING\r\n"));
    }
    QVERIFY(boxes.Seen().empty());
}

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::RedisEndToEndTest)
#include "redis_end_to_end_test.moc"
