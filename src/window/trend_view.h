#ifndef TREND_VIEW_H
#define TREND_VIEW_H

#include "trend_model.h"

#include <QTimer>
#include <QWidget>

class QActionGroup;
class QPainter;

// The trend window: the five measured values against time, each in a pane with its own axis,
// a band behind them where records were not recognised, and a strip of the robot's joint data
// replies at the bottom. Drawn with QPainter from the model's columns, a few times a second
// while it is shown, so a busy stream costs the GUI thread only those repaints.
class TrendView : public QWidget
{
    Q_OBJECT

public:
    // The model belongs to the caller and outlives the view.
    TrendView(trend::TrendModel* model, QWidget* parent = nullptr);

    int64_t RangeMs() const { return m_rangeMs; }
    void SetRangeMs(int64_t rangeMs);
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
    void DrawPane(QPainter* painter, const QRect& area, int value,
                  const std::vector<trend::Column>& columns) const;
    void DrawReplies(QPainter* painter, const QRect& area,
                     const std::vector<trend::Column>& columns) const;

    trend::TrendModel* m_model;
    int64_t m_rangeMs = 60 * 1000;
    QTimer m_repaint;
    QActionGroup* m_ranges;
};

#endif // TREND_VIEW_H
