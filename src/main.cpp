#include "mainwindow.h"
#include "shutdown_signals.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication a(argc, argv);
    ShutdownSignals shutdownSignals;
    MainWindow w;
    w.show();
    return a.exec();
}
