// How the main window copes with a peer that streams as fast as loopback allows: a server thread
// sends mixed lines (text with Japanese, some lines of hundreds of KiB, some binary bytes with NUL
// and bytes that are no UTF-8) and closes; the window (offscreen, shown) connects to it. Prints
// the time until the last byte is in the transcript and until it is drawn on the page, from
// there until every character is addressable (the page's character pass is done), the
// longest stall of the event loop (and the window thread's processor time in it), the growth of
// anonymous resident memory (RssAnon) per byte received, and how long switching the page's
// encoding and mode takes on the whole transcript.
// Exit status 1 when a byte is missing.
//
//   stream_bench [MiB, default 100]
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTabWidget>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>

#include "window/main_window.hpp"
#include "common/message_seam.hpp"
#include "view/transcript_view.hpp"
#include "window/view_controls.hpp"

namespace {

// One block of the stream, about 4 MiB, sent again and again: ordinary lines of about 100 bytes
// with two- and three-byte characters, every 997th line 200 KiB long, every 101st line binary.
std::string Block() {
    std::string block;
    uint32_t seed = 12345;
    for (std::size_t number = 0; block.size() < (std::size_t{4} << 20); ++number) {
        char head[16];
        std::snprintf(head, sizeof head, "%09zu ", number);
        std::string line = head;
        if (number % 997 == 996) {
            while (line.size() < 200 * 1024)
                line += "long line / 長い行 ";
        } else if (number % 101 == 100) {
            for (int i = 0; i < 60; ++i) {
                seed = seed * 1103515245u + 12345u;
                const char c = static_cast<char>(seed >> 24);
                line += c == '\n' || c == '\r' ? '\0' : c;
            }
        } else {
            line += "payload ü 受信データ ";
            while (line.size() < 99)
                line += static_cast<char>('a' + (number + line.size()) % 26);
        }
        line += number % 3 == 0 ? "\r\n" : "\n";
        block += line;
    }
    return block;
}

const char kLastLine[] = "END OF STREAM";

class StreamServer {
  public:
    // block is the peer's and made before the run, so that its memory is not counted as the
    // window's.
    StreamServer(const std::string &block, std::size_t blocks) : block_(block), blocks_(blocks) {
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
    static std::size_t Total(const std::string &block, std::size_t blocks) {
        return blocks * block.size() + sizeof kLastLine; // the line and its LF
    }

  private:
    void Run() {
        const int fd = accept(listen_, nullptr, nullptr);
        if (fd < 0) return;
        for (std::size_t i = 0; i < blocks_; ++i)
            if (!WriteAll(fd, block_)) break;
        WriteAll(fd, std::string(kLastLine) + "\n");
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

    const std::string &block_;
    std::size_t blocks_;
    int listen_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

// Processor time the calling thread has used, ns.
long long ThreadCpuNs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<long long>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// Anonymous resident memory of the process, bytes.
long long RssAnon() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "RssAnon:") {
            long long kib = 0;
            status >> kib;
            return kib * 1024;
        }
        status.ignore(1 << 20, '\n');
    }
    return 0;
}

bool LastRowIsTheLastLine(tarvotcpc::ui::TranscriptView *page) {
    QStringList rows = page->VisibleRows();
    while (!rows.isEmpty() && rows.back().trimmed().isEmpty())
        rows.removeLast();
    return !rows.isEmpty() && rows.back() == QLatin1String(kLastLine);
}

// Milliseconds for one switch and the repaint of the screen it brings.
double Timed(tarvotcpc::ui::TranscriptView *page, QAction *action) {
    QElapsedTimer t;
    t.start();
    action->trigger();
    page->viewport()->repaint();
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char *argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    const double mebibytes = argc > 1 ? std::atof(argv[1]) : 100.0;
    QApplication app(argc, argv);

    const std::string block = Block();
    const std::size_t blocks =
        std::max<std::size_t>(1, static_cast<std::size_t>(mebibytes * 1024 * 1024) / block.size());
    const std::size_t totalBytes = StreamServer::Total(block, blocks);

    QTemporaryDir settingsDir;
    tarvotcpc::ui::MainWindow window(settingsDir.filePath("tarvotcpc.ini").toStdString());
    window.resize(1000, 700);
    window.show();
    tarvotcpc::ui::TranscriptView *page = window.Receive();
    const tarvotcpc::Transcript &transcript = window.Controller().KeptTranscript();

    tarvotcpc::ui::SetMessageBoxObserver([](QMessageBox *box) {
        QTimer::singleShot(0, box, [box] { box->button(QMessageBox::Ok)->click(); });
    });

    // The longest time between two turns of the event loop, seen through a fast timer; RssAnon
    // sampled on the way. The peer, the connection and the writer share the processors with the
    // window, so the window's thread also counts its own processor time per turn: what is left of
    // a long turn is time it was given no processor.
    const long long rssBefore = RssAnon();
    long long rssPeak = rssBefore;
    QElapsedTimer beat;
    qint64 longestStallNs = 0;
    int beats = 0;
    int longStalls = 0; // over 16 ms: one frame
    long long cpuAtBeat = 0, longestCpuNs = 0, longestStallCpuNs = 0;
    QTimer meter;
    meter.setTimerType(Qt::PreciseTimer);
    meter.setInterval(1);
    QObject::connect(&meter, &QTimer::timeout, [&] {
        const long long cpu = ThreadCpuNs(), ran = cpu - cpuAtBeat;
        cpuAtBeat = cpu;
        longestCpuNs = std::max(longestCpuNs, ran);
        if (beat.nsecsElapsed() > longestStallNs) {
            longestStallNs = beat.nsecsElapsed();
            longestStallCpuNs = ran;
        }
        if (beat.nsecsElapsed() > 16'000'000) ++longStalls;
        beat.restart();
        if (++beats % 50 == 0) rssPeak = std::max(rssPeak, RssAnon());
    });

    StreamServer server(block, blocks);
    QElapsedTimer clock;
    double inTranscript = 0, onScreen = 0, indexed = 0;
    // Every character addressable (what a screen reader, find and copy need): the page's
    // character pass has reached the last byte.
    QObject::connect(page, &tarvotcpc::ui::TranscriptView::indexProgress,
                     [&](quint64 reached, quint64 size) {
                         if (indexed > 0 || size < totalBytes || reached != size) return;
                         indexed = static_cast<double>(clock.nsecsElapsed()) / 1e9;
                         if (inTranscript == 0)
                             inTranscript = indexed; // before the watch saw the last byte
                     });
    bool ended = false;
    QObject::connect(&window, &tarvotcpc::ui::MainWindow::connectionEnded, [&] { ended = true; });
    QTimer watch;
    watch.setInterval(1);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (inTranscript == 0 && transcript.Size() >= totalBytes)
            inTranscript = static_cast<double>(clock.nsecsElapsed()) / 1e9;
        // On screen: the page has drawn the last line (asked after a real paint of the screen).
        if (inTranscript > 0 && onScreen == 0) {
            page->viewport()->repaint();
            if (LastRowIsTheLastLine(page))
                onScreen = static_cast<double>(clock.nsecsElapsed()) / 1e9;
        }
        if (onScreen > 0 && ended && indexed > 0) app.quit();
    });
    window.Tabs()->setCurrentWidget(page);
    // The window's first paint (fonts loaded) is over before the stream starts.
    QTimer::singleShot(500, [&] {
        beat.start();
        cpuAtBeat = ThreadCpuNs();
        meter.start();
        watch.start();
        clock.start();
        window.ConnectTo({"127.0.0.1", static_cast<int32_t>(server.Port())});
    });
    QTimer::singleShot(30 * 60 * 1000, &app, &QApplication::quit);
    QApplication::exec();
    meter.stop();
    watch.stop();
    rssPeak = std::max(rssPeak, RssAnon());

    const bool whole = transcript.Size() == totalBytes && onScreen > 0;
    const double mib = static_cast<double>(totalBytes) / (1024.0 * 1024.0);

    // Switching on the whole transcript: only the screen is decoded again.
    window.show();
    window.Tabs()->setCurrentWidget(page);
    QApplication::processEvents();
    page->viewport()->repaint();
    tarvotcpc::ui::ViewControls &view = window.View();
    const double toSjis = Timed(page, view.EncodingAction(tarvotcpc::Encoding::ShiftJis));
    const double toIso = Timed(page, view.EncodingAction(tarvotcpc::Encoding::Iso2022Jp));
    const double toUtf8 = Timed(page, view.EncodingAction(tarvotcpc::Encoding::Utf8));
    const double toHex = Timed(page, view.HexAction());
    const double toText = Timed(page, view.HexAction());
    const double toMarks = Timed(page, view.MarksAction());
    const double worstSwitch = std::max({toSjis, toIso, toUtf8, toHex, toText, toMarks});

    std::printf("stream_bench: %.1f MiB; in the transcript after %.2f s (%.0f MiB/s); on screen "
                "after %.2f s (%.0f MiB/s); every character addressable %.2f s after the last "
                "byte; longest stall %.1f ms (%d over 16 ms; running %.1f ms "
                "of it; longest running turn %.1f ms); RssAnon growth %.1f MiB "
                "(%.4f bytes per byte); switching encoding %.1f/%.1f/%.1f ms, hex %.1f ms, text "
                "%.1f ms, marks %.1f ms (worst %.1f ms); in a file: %s; %s\n",
                mib, inTranscript, mib / inTranscript, onScreen, mib / onScreen,
                indexed - inTranscript, static_cast<double>(longestStallNs) / 1e6, longStalls,
                static_cast<double>(longestStallCpuNs) / 1e6,
                static_cast<double>(longestCpuNs) / 1e6,
                static_cast<double>(rssPeak - rssBefore) / (1024.0 * 1024.0),
                static_cast<double>(rssPeak - rssBefore) / static_cast<double>(totalBytes), toSjis,
                toIso, toUtf8, toHex, toText, toMarks, worstSwitch,
                transcript.InFile() ? "yes" : "no", whole ? "every byte shown" : "BYTES MISSING");
    if (!whole)
        std::printf("stream_bench: transcript holds %llu of %zu bytes\n",
                    static_cast<unsigned long long>(transcript.Size()), totalBytes);
    return whole ? 0 : 1;
}
