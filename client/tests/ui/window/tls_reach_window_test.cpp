// The window reaching openssl s_server that demands a client certificate, as a user does it: the
// certificate given in the connect dialog, its passphrase typed into the prompt (wrong first),
// the status bar telling what the handshake settled, and the server's refusal when no
// certificate is given.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QtTest>

#include "common/widgets.hpp"
#include "dialogs/connect_dialog.hpp"
#include "dialogs/tls_reach_dialogs.hpp"
#include "settings/ini.hpp"
#include "hosts/tls_details.hpp"
#include "support/peer_process.hpp"
#include "support/ui_support.hpp"
#include "window/main_window.hpp"

namespace tarvotcpc::ui {
namespace {

using namespace std::chrono_literals;
using tarvotcpc::testing::CertKind;
using tarvotcpc::testing::ClientFiles;
using tarvotcpc::testing::PeerProcess;
using tarvotcpc::testing::TempDir;
using tarvotcpc::testing::TestPki;
using testing::BoxAnswerer;
using testing::SettingsFile;
using testing::WhenModal;

constexpr int kWaitMs = 15000;

// s_server demanding a certificate of the test CA and offering h2 by ALPN.
std::unique_ptr<PeerProcess> DemandingServer(TestPki &pki, const std::string &cert,
                                             uint16_t &port) {
    auto server = std::make_unique<PeerProcess>(std::vector<std::string>{
        "openssl", "s_server", "-accept", "127.0.0.1:0", "-cert", cert, "-key",
        TestPki::KeyOf(cert), "-Verify", "1", "-verify_return_error", "-CAfile", pki.CaFile(),
        "-alpn", "h2", "-naccept", "1"});
    if (server->WaitFor("ACCEPT", 10s)) server->WaitFor("\n", 1s);
    port = server->PortAfter("ACCEPT");
    return server;
}

void Connect(MainWindow &window, uint16_t port, const TlsDetails &details) {
    WhenModal<ConnectDialog>([port, details](ConnectDialog *dialog) {
        dialog->HostBox()->setEditText(QStringLiteral("localhost"));
        dialog->PortEdit()->setText(QString::number(port));
        dialog->TlsBox()->setChecked(true);
        dialog->SetDetails(details);
        dialog->findChild<QPushButton *>(QStringLiteral("connectPushButton"))->click();
    });
    window.Commands().Action(Command::Connect)->trigger();
}

// Types the passphrase into the prompt and answers it, keeping what the prompt said.
void AnswerPassphrase(const QString &passphrase, bool keep, QString *said) {
    WhenModal<PassphraseDialog>([passphrase, keep, said](PassphraseDialog *dialog) {
        *said = dialog->findChild<QLabel *>(QStringLiteral("passphraseLabel"))->text();
        QCOMPARE(dialog->PassphraseEdit()->echoMode(), QLineEdit::Password);
        QVERIFY(!dialog->PassphraseEdit()->accessibleName().isEmpty());
        QVERIFY(!dialog->KeepBox()->isChecked()); // never kept unless asked
        dialog->PassphraseEdit()->setText(passphrase);
        dialog->KeepBox()->setChecked(keep);
        dialog->findChild<QPushButton *>(QStringLiteral("okPushButton"))->click();
    });
}

class TlsReachWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void clientCertificateWithItsPassphrase();
};

void TlsReachWindowTest::clientCertificateWithItsPassphrase() {
    TempDir dir;
    TestPki pki(dir.Path());
    const std::string serverCert = pki.Make(CertKind::Leaf, "server");
    const ClientFiles files = pki.MakeClient("client", "s3cret");
    const std::string keys = dir.Path("keys.log");
    SettingsFile settings({"hostsave=1", "keylogfile=" + keys});
    BoxAnswerer boxes;
    MainWindow window(settings.Path());
    window.Controller().SetTrustAnchors(pki.CaFile());

    uint16_t port = 0;
    auto server = DemandingServer(pki, serverCert, port);
    QVERIFY2(port != 0, server->Output().c_str());
    TlsDetails details;
    details.certificateFile = files.certificate;
    details.keyFile = files.key;
    details.alpn = QStringLiteral("h2,http/1.1").toStdString();
    QString first, second;
    WhenModal<PassphraseDialog>([&first, &second](PassphraseDialog *dialog) {
        AnswerPassphrase(QStringLiteral("s3cret"), true, &second); // the prompt asked again
        first = dialog->findChild<QLabel *>(QStringLiteral("passphraseLabel"))->text();
        dialog->PassphraseEdit()->setText(QStringLiteral("wrong"));
        dialog->findChild<QPushButton *>(QStringLiteral("okPushButton"))->click();
    });
    Connect(window, port, details);
    const QString peer = QStringLiteral("TLSv1.3");
    QTRY_VERIFY_WITH_TIMEOUT(window.PeerLabel()->text().contains(peer), kWaitMs);
    QVERIFY2(first.contains(QString::fromStdString(files.key)), qPrintable(first));
    QVERIFY2(!first.contains(Text(kWrongPassphraseText)), qPrintable(first));
    QVERIFY2(second.contains(Text(kWrongPassphraseText)), qPrintable(second));
    for (const char *part : {"ALPN: h2", "クライアント証明書を提示", "鍵を記録中"})
        QVERIFY2(window.PeerLabel()->text().contains(Text(part)),
                 qPrintable(window.PeerLabel()->text()));
    window.SendEdit()->setPlainText(QStringLiteral("hello with a certificate"));
    window.Commands().Action(Command::Send)->trigger();
    QVERIFY2(server->WaitFor("hello with a certificate", 10s), server->Output().c_str());
    QVERIFY(tarvotcpc::testing::ReadFile(keys).find("CLIENT_TRAFFIC_SECRET_0") !=
            std::string::npos);
    // Kept as asked, with the destination's details.
    QCOMPARE(LoadTlsPassphrase(settings.Path(), files.key), std::optional<std::string>("s3cret"));
    QCOMPARE(TlsDetailsFor(LoadTlsDetails(settings.Path()), "localhost", port), details);
    window.Commands().Action(Command::Disconnect)->trigger();
    QTRY_VERIFY_WITH_TIMEOUT(!window.Controller().HasConnection(), kWaitMs);

    // No certificate: the server's refusal is what the box says.
    server = DemandingServer(pki, serverCert, port);
    const std::size_t before = boxes.Seen().size();
    Connect(window, port, {});
    QTRY_VERIFY_WITH_TIMEOUT(!window.Controller().HasConnection(), kWaitMs);
    QTRY_VERIFY_WITH_TIMEOUT(boxes.Seen().size() > before, kWaitMs);
    QVERIFY2(
        boxes.Seen().back().text.contains(Text("クライアント証明書を求めて接続を拒否しました")),
        qPrintable(boxes.Seen().back().text));
    window.close();
}

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::TlsReachWindowTest)
#include "tls_reach_window_test.moc"
