#include "call_writer.h"

namespace quorvel::store {

CallWriter::CallWriter(std::unique_ptr<CallStore> store, FailureReport failed, std::size_t capacity)
    : store_(std::move(store)), failed_(std::move(failed)), capacity_(capacity), thread_([this] { Run(); }) {}

CallWriter::~CallWriter() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

bool CallWriter::Submit(StoredCall call) {
    {
        std::lock_guard lock(mutex_);
        if (queue_.size() >= capacity_) {
            ++lost_;
            return false;
        }
        queue_.push_back(std::move(call));
    }
    wake_.notify_one();
    return true;
}

void CallWriter::Drain() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

void CallWriter::Run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty()) break;  // stopping, and everything written
        StoredCall call = std::move(queue_.front());
        queue_.pop_front();
        busy_ = true;
        lock.unlock();
        std::string error;
        if (store_->Add(call, error)) {
            ++stored_;
        } else {
            ++lost_;
            if (failed_) failed_(call, error);
        }
        lock.lock();
        busy_ = false;
        if (queue_.empty()) idle_.notify_all();
    }
    idle_.notify_all();
}

}  // namespace quorvel::store
