// How the window's thread rasterises text.
#pragma once

namespace tarvotcpc::ui {

// Draws the CFF fonts opened from now on without FreeType's stem darkening, which is FreeType's
// own default and which Qt turns back on. Darkened glyphs are blended through a gamma table pixel
// by pixel; the receive page's font (Noto Sans Mono CJK JP) is a CFF font, and a full screen of it
// then took about 5 ms to paint instead of 1, most of a frame under a flood and more than one
// on a large window. Stems come out a shade thinner, as in most other programs on the desktop.
// Call on the window's thread before its first text is drawn. Where Qt or FreeType lacks the
// hook, nothing changes.
void UseUndarkenedCffText();

} // namespace tarvotcpc::ui
