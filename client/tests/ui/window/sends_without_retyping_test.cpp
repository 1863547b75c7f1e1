// Sends without retyping, through the real window offscreen and its dialogs driven by keyboard:
// placeholders in every encoding as a loopback peer reads them, against Python's reading of the
// library's rules and its codecs; a repeat of POSTs to Python's http.server whose Content-Length
// comes from %bodylength%; the variables and the preview, read through the accessibility bus.
#include <QAccessible>
#include <QAction>
#include <QInputMethodEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "dialogs/placeholder_dialogs.hpp"
#include "settings/templates.hpp"
#include "settings/variables.hpp"
#include "support/peer_process.hpp"
#include "support/ui_support.hpp"
#include "window/main_window.hpp"
#include "window/receive_page.hpp"

namespace tarvotcpc::ui {
namespace {

using namespace std::chrono_literals;
using tarvotcpc::testing::PeerProcess;
using testing::BoxAnswerer;
using testing::PageText;
using testing::SettingsFile;
using testing::WhenModal;

std::string DataFile(const char *name) {
    return std::string(TARVOTCPC_TEST_DATA) + "/" + name;
}

std::string Hex(const std::string &bytes) {
    return QByteArray::fromStdString(bytes).toHex().toStdString();
}

QString AccessibleName(QObject *object) {
    QAccessibleInterface *face = QAccessible::queryAccessibleInterface(object);
    return face ? face->text(QAccessible::Name) : QString();
}

// The next line of the peer's output that starts with prefix, from `from` on; without the prefix.
std::string NextLine(PeerProcess &peer, const std::string &prefix, std::size_t &from) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string &out = peer.Output();
        for (std::size_t at = from; at < out.size();) {
            const std::size_t end = out.find('\n', at);
            if (end == std::string::npos) break;
            if (out.compare(at, prefix.size(), prefix) == 0) {
                from = end + 1;
                return out.substr(at + prefix.size(), end - at - prefix.size());
            }
            at = end + 1;
        }
        peer.WaitFor("\x01never", 50ms);
        QCoreApplication::processEvents();
    }
    return "(no line " + prefix + ")";
}

// Typing as a user does: ASCII by keys, Japanese committed by the input method (QTest's keys
// are ASCII only).
void TypeText(QWidget *widget, const QString &text) {
    for (const QChar c : text) {
        if (c.unicode() < 0x80) {
            QTest::keyClick(widget, c.toLatin1());
        } else {
            QInputMethodEvent commit;
            commit.setCommitString(QString(c));
            QApplication::sendEvent(widget, &commit);
        }
    }
}

// The "%?name%" question answered by keyboard alone, its field checked on the accessibility bus.
void AnswerValueByKeyboard(const QString &label, const QString &value) {
    WhenModal<PlaceholderValuesDialog>([label, value](PlaceholderValuesDialog *dialog) {
        QVERIFY(QTest::qWaitForWindowActive(dialog));
        QCOMPARE(int(dialog->Fields().size()), 1);
        QLineEdit *field = dialog->Fields().front();
        QCOMPARE(QApplication::focusWidget(), field);
        QCOMPARE(AccessibleName(field), label);
        TypeText(field, value);
        QTest::keyClick(field, Qt::Key_Return);
    });
}

class SendsWithoutRetypingTest : public QObject {
    Q_OBJECT

  private slots:
    void PlaceholdersGivePythonsBytesInEveryEncoding() {
        PeerProcess oracle({"python3", DataFile("send_oracle.py")});
        PeerProcess peer({"python3", DataFile("wire_peer.py"), "sink"});
        QVERIFY(peer.WaitFor("listening ", 10s));
        const uint16_t port = peer.PortAfter("listening ");
        struct Case {
            const char *stored;
            const char *codec;
            LineEnding ending;
        };
        const Case cases[] = {{"utf-8", "utf-8", LineEnding::Crlf},
                              {"shift_jis", "cp932", LineEnding::Lf},
                              {"euc-jp", "euc_jp", LineEnding::Cr},
                              {"iso-2022-jp", "iso2022_jp", LineEnding::None},
                              {"latin-1", "latin-1", LineEnding::Crlf}};
        const QString page = QString::fromUtf8(
            "POST /%user% HTTP/1.1\nHost: %host%:%port%\nContent-Length: %bodylength%\n\n"
            "%?名前%=%user%&n=%counter%&p=100%%&%nosuch%\n");
        std::size_t served = 0, answers = 0, seen = 0;
        for (const Case &c : cases) {
            SettingsFile settings({std::string("sendencoding=") + c.stored, "placeholders=1"});
            std::ofstream(settings.Path(), std::ios::app)
                << "[VARIABLES]\nuser=" << EncodeTemplateText("太郎") << "\n";
            MainWindow window(settings.Path());
            window.Commands().LineEndingAction(c.ending)->trigger();
            // The first send is given up at the question about %nosuch%; the next goes.
            BoxAnswerer boxes({QMessageBox::No, QMessageBox::Yes});
            window.ConnectTo(Destination{"127.0.0.1", port});
            NextLine(peer, "accepted " + std::to_string(++served), seen);
            QTest::qWait(200);
            window.SendEdit()->setPlainText(page);
            window.Commands().Action(Command::Send)->trigger();
            QCOMPARE(boxes.Seen().size(), std::size_t{1});
            QVERIFY2(boxes.Seen()[0].text.contains(QStringLiteral("%nosuch%")),
                     qPrintable(boxes.Seen()[0].text));
            AnswerValueByKeyboard(QString::fromUtf8("名前:"), QString::fromUtf8("値"));
            window.Commands().Action(Command::Send)->trigger();
            window.Commands().Action(Command::Disconnect)->trigger();
            const std::string got = NextLine(peer, "got " + std::to_string(served) + " ", seen);

            const std::string values =
                "{\"vars\": [[\"user\", \"太郎\"]], \"host\": \"127.0.0.1\", \"port\": " +
                std::to_string(port) +
                ", \"counter\": 1, \"random\": 0, \"time_us\": 0, \"answers\": {\"名前\": \"値\"}}";
            oracle.Send("ph " + std::string(c.codec) + " " +
                        std::string(FormatLineEnding(c.ending)) + " " + Hex(page.toStdString()) +
                        " " + Hex(values) + "\n");
            std::string expected = NextLine(oracle, "", answers);
            if (expected == "err") {
                // Latin-1 has no 太郎: the place is named in the text as replaced, nothing sent.
                QCOMPARE(QString::fromStdString(got), QString());
                // The third box is the refusal, at the send itself; the end's notice follows.
                QVERIFY(boxes.Seen().size() >= 3);
                QVERIFY2(boxes.Seen()[2].text.contains(QString::fromUtf8("置き換え後の")),
                         qPrintable(boxes.Seen()[2].text));
                continue;
            }
            QCOMPARE(QString::fromStdString(got), QString::fromStdString(expected.substr(3)));
        }
    }

    // Three POSTs a quarter second apart to Python's http.server, the body in Shift_JIS: each
    // is read whole by its Content-Length (a wrong one would leave bytes for a broken next
    // request, or wait for bytes that never come) and answered.
    void ARepeatOfPostsGivesHttpServerItsContentLength() {
        PeerProcess server({"python3", DataFile("http_post_peer.py")});
        QVERIFY(server.WaitFor("listening ", 10s));
        const uint16_t port = server.PortAfter("listening ");
        SettingsFile settings({"sendencoding=shift_jis", "placeholders=1", "sendlineending=crlf"});
        MainWindow window(settings.Path());
        BoxAnswerer boxes;
        window.ConnectTo(Destination{"127.0.0.1", port});
        window.SendEdit()->setPlainText(QString::fromUtf8(
            "POST /form HTTP/1.1\nHost: %host%:%port%\nContent-Type: text/plain; "
            "charset=Shift_JIS\nContent-Length: %bodylength%\n\n名前=太郎&n=%counter%"));
        WhenModal<RepeatDialog>([](RepeatDialog *dialog) {
            QVERIFY(QTest::qWaitForWindowActive(dialog));
            QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(dialog->IntervalBox()));
            QCOMPARE(AccessibleName(dialog->IntervalBox()), QString::fromUtf8("間隔 (ミリ秒)"));
            QTest::keyClicks(dialog->IntervalBox(), QStringLiteral("250"));
            QTest::keyClick(dialog->IntervalBox(), Qt::Key_Tab);
            QCOMPARE(QApplication::focusWidget(), static_cast<QWidget *>(dialog->CountBox()));
            QTest::keyClicks(dialog->CountBox(), QStringLiteral("3"));
            QTest::keyClick(dialog->CountBox(), Qt::Key_Return);
        });
        window.Commands().Action(Command::RepeatSend)->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(window.RepeatLabel()->text(),
                                  QString::fromUtf8("繰り返し送信 3/3 完了"), 20000);
        std::size_t from = 0;
        const std::string sjisName = "\x96\xbc\x91\x4f=\x91\xbe\x98\x59&n="; // 名前=太郎&n=
        for (int n = 1; n <= 3; ++n) {
            const std::string body = sjisName + std::to_string(n);
            QCOMPARE(QString::fromStdString(NextLine(server, "post /form ", from)),
                     QString::fromStdString(std::to_string(body.size()) + " " + Hex(body)));
        }
        QTRY_COMPARE(PageText(window.Receive()).count(QStringLiteral("HTTP/1.1 200 OK")), 3);
        QVERIFY(PageText(window.Receive()).contains(QStringLiteral("got 13 bytes")));
        const std::vector<Note> &notes = window.Controller().KeptTranscript().Notes();
        QCOMPARE(int(notes.size()), 3);
        QCOMPARE(QString::fromStdString(notes[2].text), QString::fromUtf8("繰り返し送信 3/3"));
        QVERIFY(boxes.Seen().empty());
    }

    // Variables written in their dialog by keyboard alone are what the next send and its preview
    // use; a name the placeholders cannot use is refused, naming its row.
    void VariablesAndThePreviewByKeyboard() {
        SettingsFile settings({"placeholders=1", "sendlineending=lf"});
        MainWindow window(settings.Path());
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        // Active before the dialog, so that its late activation does not take the focus back.
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        BoxAnswerer boxes;
        const auto typeRow = [](VariablesDialog *dialog, const QString &name,
                                const QString &value) {
            // An accelerator clicks its button once the press has been shown.
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_A, Qt::AltModifier);
            QTRY_VERIFY(QApplication::focusWidget() != nullptr &&
                        QApplication::focusWidget() != dialog->Table());
            QWidget *editor = QApplication::focusWidget();
            TypeText(editor, name);
            QTest::keyClick(editor, Qt::Key_Tab);
            // The name's editor goes, the value's comes.
            QTRY_VERIFY(dialog->Table()->currentColumn() == 1 &&
                        QApplication::focusWidget() != editor &&
                        QApplication::focusWidget() != dialog->Table());
            editor = QApplication::focusWidget();
            TypeText(editor, value);
            QTest::keyClick(editor, Qt::Key_Return);
            QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget *>(dialog->Table()));
        };
        WhenModal<VariablesDialog>([&](VariablesDialog *dialog) {
            QVERIFY(QTest::qWaitForWindowActive(dialog));
            QTRY_COMPARE(QApplication::activeWindow(), static_cast<QWidget *>(dialog));
            QCOMPARE(AccessibleName(dialog->Table()), QString::fromUtf8("変数の一覧"));
            QCOMPARE(AccessibleName(dialog->AddButton()), QString::fromUtf8("追加"));
            typeRow(dialog, QStringLiteral("host"), QStringLiteral("x"));
            QTest::keyClick(dialog->Table(), Qt::Key_Return);
            QTRY_COMPARE(boxes.Seen().size(), std::size_t{1});
            QVERIFY(dialog->isVisible());
            dialog->activateWindow(); // back from the warning
            QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget *>(dialog->Table()));
            QTest::keyClick(dialog->Table(), Qt::Key_D, Qt::AltModifier); // removes the row again
            QTRY_COMPARE(dialog->Table()->rowCount(), 0);
            typeRow(dialog, QStringLiteral("who"), QString::fromUtf8("世界"));
            QTest::keyClick(dialog->Table(), Qt::Key_Return);
        });
        window.Commands().Action(Command::Variables)->trigger();
        QVERIFY2(
            boxes.Seen()[0].text.startsWith(QString::fromUtf8("1行目: 「host」は組み込みの名前")),
            qPrintable(boxes.Seen()[0].text));
        QCOMPARE(LoadVariables(settings.Path()), (Variables{{"who", "世界"}}));

        window.SendEdit()->setPlainText(QStringLiteral("hello %who%\n"));
        WhenModal<SendPreviewDialog>([](SendPreviewDialog *dialog) {
            QVERIFY(QTest::qWaitForWindowActive(dialog));
            QCOMPARE(AccessibleName(dialog->HexView()),
                     QString::fromUtf8("送信されるバイト (16進)"));
            QCOMPARE(dialog->TextView()->toPlainText(), QString::fromUtf8("hello 世界\\n\n"));
            QVERIFY2(dialog->HexView()->toPlainText().startsWith(
                         QStringLiteral("00000000  68 65 6C 6C 6F 20 E4 B8  96 E7 95 8C 0A")),
                     qPrintable(dialog->HexView()->toPlainText()));
            QVERIFY2(dialog->Summary()->text().startsWith(QString::fromUtf8("13バイト  UTF-8")),
                     qPrintable(dialog->Summary()->text()));
            QTest::keyClick(dialog, Qt::Key_Escape);
        });
        window.Commands().Action(Command::Preview)->trigger();
        QCOMPARE(boxes.Seen().size(), std::size_t{1});
    }
};

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::SendsWithoutRetypingTest)
#include "sends_without_retyping_test.moc"
