// The receive page's light protocol awareness: the replies of the connections read as a protocol
// (transcript/record_shapes.hpp) drawn over the text rows, never in place of a byte. A thin rule
// where one reply gives way to the next, status and reply codes, header names, RESP prefixes and
// IMAP tags in a quieter ink, and after the line that declared a body a small label with its
// length against what arrived ("本文 120/120 バイト"). A label goes only where the row leaves
// room after its text; copying and saving never see any of it.
//
// The record is read from a zero timer in slices, as the character pass is, so that a protocol
// chosen after a flood shows its marks a moment later without holding the window.
#pragma once

#include "transcript/record_shapes.hpp"

#include <QColor>
#include <QObject>
#include <QStringList>
#include <QTimer>

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

class QPainter;

namespace tarvotcpc::ui {

class TranscriptView;

// The ink of codes, names and prefixes.
inline const QColor kQuietText(0x6a, 0x7b, 0x8c);

// Whether offsets, asked in rising order, fall in one of the ranges [first, second) (sorted,
// not overlapping).
class RangeCursor {
  public:
    explicit RangeCursor(std::vector<std::pair<uint64_t, uint64_t>> ranges)
        : ranges_(std::move(ranges)) {}
    bool Has(uint64_t at) {
        while (next_ < ranges_.size() && ranges_[next_].second <= at)
            ++next_;
        return next_ < ranges_.size() && ranges_[next_].first <= at;
    }

  private:
    std::vector<std::pair<uint64_t, uint64_t>> ranges_;
    std::size_t next_ = 0;
};

class ProtocolMarks : public QObject {
    Q_OBJECT

  public:
    explicit ProtocolMarks(TranscriptView &view);
    ~ProtocolMarks() override;

    // Which protocol each connection is read as; empty: none at all (nothing is read).
    void SetProtocols(RecordShapes::ProtocolOf protocolOf);
    // The record was replaced or emptied, or the protocols changed: read again from its start.
    void Restart();
    void Appended();
    bool Active() const { return shapes_ != nullptr; }
    // Every byte so far is read.
    bool Done() const;

    // The ranges in the quieter ink among [from, to).
    std::vector<std::pair<uint64_t, uint64_t>> QuietRanges(uint64_t from, uint64_t to) const;
    // Draws the rules and labels over the view's rows (text mode).
    void Paint(QPainter &p);
    // What Paint draws, for tests: "rule ROW" for a rule at the top of a row ("rule ROW CELL"
    // inside it), "quiet ROW TEXT" for the text of a row in the quieter ink, "label ROW TEXT".
    QStringList Visible();

  private:
    struct Label {
        int row = 0;
        int x = 0; // where the text of its row ends
        QString text;
        bool short_ = false; // fewer bytes arrived than declared
    };
    struct Rule {
        int row = 0;
        int x = -1; // inside the row: where the reply begins
    };
    void RunSlice();
    std::vector<Rule> PlaceRules() const;
    std::vector<Label> PlaceLabels() const;
    // The visible row holding offset, or -1.
    int RowOf(uint64_t offset) const;

    TranscriptView &view_;
    RecordShapes::ProtocolOf protocolOf_;
    std::unique_ptr<RecordShapes> shapes_;
    QTimer timer_;
};

} // namespace tarvotcpc::ui
