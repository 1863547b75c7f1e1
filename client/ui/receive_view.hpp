// The receive page. It shows what it is handed, only ever adding at its end; how much it is handed
// at a time is decided by the controller's receive flow.
#pragma once

#include <QPlainTextEdit>

#include <string_view>

namespace tarvotcpc::ui {

class ReceiveView : public QPlainTextEdit {
    Q_OBJECT

  public:
    explicit ReceiveView(QWidget *parent = nullptr);

    // Adds UTF-8 text with LF line breaks that ends between characters; a view that follows the
    // end stays there.
    void Append(std::string_view text);
    void Clear();

  private:
    void ScrollToEnd();

    // Whether the view stays at the end: true until the user scrolls up, again once they scroll
    // back to the end. Kept apart from the scroll bar's position, which a horizontal bar appearing
    // after a wide line moves away from the maximum without the user doing anything.
    bool followEnd_ = true;
    bool scrolling_ = false; // the bar moves for the view's own reasons, not the user's
};

} // namespace tarvotcpc::ui
