// POCSAG codeword framing and the per-block entry.
//
// In: BitRing, soft bits of the bit slicer (+-1, +-0.25 weak, BreakMark).
// Stage: third of the decoder. The synchronisation codeword 0x7CD215D8 is looked
// for at every bit position, as received or complemented (a receiver of the
// other polarity); after it come sixteen 32-bit codewords, two per frame, each
// complemented as well when the sync was. Each codeword's BCH(31,21) remainder
// is counted when non-zero, but no codeword is corrected: it is passed on as
// received. Weak bits are counted. A batch ends after sixteen codewords, at an
// all-zero codeword (not kept) or at a break in the signal.
// Out: Batch (element 0 the sync codeword, then frames 0..7), BatchReady, the
// bad-codeword and weak-bit counts.
#include <cmath>

#include "pocsag.h"

namespace quorvel {

std::uint32_t PocsagSyndrome(std::uint32_t cw) {
    std::uint32_t a = cw >> 1;
    std::uint32_t g = 0x769u << 21;
    for (int n = 31; n >= 10; --n) {
        if ((a >> n) == 1u) a ^= g;
        g >>= 1;
    }
    return a;
}

void PocsagDecoder::PocsagSearchSync() {
    std::int32_t n = PocsagBitsAvailable();
    bool found = false;
    while (n > 0 && !found) {
        const double v = BitRing[static_cast<std::size_t>(BitRead)];
        const std::uint32_t b = v > 0 ? 1u : 0u;
        WeakFlags[static_cast<std::size_t>(WeakIndex)] = std::fabs(v) < 0.5 ? 1 : 0;
        WeakIndex = (WeakIndex + 1) % 32;
        ShiftWord = (ShiftWord << 1) + b;
        if (ShiftWord == SyncCodeword) {
            found = true;
            Inverted = false;
        } else if (~ShiftWord == SyncCodeword) {
            ShiftWord = ~ShiftWord;
            found = true;
            Inverted = true;
        }
        if (found) {
            if (PocsagState == psFirstSync) FailCount = 0;
            PocsagState = psBatch;
            for (std::uint8_t w : WeakFlags) FailCount += w;
            BitInWord = 0;
        }
        --n;
        BitRead = (BitRead + 1) % 1024;
    }
    Batch.fill(0);
    BatchBad.fill(0);
    Batch[0] = ShiftWord;
    BatchCount = 1;
}

void PocsagDecoder::PocsagCollectCodewords() {
    std::int32_t n = PocsagBitsAvailable();
    while (!BatchReady && n > 0) {
        const double v = BitRing[static_cast<std::size_t>(BitRead)];
        if (v == BreakMark) {
            // A break ends the batch; hand it over from its start (the tracker
            // normally reports the loss in the same block and does the same).
            BatchReady = true;
            BatchRead = 0;
            BatchEndSample = BitEndSample[static_cast<std::size_t>(BitRead)];
        }
        const std::uint32_t b = v > 0 ? 1u : 0u;
        if (std::fabs(v) < 0.5) ++FailCount;
        ShiftWord = (ShiftWord << 1) + b;
        ++BitInWord;
        if (BitInWord == 32) {
            BitInWord = 0;
            if (Inverted) ShiftWord = ~ShiftWord;
            Batch[static_cast<std::size_t>(BatchCount)] = ShiftWord;
            BatchBad[static_cast<std::size_t>(BatchCount)] = PocsagSyndrome(ShiftWord) > 0 ? 1 : 0;
            if (BatchBad[static_cast<std::size_t>(BatchCount)] != 0) {
                ++CrcErrorCount;
                ++CallCrcErrors;
            }
            ++BatchCount;
            if (BatchCount >= 17 || ShiftWord == 0) {
                BatchEndSample = BitEndSample[static_cast<std::size_t>(BitRead)];
                BatchReady = true;
                PocsagState = psNextSync;
                BatchRead = 0;
                if (ShiftWord == 0) --BatchCount;
            }
        }
        --n;
        BitRead = (BitRead + 1) % 1024;
    }
    if (SignalLost) {
        BatchRead = 0;
        BatchReady = true;
        BatchEndSample = BitEndSample[static_cast<std::size_t>((BitRead + 1023) % 1024)];
    }
}

std::int64_t PocsagDecoder::CodewordEndSample(std::int32_t index) const {
    const double sample = BatchEndSample - (BatchCount - 1 - index) * 32.0 * BitPeriod;
    return sample > 0.0 ? static_cast<std::int64_t>(sample) : 0;
}

void PocsagDecoder::PocsagProcessBlock() {
    PocsagFrontEnd();
    PocsagBuildStatusLine();
    if (PocsagState > psSearchRate) {
        if (PocsagState == psBatch) PocsagBuildActivityLine();
        PocsagSliceBits();
    }
    if (PocsagState == psFirstSync || PocsagState == psNextSync) PocsagSearchSync();
    if (PocsagState == psBatch) PocsagCollectCodewords();
    while (BatchReady) {
        if (MessageState == 0) {
            PocsagFindAddress();
        } else {
            PocsagCollectMessage();
        }
    }
    if (SignalLost && PocsagState > psSearchRate) PocsagEndTransmission();
}

}  // namespace quorvel
