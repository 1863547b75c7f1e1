// Scripts from the window against a real redis-server: a file picked in the 送信 menu runs while
// the window stays live, its steps show in the status bar, it stops on request; the record made
// into a script opens in the editor and runs again to the same answers; compared with a text save
// that differs in one answer, that line is the one marked. With TARVOTCPC_SHOTS set
// to a folder, the window and the editor are saved there as pictures.
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableWidget>
#include <QTableWidget>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "dialogs/compare_dialog.hpp"
#include "dialogs/compare_dialog.hpp"
#include "dialogs/script_edit_dialog.hpp"
#include "saves/transcript_source.hpp"
#include "saves/transcript_source.hpp"
#include "support/proxy_programs.hpp"
#include "support/peer_process.hpp"
#include "support/ui_support.hpp"
#include "window/main_window.hpp"

namespace tarvotcpc::ui {
namespace {

using namespace std::chrono_literals;
using testing::Child;
using testing::WhenModal;

using tarvotcpc::testing::FreePort;

void Shot(QWidget *widget, const char *name) {
    const QByteArray folder = qgetenv("TARVOTCPC_SHOTS");
    if (!folder.isEmpty()) widget->grab().save(QString::fromUtf8(folder + "/" + name));
}

void AnswerFileDialog(const std::string &path) {
    SetFileDialogObserver([path = QString::fromStdString(path)](QFileDialog *dialog) {
        QTimer::singleShot(0, dialog, [dialog, path] {
            dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
            QMetaObject::invokeMethod(dialog, "accept");
        });
    });
}

class ScriptWindowTest : public QObject {
    Q_OBJECT

  private slots:
    void aScriptRunsStopsAndItsRecordReplays() {
        tarvotcpc::testing::TempDir dir;
        const uint16_t port = FreePort();
        tarvotcpc::testing::PeerProcess redis({"redis-server", "--port", std::to_string(port),
                                               "--bind", "127.0.0.1", "--save", "", "--appendonly",
                                               "no", "--dir", dir.Path()});
        if (!redis.Started()) QSKIP("redis-server is not installed");
        QVERIFY(redis.WaitFor("Ready to accept connections", 20s));

        MainWindow window(dir.Path("tarvotcpc.ini"));
        window.resize(900, 560);
        window.show();
        auto *status = Child<QLabel>(&window, "statusLabel");
        QAction *run = window.Commands().Action(Command::RunScript);
        QAction *stop = window.Commands().Action(Command::StopScript);
        QVERIFY(run->isEnabled() && !stop->isEnabled());
        window.ConnectTo({"127.0.0.1", port});
        QTRY_VERIFY_WITH_TIMEOUT(window.PeerLabel()->text().startsWith("127.0.0.1:"), 10000);

        tarvotcpc::testing::WriteFile(dir.Path("login.lua"), "send('SET greeting こんにちは\\n')\n"
                                                             "expect('+OK\\r\\n')\n"
                                                             "send('GET greeting\\n')\n"
                                                             "expect('こんにちは\\r\\n')\n"
                                                             "log('ここで一息')\n"
                                                             "sleep(3600)\n");
        AnswerFileDialog(dir.Path("login.lua"));
        run->trigger();
        SetFileDialogObserver({});
        // The window goes on while the script sleeps: its step shows, and it can be stopped.
        QTRY_VERIFY_WITH_TIMEOUT(status->text().startsWith("login.lua:6: sleep:"), 10000);
        QVERIFY(!run->isEnabled() && stop->isEnabled());
        Shot(&window, "script-running.png");
        stop->trigger();
        QTRY_COMPARE_WITH_TIMEOUT(status->text(), QStringLiteral("スクリプトを止めました"), 10000);
        QVERIFY(run->isEnabled() && !stop->isEnabled());

        // The record as a script: its exact sends, the first line of each answer awaited.
        bool edited = false;
        WhenModal<ScriptEditDialog>([&edited](ScriptEditDialog *editor) {
            const QString script = editor->Script();
            QVERIFY2(script.contains("send_bytes(\"SET greeting "
                                     "\\xE3\\x81\\x93\\xE3\\x82\\x93\\xE3\\x81\\xAB\\xE3\\x81\\xA1"
                                     "\\xE3\\x81\\xAF\\r\\n\")"),
                     qPrintable(script));
            QVERIFY2(script.contains("expect(\"+OK\\r\\n\")"), qPrintable(script));
            Shot(editor, "script-editor.png");
            edited = true;
            editor->RunButton()->click();
        });
        window.Commands().Action(Command::ScriptFromRecord)->trigger();
        QVERIFY(edited);
        QTRY_COMPARE_WITH_TIMEOUT(status->text(),
                                  QStringLiteral("スクリプトが最後まで実行されました"), 10000);

        // The record beside its own text save with one answer changed: that line, and only it.
        std::string saved;
        QVERIFY(WriteTranscriptText(TranscriptSource(window.Controller().KeptTranscript()), {},
                                    [&saved](std::string_view piece) {
                                        saved.append(piece);
                                        return true;
                                    }));
        const std::size_t answer = saved.find("\nこんにちは␍␊\n");
        QVERIFY(answer != std::string::npos);
        saved.replace(answer, std::string("\nこんにちは").size(), "\nこんばんは");
        tarvotcpc::testing::WriteFile(dir.Path("other.txt"), saved);
        bool compared = false;
        WhenModal<CompareDialog>([&compared](CompareDialog *compare) {
            QVERIFY2(compare->Summary()->text().startsWith("1か所"),
                     qPrintable(compare->Summary()->text()));
            QTableWidget *table = compare->Table();
            const int row = table->currentRow();
            QCOMPARE(table->item(row, 0)->text(), QStringLiteral("≠"));
            QCOMPARE(table->item(row, 2)->text(), QStringLiteral("こんにちは␍␊"));
            QCOMPARE(table->item(row, 4)->text(), QStringLiteral("こんばんは␍␊"));
            // F8 goes round to the one difference again from anywhere.
            table->setCurrentCell(0, 2);
            QTest::keyClick(table, Qt::Key_F8);
            QCOMPARE(table->currentRow(), row);
            Shot(compare, "compare.png");
            compared = true;
        });
        AnswerFileDialog(dir.Path("other.txt"));
        window.Commands().Action(Command::Compare)->trigger();
        SetFileDialogObserver({});
        QVERIFY(compared);
    }
};

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::ScriptWindowTest)
#include "script_window_test.moc"
