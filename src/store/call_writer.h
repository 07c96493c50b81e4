// Adds calls to a CallStore on a thread of its own, so that a file locked by
// another writer or a slow disk never holds up decoding: calls wait in a
// bounded queue and are written in their order.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "call_store.h"

namespace quorvel::store {

class CallWriter {
public:
    // `failed` is called (on the writer's thread) for each call that could not
    // be written, with the reason.
    using FailureReport = std::function<void(const StoredCall&, const std::string&)>;
    CallWriter(std::unique_ptr<CallStore> store, FailureReport failed, std::size_t capacity = 10000);
    // Writes what is queued, then ends the thread.
    ~CallWriter();
    CallWriter(const CallWriter&) = delete;
    CallWriter& operator=(const CallWriter&) = delete;

    // Queues a call; false (and counted as lost) when the queue is full.
    bool Submit(StoredCall call);
    // Waits until every queued call is written or has failed.
    void Drain();

    std::uint64_t Stored() const { return stored_.load(); }
    std::uint64_t Lost() const { return lost_.load(); }

private:
    void Run();

    std::unique_ptr<CallStore> store_;
    FailureReport failed_;
    std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable idle_;
    std::deque<StoredCall> queue_;
    bool busy_ = false;  // a call taken from the queue, not yet written
    bool stopping_ = false;
    std::atomic<std::uint64_t> stored_{0};
    std::atomic<std::uint64_t> lost_{0};
    std::thread thread_;
};

}  // namespace quorvel::store
