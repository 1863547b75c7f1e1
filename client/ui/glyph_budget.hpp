// How much new font work one paint of the page may do, so that no paint holds up the window.
//
// Characters of the page's own font are drawn straight from its glyphs. Any other character is
// laid out once through Qt's font fallback, and the first time a character needs a fallback font
// Qt opens that font's file on the window's thread: a few ms each. Random bytes shown as UTF-8
// can bring a dozen such fonts onto one screen. Once a paint has used its time, further new
// characters (and new pictures to lay out) are left for the next paint, which the view asks for
// at once; each paint does at least one, so the screen is complete a few frames later.
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

namespace tarvotcpc::ui {

class GlyphBudget {
  public:
    static constexpr std::chrono::microseconds kDefaultLimit{2000};

    void SetLimit(std::chrono::microseconds limit) { limit_ = limit; }
    void BeginPaint();
    // True when c belongs to a script no installed font can draw for Qt; the caller draws a box.
    bool NoFont(char32_t c) { return c >= 0x80 && !Drawable(QChar::script(c)); }
    // For work done once and kept (a picture laid out): true when it may be done in this paint.
    bool MayPrepare() { return Spend(); }
    // Whether this paint left anything for the next.
    bool PutOff() const { return putOff_; }

  private:
    bool Spend();
    bool Drawable(QChar::Script script);

    std::chrono::microseconds limit_ = kDefaultLimit;
    QElapsedTimer clock_;
    int spent_ = 0;
    bool putOff_ = false;
    std::array<int8_t, QChar::ScriptCount> drawable_{}; // 0 not asked yet, 1 yes, -1 no
};

} // namespace tarvotcpc::ui
