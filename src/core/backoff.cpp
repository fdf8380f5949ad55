#include "backoff.h"

#include <algorithm>

int Backoff::NextPauseMs()
{
    const int pause = m_nextMs;
    m_nextMs = std::min(2 * m_nextMs, kLongestPauseMs);
    return pause;
}
