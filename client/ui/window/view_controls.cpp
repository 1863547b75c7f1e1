#include "window/view_controls.hpp"
#include "common/widgets.hpp"

#include <QAction>
#include <QActionGroup>
#include <QComboBox>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QSignalBlocker>
#include <QToolBar>

namespace tarvotcpc::ui {

ViewControls::ViewControls(QMainWindow *window) : QObject(window) {
    QMenuBar *bar = window->menuBar();
    menu_ = new QMenu(Text("表示(&V)"), window);
    menu_->setObjectName(QStringLiteral("viewMenu"));
    menu_->setAccessibleName(Text("表示"));
    // Between ファイル and ツール.
    const QList<QAction *> tops = bar->actions();
    if (tops.size() >= 2) {
        bar->insertMenu(tops[1], menu_);
    } else {
        bar->addMenu(menu_);
    }

    QMenu *encodingMenu = menu_->addMenu(Text("文字コード(&E)"));
    encodingMenu->setAccessibleName(Text("文字コード"));
    encodings_ = new QActionGroup(this);
    encodings_->setExclusive(true);
    encodingBox_ = new QComboBox;
    encodingBox_->setObjectName(QStringLiteral("viewEncodingToolComboBox"));
    encodingBox_->setAccessibleName(Text("受信データの文字コード"));
    encodingBox_->setToolTip(encodingBox_->accessibleName());
    for (const Encoding encoding : kEncodings) {
        const QString label = Text(EncodingRowOf(encoding).label);
        QAction *action = encodingMenu->addAction(label);
        action->setCheckable(true);
        action->setData(static_cast<int>(encoding));
        action->setObjectName(QStringLiteral("viewEncodingAction%1").arg(int(encoding)));
        encodings_->addAction(action);
        encodingBox_->addItem(label, static_cast<int>(encoding));
    }
    connect(encodings_, &QActionGroup::triggered, this, [this](QAction *action) {
        if (!showing_) emit encodingPicked(static_cast<Encoding>(action->data().toInt()));
    });
    connect(encodingBox_, &QComboBox::activated, this, [this](int index) {
        if (!showing_)
            emit encodingPicked(static_cast<Encoding>(encodingBox_->itemData(index).toInt()));
    });

    hex_ = menu_->addAction(Text("16進表示(&H)"));
    hex_->setObjectName(QStringLiteral("viewHexAction"));
    hex_->setCheckable(true);
    hex_->setToolTip(Text("16進表示"));
    connect(hex_, &QAction::toggled, this, [this](bool on) {
        if (!showing_) emit hexPicked(on);
    });
    marks_ = menu_->addAction(Text("改行を記号で表示(&L)"));
    marks_->setObjectName(QStringLiteral("viewLineEndMarksAction"));
    marks_->setCheckable(true);
    marks_->setToolTip(Text("改行記号"));
    connect(marks_, &QAction::toggled, this, [this](bool on) {
        if (!showing_) emit marksPicked(on);
    });

    toolBar_ = window->addToolBar(Text("表示ツールバー"));
    toolBar_->setObjectName(QStringLiteral("viewToolBar"));
    toolBar_->setAccessibleName(toolBar_->windowTitle());
    toolBar_->setMovable(false);
    toolBar_->toggleViewAction()->setEnabled(false);
    toolBar_->toggleViewAction()->setVisible(false);
    toolBar_->addWidget(encodingBox_);
    for (QAction *action : {hex_, marks_}) {
        toolBar_->addAction(action);
        QWidget *button = toolBar_->widgetForAction(action);
        button->setObjectName(
            action->objectName().replace(QStringLiteral("Action"), QStringLiteral("ToolButton")));
        button->setAccessibleName(action->toolTip());
    }
    Show(OptionValues());
}

QAction *ViewControls::EncodingAction(Encoding encoding) const {
    return encodings_->actions().at(static_cast<int>(encoding));
}

void ViewControls::Show(const OptionValues &values) {
    showing_ = true;
    const Encoding encoding = ViewEncodingOf(values);
    EncodingAction(encoding)->setChecked(true);
    encodingBox_->setCurrentIndex(static_cast<int>(encoding));
    hex_->setChecked(ViewIsHex(values));
    marks_->setChecked(values[Option::ViewLineEndMarks]);
    showing_ = false;
}

} // namespace tarvotcpc::ui
