// "受信データの比較": the received lines of two exchanges side by side, the lines that differ
// marked (a sign in a column of its own as well as a colour, so that a screen reader and a
// colour-blind eye get them too), stepped through with F8 and Shift+F8.
#pragma once

#include <QDialog>

#include <string>
#include <vector>

#include "replay/line_diff.hpp"

class QLabel;
class QPushButton;
class QTableWidget;

namespace tarvotcpc::ui {

class CompareDialog : public QDialog {
    Q_OBJECT

  public:
    CompareDialog(QWidget *parent, const QString &leftName, const std::vector<std::string> &left,
                  const QString &rightName, const std::vector<std::string> &right,
                  const LineDiff &diff);

    QTableWidget *Table() const { return table_; }
    QLabel *Summary() const { return summary_; }
    // Selects the row where the next (previous) run of differences begins after (before) the
    // current row, wrapping round.
    void NextDifference();
    void PreviousDifference();

  protected:
    void keyPressEvent(QKeyEvent *event) override;

  private:
    void GoTo(std::size_t difference);

    LineDiff diff_;
    QTableWidget *table_;
    QLabel *summary_;
    QPushButton *next_;
    QPushButton *previous_;
};

} // namespace tarvotcpc::ui
