// The transcript view offscreen: rows against a plain decode whatever the chunking, selection and
// copying, find, switching modes and encodings after the fact on bytes from a real peer, following
// the end, and the accessible text.
#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QtTest>

#include <unistd.h>

#include <array>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "support/test_servers.hpp"
#include "transcript/transcript_layout.hpp"
#include "view/transcript_view.hpp"

using namespace std::chrono_literals;
using tarvotcpc::testing::Collector;
using tarvotcpc::testing::TestServer;

namespace tarvotcpc::ui {
namespace {

QString U(const char *utf8) {
    return QString::fromUtf8(utf8);
}

// Random protocol-like text: short and very long lines, CR, LF and CRLF, controls, Japanese in
// the encoding given, and bytes no character starts with.
std::string RandomText(std::mt19937 &rng, Encoding encoding, std::size_t size) {
    std::vector<std::string> japanese = {"\xe3\x81\x82", "\xe6\xbc\xa2\xe5\xad\x97",
                                         "\xf0\x9f\x98\x80"};
    if (encoding == Encoding::ShiftJis)
        japanese = {"\x82\xa0", "\x83\x5c", "\x8a\xbf\x8e\x9a", "\xb1"};
    if (encoding == Encoding::EucJp) japanese = {"\xa4\xa2", "\xb4\xc1\xbb\xfa", "\x8e\xb1"};
    if (encoding == Encoding::Iso2022Jp) // back in ASCII after each run, as mail and news do
        japanese = {"\x1b$B\x24\x22\x1b(B", "\x1b$B\x34\x41\x3b\x7a\x1b(B", "\x1b(J~\x1b(B"};
    std::string s;
    while (s.size() < size) {
        switch (rng() % 12) {
        case 0:
            s += "\r\n";
            break;
        case 1:
            s += '\n';
            break;
        case 2:
            s += '\r';
            break;
        case 3:
            s += char(rng() % 32);
            break;
        case 4:
            s += char(0x80 + rng() % 128);
            break;
        case 5:
            s += japanese[rng() % japanese.size()];
            break;
        case 6: // a long line, Japanese throughout, so that anchors fall inside characters
            for (std::size_t end = s.size() + 3000 + rng() % 9000; s.size() < end;)
                s +=
                    rng() % 2 ? japanese[rng() % japanese.size()] : std::string(1 + rng() % 3, 'x');
            break;
        default:
            s += std::string(1 + rng() % 40, char('A' + rng() % 26));
        }
    }
    return s;
}

std::vector<std::size_t> RandomCuts(std::mt19937 &rng, std::size_t size) {
    std::vector<std::size_t> cuts{0};
    while (cuts.back() < size)
        cuts.push_back(std::min(size, cuts.back() + 1 + rng() % (rng() % 2 ? 7 : 5000)));
    return cuts;
}

struct Fixture {
    Transcript transcript;
    TranscriptView view;
    int64_t clock = 1'700'000'000'000'000;
    Fixture() {
        view.resize(640, 400);
        view.SetTranscript(&transcript);
    }
    void Add(const std::string &bytes, Direction d = Direction::Received) {
        QCOMPARE(transcript.Append(d, bytes.data(), bytes.size(), clock += 1000), 0);
        view.NotifyAppended();
    }
    void FinishIndex() {
        while (!view.CharacterCountExact())
            QCoreApplication::processEvents();
    }
};

// Every row, top to bottom, as its glyphs.
std::vector<std::vector<Glyph>> AllRows(TranscriptLayout &layout) {
    std::vector<std::vector<Glyph>> rows;
    for (auto row = layout.RowAt(0); row; row = layout.NextRow(*row)) {
        const Segment &s = *row->segment;
        rows.emplace_back(s.glyphs.begin() + s.rowBegin[row->row],
                          s.glyphs.begin() + std::ptrdiff_t(s.RowEnd(row->row)));
    }
    return rows;
}

class TranscriptViewTest : public QObject {
    Q_OBJECT

  private slots:
    // The rows are the plain decode of the whole transcript, cut only where a row is full, a line
    // ends or an anchor falls, whatever the chunking; walking up gives the same rows as walking
    // down; and the view, following the end, shows the last of them.
    void rowsMatchAPlainDecodeWhateverTheChunking() {
        std::mt19937 rng(13);
        for (const Encoding encoding :
             {Encoding::Utf8, Encoding::ShiftJis, Encoding::EucJp, Encoding::Iso2022Jp}) {
            const std::string text = RandomText(rng, encoding, 60000);
            std::vector<std::vector<Glyph>> first;
            // Round 3 interleaves sent chunks and shows both directions.
            for (int round = 0; round < 4; ++round) {
                const Shown shown = round == 3 ? Shown::Both : Shown::Received;
                Fixture f;
                f.view.SetEncoding(encoding);
                f.view.SetLineEndMarks(round == 1);
                f.view.SetShowSent(round == 3);
                const auto cuts = RandomCuts(rng, text.size());
                for (std::size_t i = 1; i < cuts.size(); ++i)
                    f.Add(text.substr(cuts[i - 1], cuts[i] - cuts[i - 1]),
                          round == 3 && rng() % 3 == 0 ? Direction::Sent : Direction::Received);
                if (round == 2) f.FinishIndex(); // mid-line rows from the pass's decoder states

                TranscriptLayout layout(f.transcript);
                CharIndex index(f.transcript, encoding, shown);
                while (round == 2 && !index.Advance(1 << 20)) {
                }
                layout.Set(LayoutOptions{encoding, shown, round == 1, 50},
                           round == 2 ? &index : nullptr);
                const auto rows = AllRows(layout);
                std::vector<Glyph> joined, plain;
                for (const auto &row : rows) {
                    int columns = 0;
                    for (const Glyph &g : row)
                        columns += GlyphColumns(g);
                    QVERIFY(columns <= 50);
                    joined.insert(joined.end(), row.begin(), row.end());
                }
                RenderText(DecodeRange(f.transcript, encoding, shown, 0, text.size()), round == 1,
                           plain);
                QVERIFY(joined == plain);
                QCOMPARE(uint64_t(rows.size()) >= f.transcript.LineCount(shown), true);
                if (round == 0) first = rows;
                if (round == 2) QVERIFY(rows == first); // exact with or without the pass

                std::vector<std::vector<Glyph>> upward;
                for (auto row = layout.LastRow(); row; row = layout.PreviousRow(*row)) {
                    const Segment &s = *row->segment;
                    upward.emplace_back(s.glyphs.begin() + s.rowBegin[row->row],
                                        s.glyphs.begin() + std::ptrdiff_t(s.RowEnd(row->row)));
                }
                std::reverse(upward.begin(), upward.end());
                QVERIFY(upward == rows);

                // The view (following the end) shows the last rows of its own width.
                QVERIFY(f.view.IsFollowingEnd());
                const QStringList screen = f.view.VisibleRows();
                QVERIFY(!screen.isEmpty());
                layout.Set(LayoutOptions{encoding, shown, round == 1,
                                         (f.view.viewport()->width() - 4) / f.view.CellWidth()},
                           nullptr);
                const auto last = layout.LastRow();
                const Segment &s = *last->segment;
                const std::vector<Glyph> lastGlyphs(
                    s.glyphs.begin() + s.rowBegin[last->row],
                    s.glyphs.end() - std::ptrdiff_t(s.glyphs.size() - s.RowEnd(last->row)));
                QCOMPARE(screen.back(), QString::fromStdString(GlyphsToUtf8(lastGlyphs)));
            }
        }
    }

    // At sizes whose advance is no whole number of pixels, every character still sits in its
    // cell, where the caret and the selection put it: the ink of a long row ends in its last
    // cell. So does a row of Greek, which the page's CJK font draws full-width in one cell.
    void charactersSitInTheirCellsAtAnySize() {
        std::string omegas;
        for (int i = 0; i < 100; ++i)
            omegas += "\xce\xa9";
        for (const qreal points : {9.0, 10.0, 11.0, 12.0, 13.0}) {
            Fixture f;
            QFont font = f.view.PageFont();
            font.setPointSizeF(points);
            f.view.SetPageFont(font);
            f.view.resize(1600, 200);
            f.Add(std::string(100, 'M') + "\n" + omegas + "\n");
            const QImage image = f.view.viewport()->grab().toImage();
            const int cell = f.view.CellWidth(), height = f.view.RowHeight();
            for (int row = 0; row < 2; ++row) {
                int left = image.width(), right = -1;
                for (int y = row * height; y < (row + 1) * height; ++y)
                    for (int x = 0; x < image.width(); ++x)
                        if (qGray(image.pixel(x, y)) < 128) left = std::min(left, x), right = x;
                const QString where = QStringLiteral("%1 pt, row %2: ink from %3 to %4, cell %5")
                                          .arg(points)
                                          .arg(row)
                                          .arg(left)
                                          .arg(right)
                                          .arg(cell);
                QVERIFY2(left >= 2 && left < 2 + cell, qPrintable(where));
                QVERIFY2(right >= 2 + 99 * cell && right <= 2 + 100 * cell, qPrintable(where));
            }
        }
    }

    // Line-end marks are badges of a colour of their own over exactly the cells the marks take,
    // at every size: one across the two cells of a CRLF, one cell for a lone LF or CR, with
    // letters in a contrasting ink in both its halves, a CR's unlike an LF's. A selection that
    // splits a CRLF splits its badge; copying gives the marks as before.
    void lineEndBadgesKeepTheGridAtEverySize() {
        const QRgb fill = qRgb(0x00, 0x79, 0x6b);
        for (const qreal points : {10.0, 12.0, 16.0}) {
            Fixture f;
            QFont font = f.view.PageFont();
            font.setPointSizeF(points);
            f.view.SetPageFont(font);
            f.view.SetNewGlyphTime(10s);
            f.view.SetLineEndMarks(true);
            f.Add("ab\r\ncd\nef\rgh");
            const auto shot = [&f] {
                for (int turns = 0; turns < 100; ++turns) {
                    const QImage image = f.view.viewport()->grab().toImage();
                    if (f.view.LastPaintComplete()) return image;
                    QCoreApplication::processEvents();
                }
                return QImage();
            };
            QImage image = shot();
            const int cell = f.view.CellWidth(), height = f.view.RowHeight();
            const auto cellAt = [&](int row, int column, int cells) {
                return image.copy(2 + column * cell, row * height, cells * cell, height);
            };
            // The columns of a row holding the badge's fill, and light ink inside its halves.
            const auto badge = [&](int row) {
                int left = image.width(), right = -1, topInk = 0, bottomInk = 0;
                for (int y = row * height; y < (row + 1) * height; ++y)
                    for (int x = 0; x < image.width(); ++x)
                        if (image.pixel(x, y) == fill)
                            left = std::min(left, x), right = std::max(right, x);
                for (int y = row * height; y < (row + 1) * height; ++y)
                    for (int x = left; x <= right; ++x)
                        if (qGray(image.pixel(x, y)) > 200)
                            ++(y < row * height + height / 2 ? topInk : bottomInk);
                return std::array<int, 4>{left, right, topInk, bottomInk};
            };
            const QString where = QStringLiteral("%1 pt, cell %2, row %3").arg(points).arg(cell);
            const auto [crlfLeft, crlfRight, crlfTop, crlfBottom] = badge(0);
            QVERIFY2(crlfLeft >= 2 + 2 * cell && crlfLeft <= 2 + 2 * cell + 2,
                     qPrintable(where.arg(0)));
            QVERIFY2(crlfRight >= 2 + 4 * cell - 3 && crlfRight < 2 + 4 * cell,
                     qPrintable(where.arg(0) + QString(" %1 %2").arg(crlfLeft).arg(crlfRight)));
            QVERIFY2(crlfTop > 0 && crlfBottom > 0, qPrintable(where.arg(0)));
            for (const int row : {1, 2}) {
                // Lone: closed on both sides, inside its cell.
                const auto [left, right, top, bottom] = badge(row);
                QVERIFY2(left > 2 + 2 * cell && right < 2 + 3 * cell - 1,
                         qPrintable(where.arg(row)));
                QVERIFY2(top > 0 && bottom > 0, qPrintable(where.arg(row)));
            }
            QVERIFY(cellAt(1, 2, 1) != cellAt(2, 2, 1));
            // The text around the badges is where it was.
            QCOMPARE(f.view.VisibleRows().mid(0, 3),
                     (QStringList{U("ab\u240D\u240A"), U("cd\u240A"), U("ef\u240D")}));

            f.view.SetSelection(2, 3); // the CR of the CRLF
            image = shot();
            const auto [splitLeft, splitRight, splitTop, splitBottom] = badge(0);
            // The LF's half, open towards its CR.
            QVERIFY2(splitLeft == 2 + 3 * cell && splitRight < 2 + 4 * cell,
                     qPrintable(where.arg(0)));
            const QImage selectedCr = cellAt(0, 2, 1);
            const QRgb highlight = f.view.palette().color(QPalette::Highlight).rgb();
            bool highlighted = false;
            for (int y = 0; y < selectedCr.height(); ++y)
                for (int x = 0; x < selectedCr.width(); ++x)
                    highlighted = highlighted || selectedCr.pixel(x, y) == highlight;
            QVERIFY(highlighted);
            f.view.SelectAll();
            QCOMPARE(f.view.SelectedText(), U("ab\u240D\u240A\ncd\u240A\nef\u240D\ngh"));

            // A CRLF that the row's end cuts reads as one too, not as a lone CR and a lone LF:
            // the CR's half open at the row's end, the LF's at the next row's start.
            f.view.SetSelection(0, 0);
            f.Add(std::string(200, 'x'));
            const int columns = int(f.view.VisibleRows().at(3).size());
            f.Add(std::string(std::size_t((columns - 1 - 202 % columns + columns) % columns), 'x') +
                  "\r\nz");
            image = shot();
            const QStringList rows = f.view.VisibleRows();
            const int cut = int(rows.indexOf(QRegularExpression(QStringLiteral("^x+\u240D$"))));
            QVERIFY2(cut > 3 && rows.value(cut + 1) == U("\u240A"), qPrintable(rows.join('|')));
            QCOMPARE(badge(cut)[1], 2 + columns * cell - 1);
            QCOMPARE(badge(cut + 1)[0], 2);
        }
    }

    // A screen of characters from many scripts, control pictures and invalid bytes: a view that
    // lays out one new thing per turn between paints ends with the very picture a view that lays
    // them all out at once draws. Thaana, which Qt draws only through OpenType tables that no font
    // here declares, gets a box at once instead of a search through every font, which Qt tells
    // about once for each font it rejects.
    void newScriptsAreDrawnAcrossPaintsWithNothingLeftOut() {
        std::string text;
        for (const char32_t c : {U'Ω', U'Ж', U'Ա', U'א', U'ب', U'ހ', U'क',  U'ก', U'ა', U'한',
                                 U'ሀ', U'Ꭰ', U'→', U'∀', U'─', U'✓', U'漢', U'😀', U'€', U'ü'}) {
            text += QString::fromUcs4(&c, 1).toStdString();
            text += " x\x01\xff\x7f";
        }
        text += "\r\n";
        static int rejected = 0;
        const QtMessageHandler previous = qInstallMessageHandler(
            [](QtMsgType, const QMessageLogContext &, const QString &message) {
                if (message.contains(QLatin1String("OpenType support missing"))) ++rejected;
            });
        const auto draw = [&](std::chrono::microseconds limit, int &paints) {
            Fixture f;
            f.view.SetNewGlyphTime(limit);
            f.view.SetLineEndMarks(true);
            f.Add(text);
            f.view.show();
            for (paints = 1;; ++paints) {
                f.view.viewport()->grab();
                if (f.view.LastPaintComplete()) break;
                QCoreApplication::processEvents(); // one slice of laying out what it met
            }
            // Once more with nothing new: runs are no longer cut where new work was weighed.
            return f.view.viewport()->grab().toImage();
        };
        int once = 0, stepwise = 0;
        const QImage whole = draw(std::chrono::seconds(10), once);
        const QImage inSteps = draw(std::chrono::microseconds(0), stepwise);
        qInstallMessageHandler(previous);
        QCOMPARE(once, 2); // the first paint only finds what it lacks
        QVERIFY(stepwise > 10);
        QVERIFY(inSteps == whole);
        // Qt rejects the page's own font for Devanagari once per font object, then finds Noto
        // Sans Devanagari; a search for Thaana would reject every installed font.
        QVERIFY2(rejected <= 4, qPrintable(QString::number(rejected)));
    }

    // A CRLF and a lone LF from a real peer look different with line-end marks on; Shift_JIS from
    // the same peer reads right once chosen (after the bytes arrived); hex shows the exact bytes;
    // and the switch decodes only the screen (the character pass has not run).
    void aPeersBytesShowExactlyInAnyModeAndEncoding() {
        const std::string konnichiwa = "\x82\xb1\x82\xf1\x82\xc9\x82\xbf\x82\xcd";
        TestServer server(testing::SendThenClose("a\r\nb\nc\r\n" + konnichiwa + "\r\n"));
        Collector client("127.0.0.1", server.Port());
        Fixture f;
        QVERIFY(client.WaitEnd(10s, [&](const std::string &bytes) { f.Add(bytes); }));

        f.view.SetLineEndMarks(true);
        QStringList rows = f.view.VisibleRows();
        QCOMPARE(rows.mid(0, 3), QStringList({U("a␍␊"), U("b␊"), U("c␍␊")}));
        QVERIFY(rows[3].startsWith(U("<82>"))); // not UTF-8: a marked box per byte

        f.view.SetEncoding(Encoding::ShiftJis);
        QVERIFY(!f.view.CharacterCountExact());
        f.view.SetLineEndMarks(false);
        rows = f.view.VisibleRows();
        QCOMPARE(rows, QStringList({U("a"), U("b"), U("c"), U("こんにちは")}));

        f.view.SetMode(TranscriptView::Mode::Hex);
        rows = f.view.VisibleRows();
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0], U("00000000  61 0d 0a 62 0a 63 0d 0a  82 b1 82 f1 82 c9 82 bf  "
                            "a␍␊b␊c␍␊こ ん に ち "));
        QVERIFY(rows[1].startsWith(U("00000010  82 cd 0d 0a")));

        // Sent bytes: hidden by default (blank in hex), shown in their place on request.
        f.Add("SENT", Direction::Sent);
        QVERIFY(f.view.VisibleRows()[1].startsWith(U("00000010  82 cd 0d 0a              ")));
        f.view.SetShowSent(true);
        QVERIFY(f.view.VisibleRows()[1].startsWith(U("00000010  82 cd 0d 0a 53 45 4e 54")));
        f.view.SetMode(TranscriptView::Mode::Text);
        QCOMPARE(f.view.VisibleRows().back(), U("SENT"));
        f.view.SetShowTimes(true);
        QVERIFY(f.view.VisibleRows().back().contains(U("→")));
        QVERIFY(f.view.VisibleRows().front().contains(U("←")));
    }

    // With sent bytes hidden, hex rows hold 16 received bytes each and their offsets count only
    // those, as a hex viewer shows a file; the caret and copies go over the shown bytes alone.
    void hexRowsCountOnlyTheShownBytes() {
        Fixture f;
        f.view.SetMode(TranscriptView::Mode::Hex);
        f.Add("0123456789");
        f.Add("SENT!", Direction::Sent);
        f.Add("abcdefghij");
        QCOMPARE(
            f.view.VisibleRows(),
            QStringList({U("00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  "
                           "0123456789abcdef"),
                         U("00000010  67 68 69 6a") + QString(39, QLatin1Char(' ')) + U("ghij")}));
        QApplication::setActiveWindow(&f.view);
        f.view.setFocus();
        QTest::keyClick(&f.view, Qt::Key_Home, Qt::ControlModifier);
        QTest::keyClick(&f.view, Qt::Key_Down, Qt::ShiftModifier);
        QCOMPARE(f.view.Selection(), std::make_pair(uint64_t(0), uint64_t(21))); // at "g"
        QCOMPARE(*f.view.SelectedHex(), U("30 31 32 33 34 35 36 37 38 39 61 62 63 64 65 66"));
        for (int i = 0; i < 7; ++i)
            QTest::keyClick(&f.view, Qt::Key_Left, Qt::ShiftModifier);
        QCOMPARE(f.view.Selection().second, uint64_t(9)); // over the sent bytes, to "9"
        // Shown, the sent bytes take their places and the offsets count them.
        f.view.SetShowSent(true);
        QVERIFY(f.view.VisibleRows()[1].startsWith(U("00000010  62 63 64")));
    }

    // The caret is drawn only while the page has the focus: it goes from the screen as the focus
    // goes, and comes back with it, without anything else being repainted.
    void theCaretFollowsTheFocusOnScreen() {
        Fixture f;
        f.Add("a    b");
        f.view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f.view));
        QApplication::setActiveWindow(&f.view);
        f.view.setFocus();
        QTRY_VERIFY(f.view.hasFocus());
        f.view.SetSelection(2, 2); // on a blank
        const QPoint at = f.view.viewport()->mapTo(
            &f.view, QPoint(2 + 2 * f.view.CellWidth(), f.view.RowHeight() / 2));
        const auto caretShown = [&] {
            const QImage screen = f.view.screen()
                                      ->grabWindow(f.view.winId())
                                      .toImage()
                                      .convertToFormat(QImage::Format_RGB32);
            return qGray(screen.pixel(at)) < 128;
        };
        QTRY_VERIFY(caretShown());
        f.view.clearFocus();
        QTRY_VERIFY_WITH_TIMEOUT(!caretShown(), 2000);
        f.view.setFocus();
        QTRY_VERIFY_WITH_TIMEOUT(caretShown(), 2000);
    }

    // Selecting by mouse and keys, copying as shown text and as exact bytes, select all.
    void selectsAndCopiesAsTextOrBytes() {
        Fixture f;
        f.Add(std::string("ab\r\ncd\0\xff\nxyz", 12));
        QApplication::setActiveWindow(&f.view);
        f.view.setFocus();

        f.view.SetSelection(0, 9);
        QCOMPARE(*f.view.SelectedText(), U("ab\ncd␀<FF>\n"));
        QCOMPARE(*f.view.SelectedHex(), U("61 62 0D 0A 63 64 00 FF 0A"));
        f.view.SetLineEndMarks(true);
        QCOMPARE(*f.view.SelectedText(), U("ab␍␊\ncd␀<FF>␊\n"));
        f.view.SetLineEndMarks(false);

        // Keys: from the start, two to the right with Shift, then down a row.
        QTest::keyClick(&f.view, Qt::Key_Home, Qt::ControlModifier);
        QTest::keyClick(&f.view, Qt::Key_Right, Qt::ShiftModifier);
        QTest::keyClick(&f.view, Qt::Key_Right, Qt::ShiftModifier);
        QCOMPARE(f.view.Selection(), std::make_pair(uint64_t(0), uint64_t(2)));
        QTest::keyClick(&f.view, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), U("ab"));
        QTest::keyClick(&f.view, Qt::Key_Down, Qt::ShiftModifier);
        QCOMPARE(f.view.Selection().second, uint64_t(6)); // after "cd" on the next row
        QTest::keyClick(&f.view, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(QApplication::clipboard()->text(), U("61 62 0D 0A 63 64"));

        // The mouse: press on the first row's second cell, drag to the third row.
        const int cell = f.view.CellWidth(), line = f.view.RowHeight();
        QTest::mousePress(f.view.viewport(), Qt::LeftButton, {}, QPoint(2 + cell + 1, line / 2));
        QMouseEvent move(QEvent::MouseMove, QPointF(2 + 2 * cell + 1, 2 * line + line / 2),
                         f.view.viewport()->mapToGlobal(QPointF(0, 0)), Qt::NoButton,
                         Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(f.view.viewport(), &move);
        QCOMPARE(*f.view.SelectedText(), U("b\ncd␀<FF>\nxy"));

        QTest::keyClick(&f.view, Qt::Key_A, Qt::ControlModifier);
        QCOMPARE(f.view.Selection(), std::make_pair(uint64_t(0), uint64_t(12)));
    }

    // Find text in the chosen encoding (never inside a character) or a hex byte sequence.
    void findsTextAndBytes() {
        Fixture f;
        // ソ is 83 5C in Shift_JIS: its second byte is a backslash that is no backslash.
        f.Add("\x83\x5c x\\y\r\n\x83\x65\x83\x58\x83\x67 end\n");
        f.view.SetEncoding(Encoding::ShiftJis);
        QSignalSpy found(&f.view, &TranscriptView::found);
        QSignalSpy notFound(&f.view, &TranscriptView::notFound);

        QVERIFY(f.view.Find(U("\\"), false));
        QVERIFY(found.wait(5000));
        QCOMPARE(found.takeFirst().at(0).toULongLong(), 4ULL);
        QVERIFY(f.view.Find(U("テスト"), false));
        QVERIFY(found.wait(5000));
        QCOMPARE(found.takeFirst().at(0).toULongLong(), 8ULL);
        QCOMPARE(*f.view.SelectedText(), U("テスト"));
        QVERIFY(f.view.Find(U("0d 0A"), true));
        QVERIFY(found.wait(5000));
        QCOMPARE(found.takeFirst().at(0).toULongLong(), 6ULL); // from the selection on, wrapping
        // Through the find bar, as a user would.
        f.view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&f.view));
        QTest::keyClick(&f.view, Qt::Key_F, Qt::ControlModifier);
        auto *edit = f.view.findChild<QLineEdit *>(QStringLiteral("transcriptFindEdit"));
        QVERIFY(edit && edit->isVisible());
        QTest::keyClicks(edit, U("end"));
        QTest::keyClick(edit, Qt::Key_Return);
        QVERIFY(found.wait(5000));
        QCOMPARE(found.takeFirst().at(0).toULongLong(), 15ULL);
        QVERIFY(f.view.Find(U("ff"), true));
        QVERIFY(notFound.wait(5000));
        QVERIFY(!f.view.Find(U("0g"), true));
    }

    // Following the end with lines wider than the window; once scrolled up it stays put while
    // bytes arrive; Jump to end follows again.
    void followsTheEndUntilScrolledUp() {
        Fixture f;
        for (int i = 0; i < 200; ++i)
            f.Add("line " + std::to_string(i) + " " + std::string(400, 'w') + "\n");
        f.Add("last");
        QVERIFY(f.view.IsFollowingEnd());
        QCOMPARE(f.view.VisibleRows().back(), U("last"));

        QTest::keyClick(&f.view, Qt::Key_PageUp);
        QVERIFY(!f.view.IsFollowingEnd());
        const QStringList before = f.view.VisibleRows();
        f.Add(" more\nand more\n");
        QCOMPARE(f.view.VisibleRows(), before);

        f.view.JumpToEnd();
        QVERIFY(f.view.IsFollowingEnd());
        f.Add("tail");
        QCOMPARE(f.view.VisibleRows().back(), U("tail"));
        f.transcript.Clear();
        f.view.NotifyCleared();
        QVERIFY(f.view.VisibleRows().isEmpty());
    }

    // A gigabyte in one line (a sparse file of NULs stands in for the peer): the end, the middle
    // and a switch of encoding or mode are drawn from the screen's rows alone; the character pass
    // has not run, so nothing else was decoded.
    void aGigabyteLineShowsAtOnceInEveryModeAndEncoding() {
        TranscriptOptions options;
        options.memoryLimit = 1 << 20;
        options.write = [](int fd, const void *, std::size_t size, off_t offset) -> ssize_t {
            return ::ftruncate(fd, offset + off_t(size)) == 0 ? ssize_t(size) : -1;
        };
        Transcript transcript(options);
        TranscriptView view;
        view.resize(640, 400);
        view.SetTranscript(&transcript);
        const std::string zeros(std::size_t(1) << 20, '\0');
        for (int i = 0; i < 1024; ++i)
            QCOMPARE(transcript.Append(Direction::Received, zeros.data(), zeros.size(), i), 0);
        transcript.Append(Direction::Received, "end", 3, 2000);
        view.NotifyAppended();
        // Rows follow the bytes: each is full up to the last, which holds the rest of the line.
        const int columns = (view.viewport()->width() - 4) / view.CellWidth();
        const int last = int(((uint64_t{1} << 30) + 3) % uint64_t(columns));
        QStringList rows = view.VisibleRows();
        QCOMPARE(rows.back(), QString(last - 3, QChar(0x2400)) + U("end"));
        QCOMPARE(rows.front(), QString(columns, QChar(0x2400)));

        view.SetEncoding(Encoding::EucJp);
        view.SetLineEndMarks(true);
        rows = view.VisibleRows();
        QCOMPARE(rows.back(), QString(last - 3, QChar(0x2400)) + U("end"));
        QCOMPARE(rows.front(), QString(columns, QChar(0x2400)));
        view.SetMode(TranscriptView::Mode::Hex);
        QCOMPARE(view.VisibleRows().back(),
                 U("40000000  65 6e 64") + QString(42, QLatin1Char(' ')) + U("end"));
        view.SetMode(TranscriptView::Mode::Text);
        view.verticalScrollBar()->setValue(view.verticalScrollBar()->maximum() / 2);
        QVERIFY(!view.IsFollowingEnd());
        QVERIFY(view.VisibleRows().front().startsWith(U("␀␀␀␀")));
        QVERIFY(!view.CharacterCountExact());
    }

    // The accessible text is the whole transcript, one character per unit: its count and a range
    // far from the screen equal a plain decode; the name is the one the window gives.
    void accessibleTextIsTheWholeTranscript() {
        std::mt19937 rng(7);
        TranscriptOptions options;
        options.memoryLimit = 64 * 1024; // and read back from the file
        Transcript transcript(options);
        TranscriptView view;
        view.resize(400, 200);
        view.SetTranscript(&transcript);
        view.SetEncoding(Encoding::ShiftJis);
        const std::string text = RandomText(rng, Encoding::ShiftJis, 600000);
        const auto cuts = RandomCuts(rng, text.size());
        for (std::size_t i = 1; i < cuts.size(); ++i) {
            transcript.Append(Direction::Received, text.data() + cuts[i - 1], cuts[i] - cuts[i - 1],
                              int64_t(i));
            view.NotifyAppended();
        }
        view.setAccessibleName(U("受信データ"));
        QAccessibleInterface *iface = QAccessible::queryAccessibleInterface(&view);
        QVERIFY(iface && iface->textInterface());
        QCOMPARE(iface->text(QAccessible::Name), U("受信データ"));

        std::vector<Unit> plain =
            DecodeRange(transcript, Encoding::ShiftJis, Shown::Received, 0, transcript.Size());
        std::erase_if(plain, [](const Unit &u) { return u.kind == UnitKind::Shift; });
        QString expected;
        for (const Unit &u : plain) {
            const char32_t c = AccessibleChar(u);
            expected += QString::fromUcs4(&c, 1);
        }
        // Asked before the pass is done, far from the screen, then the count once it is.
        const int from = int(plain.size() * 2 / 3);
        QCOMPARE(iface->textInterface()->text(from, from + 3000), expected.mid(from, 3000));
        while (!view.CharacterCountExact())
            QCoreApplication::processEvents();
        QCOMPARE(iface->textInterface()->characterCount(), int(plain.size()));
        QCOMPARE(iface->textInterface()->text(10, 500), expected.mid(10, 490));
        int start = 0, end = 0;
        const QString line =
            iface->textInterface()->textAtOffset(from, QAccessible::LineBoundary, &start, &end);
        QCOMPARE(line, expected.mid(start, end - start));
        QVERIFY(start <= from && from < end);
    }
};

} // namespace
} // namespace tarvotcpc::ui

QTEST_MAIN(tarvotcpc::ui::TranscriptViewTest)
#include "transcript_view_test.moc"
