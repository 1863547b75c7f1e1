#include "view/transcript_view.hpp"

#include <QApplication>
#include <QClipboard>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollBar>

#include <algorithm>

namespace tarvotcpc::ui {

namespace {

// The character pass goes in steps of one block of the transcript, until a slice's time is up:
// a count of bytes alone took 10 ms when the processor was shared with a flood's other threads.
constexpr uint64_t kIndexSlice = uint64_t{512} << 10;
constexpr uint64_t kIndexStep = Transcript::kBlockSize;
constexpr qint64 kIndexSliceNs = 3'000'000;
// While bytes arrive faster than the pass goes it waits: screen readers get exact ranges on demand
// anyway, and the count is estimated beyond the pass until it catches up once the flood stops.
constexpr int kIndexPauseMs = 50;
constexpr int kRefreshMs = 16;

QString FromUcs4(const std::u32string &s) {
    return QString::fromUcs4(s.data(), qsizetype(s.size()));
}

} // namespace

TranscriptView::TranscriptView(QWidget *parent) : QAbstractScrollArea(parent) {
    InstallTranscriptAccessibility();
    font_ = QFont(QStringLiteral("Noto Sans Mono CJK JP"));
    font_.setStyleHint(QFont::Monospace);
    font_.setFixedPitch(true);
    setFont(font_); // what the widget reports is what it draws with
    MeasureFont(QFontMetrics(font_));
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    viewport()->setCursor(Qt::IBeamCursor);
    indexTimer_.setInterval(0);
    connect(&indexTimer_, &QTimer::timeout, this, &TranscriptView::RunIndexSlice);
    indexPause_.setSingleShot(true);
    indexPause_.setInterval(kIndexPauseMs);
    connect(&indexPause_, &QTimer::timeout, &indexTimer_, qOverload<>(&QTimer::start));
    findTimer_.setInterval(0);
    connect(&findTimer_, &QTimer::timeout, this, &TranscriptView::FindSlice);
    prepareTimer_.setSingleShot(true);
    prepareTimer_.setInterval(0);
    connect(&prepareTimer_, &QTimer::timeout, this, &TranscriptView::PrepareSlice);
    refreshTimer_.setSingleShot(true);
    refreshTimer_.setInterval(kRefreshMs);
    connect(&refreshTimer_, &QTimer::timeout, this, &TranscriptView::Flush);

    QScrollBar *bar = verticalScrollBar();
    connect(bar, &QScrollBar::actionTriggered, this, [this, bar](int action) {
        long long rows = 0;
        switch (action) {
        case QAbstractSlider::SliderSingleStepAdd:
            rows = 1;
            break;
        case QAbstractSlider::SliderSingleStepSub:
            rows = -1;
            break;
        case QAbstractSlider::SliderPageStepAdd:
            rows = RowsOnScreen();
            break;
        case QAbstractSlider::SliderPageStepSub:
            rows = -RowsOnScreen();
            break;
        default:
            return;
        }
        ScrollRows(rows);
        ignoreBarValue_ = int(top_ / barScale_);
        if (following_) ignoreBarValue_ = bar->maximum();
        bar->setSliderPosition(ignoreBarValue_);
    });
    connect(bar, &QScrollBar::valueChanged, this, [this, bar](int value) {
        if (settingBar_ || value == std::exchange(ignoreBarValue_, -1) || !transcript_) return;
        if (value >= bar->maximum()) {
            ScrollToEndNow();
        } else if (mode_ == Mode::Hex) {
            top_ = uint64_t(value) * barScale_ / kHexRowBytes * kHexRowBytes;
        } else if (const auto row = layout_->RowAt(uint64_t(value) * barScale_)) {
            top_ = row->segment->RowStart(row->row);
        }
        Lay();
        SetFollowing(atEnd_);
        viewport()->update();
    });
}

TranscriptView::~TranscriptView() = default;

void TranscriptView::SetTranscript(const Transcript *transcript) {
    transcript_ = transcript;
    layout_.reset();
    if (transcript_) layout_ = std::make_unique<TranscriptLayout>(*transcript_);
    NotifyCleared();
}

void TranscriptView::Restart() {
    findTimer_.stop();
    if (!transcript_) {
        index_.reset();
        indexTimer_.stop();
        return;
    }
    index_ = std::make_unique<CharIndex>(*transcript_, encoding_, ShownDirections());
    ApplyLayout();
    layout_->Invalidate();
    indexTimer_.start();
}

void TranscriptView::SetPageFont(const QFont &font) {
    font_ = font;
    setFont(font_);
    ascent_ = -1; // measured afresh, and again at the next paint with the screen's resolution
    MeasureFont(QFontMetrics(font_));
    ApplyLayout();
    AfterOptionChange();
}

bool TranscriptView::MeasureFont(const QFontMetrics &fm) {
    const int cell = std::max(1, fm.horizontalAdvance(QLatin1Char('M')));
    const int lineHeight = std::max(1, fm.height());
    if (cell == cell_ && lineHeight == lineHeight_ && fm.ascent() == ascent_) return false;
    cell_ = cell;
    lineHeight_ = lineHeight;
    ascent_ = fm.ascent();
    pictures_.clear();
    boxes_.clear();
    raw_ = QRawFont();
    advances_.clear();
    boxFont_ = font_;
    boxFont_.setPointSizeF(font_.pointSizeF() * 0.7);
    return true;
}

void TranscriptView::ApplyLayout() {
    if (!layout_) return;
    const int width = viewport()->width() - MarginWidth() - 4;
    layout_->Set(LayoutOptions{encoding_, ShownDirections(), marks_, std::max(4, width / cell_)},
                 index_.get());
}

void TranscriptView::RunIndexSlice() {
    if (!index_ || !transcript_) {
        indexTimer_.stop();
        return;
    }
    QElapsedTimer clock;
    clock.start();
    bool done = false;
    for (uint64_t went = 0; !done && went < kIndexSlice && clock.nsecsElapsed() < kIndexSliceNs;
         went += kIndexStep)
        done = index_->Advance(kIndexStep);
    emit indexProgress(index_->Reached(), transcript_->Size());
    if (done) indexTimer_.stop();
}

void TranscriptView::NotifyAppended() {
    if (!transcript_) return;
    if (index_ && transcript_->Size() - index_->Reached() > kIndexSlice) {
        // A flood: the pass waits until it stops.
        indexTimer_.stop();
        indexPause_.start();
    } else if (!indexTimer_.isActive() && !indexPause_.isActive()) {
        indexTimer_.start();
    }
    dirty_ = true;
    if (!refreshTimer_.isActive()) refreshTimer_.start();
}

void TranscriptView::Flush() {
    if (!dirty_ || !layout_) return;
    dirty_ = false;
    refreshTimer_.stop();
    layout_->Invalidate();
    AnnounceAppended();
    if (following_) ScrollToEndNow();
    Refresh();
}

void TranscriptView::NotifyCleared() {
    Restart();
    top_ = 0;
    anchor_ = caret_ = 0;
    announced_ = transcript_ ? transcript_->Size() : 0;
    dirty_ = false;
    SetFollowing(true);
    ScrollToEndNow(); // a transcript handed over with bytes in it shows its end
    Refresh();
}

void TranscriptView::AfterOptionChange() {
    if (mode_ == Mode::Hex) {
        top_ = top_ / kHexRowBytes * kHexRowBytes;
    } else if (layout_) {
        if (const auto row = layout_->RowAt(top_)) top_ = row->segment->RowStart(row->row);
    }
    if (following_) ScrollToEndNow();
    Refresh();
}

void TranscriptView::SetEncoding(Encoding encoding) {
    if (encoding == encoding_) return;
    encoding_ = encoding;
    Restart();
    AfterOptionChange();
}

void TranscriptView::SetMode(Mode mode) {
    if (mode == mode_) return;
    mode_ = mode;
    AfterOptionChange();
}

void TranscriptView::SetLineEndMarks(bool on) {
    if (on == marks_) return;
    marks_ = on;
    ApplyLayout();
    AfterOptionChange();
}

void TranscriptView::SetShowTimes(bool on) {
    if (on == times_) return;
    times_ = on;
    ApplyLayout();
    AfterOptionChange();
}

void TranscriptView::SetShowSent(bool on) {
    if (on == showSent_) return;
    showSent_ = on;
    Restart();
    AfterOptionChange();
}

void TranscriptView::SetFollowing(bool on) {
    if (on == following_) return;
    following_ = on;
    emit followingEndChanged(on);
}

void TranscriptView::JumpToEnd() {
    ScrollToEndNow();
    SetFollowing(true);
    Refresh();
}

int TranscriptView::RowsOnScreen() const {
    return std::max(1, viewport()->height() / lineHeight_);
}

int TranscriptView::MarginWidth() const {
    return times_ ? cell_ * 16 : 0;
}

uint64_t TranscriptView::HexTop() const {
    const uint64_t rows = transcript_ ? (transcript_->Size() + kHexRowBytes - 1) / kHexRowBytes : 0;
    const uint64_t screen = uint64_t(RowsOnScreen());
    return rows > screen ? (rows - screen) * kHexRowBytes : 0;
}

void TranscriptView::ScrollToEndNow() {
    if (!transcript_) return;
    if (mode_ == Mode::Hex) {
        top_ = HexTop();
        return;
    }
    auto row = layout_->LastRow();
    if (!row) {
        top_ = 0;
        return;
    }
    for (int i = 1; i < RowsOnScreen(); ++i) {
        auto previous = layout_->PreviousRow(*row);
        if (!previous) break;
        row = previous;
    }
    top_ = row->segment->RowStart(row->row);
}

void TranscriptView::ScrollRows(long long rows) {
    if (!transcript_) return;
    if (mode_ == Mode::Hex) {
        const long long top = (long long)(top_ / kHexRowBytes) + rows;
        top_ = std::min<uint64_t>(uint64_t(std::max(0LL, top)) * kHexRowBytes, HexTop());
    } else if (auto row = layout_->RowAt(top_)) {
        for (; rows > 0; --rows) {
            const auto next = layout_->NextRow(*row);
            if (!next) break;
            row = next;
        }
        for (; rows < 0; ++rows) {
            const auto previous = layout_->PreviousRow(*row);
            if (!previous) break;
            row = previous;
        }
        top_ = row->segment->RowStart(row->row);
        const uint64_t oldTop = top_;
        ScrollToEndNow(); // the top of the last screen: scrolling stops there
        top_ = std::min(oldTop, top_);
    }
    Lay();
    SetFollowing(atEnd_);
    UpdateScrollBar();
    viewport()->update();
}

uint64_t TranscriptView::RowEnd(const RowRef &r) const {
    const Segment &s = *r.segment;
    return r.row + 1 < s.Rows() ? s.glyphs[s.RowEnd(r.row)].offset : s.end;
}

void TranscriptView::Lay() {
    visible_.clear();
    atEnd_ = true;
    if (!transcript_ || !layout_) return;
    const int n = RowsOnScreen();
    if (mode_ == Mode::Hex) {
        for (uint64_t at = top_; at < transcript_->Size() && int(visible_.size()) < n;
             at += kHexRowBytes)
            visible_.push_back(
                VisibleRow{{}, at, std::min(at + kHexRowBytes, transcript_->Size())});
        atEnd_ = visible_.empty() || visible_.back().end >= transcript_->Size();
        return;
    }
    auto row = layout_->RowAt(top_);
    while (row && int(visible_.size()) < n) {
        visible_.push_back(VisibleRow{*row, row->segment->RowStart(row->row), RowEnd(*row)});
        row = layout_->NextRow(*row);
    }
    atEnd_ = !row;
}

void TranscriptView::Refresh() {
    Lay();
    UpdateScrollBar();
    // Asked from within a paint (bytes that came since the last one), the paint under way shows
    // them; another request would paint the screen twice.
    if (!painting_) viewport()->update();
}

void TranscriptView::UpdateScrollBar() {
    const uint64_t size = transcript_ ? transcript_->Size() : 0;
    barScale_ = 1 + size / (uint64_t{1} << 30);
    QScrollBar *bar = verticalScrollBar();
    settingBar_ = true;
    const int maximum = int(size / barScale_);
    bar->setRange(0, maximum);
    uint64_t shown = visible_.empty() ? 1 : visible_.back().end - visible_.front().start;
    bar->setPageStep(int(std::max<uint64_t>(1, shown / barScale_)));
    bar->setValue(following_ && atEnd_ ? maximum : int(top_ / barScale_));
    settingBar_ = false;
}

void TranscriptView::resizeEvent(QResizeEvent *event) {
    QAbstractScrollArea::resizeEvent(event);
    if (findBar_ != nullptr && findBar_->isVisible()) ShowFindBar();
    ApplyLayout();
    AfterOptionChange();
}

void TranscriptView::scrollContentsBy(int, int) {
    // The rows are drawn afresh from top_; nothing to move.
}

void TranscriptView::wheelEvent(QWheelEvent *event) {
    const int steps = event->angleDelta().y() / 40;
    if (steps != 0) ScrollRows(-steps);
    event->accept();
}

bool TranscriptView::ShownAt(uint64_t offset) const {
    return Shows(ShownDirections(), transcript_->Chunks()[transcript_->ChunkAt(offset)].direction);
}

bool TranscriptView::SentAt(uint64_t offset) const {
    return transcript_->Chunks()[transcript_->ChunkAt(offset)].direction == Direction::Sent;
}

QString TranscriptView::MarginText(uint64_t rowStart, uint64_t rowEnd) const {
    const auto &chunks = transcript_->Chunks();
    if (chunks.empty() || rowStart >= transcript_->Size()) return {};
    std::size_t ci = transcript_->ChunkAt(rowStart);
    const bool top = !visible_.empty() && visible_.front().start == rowStart;
    if (chunks[ci].offset < rowStart && !top) ++ci;
    for (; ci < chunks.size() && chunks[ci].offset < std::max(rowEnd, rowStart + 1); ++ci) {
        const Chunk &c = chunks[ci];
        if (!Shows(ShownDirections(), c.direction)) continue;
        const QString time = QDateTime::fromMSecsSinceEpoch(c.timeUs / 1000)
                                 .toString(QStringLiteral("HH:mm:ss.zzz"));
        return time +
               (c.direction == Direction::Sent ? QStringLiteral(" →") : QStringLiteral(" ←"));
    }
    return {};
}

std::pair<uint64_t, uint64_t> TranscriptView::Selection() const {
    return {std::min(anchor_, caret_), std::max(anchor_, caret_)};
}

void TranscriptView::SetSelection(uint64_t anchor, uint64_t caret) {
    const uint64_t size = transcript_ ? transcript_->Size() : 0;
    anchor_ = std::min(anchor, size);
    caret_ = std::min(caret, size);
    viewport()->update();
}

void TranscriptView::SelectAll() {
    SetSelection(0, transcript_ ? transcript_->Size() : 0);
}

std::optional<QString> TranscriptView::SelectedText() {
    const auto [from, to] = Selection();
    if (!transcript_ || from == to) return QString();
    if (to - from > kCopyLimit) {
        emit copyRefused(to - from);
        return std::nullopt;
    }
    const Shown shown = ShownDirections();
    const uint64_t line = transcript_->LineStart(shown, transcript_->LineAt(shown, from));
    return FromUcs4(ShownText(layout_->Units(from, to, line), marks_, *layout_));
}

std::optional<QString> TranscriptView::SelectedHex() {
    const auto [from, to] = Selection();
    if (!transcript_ || from == to) return QString();
    if (to - from > kCopyLimit) {
        emit copyRefused(to - from);
        return std::nullopt;
    }
    static const char digits[] = "0123456789ABCDEF";
    std::string out, bytes;
    const auto &chunks = transcript_->Chunks();
    for (std::size_t ci = transcript_->ChunkAt(from); ci < chunks.size(); ++ci) {
        const Chunk &c = chunks[ci];
        if (c.offset >= to) break;
        if (!Shows(ShownDirections(), c.direction)) continue;
        const uint64_t a = std::max(from, c.offset), b = std::min(to, c.End());
        if (!transcript_->Read(a, std::size_t(b - a), bytes)) return std::nullopt;
        for (const char ch : bytes) {
            if (!out.empty()) out += ' ';
            out += digits[(static_cast<unsigned char>(ch) >> 4) & 15];
            out += digits[static_cast<unsigned char>(ch) & 15];
        }
    }
    return QString::fromLatin1(out);
}

bool TranscriptView::CopyText() {
    const auto text = SelectedText();
    if (text) QApplication::clipboard()->setText(*text);
    return text.has_value();
}

bool TranscriptView::CopyHex() {
    const auto text = SelectedHex();
    if (text) QApplication::clipboard()->setText(*text);
    return text.has_value();
}

} // namespace tarvotcpc::ui
