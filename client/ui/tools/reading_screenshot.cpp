// Takes the pictures of docs/reading.md with the real window: line-end badges of a CRLF, a lone
// LF and a lone CR at 10, 12 and 16 pt one above the other, and a protocol's replies marked on
// the page. The peer on the first port answers "ENDS" with the three kinds of line end; the
// second is a server of the protocol named, sent the request given (\n for each line break).
//
//   tarvotcpc_reading_screenshot PORT ENDS.png [PROTOCOL_PORT PROTOCOL REQUEST SHAPES.png]
//
// PROTOCOL is a stored value of the option: http, resp, smtp, ftp or imap.
#include <QAction>
#include <QApplication>
#include <QFile>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTimer>

#include <chrono>
#include <cstdio>
#include <functional>

#include "common/message_seam.hpp"
#include "view/transcript_view.hpp"
#include "window/application.hpp"
#include "window/main_window.hpp"
#include "window/view_controls.hpp"

namespace {

using tarvotcpc::ui::MainWindow;
using tarvotcpc::ui::TranscriptView;

// Calls done once ready() holds, polling.
void When(const std::function<bool()> &ready, const std::function<void()> &done) {
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, ready, done] {
        if (!ready()) return;
        poll->stop();
        poll->deleteLater();
        QTimer::singleShot(300, done); // the last paint, and the glyphs it met laid out
    });
    poll->start(50);
}

// The top rows of the page at each size, one band under the other, each with its size written
// at its left.
QPixmap Bands(TranscriptView *page, int rows) {
    const QFont original = page->PageFont();
    std::vector<std::pair<QString, QPixmap>> bands;
    for (const qreal points : {10.0, 12.0, 16.0}) {
        QFont font = original;
        font.setPointSizeF(points);
        page->SetPageFont(font);
        QPixmap shot;
        for (int i = 0; i < 50; ++i) {
            shot = page->viewport()->grab(
                QRect(0, 0, page->viewport()->width(), rows * page->RowHeight() + 2));
            if (page->LastPaintComplete()) break;
            QCoreApplication::processEvents();
        }
        bands.emplace_back(QStringLiteral("%1 pt").arg(points), shot);
    }
    page->SetPageFont(original);
    const int caption = 56;
    int width = 0, height = 0;
    const qreal ratio = bands.front().second.devicePixelRatio();
    for (const auto &band : bands) {
        width = std::max(width, int(band.second.width() / ratio) + caption);
        height += int(band.second.height() / ratio) + 6;
    }
    QPixmap out(QSize(width, height) * ratio);
    out.setDevicePixelRatio(ratio);
    out.fill(Qt::white);
    QPainter p(&out);
    int y = 0;
    for (const auto &[label, shot] : bands) {
        const int h = int(shot.height() / ratio);
        p.setPen(QColor(0x60, 0x60, 0x60));
        p.drawText(QRect(4, y, caption - 8, h), Qt::AlignVCenter | Qt::AlignLeft, label);
        p.drawPixmap(caption, y, shot);
        p.fillRect(0, y + h + 2, width, 1, QColor(0xd0, 0xd0, 0xd0));
        y += h + 6;
    }
    return out;
}

} // namespace

int main(int argc, char *argv[]) {
    QApplication app(argc, argv);
    tarvotcpc::ui::SetUpApplication();
    if (argc != 3 && argc != 7) {
        std::fprintf(stderr, "usage: tarvotcpc_reading_screenshot PORT ENDS.png "
                             "[PROTOCOL_PORT PROTOCOL REQUEST SHAPES.png]\n");
        return 2;
    }
    QTemporaryDir settingsDir;
    const QString settings = settingsDir.filePath(QStringLiteral("tarvotcpc.ini"));
    {
        // Each connection on a page of its own: the protocol's picture shows only its replies.
        QFile file(settings);
        if (!file.open(QIODevice::WriteOnly) ||
            file.write("[TARVOTCPC]\nconreclear=1\n[HOSTS]\n[TEMPLATES]\n") < 0)
            return 1;
    }
    MainWindow window(settings.toStdString());
    TranscriptView *page = window.Receive();
    page->SetNewGlyphTime(std::chrono::seconds(10));
    window.resize(720, 420);
    window.show();
    window.View().MarksAction()->trigger();
    window.ConnectTo({"127.0.0.1", QString::fromLocal8Bit(argv[1]).toInt()});
    window.SendEdit()->setPlainText(QStringLiteral("ENDS\n"));
    window.Commands().Action(tarvotcpc::ui::Command::Send)->trigger();

    int result = 0;
    When([page] { return page->Characters(0, 1 << 20).contains(QStringLiteral("after")); },
         [&] {
             window.Tabs()->setCurrentWidget(page);
             if (!Bands(page, 5).save(QString::fromLocal8Bit(argv[2]))) result = 1;
             if (argc == 3) return window.close(), void();
             window.View().ProtocolAction(argv[4])->trigger();
             window.ConnectTo({"127.0.0.1", QString::fromLocal8Bit(argv[3]).toInt()});
             window.SendEdit()->setPlainText(QString::fromLocal8Bit(argv[5]).replace(
                 QStringLiteral("\\n"), QStringLiteral("\n")));
             window.Commands().Action(tarvotcpc::ui::Command::Send)->trigger();
             const uint64_t before = window.Controller().KeptTranscript().Size();
             When(
                 [&window, page, before] {
                     return window.Controller().KeptTranscript().Size() > before + 40 &&
                            page->ShapesDone() && window.Controller().Backlog() == 0;
                 },
                 [&] {
                     if (!window.grab().save(QString::fromLocal8Bit(argv[6]))) result = 1;
                     window.close();
                 });
         });
    QTimer::singleShot(20000, &app, [&] {
        result = 1;
        QApplication::quit(); // a peer that never answers
    });
    QApplication::exec();
    return result;
}
