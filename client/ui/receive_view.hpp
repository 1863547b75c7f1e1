// The receive page. Text arrives far faster than an edit control can take it, so it is queued
// here and moved onto the page in steps of bounded cost (InsertPending, driven by the window's
// timer); the page is never set whole, only added to at its end.
#pragma once

#include <QPlainTextEdit>

#include <cstddef>
#include <string>
#include <string_view>

namespace tarvotcpc::ui {

class ReceiveView : public QPlainTextEdit {
    Q_OBJECT

  public:
    explicit ReceiveView(QWidget *parent = nullptr);

    // Queues UTF-8 text with LF line breaks that ends between characters.
    void Append(std::string_view text);
    // Empties the page and drops whatever is still queued.
    void Clear();

    std::size_t PendingBytes() const { return pending_.size() - pendingStart_; }

    // Moves the next part of the queue onto the page, sized so that one step takes a few tens of
    // milliseconds at most. Result: whether the page has caught up.
    bool InsertPending();

    // Bytes one step may move now (it adapts to how long the last steps took).
    std::size_t StepBytes() const { return stepBytes_; }

  private:
    // Whether the view stays at the end: true until the user scrolls up, again once they scroll
    // back to the end. Kept apart from the scroll bar's position, which a horizontal bar appearing
    // after a wide line moves away from the maximum without the user doing anything.
    bool followEnd_ = true;
    bool scrolling_ = false; // the bar moves for the view's own reasons, not the user's
    void ScrollToEnd();

    std::string pending_;
    std::size_t pendingStart_ = 0;
    std::size_t stepBytes_;
};

} // namespace tarvotcpc::ui
