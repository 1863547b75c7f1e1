// Finding text or bytes in a TranscriptView, in slices from a timer, and its find bar.
#include "text/send_encoding.hpp"
#include "view/transcript_view.hpp"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QToolButton>

#include <algorithm>
#include <cstring>

namespace tarvotcpc::ui {

namespace {

// Bytes searched per timer tick.
constexpr uint64_t kFindSlice = uint64_t{8} << 20;

std::optional<std::string> ParseHexBytes(const QString &query) {
    std::string digits;
    for (const QChar c : query) {
        if (c.isSpace()) continue;
        if (!std::isxdigit(c.unicode() < 128 ? int(c.unicode()) : 0)) return std::nullopt;
        digits += char(c.unicode());
    }
    if (digits.empty() || digits.size() % 2 != 0) return std::nullopt;
    std::string bytes;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        bytes += char(std::stoi(digits.substr(i, 2), nullptr, 16));
    return bytes;
}

} // namespace

bool TranscriptView::Find(const QString &query, bool hex) {
    findTimer_.stop();
    if (!transcript_ || query.isEmpty()) return false;
    std::string bytes;
    findChars_.clear();
    if (hex) {
        const auto parsed = ParseHexBytes(query);
        if (!parsed) return false;
        bytes = *parsed;
    } else {
        const SendBytes encoded =
            EncodeForSend(query.toStdString(), encoding_, LineEnding::Lf, false);
        if (!encoded.ok) return false;
        bytes = encoded.bytes;
        if (encoding_ == Encoding::Iso2022Jp) {
            // The escape sequences around the query need not be where the text is found; each
            // match is checked by decoding it instead.
            for (const std::string_view seq : {"\x1b(B", "\x1b(J", "\x1b$@", "\x1b$B"})
                for (std::size_t at; (at = bytes.find(seq)) != std::string::npos;)
                    bytes.erase(at, seq.size());
        }
        for (const char32_t c : query.toStdU32String())
            findChars_ += c;
        if (bytes.empty()) return false;
    }
    findBytes_ = bytes;
    findText_ = !hex;
    const auto [from, to] = Selection();
    findFrom_ = from < to ? from + 1 : caret_;
    findAt_ = findFrom_;
    findLimit_ = transcript_->Size();
    findWrapped_ = false;
    findTimer_.start();
    return true;
}

bool TranscriptView::MatchAt(uint64_t m) {
    const uint64_t end = m + findBytes_.size();
    const auto &chunks = transcript_->Chunks();
    for (std::size_t ci = transcript_->ChunkAt(m); ci < chunks.size() && chunks[ci].offset < end;
         ++ci)
        if (!Shows(ShownDirections(), chunks[ci].direction)) return false;
    if (!findText_) return true;
    // A byte match may begin inside a character (a Shift_JIS trail byte) or, in ISO-2022-JP, in
    // another character set: only one that decodes to the query counts.
    const Shown shown = ShownDirections();
    const uint64_t line = transcript_->LineStart(shown, transcript_->LineAt(shown, m));
    std::u32string got;
    for (const Unit &u : layout_->Units(m, end, line))
        if (u.kind == UnitKind::Char)
            got += u.codepoint;
        else if (u.kind == UnitKind::Invalid)
            return false;
    return got == findChars_;
}

void TranscriptView::FindSlice() {
    if (!transcript_ || findBytes_.empty()) return findTimer_.stop();
    const uint64_t size = transcript_->Size();
    const uint64_t n = findBytes_.size();
    const uint64_t stop = std::min(findLimit_, size);
    if (findAt_ + n <= stop) {
        const uint64_t sliceEnd = std::min(stop, findAt_ + kFindSlice + n - 1);
        std::string window;
        if (transcript_->Read(findAt_, std::size_t(sliceEnd - findAt_), window)) {
            const char *base = window.data();
            for (std::size_t pos = 0; pos + n <= window.size();) {
                const void *hit = memmem(base + pos, window.size() - pos, findBytes_.data(), n);
                if (hit == nullptr) break;
                const std::size_t at = std::size_t(static_cast<const char *>(hit) - base);
                if (MatchAt(findAt_ + at)) {
                    findTimer_.stop();
                    SetSelection(findAt_ + at, findAt_ + at + n);
                    EnsureVisible(findAt_ + at);
                    emit found(findAt_ + at, n);
                    return;
                }
                pos = at + 1;
            }
        }
        findAt_ = sliceEnd - (n - 1);
        if (sliceEnd < stop) return; // more next tick
    }
    if (!findWrapped_ && findFrom_ > 0) {
        findWrapped_ = true;
        findAt_ = 0;
        findLimit_ = std::min(size, findFrom_ + n - 1);
        return;
    }
    findTimer_.stop();
    emit notFound();
}

void TranscriptView::ShowFindBar() {
    if (findBar_ == nullptr) {
        findBar_ = new QWidget(this);
        findBar_->setObjectName(QStringLiteral("transcriptFindBar"));
        findBar_->setAutoFillBackground(true);
        auto *row = new QHBoxLayout(findBar_);
        row->setContentsMargins(4, 2, 4, 2);
        findEdit_ = new QLineEdit(findBar_);
        findEdit_->setObjectName(QStringLiteral("transcriptFindEdit"));
        findEdit_->setAccessibleName(QStringLiteral("検索する文字列"));
        findHex_ = new QCheckBox(QStringLiteral("16進"), findBar_);
        findHex_->setObjectName(QStringLiteral("transcriptFindHex"));
        auto *next = new QPushButton(QStringLiteral("次を検索"), findBar_);
        auto *close = new QToolButton(findBar_);
        close->setText(QStringLiteral("×"));
        close->setAccessibleName(QStringLiteral("検索を閉じる"));
        row->addWidget(findEdit_, 1);
        row->addWidget(findHex_);
        row->addWidget(next);
        row->addWidget(close);
        const auto go = [this] { Find(findEdit_->text(), findHex_->isChecked()); };
        connect(findEdit_, &QLineEdit::returnPressed, this, go);
        auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), findBar_);
        escape->setContext(Qt::WidgetWithChildrenShortcut);
        connect(escape, &QShortcut::activated, this, [this] {
            findBar_->hide();
            setFocus();
        });
        connect(next, &QPushButton::clicked, this, go);
        connect(close, &QToolButton::clicked, this, [this] {
            findBar_->hide();
            setFocus();
        });
    }
    const int h = findBar_->sizeHint().height();
    findBar_->setGeometry(0, viewport()->height() - h, viewport()->width(), h);
    findBar_->show();
    findBar_->raise();
    findEdit_->setFocus();
    findEdit_->selectAll();
}

} // namespace tarvotcpc::ui
