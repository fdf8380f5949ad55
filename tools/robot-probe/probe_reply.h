#ifndef PROBE_REPLY_H
#define PROBE_REPLY_H

#include <string>

// Bytes as upper-case hex pairs separated by single spaces, e.g. "82 00 18 00".
std::string HexBytes(const std::string& bytes);

// How many reply bytes the bridge sends for this request; 0 when it does not recognise the
// request and so repeats whatever it answered last.
int ExpectedReplyLength(const std::string& request);

// The reply's meaning in words, read the way the request asked for it.
std::string DescribeReply(const std::string& request, const std::string& reply);

#endif // PROBE_REPLY_H
