// The receive page's often-switched options in the main window: a 表示 menu (encoding, text or
// hex, line-ending marks) and a toolbar of the same. They show the options as stored and tell
// the window when the user picks another; the window stores it and applies it to the page.
#pragma once

#include <QObject>

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

    // Shows values without telling anyone.
    void Show(const OptionValues &values);

    QMenu *Menu() const { return menu_; }
    QToolBar *ToolBar() const { return toolBar_; }
    QAction *EncodingAction(Encoding encoding) const;
    QAction *HexAction() const { return hex_; }
    QAction *MarksAction() const { return marks_; }
    QComboBox *EncodingBox() const { return encodingBox_; }

  signals:
    void encodingPicked(tarvotcpc::Encoding encoding);
    void hexPicked(bool hex);
    void marksPicked(bool on);

  private:
    QMenu *menu_;
    QToolBar *toolBar_;
    QActionGroup *encodings_;
    QAction *hex_;
    QAction *marks_;
    QComboBox *encodingBox_;
    bool showing_ = false;
};

} // namespace tarvotcpc::ui
