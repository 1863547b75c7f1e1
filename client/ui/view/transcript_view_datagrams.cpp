// Where datagrams (UDP) start on the receive page: a thin rule over a row whose first byte starts
// one, and a thin bar inside a row where one starts within it, as a note's rule but fainter and
// without a label. The rows stay the datagrams' bytes, so a datagram without a line break runs on
// after the one before it on the same row, and the bar divides them.
#include "view/transcript_view.hpp"

#include <QPainter>

#include <algorithm>

namespace tarvotcpc::ui {

namespace {

const QColor kBoundInk(0x5a, 0x8c, 0xb4);

} // namespace

std::vector<TranscriptView::NotePlace> TranscriptView::PlaceDatagramBounds() const {
    std::vector<NotePlace> places;
    if (!transcript_ || visible_.empty() || transcript_->Size() == 0) return places;
    const std::vector<Chunk> &chunks = transcript_->Chunks();
    const uint64_t from = visible_.front().start, to = visible_.back().end;
    auto row = visible_.begin();
    for (std::size_t ci = transcript_->ChunkAt(std::min(from, transcript_->Size() - 1));
         ci < chunks.size() && chunks[ci].offset < to; ++ci) {
        const Chunk &c = chunks[ci];
        if (!c.datagram || c.offset < from || !Shows(ShownDirections(), c.direction)) continue;
        // The first datagram shown has nothing before it to be told apart from.
        if (hexBytes_->PositionOf(c.offset) == 0) continue;
        row = std::find_if(row, visible_.end(),
                           [&](const VisibleRow &r) { return r.end > c.offset; });
        if (row == visible_.end()) break;
        NotePlace place;
        place.row = int(row - visible_.begin());
        // Hidden bytes (the other direction's) before it on the row do not make it a cut.
        if (hexBytes_->PositionOf(row->start) < hexBytes_->PositionOf(c.offset))
            place.x = CellXOf(*row, c.offset);
        places.push_back(place);
    }
    return places;
}

void TranscriptView::PaintDatagramBounds(QPainter &p) {
    const int width = viewport()->width(), height = painter_.RowHeight();
    for (const NotePlace &place : PlaceDatagramBounds()) {
        const int y = place.row * height;
        if (place.x < 0)
            p.fillRect(MarginWidth(), y, width - MarginWidth(), 1, kBoundInk);
        else
            p.fillRect(place.x - 1, y, 1, height, kBoundInk);
    }
}

QStringList TranscriptView::VisibleDatagramBounds() {
    if (dirty_) Flush();
    QStringList out;
    for (const NotePlace &place : PlaceDatagramBounds())
        out << QStringLiteral("%1 %2").arg(place.row).arg(place.x < 0 ? 0 : 1);
    return out;
}

} // namespace tarvotcpc::ui
