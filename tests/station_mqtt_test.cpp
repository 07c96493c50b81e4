// MQTT against a real broker (Debian's mosquitto), started by the test on a free
// loopback port and stopped by its process id: every call of a recording
// published to TOPIC/<protocol> and compared with the JSON output; the broker
// killed and started again in the middle of traffic (nothing lost, order kept);
// a host that cannot be resolved at the start is not fatal.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <nlohmann/json.hpp>
#include <thread>

#include "station/mqtt.h"
#include "station_test_support.h"
#include "test_support.h"

extern char** environ;

namespace quorvel {
namespace {

using json = nlohmann::ordered_json;
using testing::Lines;
using testing::RunCommand;
using testing::ScratchDir;
using namespace std::chrono_literals;

const char* const kBroker = "/usr/sbin/mosquitto";

int FreePort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t n = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
    ::close(s);
    return ntohs(a.sin_port);
}

bool Listening(int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    return ok;
}

// A broker of the test's own. Its subscriptions persist, so a subscriber's
// session outlives a restart of the broker.
class Broker {
public:
    Broker(const ScratchDir& dir, int port, const std::string& extra = "") : port_(port) {
        config_ = dir.Write("mosquitto.conf", "listener " + std::to_string(port) +
                                                  " 127.0.0.1\nallow_anonymous true\nuser root\n"
                                                  "persistence true\npersistence_location " + dir.Path("") +
                                                  "/\nautosave_interval 1\nautosave_on_changes true\n"
                                                  "log_dest none\n" + extra);
    }
    ~Broker() { Kill(); }
    void Start() {
        char* argv[] = {const_cast<char*>(kBroker), const_cast<char*>("-c"), config_.data(), nullptr};
        posix_spawn_file_actions_t quiet;  // it warns about running as root
        posix_spawn_file_actions_init(&quiet);
        posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
        const int spawned = posix_spawn(&pid_, kBroker, &quiet, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&quiet);
        ASSERT_EQ(spawned, 0);
        for (int i = 0; i < 300 && !Listening(port_); ++i) std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(Listening(port_)) << "the broker did not start";
    }
    // Stopped as a service manager stops it (SIGTERM): a broker killed outright
    // loses what it had acknowledged but not yet saved, which no client can
    // make up for.
    void Kill() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

private:
    int port_;
    std::string config_;
    pid_t pid_ = -1;
};

// Collects what arrives on TOPIC/# in a persistent session (QoS 1), and
// reconnects by itself.
class Subscriber {
public:
    Subscriber(int port, const std::string& topic) : topic_(topic + "/#") {
        mosquitto_lib_init();
        mosq_ = mosquitto_new("quorvel-test-subscriber", false, this);
        mosquitto_connect_callback_set(mosq_, [](mosquitto* m, void* self, int rc) {
            if (rc == 0) mosquitto_subscribe(m, nullptr, static_cast<Subscriber*>(self)->topic_.c_str(), 1);
        });
        mosquitto_subscribe_callback_set(mosq_, [](mosquitto*, void* self, int, int, const int*) {
            static_cast<Subscriber*>(self)->subscribed_ = true;
        });
        mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
            auto* s = static_cast<Subscriber*>(self);
            std::lock_guard<std::mutex> hold(s->lock_);
            s->got_.emplace_back(m->topic, std::string(static_cast<const char*>(m->payload), m->payloadlen));
        });
        mosquitto_reconnect_delay_set(mosq_, 1, 1, false);
        mosquitto_connect(mosq_, "127.0.0.1", port, 30);
        mosquitto_loop_start(mosq_);
        for (int i = 0; i < 300 && !subscribed_; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_TRUE(subscribed_);
        std::this_thread::sleep_for(1200ms);  // the broker saves the session
    }
    ~Subscriber() {
        mosquitto_disconnect(mosq_);
        mosquitto_loop_stop(mosq_, true);
        mosquitto_destroy(mosq_);
    }
    // Until `count` different messages have come (QoS 1 may bring one twice).
    std::vector<std::pair<std::string, std::string>> WaitFor(std::size_t count, std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        for (;;) {
            {
                std::lock_guard<std::mutex> hold(lock_);
                const std::set<std::pair<std::string, std::string>> distinct(got_.begin(), got_.end());
                if (distinct.size() >= count || std::chrono::steady_clock::now() > end) return got_;
            }
            std::this_thread::sleep_for(20ms);
        }
    }

private:
    std::string topic_;
    mosquitto* mosq_ = nullptr;
    std::atomic<bool> subscribed_{false};
    std::mutex lock_;
    std::vector<std::pair<std::string, std::string>> got_;
};

TEST(StationMqtt, EveryCallOfARecordingAsItsJsonOnTopicSlashProtocol) {
    ScratchDir dir("station-mqtt-cli");
    ASSERT_EQ(testing::StationTraffic().WriteWav(dir.Path("traffic.wav")), "");
    dir.Write("names.csv", "protocol,address,subaddress,name\nzvei,54321,,Sirene\n");
    const int port = FreePort();
    Broker broker(dir, port);
    broker.Start();
    Subscriber subscriber(port, "station/one");
    const auto r = RunCommand(std::string(QUORVEL_DECODE_PATH) + " --format json --stats --aliases " +
                              dir.Path("names.csv") + " --mqtt mqtt://127.0.0.1:" + std::to_string(port) +
                              "/station/one " + dir.Path("traffic.wav"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find("quorvel-decode:"), std::string::npos) << "no complaint: " << r.err;
    std::vector<std::pair<std::string, std::string>> expected;
    for (const std::string& line : Lines(r.out)) {
        if (line.empty() || line[0] != '{') continue;
        const json o = json::parse(line);
        if (o.contains("event")) continue;  // transmission summaries are not calls
        expected.emplace_back("station/one/" + o["protocol"].get<std::string>(), line);
    }
    ASSERT_EQ(expected.size(), 13u);
    EXPECT_EQ(subscriber.WaitFor(expected.size(), 5s), expected);
    EXPECT_NE(r.err.find("mqtt delivered: 13\nmqtt queued: 0\nmqtt dropped: 0\n"), std::string::npos) << r.err;
}

TEST(StationMqtt, ABrokerKilledAndStartedAgainLosesNothingAndKeepsTheOrder) {
    ScratchDir dir("station-mqtt-restart");
    const int port = FreePort();
    Broker broker(dir, port);
    broker.Start();
    Subscriber subscriber(port, "restart");
    ::testing::internal::CaptureStderr();
    station::MqttTarget target;
    target.host = "127.0.0.1";
    target.port = port;
    target.topic = "restart";
    station::MqttPublisher publisher(target);
    constexpr int kCalls = 300;
    const auto start = std::chrono::steady_clock::now();
    double longestPublish = 0.0;
    auto publish = [&](int from, int to) {
        for (int i = from; i < to; ++i) {
            const auto t = std::chrono::steady_clock::now();
            publisher.Publish("pocsag", std::to_string(i));
            longestPublish = std::max(longestPublish, std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count());
            if (i % 10 == 0) std::this_thread::sleep_for(5ms);
        }
    };
    publish(0, 100);
    broker.Kill();  // in the middle of the traffic
    publish(100, 200);
    std::this_thread::sleep_for(1500ms);
    EXPECT_GT(publisher.Waiting(), 0u);
    broker.Start();
    publish(200, kCalls);
    publisher.Finish(30.0);  // reconnect attempts back off up to 8 s apart
    const auto got = subscriber.WaitFor(kCalls, 30s);  // the reconnect waits grow; a loaded machine is slow
    const std::string err = ::testing::internal::GetCapturedStderr();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    // QoS 1 may bring a call twice; every call must come, first times in order.
    std::vector<int> firstTimes;
    std::vector<bool> seen(kCalls, false);
    std::size_t twice = 0;
    for (const auto& [topic, payload] : got) {
        EXPECT_EQ(topic, "restart/pocsag");
        const int n = std::stoi(payload);
        ASSERT_TRUE(n >= 0 && n < kCalls);
        if (seen[static_cast<std::size_t>(n)]) {
            ++twice;
            continue;
        }
        seen[static_cast<std::size_t>(n)] = true;
        firstTimes.push_back(n);
    }
    std::vector<int> all(kCalls);
    for (int i = 0; i < kCalls; ++i) all[static_cast<std::size_t>(i)] = i;
    EXPECT_EQ(firstTimes, all);
    EXPECT_EQ(publisher.Delivered(), static_cast<std::uint64_t>(kCalls));
    EXPECT_EQ(publisher.Dropped(), 0u);
    // Publish never waits for the network: calls 100-199 are published while the
    // broker is away and it is started only after they return (were Publish to
    // wait for it, the test would hang here). How long each took is only shown.
    EXPECT_NE(err.find("MQTT broker 127.0.0.1:" + std::to_string(port) + " is away"), std::string::npos) << err;
    EXPECT_NE(err.find("MQTT broker 127.0.0.1:" + std::to_string(port) + " is back; delivering"), std::string::npos) << err;
    std::printf("broker restart: %d calls, %zu received twice, %.1f s, longest Publish %.3f s; stderr:\n%s", kCalls, twice,
                seconds, longestPublish, err.c_str());
}

TEST(StationMqtt, AHostThatCannotBeResolvedIsNotFatal) {
    ScratchDir dir("station-mqtt-nohost");
    ASSERT_EQ(testing::StationTraffic().WriteWav(dir.Path("traffic.wav")), "");
    const auto r = RunCommand(std::string(QUORVEL_DECODE_PATH) +
                              " --only fms --stats --mqtt-wait 0.5 --mqtt mqtt://no-such-host.invalid/t " +
                              dir.Path("traffic.wav"));
    EXPECT_EQ(r.status, 1) << "undelivered calls are lost\n" << r.err;
    EXPECT_EQ(Lines(r.out).size(), 3u) << r.out;  // decoded all the same
    EXPECT_NE(r.err.find("MQTT broker no-such-host.invalid:1883 is away (host name not resolved"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("3 call(s) not delivered"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("mqtt delivered: 0\nmqtt queued: 3\nmqtt dropped: 0\nlost: 3\n"), std::string::npos)
        << r.err;
}

// quorvel-decode as a service runs it: its standard input a pipe that this
// test writes and keeps open, its output in files.
class DecoderProcess {
public:
    DecoderProcess(const ScratchDir& dir, std::vector<std::string> args) : out_(dir.Path("out")), err_(dir.Path("err")) {
        std::signal(SIGPIPE, SIG_IGN);
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
        posix_spawn_file_actions_addopen(&actions, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(&actions, 2, err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        args.insert(args.begin(), QUORVEL_DECODE_PATH);
        args.emplace_back("-");
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        EXPECT_EQ(posix_spawn(&pid_, QUORVEL_DECODE_PATH, &actions, nullptr, argv.data(), environ), 0);
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[0]);
        input_ = fds[1];
    }
    ~DecoderProcess() {
        ::close(input_);
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    void Feed(const std::string& bytes) {
        for (std::size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::write(input_, bytes.data() + done, bytes.size() - done);
            ASSERT_GT(n, 0) << std::strerror(errno);
            done += static_cast<std::size_t>(n);
        }
    }
    void Signal(int signal) const { ::kill(pid_, signal); }
    std::string Out() const { return testing::ReadFile(out_); }
    std::string Err() const { return testing::ReadFile(err_); }
    // Until `text` shows in standard output (or error), at most `limit`.
    bool WaitFor(std::string (DecoderProcess::*stream)() const, const std::string& text, std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if ((this->*stream)().find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(20ms);
        }
        return false;
    }
    // The raw wait status, or -1 when the program has not ended within `limit`.
    int Wait(std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return status;
            }
            std::this_thread::sleep_for(20ms);
        }
        return -1;
    }

private:
    std::string out_, err_;
    pid_t pid_ = -1;
    int input_ = -1;
};

std::string CallRecording(const ScratchDir& dir) {
    const auto r = RunCommand(std::string(QUORVEL_GEN_PATH) + " pocsag -o " + dir.Path("call.wav") +
                              " --channels 1 --call 1234567,3,alpha,Halt --lead 0.3 --tail 0.5");
    EXPECT_EQ(r.status, 0) << r.err;
    return testing::ReadFile(dir.Path("call.wav"));
}

// SIGTERM while a hook still runs and the broker is away: the run ends after
// the hook has finished and the broker, back, has the call.
TEST(StationStop, ASignalFinishesWhatWasReadAndDeliversWhatIsQueued) {
    ScratchDir dir("station-stop");
    const int port = FreePort();
    Broker broker(dir, port);
    broker.Start();
    Subscriber subscriber(port, "stop");
    broker.Kill();  // away when the call comes
    const std::string marker = dir.Path("hook-ran"), go = dir.Path("go");
    DecoderProcess decoder(dir, {"--format", "json", "--stats", "--mqtt-wait", "120", "--exec",
                                 "cat > " + marker + ".part; until [ -e " + go + " ]; do sleep 0.05; done; mv " +
                                     marker + ".part " + marker,
                                 "--mqtt", "mqtt://127.0.0.1:" + std::to_string(port) + "/stop"});
    decoder.Feed(CallRecording(dir));
    ASSERT_TRUE(decoder.WaitFor(&DecoderProcess::Out, "\"ric\":1234567", 60s)) << decoder.Err();
    decoder.Signal(SIGTERM);
    ASSERT_TRUE(decoder.WaitFor(&DecoderProcess::Err, "stopped by a signal", 60s)) << decoder.Err();
    std::ofstream(go) << "";  // the hook may end now
    broker.Start();
    const int status = decoder.Wait(std::chrono::seconds(180));
    ASSERT_TRUE(WIFEXITED(status)) << status << "\n" << decoder.Err();
    EXPECT_EQ(WEXITSTATUS(status), 0) << decoder.Err();
    const std::string call = Lines(decoder.Out()).at(0);
    EXPECT_EQ(testing::ReadFile(marker), call + "\n");
    const auto got = subscriber.WaitFor(1, 30s);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0].second, call);
    const std::string err = decoder.Err();
    EXPECT_NE(err.find("blocks: "), std::string::npos) << err;
    EXPECT_NE(err.find("calls: 1\nfiltered: 0\nduplicates: 0\nhooks run: 1\nhooks failed: 0\nhooks dropped: 0\n"
                       "mqtt delivered: 1\nmqtt queued: 0\nmqtt dropped: 0\nlost: 0\n"),
              std::string::npos)
        << err;
}

TEST(StationStop, WhatCannotBeDeliveredIsReportedAndASecondSignalEndsAtOnce) {
    ScratchDir dir("station-stop-lost");
    const std::string recording = CallRecording(dir);
    const std::string away = "mqtt://127.0.0.1:" + std::to_string(FreePort()) + "/stop";
    {
        DecoderProcess decoder(dir, {"--stats", "--mqtt-wait", "0.5", "--mqtt", away});
        decoder.Feed(recording);
        ASSERT_TRUE(decoder.WaitFor(&DecoderProcess::Out, "1234567:", 60s)) << decoder.Err();
        decoder.Signal(SIGINT);
        const int status = decoder.Wait(std::chrono::seconds(60));
        ASSERT_TRUE(WIFEXITED(status)) << status << "\n" << decoder.Err();
        EXPECT_EQ(WEXITSTATUS(status), 1) << decoder.Err();
        const std::string err = decoder.Err();
        EXPECT_NE(err.find("1 call(s) not delivered to the MQTT broker"), std::string::npos) << err;
        EXPECT_NE(err.find("1 call(s) or hook run(s) lost"), std::string::npos) << err;
        EXPECT_NE(err.find("mqtt delivered: 0\nmqtt queued: 1\nmqtt dropped: 0\nlost: 1\n"), std::string::npos) << err;
    }
    {
        DecoderProcess decoder(dir, {"--mqtt-wait", "3600", "--mqtt", away});
        decoder.Feed(recording);
        ASSERT_TRUE(decoder.WaitFor(&DecoderProcess::Out, "1234567:", 60s)) << decoder.Err();
        decoder.Signal(SIGTERM);
        ASSERT_TRUE(decoder.WaitFor(&DecoderProcess::Err, "stopped by a signal", 60s)) << decoder.Err();
        decoder.Signal(SIGTERM);
        const int status = decoder.Wait(std::chrono::seconds(120));  // not the hour of --mqtt-wait
        ASSERT_NE(status, -1) << "the second signal did not end it";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
    }
}

// A broker that takes packets of at most 300 bytes closes the connection when
// a longer one comes (MQTT 3.1.1 has no other answer).
TEST(StationMqtt, ACallTheBrokerRefusesIsReportedAndDroppedAndTheOthersFlow) {
    ScratchDir dir("station-mqtt-refused");
    const int port = FreePort();
    Broker broker(dir, port, "max_packet_size 300\n");
    broker.Start();
    Subscriber subscriber(port, "refused");
    ::testing::internal::CaptureStderr();
    station::MqttTarget target;
    target.host = "127.0.0.1";
    target.port = port;
    target.topic = "refused";
    const auto losses = std::make_shared<std::atomic<std::uint64_t>>(0);
    station::MqttPublisher publisher(target, 100, losses);
    publisher.Publish("pocsag", "before");
    publisher.Publish("pocsag", std::string(600, 'L'), "the long call");
    publisher.Publish("pocsag", "after 1");
    publisher.Publish("pocsag", "after 2");
    publisher.Finish(120.0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    const auto got = subscriber.WaitFor(3, 30s);
    std::vector<std::string> payloads;
    for (const auto& [topic, payload] : got)
        if (payloads.empty() || payloads.back() != payload) payloads.push_back(payload);
    EXPECT_EQ(payloads, (std::vector<std::string>{"before", "after 1", "after 2"})) << err;
    EXPECT_EQ(publisher.Delivered(), 3u);
    EXPECT_EQ(publisher.Dropped(), 1u);
    EXPECT_EQ(losses->load(), 1u);
    EXPECT_NE(err.find("refused a call to refused/pocsag"), std::string::npos) << err;
    EXPECT_NE(err.find("; dropped: the long call\n"), std::string::npos) << err;
}

TEST(StationMqtt, AFullQueueNamesTheCallItDrops) {
    ::testing::internal::CaptureStderr();
    station::MqttTarget target;
    target.host = "127.0.0.1";
    target.port = FreePort();  // nobody there
    target.topic = "full";
    const auto losses = std::make_shared<std::atomic<std::uint64_t>>(0);
    station::MqttPublisher publisher(target, 1, losses);
    publisher.Publish("fms", "{}", "fms 63123456 status 2");
    publisher.Publish("fms", "{}", "fms 63123456 status 3");
    publisher.Finish(0.0);
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("MQTT queue full (1 calls waiting for the broker): dropped a call to full/fms: fms 63123456 "
                       "status 3\n"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("1 call(s) not delivered"), std::string::npos) << err;
    EXPECT_EQ(losses->load(), 2u);
}

}  // namespace
}  // namespace quorvel
