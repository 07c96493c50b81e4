// Cost of one scope step (trigger search and a whole trace) on a sine, and of a
// search that finds no crossing (the worst case: 1023 comparisons).
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <numbers>

#include "render/standard_engine.h"
#include "core/scope.h"

namespace {

void BM_DrawScopeSine(benchmark::State& state) {
    quorvel::FixedClock clock;
    auto engine = std::make_unique<quorvel::StandardEngine>(clock);
    for (std::int32_t i = 0; i < quorvel::FramesPerBlock; ++i)
        engine->ctx.SampleBlock[i] = std::round(8000.0 * std::sin(2 * std::numbers::pi * 440.0 * i / 11025.0));
    engine->ctx.stats.AcLevel = 8000.0;
    quorvel::Scope scope(engine->ctx);
    for (auto _ : state) {
        scope.DrawScope();
        benchmark::DoNotOptimize(scope.ScopeTrace().data());
    }
}
BENCHMARK(BM_DrawScopeSine);

void BM_DrawScopeNoCrossing(benchmark::State& state) {
    quorvel::FixedClock clock;
    auto engine = std::make_unique<quorvel::StandardEngine>(clock);
    engine->ctx.SampleBlock.fill(5000.0);
    engine->ctx.stats.AcLevel = 5000.0;
    quorvel::Scope scope(engine->ctx);
    for (auto _ : state) {
        scope.DrawScope();
        benchmark::DoNotOptimize(scope.TraceActive());
    }
}
BENCHMARK(BM_DrawScopeNoCrossing);

}  // namespace
