#include "events.h"

#include <algorithm>

namespace quorvel {

std::uint32_t FmsBitsValue(const std::array<std::uint8_t, 48>& bits, int a, int b) {
    std::uint32_t value = 0;
    for (int k = a; k <= b && k < 48; ++k) value |= static_cast<std::uint32_t>(bits[static_cast<std::size_t>(k)] == 1) << (k - a);
    return value;
}

std::uint32_t FmsTelegram::Field(int a, int b) const { return FmsBitsValue(bits, a, b); }

bool EventBus::Subscribe(EventSink& sink) {
    if (count_ >= Capacity) return false;
    sinks_[count_++] = &sink;
    return true;
}

void EventBus::Unsubscribe(EventSink& sink) {
    auto end = sinks_.begin() + static_cast<std::ptrdiff_t>(count_);
    auto it = std::remove(sinks_.begin(), end, &sink);
    count_ = static_cast<std::size_t>(it - sinks_.begin());
}

void EventBus::OnEvent(const Event& event) {
    for (std::size_t i = 0; i < count_; ++i) sinks_[i]->OnEvent(event);
}

}  // namespace quorvel
