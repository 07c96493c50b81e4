#include "mqtt.h"

#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <cstring>
#include <thread>
#include <fstream>
#include <vector>

#include "thread_signals.h"
#include "utf8.h"

namespace quorvel::station {

namespace {

using Steady = std::chrono::steady_clock;

void Report(const std::string& line) {
    const std::string text = "quorvel-decode: " + line + "\n";
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

std::string PercentDecode(const std::string& s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

// Bytes that would garble a message as \xNN.
std::string Escaped(const std::string& s) {
    const bool utf8 = ValidUtf8(s);
    std::string out;
    for (char ch : s) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F || (c >= 0x80 && !utf8)) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += ch;
        }
    }
    return out;
}

const char* Env(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? v : nullptr;
}

}  // namespace

bool ParseMqttUrl(const std::string& url, MqttTarget& t, std::string& error) {
    t = MqttTarget{};
    std::string rest;
    if (url.rfind("mqtt://", 0) == 0) {
        rest = url.substr(7);
    } else if (url.rfind("mqtts://", 0) == 0) {
        rest = url.substr(8);
        t.tls = true;
        t.port = 8883;
    } else {
        error = "'" + url + "': an MQTT URL begins with mqtt:// or mqtts://";
        return false;
    }
    const auto slash = rest.find('/');
    if (slash == std::string::npos || slash + 1 >= rest.size()) {
        error = "'" + url + "': no topic (mqtt://HOST[:PORT]/TOPIC)";
        return false;
    }
    std::string authority = rest.substr(0, slash);
    t.topic = rest.substr(slash + 1);
    while (!t.topic.empty() && t.topic.back() == '/') t.topic.pop_back();
    if (t.topic.empty() || t.topic.find_first_of("#+") != std::string::npos) {
        error = "'" + url + "': the topic must be a plain topic name (no # or +)";
        return false;
    }
    // What a broker would refuse on every publish is refused here, once.
    if (!ValidUtf8(t.topic) || HasControlCharacter(t.topic)) {
        error = "'" + Escaped(url) + "': the topic must be UTF-8 text without control characters";
        return false;
    }
    if (t.topic.size() > kMaxTopicBytes) {
        error = "'" + url + "': a topic of " + std::to_string(t.topic.size()) + " bytes (at most " +
                std::to_string(kMaxTopicBytes) + ")";
        return false;
    }
    const auto at = authority.rfind('@');
    if (at != std::string::npos) {
        const std::string credentials = authority.substr(0, at);
        authority = authority.substr(at + 1);
        const auto colon = credentials.find(':');
        t.user = PercentDecode(credentials.substr(0, colon));
        if (colon != std::string::npos) {
            t.password = PercentDecode(credentials.substr(colon + 1));
            t.passwordInUrl = true;
        }
    }
    if (t.user.empty()) {
        if (const char* u = Env("QUORVEL_MQTT_USER")) t.user = u;
    }
    if (t.password.empty() && !t.user.empty()) {
        if (const char* p = Env("QUORVEL_MQTT_PASSWORD")) t.password = p;
    }
    if (const char* ca = Env("QUORVEL_MQTT_CAFILE")) t.caFile = ca;
    std::string portText;
    if (!authority.empty() && authority[0] == '[') {  // [IPv6]
        const auto close = authority.find(']');
        if (close == std::string::npos) {
            error = "'" + url + "': an IPv6 address without its ']'";
            return false;
        }
        t.host = authority.substr(1, close - 1);
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != ':') {
                error = "'" + url + "': text after the IPv6 address";
                return false;
            }
            portText = authority.substr(close + 2);
        }
    } else {
        const auto colon = authority.find(':');
        t.host = authority.substr(0, colon);
        if (colon != std::string::npos) portText = authority.substr(colon + 1);
    }
    if (t.host.empty()) {
        error = "'" + url + "': no host";
        return false;
    }
    if (!portText.empty() || authority.back() == ':') {
        int port = 0;
        for (char c : portText) {
            if (c < '0' || c > '9' || port > 65535) {
                port = -1;
                break;
            }
            port = port * 10 + (c - '0');
        }
        if (portText.empty() || port < 1 || port > 65535) {
            error = "'" + url + "': bad port '" + portText + "'";
            return false;
        }
        t.port = port;
    }
    return true;
}

bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    if (!in || !std::getline(in, line)) {
        error = "'" + path + "': cannot be read (a file with the password on its first line)";
        return false;
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) {
        error = "'" + path + "': the first line (the password) is empty";
        return false;
    }
    password = line;
    return true;
}

struct MqttPublisher::Shared {
    MqttTarget target;
    std::size_t capacity = 0;
    std::shared_ptr<std::atomic<std::uint64_t>> losses;

    struct Item {
        std::string topic;
        std::string payload;
        std::string what;  // the call, for messages
        int mid = -1;  // while sent and not yet acknowledged
        bool acked = false;
        bool refused = false;  // done with, but not delivered
        int strikes = 0;       // connections lost while it was the only call in flight
    };
    std::mutex lock;
    std::condition_variable changed;
    std::deque<Item> queue;  // in order; the front ones may be in flight
    bool stop = false;
    bool done = false;  // the network thread has ended
    std::atomic<std::uint64_t> delivered{0}, dropped{0};

    // The network thread's own state.
    mosquitto* mosq = nullptr;
    bool connected = false;
    bool lost = false;
    std::string lostReason;
    bool away = false;  // reported as away and not yet as back
    // After a connection was lost with calls in flight: the first of them goes
    // alone until it is acknowledged, so that a call the broker answers by
    // closing the connection (too large for it) can be told from the others.
    bool solo = false;

    std::string Where() const { return target.host + ":" + std::to_string(target.port); }

    void Run();
    void Connect();
    void Drop(const std::string& reason);
    void SendWaiting();
    void Acknowledged(int mid);
    void Refuse(Item& item, const std::string& reason);
    void PopDone();  // under the lock
    void Lost(std::uint64_t n) {
        dropped += n;
        if (losses != nullptr) *losses += n;
    }
};

namespace {

constexpr int kKeepAliveSeconds = 30;
constexpr std::size_t kInFlight = 20;
// A call sent alone this many times, each time answered by a lost connection,
// is taken as refused by the broker.
constexpr int kStrikes = 3;

MqttPublisher::Shared* Self(void* p) { return static_cast<MqttPublisher::Shared*>(p); }

std::once_flag libraryInit;

}  // namespace

void MqttPublisher::Shared::Connect() {
    mosq = mosquitto_new(("quorvel-decode-" + std::to_string(::getpid())).c_str(), true, this);
    if (mosq == nullptr) {
        Drop("the MQTT client could not be made");
        return;
    }
    mosquitto_int_option(mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(mosq, [](mosquitto*, void* self, int rc) {
        if (rc == 0) {
            Self(self)->connected = true;
        } else {
            Self(self)->lost = true;
            Self(self)->lostReason = std::string("refused: ") + mosquitto_connack_string(rc);
        }
    });
    mosquitto_disconnect_callback_set(mosq, [](mosquitto*, void* self, int rc) {
        Self(self)->lost = true;
        if (Self(self)->lostReason.empty()) Self(self)->lostReason = rc == 0 ? "disconnected" : mosquitto_strerror(rc);
    });
    mosquitto_publish_callback_set(mosq, [](mosquitto*, void* self, int mid) { Self(self)->Acknowledged(mid); });
    if (!target.user.empty())
        mosquitto_username_pw_set(mosq, target.user.c_str(), target.password.empty() ? nullptr : target.password.c_str());
    if (target.tls) {
        int rc;
        if (!target.caFile.empty()) {
            rc = mosquitto_tls_set(mosq, target.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        } else {
            rc = mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            Drop(std::string("TLS set-up failed: ") + mosquitto_strerror(rc));
            return;
        }
    }
    lost = false;
    lostReason.clear();
    connected = false;
    const int rc = mosquitto_connect(mosq, target.host.c_str(), target.port, kKeepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        std::string reason = rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(rc);
        if (rc == MOSQ_ERR_EAI) reason = "host name not resolved (" + reason + ")";
        Drop(reason);
    }
}

// The connection is gone (or never came): whatever was in flight goes again
// from the front of the queue on the next connection.
void MqttPublisher::Shared::Drop(const std::string& reason) {
    if (mosq != nullptr) {
        mosquitto_destroy(mosq);
        mosq = nullptr;
    }
    connected = false;
    std::size_t waiting;
    Item* refused = nullptr;
    {
        std::lock_guard<std::mutex> hold(lock);
        const auto first = std::find_if(queue.begin(), queue.end(), [](const Item& i) { return !i.acked; });
        if (first != queue.end() && first->mid >= 0) {
            if (solo && ++first->strikes + 1 >= kStrikes) refused = &*first;
            solo = true;
        }
        for (Item& item : queue) item.mid = -1;
        waiting = queue.size();
    }
    if (refused != nullptr) {
        Refuse(*refused, "the broker closed the connection each of the " + std::to_string(kStrikes) +
                             " times it was sent (too large for the broker, or not allowed?)");
        solo = false;
        std::lock_guard<std::mutex> hold(lock);
        waiting = queue.size();
    }
    if (!away) {
        away = true;
        Report("MQTT broker " + Where() + " is away (" + reason + "); calls are kept in order (" +
               std::to_string(waiting) + " waiting) until it is back");
    }
}

// Items are only removed on this thread (Acknowledged), and Publish only
// appends, so the items picked under the lock stay where they are while they
// are sent without it.
void MqttPublisher::Shared::SendWaiting() {
    std::vector<Item*> next;
    {
        std::lock_guard<std::mutex> hold(lock);
        std::size_t inFlight = 0;
        const std::size_t limit = solo ? 1 : kInFlight;
        for (Item& item : queue) {
            if (inFlight >= limit) break;
            if (item.acked) continue;
            ++inFlight;
            if (item.mid < 0) next.push_back(&item);
        }
    }
    for (Item* item : next) {
        int mid = -1;
        const int rc = mosquitto_publish(mosq, &mid, item->topic.c_str(), static_cast<int>(item->payload.size()),
                                         item->payload.data(), 1, false);
        if (rc == MOSQ_ERR_INVAL || rc == MOSQ_ERR_MALFORMED_UTF8 || rc == MOSQ_ERR_PAYLOAD_SIZE ||
            rc == MOSQ_ERR_OVERSIZE_PACKET) {
            // This call can never go; the connection is fine for the others.
            Refuse(*item, mosquitto_strerror(rc));
            continue;
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            lost = true;
            lostReason = std::string("publish failed: ") + mosquitto_strerror(rc);
            return;
        }
        item->mid = mid;
    }
}

// Reported with its call and dropped; it leaves the queue in its turn.
void MqttPublisher::Shared::Refuse(Item& item, const std::string& reason) {
    std::string what, topic;
    {
        std::lock_guard<std::mutex> hold(lock);
        item.refused = item.acked = true;
        item.mid = -1;
        what = item.what;
        topic = item.topic;
        PopDone();  // `item` may be gone from here on
    }
    Lost(1);
    Report("MQTT broker " + Where() + " refused a call to " + topic + " (" + reason + ")" +
           (what.empty() ? std::string() : "; dropped: " + what));
    changed.notify_all();
}

void MqttPublisher::Shared::PopDone() {
    while (!queue.empty() && queue.front().acked) {
        if (!queue.front().refused) ++delivered;
        queue.pop_front();
    }
}

// Called within mosquitto_loop on the network thread.
void MqttPublisher::Shared::Acknowledged(int mid) {
    {
        std::lock_guard<std::mutex> hold(lock);
        for (Item& item : queue) {
            if (item.mid == mid && !item.acked) {
                item.acked = true;
                solo = false;
                break;
            }
        }
        PopDone();
    }
    changed.notify_all();
}

void MqttPublisher::Shared::Run() {
    auto backoff = std::chrono::milliseconds(1000);
    Steady::time_point nextAttempt = Steady::now();
    Steady::time_point connectStarted{};
    for (;;) {
        {
            std::unique_lock<std::mutex> hold(lock);
            if (stop) break;
            if (mosq == nullptr) {
                // Wait for the next attempt; a stop request ends the wait.
                if (changed.wait_until(hold, nextAttempt, [this] { return stop; })) break;
            }
        }
        if (mosq == nullptr) {
            Connect();
            connectStarted = Steady::now();
            if (mosq == nullptr) {
                nextAttempt = Steady::now() + backoff;
                backoff = std::min(backoff * 2, std::chrono::milliseconds(8000));
            }
            continue;
        }
        if (connected) SendWaiting();
        const int rc = mosquitto_loop(mosq, 50, 1);
        if (rc != MOSQ_ERR_SUCCESS && !lost) {
            lost = true;
            lostReason = rc == MOSQ_ERR_ERRNO ? std::string(std::strerror(errno)) : mosquitto_strerror(rc);
        }
        if (!connected && !lost && Steady::now() - connectStarted > std::chrono::seconds(10)) {
            lost = true;
            lostReason = "no answer to the connection request";
        }
        if (lost) {
            Drop(lostReason);
            nextAttempt = Steady::now() + backoff;
            backoff = std::min(backoff * 2, std::chrono::milliseconds(8000));
            continue;
        }
        if (connected) {
            backoff = std::chrono::milliseconds(1000);
            if (away) {
                away = false;
                std::size_t waiting;
                {
                    std::lock_guard<std::mutex> hold(lock);
                    waiting = queue.size();
                }
                Report("MQTT broker " + Where() + " is back; delivering " + std::to_string(waiting) +
                       " waiting call(s) in order");
            }
        }
    }
    if (mosq != nullptr) {
        if (connected) {
            mosquitto_disconnect(mosq);
            mosquitto_loop(mosq, 100, 1);
        }
        mosquitto_destroy(mosq);
        mosq = nullptr;
    }
    {
        std::lock_guard<std::mutex> hold(lock);
        done = true;
    }
    changed.notify_all();
}

MqttPublisher::MqttPublisher(MqttTarget target, std::size_t capacity,
                             std::shared_ptr<std::atomic<std::uint64_t>> losses)
    : shared_(std::make_shared<Shared>()) {
    std::call_once(libraryInit, [] { mosquitto_lib_init(); });
    shared_->target = std::move(target);
    shared_->capacity = capacity;
    shared_->losses = std::move(losses);
    const StopSignalsBlocked blocked;
    std::thread([s = shared_] { s->Run(); }).detach();
}

MqttPublisher::~MqttPublisher() { Finish(0.0); }

void MqttPublisher::Publish(const std::string& subtopic, const std::string& payload, const std::string& what) {
    Shared& s = *shared_;
    std::size_t size;
    {
        std::lock_guard<std::mutex> hold(s.lock);
        if (s.queue.size() < s.capacity && !s.stop) {
            s.queue.push_back({s.target.topic + "/" + subtopic, payload, what});
            return;
        }
        size = s.queue.size();
    }
    s.Lost(1);
    Report("MQTT queue full (" + std::to_string(size) + " calls waiting for the broker): dropped a call to " +
           s.target.topic + "/" + subtopic + (what.empty() ? std::string() : ": " + what));
}

void MqttPublisher::Finish(double maxSeconds) {
    if (finished_) return;
    finished_ = true;
    Shared& s = *shared_;
    std::size_t left;
    {
        std::unique_lock<std::mutex> hold(s.lock);
        s.changed.wait_for(hold, std::chrono::duration<double>(maxSeconds), [&s] { return s.queue.empty(); });
        s.stop = true;
        left = s.queue.size();
    }
    s.changed.notify_all();
    if (left > 0) {
        if (s.losses != nullptr) *s.losses += left;
        Report(std::to_string(left) + " call(s) not delivered to the MQTT broker " + s.Where() + " before the end");
    }
    // The thread ends at its next turn, after a clean disconnect. A connection
    // attempt to a host that does not answer can take minutes: the thread owns
    // its share of the state, so after a short wait the program goes on without it.
    std::unique_lock<std::mutex> hold(s.lock);
    s.changed.wait_for(hold, std::chrono::seconds(2), [&s] { return s.done; });
}

std::uint64_t MqttPublisher::Delivered() const { return shared_->delivered.load(); }
std::uint64_t MqttPublisher::Dropped() const { return shared_->dropped.load(); }
std::uint64_t MqttPublisher::Waiting() const {
    std::lock_guard<std::mutex> hold(shared_->lock);
    return shared_->queue.size();
}

}  // namespace quorvel::station
