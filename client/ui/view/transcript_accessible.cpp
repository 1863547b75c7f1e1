// The accessible text of the receive page and the interface through which Qt's accessibility
// bridge reads it.
#include "view/transcript_accessible.hpp"
#include "view/transcript_view.hpp"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QElapsedTimer>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <climits>

namespace tarvotcpc::ui {

namespace {

// The character pass goes in steps of one block of the transcript, until a slice's time is up:
// a count of bytes alone took 10 ms when the processor was shared with a flood's other threads.
// UTF-8 and Latin-1 are counted at GiB/s, so a slice's bytes are about what its 3 ms allow, and
// the pass keeps up with a flood: every character is addressable as the last byte comes. The
// price is the share of the window's turns it takes while the bytes come (a GiB took 3.4-5.7 s to
// arrive instead of 1.9-3.9 s); waiting out the flood instead left 1.2-1.7 s of counting after it,
// and slices of 512 KiB 2,000 turns of the event loop.
constexpr uint64_t kIndexSlice = uint64_t{8} << 20;
constexpr uint64_t kIndexStep = Transcript::kBlockSize;
constexpr qint64 kIndexSliceNs = 3'000'000;
// While bytes arrive faster than the pass goes it waits: screen readers get exact ranges on demand
// anyway, and the count is estimated beyond the pass until it catches up once the flood stops.
constexpr int kIndexPauseMs = 50;

int Clamp(uint64_t n) {
    return int(std::min<uint64_t>(n, INT_MAX));
}

} // namespace

AccessibleText::AccessibleText(QObject *parent) : QObject(parent) {
    timer_.setInterval(0);
    connect(&timer_, &QTimer::timeout, this, &AccessibleText::RunSlice);
    pause_.setSingleShot(true);
    pause_.setInterval(kIndexPauseMs);
    connect(&pause_, &QTimer::timeout, &timer_, qOverload<>(&QTimer::start));
}

AccessibleText::~AccessibleText() = default;

void AccessibleText::Restart(const Transcript *transcript, Encoding encoding, Shown shown) {
    transcript_ = transcript;
    encoding_ = encoding;
    shown_ = shown;
    index_.reset();
    timer_.stop();
    pause_.stop();
    if (!transcript_) return;
    index_ = std::make_unique<CharIndex>(*transcript_, encoding_, shown_);
    timer_.start();
}

void AccessibleText::RunSlice() {
    if (!index_ || !transcript_) {
        timer_.stop();
        return;
    }
    QElapsedTimer clock;
    clock.start();
    bool done = false;
    for (uint64_t went = 0; !done && went < kIndexSlice && clock.nsecsElapsed() < kIndexSliceNs;
         went += kIndexStep)
        done = index_->Advance(kIndexStep);
    emit indexProgress(index_->Reached(), transcript_->Size());
    if (done) timer_.stop();
}

void AccessibleText::Appended() {
    if (!transcript_) return;
    if (index_ && transcript_->Size() - index_->Reached() > kIndexSlice) {
        // A flood: the pass waits until it stops.
        timer_.stop();
        pause_.start();
    } else if (!timer_.isActive() && !pause_.isActive()) {
        timer_.start();
    }
}

uint64_t AccessibleText::Count() {
    if (!index_ || !transcript_) return 0;
    const uint64_t size = transcript_->Size();
    if (const auto exact = index_->CharsBefore(size)) return *exact;
    return index_->CharsBeforeApprox(size);
}

bool AccessibleText::CountExact() const {
    return index_ && transcript_ && index_->Reached() == transcript_->Size();
}

uint64_t AccessibleText::OffsetOfCharacter(uint64_t character) {
    return index_ ? index_->OffsetOfChar(character) : 0;
}

uint64_t AccessibleText::CharacterAt(uint64_t offset) {
    if (!index_) return 0;
    if (const auto exact = index_->CharsBefore(offset)) return *exact;
    return index_->CharsBeforeApprox(offset);
}

QString AccessibleText::Characters(uint64_t from, uint64_t to) {
    if (!index_ || !transcript_ || from >= to) return {};
    to = std::min(to, from + kLimit);
    const uint64_t size = transcript_->Size();
    uint64_t at = index_->OffsetOfChar(from);
    std::u32string out;
    uint64_t wanted = to - from;
    while (wanted > 0 && at < size) {
        const uint64_t end = std::min(size, at + Transcript::kBlockSize);
        for (const Unit &u :
             DecodeRange(*transcript_, encoding_, shown_, at, end, index_->StateAt(at))) {
            if (u.kind == UnitKind::Shift) continue;
            out += AccessibleChar(u);
            if (--wanted == 0) break;
        }
        at = end;
    }
    return QString::fromUcs4(out.data(), qsizetype(out.size()));
}

void AccessibleText::Forget() {
    announced_ = transcript_ ? transcript_->Size() : 0;
}

void AccessibleText::Announce(QWidget *source, TranscriptLayout &layout) {
    if (!transcript_) return;
    const uint64_t size = transcript_->Size();
    const uint64_t from = announced_;
    if (!QAccessible::isActive() || size - from > kAnnounceLimit) {
        announced_ = size;
        return;
    }
    const uint64_t line = transcript_->LineStart(shown_, transcript_->LineAt(shown_, from));
    std::u32string text;
    for (const Unit &u : layout.Units(from, size, line)) {
        // A character still missing bytes is left for the next batch.
        announced_ = u.offset + u.length;
        if (u.kind != UnitKind::Shift) text += AccessibleChar(u);
    }
    if (text.empty()) return;
    QAccessibleTextInsertEvent event(source, Clamp(CharacterAt(from)),
                                     QString::fromUcs4(text.data(), qsizetype(text.size())));
    QAccessible::updateAccessibility(&event);
}

namespace {

class TranscriptAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
  public:
    explicit TranscriptAccessible(TranscriptView *view)
        : QAccessibleWidget(view, QAccessible::EditableText) {}

    void *interface_cast(QAccessible::InterfaceType type) override {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface *>(this);
        return QAccessibleWidget::interface_cast(type);
    }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.readOnly = true;
        s.multiLine = true;
        s.selectableText = true;
        return s;
    }

    void selection(int index, int *start, int *end) const override {
        *start = *end = 0;
        const auto [from, to] = View()->Selection();
        if (index != 0 || from == to) return;
        *start = Clamp(View()->CharacterAt(from));
        *end = Clamp(View()->CharacterAt(to));
    }
    int selectionCount() const override {
        const auto [from, to] = View()->Selection();
        return from < to ? 1 : 0;
    }
    void addSelection(int start, int end) override { setSelection(0, start, end); }
    void removeSelection(int) override {
        const auto [from, to] = View()->Selection();
        (void)from;
        View()->SetSelection(to, to);
    }
    void setSelection(int, int start, int end) override {
        View()->SetSelection(Offset(start), Offset(end));
    }
    int cursorPosition() const override {
        return Clamp(View()->CharacterAt(View()->Selection().second));
    }
    void setCursorPosition(int position) override {
        const uint64_t at = Offset(position);
        View()->SetSelection(at, at);
    }
    QString text(int start, int end) const override {
        return View()->Characters(uint64_t(std::max(0, start)), uint64_t(std::max(0, end)));
    }
    int characterCount() const override { return Clamp(View()->CharacterCount()); }
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint &) const override { return -1; }
    void scrollToSubstring(int start, int) override {
        View()->SetSelection(Offset(start), Offset(start));
    }
    QString attributes(int offset, int *start, int *end) const override {
        *start = *end = offset;
        return {};
    }

    QString textAtOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                         int *end) const override {
        return Around(offset, type, start, end);
    }
    QString textBeforeOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                             int *end) const override {
        int s = 0, e = 0;
        Around(offset, type, &s, &e);
        if (s <= 0) {
            *start = *end = 0;
            return {};
        }
        return Around(s - 1, type, start, end);
    }
    QString textAfterOffset(int offset, QAccessible::TextBoundaryType type, int *start,
                            int *end) const override {
        int s = 0, e = 0;
        Around(offset, type, &s, &e);
        if (e >= characterCount()) {
            *start = *end = characterCount();
            return {};
        }
        return Around(e, type, start, end);
    }

  private:
    TranscriptView *View() const { return static_cast<TranscriptView *>(widget()); }
    uint64_t Offset(int character) const {
        return View()->OffsetOfCharacter(uint64_t(std::max(0, character)));
    }

    // The unit of text around offset, found in a window of characters about it.
    QString Around(int offset, QAccessible::TextBoundaryType type, int *start, int *end) const {
        const int count = characterCount();
        offset = std::clamp(offset, 0, std::max(0, count - 1));
        if (type == QAccessible::CharBoundary) {
            *start = offset;
            *end = std::min(count, offset + 1);
            return text(*start, *end);
        }
        if (type == QAccessible::NoBoundary) {
            *start = 0;
            *end = count;
            return text(0, count);
        }
        constexpr int kWindow = 2048;
        const int from = std::max(0, offset - kWindow), to = std::min(count, offset + kWindow);
        const QString window = text(from, to);
        const int at = offset - from;
        int s = 0, e = int(window.size());
        if (type == QAccessible::LineBoundary || type == QAccessible::ParagraphBoundary) {
            s = at > 0 ? int(window.lastIndexOf(QLatin1Char('\n'), at - 1)) + 1 : 0;
            const int nl = int(window.indexOf(QLatin1Char('\n'), at));
            e = nl < 0 ? int(window.size()) : nl + 1;
        } else {
            QTextBoundaryFinder finder(type == QAccessible::WordBoundary
                                           ? QTextBoundaryFinder::Word
                                           : QTextBoundaryFinder::Sentence,
                                       window);
            finder.setPosition(at);
            if (!finder.isAtBoundary()) finder.toPreviousBoundary();
            s = std::max(0, int(finder.position()));
            finder.setPosition(at);
            e = int(finder.toNextBoundary());
            if (e < 0) e = int(window.size());
        }
        *start = from + s;
        *end = from + e;
        return window.mid(s, e - s);
    }
};

QAccessibleInterface *Factory(const QString &, QObject *object) {
    if (auto *view = qobject_cast<TranscriptView *>(object)) return new TranscriptAccessible(view);
    return nullptr;
}

} // namespace

void InstallTranscriptAccessibility() {
    static bool installed = false;
    if (installed) return;
    installed = true;
    QAccessible::installFactory(Factory);
}

} // namespace tarvotcpc::ui
