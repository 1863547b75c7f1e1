// Takes the pictures of sends without retyping: the window after a repeat of five PINGs whose
// counter and time come from placeholders, answered by a peer of its own on loopback (the record
// shows the sent lines, their times and the repeat's marks), and the preview of the next send.
//
//   tarvotcpc_screenshot_sending WINDOW.png PREVIEW.png
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "dialogs/placeholder_dialogs.hpp"
#include "view/transcript_view.hpp"
#include "window/application.hpp"
#include "window/main_window.hpp"

namespace {

// Answers each line with "250 " and the line, as a text protocol's server would.
class LinePeer {
  public:
    LinePeer() {
        listen_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listen_, reinterpret_cast<sockaddr *>(&address), length) != 0 ||
            listen(listen_, 1) != 0 ||
            getsockname(listen_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
            std::perror("listen");
            std::exit(2);
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] {
            const int fd = accept(listen_, nullptr, nullptr);
            const std::string greeting = "220 tarvo test peer ready\r\n";
            if (fd < 0 || write(fd, greeting.data(), greeting.size()) < 0) return;
            std::string buffer;
            char chunk[4096];
            for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) > 0;) {
                buffer.append(chunk, static_cast<std::size_t>(got));
                for (std::size_t end; (end = buffer.find('\n')) != std::string::npos;) {
                    std::string line = buffer.substr(0, end);
                    buffer.erase(0, end + 1);
                    if (!line.empty() && line.back() == '\r') line.pop_back();
                    const std::string answer = "250 " + line + "\r\n";
                    if (write(fd, answer.data(), answer.size()) < 0) break;
                }
            }
            close(fd);
        });
    }
    ~LinePeer() {
        shutdown(listen_, SHUT_RDWR);
        thread_.join();
        close(listen_);
    }
    int Port() const { return port_; }

  private:
    int listen_ = -1;
    int port_ = 0;
    std::thread thread_;
};

} // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    tarvotcpc::ui::SetUpApplication();
    if (argc < 3) {
        std::fprintf(stderr, "usage: tarvotcpc_screenshot_sending WINDOW.png PREVIEW.png\n");
        return 2;
    }
    const QString windowPicture = QString::fromLocal8Bit(argv[1]);
    const QString previewPicture = QString::fromLocal8Bit(argv[2]);

    LinePeer peer;
    QTemporaryDir settingsDir;
    const std::string settings = settingsDir.filePath("tarvotcpc.ini").toStdString();
    std::ofstream(settings) << "[TARVOTCPC]\nplaceholders=1\n[VARIABLES]\nuser=tarvo\n";
    tarvotcpc::ui::MainWindow window(settings);
    window.Receive()->SetNewGlyphTime(std::chrono::seconds(10));
    window.resize(900, 620);
    window.show();
    window.ConnectTo({"127.0.0.1", peer.Port()});
    window.SendEdit()->setPlainText(
        QStringLiteral("PING %counter% from %user% at %time:HH:mm:ss.zzz%\n"));

    int result = 1;
    QTimer::singleShot(500, [&] {
        QTimer::singleShot(0, [] {
            auto *dialog =
                qobject_cast<tarvotcpc::ui::RepeatDialog *>(QApplication::activeModalWidget());
            if (dialog == nullptr) return;
            dialog->IntervalBox()->setValue(250);
            dialog->CountBox()->setValue(5);
            dialog->findChild<QPushButton *>(QStringLiteral("okPushButton"))->click();
        });
        window.Commands().Action(tarvotcpc::ui::Command::RepeatSend)->trigger();
    });
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!window.RepeatLabel()->text().endsWith(QString::fromUtf8("完了")) ||
            window.Receive()->Characters(0, 1 << 20).count(QStringLiteral("250 PING")) < 5)
            return;
        poll.stop();
        tarvotcpc::ui::TranscriptView *page = window.Receive();
        window.Tabs()->setCurrentWidget(page);
        page->SetShowTimes(true);
        page->SetShowSent(true);
        QTimer::singleShot(500, [&] {
            result = window.grab().save(windowPicture) ? 0 : 1;
            QTimer::singleShot(300, [&] {
                auto *preview = qobject_cast<tarvotcpc::ui::SendPreviewDialog *>(
                    QApplication::activeModalWidget());
                if (preview == nullptr || !preview->grab().save(previewPicture)) result = 1;
                if (preview != nullptr) preview->reject();
                window.close();
            });
            window.Commands().Action(tarvotcpc::ui::Command::Preview)->trigger();
        });
    });
    poll.start(50);
    QTimer::singleShot(20000, &app, &QApplication::quit);
    QApplication::exec();
    return result;
}
