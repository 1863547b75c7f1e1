#include "view/transcript_finder.hpp"
#include "view/transcript_view.hpp"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QToolButton>

namespace tarvotcpc::ui {

namespace {

// Bytes searched per timer tick.
constexpr uint64_t kFindSlice = uint64_t{8} << 20;

} // namespace

TranscriptFinder::TranscriptFinder(TranscriptView &view) : view_(view) {
    timer_.setInterval(0);
    connect(&timer_, &QTimer::timeout, this, &TranscriptFinder::Slice);
}

bool TranscriptFinder::Find(const QString &query, bool hex) {
    Stop();
    if (!view_.transcript_) return false;
    const auto [from, to] = view_.Selection();
    // Blanks of any kind part hex digits; simplified() makes each one space.
    const QString typed = hex ? query.simplified() : query;
    if (!search_.Start(*view_.transcript_, typed.toStdString(), hex, view_.encoding_,
                       from < to ? from + 1 : view_.input_.Caret()))
        return false;
    timer_.start();
    return true;
}

void TranscriptFinder::Stop() {
    timer_.stop();
    search_.Stop();
}

void TranscriptFinder::Slice() {
    if (!view_.transcript_ || !view_.layout_) return Stop();
    switch (search_.Step(*view_.transcript_, *view_.layout_, kFindSlice)) {
    case TranscriptSearch::Result::Searching:
        return;
    case TranscriptSearch::Result::Found: {
        timer_.stop();
        const uint64_t at = search_.FoundAt(), n = search_.Length();
        view_.SetSelection(at, at + n);
        view_.EnsureVisible(at);
        emit found(at, n);
        return;
    }
    case TranscriptSearch::Result::NotFound:
        timer_.stop();
        emit notFound();
        return;
    }
}

bool TranscriptFinder::HideBar() {
    if (bar_ == nullptr || !bar_->isVisible()) return false;
    bar_->hide();
    return true;
}

bool TranscriptFinder::FindAgain() {
    if (edit_ == nullptr) return false;
    Find(edit_->text(), hex_->isChecked());
    return true;
}

void TranscriptFinder::Place() {
    if (bar_ == nullptr || !bar_->isVisible()) return;
    QWidget *page = view_.viewport();
    const int h = bar_->sizeHint().height();
    bar_->setGeometry(0, page->height() - h, page->width(), h);
}

void TranscriptFinder::ShowBar() {
    if (bar_ == nullptr) {
        bar_ = new QWidget(&view_);
        bar_->setObjectName(QStringLiteral("transcriptFindBar"));
        bar_->setAutoFillBackground(true);
        auto *row = new QHBoxLayout(bar_);
        row->setContentsMargins(4, 2, 4, 2);
        edit_ = new QLineEdit(bar_);
        edit_->setObjectName(QStringLiteral("transcriptFindEdit"));
        edit_->setAccessibleName(QStringLiteral("検索する文字列"));
        hex_ = new QCheckBox(QStringLiteral("16進"), bar_);
        hex_->setObjectName(QStringLiteral("transcriptFindHex"));
        auto *next = new QPushButton(QStringLiteral("次を検索"), bar_);
        auto *close = new QToolButton(bar_);
        close->setText(QStringLiteral("×"));
        close->setAccessibleName(QStringLiteral("検索を閉じる"));
        row->addWidget(edit_, 1);
        row->addWidget(hex_);
        row->addWidget(next);
        row->addWidget(close);
        const auto go = [this] { Find(edit_->text(), hex_->isChecked()); };
        const auto leave = [this] {
            bar_->hide();
            view_.setFocus();
        };
        connect(edit_, &QLineEdit::returnPressed, this, go);
        auto *escape = new QShortcut(QKeySequence(Qt::Key_Escape), bar_);
        escape->setContext(Qt::WidgetWithChildrenShortcut);
        connect(escape, &QShortcut::activated, this, leave);
        connect(next, &QPushButton::clicked, this, go);
        connect(close, &QToolButton::clicked, this, leave);
    }
    bar_->show();
    Place();
    bar_->raise();
    edit_->setFocus();
    edit_->selectAll();
}

} // namespace tarvotcpc::ui
