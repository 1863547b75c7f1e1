// Message boxes in the window tests: each box the program shows is recorded as the user saw it
// and answered, so that no test ever waits on a modal box.
#pragma once

#include <QAbstractButton>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <deque>
#include <utility>
#include <vector>

#include "common/message_seam.hpp"

namespace tarvotcpc::ui::testing {

// One box as the user saw it.
struct SeenBox {
    QString objectName;
    QString title;
    QString text;
    QMessageBox::Icon icon;
};

// Records every box and answers it with the next button of its script (OK when the script is
// used up).
class BoxAnswerer {
  public:
    explicit BoxAnswerer(std::deque<QMessageBox::StandardButton> script = {})
        : script_(std::move(script)) {
        SetMessageBoxObserver([this](QMessageBox *box) {
            seen_.push_back({box->objectName(), box->windowTitle(), box->text(), box->icon()});
            QMessageBox::StandardButton answer = QMessageBox::Ok;
            if (!script_.empty()) {
                answer = script_.front();
                script_.pop_front();
            }
            QPointer<QMessageBox> guard(box);
            QTimer::singleShot(0, box, [guard, answer] {
                if (guard && guard->button(answer) != nullptr) guard->button(answer)->click();
            });
        });
    }
    ~BoxAnswerer() { SetMessageBoxObserver({}); }
    BoxAnswerer(const BoxAnswerer &) = delete;
    BoxAnswerer &operator=(const BoxAnswerer &) = delete;

    const std::vector<SeenBox> &Seen() const { return seen_; }

  private:
    std::deque<QMessageBox::StandardButton> script_;
    std::vector<SeenBox> seen_;
};

} // namespace tarvotcpc::ui::testing
