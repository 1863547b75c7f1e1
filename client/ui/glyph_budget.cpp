#include "glyph_budget.hpp"

#include <QFontDatabase>
#include <QStringList>

namespace tarvotcpc::ui {

namespace {

// The scripts Qt draws only with a font whose OpenType tables name them, and the writing system
// under which its font database lists such fonts; Any for every other script.
QFontDatabase::WritingSystem OpenTypeWritingSystem(QChar::Script script) {
    if (script >= QChar::Script_Syriac && script <= QChar::Script_Sinhala)
        return QFontDatabase::WritingSystem(QFontDatabase::Syriac +
                                            (script - QChar::Script_Syriac));
    if (script == QChar::Script_Khmer) return QFontDatabase::Khmer;
    if (script == QChar::Script_Nko) return QFontDatabase::Nko;
    return QFontDatabase::Any;
}

} // namespace

void GlyphBudget::BeginPaint() {
    clock_.start();
    spent_ = 0;
    putOff_ = false;
}

bool GlyphBudget::Spend() {
    // Each paint does at least one piece, so a screen is always finished in the end.
    if (spent_ > 0 && clock_.isValid() &&
        std::chrono::nanoseconds(clock_.nsecsElapsed()) >= limit_) {
        putOff_ = true;
        return false;
    }
    ++spent_;
    return true;
}

bool GlyphBudget::Drawable(QChar::Script script) {
    const QFontDatabase::WritingSystem system = OpenTypeWritingSystem(script);
    if (system == QFontDatabase::Any) return true;
    int8_t &known = drawable_[std::size_t(script)];
    if (known == 0) known = QFontDatabase::families(system).isEmpty() ? -1 : 1;
    return known > 0;
}

} // namespace tarvotcpc::ui
