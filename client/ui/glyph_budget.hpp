// How much new font work one paint of the page may do, so that no paint holds up the window.
//
// The first time the page draws a character of a block it has not drawn before, Qt may open a
// fallback font file on the window's thread: a few ms each. Random bytes shown as UTF-8 can bring
// a dozen such blocks onto one screen. Once a paint has used its time, the characters of further
// new blocks (and further new pictures to lay out) are left for the next paint, which the view
// asks for at once; each paint does at least one, so the screen is complete a few frames later.
//
// Worse are the scripts that Qt shapes only through a font's OpenType tables. When no installed
// font declares those tables for the script, Qt opens every fallback font before it gives up and
// draws an empty box: half a second for the first Thaana character on a machine with the Noto
// fonts. The font database already knows the answer, so such characters get the page's own box
// at once.
#pragma once

#include <QChar>
#include <QElapsedTimer>

#include <array>
#include <chrono>
#include <cstdint>
#include <vector>

namespace tarvotcpc::ui {

class GlyphBudget {
  public:
    static constexpr std::chrono::microseconds kDefaultLimit{2000};

    enum class Verdict {
        Draw,  // with Qt's text drawing
        Later, // not in this paint
        Box,   // no font can draw it: an empty box in its cell
    };

    void SetLimit(std::chrono::microseconds limit) { limit_ = limit; }
    void BeginPaint();
    // For a character about to be drawn. `drawPending` draws whatever the caller has gathered
    // but not yet drawn; it is called before new work is weighed, so the time that takes counts.
    template <class F> Verdict ForCharacter(char32_t c, F &&drawPending) {
        if (c < 0x80) return Verdict::Draw;
        if (!Drawable(QChar::script(c))) return Verdict::Box;
        const std::size_t block = c >> 7;
        if (block >= seen_.size() || seen_[block]) return Verdict::Draw;
        drawPending();
        if (!Spend()) return Verdict::Later;
        seen_[block] = true;
        return Verdict::Draw;
    }
    // For work done once and kept (a picture laid out): true when it may be done in this paint.
    bool MayPrepare() { return Spend(); }
    // Whether this paint left anything for the next.
    bool PutOff() const { return putOff_; }
    // The font changed: what was drawn before may need other fallback fonts now.
    void Forget();

  private:
    bool Spend();
    bool Drawable(QChar::Script script);

    std::chrono::microseconds limit_ = kDefaultLimit;
    QElapsedTimer clock_;
    int spent_ = 0;
    bool putOff_ = false;
    std::vector<bool> seen_ = std::vector<bool>((0x10FFFF >> 7) + 1);
    std::array<int8_t, QChar::ScriptCount> drawable_{}; // 0 not asked yet, 1 yes, -1 no
};

} // namespace tarvotcpc::ui
