// How the main window copes with a peer that streams as fast as loopback allows: a server thread
// sends a stream of text lines and closes, the window (offscreen, shown) connects to it and shows
// everything. Prints the throughput up to the last byte on the page, the longest stall of the
// event loop, and the peak memory of the process. Exit status 1 when a byte is missing or the
// longest stall passes the allowed one.
//
//   stream_bench [MiB, default 100] [allowed stall in ms, default 100]
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QAbstractButton>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "main_window.hpp"
#include "message_seam.hpp"
#include "transcript_view.hpp"

namespace {

// Lines of 100 bytes: a number, text with two-byte and three-byte characters, a line break.
std::string Line(std::size_t number) {
    char head[16];
    std::snprintf(head, sizeof head, "%09zu ", number);
    std::string line = head;
    line += "payload ü ";
    line += "受信データ ";
    while (line.size() < 99)
        line += static_cast<char>('a' + (number + line.size()) % 26);
    line += '\n';
    return line;
}

// UTF-16 length of a line as the page holds it (the line break counts one).
qsizetype PageLength(const std::string &line) {
    return QString::fromUtf8(line.data(), static_cast<qsizetype>(line.size())).size();
}

class StreamServer {
  public:
    explicit StreamServer(std::size_t lines) : lines_(lines) {
        listen_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listen_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            listen(listen_, 1) != 0 ||
            getsockname(listen_, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
            std::perror("stream_bench: listen");
            std::exit(2);
        }
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~StreamServer() {
        shutdown(listen_, SHUT_RDWR);
        thread_.join();
        close(listen_);
    }
    uint16_t Port() const { return port_; }

  private:
    void Run() {
        const int fd = accept(listen_, nullptr, nullptr);
        if (fd < 0) return;
        std::string block;
        for (std::size_t i = 0; i < lines_; ++i) {
            block += Line(i);
            if (block.size() >= 256 * 1024 || i + 1 == lines_) {
                if (!WriteAll(fd, block)) break;
                block.clear();
            }
        }
        close(fd);
    }
    static bool WriteAll(int fd, const std::string &bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<std::size_t>(n);
        }
        return true;
    }

    std::size_t lines_;
    int listen_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

} // namespace

int main(int argc, char *argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    const double mebibytes = argc > 1 ? std::atof(argv[1]) : 100.0;
    const double allowedStallMs = argc > 2 ? std::atof(argv[2]) : 100.0;
    QApplication app(argc, argv);

    const std::size_t lineBytes = Line(0).size();
    const std::size_t lines =
        std::max<std::size_t>(1, static_cast<std::size_t>(mebibytes * 1024 * 1024) / lineBytes);
    const std::size_t totalBytes = lines * lineBytes;
    const qsizetype expectedLength = static_cast<qsizetype>(lines) * PageLength(Line(0));

    QTemporaryDir settingsDir;
    tarvotcpc::ui::MainWindow window(settingsDir.filePath("tarvotcpc.ini").toStdString());
    window.show();

    tarvotcpc::ui::SetMessageBoxObserver([](QMessageBox *box) {
        QTimer::singleShot(0, box, [box] { box->button(QMessageBox::Ok)->click(); });
    });

    // The longest time between two turns of the event loop, seen through a fast timer.
    QElapsedTimer beat;
    qint64 longestStall = 0;
    QTimer meter;
    meter.setTimerType(Qt::PreciseTimer);
    meter.setInterval(2);
    QObject::connect(&meter, &QTimer::timeout,
                     [&] { longestStall = std::max(longestStall, beat.restart()); });

    StreamServer server(lines);
    QElapsedTimer clock;
    QObject::connect(&window, &tarvotcpc::ui::MainWindow::ConnectionEnded, &app,
                     &QApplication::quit);
    QTimer::singleShot(0, [&] {
        beat.start();
        meter.start();
        clock.start();
        window.ConnectTo({"127.0.0.1", static_cast<int32_t>(server.Port())});
    });
    QApplication::exec();
    const double seconds = static_cast<double>(clock.elapsed()) / 1000.0;
    meter.stop();

    QPlainTextEdit *page = window.Receive();
    const qsizetype shown = page->document()->characterCount() - 1;
    const std::string lastLine =
        page->document()->findBlockByNumber(page->blockCount() - 2).text().toStdString();
    const bool whole = shown == expectedLength && lastLine + "\n" == Line(lines - 1) &&
                       window.Controller().Backlog() == 0;

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("stream_bench: %.1f MiB in %.2f s: %.1f MiB/s shown; longest stall %lld ms; "
                "peak memory %.0f MiB; %s\n",
                static_cast<double>(totalBytes) / (1024.0 * 1024.0), seconds,
                static_cast<double>(totalBytes) / (1024.0 * 1024.0) / seconds,
                static_cast<long long>(longestStall), static_cast<double>(usage.ru_maxrss) / 1024.0,
                whole ? "every byte shown" : "BYTES MISSING");
    if (!whole)
        std::printf("stream_bench: page holds %lld of %lld characters\n",
                    static_cast<long long>(shown), static_cast<long long>(expectedLength));
    return whole && static_cast<double>(longestStall) <= allowedStallMs ? 0 : 1;
}
