// Status display and operator commands.
#include "mainwindow.h"
#include "ui_mainwindow.h"

void MainWindow::updateGui() {}

void MainWindow::on_pushButtonLaserOn_clicked()
{
    events::SetEvent(m_EventActivateLaser);
}

void MainWindow::on_pushButtonLaserOff_clicked()
{
    events::SetEvent(m_EventDeactivateLaser);
}

void MainWindow::on_actionUser_manual_triggered() {}
