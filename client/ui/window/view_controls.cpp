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

namespace {

// The encoding box's first item is 自動判別; the encodings follow in the table's order.
constexpr int kAutoItem = 0;

// The protocol menu's accelerators, by stored value.
const char *ProtocolAccelerator(const char *stored) {
    static constexpr std::pair<std::string_view, const char *> kKeys[] = {
        {kViewProtocolNone, "N"},
        {kViewProtocolFromPort, "A"},
        {"http", "H"},
        {"resp", "R"},
        {"smtp", "S"},
        {"ftp", "F"},
        {"imap", "I"},
    };
    for (const auto &[value, key] : kKeys)
        if (value == stored) return key;
    return nullptr;
}

} // namespace

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
    encodingBox_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    autoEncoding_ = encodingMenu->addAction(Text("自動判別(&A)"));
    autoEncoding_->setCheckable(true);
    autoEncoding_->setObjectName(QStringLiteral("viewEncodingAutoAction"));
    encodings_->addAction(autoEncoding_);
    encodingBox_->addItem(Text("自動判別"), -1);
    encodingMenu->addSeparator();
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
        if (showing_) return;
        if (action == autoEncoding_)
            emit encodingPicked(std::nullopt);
        else
            emit encodingPicked(static_cast<Encoding>(action->data().toInt()));
    });
    connect(encodingBox_, &QComboBox::activated, this, [this](int index) {
        if (showing_) return;
        if (index == kAutoItem)
            emit encodingPicked(std::nullopt);
        else
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

    QMenu *protocolMenu = menu_->addMenu(Text("プロトコル(&P)"));
    protocolMenu->setObjectName(QStringLiteral("viewProtocolMenu"));
    protocolMenu->setAccessibleName(Text("プロトコル"));
    protocols_ = new QActionGroup(this);
    protocols_->setExclusive(true);
    for (const OptionChoice &choice : kViewProtocolChoices) {
        QString label = Text(choice.label);
        if (const char *key = ProtocolAccelerator(choice.value))
            label += QStringLiteral("(&%1)").arg(QLatin1String(key));
        QAction *action = protocolMenu->addAction(label);
        action->setCheckable(true);
        action->setData(QString::fromLatin1(choice.value));
        action->setObjectName(QStringLiteral("viewProtocolAction_%1").arg(choice.value));
        protocols_->addAction(action);
        if (std::string_view(choice.value) == kViewProtocolFromPort) protocolMenu->addSeparator();
    }
    connect(protocols_, &QActionGroup::triggered, this, [this](QAction *action) {
        if (!showing_) emit protocolPicked(action->data().toString());
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
    ShowEncoding(ViewEncodingChosen(OptionValues()), QString());
}

QAction *ViewControls::EncodingAction(Encoding encoding) const {
    for (QAction *action : encodings_->actions())
        if (action != autoEncoding_ && action->data().toInt() == static_cast<int>(encoding))
            return action;
    return nullptr;
}

QAction *ViewControls::ProtocolAction(const char *stored) const {
    for (QAction *action : protocols_->actions())
        if (action->data().toString() == QLatin1String(stored)) return action;
    return nullptr;
}

void ViewControls::Show(const OptionValues &values) {
    showing_ = true;
    hex_->setChecked(ViewIsHex(values));
    marks_->setChecked(values[Option::ViewLineEndMarks]);
    if (QAction *protocol = ProtocolAction(values.Text(Option::ViewProtocol).c_str()))
        protocol->setChecked(true);
    showing_ = false;
}

void ViewControls::ShowEncoding(std::optional<Encoding> chosen, const QString &label) {
    showing_ = true;
    // Automatic, the box's first item names what was detected; the menu keeps its own word.
    encodingBox_->setItemText(kAutoItem, chosen ? Text("自動判別") : label);
    if (chosen) {
        EncodingAction(*chosen)->setChecked(true);
        encodingBox_->setCurrentIndex(encodingBox_->findData(static_cast<int>(*chosen)));
    } else {
        autoEncoding_->setChecked(true);
        encodingBox_->setCurrentIndex(kAutoItem);
    }
    showing_ = false;
}

} // namespace tarvotcpc::ui
