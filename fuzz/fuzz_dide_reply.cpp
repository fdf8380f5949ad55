// Any reply of the vision application through the element reader, the reply check and the
// value extraction the command client uses, and the same bytes as a project ID, which the operator
// may type into the window.
//
// Input: 1 byte choosing the command the reply is checked for, then the reply.
#include "dide_protocol.h"
#include "require.h"

void JudgeReply(const uint8_t* data, size_t size)
{
    const std::string command = (data[0] & 1) ? dide::kProjectLoad : dide::kDeviceAcquisition;
    const std::string reply(reinterpret_cast<const char*>(data + 1), size - 1);

    if (dide::JudgeReply(reply, command) == dide::Verdict::Accepted)
        Require(reply.find("ReplyOk") != std::string::npos &&
                reply.find(command) != std::string::npos);
    // Every element found is a piece of what came, and held bytes never exceed what came.
    dide::ElementReader reader;
    reader.Feed(reply);
    std::string piece;
    size_t taken = 0;
    while (reader.Next(&piece) != dide::ElementReader::Piece::None)
        taken += piece.size();
    Require(taken + reader.Begun() <= reply.size());
    int value = -1;
    if (!dide::ReadValue(reply, &value))
        Require(value == 0);

    dide::ProjectNumber(reply);
    Require(dide::LoadProjectRequest(reply).size() == 52 + reply.size());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size >= 1)
        JudgeReply(data, size);
    return 0;
}
