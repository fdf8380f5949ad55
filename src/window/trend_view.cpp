// The trend window: drawing, range choice, CSV and PNG export.
#include "trend_view.h"

#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFileDialog>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace
{

const char* const kNames[trend::kValueCount] = {
    QT_TRANSLATE_NOOP("TrendView", "Y [mm]"), QT_TRANSLATE_NOOP("TrendView", "Z [mm]"),
    QT_TRANSLATE_NOOP("TrendView", "Gap [mm]"), QT_TRANSLATE_NOOP("TrendView", "Z diff [mm]"),
    QT_TRANSLATE_NOOP("TrendView", "Area")};
const QColor kTraceColours[trend::kValueCount] = {QColor(0, 90, 200), QColor(0, 140, 60),
                                                  QColor(170, 60, 0), QColor(120, 0, 160),
                                                  QColor(60, 60, 60)};
const QColor kUnrecognisedBand(255, 215, 215);

const int kMargin = 8;
const int kReplyStrip = 12;
const int kTimeAxis = 18;

// The repaint period: a pixel column of the longest range spans most of a second.
int RepaintMs(int64_t rangeMs)
{
    return rangeMs > 60 * 1000 ? 1000 : 200;
}

QString SecondsText(int64_t ms)
{
    return ms >= 120 * 1000 ? TrendView::tr("%1 min").arg(double(ms) / 60000.0)
                            : TrendView::tr("%1 s").arg(double(ms) / 1000.0);
}

int64_t NowMs()
{
    return trend::Ms(std::chrono::steady_clock::now());
}

// The worst thing the robot was told in a stretch decides its colour.
QColor ReplyColour(uint8_t replies)
{
    if (replies & trend::kReplyNotReady)
        return QColor(240, 150, 0);
    if (replies & trend::kReplyNotRecognised)
        return QColor(220, 0, 0);
    return QColor(0, 170, 0);
}

} // namespace

TrendView::TrendView(trend::TrendModel* model, QWidget* parent)
    : QWidget(parent, Qt::Window), m_model(model), m_ranges(new QActionGroup(this))
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_WindowPropagation); // the font of the bridge's window
    resize(720, 520);
    for (const int64_t rangeMs : {10 * 1000, 60 * 1000, 10 * 60 * 1000}) {
        QAction* action = m_ranges->addAction(tr("Last %1").arg(SecondsText(rangeMs)));
        action->setCheckable(true);
        action->setData(qlonglong(rangeMs));
        connect(action, &QAction::triggered, this, [this, rangeMs] { SetRangeMs(rangeMs); });
    }
    connect(&m_repaint, &QTimer::timeout, this, QOverload<>::of(&QWidget::update));
    SetRangeMs(m_rangeMs);
}

void TrendView::SetRangeMs(int64_t rangeMs)
{
    m_rangeMs = std::clamp<int64_t>(rangeMs, trend::TrendModel::kSlotMs,
                                    trend::TrendModel::kLongestRangeMs);
    m_repaint.setInterval(RepaintMs(m_rangeMs));
    setWindowTitle(tr("Trend: last %1").arg(SecondsText(m_rangeMs)));
    for (QAction* action : m_ranges->actions())
        action->setChecked(action->data().toLongLong() == m_rangeMs);
    update();
}

QString TrendView::Csv(int64_t endMs) const
{
    QString text = "seconds,records,unrecognised,Y_mm,Z_mm,gap_mm,Z_diff_mm,area,robot_told\n";
    const std::vector<trend::Column> rows =
        m_model->Columns(endMs, m_rangeMs, int(m_rangeMs / trend::TrendModel::kSlotMs));
    for (const trend::Column& slot : rows) {
        if (slot.records == 0 && slot.replies == 0)
            continue;
        text += QString::number(double(slot.startMs - endMs) / 1000.0, 'f', 2);
        text += QString(",%1,%2").arg(slot.records).arg(slot.unrecognised);
        for (const float value : slot.last)
            text += "," + (slot.records > 0 ? QString::number(double(value), 'f', 3) : QString());
        QStringList told;
        const std::pair<uint8_t, const char*> codes[] = {{trend::kReplyRecognised, "00"},
                                                         {trend::kReplyNotRecognised, "0C"},
                                                         {trend::kReplyNotReady, "01"}};
        for (const auto& [bit, code] : codes)
            if (slot.replies & bit)
                told << code;
        text += "," + told.join(' ') + "\n";
    }
    return text;
}

void TrendView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::white);
    int axisWidth = 0;
    for (const char* name : kNames)
        axisWidth = std::max(axisWidth, fontMetrics().horizontalAdvance(tr(name)));
    const QRect plot =
        rect().adjusted(axisWidth + 12, kMargin, -kMargin, -(kMargin + kReplyStrip + kTimeAxis));
    if (plot.width() < 2 || plot.height() < trend::kValueCount * 8)
        return;
    const int64_t endMs = NowMs();
    const std::vector<trend::Column> columns = m_model->Columns(endMs, m_rangeMs, plot.width());

    // Runs of columns with an unrecognised record, as one rectangle each.
    for (int c = 0; c < plot.width();) {
        if (columns[size_t(c)].unrecognised == 0) {
            ++c;
            continue;
        }
        const int first = c;
        while (c < plot.width() && columns[size_t(c)].unrecognised > 0)
            ++c;
        painter.fillRect(plot.left() + first, plot.top(), c - first, plot.height(),
                         kUnrecognisedBand);
    }
    const int paneHeight = plot.height() / trend::kValueCount;
    for (int v = 0; v < trend::kValueCount; ++v)
        DrawPane(&painter,
                 QRect(plot.left(), plot.top() + v * paneHeight, plot.width(), paneHeight), v,
                 columns);
    const QRect strip(plot.left(), plot.bottom() + 3, plot.width(), kReplyStrip - 3);
    DrawReplies(&painter, strip, columns);

    painter.setPen(Qt::black);
    painter.drawText(QRect(0, strip.top() - 3, plot.left() - 6, kReplyStrip),
                     Qt::AlignRight | Qt::AlignVCenter, tr("Robot"));
    for (int tick = 0; tick <= 4; ++tick) {
        const int x = plot.left() + (plot.width() - 1) * tick / 4;
        painter.drawLine(x, strip.bottom() + 1, x, strip.bottom() + 4);
        const int64_t before = m_rangeMs * (4 - tick) / 4;
        const QString text = tick == 4 ? tr("now") : "-" + SecondsText(before);
        const int align = tick == 0 ? Qt::AlignLeft : tick == 4 ? Qt::AlignRight : Qt::AlignHCenter;
        painter.drawText(QRect(x - 60 +
                                   (tick == 0   ? 60
                                    : tick == 4 ? -60
                                                : 0),
                               strip.bottom() + 4, 120, kTimeAxis),
                         align | Qt::AlignTop, text);
    }
}

// One value against time on its own scale: the range of each column as a vertical stroke, the
// last values of neighbouring columns joined, except across a gap in the stream.
void TrendView::DrawPane(QPainter* painter, const QRect& area, int value,
                         const std::vector<trend::Column>& columns) const
{
    float low = 0, high = 0;
    bool any = false;
    for (const trend::Column& column : columns)
        if (column.records > 0) {
            low = any ? std::min(low, column.min[value]) : column.min[value];
            high = any ? std::max(high, column.max[value]) : column.max[value];
            any = true;
        }
    const double pad = high > low ? (high - low) * 0.08 : 0.5;
    const double bottom = double(low) - pad, top = double(high) + pad;
    const QRectF inner = QRectF(area).adjusted(0, 2, 0, -2);
    auto y = [&](float v) {
        return inner.bottom() - (double(v) - bottom) / (top - bottom) * inner.height();
    };

    painter->setPen(QColor(200, 200, 200));
    painter->drawLine(area.topLeft(), area.topRight());
    painter->setPen(Qt::black);
    const QRect labels(0, area.top(), area.left() - 6, area.height());
    painter->drawText(labels, Qt::AlignRight | Qt::AlignVCenter, tr(kNames[value]));
    if (!any)
        return;
    painter->drawText(labels, Qt::AlignRight | Qt::AlignTop, QString::number(high, 'f', 2));
    painter->drawText(labels, Qt::AlignRight | Qt::AlignBottom, QString::number(low, 'f', 2));

    painter->setPen(QPen(kTraceColours[value], 1.5));
    QPointF previous;
    bool joined = false;
    for (size_t c = 0; c < columns.size(); ++c) {
        const trend::Column& column = columns[c];
        if (column.records == 0)
            continue;
        const double x = area.left() + double(c) + 0.5;
        const QPointF point(x, y(column.last[value]));
        if (joined && !column.gapBefore)
            painter->drawLine(previous, point);
        else
            painter->drawPoint(point);
        if (column.max[value] > column.min[value])
            painter->drawLine(QPointF(x, y(column.min[value])), QPointF(x, y(column.max[value])));
        previous = point;
        joined = true;
    }
}

void TrendView::DrawReplies(QPainter* painter, const QRect& area,
                            const std::vector<trend::Column>& columns) const
{
    painter->fillRect(area, QColor(245, 245, 245));
    for (size_t c = 0; c < columns.size(); ++c)
        if (columns[c].replies != 0)
            painter->fillRect(area.left() + int(c), area.top(), 1, area.height(),
                              ReplyColour(columns[c].replies));
}

void TrendView::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    menu.addActions(m_ranges->actions());
    menu.addSeparator();
    menu.addAction(tr("Copy as CSV"), this,
                   [this] { QApplication::clipboard()->setText(Csv(NowMs())); });
    menu.addAction(tr("Save as PNG..."), this, &TrendView::SaveAsPng);
    menu.exec(event->globalPos());
}

void TrendView::SaveAsPng()
{
    const QString path =
        QFileDialog::getSaveFileName(this, tr("Save as PNG"), "trend.png", tr("PNG image (*.png)"));
    if (!path.isEmpty() && !grab().save(path, "PNG"))
        QMessageBox::critical(this, tr("Error"),
                              tr("The picture could not be saved to %1.").arg(path),
                              QMessageBox::Ok, QMessageBox::NoButton);
}

void TrendView::showEvent(QShowEvent*)
{
    m_repaint.start();
}

void TrendView::hideEvent(QHideEvent*)
{
    m_repaint.stop();
}

void TrendView::closeEvent(QCloseEvent* event)
{
    event->accept();
    emit closed();
}
