// Measurement stream: the reader of port 32002 and the decoding of its records.
#include "mainwindow.h"

#include <unistd.h>

void MainWindow::ReadMeasuredData()
{
    while (!m_bExitValuesThread)
        usleep(10000);
}

void MainWindow::DecodeValuesBuffer(char*, int) {}
