// Any reply of the vision application through the end-of-reply search, the reply check and the
// value extraction, and the same bytes as a project ID, which the operator may type into the
// window.
//
// Input: 1 byte choosing the command the reply is checked for, then the reply.
#include "fuzz_window.h"

#include "dide_protocol.h"

void TestAccess::JudgeReply(const uint8_t* data, size_t size)
{
    MainWindow& w = Window();
    const std::string command = (data[0] & 1) ? dide::kProjectLoad : dide::kDeviceAcquisition;
    const std::string reply(reinterpret_cast<const char*>(data + 1), size - 1);

    if (w.CheckDideReply(reply, command))
        Require(reply.find("ReplyOk") != std::string::npos &&
                reply.find(command) != std::string::npos);
    Require(dide::ReplyLength(reply) <= reply.size());
    int value = -1;
    if (!w.GetDideValue(reply, &value))
        Require(value == 0);

    dide::ProjectNumber(reply);
    Require(dide::LoadProjectRequest(reply).size() == 52 + reply.size());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size >= 1)
        TestAccess::JudgeReply(data, size);
    return 0;
}
