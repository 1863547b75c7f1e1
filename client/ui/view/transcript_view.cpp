#include "view/transcript_view.hpp"

#include <QApplication>
#include <QClipboard>
#include <QKeyEvent>
#include <QScrollBar>

#include <algorithm>

namespace tarvotcpc::ui {

namespace {

constexpr int kRefreshMs = 16;

QString FromUcs4(const std::u32string &s) {
    return QString::fromUcs4(s.data(), qsizetype(s.size()));
}

} // namespace

TranscriptView::TranscriptView(QWidget *parent)
    : QAbstractScrollArea(parent), input_(*this), finder_(*this), protocolMarks_(*this) {
    InstallTranscriptAccessibility();
    QFont font(QStringLiteral("Noto Sans Mono CJK JP"));
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    painter_.SetFont(font);
    setFont(font); // what the widget reports is what it draws with
    setFocusPolicy(Qt::StrongFocus);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    viewport()->setCursor(Qt::IBeamCursor);
    connect(&painter_, &CellPainter::prepared, viewport(), qOverload<>(&QWidget::update));
    connect(&accessible_, &AccessibleText::indexProgress, this, &TranscriptView::indexProgress);
    connect(&finder_, &TranscriptFinder::found, this, &TranscriptView::found);
    connect(&finder_, &TranscriptFinder::notFound, this, &TranscriptView::notFound);
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
        } else {
            top_ = RowStartAt(uint64_t(value) * barScale_);
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
    hexBytes_.reset();
    if (transcript_) {
        layout_ = std::make_unique<TranscriptLayout>(*transcript_);
        hexBytes_ = std::make_unique<ShownBytes>(*transcript_);
    }
    NotifyCleared();
}

void TranscriptView::Restart() {
    finder_.Stop();
    accessible_.Restart(transcript_, encoding_, ShownDirections());
    if (!transcript_) return;
    hexBytes_->SetShown(ShownDirections());
    ApplyLayout();
    layout_->Invalidate();
}

void TranscriptView::SetPageFont(const QFont &font) {
    painter_.SetFont(font);
    setFont(font);
    ApplyLayout();
    AfterOptionChange();
}

void TranscriptView::ApplyLayout() {
    if (!layout_) return;
    const int width = viewport()->width() - MarginWidth() - 4;
    layout_->Set(
        LayoutOptions{encoding_, ShownDirections(), marks_, std::max(4, width / CellWidth())},
        accessible_.Index());
}

void TranscriptView::NotifyAppended() {
    if (!transcript_) return;
    accessible_.Appended();
    protocolMarks_.Appended();
    dirty_ = true;
    if (!refreshTimer_.isActive()) refreshTimer_.start();
}

void TranscriptView::Flush() {
    if (!dirty_ || !layout_) return;
    dirty_ = false;
    refreshTimer_.stop();
    layout_->Invalidate();
    accessible_.Announce(this, *layout_);
    if (following_) ScrollToEndNow();
    Refresh();
}

void TranscriptView::NotifyCleared() {
    Restart();
    protocolMarks_.Restart();
    top_ = 0;
    input_.Select(0, 0, 0);
    accessible_.Forget();
    dirty_ = false;
    SetFollowing(true);
    ScrollToEndNow(); // a transcript handed over with bytes in it shows its end
    Refresh();
}

void TranscriptView::AfterOptionChange() {
    if (transcript_) top_ = RowStartAt(top_);
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
    return std::max(1, viewport()->height() / RowHeight());
}

int TranscriptView::MarginWidth() const {
    return times_ ? CellWidth() * kMarginCells : 0;
}

uint64_t TranscriptView::RowStartAt(uint64_t offset) {
    if (mode_ == Mode::Hex)
        return hexBytes_->OffsetOf(hexBytes_->PositionOf(offset) / kHexRowBytes * kHexRowBytes);
    if (const auto row = layout_->RowAt(offset)) return row->segment->RowStart(row->row);
    return offset;
}

uint64_t TranscriptView::HexTop() {
    const uint64_t rows = (hexBytes_->Count() + kHexRowBytes - 1) / kHexRowBytes;
    const auto screen = uint64_t(RowsOnScreen());
    return hexBytes_->OffsetOf(rows > screen ? (rows - screen) * kHexRowBytes : 0);
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
        const auto top = (long long)(hexBytes_->PositionOf(top_) / kHexRowBytes) + rows;
        top_ = std::min(hexBytes_->OffsetOf(uint64_t(std::max(0LL, top)) * kHexRowBytes), HexTop());
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

void TranscriptView::Lay() {
    visible_.clear();
    atEnd_ = true;
    if (!transcript_ || !layout_) return;
    const int n = RowsOnScreen();
    if (mode_ == Mode::Hex) {
        const uint64_t count = hexBytes_->Count();
        for (uint64_t at = hexBytes_->PositionOf(top_); at < count && int(visible_.size()) < n;
             at += kHexRowBytes) {
            const uint64_t last = std::min(at + kHexRowBytes, count) - 1;
            visible_.push_back(
                VisibleRow{{}, hexBytes_->OffsetOf(at), hexBytes_->OffsetOf(last) + 1, at});
        }
        atEnd_ = visible_.empty() || visible_.back().position + kHexRowBytes >= count;
        return;
    }
    auto row = layout_->RowAt(top_);
    while (row && int(visible_.size()) < n) {
        visible_.push_back(VisibleRow{*row, row->segment->RowStart(row->row), RowEndOffset(*row)});
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

void TranscriptView::EnsureVisible(uint64_t offset) {
    Lay();
    if (!transcript_ || visible_.empty()) return;
    const bool inside = offset >= visible_.front().start &&
                        (offset < visible_.back().end || (atEnd_ && offset <= visible_.back().end));
    if (!inside) {
        if (mode_ == Mode::Hex) {
            const uint64_t row = hexBytes_->PositionOf(offset) / kHexRowBytes * kHexRowBytes;
            const uint64_t above = uint64_t(RowsOnScreen() - 1) * kHexRowBytes;
            top_ = offset < visible_.front().start
                       ? hexBytes_->OffsetOf(row)
                       : std::min(HexTop(), hexBytes_->OffsetOf(row - std::min(row, above)));
        } else if (auto r = layout_->RowAt(offset)) {
            if (offset >= visible_.front().start)
                for (int i = 1; i < RowsOnScreen(); ++i) {
                    const auto previous = layout_->PreviousRow(*r);
                    if (!previous) break;
                    r = previous;
                }
            top_ = r->segment->RowStart(r->row);
        }
        Lay();
    }
    SetFollowing(atEnd_);
    UpdateScrollBar();
    viewport()->update();
}

void TranscriptView::resizeEvent(QResizeEvent *event) {
    QAbstractScrollArea::resizeEvent(event);
    finder_.Place();
    ApplyLayout();
    AfterOptionChange();
}

void TranscriptView::focusInEvent(QFocusEvent *event) {
    QAbstractScrollArea::focusInEvent(event);
    viewport()->update(); // the caret is drawn only while the page has the focus
}

void TranscriptView::focusOutEvent(QFocusEvent *event) {
    QAbstractScrollArea::focusOutEvent(event);
    viewport()->update();
}

void TranscriptView::scrollContentsBy(int, int) {
    // The rows are drawn afresh from top_; nothing to move.
}

void TranscriptView::wheelEvent(QWheelEvent *event) {
    const int steps = event->angleDelta().y() / 40;
    if (steps != 0) ScrollRows(-steps);
    event->accept();
}

void TranscriptView::keyPressEvent(QKeyEvent *event) {
    if (!input_.KeyPress(event)) QAbstractScrollArea::keyPressEvent(event);
}

void TranscriptView::mousePressEvent(QMouseEvent *event) {
    input_.MousePress(event);
}

void TranscriptView::mouseMoveEvent(QMouseEvent *event) {
    input_.MouseMove(event);
}

void TranscriptView::contextMenuEvent(QContextMenuEvent *event) {
    input_.ContextMenu(event);
}

bool TranscriptView::SentAt(uint64_t offset) const {
    return transcript_->Chunks()[transcript_->ChunkAt(offset)].direction == Direction::Sent;
}

void TranscriptView::SetSelection(uint64_t anchor, uint64_t caret) {
    input_.Select(anchor, caret, transcript_ ? transcript_->Size() : 0);
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
