// The window against real TLS peers on loopback (openssl s_server, Python's ssl module), with a
// test CA handed to the connection in place of the system's store; IPv6 to [::1]; and the window
// as the listening side, with and without TLS.
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QStatusBar>
#include <QtTest>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/addresses.hpp"
#include "session/certificate_text.hpp"
#include "dialogs/connect_dialog.hpp"
#include "net/listener.hpp"
#include "window/main_window.hpp"
#include "support/peer_process.hpp"
#include "window/receive_page.hpp"
#include "support/test_servers.hpp"
#include "dialogs/tls_dialogs.hpp"
#include "hosts/trust_store.hpp"
#include "support/ui_support.hpp"
#include "session/receive_flow.hpp"
#include "window/save_runner.hpp"

namespace tarvotcpc::ui {
namespace {

using namespace std::chrono_literals;
using tarvotcpc::testing::CertKind;
using tarvotcpc::testing::PeerProcess;
using tarvotcpc::testing::TempDir;
using tarvotcpc::testing::TestPki;
using testing::BoxAnswerer;
using testing::FileDialogAnswerer;
using testing::SettingsFile;
using testing::WhenModal;

constexpr int kWaitMs = 15000;

struct SServer {
    std::unique_ptr<PeerProcess> process;
    uint16_t port = 0;
};

SServer StartSServer(const std::string &cert, const std::string &accept = "127.0.0.1:0") {
    SServer s;
    s.process = std::make_unique<PeerProcess>(
        std::vector<std::string>{"openssl", "s_server", "-accept", accept, "-cert", cert, "-key",
                                 TestPki::KeyOf(cert), "-naccept", "1"});
    if (s.process->WaitFor("ACCEPT", 10s)) s.process->WaitFor("\n", 1s);
    s.port = s.process->PortAfter("ACCEPT");
    return s;
}

void ConnectThroughDialog(MainWindow &window, const QString &host, const QString &port, bool tls) {
    WhenModal<ConnectDialog>([host, port, tls](ConnectDialog *dialog) {
        dialog->HostBox()->setEditText(host);
        dialog->PortEdit()->setText(port);
        dialog->TlsBox()->setChecked(tls);
        dialog->findChild<QPushButton *>(QStringLiteral("connectPushButton"))->click();
    });
    window.Commands().Action(Command::Connect)->trigger();
}

// Answers the next certificate question with the button named, keeping what it said.
void AnswerCertificate(const char *button, QString *said = nullptr) {
    WhenModal<CertificateDialog>([button, said](CertificateDialog *dialog) {
        if (said != nullptr)
            *said = dialog->findChild<QPlainTextEdit *>(QStringLiteral("certificateTextEdit"))
                        ->toPlainText();
        dialog->findChild<QPushButton *>(QString::fromLatin1(button))->click();
    });
}

QString Peer(MainWindow &window) {
    return window.PeerLabel()->text();
}

QString Received(MainWindow &window) {
    return testing::PageText(window.Receive());
}

void SendText(MainWindow &window, const QString &text) {
    window.SendEdit()->setPlainText(text);
    window.Commands().Action(Command::Send)->trigger();
}

bool HasIpv6Loopback() {
    SocketAddress v6;
    NumericAddress("::1", 0, v6);
    const ListenResult probe = Listen(v6);
    if (probe.fd < 0) return false;
    close(probe.fd);
    return true;
}

class TlsWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void trustedPeerShowsProtocolCipherAndChain();
    void selfSignedAsksAndEachAnswerDoesWhatItSays();
    void starttlsUpgradesTheLiveConnection();
    void ipv6LiteralInBrackets();
    void listeningPlainThenTlsThenPortInUse();
    void keepListeningWaitsForTheNextPeer();
};

// A CA-issued certificate: no question, the TLS protocol and cipher beside the address, data
// both ways, the chain on demand, and the history keeps the TLS mark.
void TlsWindowTest::trustedPeerShowsProtocolCipherAndChain() {
    TempDir dir;
    TestPki pki(dir.Path());
    SServer server = StartSServer(pki.Make(CertKind::Leaf, "leaf"));
    QVERIFY(server.port != 0);
    SettingsFile settings({"hostsave=1"});
    BoxAnswerer boxes;
    MainWindow window(settings.Path());
    window.Controller().SetTrustAnchors(pki.CaFile());
    ConnectThroughDialog(window, QStringLiteral("localhost"), QString::number(server.port), true);
    QTRY_VERIFY_WITH_TIMEOUT(Peer(window).contains(QStringLiteral("TLSv1.3")), kWaitMs);
    QVERIFY(Peer(window).contains(QStringLiteral(":") + QString::number(server.port)));
    QVERIFY(window.Commands().Action(Command::Certificates)->isEnabled());
    QVERIFY(!window.Commands().Action(Command::StartTls)->isEnabled());
    SendText(window, QStringLiteral("hello over tls"));
    QVERIFY(server.process->WaitFor("hello over tls", 10s));
    server.process->Send("answer from s_server\n");
    QTRY_VERIFY_WITH_TIMEOUT(Received(window).contains(QStringLiteral("answer from s_server")),
                             kWaitMs);

    QString chain;
    WhenModal<QDialog>([&chain](QDialog *dialog) {
        chain = dialog->findChild<QPlainTextEdit *>()->toPlainText();
        dialog->reject();
    });
    window.Commands().Action(Command::Certificates)->trigger();
    QVERIFY(chain.contains(QStringLiteral("BEGIN CERTIFICATE")));
    QVERIFY(chain.contains(QStringLiteral("SHA-256")));

    const std::string file = tarvotcpc::testing::ReadFile(settings.Path());
    QVERIFY2(file.find("localhost:" + std::to_string(server.port) + " (TLS)") != std::string::npos,
             file.c_str());
    window.close();
}

// A self-signed certificate: "once" lets data flow; "cancel" sends nothing and ends with a clear
// text; "always" pins it (the next connect asks nothing), and a changed certificate asks again.
void TlsWindowTest::selfSignedAsksAndEachAnswerDoesWhatItSays() {
    TempDir dir;
    TestPki pki(dir.Path());
    const std::string selfSigned = pki.Make(CertKind::SelfSigned, "self");
    SettingsFile settings;
    BoxAnswerer boxes;
    MainWindow window(settings.Path());
    window.Controller().SetTrustAnchors(pki.CaFile());

    {
        SServer server = StartSServer(selfSigned);
        QString said;
        AnswerCertificate("oncePushButton", &said);
        window.SendEdit()->setPlainText(QStringLiteral("x"));
        ConnectThroughDialog(window, QStringLiteral("127.0.0.1"), QString::number(server.port),
                             true);
        QTRY_VERIFY_WITH_TIMEOUT(Peer(window).contains(QStringLiteral("TLSv1.")), kWaitMs);
        for (const char *part : {"理由: ", "発行先: ", "発行者: ", "有効期間: ", "SHA-256"})
            QVERIFY2(said.contains(QString::fromUtf8(part)), part);
        SendText(window, QStringLiteral("after once"));
        QVERIFY(server.process->WaitFor("after once", 10s));
        window.Commands().Action(Command::Disconnect)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!window.Controller().HasConnection(), kWaitMs);
    }
    {
        SServer server = StartSServer(selfSigned);
        const std::string sentBefore =
            testing::BytesOf(window.Controller().KeptTranscript(), Direction::Sent);
        // Sent while the question is open: it must never reach the peer.
        WhenModal<CertificateDialog>([&window](CertificateDialog *dialog) {
            SendText(window, QStringLiteral("after cancel"));
            QTest::qWait(100);
            dialog->findChild<QPushButton *>(QStringLiteral("cancelPushButton"))->click();
        });
        ConnectThroughDialog(window, QStringLiteral("127.0.0.1"), QString::number(server.port),
                             true);
        QTRY_VERIFY_WITH_TIMEOUT(!window.Controller().HasConnection(), kWaitMs);
        const std::string status = window.Controller().StatusText();
        QVERIFY(status.rfind("エラー: ", 0) == 0);
        QVERIFY(server.process->Output().find("after") == std::string::npos);
        // Nor is it kept as sent; the end says what was not sent.
        QCOMPARE(testing::BytesOf(window.Controller().KeptTranscript(), Direction::Sent),
                 sentBefore);
        QVERIFY2(status.find(" (12バイトは送信されていません)") != std::string::npos,
                 status.c_str());
    }
    {
        SServer server = StartSServer(selfSigned);
        AnswerCertificate("alwaysPushButton");
        ConnectThroughDialog(window, QStringLiteral("127.0.0.1"), QString::number(server.port),
                             true);
        QTRY_VERIFY_WITH_TIMEOUT(Peer(window).contains(QStringLiteral("TLSv1.")), kWaitMs);
        const TrustPins pins = LoadTrustPins(settings.Path());
        QCOMPARE(pins.size(), std::size_t{1});
        QCOMPARE(pins.begin()->first, PinKey("127.0.0.1", server.port));
        window.Commands().Action(Command::Disconnect)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!window.Controller().HasConnection(), kWaitMs);

        // The same certificate on the same host and port: no question.
        const uint16_t port = server.port;
        server.process.reset();
        SServer again = StartSServer(selfSigned, "127.0.0.1:" + std::to_string(port));
        // With a port given, s_server says only "ACCEPT".
        QVERIFY2(again.process->Output().find("ACCEPT") != std::string::npos,
                 again.process->Output().c_str());
        ConnectThroughDialog(window, QStringLiteral("127.0.0.1"), QString::number(port), true);
        QTRY_VERIFY_WITH_TIMEOUT(Peer(window).contains(QStringLiteral("TLSv1.")), kWaitMs);
        QVERIFY(QApplication::activeModalWidget() == nullptr);
        window.Commands().Action(Command::Disconnect)->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!window.Controller().HasConnection(), kWaitMs);

        // Another certificate there: asked again, saying that another one was trusted here, with
        // both fingerprints.
        again.process.reset();
        SServer changed = StartSServer(pki.Make(CertKind::SelfSigned, "other"),
                                       "127.0.0.1:" + std::to_string(port));
        QVERIFY(changed.process->Output().find("ACCEPT") != std::string::npos);
        QString said;
        WhenModal<CertificateDialog>([&said](CertificateDialog *dialog) {
            said = dialog->findChild<QPlainTextEdit *>(QStringLiteral("certificateTextEdit"))
                       ->toPlainText();
            dialog->reject();
        });
        ConnectThroughDialog(window, QStringLiteral("127.0.0.1"), QString::number(port), true);
        QTRY_VERIFY_WITH_TIMEOUT(!said.isEmpty(), kWaitMs);
        QTRY_VERIFY_WITH_TIMEOUT(!window.Controller().HasConnection(), kWaitMs);
        const QString pinned = QString::fromStdString(pins.begin()->second);
        QVERIFY2(said.contains(QStringLiteral("別の証明書")), qPrintable(said));
        QVERIFY2(said.contains(pinned), qPrintable(said));
        QVERIFY2(said.count(QStringLiteral("SHA-256")) >= 2, qPrintable(said));
    }
    window.close();
}

// SMTP-like: clear text, the user's STARTTLS line and its answer, then the STARTTLS command. The
// peer sends one more clear-text line once the client's hello has come: it is kept as received
// clear text, and the switch is marked on the page, in the text save and in the log, between it
// and what came through TLS.
void TlsWindowTest::starttlsUpgradesTheLiveConnection() {
    TempDir dir;
    TestPki pki(dir.Path());
    const std::string leaf = pki.Make(CertKind::Leaf, "leaf");
    PeerProcess python({"python3", tarvotcpc::testing::PeerScript(), "starttls", leaf,
                        TestPki::KeyOf(leaf), "late"});
    QVERIFY(python.WaitFor("\n", 10s));
    TempDir logs;
    SettingsFile settings({"logfolder=" + logs.Path()});
    BoxAnswerer boxes;
    MainWindow window(settings.Path());
    window.Controller().SetTrustAnchors(pki.CaFile());
    ConnectThroughDialog(window, QStringLiteral("127.0.0.1"),
                         QString::number(python.PortAfter("PORT")), false);
    QTRY_VERIFY_WITH_TIMEOUT(Received(window).contains(QStringLiteral("220 ")), kWaitMs);
    QVERIFY(window.Commands().Action(Command::StartTls)->isEnabled());
    SendText(window, QStringLiteral("STARTTLS\n"));
    QTRY_VERIFY_WITH_TIMEOUT(Received(window).contains(QStringLiteral("220 ready")), kWaitMs);
    window.Commands().Action(Command::StartTls)->trigger();
    QTRY_VERIFY2_WITH_TIMEOUT(Peer(window).contains(QStringLiteral("TLSv1.3")),
                              qPrintable(Peer(window) + QStringLiteral(" / ") +
                                         QString::fromStdString(window.Controller().StatusText()) +
                                         QStringLiteral(" / ") + Received(window)),
                              kWaitMs);
    QVERIFY(!window.Commands().Action(Command::StartTls)->isEnabled());
    SendText(window, QStringLiteral("EHLO tarvotcpc\n"));
    QTRY_VERIFY_WITH_TIMEOUT(Received(window).contains(QStringLiteral("EHLO tarvotcpc")), kWaitMs);
    QVERIFY(python.WaitFor("UPGRADED", 10s));
    QCOMPARE(Received(window), QStringLiteral("220 tarvotcpc.test ESMTP\n220 ready\n250 late clear "
                                              "text\nEHLO tarvotcpc\n"));
    // On the page: the rule above the first row that came through TLS.
    const QStringList rows = window.Receive()->VisibleRows();
    const QString note = QString::fromUtf8(kTlsStartsNote);
    QCOMPARE(window.Receive()->VisibleNotes(),
             QStringList({QStringLiteral("%1 0 %2")
                              .arg(rows.indexOf(QStringLiteral("EHLO tarvotcpc")))
                              .arg(note)}));

    const QString saved = QString::fromStdString(dir.Path("saved.txt"));
    {
        FileDialogAnswerer answer(saved);
        QSignalSpy done(window.Saver(), &SaveRunner::finished);
        window.Commands().Action(Command::SaveTranscript)->trigger();
        QVERIFY(done.wait(30000));
        QVERIFY(done.first().first().toBool());
    }
    window.Commands().Action(Command::Disconnect)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!window.Controller().HasConnection(), kWaitMs);
    window.close(); // the log is written out
    const QStringList files = QDir(QString::fromStdString(logs.Path())).entryList(QDir::Files);
    QCOMPARE(files.size(), 1);
    const std::string logged =
        tarvotcpc::testing::ReadFile(logs.Path() + "/" + files.first().toStdString());
    // In both: the late line, then the mark, then the encrypted exchange.
    for (const std::string &text : {tarvotcpc::testing::ReadFile(saved.toStdString()), logged}) {
        const std::size_t late = text.find("250 late clear text");
        const std::size_t mark = text.find("] 注記 #");
        const std::size_t ehlo = text.find("EHLO tarvotcpc");
        QVERIFY2(late != std::string::npos && mark != std::string::npos &&
                     ehlo != std::string::npos && late < mark && mark < ehlo,
                 text.c_str());
        QVERIFY2(text.find(std::string("] 注記 #1 ") + kTlsStartsNote + "\n") != std::string::npos,
                 text.c_str());
    }
}

void TlsWindowTest::ipv6LiteralInBrackets() {
    if (!HasIpv6Loopback()) QSKIP("no IPv6 loopback here");
    TempDir dir;
    TestPki pki(dir.Path());
    SServer server = StartSServer(pki.Make(CertKind::Leaf, "leaf"), "[::1]:0");
    QVERIFY(server.port != 0);
    SettingsFile settings;
    BoxAnswerer boxes;
    MainWindow window(settings.Path());
    window.Controller().SetTrustAnchors(pki.CaFile());
    ConnectThroughDialog(window, QStringLiteral("[::1]:%1").arg(server.port), QString(), true);
    QTRY_VERIFY_WITH_TIMEOUT(Peer(window).contains(QStringLiteral("TLSv1.3")), kWaitMs);
    QVERIFY(Peer(window).startsWith(QStringLiteral("[::1]:%1").arg(server.port)));
    QCOMPARE(window.Controller().StatusText(),
             QStringLiteral("[::1]:%1に接続中").arg(server.port).toStdString());
    window.close();
}

// Listening on loopback: a plain peer sends and receives and closes; then with a generated
// certificate a Python client pins its fingerprint; then a port in use is refused clearly.
void TlsWindowTest::listeningPlainThenTlsThenPortInUse() {
    SettingsFile settings;
    BoxAnswerer boxes;
    MainWindow window(settings.Path());
    // The address is left as the dialog offers it: this computer only.
    const auto listen = [&window](bool tls, const QString &port) {
        WhenModal<ListenDialog>([tls, port](ListenDialog *dialog) {
            dialog->findChild<QLineEdit *>(QStringLiteral("listenPortLineEdit"))->setText(port);
            dialog->findChild<QCheckBox *>(QStringLiteral("listenTlsCheckBox"))->setChecked(tls);
            dialog->findChild<QPushButton *>(QStringLiteral("listenPushButton"))->click();
        });
        window.Commands().Action(Command::Listen)->trigger();
    };
    const auto listeningPort = [&window]() -> uint16_t {
        const std::string status = window.Controller().StatusText();
        const std::size_t colon = status.find(':');
        return colon == std::string::npos
                   ? 0
                   : static_cast<uint16_t>(std::stoi(status.substr(colon + 1)));
    };

    listen(false, QStringLiteral("0"));
    QVERIFY(window.Controller().Listening());
    QVERIFY2(window.Controller().StatusText().rfind("127.0.0.1:", 0) == 0,
             window.Controller().StatusText().c_str());
    const uint16_t port = listeningPort();
    QVERIFY(port != 0);
    {
        SocketAddress address;
        NumericAddress("127.0.0.1", port, address);
        const ConnectOutcome peer = ConnectFirst({address}, -1);
        QVERIFY(peer.fd >= 0);
        fcntl(peer.fd, F_SETFL, fcntl(peer.fd, F_GETFL) & ~O_NONBLOCK); // the test reads waiting
        QTRY_VERIFY_WITH_TIMEOUT(Peer(window).contains(QStringLiteral("127.0.0.1:")), kWaitMs);
        QVERIFY(send(peer.fd, "hi from the peer\n", 17, MSG_NOSIGNAL) == 17);
        QTRY_VERIFY_WITH_TIMEOUT(Received(window).contains(QStringLiteral("hi from the peer")),
                                 kWaitMs);
        SendText(window, QStringLiteral("hi back"));
        char buffer[16] = {};
        QCOMPARE(recv(peer.fd, buffer, 7, MSG_WAITALL), ssize_t{7});
        QCOMPARE(std::string(buffer), std::string("hi back"));
        close(peer.fd);
        QTRY_VERIFY_WITH_TIMEOUT(!window.Controller().HasConnection(), kWaitMs);
        QCOMPARE(window.Controller().StatusText(), std::string("切断しました"));
    }

    const std::size_t boxesBefore = boxes.Seen().size();
    listen(true, QStringLiteral("0"));
    QVERIFY(window.Controller().Listening());
    QTRY_VERIFY_WITH_TIMEOUT(boxes.Seen().size() > boxesBefore, kWaitMs);
    const QString notice = boxes.Seen().back().text;
    const QString fingerprint = notice.section(QLatin1Char('\n'), -1);
    QCOMPARE(fingerprint.size(), 95); // 32 bytes as "AB:" ... "EF"
    PeerProcess client({"python3", tarvotcpc::testing::PeerScript(), "pinclient",
                        std::to_string(listeningPort()), fingerprint.toStdString()});
    QTRY_VERIFY_WITH_TIMEOUT(Received(window).contains(QStringLiteral("ping")), kWaitMs);
    QVERIFY(Peer(window).contains(QStringLiteral("TLSv1.3")));
    SendText(window, QStringLiteral("pong\n"));
    QVERIFY2(client.WaitFor("ANSWER pong", 10s), client.Output().c_str());
    QTRY_VERIFY_WITH_TIMEOUT(!window.Controller().HasConnection(), kWaitMs);

    // 切断 while listening stops listening.
    listen(false, QStringLiteral("0"));
    QVERIFY(window.Controller().Listening());
    window.Commands().Action(Command::Disconnect)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!window.Controller().HasConnection(), kWaitMs);

    tarvotcpc::testing::TestServer busy([](int, tarvotcpc::testing::TestServer &) {});
    const std::size_t before = boxes.Seen().size();
    listen(false, QString::number(busy.Port()));
    QVERIFY(!window.Controller().Listening());
    QTRY_VERIFY_WITH_TIMEOUT(boxes.Seen().size() > before, kWaitMs);
    QCOMPARE(boxes.Seen().back().text,
             QString::fromStdString(ListenErrorText(EADDRINUSE, busy.Port())));
    window.close();
}

// With the option on, the window listens again on the same port once a peer goes.
void TlsWindowTest::keepListeningWaitsForTheNextPeer() {
    SettingsFile settings({"keeplisten=1"});
    BoxAnswerer boxes;
    MainWindow window(settings.Path());
    ListenParams params;
    params.bind = BindChoice::Loopback;
    window.ListenAtStart(params);
    const std::string status = window.Controller().StatusText();
    const uint16_t port = static_cast<uint16_t>(std::stoi(status.substr(status.find(':') + 1)));
    for (int peer = 0; peer < 2; ++peer) {
        QTRY_VERIFY_WITH_TIMEOUT(window.Controller().Listening(), kWaitMs);
        SocketAddress address;
        NumericAddress("127.0.0.1", port, address);
        const ConnectOutcome connected = ConnectFirst({address}, -1);
        QVERIFY(connected.fd >= 0);
        QTRY_VERIFY_WITH_TIMEOUT(!window.Controller().Listening(), kWaitMs);
        close(connected.fd);
    }
    QTRY_VERIFY_WITH_TIMEOUT(window.Controller().Listening(), kWaitMs);
    window.Commands().Action(Command::Disconnect)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!window.Controller().HasConnection(), kWaitMs);
    QVERIFY(!window.Controller().Listening());
    window.close();
}

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::TlsWindowTest)
#include "tls_window_test.moc"
