// Characters the page draws as its own empty box without asking Qt for a font.
//
// Qt looks for a fallback font the first time it draws a character the page's font lacks, on
// the window's thread. For a character no font can have (a control, an unassigned code point,
// private use) that search finds nothing and only costs time: over 10 ms for a C1 control.
// Worse are the scripts that Qt shapes only through a font's OpenType tables. When no installed
// font declares those tables for the script, Qt opens every fallback font before it gives up and
// draws an empty box: half a second for the first Thaana character on a machine with the Noto
// fonts. Qt's font database lists a font under such a script only when its tables name it, so it
// already knows the answer.
#pragma once

#include <QChar>

#include <array>
#include <cstdint>

namespace tarvotcpc::ui {

class FontGaps {
  public:
    // True when no font can draw c for Qt; the caller draws a box instead.
    bool NoFont(char32_t c);

  private:
    bool Drawable(QChar::Script script);

    std::array<int8_t, QChar::ScriptCount> drawable_{}; // 0 not asked yet, 1 yes, -1 no
};

} // namespace tarvotcpc::ui
