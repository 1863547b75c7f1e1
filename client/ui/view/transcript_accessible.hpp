// The receive page's accessible text: screen readers read the whole transcript, one character
// per decoded unit of the shown directions, without it ever being decoded whole. Positions come
// from the character pass (CharIndex), which runs here from a zero timer in slices and waits
// while a flood goes on; its decoder states also let the layout start rows inside long lines.
#pragma once

#include "transcript/transcript_layout.hpp"

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <memory>

class QWidget;

namespace tarvotcpc::ui {

class AccessibleText : public QObject {
    Q_OBJECT

  public:
    explicit AccessibleText(QObject *parent = nullptr);
    ~AccessibleText() override;

    // A new pass over the transcript (null: none), as the page shows it.
    void Restart(const Transcript *transcript, Encoding encoding, Shown shown);
    CharIndex *Index() const { return index_.get(); }
    // Bytes were appended: the pass goes on, or waits until a flood stops.
    void Appended();

    // The count of characters. Until the pass has reached the end it is estimated beyond it
    // (from the characters per byte seen so far) and CountExact() is false; ranges are always
    // exact (asked beyond the pass, it is carried on to there first). One request returns at most
    // kLimit characters.
    uint64_t Count();
    bool CountExact() const;
    QString Characters(uint64_t from, uint64_t to);
    uint64_t CharacterAt(uint64_t offset); // characters before a transcript offset
    uint64_t OffsetOfCharacter(uint64_t character);
    static constexpr uint64_t kLimit = uint64_t{1} << 20;

    // Tells assistive technology, as text inserted into `source`, the bytes appended since the
    // last call (or since Forget), when they are no more than kAnnounceLimit; a flood is not read
    // out, but stays readable through the text interface.
    void Announce(QWidget *source, TranscriptLayout &layout);
    void Forget();
    static constexpr uint64_t kAnnounceLimit = 4096;

  signals:
    // The pass: bytes done of all; equal once it is done.
    void indexProgress(quint64 reached, quint64 size);

  private:
    void RunSlice();

    const Transcript *transcript_ = nullptr;
    Encoding encoding_ = Encoding::Utf8;
    Shown shown_ = Shown::Received;
    std::unique_ptr<CharIndex> index_;
    QTimer timer_;
    QTimer pause_;           // the pass waits for a pause in appends, so a flood is not slowed
    uint64_t announced_ = 0; // bytes told to assistive technology as inserted text
};

// Makes the page answer Qt's accessibility queries (installed by the first page made).
void InstallTranscriptAccessibility();

} // namespace tarvotcpc::ui
