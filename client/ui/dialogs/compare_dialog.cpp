#include "dialogs/compare_dialog.hpp"

#include <algorithm>

#include <QKeyEvent>
#include <QDialogButtonBox>
#include <QFontDatabase>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "common/widgets.hpp"

namespace tarvotcpc::ui {

namespace {

// The sign of each kind of row, read the same by eye and by a screen reader.
const char *Sign(DiffRow::Kind kind) {
    switch (kind) {
    case DiffRow::Kind::Same:
        return "";
    case DiffRow::Kind::Changed:
        return "≠";
    case DiffRow::Kind::LeftOnly:
        return "−";
    case DiffRow::Kind::RightOnly:
        return "+";
    }
    return "";
}

QColor Shade(DiffRow::Kind kind) {
    switch (kind) {
    case DiffRow::Kind::Changed:
        return QColor(255, 240, 180);
    case DiffRow::Kind::LeftOnly:
        return QColor(255, 215, 215);
    case DiffRow::Kind::RightOnly:
        return QColor(210, 245, 210);
    case DiffRow::Kind::Same:
        break;
    }
    return {};
}

QTableWidgetItem *Cell(const QString &text, DiffRow::Kind kind) {
    auto *item = new QTableWidgetItem(text);
    item->setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    if (kind != DiffRow::Kind::Same) item->setBackground(Shade(kind));
    return item;
}

} // namespace

CompareDialog::CompareDialog(QWidget *parent, const QString &leftName,
                             const std::vector<std::string> &left, const QString &rightName,
                             const std::vector<std::string> &right, const LineDiff &diff)
    : QDialog(parent), diff_(diff) {
    setObjectName(QStringLiteral("compareDialog"));
    setWindowTitle(Text("受信データの比較"));
    setAccessibleName(windowTitle());
    auto *layout = new QVBoxLayout(this);
    summary_ = new QLabel(this);
    summary_->setObjectName(QStringLiteral("compareSummaryLabel"));
    summary_->setText(diff.differences.empty()
                          ? Text("受信データに違いはありません")
                          : Text("%1か所に違いがあります (F8: 次の違い、Shift+F8: 前の違い)")
                                .arg(diff.differences.size()));
    if (diff.coarse)
        summary_->setText(summary_->text() +
                          Text("\n違いが多いため、一部は必要以上に広く示しています"));
    layout->addWidget(summary_);

    table_ = new QTableWidget(static_cast<int>(diff.rows.size()), 5, this);
    table_->setObjectName(QStringLiteral("compareTable"));
    table_->setAccessibleName(Text("受信データの比較"));
    table_->setHorizontalHeaderLabels({Text("違い"), Text("行"), leftName, Text("行"), rightName});
    table_->verticalHeader()->hide();
    table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table_->setSelectionBehavior(QAbstractItemView::SelectRows);
    table_->setSelectionMode(QAbstractItemView::SingleSelection);
    table_->setWordWrap(false);
    table_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    for (std::size_t i = 0; i < diff.rows.size(); ++i) {
        const DiffRow &row = diff.rows[i];
        const int r = static_cast<int>(i);
        table_->setItem(r, 0, Cell(Text(Sign(row.kind)), row.kind));
        table_->setItem(r, 1,
                        Cell(row.left ? QString::number(*row.left + 1) : QString(), row.kind));
        table_->setItem(
            r, 2, Cell(row.left ? QString::fromStdString(left[*row.left]) : QString(), row.kind));
        table_->setItem(r, 3,
                        Cell(row.right ? QString::number(*row.right + 1) : QString(), row.kind));
        table_->setItem(
            r, 4,
            Cell(row.right ? QString::fromStdString(right[*row.right]) : QString(), row.kind));
    }
    table_->resizeColumnsToContents();
    table_->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
    table_->horizontalHeader()->setSectionResizeMode(4, QHeaderView::Stretch);
    layout->addWidget(table_);

    auto *buttons = new QDialogButtonBox(this);
    previous_ = buttons->addButton(Text("前の違い(&P)"), QDialogButtonBox::ActionRole);
    previous_->setObjectName(QStringLiteral("previousDifferenceButton"));
    next_ = buttons->addButton(Text("次の違い(&N)"), QDialogButtonBox::ActionRole);
    next_->setObjectName(QStringLiteral("nextDifferenceButton"));
    QPushButton *close = buttons->addButton(Text("閉じる"), QDialogButtonBox::RejectRole);
    close->setObjectName(QStringLiteral("closeCompareButton"));
    // The buttons step without taking the focus from the table, where the keys move on.
    for (QPushButton *button : {previous_, next_})
        button->setAutoDefault(false);
    previous_->setEnabled(!diff.differences.empty());
    next_->setEnabled(!diff.differences.empty());
    connect(next_, &QPushButton::clicked, this, &CompareDialog::NextDifference);
    connect(previous_, &QPushButton::clicked, this, &CompareDialog::PreviousDifference);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);

    resize(960, 600);
    table_->setFocus();
    if (!diff.differences.empty()) GoTo(0);
}

// F8 reaches here from the table, which takes no function key; a shortcut would fire only
// while the dialog is the active window.
void CompareDialog::keyPressEvent(QKeyEvent *event) {
    if (event->key() == Qt::Key_F8) {
        if (event->modifiers() & Qt::ShiftModifier)
            PreviousDifference();
        else
            NextDifference();
        return;
    }
    QDialog::keyPressEvent(event);
}

void CompareDialog::GoTo(std::size_t difference) {
    const int row = static_cast<int>(diff_.differences[difference]);
    table_->setCurrentCell(row, 2);
    table_->scrollToItem(table_->item(row, 2), QAbstractItemView::PositionAtCenter);
}

// From the row the user is on, wherever the arrow keys took them, round the ends.
void CompareDialog::NextDifference() {
    if (diff_.differences.empty()) return;
    const int row = table_->currentRow();
    const auto begin = diff_.differences.begin();
    const auto after =
        row < 0 ? begin : std::upper_bound(begin, diff_.differences.end(), std::size_t(row));
    GoTo(after == diff_.differences.end() ? 0 : static_cast<std::size_t>(after - begin));
}

void CompareDialog::PreviousDifference() {
    if (diff_.differences.empty()) return;
    const int row = table_->currentRow();
    const auto before = std::lower_bound(diff_.differences.begin(), diff_.differences.end(),
                                         static_cast<std::size_t>(std::max(row, 0)));
    GoTo(before == diff_.differences.begin()
             ? diff_.differences.size() - 1
             : static_cast<std::size_t>(before - diff_.differences.begin()) - 1);
}

} // namespace tarvotcpc::ui
