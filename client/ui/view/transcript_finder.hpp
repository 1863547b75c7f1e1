// The receive page's find bar, and the search it starts, run in slices from a zero timer so
// that the window answers while it goes through a flood (TranscriptSearch decides what matches).
#pragma once

#include "transcript/transcript_search.hpp"

#include <QObject>
#include <QTimer>

class QCheckBox;
class QLineEdit;
class QString;
class QWidget;

namespace tarvotcpc::ui {

class TranscriptView;

class TranscriptFinder : public QObject {
    Q_OBJECT

  public:
    explicit TranscriptFinder(TranscriptView &view);

    // Starts a search from the selection on; false when the query cannot be searched for.
    bool Find(const QString &query, bool hex);
    void Stop();
    // The bar at the bottom of the page, focused on its query.
    void ShowBar();
    // Hides the bar; false when it was not showing.
    bool HideBar();
    // The bar's query again (F3); false when there is no bar yet.
    bool FindAgain();
    // Keeps the bar at the bottom of the page.
    void Place();

  signals:
    void found(quint64 offset, quint64 size);
    void notFound();

  private:
    void Slice();

    TranscriptView &view_;
    TranscriptSearch search_;
    QTimer timer_;
    QWidget *bar_ = nullptr;
    QLineEdit *edit_ = nullptr;
    QCheckBox *hex_ = nullptr;
};

} // namespace tarvotcpc::ui
