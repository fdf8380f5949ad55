// Vision command link: the DIDE client on port 32001 and the Connect/Disconnect control.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <unistd.h>

void MainWindow::TervianClient()
{
    m_bTervianClientRunning = true;
    while (!m_bExitScannerThread)
        usleep(10000);
    m_bTervianClientRunning = false;
}

void MainWindow::ConnectToTervian()
{
    if (!m_bTervianClientRunning) {
        m_sIP = ui->lineEditIP->text().toUtf8().toStdString();
        m_sID = ui->lineEditProjectID->text().toUtf8().toStdString();
        m_bExitScannerThread = false;
        m_bTervianClientRunning = true;
        if (pScannerThread != nullptr) {
            pScannerThread->join();
            delete pScannerThread;
        }
        pScannerThread = new std::thread(TervianThread, this);
        ui->pushButtonConnect->setText("Disconnect");
    } else {
        ui->pushButtonConnect->setText("Connect");
        m_bExitScannerThread = true;
        m_bExitValuesThread = true;
    }
}

bool MainWindow::CheckDideReply(const std::string&, const std::string&)
{
    return false;
}

bool MainWindow::GetDideValue(const std::string&, int* value)
{
    *value = 0;
    return false;
}
