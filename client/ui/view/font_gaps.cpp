#include "view/font_gaps.hpp"

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

bool FontGaps::NoFont(char32_t c) {
    if (c < 0x80) return false;
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_NotAssigned:
    case QChar::Other_PrivateUse:
    case QChar::Other_Surrogate:
        return true;
    default:
        return !Drawable(QChar::script(c));
    }
}

bool FontGaps::Drawable(QChar::Script script) {
    const QFontDatabase::WritingSystem system = OpenTypeWritingSystem(script);
    if (system == QFontDatabase::Any) return true;
    int8_t &known = drawable_[std::size_t(script)];
    if (known == 0) known = QFontDatabase::families(system).isEmpty() ? -1 : 1;
    return known > 0;
}

} // namespace tarvotcpc::ui
