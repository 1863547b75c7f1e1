// Loading a file into the send page: what is appended, what is shown, and that the window keeps
// running while a large file loads.
#include <QAbstractItemView>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProgressDialog>
#include <QSignalSpy>
#include <QTextCursor>

#include "common/dialog_seam.hpp"
#include "support/ui_support.hpp"
#include "dialogs/dialogs.hpp"
#include "dialogs/file_loader.hpp"
#include "files/file_text.hpp"
#include "text/text.hpp"

namespace tarvotcpc::ui {
namespace {

using tarvotcpc::testing::TempDir;
using tarvotcpc::testing::WriteFile;
using testing::BoxAnswerer;
using testing::FileDialogAnswerer;

// A window with a send page that takes the loader's text as the main window does.
class Page {
  public:
    Page() : loader(&window) {
        edit = new QPlainTextEdit(&window);
        edit->setLineWrapMode(QPlainTextEdit::NoWrap);
        window.resize(400, 300);
        QObject::connect(&loader, &FileLoader::textReady, edit, [this](const QString &text) {
            ++pieces;
            QTextCursor cursor(edit->document());
            cursor.movePosition(QTextCursor::End);
            cursor.insertText(text);
        });
    }

    // Loads path and waits for the end of the load.
    void LoadAndWait(const QString &path) {
        QSignalSpy finished(&loader, &FileLoader::finished);
        loader.Load(path);
        QVERIFY(finished.wait(60000));
        QVERIFY(!loader.isLoading());
    }

    QString Text() const { return edit->toPlainText(); }

    QWidget window;
    FileLoader loader;
    QPlainTextEdit *edit;
    int pieces = 0;
};

class FileLoaderTest : public QObject {
    Q_OBJECT

  private slots:
    void AppendsTheTextUpToTheFirstNul() {
        TempDir dir;
        WriteFile(dir.Path("request.txt"), "GET / HTTP/1.0\r\nHost: x\r\n\r\n");
        WriteFile(dir.Path("nul.bin"), std::string("head\r\n\0tail", 11));
        WriteFile(dir.Path("empty.txt"), "");
        BoxAnswerer boxes;
        Page page;
        page.edit->setPlainText(QStringLiteral("typed "));

        page.LoadAndWait(QString::fromStdString(dir.Path("request.txt")));
        QCOMPARE(page.Text(), QStringLiteral("typed GET / HTTP/1.0\nHost: x\n\n"));
        page.LoadAndWait(QString::fromStdString(dir.Path("nul.bin")));
        QCOMPARE(page.Text(), QStringLiteral("typed GET / HTTP/1.0\nHost: x\n\nhead\n"));
        const int pieces = page.pieces;
        page.LoadAndWait(QString::fromStdString(dir.Path("empty.txt")));
        QCOMPARE(page.pieces, pieces);
        QVERIFY(boxes.Seen().empty());
    }

    void AFileThatCannotBeOpenedWarnsAndAppendsNothing() {
        TempDir dir;
        BoxAnswerer boxes;
        Page page;
        page.edit->setPlainText(QStringLiteral("kept"));
        page.LoadAndWait(QString::fromStdString(dir.Path("missing.txt")));
        page.LoadAndWait(QString::fromStdString(dir.Path()));
        QCOMPARE(page.Text(), QStringLiteral("kept"));
        QCOMPARE(boxes.Seen().size(), std::size_t{2});
        QCOMPARE(boxes.Seen()[0].text, QString::fromUtf8("ファイルのオープンに失敗しました"));
        QCOMPARE(boxes.Seen()[0].icon, QMessageBox::Warning);
        QCOMPARE(boxes.Seen()[0].title, QStringLiteral(" ")); // blank, not the program name
    }

    void TheDialogOffersEveryFileAndStartsAtTheLastOne() {
        TempDir dir;
        WriteFile(dir.Path("README"), "no dot\n");
        WriteFile(dir.Path("a.txt"), "dotted\n");
        BoxAnswerer boxes;
        Page page;
        QSignalSpy finished(&page.loader, &FileLoader::finished);
        {
            FileDialogAnswerer answer(
                QString::fromStdString(dir.Path("README")), [](QFileDialog *dialog) {
                    QCOMPARE(dialog->nameFilters(),
                             QStringList(QString::fromUtf8("すべてのファイル(*.*)")));
                });
            QVERIFY(page.loader.lastPath().isEmpty());
            page.loader.Open();
            QCOMPARE(answer.shown, 1);
        }
        QVERIFY(finished.wait(10000));
        QCOMPARE(page.Text(), QStringLiteral("no dot\n"));
        QCOMPARE(page.loader.lastPath(), QString::fromStdString(dir.Path("README")));

        // The next time the dialog opens on the same file, and a name without a dot is listed.
        QString offered;
        bool listed = false;
        {
            FileDialogAnswerer answer(QString(), [&](QFileDialog *dialog) {
                offered = dialog->selectedFiles().value(0);
                auto *model = dialog->findChild<QFileSystemModel *>();
                QElapsedTimer wait;
                wait.start();
                while (!model->index(QString::fromStdString(dir.Path("README"))).isValid() &&
                       wait.elapsed() < 5000)
                    QCoreApplication::processEvents();
                const QModelIndex readme = model->index(QString::fromStdString(dir.Path("README")));
                listed = readme.isValid() && (model->flags(readme) & Qt::ItemIsEnabled) &&
                         model->nameFilters() == QStringList(QStringLiteral("*"));
            });
            page.loader.Open();
        }
        QCOMPARE(offered, QString::fromStdString(dir.Path("README")));
        QVERIFY(listed);
        QCOMPARE(finished.size(), 1); // a cancelled dialog loads nothing
        QCOMPARE(page.Text(), QStringLiteral("no dot\n"));
        QVERIFY(boxes.Seen().empty());

        // A name that does not exist may be typed; opening it fails like any other.
        {
            FileDialogAnswerer answer(QString::fromStdString(dir.Path("new.txt")));
            page.loader.Open();
        }
        QVERIFY(finished.wait(10000));
        QCOMPARE(boxes.Seen().size(), std::size_t{1});
        QCOMPARE(page.loader.lastPath(), QString::fromStdString(dir.Path("new.txt")));
    }

    // A name typed without an extension opens the ".txt" file of that name when there is one.
    void TheDefaultExtensionIsTxt() {
        TempDir dir;
        WriteFile(dir.Path("memo.txt"), "from memo.txt\n");
        WriteFile(dir.Path("plain"), "from plain\n");
        BoxAnswerer boxes;
        Page page;
        QSignalSpy finished(&page.loader, &FileLoader::finished);
        for (const char *typed : {"memo", "plain"}) {
            FileDialogAnswerer answer(QString::fromStdString(dir.Path(typed)));
            page.loader.Open();
            QVERIFY(finished.wait(10000));
        }
        QCOMPARE(page.Text(), QStringLiteral("from memo.txt\nfrom plain\n"));
        QCOMPARE(page.loader.lastPath(), QString::fromStdString(dir.Path("plain")));
        QVERIFY(boxes.Seen().empty());
    }

    void ALargeFileLoadsWhileTheWindowKeepsRunning() {
        TempDir dir;
        std::string line = "0123456789abcdefghijklmnopqrstuvwxyz =+-*/ ";
        line += "あいうえお\r\n";
        std::string bytes;
        const std::size_t size = 24u << 20;
        bytes.reserve(size + line.size());
        while (bytes.size() < size)
            bytes += line;
        WriteFile(dir.Path("big.txt"), bytes);
        const QString expected = QString::fromStdString(ToLf(bytes));

        Page page;
        page.window.show();
        QTimer ticker;
        QElapsedTimer sinceTick;
        qint64 longestGap = 0;
        int ticks = 0;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            longestGap = std::max(longestGap, sinceTick.restart());
            ++ticks;
        });
        sinceTick.start();
        ticker.start(20);
        bool progressSeen = false;
        QTimer::singleShot(700, [&] {
            auto *progress = page.window.findChild<QProgressDialog *>();
            progressSeen = progress != nullptr && progress->isVisible() &&
                           progress->windowModality() == Qt::NonModal;
        });
        page.LoadAndWait(QString::fromStdString(dir.Path("big.txt")));
        ticker.stop();
        QVERIFY(page.pieces > 1);
        QCOMPARE(page.Text().size(), expected.size());
        QVERIFY(page.Text() == expected);
        QVERIFY(ticks > 10);
        qInfo("longest pause of the event loop: %lld ms over %d ticks", longestGap, ticks);
        // Generous for sanitizers on a busy machine; the whole load holding the loop takes far
        // longer.
        QVERIFY(longestGap < 1500);
        QVERIFY(progressSeen);
        QVERIFY(page.window.findChild<QProgressDialog *>() == nullptr ||
                !page.window.findChild<QProgressDialog *>()->isVisible());
    }

    void CancellingStopsTheLoad() {
        TempDir dir;
        WriteFile(dir.Path("big.txt"), std::string(8u << 20, 'x'));
        Page page;
        QSignalSpy finished(&page.loader, &FileLoader::finished);
        page.loader.Load(QString::fromStdString(dir.Path("big.txt")));
        QVERIFY(page.loader.isLoading());
        page.loader.Cancel();
        QVERIFY(finished.wait(30000));
        QVERIFY(page.Text().isEmpty());
        QVERIFY(!page.loader.isLoading());

        // The loader is free for the next file.
        WriteFile(dir.Path("small.txt"), "small");
        page.LoadAndWait(QString::fromStdString(dir.Path("small.txt")));
        QCOMPARE(page.Text(), QStringLiteral("small"));
    }

    void DestroyingTheLoaderMidLoadIsSafe() {
        TempDir dir;
        WriteFile(dir.Path("big.txt"), std::string(8u << 20, 'y'));
        auto page = std::make_unique<Page>();
        page->loader.Load(QString::fromStdString(dir.Path("big.txt")));
        page.reset();
        QCoreApplication::processEvents();
    }
};

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::FileLoaderTest)
#include "file_loader_test.moc"
