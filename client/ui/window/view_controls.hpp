// The receive page's often-switched options in the main window: a 表示 menu (encoding or
// 自動判別, text or hex, line-ending marks, the protocol whose replies are marked) and a toolbar
// of the same. They show the options as stored and tell the window when the user picks another;
// the window stores it and applies it to the page. The encoding shown is the one the controller
// has in force, so that the toolbar names what 自動判別 detected ("検出: Shift_JIS").
#pragma once

#include <QObject>
#include <QString>

#include <optional>

#include "settings/options.hpp"

class QAction;
class QActionGroup;
class QComboBox;
class QMainWindow;
class QMenu;
class QToolBar;

namespace tarvotcpc::ui {

class ViewControls : public QObject {
    Q_OBJECT

  public:
    explicit ViewControls(QMainWindow *window);

    // Show values without telling anyone: the stored options, and the page's encoding (none:
    // 自動判別, with label naming what is detected).
    void Show(const OptionValues &values);
    void ShowEncoding(std::optional<Encoding> chosen, const QString &label);

    QMenu *Menu() const { return menu_; }
    QToolBar *ToolBar() const { return toolBar_; }
    QAction *EncodingAction(Encoding encoding) const;
    QAction *AutoEncodingAction() const { return autoEncoding_; }
    QAction *HexAction() const { return hex_; }
    QAction *MarksAction() const { return marks_; }
    // The protocol menu's action of a stored value ("none", "auto", "http", ...).
    QAction *ProtocolAction(const char *stored) const;
    QComboBox *EncodingBox() const { return encodingBox_; }

  signals:
    // none: 自動判別.
    void encodingPicked(std::optional<tarvotcpc::Encoding> encoding);
    void hexPicked(bool hex);
    void marksPicked(bool on);
    // The protocol's stored value (kViewProtocolChoices).
    void protocolPicked(QString stored);

  private:
    QMenu *menu_;
    QToolBar *toolBar_;
    QActionGroup *encodings_;
    QAction *autoEncoding_;
    QActionGroup *protocols_;
    QAction *hex_;
    QAction *marks_;
    QComboBox *encodingBox_;
    bool showing_ = false;
};

} // namespace tarvotcpc::ui
