#ifndef JOINT_MOTION_H
#define JOINT_MOTION_H

#include <QByteArray>

#include <random>

// Made-up measurements of a joint passing under the sensor: X drifts slowly to and fro, Z
// stays a few millimetres high, the gap is about a millimetre wide, and now and then the
// evaluation fails. All values stay well inside what the robot's hundredths can carry.
class JointMotion
{
public:
    // The record "status,X,Z,width,zdiff,area;" for the moment seconds after the start.
    QByteArray recordAt(double seconds);

private:
    double noise(double spread) { return std::normal_distribution<double>(0, spread)(m_random); }

    std::mt19937 m_random{20240601};
};

#endif // JOINT_MOTION_H
