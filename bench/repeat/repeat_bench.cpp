// How closely the window's repeated send keeps its interval: the real window (offscreen) repeats
// its page to a loopback peer that reads everything and notes when each byte arrives. Prints, for
// each run, the sends per second from the first send's arrival to the last one's, and the spread
// of the gaps between the arrivals of successive sends as ratios to the interval asked for
// (median, p99, the largest): as the record's notes time them (when the socket took each send)
// and as the peer's reads do (a peer thread given no processor reads several sends at once, so
// its gaps are the wider spread). Exit status 1 when a byte is missing or out of order.
//
//   repeat_bench [count at 1 ms, default 2000] [count at 10 ms, default 500]
#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/message_seam.hpp"
#include "dialogs/placeholder_dialogs.hpp"
#include "transcript/transcript.hpp"
#include "window/main_commands.hpp"
#include "window/main_window.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Accepts one connection and reads until it has `expected` bytes or the other end goes, noting
// the time of every read.
class ReadingPeer {
  public:
    explicit ReadingPeer(std::size_t expected) : expected_(expected) {
        listen_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (bind(listen_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            listen(listen_, 1) != 0) {
            std::perror("listen");
            std::exit(2);
        }
        socklen_t length = sizeof address;
        getsockname(listen_, reinterpret_cast<sockaddr *>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { Run(); });
    }
    ~ReadingPeer() {
        thread_.join();
        close(listen_);
    }
    uint16_t Port() const { return port_; }
    bool Accepted() const { return accepted_; }
    bool Done() const { return done_; }
    // When each byte arrived, and the bytes.
    std::vector<Clock::time_point> Arrivals() const { return arrivals_; }
    const std::string &Bytes() const { return bytes_; }

  private:
    void Run() {
        const int fd = accept(listen_, nullptr, nullptr);
        accepted_ = true;
        char buffer[65536];
        while (fd >= 0 && bytes_.size() < expected_) {
            const ssize_t got = read(fd, buffer, sizeof buffer);
            if (got <= 0) break;
            const Clock::time_point now = Clock::now();
            bytes_.append(buffer, static_cast<std::size_t>(got));
            arrivals_.insert(arrivals_.end(), static_cast<std::size_t>(got), now);
        }
        if (fd >= 0) close(fd);
        done_ = true;
    }

    std::size_t expected_;
    int listen_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> accepted_{false}, done_{false};
    std::string bytes_;
    std::vector<Clock::time_point> arrivals_;
    std::thread thread_;
};

double Quantile(std::vector<double> values, double q) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(q * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(at, values.size() - 1)];
}

void WaitFor(const std::function<bool()> &done, int seconds) {
    const Clock::time_point end = Clock::now() + std::chrono::seconds(seconds);
    while (!done() && Clock::now() < end)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
}

// One repeat of page (sent as typed: no line ending, no placeholders) every intervalMs, count
// times; false when the peer did not get exactly the bytes.
bool Run(const char *label, const std::string &page, int intervalMs, int count) {
    const std::size_t total = page.size() * static_cast<std::size_t>(count);
    ReadingPeer peer(total);
    QTemporaryDir settingsDir;
    tarvotcpc::ui::MainWindow window(settingsDir.filePath("tarvotcpc.ini").toStdString());
    window.show();
    window.Commands().LineEndingAction(tarvotcpc::LineEnding::None)->trigger();
    window.SendEdit()->setPlainText(QString::fromStdString(page));
    window.ConnectTo({"127.0.0.1", static_cast<int32_t>(peer.Port())});
    WaitFor([&] { return peer.Accepted() && window.Controller().ConnectedLook(); }, 10);
    WaitFor([] { return false; }, 0); // the connected event taken
    QTimer::singleShot(0, [intervalMs, count] {
        auto *dialog =
            qobject_cast<tarvotcpc::ui::RepeatDialog *>(QApplication::activeModalWidget());
        if (dialog == nullptr) return;
        dialog->IntervalBox()->setValue(intervalMs);
        dialog->CountBox()->setValue(count);
        dialog->findChild<QPushButton *>(QStringLiteral("okPushButton"))->click();
    });
    window.Commands().Action(tarvotcpc::ui::Command::RepeatSend)->trigger();
    WaitFor([&] { return peer.Done(); }, 10 + count * intervalMs / 500);
    // The record's notes mark when the socket took each send's first byte.
    const tarvotcpc::Transcript &kept = window.Controller().KeptTranscript();
    WaitFor([&] { return kept.Notes().size() >= static_cast<std::size_t>(count); }, 10);
    std::vector<int64_t> taken;
    for (const tarvotcpc::Note &note : kept.Notes())
        taken.push_back(note.timeUs);
    const QString status = window.RepeatLabel()->text();
    window.Commands().Action(tarvotcpc::ui::Command::Disconnect)->trigger();
    WaitFor([&] { return !window.Controller().HasConnection(); }, 10);

    std::string expected;
    for (int i = 0; i < count; ++i)
        expected += page;
    if (peer.Bytes() != expected) {
        std::printf("%s: the peer got %zu of %zu bytes, or not in order (%s)\n", label,
                    peer.Bytes().size(), total, status.toUtf8().constData());
        return false;
    }
    // Each send's arrival is that of its last byte: the send is whole at the peer then.
    const std::vector<Clock::time_point> arrivals = peer.Arrivals();
    std::vector<Clock::time_point> sends;
    for (std::size_t end = page.size(); end <= arrivals.size(); end += page.size())
        sends.push_back(arrivals[end - 1]);
    std::vector<double> ratios;
    for (std::size_t i = 1; i < sends.size(); ++i)
        ratios.push_back(
            std::chrono::duration<double, std::milli>(sends[i] - sends[i - 1]).count() /
            intervalMs);
    std::vector<double> takenRatios;
    for (std::size_t i = 1; i < taken.size(); ++i)
        takenRatios.push_back(static_cast<double>(taken[i] - taken[i - 1]) / 1000.0 / intervalMs);
    const double seconds = std::chrono::duration<double>(sends.back() - sends.front()).count();
    const double takenSeconds =
        taken.size() > 1 ? static_cast<double>(taken.back() - taken.front()) / 1e6 : 0.0;
    std::printf("%-14s %5d sends of %4zu bytes every %2d ms (%zu notes)\n", label, count,
                page.size(), intervalMs, taken.size());
    std::printf("  at the socket: %7.1f sends/s; gap/interval median %.3f p99 %.3f max %.3f\n",
                takenSeconds > 0 ? static_cast<double>(taken.size() - 1) / takenSeconds : 0.0,
                Quantile(takenRatios, 0.5), Quantile(takenRatios, 0.99),
                Quantile(takenRatios, 1.0));
    std::printf("  at the peer:   %7.1f sends/s; gap/interval median %.3f p99 %.3f max %.3f\n",
                seconds > 0 ? static_cast<double>(count - 1) / seconds : 0.0, Quantile(ratios, 0.5),
                Quantile(ratios, 0.99), Quantile(ratios, 1.0));
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char *argv[]) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    const int fast = argc > 1 ? std::atoi(argv[1]) : 2000;
    const int paced = argc > 2 ? std::atoi(argv[2]) : 500;
    QApplication app(argc, argv);
    tarvotcpc::ui::SetMessageBoxObserver([](QMessageBox *box) {
        QTimer::singleShot(0, box, [box] { box->button(QMessageBox::Ok)->click(); });
    });
    std::string kibibyte;
    for (int i = 0; i < 1024; ++i)
        kibibyte += static_cast<char>('a' + i % 26);
    bool whole = Run("1 byte, 1 ms", "x", 1, fast);
    whole = Run("1 KiB, 1 ms", kibibyte, 1, fast) && whole;
    whole = Run("1 byte, 10 ms", "x", 10, paced) && whole;
    whole = Run("1 KiB, 10 ms", kibibyte, 10, paced) && whole;
    return whole ? 0 : 1;
}
