// Cost of one whole pass of the processing loop per block: conditioning and all
// three decoders switched on (the specified ones, or the sensitive ones), over a
// noisy input.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

#include "render/standard_engine.h"
#include "gen/signal.h"

namespace {

class RepeatingBlocks final : public quorvel::BlockSource {
public:
    explicit RepeatingBlocks(std::vector<double> samples) : samples_(std::move(samples)) {}
    std::int32_t PendingBlocks() const override { return pending_; }
    void ExtractBlock(quorvel::SampleArray& block) override {
        for (double& x : block) {
            x = samples_[position_];
            position_ = (position_ + 1) % samples_.size();
        }
        --pending_;
    }
    void Release(std::int32_t blocks) { pending_ = blocks; }

private:
    std::vector<double> samples_;
    std::size_t position_ = 0;
    std::int32_t pending_ = 0;
};

// state.range(0): 1 for the sensitive decoders.
void BM_WholeChainPerBlock(benchmark::State& state) {
    quorvel::FixedClock clock;
    auto engine = std::make_unique<quorvel::StandardEngine>(clock);
    engine->ctx.settings.Sensitive = state.range(0) != 0;
    engine->ctx.settings.PocsagEnabled = true;
    engine->ctx.settings.FmsEnabled = true;
    engine->ctx.settings.ZveiEnabled = true;
    quorvel::gen::NoiseSource noise(11);
    std::vector<double> samples(quorvel::FramesPerBlock * 64);
    for (double& x : samples) x = std::nearbyint(2000.0 * noise.Gaussian());
    RepeatingBlocks source(std::move(samples));
    std::string taken;
    for (auto _ : state) {
        source.Release(1);
        engine->ProcessPendingBlocks(source);
        engine->ctx.TakeText(taken);
    }
    state.SetItemsProcessed(state.iterations() * quorvel::FramesPerBlock);
}
BENCHMARK(BM_WholeChainPerBlock)->Arg(0)->Arg(1);

}  // namespace
