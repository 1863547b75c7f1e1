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

    // Adds UTF-8 text with LF line breaks that ends between characters; a view that was at the
    // end stays there.
    void Append(std::string_view text);
    void Clear();
};

} // namespace tarvotcpc::ui
