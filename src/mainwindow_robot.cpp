// Robot link: the TCP server on port 5020 and the request/reply frames of the robot controller.
#include "mainwindow.h"

#include <unistd.h>

void MainWindow::RobotServer()
{
    while (!m_bExitRobotThread)
        usleep(10000);
}

void MainWindow::ProcessRobotRequest(int*) {}
