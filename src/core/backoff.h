#ifndef BACKOFF_H
#define BACKOFF_H

#include <chrono>

// The pause before connecting again to a peer whose connections keep breaking before their
// set-up has finished: it doubles from 100 ms to 5 s, so that an application that accepts and
// closes at once (a crash loop, another program on its port) is not hammered, yet one that
// comes back is found within 5 s. A connection that stays up a while starts the doubling
// afresh: a set-up alone proves nothing, as a peer may answer it and close.
class Backoff
{
public:
    static constexpr int kFirstPauseMs = 100;
    static constexpr int kLongestPauseMs = 5000;
    static constexpr std::chrono::seconds kProvenAfter{1};

    // The pause to take now; the next one is twice as long, up to the longest.
    int NextPauseMs();
    void Reset() { m_nextMs = kFirstPauseMs; }

private:
    int m_nextMs = kFirstPauseMs;
};

#endif // BACKOFF_H
