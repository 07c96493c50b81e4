// MQTT: every call's JSON object published with QoS 1 to TOPIC/<protocol>
// (libmosquitto). Publish only queues the call and returns; one thread of its
// own connects, sends in order and removes a call from the queue when the
// broker has acknowledged it. When the broker is away (not reachable, or gone
// during traffic), calls wait in the bounded queue and go out in their order
// after reconnecting; standard error says when the broker is away and when it
// is back. A call the broker may have received just before a connection broke
// is sent again (QoS 1: at least once). A call the broker refuses (one it
// cannot take, or answers by closing the connection each time it comes) is
// reported with its call and dropped; the others flow on.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

namespace quorvel::station {

struct MqttTarget {
    bool tls = false;  // mqtts://
    std::string host;
    int port = 1883;
    std::string topic;  // without a trailing '/'
    std::string user;   // empty: none
    std::string password;
    bool passwordInUrl = false;
    std::string caFile;  // TLS: certificate authorities (empty: the system's)
};

// mqtt[s]://[USER[:PASSWORD]@]HOST[:PORT]/TOPIC. User and password not in the
// URL come from QUORVEL_MQTT_USER and QUORVEL_MQTT_PASSWORD; QUORVEL_MQTT_CAFILE
// names the certificate authorities for mqtts. False (and `error`) for a URL
// that cannot be used (a topic that is not UTF-8 text without control
// characters, # or + included); an unknown host is not checked here.
bool ParseMqttUrl(const std::string& url, MqttTarget& target, std::string& error);

// Room left in a topic's 65535 bytes for "/<protocol>".
constexpr std::size_t kMaxTopicBytes = 65000;

// The password on the first line of `path` (a line end is not part of it).
bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error);

class MqttPublisher {
public:
    // `losses`, when given, counts every call that is not delivered (dropped,
    // refused, or still queued at the end). Shared: the network thread may
    // outlive the publisher (see Finish).
    explicit MqttPublisher(MqttTarget target, std::size_t capacity = 10000,
                           std::shared_ptr<std::atomic<std::uint64_t>> losses = nullptr);
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    // Queues `payload` for TOPIC/<subtopic>; never waits for the network.
    // `what` names the call in messages.
    void Publish(const std::string& subtopic, const std::string& payload, const std::string& what = {});
    // Waits until the broker has acknowledged every queued call, at most
    // `maxSeconds`; reports what was not delivered, disconnects and ends the
    // thread.
    void Finish(double maxSeconds);

    std::uint64_t Delivered() const;
    std::uint64_t Dropped() const;  // queue full or refused
    std::uint64_t Waiting() const;  // queued, not yet acknowledged

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
    bool finished_ = false;
};

}  // namespace quorvel::station
