// Builds the operator manual: the Markdown text, with a picture of the window in a typical
// production state, printed to PDF. Runs at build time on the offscreen platform.
// Usage: make-manual MANUAL.md OUTPUT.pdf
#include "status_lamps.h"
#include "trend_view.h"
#include "ui_mainwindow.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QLayout>
#include <QPdfWriter>
#include <QTextDocument>
#include <QTextFrame>
#include <QTextTable>
#include <QUrl>

#include <cmath>
#include <cstdio>

namespace
{

// The form as the status refresh leaves it with a robot connected, project 1 ready and
// acquisition on.
QImage WindowPicture()
{
    QMainWindow window;
    Ui::MainWindow ui;
    ui.setupUi(&window);
    ui.pushButtonConnect->setText("Disconnect");
    ui.labelRobotConnected->setStyleSheet(lamp::kBrightGreen);
    ui.labelSensorConnected->setStyleSheet(lamp::kBrightGreen);
    ui.labelSensorError->setStyleSheet(lamp::kDarkRed);
    ui.labelSensorLaserOn->setStyleSheet(lamp::kBrightGreen);
    ui.labelSensorProgramNr->setText("1");
    const QStringList values = {"Ok", "1.50", "2.25", "0.80", "-0.10", "3.20"};
    QLabel* const labels[] = {ui.labelMeasureError, ui.labelY,        ui.labelZ,
                              ui.labelGap,          ui.labelMismatch, ui.labelArea};
    for (int i = 0; i < values.size(); ++i)
        labels[i]->setText(values[i]);
    return window.grab().toImage();
}

// The trend window over a minute of a seam at 100 records a second, the robot asking 25 times a
// second: the gap creeps, the height steps, the stream falls silent for a second and a half, and
// for three seconds the joint is not recognised.
QImage TrendPicture()
{
    trend::TrendModel model;
    model.SetOpen(true);
    TrendView view(&model);
    const int64_t now = trend::Ms(std::chrono::steady_clock::now());
    for (int64_t ms = 0; ms < 60000; ms += 10) {
        const double t = double(ms) / 1000.0;
        const bool silent = ms >= 21000 && ms < 22500;
        const bool lost = ms >= 41000 && ms < 44000;
        if (!silent)
            model.AddRecord(now - 60000 + ms,
                            {1.5 + 0.05 * std::sin(t * 1.3),
                             2.2 + (int(t / 7) % 2) * 0.3 - 0.001 * t,
                             0.8 + 0.004 * t + 0.02 * std::sin(t * 5.0),
                             -0.1 + 0.04 * std::sin(t * 0.7), 3.2 + 0.3 * std::sin(t * 0.4)},
                            !lost);
        if (ms % 40 == 0)
            model.AddReply(now - 60000 + ms, silent || lost ? 0x0C : 0x00);
    }
    view.setFont(QFont("Liberation Sans"));
    view.resize(640, 450);
    view.layout()->activate(); // never shown, so its tool bar is laid out here
    return view.grab().toImage();
}

// Single thin rules and some air in the cells read better on paper than Qt's double borders.
void StyleTables(QTextDocument* document)
{
    for (QTextFrame* frame : document->rootFrame()->childFrames()) {
        auto* table = qobject_cast<QTextTable*>(frame);
        if (table == nullptr)
            continue;
        QTextTableFormat format = table->format();
        format.setBorder(1);
        format.setBorderBrush(Qt::gray);
        format.setCellPadding(3);
        format.setCellSpacing(0);
        table->setFormat(format);
    }
}

bool PrintManual(const QString& markdown, const QString& output)
{
    QTextDocument document;
    document.setDefaultFont(QFont("Liberation Sans", 10));
    // The text names its version as @VERSION@, so that the one version of the build stands there.
    document.setMarkdown(QString(markdown).replace("@VERSION@", BRIDGE_VERSION));
    // setMarkdown clears the resources, so the picture comes after it.
    StyleTables(&document);
    document.addResource(QTextDocument::ImageResource, QUrl("window.png"), WindowPicture());
    document.addResource(QTextDocument::ImageResource, QUrl("trend.png"), TrendPicture());
    {
        QPdfWriter pdf(output);
        pdf.setPageSize(QPageSize(QPageSize::A4));
        pdf.setPageMargins(QMarginsF(20, 18, 20, 18), QPageLayout::Millimeter);
        pdf.setTitle("Tervian Yaskawa Interface V" BRIDGE_VERSION " - Operator manual (KPLM604)");
        pdf.setCreator("tervian-bridge");
        document.print(&pdf);
    }
    return QFileInfo(output).size() > 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: make-manual MANUAL.md OUTPUT.pdf\n");
        return 2;
    }
    QFile source(argv[1]);
    if (!source.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "make-manual: cannot read %s\n", argv[1]);
        return 1;
    }
    if (!PrintManual(QString::fromUtf8(source.readAll()), argv[2])) {
        std::fprintf(stderr, "make-manual: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
