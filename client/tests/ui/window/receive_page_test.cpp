// The receive page end to end: real loopback peers, the real window (offscreen), and the choices
// the user makes in its 表示 menu applied to what has already arrived.
#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>

#include <sys/socket.h>

#include <cerrno>
#include <string>

#include "dialogs/connect_dialog.hpp"
#include "window/main_window.hpp"
#include "settings/options.hpp"
#include "window/receive_page.hpp"
#include "settings/settings.hpp"
#include "support/test_servers.hpp"
#include "view/transcript_view.hpp"
#include "support/ui_support.hpp"
#include "window/view_controls.hpp"

using tarvotcpc::testing::TestServer;

namespace tarvotcpc::ui {
namespace {

using testing::BoxAnswerer;
using testing::BytesOf;
using testing::PageText;
using testing::SettingsFile;
using testing::WhenModal;

void ConnectTo(MainWindow &window, const TestServer &server) {
    WhenModal<ConnectDialog>([port = server.Port()](ConnectDialog *dialog) {
        dialog->HostBox()->setEditText(QStringLiteral("127.0.0.1"));
        dialog->PortEdit()->setText(QString::number(port));
        dialog->findChild<QPushButton *>(QStringLiteral("connectPushButton"))->click();
    });
    window.Commands().Action(Command::Connect)->trigger();
}

bool SendAll(int fd, const std::string &bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += std::size_t(n);
    }
    return true;
}

// "こんにちは、世界" and a half-width katakana line in Windows code page 932, the first character
// split between two writes.
const std::string kSjisHello =
    "\x82\xB1\x82\xF1\x82\xC9\x82\xBF\x82\xCD\x81\x41\x90\xA2\x8A\x45\r\n";
const std::string kSjisKana = "\xB6\xC0\xB6\xC5\r\n"; // ｶﾀｶﾅ

// Answers the first line it reads in Shift_JIS, then keeps the connection open.
TestServer::Behaviour AnswersInShiftJis() {
    return [](int fd, TestServer &server) {
        char c = 0;
        while (recv(fd, &c, 1, 0) == 1 && c != '\n') {
        }
        const std::string answer = kSjisHello + kSjisKana;
        if (!SendAll(fd, answer.substr(0, 1))) return;
        QTest::qSleep(50);
        if (!SendAll(fd, answer.substr(1))) return;
        server.WaitStop();
    };
}

class ReceivePageTest : public QObject {
    Q_OBJECT

  private slots:
    void shiftJisPeerReadsOnceTheEncodingIsChosenAndHexShowsTheBytes();
    void crlfAndLoneLfShowDifferentlyWithMarks();
};

void ReceivePageTest::shiftJisPeerReadsOnceTheEncodingIsChosenAndHexShowsTheBytes() {
    BoxAnswerer boxes;
    SettingsFile settings;
    MainWindow window(settings.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    TestServer server(AnswersInShiftJis());
    ConnectTo(window, server);
    window.SendEdit()->setPlainText(QStringLiteral("HELLO\n"));
    window.Commands().Action(Command::Send)->trigger();
    TranscriptView *page = window.Receive();
    const std::string answer = kSjisHello + kSjisKana;
    QTRY_VERIFY(BytesOf(window.Controller().KeptTranscript(), Direction::Received) == answer);
    QCOMPARE(window.Tabs()->currentWidget(), page);
    // As UTF-8 the bytes are not text: no Japanese shows.
    QVERIFY(!PageText(page).contains(QString::fromUtf8("こんにちは")));

    window.View().EncodingAction(Encoding::ShiftJis)->trigger();
    QCOMPARE(page->GetEncoding(), Encoding::ShiftJis);
    QCOMPARE(PageText(page), QString::fromUtf8("こんにちは、世界\nｶﾀｶﾅ\n"));
    QTRY_VERIFY(page->VisibleRows().contains(QString::fromUtf8("こんにちは、世界")));
    QCOMPARE(window.View().EncodingBox()->currentText(), QStringLiteral("Shift_JIS"));
    // The sent line is kept too, hidden from the page by default.
    QCOMPARE(BytesOf(window.Controller().KeptTranscript(), Direction::Sent),
             std::string("HELLO\r\n"));

    window.View().HexAction()->trigger();
    QCOMPARE(page->GetMode(), TranscriptView::Mode::Hex);
    // Every received byte in order, whatever the rows' layout: the hex column read back.
    QString hex;
    for (const QString &row : page->VisibleRows())
        for (const QString &cell : row.split(QLatin1Char(' '), Qt::SkipEmptyParts))
            if (cell.size() == 2) hex += cell.toUpper();
    QString expected;
    for (const char c : answer)
        expected += QStringLiteral("%1").arg(uint8_t(c), 2, 16, QLatin1Char('0')).toUpper();
    QVERIFY2(hex.contains(expected), qPrintable(hex));

    // Stored: a new window over the same file opens as the user left it.
    SettingsHashes stored{};
    QVERIFY(LoadSettings(stored, settings.Path()));
    const OptionValues values = ReadOptions(stored);
    FreeSettings(stored);
    QCOMPARE(ViewEncodingOf(values), Encoding::ShiftJis);
    QVERIFY(ViewIsHex(values));
    QCOMPARE(SendEncodingOf(values), SendEncoding::ShiftJis); // the send page follows the view
}

void ReceivePageTest::crlfAndLoneLfShowDifferentlyWithMarks() {
    BoxAnswerer boxes;
    SettingsFile settings;
    MainWindow window(settings.Path());
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    TestServer server(tarvotcpc::testing::SendThenClose("crlf\r\nlf\ncr\rend"));
    QSignalSpy ended(&window, &MainWindow::connectionEnded);
    ConnectTo(window, server);
    QVERIFY(ended.wait(5000));
    TranscriptView *page = window.Receive();
    const QStringList plain = page->VisibleRows().mid(0, 4);
    QCOMPARE(plain, (QStringList{"crlf", "lf", "cr", "end"}));

    window.View().MarksAction()->trigger();
    QVERIFY(window.View().MarksAction()->isChecked());
    QCOMPARE(page->VisibleRows().mid(0, 4),
             (QStringList{QString::fromUtf8("crlf\u240D\u240A"), QString::fromUtf8("lf\u240A"),
                          QString::fromUtf8("cr\u240D"), "end"}));
    window.View().MarksAction()->trigger();
    QCOMPARE(page->VisibleRows().mid(0, 4), plain);
}

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::ReceivePageTest)
#include "receive_page_test.moc"
