// POCSAG front end: from samples to run lengths.
//
// In: SampleBlock, 1024 unscaled 16-bit values of the receiver's output, where
// the NRZ data shows as a two-level signal (discriminator output) or as pulses
// at the run ends (filtered line output).
// Stage: first of the decoder. The block is dithered by one sample unit,
// normalised to its own decaying peak, passed through a six-tap filter that
// turns each data transition into a half-wave (the difference of two
// three-sample sums for the discriminator, a six-sample moving sum for the line
// output), and normalised again. The half-waves are followed: the distance
// between the peaks of successive half-waves is the length of one run of equal
// bits.
// Out: IntervalRing, one signed entry per run (+n high, -n low, n in samples)
// or BreakMark after more than 1000 samples without an edge.
#include <cmath>

#include "pocsag.h"

namespace quorvel {

namespace {

constexpr std::array<std::array<double, 6>, 2> kCoefficientSets{{
    {-1.0, -1.0, -1.0, +1.0, +1.0, +1.0},  // "Discriminator output"
    {+1.0, +1.0, +1.0, +1.0, +1.0, +1.0},  // "Line output (filtered)"
}};

}  // namespace

void PocsagDecoder::PocsagSetCharacteristic() {
    const std::int32_t index = ctx_.settings.PocsagCharacteristic.load();
    if (index == 0 || index == 1) coefficientSet_.store(index);
}

void PocsagDecoder::PocsagLoadCoefficients() {
    FilterCoefficients = kCoefficientSets[static_cast<std::size_t>(coefficientSet_.load())];
}

void PocsagDecoder::PocsagDitherBlock() {
    for (std::size_t i = 0; i < PocsagWork.size(); ++i) {
        const double r = ctx_.NextRandom();
        PocsagWork[i] = ctx_.SampleBlock[i] + r - 0.5;
    }
}

void PocsagDecoder::PocsagNormaliseBlock() {
    for (double& x : PocsagWork) {
        const double a = std::fabs(x);
        if (a > InputPeak) {
            InputPeak = a;
        } else {
            InputPeak = InputPeak * 0.9999;
        }
        if (InputPeak < 1.0) InputPeak = 1.0;
        x = x / InputPeak;
    }
}

void PocsagDecoder::PocsagFilterBlock() {
    for (double& x : PocsagWork) {
        for (std::size_t k = 5; k > 0; --k) FilterHistory[k] = FilterHistory[k - 1];
        FilterHistory[0] = x;
        double y = 0.0;
        for (std::size_t k = 0; k < 6; ++k) y = y + FilterCoefficients[k] * FilterHistory[k];
        if (y > FilterPeak) {
            FilterPeak = y;
        } else {
            FilterPeak = FilterPeak * 0.9999;
        }
        if (FilterPeak < 1.0) FilterPeak = 1.0;
        x = y / FilterPeak;
    }
}

void PocsagDecoder::PocsagFindEdges() {
    if (std::abs(EdgePolarity) < 1) EdgePolarity = 1;
    std::int32_t i = 0;
    // Where in the input a run ends (for the events only): its peak, in this
    // block or, with a larger index, in the one before.
    auto endSample = [this, &i](std::int32_t peak) {
        return static_cast<double>(ctx_.BlockStart + peak - (peak > i ? 1024 : 0));
    };
    auto writeRun = [this, &endSample] {
        const std::int32_t n = (PeakIndex + 1024 - PrevPeakIndex) % 1024;
        IntervalRing[static_cast<std::size_t>(IntervalWrite)] = static_cast<double>(n * EdgePolarity);
        IntervalEndSample[static_cast<std::size_t>(IntervalWrite)] = endSample(PeakIndex);
        IntervalWrite = (IntervalWrite + 1) % 1024;
    };
    for (; i < 1024; ++i) {
        const double x = PocsagWork[static_cast<std::size_t>(i)];
        const double v = EdgePolarity * x;
        if (v > PeakValue) {
            PeakValue = v;
            PeakIndex = i;
        }
        if (v < -EdgeThreshold) {
            writeRun();
            EdgePolarity = x > 0 ? 1 : -1;
            PeakValue = EdgePolarity * x;
            PrevPeakIndex = PeakIndex;
            PeakIndex = i;
            SinceEdge = 0;
        }
        SinceEdge = SinceEdge + 1;
        if (SinceEdge > 1000) {
            if (PeakIndex != PrevPeakIndex) writeRun();
            IntervalRing[static_cast<std::size_t>(IntervalWrite)] = BreakMark;
            IntervalEndSample[static_cast<std::size_t>(IntervalWrite)] = endSample(i);
            IntervalWrite = (IntervalWrite + 1) % 1024;
            SinceEdge = 0;
            PrevPeakIndex = i;
            PeakIndex = i;
        }
    }
}

void PocsagDecoder::PocsagFrontEnd() {
    PocsagLoadCoefficients();
    PocsagDitherBlock();
    PocsagNormaliseBlock();
    PocsagFilterBlock();
    PocsagFindEdges();
    PocsagTrackBitRate();
}

}  // namespace quorvel
