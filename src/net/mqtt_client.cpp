#include "mqtt_client.h"

#include <mosquitto.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include <poll.h>

namespace mqtt
{

namespace
{

void InitLibraryOnce()
{
    static std::once_flag done;
    std::call_once(done, [] { mosquitto_lib_init(); });
}

// Libmosquitto's text for a code, or the system's for MOSQ_ERR_ERRNO.
std::string Why(int code)
{
    if (code == MOSQ_ERR_ERRNO)
        return std::strerror(errno);
    return mosquitto_strerror(code);
}

} // namespace

Connection::Connection(const Options& options)
{
    InitLibraryOnce();
    m_handle = mosquitto_new(options.clientId.c_str(), true, this);
    if (m_handle == nullptr) {
        Fail("cannot make an MQTT client");
        return;
    }
    mosquitto_int_option(m_handle, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(m_handle, OnConnect);
    mosquitto_disconnect_callback_set(m_handle, OnDisconnect);
    mosquitto_message_callback_set(m_handle, OnMessage);
    int code =
        mosquitto_will_set(m_handle, options.willTopic.c_str(), int(options.willPayload.size()),
                           options.willPayload.data(), 1, false);
    if (code == MOSQ_ERR_SUCCESS && !options.user.empty())
        code = mosquitto_username_pw_set(m_handle, options.user.c_str(), options.password.c_str());
    if (code == MOSQ_ERR_SUCCESS && !options.caFile.empty())
        code =
            mosquitto_tls_set(m_handle, options.caFile.c_str(), nullptr,
                              options.certFile.empty() ? nullptr : options.certFile.c_str(),
                              options.keyFile.empty() ? nullptr : options.keyFile.c_str(), nullptr);
    if (code == MOSQ_ERR_SUCCESS)
        code = mosquitto_connect_async(m_handle, options.host.c_str(), options.port,
                                       options.keepAliveSeconds);
    if (code != MOSQ_ERR_SUCCESS)
        FailOn(code);
}

Connection::~Connection()
{
    if (m_handle != nullptr)
        mosquitto_destroy(m_handle);
}

bool Connection::Backlogged() const
{
    return m_state != State::Failed && mosquitto_want_write(m_handle);
}

void Connection::Serve(int stop, int timeoutMs)
{
    if (m_state == State::Failed) {
        pollfd waits{stop, POLLIN, 0};
        ::poll(&waits, 1, timeoutMs);
        return;
    }
    const short wanted = short(POLLIN | (mosquitto_want_write(m_handle) ? POLLOUT : 0));
    pollfd waits[2] = {{stop, POLLIN, 0}, {mosquitto_socket(m_handle), wanted, 0}};
    if (::poll(waits, 2, timeoutMs) < 0)
        waits[1].revents = 0;
    Service(waits[1].revents & (POLLIN | POLLHUP | POLLERR), waits[1].revents & POLLOUT);
}

void Connection::Service(bool readable, bool writable)
{
    if (m_state == State::Failed)
        return;
    int code = MOSQ_ERR_SUCCESS;
    if (readable)
        code = mosquitto_loop_read(m_handle, 1);
    if (code == MOSQ_ERR_SUCCESS && writable)
        code = mosquitto_loop_write(m_handle, 1);
    if (code == MOSQ_ERR_SUCCESS)
        code = mosquitto_loop_misc(m_handle);
    if (code != MOSQ_ERR_SUCCESS)
        FailOn(code);
}

std::vector<Message> Connection::TakeMessages()
{
    return std::move(m_received);
}

bool Connection::Publish(const std::string& topic, const std::string& payload, int qos)
{
    if (m_state != State::Up)
        return false;
    return mosquitto_publish(m_handle, nullptr, topic.c_str(), int(payload.size()), payload.data(),
                             qos, false) == MOSQ_ERR_SUCCESS;
}

bool Connection::Subscribe(const std::string& topic, int qos)
{
    return m_state == State::Up &&
           mosquitto_subscribe(m_handle, nullptr, topic.c_str(), qos) == MOSQ_ERR_SUCCESS;
}

void Connection::Close(int timeoutMs)
{
    if (m_state != State::Up)
        return;
    const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    mosquitto_disconnect(m_handle);
    while (mosquitto_want_write(m_handle) && std::chrono::steady_clock::now() < due) {
        pollfd ready{mosquitto_socket(m_handle), POLLOUT, 0};
        if (::poll(&ready, 1, 10) < 0 || mosquitto_loop_write(m_handle, 1) != MOSQ_ERR_SUCCESS)
            break;
    }
    m_state = State::Failed;
    m_failure = "closed";
}

void Connection::OnConnect(mosquitto*, void* self, int code)
{
    auto* connection = static_cast<Connection*>(self);
    if (code == 0)
        connection->m_state = State::Up;
    else
        connection->Fail(mosquitto_connack_string(code));
}

void Connection::OnDisconnect(mosquitto*, void* self, int code)
{
    auto* connection = static_cast<Connection*>(self);
    if (connection->m_state != State::Failed)
        connection->FailOn(code == 0 ? MOSQ_ERR_CONN_LOST : code);
}

void Connection::OnMessage(mosquitto*, void* self, const mosquitto_message* message)
{
    auto* connection = static_cast<Connection*>(self);
    connection->m_received.push_back(
        {message->topic,
         std::string(static_cast<const char*>(message->payload), size_t(message->payloadlen))});
}

void Connection::Fail(const std::string& why)
{
    if (m_state == State::Failed)
        return;
    m_state = State::Failed;
    m_failure = why;
}

void Connection::FailOn(int code)
{
    Fail(Why(code));
}

} // namespace mqtt
