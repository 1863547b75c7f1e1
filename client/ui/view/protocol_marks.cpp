#include "view/protocol_marks.hpp"
#include "view/transcript_view.hpp"
#include "common/widgets.hpp"

#include <QElapsedTimer>
#include <QPainter>

#include <algorithm>
#include <limits>

namespace tarvotcpc::ui {

namespace {

const QColor kRuleInk(0x9f, 0xb3, 0xc8);
const QColor kLabelInk(0x4a, 0x5a, 0x6a);
const QColor kLabelBack(0xee, 0xf2, 0xf6);
const QColor kShortInk(0xa0, 0x52, 0x00);
const QColor kShortBack(0xff, 0xf1, 0xdc);

// Each turn of the reading: pieces of the record until its time is up.
constexpr uint64_t kShapeStep = 256 * 1024;
constexpr qint64 kShapeSliceNs = 4'000'000;

QString BodyText(const Mark &mark) {
    if (!mark.declared) return Text("本文 %1 バイト").arg(mark.arrived);
    return Text("本文 %1/%2 バイト").arg(mark.arrived).arg(*mark.declared);
}

QFont LabelFont(const QFont &page) {
    QFont small = page;
    small.setPointSizeF(page.pointSizeF() > 0 ? page.pointSizeF() * 0.8 : 9);
    return small;
}

} // namespace

ProtocolMarks::ProtocolMarks(TranscriptView &view) : view_(view) {
    timer_.setInterval(0);
    connect(&timer_, &QTimer::timeout, this, &ProtocolMarks::RunSlice);
}

ProtocolMarks::~ProtocolMarks() = default;

void ProtocolMarks::SetProtocols(RecordShapes::ProtocolOf protocolOf) {
    protocolOf_ = std::move(protocolOf);
    Restart();
}

void ProtocolMarks::Restart() {
    timer_.stop();
    shapes_.reset();
    if (!protocolOf_ || !view_.transcript_) return;
    shapes_ = std::make_unique<RecordShapes>(*view_.transcript_, protocolOf_);
    timer_.start();
}

void ProtocolMarks::Appended() {
    if (shapes_ && !timer_.isActive()) timer_.start();
}

bool ProtocolMarks::Done() const {
    return !shapes_ || shapes_->Reached() == view_.transcript_->Size();
}

void ProtocolMarks::RunSlice() {
    if (!shapes_) return timer_.stop();
    QElapsedTimer clock;
    clock.start();
    bool done = false;
    while (!done && clock.nsecsElapsed() < kShapeSliceNs)
        done = shapes_->Advance(kShapeStep);
    if (done) timer_.stop();
    view_.viewport()->update();
}

std::vector<std::pair<uint64_t, uint64_t>> ProtocolMarks::QuietRanges(uint64_t from,
                                                                      uint64_t to) const {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    if (!shapes_) return out;
    for (const Mark &m : shapes_->MarksIn(from, to))
        if (m.kind != MarkKind::Body) out.emplace_back(m.begin, m.end);
    return out;
}

int ProtocolMarks::RowOf(uint64_t offset) const {
    const auto &rows = view_.visible_;
    const auto row = std::find_if(rows.begin(), rows.end(), [offset](const auto &r) {
        return r.start <= offset && offset < r.end;
    });
    return row == rows.end() ? -1 : int(row - rows.begin());
}

std::vector<ProtocolMarks::Rule> ProtocolMarks::PlaceRules() const {
    std::vector<Rule> rules;
    const auto &rows = view_.visible_;
    if (!shapes_ || rows.empty()) return rules;
    const int left = view_.MarginWidth() + 2;
    for (const uint64_t at : shapes_->NextRepliesIn(rows.front().start, rows.back().end)) {
        const int row = RowOf(at);
        if (row < 0) continue;
        const int x = view_.CellXOf(rows[std::size_t(row)], at);
        rules.push_back(Rule{row, x > left ? x : -1});
    }
    return rules;
}

std::vector<ProtocolMarks::Label> ProtocolMarks::PlaceLabels() const {
    std::vector<Label> labels;
    const auto &rows = view_.visible_;
    if (!shapes_ || rows.empty()) return labels;
    // Each after the line that declared its body: the row holding the byte before the body.
    const uint64_t from = rows.front().start, to = rows.back().end;
    std::vector<std::pair<uint64_t, QString>> texts;
    for (const Mark &m : shapes_->MarksIn(from > 0 ? from + 1 : 0, to + 1))
        if (m.kind == MarkKind::Body && m.begin > from)
            texts.emplace_back(m.begin - 1, BodyText(m));
    for (const uint64_t at : shapes_->StopsIn(from, to))
        texts.emplace_back(at, Text("以降は区切りを表示しません (返答が多すぎます)"));
    std::stable_sort(texts.begin(), texts.end(),
                     [](const auto &a, const auto &b) { return a.first < b.first; });
    const QFontMetrics fm(LabelFont(view_.PageFont()));
    const int width = view_.viewport()->width();
    int lastRow = -1, nextX = 0;
    for (const auto &[at, text] : texts) {
        const int row = RowOf(at);
        if (row < 0) continue;
        Label label;
        label.row = row;
        label.x = row == lastRow ? nextX
                                 : view_.CellXOf(rows[std::size_t(row)],
                                                 std::numeric_limits<uint64_t>::max()) +
                                       view_.CellWidth();
        label.text = text;
        for (const Mark &m : shapes_->MarksIn(at + 1, at + 2))
            if (m.kind == MarkKind::Body && m.begin == at + 1)
                label.short_ = m.declared && m.arrived < *m.declared;
        const int w = fm.horizontalAdvance(text) + 8;
        // Only where the row leaves room: the text always wins.
        if (label.x + w > width - 2) continue;
        lastRow = row;
        nextX = label.x + w + view_.CellWidth();
        labels.push_back(label);
    }
    return labels;
}

void ProtocolMarks::Paint(QPainter &p) {
    if (!shapes_ || view_.visible_.empty()) return;
    const int height = view_.RowHeight();
    const int width = view_.viewport()->width();
    const int left = view_.MarginWidth();
    for (const Rule &rule : PlaceRules()) {
        const int y = rule.row * height;
        if (rule.x < 0)
            p.fillRect(left, y, width - left, 1, kRuleInk);
        else
            p.fillRect(rule.x, y, 1, height, kRuleInk);
    }
    const std::vector<Label> labels = PlaceLabels();
    if (labels.empty()) return;
    p.save();
    const QFont font = LabelFont(view_.PageFont());
    p.setFont(font);
    const QFontMetrics fm(font);
    for (const Label &label : labels) {
        const int w = fm.horizontalAdvance(label.text) + 8;
        const int h = std::min(height - 2, fm.height() + 2);
        const QRect box(label.x, label.row * height + (height - h) / 2, w, h);
        p.fillRect(box, label.short_ ? kShortBack : kLabelBack);
        p.setPen(label.short_ ? kShortInk : kLabelInk);
        p.drawText(box, Qt::AlignCenter, label.text);
    }
    p.restore();
}

QStringList ProtocolMarks::Visible() {
    QStringList out;
    if (!shapes_ || view_.mode_ != TranscriptView::Mode::Text) return out;
    for (const Rule &rule : PlaceRules())
        out << (rule.x < 0 ? QStringLiteral("rule %1").arg(rule.row)
                           : QStringLiteral("rule %1 %2")
                                 .arg(rule.row)
                                 .arg((rule.x - view_.MarginWidth() - 2) / view_.CellWidth()));
    const auto &rows = view_.visible_;
    if (!rows.empty()) {
        RangeCursor quiet(QuietRanges(rows.front().start, rows.back().end));
        for (std::size_t r = 0; r < rows.size(); ++r) {
            const Segment &s = *rows[r].ref.segment;
            std::vector<Glyph> run;
            const auto flush = [&] {
                if (!run.empty())
                    out << QStringLiteral("quiet %1 %2")
                               .arg(r)
                               .arg(QString::fromStdString(GlyphsToUtf8(run)));
                run.clear();
            };
            for (std::size_t i = s.rowBegin[rows[r].ref.row]; i < s.RowEnd(rows[r].ref.row); ++i) {
                const Glyph &g = s.glyphs[i];
                if (quiet.Has(g.offset) && !(view_.showSent_ && view_.SentAt(g.offset)))
                    run.push_back(g);
                else
                    flush();
            }
            flush();
        }
    }
    for (const Label &label : PlaceLabels())
        out << QStringLiteral("label %1 %2").arg(label.row).arg(label.text);
    return out;
}

} // namespace tarvotcpc::ui
