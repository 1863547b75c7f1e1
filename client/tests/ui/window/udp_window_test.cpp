// UDP through the real window, offscreen: the connect and listen dialogs' protocol choice, pages
// sent as datagrams to a Python peer, and the receive page's lines where datagrams start.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>

#include "dialogs/connect_dialog.hpp"
#include "dialogs/tls_dialogs.hpp"
#include "support/peer_process.hpp"
#include "support/ui_support.hpp"
#include "view/transcript_view.hpp"
#include "window/main_window.hpp"
#include "window/receive_page.hpp"

namespace tarvotcpc::ui {
namespace {

using tarvotcpc::testing::PeerProcess;
using testing::BoxAnswerer;
using testing::PageText;
using testing::SettingsFile;
using testing::WhenModal;

QString U(const char *utf8) {
    return QString::fromUtf8(utf8);
}

std::string UdpPeer() {
    return std::string(TARVOTCPC_TEST_DATA) + "/udp_peer.py";
}

QString Status(MainWindow &window) {
    return QString::fromStdString(window.Controller().StatusText());
}

void Send(MainWindow &window, const QString &page) {
    window.SendEdit()->setPlainText(page);
    window.Commands().Action(Command::Send)->trigger();
}

class UdpWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void connectDialogChoosesUdpAndTheViewShowsEachDatagram();
    void listenDialogChoosesUdpAndAnswersTheSender();
};

// The dialog's UDP choice turns TLS off and comes back with the history entry; each page goes as
// a datagram and each echo shows as a datagram of its own: a rule over a row a datagram starts, a
// bar inside one where a datagram without a line break is followed by the next, in text and hex.
void UdpWindowTest::connectDialogChoosesUdpAndTheViewShowsEachDatagram() {
    BoxAnswerer boxes;
    SettingsFile settings({"hostsave=1"});
    MainWindow window(settings.Path());
    window.resize(900, 600);
    PeerProcess peer({"python3", UdpPeer(), "echo", "127.0.0.1"});
    QVERIFY(peer.WaitFor("listening ", std::chrono::seconds(30)));
    const QString port = QString::number(peer.PortAfter("listening "));

    WhenModal<ConnectDialog>([port](ConnectDialog *dialog) {
        dialog->HostBox()->setEditText(QStringLiteral("127.0.0.1"));
        dialog->PortEdit()->setText(port);
        dialog->TlsBox()->setChecked(true);
        QCOMPARE(dialog->ProtocolBox()->accessibleName(), U("プロトコル"));
        dialog->ProtocolBox()->setFocus();
        QTest::keyClick(dialog->ProtocolBox(), Qt::Key_Down); // by keyboard: TCP to UDP
        QCOMPARE(dialog->ProtocolBox()->currentIndex(), 1);
        QVERIFY(!dialog->TlsBox()->isChecked() && !dialog->TlsBox()->isEnabled());
        QVERIFY(!dialog->TlsDetailsButton()->isEnabled());
        dialog->findChild<QPushButton *>(QStringLiteral("connectPushButton"))->click();
    });
    window.Commands().Action(Command::Connect)->trigger();
    QCOMPARE(Status(window), QStringLiteral("127.0.0.1:") + port + U(" (UDP)に接続中"));

    Send(window, QStringLiteral("one\n"));
    Send(window, QStringLiteral("two"));
    Send(window, QStringLiteral("three"));
    QTRY_COMPARE(PageText(window.Receive()), QStringLiteral("one\ntwothree"));
    QCOMPARE(window.statusBar()->findChild<QLabel *>(QStringLiteral("peerLabel"))->text(),
             QStringLiteral("127.0.0.1:") + port + QStringLiteral("  UDP"));

    TranscriptView *view = window.Receive();
    QCOMPARE(view->VisibleRows(), (QStringList{QStringLiteral("one"), QStringLiteral("twothree")}));
    // The first datagram shown has nothing before it; "two" starts a row, "three" cuts one.
    QCOMPARE(view->VisibleDatagramBounds(),
             (QStringList{QStringLiteral("1 0"), QStringLiteral("1 1")}));
    view->SetShowSent(true);
    QCOMPARE(view->VisibleDatagramBounds().size(), 5); // six datagrams, sent ones among them
    view->SetShowSent(false);
    view->SetMode(TranscriptView::Mode::Hex);
    QCOMPARE(view->VisibleDatagramBounds(),
             (QStringList{QStringLiteral("0 1"), QStringLiteral("0 1")}));
    view->SetMode(TranscriptView::Mode::Text);

    // The history keeps the protocol: the next dialog offers it with the destination.
    WhenModal<ConnectDialog>([port](ConnectDialog *dialog) {
        QCOMPARE(dialog->HostBox()->currentText(),
                 QStringLiteral("127.0.0.1:") + port + U(" (UDP)"));
        QCOMPARE(dialog->ProtocolBox()->currentIndex(), 1);
    });
    window.Commands().Action(Command::Disconnect)->trigger();
    QTRY_COMPARE(boxes.Seen().size(), std::size_t(1));
    QCOMPARE(boxes.Seen()[0].text, U("切断しました"));
    window.Commands().Action(Command::Connect)->trigger();
}

// Listening on UDP from the dialog: the status names the address, the first datagram's sender
// becomes the peer, and a send goes back to it.
void UdpWindowTest::listenDialogChoosesUdpAndAnswersTheSender() {
    BoxAnswerer boxes;
    SettingsFile settings;
    MainWindow window(settings.Path());
    WhenModal<ListenDialog>([](ListenDialog *dialog) {
        dialog->findChild<QLineEdit *>(QStringLiteral("listenPortLineEdit"))->setText("0");
        auto *protocol = dialog->findChild<QComboBox *>(QStringLiteral("listenProtocolComboBox"));
        QCOMPARE(protocol->accessibleName(), U("プロトコル"));
        protocol->setCurrentIndex(1);
        QVERIFY(!dialog->findChild<QCheckBox *>(QStringLiteral("listenTlsCheckBox"))->isEnabled());
        dialog->findChild<QPushButton *>(QStringLiteral("listenPushButton"))->click();
    });
    window.Commands().Action(Command::Listen)->trigger();
    const std::string status = window.Controller().StatusText();
    QVERIFY2(status.rfind("127.0.0.1:", 0) == 0 &&
                 status.find("でUDPを待ち受け中") != std::string::npos,
             status.c_str());
    const std::string port = status.substr(10, status.find("で") - 10);

    PeerProcess talker({"python3", UdpPeer(), "talk", "127.0.0.1", port});
    QVERIFY(talker.WaitFor("bound ", std::chrono::seconds(30)));
    talker.Send("send 68656c6c6f\n"); // "hello"
    QTRY_COMPARE(PageText(window.Receive()), QStringLiteral("hello"));
    QTRY_VERIFY(Status(window).endsWith(U("送信はこの相手に届きます")));
    Send(window, QStringLiteral("back"));
    QVERIFY(talker.WaitFor("reply 6261636b", std::chrono::seconds(30)));
    QVERIFY(boxes.Seen().empty());
}

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::UdpWindowTest)
#include "udp_window_test.moc"
