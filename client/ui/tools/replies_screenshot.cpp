// Takes docs/replies.md's pictures: the window listening on 127.0.0.1 at the port given, with
// automatic replies on, while a device (scripts/screenshot-replies.sh starts it) greets, pings and
// reports; then the rules dialog over the same rules.
//
//   tarvotcpc_replies_screenshot PORT WINDOW.png DIALOG.png
#include <QAction>
#include <QApplication>
#include <QListWidget>
#include <QPixmap>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <fstream>

#include "dialogs/reply_rules_dialog.hpp"
#include "session/reply_settings.hpp"
#include "view/transcript_view.hpp"
#include "window/application.hpp"
#include "window/main_window.hpp"

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    tarvotcpc::ui::SetUpApplication();
    if (argc < 4) {
        std::fprintf(stderr, "usage: tarvotcpc_replies_screenshot PORT WINDOW.png DIALOG.png\n");
        return 2;
    }
    QTemporaryDir settingsDir;
    const std::string path = settingsDir.filePath("tarvotcpc.ini").toStdString();
    std::ofstream(path) << "[TARVOTCPC]\nviewtimes=1\nviewsent=1\nsendlineending=crlf\n";
    const std::vector<tarvotcpc::ReplyRule> rules = {
        {"ping", tarvotcpc::ReplyMatch::Regex, "PING (\\d+)\\r\\n", "PONG %1%\n"},
        {"hello", tarvotcpc::ReplyMatch::StartsWith, "HELLO", "WELCOME %0%\n"},
    };
    tarvotcpc::SaveReplyRules(path, rules);

    tarvotcpc::ui::MainWindow window(path);
    window.resize(760, 460);
    window.Receive()->SetNewGlyphTime(std::chrono::seconds(10));
    window.show();
    tarvotcpc::ListenParams params;
    params.port = QString::fromLocal8Bit(argv[1]).toInt();
    window.ListenAtStart(params);
    window.findChild<QAction *>(QStringLiteral("autoRepliesAction"))->trigger();
    window.Tabs()->setCurrentWidget(window.Receive());

    int result = 1;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!window.Receive()->Characters(0, 1 << 20).contains(QStringLiteral("bye"))) return;
        poll.stop();
        QTimer::singleShot(500, [&] {
            result = window.grab().save(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
            auto *dialog = new tarvotcpc::ui::ReplyRulesDialog(&window, rules);
            dialog->show();
            dialog->List()->setCurrentRow(0);
            QTimer::singleShot(300, [&, dialog] {
                if (!dialog->grab().save(QString::fromLocal8Bit(argv[3]))) result = 1;
                dialog->close();
                window.close();
                QApplication::quit();
            });
        });
    });
    poll.start(50);
    QTimer::singleShot(20000, &app, &QApplication::quit); // a device that never comes
    QApplication::exec();
    return result;
}
