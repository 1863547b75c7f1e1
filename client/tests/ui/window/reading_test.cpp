// Reading an answer at a glance, in the real window against real peers: the encoding detected
// and named in the toolbar (and a choice of the user's never switched away), and the replies of
// redis-server, Python's http.server and aiosmtpd marked on the page while the bytes copied and
// saved stay as they came.
#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "dialogs/connect_dialog.hpp"
#include "settings/options.hpp"
#include "settings/settings.hpp"
#include "support/test_servers.hpp"
#include "support/ui_support.hpp"
#include "text/send_encoding.hpp"
#include "view/transcript_view.hpp"
#include "window/main_window.hpp"
#include "window/receive_page.hpp"
#include "window/save_runner.hpp"
#include "window/view_controls.hpp"

using tarvotcpc::testing::TestServer;

namespace tarvotcpc::ui {
namespace {

using testing::BoxAnswerer;
using testing::BytesOf;
using testing::FileDialogAnswerer;
using testing::PageText;
using testing::SettingsFile;
using testing::WhenModal;

QString U(const char *utf8) {
    return QString::fromUtf8(utf8);
}

sockaddr_in Loopback(quint16 port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

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

bool SendAll(int fd, const std::string &bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += std::size_t(n);
    }
    return true;
}

// A server program on a loopback port of its own, stopped with the test.
class ServerProgram {
  public:
    // Starts program with args (where "PORT" stands for the port) and waits until it listens;
    // false when it is not installed or never listens.
    bool Start(const QString &program, QStringList args, const QString &dir = QString()) {
        const QString path = QStandardPaths::findExecutable(program);
        if (path.isEmpty()) return false;
        port_ = FreePort();
        args.replaceInStrings(QStringLiteral("PORT"), QString::number(port_));
        process_.setProgram(path);
        process_.setArguments(args);
        if (!dir.isEmpty()) process_.setWorkingDirectory(dir);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start();
        if (!process_.waitForStarted(5000)) return false;
        for (int i = 0; i < 400; ++i) {
            if (Accepts(port_)) return true;
            QTest::qWait(25);
        }
        return false;
    }
    ~ServerProgram() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.terminate();
        if (!process_.waitForFinished(5000)) process_.kill();
    }
    quint16 Port() const { return port_; }

  private:
    QProcess process_;
    quint16 port_ = 0;
};

// Connects to the port once the previous connection, if any, is over.
void ConnectWindow(MainWindow &window, quint16 port) {
    QAction *connectAction = window.Commands().Action(Command::Connect);
    if (!connectAction->isEnabled()) window.Commands().Action(Command::Disconnect)->trigger();
    QTRY_VERIFY(connectAction->isEnabled());
    WhenModal<ConnectDialog>([port](ConnectDialog *dialog) {
        dialog->HostBox()->setEditText(QStringLiteral("127.0.0.1:%1").arg(port));
        dialog->findChild<QPushButton *>(QStringLiteral("connectPushButton"))->click();
    });
    connectAction->trigger();
}

void Send(MainWindow &window, const QString &text) {
    window.SendEdit()->setPlainText(text);
    window.Commands().Action(Command::Send)->trigger();
}

// Greets with bytes, then answers every line it reads with more.
TestServer::Behaviour Greets(std::string greeting, std::string more = {}) {
    return [greeting, more](int fd, TestServer &) {
        if (!SendAll(fd, greeting)) return;
        char c = 0;
        while (recv(fd, &c, 1, 0) == 1)
            if (c == '\n' && !SendAll(fd, more)) return;
    };
}

std::string Encoded(const char *utf8, Encoding encoding) {
    const SendBytes out = EncodeForSend(utf8, encoding, LineEnding::Crlf, false);
    if (!out.ok) qFatal("not encodable: %s", utf8);
    return out.bytes;
}

const char kGreeting[] = "220 ようこそ。このサーバは受信データの文字コードを判別する試験のために"
                         "動いています。どうぞごゆっくり。\n";

std::string Hex(const std::string &bytes) {
    return QByteArray::fromStdString(bytes).toHex(' ').toUpper().toStdString();
}

class ReadingTest : public QObject {
    Q_OBJECT

  private slots:
    void detectedEncodingIsNamedAndTheUsersChoiceWins();
    void redisRepliesAreMarkedAndTheBytesStayAsTheyCame();
    void httpResponseShowsItsCodeHeadersAndBody();
    void smtpRepliesAreRuledApart();

  private:
    // The received bytes copied (as text and hex) and saved, with the protocol's marks on, are
    // what the page gives without them and what came.
    void ExpectBytesAsTheyCame(MainWindow &window, const char *protocol);
};

void ReadingTest::detectedEncodingIsNamedAndTheUsersChoiceWins() {
    BoxAnswerer boxes;
    SettingsFile settings({"conreclear=1"});
    MainWindow window(settings.Path());
    window.resize(1400, 500); // the greeting in one row
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    TranscriptView *page = window.Receive();
    QComboBox *box = window.View().EncodingBox();

    window.View().AutoEncodingAction()->trigger();
    QVERIFY(window.Controller().ViewEncoding().Automatic());
    QCOMPARE(box->currentText(), U("自動判別 (UTF-8)"));
    QVERIFY(window.View().AutoEncodingAction()->isChecked());

    struct Case {
        std::string bytes;
        QString text;
        Encoding encoding;
        const char *label;
    };
    const QString greeting = U(kGreeting);
    // French that uchardet names ISO-8859-1 (German this short it takes for ISO-8859-2).
    const std::string latin1 = "220 Bienvenue \xE0 la r\xE9"
                               "ception, caf\xE9 cr\xE8me et cr\xEApe br\xFBl\xE9"
                               "e, tr\xE8s \xE9l\xE9gant.\r\n";
    // Plain ASCII first: it raises no alarm, and the page stays on its default.
    const Case cases[] = {
        {"220 plain English greeting, nothing more\r\n",
         QStringLiteral("220 plain English greeting, nothing more\n"), Encoding::Utf8,
         "自動判別 (UTF-8)"},
        {Encoded(kGreeting, Encoding::ShiftJis), greeting, Encoding::ShiftJis, "検出: Shift_JIS"},
        {Encoded(kGreeting, Encoding::EucJp), greeting, Encoding::EucJp, "検出: EUC-JP"},
        {Encoded(kGreeting, Encoding::Iso2022Jp), greeting, Encoding::Iso2022Jp,
         "検出: ISO-2022-JP"},
        {Encoded(kGreeting, Encoding::Utf8), greeting, Encoding::Utf8, "検出: UTF-8"},
        {latin1, QString::fromLatin1(latin1).replace(QStringLiteral("\r\n"), QStringLiteral("\n")),
         Encoding::Latin1, "推定: Latin-1"},
    };
    for (const Case &c : cases) {
        TestServer server(Greets(c.bytes));
        ConnectWindow(window, server.Port());
        QTRY_COMPARE(BytesOf(window.Controller().KeptTranscript(), Direction::Received), c.bytes);
        QTRY_COMPARE(box->currentText(), U(c.label));
        QCOMPARE(page->GetEncoding(), c.encoding);
        QCOMPARE(PageText(page), c.text);
        QVERIFY(page->VisibleRows().contains(c.text.trimmed()));
    }

    // The user's choice during a connection holds against the bytes that follow, and at the
    // next connection: it is stored.
    TestServer server(Greets(
        Encoded(kGreeting, Encoding::ShiftJis),
        Encoded("250 まだまだ日本語が続きます。判別は変わりません。\n", Encoding::ShiftJis)));
    ConnectWindow(window, server.Port());
    QTRY_COMPARE(box->currentText(), U("検出: Shift_JIS"));
    window.View().EncodingAction(Encoding::EucJp)->trigger();
    QCOMPARE(page->GetEncoding(), Encoding::EucJp);
    QCOMPARE(box->currentText(), U("EUC-JP"));
    const uint64_t before = window.Controller().KeptTranscript().Size();
    Send(window, QStringLiteral("MORE\n"));
    QTRY_VERIFY(window.Controller().KeptTranscript().Size() > before + 20);
    QTest::qWait(100);
    QCOMPARE(page->GetEncoding(), Encoding::EucJp);
    QCOMPARE(box->currentText(), U("EUC-JP"));
    QVERIFY(window.View().EncodingAction(Encoding::EucJp)->isChecked());

    TestServer again(Greets(Encoded(kGreeting, Encoding::ShiftJis)));
    ConnectWindow(window, again.Port());
    QTRY_COMPARE(BytesOf(window.Controller().KeptTranscript(), Direction::Received),
                 Encoded(kGreeting, Encoding::ShiftJis));
    QTest::qWait(100);
    QCOMPARE(page->GetEncoding(), Encoding::EucJp);
    QCOMPARE(box->currentText(), U("EUC-JP"));
}

void ReadingTest::ExpectBytesAsTheyCame(MainWindow &window, const char *protocol) {
    TranscriptView *page = window.Receive();
    const std::string received = BytesOf(window.Controller().KeptTranscript(), Direction::Received);
    page->SelectAll();
    const std::optional<QString> marked = page->SelectedText();
    const std::optional<QString> hex = page->SelectedHex();
    QVERIFY(marked && hex);
    QCOMPARE(hex->toStdString(), Hex(received));
    window.View().ProtocolAction(kViewProtocolNone)->trigger();
    QVERIFY(page->VisibleShapes().isEmpty());
    QCOMPARE(page->SelectedText(), marked);
    window.View().ProtocolAction(protocol)->trigger();
    QTRY_VERIFY(page->ShapesDone());

    tarvotcpc::testing::TempDir dir;
    const QString target = QString::fromStdString(dir.Path("received.bin"));
    FileDialogAnswerer answer(target);
    QSignalSpy done(window.Saver(), &SaveRunner::finished);
    window.Commands().Action(Command::SaveReceived)->trigger();
    QVERIFY(done.wait(30000));
    QFile saved(target);
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll().toStdString(), received);
}

void ReadingTest::redisRepliesAreMarkedAndTheBytesStayAsTheyCame() {
    ServerProgram redis;
    if (!redis.Start(QStringLiteral("redis-server"),
                     {QStringLiteral("--port"), QStringLiteral("PORT"), QStringLiteral("--bind"),
                      QStringLiteral("127.0.0.1"), QStringLiteral("--save"), QString(),
                      QStringLiteral("--appendonly"), QStringLiteral("no"), QStringLiteral("--dir"),
                      QDir::tempPath()}))
        QSKIP("redis-server is not installed (scripts/setup.sh installs it)");
    BoxAnswerer boxes;
    SettingsFile settings;
    MainWindow window(settings.Path());
    window.resize(800, 700);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    TranscriptView *page = window.Receive();
    ConnectWindow(window, redis.Port());
    Send(window, QStringLiteral("SET k hello\nGET k\nDEL l\nRPUSH l a bb\nLRANGE l 0 -1\n"
                                "GET nothing\nHSET\n"));
    QTRY_VERIFY(PageText(page).endsWith(QStringLiteral("$-1\n-ERR wrong number of arguments for "
                                                       "'hset' command\n")));
    QCOMPARE(page->VisibleShapes(), QStringList());

    // Chosen once the replies are in: the record is read again.
    window.View().ProtocolAction("resp")->trigger();
    QVERIFY(window.View().ProtocolAction("resp")->isChecked());
    QTRY_VERIFY(page->ShapesDone());
    const QStringList shapes = page->VisibleShapes();
    // +OK | $5 hello | :0 | :2 | *2 $1 a $2 bb | $-1 | -ERR ...: a rule above each reply but the
    // first, the type and length prefixes quieter, and each bulk string's length after its
    // prefix.
    for (const char *expected :
         {"rule 1", "rule 3", "rule 4", "rule 5", "rule 10", "rule 11", "quiet 0 +", "quiet 1 $5",
          "quiet 3 :", "quiet 5 *2", "quiet 6 $1", "quiet 8 $2", "quiet 10 $-1", "quiet 11 -",
          "label 1 本文 5/5 バイト", "label 6 本文 1/1 バイト", "label 8 本文 2/2 バイト"})
        QVERIFY2(shapes.contains(U(expected)), qPrintable(shapes.join(" | ")));
    QCOMPARE(shapes.filter(QStringLiteral("rule")).size(), 6);
    // Nothing hidden: the rows are the bytes as ever.
    QCOMPARE(page->VisibleRows().mid(0, 3), (QStringList{"+OK", "$5", "hello"}));
    ExpectBytesAsTheyCame(window, "resp");
}

void ReadingTest::httpResponseShowsItsCodeHeadersAndBody() {
    tarvotcpc::testing::TempDir root;
    const std::string body = "hello, 世界\n";
    tarvotcpc::testing::WriteFile(root.Path("hello.txt"), body);
    ServerProgram http;
    if (!http.Start(QStringLiteral("python3"),
                    {QStringLiteral("-m"), QStringLiteral("http.server"), QStringLiteral("--bind"),
                     QStringLiteral("127.0.0.1"), QStringLiteral("PORT")},
                    QString::fromStdString(root.Path())))
        QSKIP("python3 is not installed");
    BoxAnswerer boxes;
    SettingsFile settings({"viewprotocol=http"});
    MainWindow window(settings.Path());
    window.resize(800, 700);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY(window.View().ProtocolAction("http")->isChecked());
    TranscriptView *page = window.Receive();
    ConnectWindow(window, http.Port());
    Send(window, QStringLiteral("GET /hello.txt HTTP/1.0\n\n"));
    QTRY_VERIFY(PageText(page).endsWith(U("hello, 世界\n")));
    QTRY_VERIFY(page->ShapesDone());
    const QStringList shapes = page->VisibleShapes();
    const QStringList rows = page->VisibleRows();
    QCOMPARE(rows.first(), QStringLiteral("HTTP/1.0 200 OK"));
    QVERIFY2(shapes.contains(QStringLiteral("quiet 0 200")), qPrintable(shapes.join(" | ")));
    // Every header's name, without its colon, and the body's length after the empty line.
    const int blank = int(rows.indexOf(QString()));
    QVERIFY(blank > 1);
    for (int row = 1; row < blank; ++row)
        QVERIFY2(shapes.contains(
                     QStringLiteral("quiet %1 %2").arg(row).arg(rows[row].section(':', 0, 0))),
                 qPrintable(rows[row]));
    QVERIFY2(shapes.contains(U("label %1 本文 %2/%2 バイト").arg(blank).arg(body.size())),
             qPrintable(shapes.join(" | ")));
    QCOMPARE(shapes.filter(QStringLiteral("rule")).size(), 0); // one response
    ExpectBytesAsTheyCame(window, "http");
}

void ReadingTest::smtpRepliesAreRuledApart() {
    ServerProgram smtp;
    // Debian's python3-aiosmtpd, for Debian's interpreter whatever python3 the PATH finds first.
    if (!smtp.Start(QStringLiteral("/usr/bin/python3"),
                    {QStringLiteral("-m"), QStringLiteral("aiosmtpd"), QStringLiteral("-n"),
                     QStringLiteral("-l"), QStringLiteral("127.0.0.1:PORT")}))
        QSKIP("aiosmtpd is not installed (python3-aiosmtpd)");
    BoxAnswerer boxes;
    SettingsFile settings;
    MainWindow window(settings.Path());
    window.resize(800, 700);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    TranscriptView *page = window.Receive();
    window.View().ProtocolAction("smtp")->trigger();
    ConnectWindow(window, smtp.Port());
    QTRY_VERIFY(PageText(page).startsWith(QStringLiteral("220 ")));
    Send(window, QStringLiteral("EHLO tarvo\nNOOP\n"));
    QTRY_VERIFY(PageText(page).endsWith(QStringLiteral("250 OK\n")));
    QTRY_VERIFY(page->ShapesDone());
    const QStringList shapes = page->VisibleShapes();
    const QStringList rows = page->VisibleRows();
    // 220 greeting | 250-... 250 HELP | 250 OK: a rule above the second and the third, each code
    // quieter.
    const int last = int(rows.lastIndexOf(QStringLiteral("250 OK")));
    QVERIFY(last > 2);
    QCOMPARE(shapes.filter(QStringLiteral("rule")),
             (QStringList{QStringLiteral("rule 1"), QStringLiteral("rule %1").arg(last)}));
    for (int row = 0; row <= last; ++row)
        QVERIFY2(shapes.contains(QStringLiteral("quiet %1 %2").arg(row).arg(rows[row].left(3))),
                 qPrintable(shapes.join(" | ")));
    ExpectBytesAsTheyCame(window, "smtp");
}

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::ReadingTest)
#include "reading_test.moc"
