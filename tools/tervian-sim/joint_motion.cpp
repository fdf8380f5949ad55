#include "joint_motion.h"

#include <cmath>

namespace
{

double wave(double amplitude, double periodSeconds, double seconds)
{
    return amplitude * std::sin(2 * M_PI * seconds / periodSeconds);
}

QByteArray field(double value)
{
    return QByteArray::number(value, 'f', 3);
}

} // namespace

QByteArray JointMotion::recordAt(double t)
{
    // About one record in two hundred comes with a failed evaluation (status 1 or 2).
    const int status = std::uniform_int_distribution<int>(0, 199)(m_random) < 199
                           ? 0
                           : std::uniform_int_distribution<int>(1, 2)(m_random);
    const double x = wave(4.0, 40, t) + wave(0.5, 7, t) + noise(0.01);
    const double z = 2.5 + wave(0.4, 13, t) + noise(0.01);
    const double width = 1.0 + wave(0.2, 9, t) + noise(0.01);
    const double zdiff = wave(0.15, 11, t) + noise(0.005);
    const double area = width * (z - 0.6);
    return QByteArray::number(status) + ',' + field(x) + ',' + field(z) + ',' + field(width) + ',' +
           field(zdiff) + ',' + field(area) + ';';
}
