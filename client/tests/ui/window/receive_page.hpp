// Reading the receive page in tests: the text it holds (through the view's accessible text, which
// covers the whole transcript, not only the rows on screen), and the rows it draws.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <string>

#include "transcript/transcript.hpp"
#include "view/transcript_view.hpp"

namespace tarvotcpc::ui::testing {

// The shown directions decoded in the page's encoding, each line break (CRLF, CR or LF) as one
// LF, controls as their pictures: the text the page's earlier editor held.
inline QString PageText(TranscriptView *view) {
    QString text;
    for (uint64_t at = 0;;) {
        const QString part = view->Characters(at, at + TranscriptView::kAccessibleTextLimit);
        if (part.isEmpty()) break;
        text += part;
        at += uint64_t(part.toUcs4().size());
    }
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return text;
}

// Every byte of one direction, in order.
inline std::string BytesOf(const Transcript &transcript, Direction direction) {
    std::string out, chunk;
    for (const Chunk &c : transcript.Chunks()) {
        if (c.direction != direction) continue;
        if (!transcript.Read(c.offset, std::size_t(c.size), chunk)) return "<unreadable>";
        out += chunk;
    }
    return out;
}

// The rows drawn at the bottom of the page, as VisibleRows gives them, without trailing blanks.
inline QStringList LastRows(TranscriptView *view, int n) {
    QStringList rows = view->VisibleRows();
    while (!rows.isEmpty() && rows.back().trimmed().isEmpty())
        rows.removeLast();
    return rows.mid(std::max<qsizetype>(0, rows.size() - n));
}

} // namespace tarvotcpc::ui::testing
