// The notes of a transcript on the receive page: a rule where the note stands between rows (or a
// bar inside a row that it cuts) and a small label with its text at the rule's right end. Notes
// take no row of their own, so the rows stay the transcript's bytes.
#include "view/transcript_view.hpp"

#include <QPainter>

#include <algorithm>

namespace tarvotcpc::ui {

namespace {

const QColor kNoteInk(0xa0, 0x52, 0x00);
const QColor kNoteBack(0xff, 0xf1, 0xdc);

} // namespace

std::vector<TranscriptView::NotePlace> TranscriptView::PlaceNotes() const {
    std::vector<NotePlace> places;
    if (!transcript_ || visible_.empty()) return places;
    const std::vector<Note> &notes = transcript_->Notes();
    auto it = std::lower_bound(notes.begin(), notes.end(), visible_.front().start,
                               [](const Note &n, uint64_t at) { return n.offset < at; });
    for (; it != notes.end(); ++it) {
        const uint64_t at = it->offset;
        // The first row that ends past the note holds it (inside) or follows it (at its top).
        const auto row = std::find_if(visible_.begin(), visible_.end(),
                                      [at](const VisibleRow &r) { return r.end > at; });
        NotePlace place;
        place.text = QString::fromStdString(it->text);
        if (row == visible_.end()) {
            if (!atEnd_) break;               // on a later screen
            place.row = int(visible_.size()); // under the last row
        } else {
            place.row = int(row - visible_.begin());
            if (row->start < at) place.x = CellXOf(*row, at);
        }
        places.push_back(place);
    }
    return places;
}

int TranscriptView::CellXOf(const VisibleRow &row, uint64_t at) const {
    const int left = MarginWidth() + 2;
    if (mode_ == Mode::Hex) {
        // The shown bytes of the row before the note: hidden sent bytes take no cell.
        uint64_t shown = 0;
        for (uint64_t b = row.start; b < at && b < row.end; ++b)
            if (!SentAt(b) || showSent_) ++shown;
        return left + HexByteCell(std::size_t(shown)) * painter_.CellWidth();
    }
    const Segment &s = *row.ref.segment;
    int x = left;
    for (std::size_t i = s.rowBegin[row.ref.row]; i < s.RowEnd(row.ref.row); ++i) {
        if (s.glyphs[i].offset >= at) break;
        x += GlyphColumns(s.glyphs[i]) * painter_.CellWidth();
    }
    return x;
}

void TranscriptView::PaintNotes(QPainter &p) {
    const std::vector<NotePlace> places = PlaceNotes();
    if (places.empty()) return;
    p.save();
    QFont small = painter_.Font();
    small.setPointSizeF(painter_.Font().pointSizeF() > 0 ? painter_.Font().pointSizeF() * 0.8 : 9);
    p.setFont(small);
    const QFontMetrics fm(small);
    const int width = viewport()->width();
    for (const NotePlace &place : places) {
        const int y = place.row * painter_.RowHeight();
        if (place.x < 0) {
            p.fillRect(MarginWidth(), y - 1, width - MarginWidth(), 2, kNoteInk);
        } else {
            p.fillRect(place.x - 1, y, 2, painter_.RowHeight(), kNoteInk);
        }
        // The label sits across the rule at the right, so it reads as the rule's caption.
        const int w = fm.horizontalAdvance(place.text) + 8, h = fm.height() + 2;
        const QRect box(width - w - 4, std::max(0, y - h / 2), w, h);
        p.fillRect(box, kNoteBack);
        p.setPen(kNoteInk);
        p.drawRect(box.adjusted(0, 0, -1, -1));
        p.drawText(box, Qt::AlignCenter, place.text);
    }
    p.restore();
}

QStringList TranscriptView::VisibleNotes() {
    if (dirty_) Flush();
    QStringList out;
    for (const NotePlace &place : PlaceNotes())
        out << QStringLiteral("%1 %2 %3").arg(place.row).arg(place.x < 0 ? 0 : 1).arg(place.text);
    return out;
}

} // namespace tarvotcpc::ui
