// One connection to an MQTT broker, driven from its owner's own poll loop: the thin layer over
// libmosquitto through which every MQTT call of the bridge goes.
#ifndef MQTT_CLIENT_H
#define MQTT_CLIENT_H

#include <cstdint>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace mqtt
{

struct Options {
    std::string host;
    uint16_t port = 1883;
    std::string clientId;
    std::string user; // empty: no login
    std::string password;
    std::string caFile;   // empty: no TLS
    std::string certFile; // the client's certificate and key, when the broker asks for one
    std::string keyFile;
    // Registered before connecting; the broker publishes it if the connection ends unclean.
    std::string willTopic;
    std::string willPayload;
    int keepAliveSeconds = 10;
};

struct Message {
    std::string topic;
    std::string payload;
};

// Made per connection: the will can only change between connections. The connect is begun at
// once and never blocks on the network; a refused login or a failed handshake show as Failed.
class Connection
{
public:
    enum class State { Connecting, Up, Failed };

    explicit Connection(const Options& options);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    State Current() const { return m_state; }
    // Why the connection failed or ended, for the log.
    const std::string& Failure() const { return m_failure; }
    // Sleeps until the connection can go on, stop is readable or timeoutMs has passed, then
    // reads and writes what it can and keeps the connection alive.
    void Serve(int stop, int timeoutMs);
    // Messages are queued for a broker that does not take them as fast as they come.
    bool Backlogged() const;
    // The messages received since the last call.
    std::vector<Message> TakeMessages();

    // False when the connection is not up or the library refused the message.
    bool Publish(const std::string& topic, const std::string& payload, int qos);
    bool Subscribe(const std::string& topic, int qos);
    // Sends what is queued, within timeoutMs at most, then disconnects in order (which cancels
    // the will).
    void Close(int timeoutMs);

private:
    static void OnConnect(mosquitto* handle, void* self, int code);
    static void OnDisconnect(mosquitto* handle, void* self, int code);
    static void OnMessage(mosquitto* handle, void* self, const mosquitto_message* message);
    void Service(bool readable, bool writable);
    void Fail(const std::string& why);
    void FailOn(int code);

    mosquitto* m_handle = nullptr;
    State m_state = State::Connecting;
    std::string m_failure;
    std::vector<Message> m_received;
};

} // namespace mqtt

#endif // MQTT_CLIENT_H
