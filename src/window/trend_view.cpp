// The trend window: drawing, range choice, CSV and PNG export.
#include "trend_view.h"

#include "history_store.h"

#include <QActionGroup>
#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDateTimeEdit>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QToolBar>
#include <QVBoxLayout>

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

QString LocalTime(int64_t ms, const char* format)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(format);
}

// Why the history cannot be read, or empty.
QString HistoryError(const QString& path)
{
    history::Store store;
    return store.OpenForReading(QFile::encodeName(path).toStdString()) == history::Outcome::Done
               ? QString()
               : QString::fromStdString(store.Error());
}

// The history's columns as the view draws them: each second keeps its extremes, and its trace
// runs through their middle; a stretch of more than two seconds without records breaks it.
// Empty columns when the history cannot be read.
std::vector<trend::Column> PastColumns(const QString& path, int64_t fromMs, int64_t rangeMs,
                                       int count)
{
    history::Store store;
    std::vector<trend::Column> columns(size_t(std::max(count, 0)));
    if (store.OpenForReading(QFile::encodeName(path).toStdString()) != history::Outcome::Done)
        return columns;
    const std::vector<history::Column> read = store.Columns(fromMs, rangeMs, count);
    int64_t lastRecordsMs = 0;
    bool anyRecords = false;
    for (size_t c = 0; c < columns.size(); ++c) {
        trend::Column& into = columns[c];
        const history::Column& from = read[c];
        into.startMs = fromMs + rangeMs * int64_t(c) / count;
        into.records = from.records;
        into.unrecognised = from.unrecognised;
        into.replies = (from.recognisedTold ? trend::kReplyRecognised : 0) |
                       (from.notRecognisedTold ? trend::kReplyNotRecognised : 0) |
                       (from.notReadyTold ? trend::kReplyNotReady : 0);
        if (from.records == 0)
            continue;
        for (int i = 0; i < trend::kValueCount; ++i) {
            into.min[i] = float(from.min[size_t(i)]);
            into.max[i] = float(from.max[size_t(i)]);
            into.last[i] = float((from.min[size_t(i)] + from.max[size_t(i)]) / 2);
        }
        into.gapBefore =
            !anyRecords || into.startMs - lastRecordsMs > std::max<int64_t>(2000, rangeMs / count);
        lastRecordsMs = into.startMs;
        anyRecords = true;
    }
    return columns;
}

} // namespace

TrendView::TrendView(trend::TrendModel* model, const QString& historyPath, QWidget* parent)
    : QWidget(parent, Qt::Window), m_model(model), m_historyPath(historyPath),
      m_ranges(new QActionGroup(this)), m_toolBar(new QToolBar(this))
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_WindowPropagation); // the font of the bridge's window
    resize(720, 560);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_toolBar);
    layout->addStretch();
    for (const int64_t rangeMs : {10 * 1000, 60 * 1000, 10 * 60 * 1000}) {
        QAction* action = m_ranges->addAction(tr("Last %1").arg(SecondsText(rangeMs)));
        action->setCheckable(true);
        action->setData(qlonglong(rangeMs));
        connect(action, &QAction::triggered, this, [this, rangeMs] { SetRangeMs(rangeMs); });
    }
    m_toolBar->addActions(m_ranges->actions());
    QAction* past = m_ranges->addAction(tr("History..."));
    past->setCheckable(true);
    past->setToolTip(tr("Show a past range from the history"));
    connect(past, &QAction::triggered, this, &TrendView::AskPastRange);
    m_toolBar->addAction(past);
    m_toolBar->addSeparator();
    m_pause = m_toolBar->addAction(tr("Pause"));
    m_pause->setCheckable(true);
    m_pause->setShortcut(Qt::Key_Space);
    m_pause->setToolTip(tr("Pause or resume the live view (Space)"));
    connect(m_pause, &QAction::toggled, this, &TrendView::SetPaused);
    m_toolBar->addSeparator();
    QAction* copy = m_toolBar->addAction(tr("Copy as CSV"), this, [this] {
        QApplication::clipboard()->setText(Csv(m_pausedAtMs >= 0 ? m_pausedAtMs : NowMs()));
    });
    copy->setShortcut(QKeySequence::Copy);
    copy->setToolTip(tr("Copy what is shown as CSV (Ctrl+C)"));
    QAction* save = m_toolBar->addAction(tr("Save as PNG..."), this, &TrendView::SaveAsPng);
    save->setShortcut(QKeySequence::Save);
    save->setToolTip(tr("Save what is shown as a PNG picture (Ctrl+S)"));
    // The tool bar stays as it is; only the panes move on.
    connect(&m_repaint, &QTimer::timeout, this, [this] { update(PlotArea()); });
    SetRangeMs(m_rangeMs);
}

void TrendView::SetRangeMs(int64_t rangeMs)
{
    m_pastFromMs = -1;
    m_pastColumns.clear();
    m_rangeMs = std::clamp<int64_t>(rangeMs, trend::TrendModel::kSlotMs,
                                    trend::TrendModel::kLongestRangeMs);
    m_repaint.setInterval(RepaintMs(m_rangeMs));
    if (isVisible() && m_pausedAtMs < 0)
        m_repaint.start();
    m_pause->setEnabled(true);
    for (QAction* action : m_ranges->actions())
        action->setChecked(action->data().toLongLong() == m_rangeMs);
    ShowTitle();
    update();
}

bool TrendView::ShowPast(int64_t fromMs, int64_t toMs)
{
    const QString error = HistoryError(m_historyPath);
    if (!error.isEmpty()) {
        QMessageBox::critical(this, tr("Error"),
                              tr("The history %1 cannot be read: %2.").arg(m_historyPath, error),
                              QMessageBox::Ok, QMessageBox::NoButton);
        SetRangeMs(m_pastFromMs < 0 ? m_rangeMs : 60LL * 1000);
        return false;
    }
    m_rangeMs = std::max<int64_t>(toMs - fromMs, 1000);
    m_pastFromMs = fromMs;
    m_pastColumns.clear();
    m_repaint.stop();
    m_pause->setChecked(false);
    m_pause->setEnabled(false);
    for (QAction* action : m_ranges->actions())
        action->setChecked(action->data().isNull());
    ShowTitle();
    update();
    return true;
}

// From an hour ago to now, the first time; the range shown last after that.
void TrendView::AskPastRange()
{
    QDialog dialog(this);
    dialog.setWindowTitle(tr("History"));
    auto* form = new QFormLayout(&dialog);
    const QDateTime now = QDateTime::currentDateTime();
    const bool past = m_pastFromMs >= 0;
    QDateTimeEdit* from = new QDateTimeEdit(
        past ? QDateTime::fromMSecsSinceEpoch(m_pastFromMs) : now.addSecs(-3600), &dialog);
    QDateTimeEdit* to = new QDateTimeEdit(
        past ? QDateTime::fromMSecsSinceEpoch(m_pastFromMs + m_rangeMs) : now, &dialog);
    for (QDateTimeEdit* edit : {from, to}) {
        edit->setDisplayFormat("yyyy-MM-dd HH:mm:ss");
        edit->setCalendarPopup(true);
    }
    form->addRow(tr("From"), from);
    form->addRow(tr("To"), to);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    if (dialog.exec() == QDialog::Accepted && to->dateTime() > from->dateTime())
        ShowPast(from->dateTime().toMSecsSinceEpoch(), to->dateTime().toMSecsSinceEpoch());
    else if (m_pastFromMs < 0)
        SetRangeMs(m_rangeMs); // back to the live range's button
}

// Paused, the live view stands still at the moment of the pause until resumed.
void TrendView::SetPaused(bool paused)
{
    m_pausedAtMs = paused ? NowMs() : -1;
    if (paused)
        m_repaint.stop();
    else if (isVisible() && m_pastFromMs < 0)
        m_repaint.start();
    m_pause->setText(paused ? tr("Resume") : tr("Pause"));
    ShowTitle();
    update();
}

void TrendView::ShowTitle()
{
    if (m_pastFromMs >= 0)
        setWindowTitle(tr("Trend: history from %1 to %2")
                           .arg(LocalTime(m_pastFromMs, "yyyy-MM-dd HH:mm:ss"),
                                LocalTime(m_pastFromMs + m_rangeMs, "yyyy-MM-dd HH:mm:ss")));
    else
        setWindowTitle(m_pausedAtMs >= 0 ? tr("Trend: last %1, paused").arg(SecondsText(m_rangeMs))
                                         : tr("Trend: last %1").arg(SecondsText(m_rangeMs)));
}

QRect TrendView::PlotArea() const
{
    return rect().adjusted(0, m_toolBar->height(), 0, 0);
}

// Live: the model's columns up to now, or up to the pause. Past: the history's, read again only
// when the width changes.
std::vector<trend::Column> TrendView::ShownColumns(int count) const
{
    if (m_pastFromMs < 0)
        return m_model->Columns(m_pausedAtMs >= 0 ? m_pausedAtMs : NowMs(), m_rangeMs, count);
    if (int(m_pastColumns.size()) != count)
        m_pastColumns = PastColumns(m_historyPath, m_pastFromMs, m_rangeMs, count);
    return m_pastColumns;
}

// The time at each of the five ticks of the axis: before now for a live range, the local time
// for a past one.
QString TrendView::TimeText(int tick) const
{
    if (m_pastFromMs >= 0)
        return LocalTime(m_pastFromMs + m_rangeMs * tick / 4,
                         m_rangeMs >= 24LL * 3600 * 1000 ? "MM-dd HH:mm" : "HH:mm:ss");
    if (tick == 4)
        return m_pausedAtMs >= 0 ? tr("paused") : tr("now");
    return "-" + SecondsText(m_rangeMs * (4 - tick) / 4);
}

// Live: one row per slot, in seconds before endMs. Past: one row per second of the history (per
// 1/86400 of a range longer than a day), in local time.
QString TrendView::Csv(int64_t endMs) const
{
    const bool past = m_pastFromMs >= 0;
    QString text = QString(past ? "time" : "seconds") +
                   ",records,unrecognised,Y_mm,Z_mm,gap_mm,Z_diff_mm,area,robot_told\n";
    const int pastRows = int(std::min<int64_t>(m_rangeMs / 1000, 86400));
    const std::vector<trend::Column> rows =
        past ? PastColumns(m_historyPath, m_pastFromMs, m_rangeMs, pastRows)
             : m_model->Columns(endMs, m_rangeMs, int(m_rangeMs / trend::TrendModel::kSlotMs));
    for (const trend::Column& slot : rows) {
        if (slot.records == 0 && slot.replies == 0)
            continue;
        text += past ? LocalTime(slot.startMs, "yyyy-MM-dd HH:mm:ss")
                     : QString::number(double(slot.startMs - endMs) / 1000.0, 'f', 2);
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
    const QRect area = PlotArea();
    painter.fillRect(0, 0, width(), area.top(), palette().window()); // behind the tool bar
    painter.fillRect(area, Qt::white);
    int axisWidth = 0;
    for (const char* name : kNames)
        axisWidth = std::max(axisWidth, fontMetrics().horizontalAdvance(tr(name)));
    const QRect plot =
        area.adjusted(axisWidth + 12, kMargin, -kMargin, -(kMargin + kReplyStrip + kTimeAxis));
    if (plot.width() < 2 || plot.height() < trend::kValueCount * 8)
        return;
    const std::vector<trend::Column> columns = ShownColumns(plot.width());

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
        const QString text = TimeText(tick);
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

// The tool bar's actions, ranges first.
void TrendView::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu menu(this);
    for (QAction* action : m_toolBar->actions())
        action->isSeparator() ? void(menu.addSeparator()) : menu.addAction(action);
    menu.exec(event->globalPos());
}

void TrendView::SaveAsPng()
{
    const QString path =
        QFileDialog::getSaveFileName(this, tr("Save as PNG"), "trend.png", tr("PNG image (*.png)"));
    if (!path.isEmpty() && !grab(PlotArea()).save(path, "PNG"))
        QMessageBox::critical(this, tr("Error"),
                              tr("The picture could not be saved to %1.").arg(path),
                              QMessageBox::Ok, QMessageBox::NoButton);
}

void TrendView::showEvent(QShowEvent*)
{
    if (m_pastFromMs < 0 && m_pausedAtMs < 0)
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
