#ifndef TREND_VIEW_H
#define TREND_VIEW_H

#include "trend_model.h"

#include <QTimer>
#include <QWidget>

class QAction;
class QActionGroup;
class QPainter;
class QToolBar;

// The trend window: the five measured values against time, each in a pane with its own axis,
// a band behind them where records were not recognised, and a strip of the robot's joint data
// replies at the bottom. Drawn with QPainter from the model's columns, a few times a second
// while it is shown, so a busy stream costs the GUI thread only those repaints. A tool bar
// (and the right-click menu) chooses the live range, pauses it, or shows a past range from the
// history file in the same panes; the view copies what it shows as CSV or saves it as PNG.
class TrendView : public QWidget
{
    Q_OBJECT

public:
    // The model belongs to the caller and outlives the view; historyPath is the history file
    // that past ranges are read from.
    explicit TrendView(trend::TrendModel* model, const QString& historyPath = QString(),
                       QWidget* parent = nullptr);

    int64_t RangeMs() const { return m_rangeMs; }
    // A live range, ending now.
    void SetRangeMs(int64_t rangeMs);
    // A past range from the history, in milliseconds since the epoch; false when the history
    // cannot be read (the reason is shown in a box).
    bool ShowPast(int64_t fromMs, int64_t toMs);
    // Asks the operator for a past range and shows it.
    void AskPastRange();
    // What "Copy as CSV" puts on the clipboard: the shown range, one row per slot that holds
    // records or replies, times in seconds before endMs.
    QString Csv(int64_t endMs) const;

signals:
    void closed();

protected:
    void paintEvent(QPaintEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void SaveAsPng();
    void SetPaused(bool paused);
    void ShowTitle();
    QRect PlotArea() const;
    std::vector<trend::Column> ShownColumns(int count) const;
    QString TimeText(int tick) const;
    void DrawPane(QPainter* painter, const QRect& area, int value,
                  const std::vector<trend::Column>& columns) const;
    void DrawReplies(QPainter* painter, const QRect& area,
                     const std::vector<trend::Column>& columns) const;

    trend::TrendModel* m_model;
    const QString m_historyPath;
    int64_t m_rangeMs = 60 * 1000;
    int64_t m_pastFromMs = -1; // -1: live
    int64_t m_pausedAtMs = -1; // the end of a paused live range; -1: running
    QTimer m_repaint;
    QActionGroup* m_ranges;
    QAction* m_pause;
    QToolBar* m_toolBar;
    // The past range's columns as last read, for the width they were read for.
    mutable std::vector<trend::Column> m_pastColumns;
};

#endif // TREND_VIEW_H
