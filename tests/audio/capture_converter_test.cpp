// The converter from a sound card's frames to the capture ring's buffers: frames
// of any rate, channel count and sample type come out as 11025 Hz stereo 16-bit
// frames in the queued buffers, in order, one notice per filled buffer, clipped
// at full scale, and without a single allocation while frames arrive.
//
// Allocations are counted by replacing malloc and its relatives in this program
// (they forward to the C library's own), so the C library of the rate converter
// is watched as well as operator new.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numbers>
#include <ostream>
#include <type_traits>
#include <vector>

#include "audio/capture_converter.h"
#include "core/waveio.h"

// ---- allocation counting -------------------------------------------------------
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);
}

namespace {
std::atomic<bool> g_counting{false};
std::atomic<std::uint64_t> g_allocations{0};
inline void Count() {
    if (g_counting.load(std::memory_order_relaxed)) g_allocations.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" {
void* malloc(std::size_t n) {
    Count();
    return __libc_malloc(n);
}
void* calloc(std::size_t n, std::size_t size) {
    Count();
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t n) {
    Count();
    return __libc_realloc(p, n);
}
void free(void* p) { __libc_free(p); }
void* memalign(std::size_t alignment, std::size_t n) {
    Count();
    return __libc_memalign(alignment, n);
}
void* aligned_alloc(std::size_t alignment, std::size_t n) {
    Count();
    return __libc_memalign(alignment, n);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t n) {
    Count();
    void* p = __libc_memalign(alignment, n);
    if (p == nullptr) return 12;  // ENOMEM
    *out = p;
    return 0;
}
}

namespace quorvel {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kOut = DefaultSampleRate;

// The capture ring as the capture thread keeps it: 100 buffers queued in ring
// order; after every Receive the done buffers are taken in ring order, copied
// out and queued again.
class Ring final : public FilledBufferListener {
public:
    Ring() : data_(static_cast<std::size_t>(RingSize) * BufferSamples, 0), headers_(new WaveHeader[RingSize]) {
        for (int i = 0; i < RingSize; ++i) {
            headers_[i].data = data_.data() + static_cast<std::size_t>(i) * BufferSamples;
            headers_[i].bufferLength = BufferBytes;
        }
        out_.reserve(std::size_t{3} << 20);
        filledOrder_.reserve(1 << 16);
    }

    void Attach(CaptureConverter& c, int queued = RingSize) {
        converter_ = &c;
        for (int i = 0; i < queued; ++i) ASSERT_TRUE(c.Queue(headers_[i]));
        queuedUpTo_ = queued;
    }

    void BufferFilled(WaveHeader& h) override {
        ++signals_;
        const std::ptrdiff_t index = &h - headers_.get();
        filledOrder_.push_back(static_cast<int>(index));
        if (!(h.flags.load(std::memory_order_acquire) & WHDR_DONE)) ++notDoneAtSignal_;
        if (h.bytesRecorded != BufferBytes) ++wrongBytes_;
    }

    // What the capture thread does after a wake: take the done buffers in ring
    // order and queue them again.
    void Collect() {
        while (headers_[next_].flags.load(std::memory_order_acquire) & WHDR_DONE) {
            WaveHeader& h = headers_[next_];
            out_.insert(out_.end(), h.data, h.data + BufferSamples);
            ++collected_;
            if (requeue_) {
                ASSERT_TRUE(converter_->Queue(h));
                EXPECT_EQ(h.flags.load() & WHDR_DONE, 0u);
                EXPECT_EQ(h.bytesRecorded, 0);
            }
            next_ = (next_ + 1) % RingSize;
        }
    }

    WaveHeader& Header(int i) { return headers_[i]; }
    const std::vector<std::int16_t>& Out() const { return out_; }
    std::size_t OutFrames() const { return out_.size() / 2; }
    std::uint64_t Signals() const { return signals_; }
    std::uint64_t Collected() const { return collected_; }
    const std::vector<int>& FilledOrder() const { return filledOrder_; }
    int NotDoneAtSignal() const { return notDoneAtSignal_; }
    int WrongBytes() const { return wrongBytes_; }
    void SetRequeue(bool on) { requeue_ = on; }

private:
    std::vector<std::int16_t> data_;
    std::unique_ptr<WaveHeader[]> headers_;
    CaptureConverter* converter_ = nullptr;
    int queuedUpTo_ = 0;
    int next_ = 0;
    bool requeue_ = true;
    std::vector<std::int16_t> out_;
    std::vector<int> filledOrder_;
    std::uint64_t signals_ = 0;
    std::uint64_t collected_ = 0;
    int notDoneAtSignal_ = 0;
    int wrongBytes_ = 0;
};

// Feeds interleaved input to the converter in callbacks of the given sizes (in
// turn), collecting after each one; counts the allocations made inside Receive.
template <typename T>
std::uint64_t Feed(CaptureConverter& c, Ring& ring, const std::vector<T>& input, int channels,
                   const std::vector<std::size_t>& sizes) {
    const std::size_t frames = input.size() / static_cast<std::size_t>(channels);
    std::size_t pos = 0;
    std::size_t turn = 0;
    std::uint64_t allocations = 0;
    while (pos < frames) {
        const std::size_t n = std::min(sizes[turn++ % sizes.size()], frames - pos);
        const std::uint64_t before = g_allocations.load();
        g_counting.store(true);
        c.Receive(input.data() + pos * static_cast<std::size_t>(channels), n);
        g_counting.store(false);
        allocations += g_allocations.load() - before;
        pos += n;
        ring.Collect();
    }
    return allocations;
}

// Interleaved 16-bit sines, one frequency and amplitude per channel.
std::vector<std::int16_t> SineInt16(double rate, double seconds, const std::vector<double>& freq,
                                    const std::vector<double>& amp) {
    const std::size_t frames = static_cast<std::size_t>(std::lround(rate * seconds));
    const std::size_t c = freq.size();
    std::vector<std::int16_t> v(frames * c);
    for (std::size_t k = 0; k < frames; ++k)
        for (std::size_t ch = 0; ch < c; ++ch)
            v[k * c + ch] = static_cast<std::int16_t>(std::lround(amp[ch] * std::sin(2 * kPi * freq[ch] * k / rate)));
    return v;
}

std::vector<float> SineFloat(double rate, double seconds, const std::vector<double>& freq,
                             const std::vector<double>& amp) {
    const std::size_t frames = static_cast<std::size_t>(std::lround(rate * seconds));
    const std::size_t c = freq.size();
    std::vector<float> v(frames * c);
    for (std::size_t k = 0; k < frames; ++k)
        for (std::size_t ch = 0; ch < c; ++ch)
            v[k * c + ch] = static_cast<float>(amp[ch] * std::sin(2 * kPi * freq[ch] * k / rate));
    return v;
}

std::vector<double> Channel(const std::vector<std::int16_t>& stereo, int ch, std::size_t from, std::size_t to) {
    std::vector<double> v;
    for (std::size_t k = from; k < to; ++k) v.push_back(stereo[2 * k + static_cast<std::size_t>(ch)]);
    return v;
}

// Rising zero crossings, interpolated between samples.
std::vector<double> RisingCrossings(const std::vector<double>& x) {
    std::vector<double> t;
    for (std::size_t k = 1; k < x.size(); ++k)
        if (x[k - 1] < 0.0 && x[k] >= 0.0) t.push_back(static_cast<double>(k - 1) + x[k - 1] / (x[k - 1] - x[k]));
    return t;
}

double Rms(const std::vector<double>& x) {
    double s = 0.0;
    for (double v : x) s += v * v;
    return std::sqrt(s / static_cast<double>(x.size()));
}

// One tone of a long output: its frequency from the first to the last rising
// crossing, the largest deviation of a single period from the expected one (a
// lost or repeated stretch shows up there), and its peak level from the RMS.
void CheckTone(const std::vector<double>& x, double freq, double amplitude) {
    const std::vector<double> t = RisingCrossings(x);
    ASSERT_GT(t.size(), 100u);
    const double measured = static_cast<double>(t.size() - 1) * kOut / (t.back() - t.front());
    EXPECT_NEAR(measured, freq, freq * 2e-4) << "frequency";
    const double period = kOut / freq;
    double worst = 0.0;
    for (std::size_t i = 1; i < t.size(); ++i) worst = std::max(worst, std::abs(t[i] - t[i - 1] - period));
    EXPECT_LT(worst, 0.05) << "a period of " << period << " samples was off by " << worst;
    EXPECT_NEAR(Rms(x) * std::sqrt(2.0), amplitude, amplitude * 0.02) << "level";
}

const std::vector<std::size_t> kOddSizes = {441, 1000, 4096, 1, 777, 9999, 4458};

TEST(CaptureConverterAlloc, TheCounterSeesAllocations) {
    // The check below is only worth something if the counter works.
    const std::uint64_t before = g_allocations.load();
    g_counting.store(true);
    auto* p = new std::vector<int>(1000);
    void* q = std::malloc(64);
    g_counting.store(false);
    EXPECT_GE(g_allocations.load() - before, 3u);
    std::free(q);
    delete p;
}

TEST(CaptureConverter, RefusesWhatItCannotConvert) {
    EXPECT_FALSE(CaptureConverter(0.0, 2, CaptureSampleFormat::Int16, nullptr).Ready());
    EXPECT_FALSE(CaptureConverter(-48000.0, 2, CaptureSampleFormat::Int16, nullptr).Ready());
    EXPECT_FALSE(CaptureConverter(48000.0, 0, CaptureSampleFormat::Int16, nullptr).Ready());
    EXPECT_TRUE(CaptureConverter(48000.0, 1, CaptureSampleFormat::Float32, nullptr).Ready());
    EXPECT_FALSE(CaptureConverter(kOut, 2, CaptureSampleFormat::Int16, nullptr).Resampling());
    EXPECT_TRUE(CaptureConverter(44100.0, 2, CaptureSampleFormat::Int16, nullptr).Resampling());
}

TEST(CaptureConverter, QueueTakesOnlyWholeBlocksAndAtMostItsCapacity) {
    CaptureConverter c(kOut, 2, CaptureSampleFormat::Int16, nullptr);
    std::vector<std::int16_t> data(BufferSamples);
    WaveHeader bad;
    bad.data = data.data();
    bad.bufferLength = BufferBytes - 4;
    EXPECT_FALSE(c.Queue(bad));
    WaveHeader none;
    none.bufferLength = BufferBytes;
    EXPECT_FALSE(c.Queue(none));
    WaveHeader h;
    h.data = data.data();
    h.bufferLength = BufferBytes;
    h.bytesRecorded = 123;
    h.flags = WHDR_DONE;
    for (std::uint32_t i = 0; i < CaptureConverter::QueueCapacity; ++i) ASSERT_TRUE(c.Queue(h));
    EXPECT_EQ(h.bytesRecorded, 0);
    EXPECT_EQ(h.flags.load(), 0u);
    EXPECT_FALSE(c.Queue(h));
}

// 11025 Hz stereo: every frame comes through unchanged, in order, over 300
// buffers (three trips round the ring), whatever the callback sizes.
TEST(CaptureConverter, NativeFramesFillTheBuffersInOrder) {
    Ring ring;
    CaptureConverter c(kOut, 2, CaptureSampleFormat::Int16, &ring);
    ring.Attach(c);
    const std::size_t frames = 300 * 1024 + 500;
    std::vector<std::int16_t> in(frames * 2);
    for (std::size_t k = 0; k < frames; ++k) {
        in[2 * k] = static_cast<std::int16_t>(static_cast<std::uint16_t>(k & 0xffff));
        in[2 * k + 1] = static_cast<std::int16_t>(k >> 16);
    }
    EXPECT_EQ(Feed(c, ring, in, 2, kOddSizes), 0u);

    ASSERT_EQ(ring.OutFrames(), 300u * 1024);
    for (std::size_t k = 0; k < ring.OutFrames(); ++k) {
        const std::size_t got = static_cast<std::uint16_t>(ring.Out()[2 * k]) |
                                (static_cast<std::size_t>(static_cast<std::uint16_t>(ring.Out()[2 * k + 1])) << 16);
        ASSERT_EQ(got, k) << "frame " << k;
    }
    EXPECT_EQ(ring.Signals(), 300u);
    EXPECT_EQ(ring.Collected(), 300u);
    ASSERT_EQ(ring.FilledOrder().size(), 300u);
    for (std::size_t i = 0; i < 300; ++i) ASSERT_EQ(ring.FilledOrder()[i], static_cast<int>(i % RingSize));
    EXPECT_EQ(ring.NotDoneAtSignal(), 0);
    EXPECT_EQ(ring.WrongBytes(), 0);
    // The 500 frames of the unfinished buffer are there, but it is not done.
    EXPECT_EQ(c.DeliveredFrames(), frames);
    EXPECT_EQ(c.LostFrames(), 0u);
    EXPECT_EQ(ring.Header(0).flags.load() & WHDR_DONE, 0u);
    EXPECT_EQ(ring.Header(0).bytesRecorded, 0);
    EXPECT_EQ(ring.Header(0).data[2 * 499], static_cast<std::int16_t>((300 * 1024 + 499) & 0xffff));
}

// With no buffer queued the frames are lost (and counted), not written anywhere;
// buffers queued later get the frames that arrive later.
TEST(CaptureConverter, FramesWithoutAQueuedBufferAreLost) {
    Ring ring;
    ring.SetRequeue(false);
    CaptureConverter c(kOut, 2, CaptureSampleFormat::Int16, &ring);
    ring.Attach(c, 3);
    std::vector<std::int16_t> in(5 * 1024 * 2);
    for (std::size_t k = 0; k < in.size() / 2; ++k) in[2 * k] = in[2 * k + 1] = static_cast<std::int16_t>(k);
    Feed(c, ring, in, 2, {1000});
    EXPECT_EQ(ring.Signals(), 3u);
    EXPECT_EQ(c.DeliveredFrames(), 3u * 1024);
    EXPECT_EQ(c.LostFrames(), 2u * 1024);
    ASSERT_EQ(ring.OutFrames(), 3u * 1024);
    for (std::size_t k = 0; k < ring.OutFrames(); ++k) ASSERT_EQ(ring.Out()[2 * k], static_cast<std::int16_t>(k));
    EXPECT_EQ(ring.Header(3).flags.load() & WHDR_DONE, 0u);

    ASSERT_TRUE(c.Queue(ring.Header(3)));
    std::vector<std::int16_t> more(1024 * 2);
    for (std::size_t k = 0; k < 1024; ++k) more[2 * k] = more[2 * k + 1] = static_cast<std::int16_t>(7000 + k);
    c.Receive(more.data(), 1024);
    EXPECT_EQ(ring.Signals(), 4u);
    EXPECT_EQ(ring.Header(3).data[0], 7000);
    EXPECT_EQ(ring.Header(3).data[2 * 1023 + 1], 7000 + 1023);
}

// Clear forgets the queue and the half-filled buffer: after it the first buffer
// queued starts with the first frame that arrives.
TEST(CaptureConverter, ClearStartsAfresh) {
    Ring ring;
    ring.SetRequeue(false);
    CaptureConverter c(48000.0, 2, CaptureSampleFormat::Int16, &ring);
    ring.Attach(c, 8);
    // Most of a second of tone: some buffers full and one begun.
    const auto tone = SineInt16(48000.0, 0.6, {1000.0, 1000.0}, {10000.0, 10000.0});
    Feed(c, ring, tone, 2, {4096});
    const std::uint64_t full = c.DeliveredFrames() / 1024;
    ASSERT_GE(full, 4u);
    ASSERT_LT(full, 8u);
    ASSERT_NE(c.DeliveredFrames() % 1024, 0u);
    EXPECT_EQ(ring.Signals(), full);
    c.Clear();
    EXPECT_TRUE(c.Ready());
    // Queued after Clear: the first to be filled, from the silence that follows,
    // with no trace of the tone left in the converter.
    ASSERT_TRUE(c.Queue(ring.Header(10)));
    std::vector<std::int16_t> silence(2 * 48000, 0);
    g_counting.store(true);
    const std::uint64_t before = g_allocations.load();
    c.Receive(silence.data(), 48000);
    const std::uint64_t allocations = g_allocations.load() - before;
    g_counting.store(false);
    EXPECT_EQ(allocations, 0u);
    EXPECT_EQ(ring.Signals(), full + 1);
    EXPECT_EQ(ring.FilledOrder().back(), 10);
    EXPECT_EQ(ring.Header(static_cast<int>(full)).flags.load() & WHDR_DONE, 0u);
    int loudest = 0;
    for (int k = 0; k < BufferSamples; ++k) loudest = std::max(loudest, std::abs(int{ring.Header(10).data[k]}));
    EXPECT_LE(loudest, 1);
}

// One channel at 11025 Hz: each sample on both channels, unchanged.
TEST(CaptureConverter, MonoIsCopiedToBothChannels) {
    Ring ring;
    CaptureConverter c(kOut, 1, CaptureSampleFormat::Int16, &ring);
    ring.Attach(c);
    std::vector<std::int16_t> in(20 * 1024 + 33);
    for (std::size_t k = 0; k < in.size(); ++k) in[k] = static_cast<std::int16_t>((k * 7919) % 65536 - 32768);
    EXPECT_EQ(Feed(c, ring, in, 1, kOddSizes), 0u);
    ASSERT_EQ(ring.OutFrames(), 20u * 1024);
    for (std::size_t k = 0; k < ring.OutFrames(); ++k) {
        ASSERT_EQ(ring.Out()[2 * k], in[k]) << k;
        ASSERT_EQ(ring.Out()[2 * k + 1], in[k]) << k;
    }
}

// One channel at 48000 Hz: both channels carry the same converted tone.
TEST(CaptureConverter, MonoAt48000IsConvertedOntoBothChannels) {
    Ring ring;
    CaptureConverter c(48000.0, 1, CaptureSampleFormat::Int16, &ring);
    ring.Attach(c);
    const auto in = SineInt16(48000.0, 3.0, {700.0}, {12000.0});
    EXPECT_EQ(Feed(c, ring, in, 1, kOddSizes), 0u);
    ASSERT_GT(ring.OutFrames(), 30u * 1024);
    for (std::size_t k = 0; k < ring.OutFrames(); ++k) ASSERT_EQ(ring.Out()[2 * k], ring.Out()[2 * k + 1]) << k;
    CheckTone(Channel(ring.Out(), 1, 2000, ring.OutFrames() - 2000), 700.0, 12000.0);
}

// More than two channels: the first two are kept, in their order.
TEST(CaptureConverter, OfMoreChannelsTheFirstTwoAreKept) {
    Ring ring;
    CaptureConverter c(kOut, 4, CaptureSampleFormat::Int16, &ring);
    ring.Attach(c);
    std::vector<std::int16_t> in(4 * 5 * 1024);
    for (std::size_t k = 0; k < in.size() / 4; ++k) {
        in[4 * k] = static_cast<std::int16_t>(k);
        in[4 * k + 1] = static_cast<std::int16_t>(-static_cast<int>(k));
        in[4 * k + 2] = 30000;
        in[4 * k + 3] = -30000;
    }
    Feed(c, ring, in, 4, kOddSizes);
    ASSERT_EQ(ring.OutFrames(), 5u * 1024);
    for (std::size_t k = 0; k < ring.OutFrames(); ++k) {
        ASSERT_EQ(ring.Out()[2 * k], static_cast<std::int16_t>(k));
        ASSERT_EQ(ring.Out()[2 * k + 1], static_cast<std::int16_t>(-static_cast<int>(k)));
    }
}

// A minute of stereo at a device rate: 11025 frames a second (give or take what
// the rate converter holds, the same after ten seconds as after sixty), each
// channel's tone at its frequency and level, every period in place, buffers in
// ring order with a notice each, no allocation on the way.
struct RateCase {
    double rate;
    CaptureSampleFormat format;
    double held;  // frames the rate converter may hold back, at most
};
void PrintTo(const RateCase& c, std::ostream* os) {
    *os << c.rate << " Hz " << (c.format == CaptureSampleFormat::Int16 ? "16-bit" : "float");
}

class CaptureConverterRates : public ::testing::TestWithParam<RateCase> {};

TEST_P(CaptureConverterRates, AMinuteOfTwoTones) {
    const RateCase rc = GetParam();
    Ring ring;
    CaptureConverter c(rc.rate, 2, rc.format, &ring);
    ASSERT_TRUE(c.Ready());
    ASSERT_TRUE(c.Resampling());
    ring.Attach(c);
    // Sixty seconds, fed as ten and then fifty.
    constexpr double kSeconds = 60.0;
    const std::vector<double> freq = {1000.0, 1500.0};
    std::uint64_t allocations = 0;
    std::uint64_t at10 = 0;
    auto run = [&](const auto& in) {
        const std::size_t split = static_cast<std::size_t>(std::lround(rc.rate * 10.0)) * 2;
        using V = std::decay_t<decltype(in)>;
        const V first(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(split));
        const V rest(in.begin() + static_cast<std::ptrdiff_t>(split), in.end());
        allocations += Feed(c, ring, first, 2, kOddSizes);
        at10 = c.DeliveredFrames() + c.LostFrames();
        allocations += Feed(c, ring, rest, 2, kOddSizes);
    };
    if (rc.format == CaptureSampleFormat::Int16)
        run(SineInt16(rc.rate, kSeconds, freq, {16000.0, 8000.0}));
    else
        run(SineFloat(rc.rate, kSeconds, freq, {16000.0 / 32768, 8000.0 / 32768}));
    EXPECT_EQ(allocations, 0u);

    const std::uint64_t made = c.DeliveredFrames() + c.LostFrames();
    std::printf("rate %.0f: %llu frames after 10 s, %llu after 60 s\n", rc.rate, static_cast<unsigned long long>(at10),
                static_cast<unsigned long long>(made));
    // Ten seconds make 110250 frames, less what the rate converter still holds;
    // never more.
    EXPECT_LE(at10, 110250u + 5);
    EXPECT_GE(at10, 110250u - static_cast<std::uint64_t>(rc.held));
    EXPECT_LE(made, 661500u + 5);
    EXPECT_GE(made, 661500u - static_cast<std::uint64_t>(rc.held));
    // No drift: the fifty seconds in between made fifty seconds of frames.
    EXPECT_NEAR(static_cast<double>(made - at10), 50 * kOut, rc.held);
    EXPECT_EQ(c.LostFrames(), 0u);
    EXPECT_EQ(ring.Signals(), made / 1024);
    EXPECT_EQ(ring.Collected(), made / 1024);
    for (std::size_t i = 0; i < ring.FilledOrder().size(); ++i)
        ASSERT_EQ(ring.FilledOrder()[i], static_cast<int>(i % RingSize));
    EXPECT_EQ(ring.NotDoneAtSignal(), 0);
    EXPECT_EQ(ring.WrongBytes(), 0);
    EXPECT_EQ(c.ClippedSamples(), 0u);

    // Away from the start, where the filter settles.
    const std::size_t n = ring.OutFrames();
    ASSERT_EQ(n, made / 1024 * 1024);
    CheckTone(Channel(ring.Out(), 0, 2000, n), 1000.0, 16000.0);
    CheckTone(Channel(ring.Out(), 1, 2000, n), 1500.0, 8000.0);
}

INSTANTIATE_TEST_SUITE_P(Rates, CaptureConverterRates,
                         ::testing::Values(RateCase{48000.0, CaptureSampleFormat::Int16, 1000.0},
                                           RateCase{44100.0, CaptureSampleFormat::Int16, 1000.0},
                                           RateCase{48000.0, CaptureSampleFormat::Float32, 1000.0},
                                           RateCase{22050.0, CaptureSampleFormat::Int16, 1300.0},
                                           RateCase{8000.0, CaptureSampleFormat::Int16, 1300.0}),
                         [](const auto& info) {
                             return std::to_string(static_cast<int>(info.param.rate)) +
                                    (info.param.format == CaptureSampleFormat::Int16 ? "Int16" : "Float");
                         });

// Floating-point samples at 11025 Hz: rounded to 16 bits, clipped at full scale.
TEST(CaptureConverter, FloatSamplesAreRoundedAndClipped) {
    Ring ring;
    CaptureConverter c(kOut, 2, CaptureSampleFormat::Float32, &ring);
    ring.Attach(c);
    const float values[] = {0.0f, 0.5f, -0.5f, 1.0f, -1.0f, 1.5f, -1.5f, 1e9f, -1e9f, std::nanf(""), 0.25f / 32768};
    std::vector<float> in;
    for (std::size_t k = 0; k < 1024; ++k) {
        in.push_back(values[k % std::size(values)]);
        in.push_back(-values[k % std::size(values)]);
    }
    Feed(c, ring, in, 2, {441});
    ASSERT_EQ(ring.OutFrames(), 1024u);
    const std::int16_t left[] = {0, 16384, -16384, 32767, -32768, 32767, -32768, 32767, -32768, 0, 0};
    const std::int16_t right[] = {0, -16384, 16384, -32768, 32767, -32768, 32767, -32768, 32767, 0, 0};
    for (std::size_t k = 0; k < 1024; ++k) {
        ASSERT_EQ(ring.Out()[2 * k], left[k % std::size(left)]) << k;
        ASSERT_EQ(ring.Out()[2 * k + 1], right[k % std::size(right)]) << k;
    }
    EXPECT_GT(c.ClippedSamples(), 0u);
}

// A floating-point sine above full scale through the rate converter is clipped:
// flat tops at +-full scale, never a jump to the other sign.
TEST(CaptureConverter, OverloadIsClippedNotWrapped) {
    Ring ring;
    CaptureConverter c(48000.0, 2, CaptureSampleFormat::Float32, &ring);
    ring.Attach(c);
    EXPECT_EQ(Feed(c, ring, SineFloat(48000.0, 4.0, {100.0, 100.0}, {1.2, 1.2}), 2, kOddSizes), 0u);
    const std::size_t n = ring.OutFrames();
    ASSERT_GT(n, 40u * 1024);
    int most = 0;
    int least = 0;
    int biggestStep = 0;
    std::size_t atFull = 0;
    for (std::size_t k = 2000; k < n; ++k) {
        const int v = ring.Out()[2 * k];
        most = std::max(most, v);
        least = std::min(least, v);
        biggestStep = std::max(biggestStep, std::abs(v - ring.Out()[2 * (k - 1)]));
        if (v >= 32700 || v <= -32700) ++atFull;
    }
    EXPECT_EQ(most, 32767);
    EXPECT_EQ(least, -32768);
    // A 100 Hz sine moves at most 2 pi 100 / 11025 x 1.2 full scale per sample.
    EXPECT_LT(biggestStep, 2500);
    // 1.2 x sin exceeds 1 for 1 - (2/pi) asin(1/1.2) = 37.3 % of the time.
    const double share = static_cast<double>(atFull) / static_cast<double>(n - 2000);
    EXPECT_NEAR(share, 0.373, 0.02);
    EXPECT_GT(c.ClippedSamples(), 0u);
}

// A full-scale 16-bit square wave rings above full scale after conversion; the
// ringing is clipped, so the sign changes only at the square's edges.
TEST(CaptureConverter, RingingOfAFullScaleSquareIsClipped) {
    Ring ring;
    CaptureConverter c(48000.0, 2, CaptureSampleFormat::Int16, &ring);
    ring.Attach(c);
    std::vector<std::int16_t> in(2 * 48000 * 4);
    for (std::size_t k = 0; k < in.size() / 2; ++k) {
        const bool high = (k / 480) % 2 == 0;  // 50 Hz
        in[2 * k] = in[2 * k + 1] = high ? 32767 : -32768;
    }
    EXPECT_EQ(Feed(c, ring, in, 2, kOddSizes), 0u);
    EXPECT_GT(c.ClippedSamples(), 0u);
    const std::size_t n = ring.OutFrames();
    ASSERT_GT(n, 40u * 1024);
    // From the first second on: the start from silence rings around zero.
    const std::size_t from = 11025;
    std::size_t changes = 0;
    for (std::size_t k = from + 1; k < n; ++k)
        if ((ring.Out()[2 * k] < 0) != (ring.Out()[2 * k - 1] < 0)) ++changes;
    // 100 edges per second.
    const double expected = 100.0 * static_cast<double>(n - from) / kOut;
    EXPECT_NEAR(static_cast<double>(changes), expected, 2.0);
}

}  // namespace
}  // namespace quorvel
