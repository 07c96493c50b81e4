// The POCSAG decoder's stages driven one by one: BCH remainder, edge intervals,
// bit-rate tracker, bit slicer, sync search and batches, message assembly,
// status lines and the end of a transmission.
#include <gtest/gtest.h>

#include <string>

#include "render/text_renderer.h"
#include "core/pocsag.h"
#include "gen/pocsag_gen.h"
#include "gen/signal.h"

namespace quorvel {
namespace {

struct Fixture {
    FixedClock clock{DateTime{2024, 5, 6, 14, 3, 7, 0}};
    SharedContext ctx{clock};
    TextRenderer text{ctx};
    PocsagDecoder d{ctx};

    // Step 6 of the per-block entry: hand the batch to message assembly.
    void Assemble() {
        while (d.BatchReady) {
            if (d.MessageState == 0) {
                d.PocsagFindAddress();
            } else {
                d.PocsagCollectMessage();
            }
        }
    }
    void LoadBatch(std::initializer_list<std::uint32_t> words) {
        d.Batch.fill(0);
        std::int32_t n = 0;
        for (std::uint32_t w : words) d.Batch[static_cast<std::size_t>(n++)] = w;
        d.BatchCount = n;
        d.BatchRead = 0;
        d.BatchReady = true;
    }
};

std::uint32_t AddressWord(std::uint32_t ric, int function) {
    return gen::PocsagEncodeBch(((ric >> 3) << 2) | static_cast<std::uint32_t>(function));
}
std::uint32_t MessageWord(std::uint32_t bits20) { return gen::PocsagEncodeBch((1u << 20) | bits20); }

TEST(PocsagSyndrome, ValidWordsAndSingleBitErrors) {
    EXPECT_EQ(PocsagSyndrome(0x7CD215D8u), 0u);
    EXPECT_EQ(PocsagSyndrome(0x7A89C197u), 0u);
    EXPECT_EQ(PocsagSyndrome(0u), 0u);
    EXPECT_EQ(PocsagSyndrome(0xFFFFFFFFu), 0u);
    EXPECT_EQ(PocsagSyndrome(0x7CD215D8u ^ 1u), 0u);  // parity bit ignored
    EXPECT_EQ(PocsagSyndrome(0x7CD215D8u ^ 2u), 1u);
    EXPECT_EQ(PocsagSyndrome(0x7CD215D8u ^ 0x80000000u), 948u);
    EXPECT_NE(PocsagSyndrome(0x7CD215D8u ^ 0x00010000u), 0u);
}

TEST(PocsagFrontEnd, RunStraddlingTwoBlocksGetsItsTrueLength) {
    Fixture f;
    auto& d = f.d;
    d.PocsagWork.fill(0.0);
    d.PocsagWork[800] = 1.0;    // peak of a high half-wave
    d.PocsagWork[850] = -0.5;   // swings low: the high run 0..800 ends
    d.PocsagWork[1000] = -1.0;  // peak of the low half-wave at 1000
    d.PocsagFindEdges();
    ASSERT_EQ(d.IntervalWrite, 1);
    EXPECT_EQ(d.IntervalRing[0], 800.0);
    d.PocsagWork.fill(0.0);
    d.PocsagWork[10] = 0.5;   // swings high: the low run 800..1000 ends
    d.PocsagWork[20] = 1.0;   // peak of the high half-wave in the next block
    d.PocsagWork[30] = -1.0;  // swings low: the high run 1000..20 ends
    d.PocsagFindEdges();
    ASSERT_EQ(d.IntervalWrite, 3);
    EXPECT_EQ(d.IntervalRing[1], -200.0);
    EXPECT_EQ(d.IntervalRing[2], 44.0);
}

TEST(PocsagFrontEnd, SilenceWritesBreakMarkAndAnEdgeAfterItGivesZero) {
    Fixture f;
    auto& d = f.d;
    d.PocsagWork.fill(0.0);
    d.PocsagWork[5] = 1.0;  // the peak moved: the pending run is written first
    d.PocsagFindEdges();
    ASSERT_EQ(d.IntervalWrite, 2);
    EXPECT_EQ(d.IntervalRing[0], 5.0);
    EXPECT_EQ(d.IntervalRing[1], BreakMark);
    EXPECT_EQ(d.PeakIndex, 1000);
    EXPECT_EQ(d.PrevPeakIndex, 1000);
    // An edge right after the mark, before a new peak: a run of 0.
    d.PocsagWork.fill(0.0);
    d.PocsagWork[0] = -1.0;
    d.PocsagFindEdges();
    ASSERT_EQ(d.IntervalWrite, 5);
    EXPECT_EQ(d.IntervalRing[2], 0.0);
    // The low half-wave peaked at 0 and nothing followed for 1000 samples.
    EXPECT_EQ(d.IntervalRing[3], -24.0);
    EXPECT_EQ(d.IntervalRing[4], BreakMark);
}

TEST(PocsagFrontEnd, PeaksNeverFallBelowOneAndFilterFollowsCharacteristic) {
    Fixture f;
    auto& d = f.d;
    f.ctx.SampleBlock.fill(0.0);
    d.PocsagFrontEnd();
    EXPECT_EQ(d.InputPeak, 1.0);  // the dither alone is not amplified
    EXPECT_GE(d.FilterPeak, 1.0);
    EXPECT_EQ(d.FilterCoefficients[0], -1.0);
    EXPECT_EQ(d.FilterCoefficients[5], 1.0);

    f.ctx.settings.PocsagCharacteristic.store(1);
    EXPECT_EQ(d.FilterCoefficients[0], -1.0);  // not before the next block
    d.PocsagSetCharacteristic();
    d.PocsagFrontEnd();
    for (double c : d.FilterCoefficients) EXPECT_EQ(c, 1.0);

    f.ctx.settings.PocsagCharacteristic.store(7);  // no such item: unchanged
    d.PocsagSetCharacteristic();
    d.PocsagFrontEnd();
    for (double c : d.FilterCoefficients) EXPECT_EQ(c, 1.0);
}

TEST(PocsagTracker, WeightsSettleAtOneHundredAndAcquisitionWaitsForHistory) {
    Fixture f;
    auto& d = f.d;
    for (int i = 0; i < 99; ++i) d.PocsagTrackEntry(i % 2 ? 9.0 : -9.0);
    EXPECT_EQ(d.PocsagState, psSearchRate);  // history not yet filled to element 100
    for (int i = 0; i < 1200; ++i) d.PocsagTrackEntry(i % 2 ? 9.0 : -9.0);
    EXPECT_NEAR(d.MultipleWeights[1], 100.0, 1e-6);
    EXPECT_NEAR(d.MultipleWeights[0], 0.0, 1e-6);
    EXPECT_NEAR(d.MultipleWeights[2] + d.MultipleWeights[3] + d.MultipleWeights[4], 0.0, 1e-6);
    EXPECT_EQ(d.PocsagState, psFirstSync);
    EXPECT_NEAR(d.CoarsePeriod, 9.0, 0.01);
    EXPECT_DOUBLE_EQ(d.BitPeriod, 9.0);
    EXPECT_FALSE(d.SignalLost);
    // A break always fails the stability test and ends the transmission.
    d.PocsagTrackEntry(BreakMark);
    EXPECT_TRUE(d.SignalLost);
    EXPECT_DOUBLE_EQ(d.TransmissionBitRate, 11025.0 / 9.0);
    EXPECT_EQ(d.RunBits, 0);
}

TEST(PocsagTracker, NoiseAndSilenceAreNeverAcquired) {
    // After the filter, noise and the dither of a silent input give runs of
    // about four samples, where the coarse period sits at its floor.
    for (double amplitude : {0.0, 300.0, 8000.0}) {
        Fixture f;
        auto& d = f.d;
        gen::NoiseSource noise(11);
        for (int block = 0; block < 120; ++block) {
            for (double& x : f.ctx.SampleBlock) x = RoundHalfEvenValue(amplitude * noise.Gaussian());
            d.PocsagProcessBlock();
            ASSERT_EQ(d.PocsagState, psSearchRate) << "amplitude " << amplitude << ", block " << block;
        }
        EXPECT_GT(d.MisfitWeight, 30.0);
        EXPECT_LT(d.CoarsePeriod, 5.0);
        EXPECT_EQ(f.ctx.MessageText, "");
    }
}

TEST(PocsagSlicer, HalvesToEvenAndTheFourTenthsBoundary) {
    Fixture f;
    auto& d = f.d;
    d.BitPeriod = 10.0;
    const double runs[] = {25.0, -35.0, 16.0, 6.0, 15.0, 0.0, 1000.0};
    for (double r : runs) {
        d.IntervalRing[static_cast<std::size_t>(d.IntervalWrite)] = r;
        d.IntervalWrite++;
    }
    d.PocsagSliceBits();
    const double expected[] = {1, 0.25,             // 2.5 periods: q = 2, remainder 0.5
                               -1, -1, -1, -0.25,   // 3.5 periods: q = 4
                               1, 1,                // 1.6 periods: remainder exactly 0.4
                               1,                   // 0.6 periods: q = 1, remainder 0.4
                               1, 0.25,             // 1.5 periods: q = 2, remainder 0.5
                               -1,                  // length 0: one full low bit
                               BreakMark};
    ASSERT_EQ(d.BitWrite, static_cast<std::int32_t>(std::size(expected)));
    for (std::size_t i = 0; i < std::size(expected); ++i) EXPECT_EQ(d.BitRing[i], expected[i]) << "bit " << i;
    EXPECT_EQ(d.SliceRead, d.IntervalWrite);
}

// Put bits into BitRing as +-1 (weak ones as +-0.25).
void PushBits(PocsagDecoder& d, std::uint32_t word, int count, bool inverted = false) {
    for (int k = count - 1; k >= 0; --k) {
        const bool one = (((word >> k) & 1u) != 0) != inverted;
        d.BitRing[static_cast<std::size_t>(d.BitWrite)] = one ? 1.0 : -1.0;
        d.BitWrite = (d.BitWrite + 1) % 1024;
    }
}

TEST(PocsagFraming, SyncFoundAtEveryOffsetInBothPolarities) {
    for (bool inverted : {false, true}) {
        for (int offset = 0; offset < 32; ++offset) {
            Fixture f;
            auto& d = f.d;
            d.PocsagState = psFirstSync;
            PushBits(d, 0xAAAAAAAAu, offset, inverted);
            PushBits(d, SyncCodeword, 32, inverted);
            PushBits(d, IdleCodeword, 32, inverted);
            d.PocsagSearchSync();
            ASSERT_EQ(d.PocsagState, psBatch) << offset;
            EXPECT_EQ(d.Inverted, inverted);
            EXPECT_EQ(d.Batch[0], SyncCodeword);
            EXPECT_EQ(d.BitRead, offset + 32);  // stops right after the sync
            d.PocsagCollectCodewords();
            EXPECT_EQ(d.Batch[1], IdleCodeword);
            EXPECT_EQ(d.BatchCount, 2);
            EXPECT_FALSE(d.BatchReady);
        }
    }
}

TEST(PocsagFraming, AllZeroWordEndsBatchAndWeakBitsAndBadWordsAreCounted) {
    Fixture f;
    auto& d = f.d;
    d.PocsagState = psFirstSync;
    PushBits(d, SyncCodeword, 32);
    d.BitRing[static_cast<std::size_t>(d.BitWrite - 1)] = -0.25;  // weak last bit of the sync
    PushBits(d, IdleCodeword ^ 0x00100000u, 32);                    // one bad bit
    d.BitRing[static_cast<std::size_t>(d.BitWrite - 3)] = 0.25;     // a weak bit
    PushBits(d, 0u, 32);
    PushBits(d, IdleCodeword, 32);  // left for the next sync search
    d.PocsagSearchSync();
    EXPECT_EQ(d.FailCount, 1);
    d.PocsagCollectCodewords();
    EXPECT_TRUE(d.BatchReady);
    EXPECT_EQ(d.PocsagState, psNextSync);
    EXPECT_EQ(d.BatchCount, 2);  // sync + the bad idle, the zero word not kept
    EXPECT_EQ(d.Batch[1], IdleCodeword ^ 0x00100000u);
    EXPECT_EQ(d.FailCount, 2);
    EXPECT_EQ(d.CrcErrorCount, 1);
    EXPECT_EQ(f.d.CallCrcErrors, 1);
    EXPECT_EQ(d.PocsagBitsAvailable(), 32);
}

TEST(PocsagFraming, BreakMarkEndsBatchAndIsNotWeak) {
    Fixture f;
    auto& d = f.d;
    d.PocsagState = psFirstSync;
    PushBits(d, SyncCodeword, 32);
    PushBits(d, IdleCodeword, 20);
    d.BitRing[static_cast<std::size_t>(d.BitWrite)] = BreakMark;
    d.BitWrite++;
    PushBits(d, IdleCodeword, 32);
    d.PocsagSearchSync();
    d.PocsagCollectCodewords();
    EXPECT_TRUE(d.BatchReady);
    EXPECT_EQ(d.BatchRead, 0);
    EXPECT_EQ(d.BatchCount, 1);  // the unfinished codeword is dropped
    EXPECT_EQ(d.FailCount, 0);
    EXPECT_EQ(d.PocsagBitsAvailable(), 32);
}

TEST(PocsagMessages, DigitsCharactersAndTheFrameOfAnAddress) {
    Fixture f;
    // Address in element 8 (frame 3), one message codeword, then idle.
    f.LoadBatch({SyncCodeword, IdleCodeword, IdleCodeword, IdleCodeword, IdleCodeword, IdleCodeword, IdleCodeword,
                 IdleCodeword, AddressWord(123456 * 8, 2), MessageWord(0x84C2A), IdleCodeword});
    f.Assemble();
    EXPECT_EQ(f.ctx.MessageText, "0987651:\t2\tNumerisch:\t12345\r\n\t\tAlphaNum:\t!<ACK>\r\n");
    EXPECT_EQ(f.d.CurrentAddress, 123456u * 8u + 3u);
    EXPECT_EQ(f.d.SyncCount, 1);
    EXPECT_EQ(f.d.IdleCount, 8);
    EXPECT_EQ(f.d.MessageState, 0);

    Fixture g;
    g.LoadBatch({SyncCodeword, IdleCodeword, IdleCodeword, IdleCodeword, IdleCodeword, IdleCodeword, IdleCodeword,
                 IdleCodeword, IdleCodeword, IdleCodeword, IdleCodeword, IdleCodeword, IdleCodeword, IdleCodeword,
                 IdleCodeword, IdleCodeword, AddressWord(8, 0)});
    g.Assemble();
    EXPECT_EQ(g.d.CurrentAddress, 15u);  // element 16: frame 7
    EXPECT_EQ(g.ctx.MessageText, "0000015:\t0\t");
    EXPECT_EQ(g.d.MessageState, 1);
}

TEST(PocsagMessages, PlainAndOffsetCharacters) {
    Fixture f;
    f.LoadBatch({SyncCodeword, AddressWord(1000, 3), MessageWord(0x82870), IdleCodeword});
    f.Assemble();
    EXPECT_EQ(f.ctx.MessageText, "0001000:\t3\tNumerisch:\t141]0\r\n\t\tAlphaNum:\tAB\r\n");
    Fixture g;
    g.LoadBatch({SyncCodeword, AddressWord(4000, 3), MessageWord(0x82870), MessageWord(0x40000), IdleCodeword});
    g.Assemble();
    // Offset mode: the first codeword's characters in hexadecimal; the third
    // character (code 3) ends in the second codeword and is named; codes 1
    // and 0 both give NUL.
    EXPECT_EQ(g.ctx.MessageText,
              "0004000:\t3\tNumerisch:\t141]020000\r\n\t\tAlphaNum:\tSkyper: 40 41 <STX><NUL><NUL>\r\n");
}

TEST(PocsagMessages, BeepsLongMessagesAndBatchBoundaries) {
    Fixture f;
    // Address followed directly by another address, then by idle: two Beeps.
    f.LoadBatch({SyncCodeword, AddressWord(80, 0), AddressWord(88, 1), IdleCodeword});
    f.Assemble();
    EXPECT_EQ(f.ctx.MessageText, "0000080:\t0\tBeep \r\n0000088:\t1\tBeep \r\n");
    EXPECT_EQ(f.d.IdleCount, 1);

    // 70 message codewords over five batches: the first 63 are rendered, and
    // five or more give no numeric line.
    Fixture g;
    g.LoadBatch({SyncCodeword, AddressWord(16, 1), MessageWord(0), MessageWord(0), MessageWord(0), MessageWord(0),
                 MessageWord(0), MessageWord(0), MessageWord(0), MessageWord(0), MessageWord(0), MessageWord(0),
                 MessageWord(0), MessageWord(0), MessageWord(0), MessageWord(0), MessageWord(0)});
    g.Assemble();
    for (int b = 0; b < 3; ++b) {
        g.LoadBatch({SyncCodeword, MessageWord(0), MessageWord(0), MessageWord(0), MessageWord(0), MessageWord(0),
                     MessageWord(0), MessageWord(0), MessageWord(0), MessageWord(0), MessageWord(0), MessageWord(0),
                     MessageWord(0), MessageWord(0), MessageWord(0), MessageWord(0), MessageWord(0)});
        g.Assemble();
    }
    g.LoadBatch({SyncCodeword, MessageWord(0), MessageWord(0), MessageWord(0), MessageWord(0), MessageWord(0),
                 MessageWord(0), MessageWord(0), IdleCodeword});
    g.Assemble();
    std::string nuls;
    for (int i = 0; i < 63 * 20 / 7; ++i) nuls += "<NUL>";
    EXPECT_EQ(g.ctx.MessageText, "0000016:\t1\tAlphaNum:\t" + nuls + "\r\n");
    EXPECT_EQ(g.d.SyncCount, 5);
}

TEST(PocsagStatus, LinesAndTheEndOfATransmission) {
    Fixture f;
    auto& d = f.d;
    f.ctx.SampleBlock.fill(0.0);
    d.PocsagProcessBlock();
    EXPECT_EQ(f.ctx.PocsagStatusLine.Get(), "level\tfreq\tspeed\r\n1\tno tone\tnoise");

    d.MultipleWeights = {0.0, 95.0, 3.0, 1.0, 1.0};
    d.AverageBitRate = 1201;
    d.PocsagBuildStatusLine();
    EXPECT_EQ(f.ctx.PocsagStatusLine.Get(), "level\tfreq\tspeed\r\n1\t600\t1201");

    d.IdleCount = 4;
    d.SyncCount = 2;
    d.FailCount = 3;
    d.RunBits = 77;
    d.PocsagBuildActivityLine();
    EXPECT_EQ(f.ctx.ActivityLine.Get(), "POCSAG\r\nidles\tsyncs\tfails\tcount\r\n4\t2\t3\t77");

    // Lost while a message is open: the line is closed before the summary.
    d.PocsagState = psBatch;
    d.MessageState = 1;
    d.SignalLost = true;
    d.CrcErrorCount = 5;
    d.TransmissionBits = 1000;
    d.TransmissionBitRate = 1199.996;
    d.StartTime = DateTime{2024, 5, 6, 14, 2, 59, 0};
    f.d.CallCrcErrors = 5;
    d.PocsagEndTransmission();
    EXPECT_EQ(f.ctx.MessageText,
              "\r\n14:02:59 - 14:03:07\tidles: 4  syncs: 2  counts: 1000  speed: 1200.00  fails: 3  crcerrors: 5\r\n\r\n");
    EXPECT_EQ(f.d.CallCrcErrors, 0);
    EXPECT_EQ(d.PocsagState, psSearchRate);
    EXPECT_FALSE(d.SignalLost);
    EXPECT_EQ(d.MessageState, 0);
    EXPECT_EQ(d.IdleCount + d.SyncCount + d.FailCount + d.CrcErrorCount, 0);

    // Nothing framed: no summary, but the reset still happens.
    f.ctx.MessageText.clear();
    d.PocsagState = psFirstSync;
    d.SignalLost = true;
    f.d.CallCrcErrors = 2;
    d.PocsagEndTransmission();
    EXPECT_EQ(f.ctx.MessageText, "");
    EXPECT_EQ(d.PocsagState, psSearchRate);
    EXPECT_EQ(f.d.CallCrcErrors, 2);
}

}  // namespace
}  // namespace quorvel
