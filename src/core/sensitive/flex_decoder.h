// The FLEX decoder: pages of all four modes, both polarities, every phase.
//
// The signal and its layout are described in flex_protocol.h, the stages in
// flex_stages.h. How it listens:
//   searching  every sample goes through a 0.5 Hz high-pass (and, from the
//              receiver's line output, an equaliser back to the
//              discriminator's levels) into the sync search and, through the
//              pulse filters, into the sample rings;
//   header     a sync 1 found: the symbol clock starts at A's first symbol
//              (1600/s, two levels, level and DC from the sync window) and
//              reads the FIW 80 symbols on; it must correct cheaply and its
//              check character must fit, or the frame is dropped;
//   blocks     at sync 2 the clock changes to the mode's symbol rate and the
//              slicer to its levels; the 11 blocks' symbols go by phase and
//              position into the frame buffer;
//   frame end  every phase is read: BIW1, the address field, one vector per
//              address word, the messages. Each word is decoded to the
//              cheapest codeword the search meets (the parity bit counts once
//              words received whole show even parity), and trusted by how much
//              likelier it is than its nearest rival, judged against the noise
//              of its block (Trusted). What a wrong word would cost sets the
//              ratio it needs: most for address words, which nothing checks;
//              less for BIW1 and vectors, less again where the sender fills
//              their check character; least for message words under a check
//              that fits. Where checks can choose, a doubtful word gives way to
//              its rival: a BIW1 failing a check character the sender fills, a
//              vector whose alphanumeric message fits only one way, up to two
//              message words of a whole alphanumeric message (check and
//              signature). A BIW1 not beyond doubt must give a layout that
//              holds, and one in doubt (or its rival) is settled by its
//              vector field's check characters. Messages lie after the vector
//              field. Alphanumeric
//              fragments wait in the joiner for the rest.
// The sync search runs all the time, so the next frame's sync is found while a
// frame is still being read and taken up when it ends.
//
// Out: FlexPage events. Draws nothing from NextRandom; allocates only the texts
// of a page (never per block).
#pragma once

#include <array>
#include <cstdint>

#include "core/biquad.h"
#include "core/processing.h"
#include "core/registry.h"
#include "flex_stages.h"

namespace quorvel {

struct KindDescription;
// FLEX pages as the rest of the program sees them (flex_kind.cpp).
extern const KindDescription FlexKind;

struct FlexStats {
    std::int64_t frames = 0;          // frames whose FIW was read
    std::int64_t fiwRejected = 0;     // syncs whose FIW did not correct or check
    std::int64_t pages = 0;           // pages shown
    std::int64_t rejectedPages = 0;   // addressed pages not shown (words or checks)
    // Fragmented messages given up (out of order, left waiting, input ended)
    // and later fragments without their message.
    std::int64_t droppedFragments = 0;
    std::int64_t otherVectors = 0;    // vectors of kinds not shown (instructions, spare)
    // Pages whose words were all corrected but whose (guessed) check did not
    // fit: many of these on clean signals would mean the guess is wrong.
    std::int64_t checkMismatches = 0;
    std::int64_t noisyPhases = 0;  // phases not read: too many doubtful words
    // Doubtful words replaced by their rival codeword because the checks
    // around them chose it (BIW1, vectors, alphanumeric message words).
    std::int64_t rivalsTaken = 0;
};

class FlexDecoder final : public BlockDecoder {
public:
    explicit FlexDecoder(SharedContext& ctx);
    FlexDecoder(const FlexDecoder&) = delete;
    FlexDecoder& operator=(const FlexDecoder&) = delete;

    void ProcessBlock() override;
    bool Busy() const override { return state_ != State::Searching; }
    void FinishInput() override;
    void AppendStats(std::string& out) const override;
    const FlexStats& Stats() const { return stats_; }

    // Trust in a corrected word is the log-likelihood ratio of the codeword
    // taken over the nearest rival the search met: 2 x margin / noise
    // variance of its soft values (Gaussian noise on levels +-1). A word no
    // check covers needs a high ratio; how high grows with the noise, because
    // where words are noisy many more of them lie near a rival (at 0 dB even
    // a perfect decoder takes one address word in nine for another).
    // Required ratios at a noise variance of 0.25 (3 dB) and less:
    // Address words: nothing checks them. On two levels at 3 dB wrong ones
    // showed at ratios of 5 to 6 about once in 10^4 pages; on four levels
    // the ratios are doubled anyway.
    static constexpr double AddressLlr = 6.0;
    static constexpr double FourLevelAddressLlr = 5.0;
    static constexpr double CheckedLlr = 4.0;   // BIW1 (with a layout that holds) and vectors
    static constexpr double FirmBiwLlr = 10.0;  // a BIW1 taken without looking at its layout
    static constexpr double MessageLlr = 5.0;   // message words of a page without a strong check
    static constexpr double StrongLlr = 2.0;    // message words whose 10-bit fragment check fits
    static constexpr double NumericLlr = 2.5;   // numeric message words whose 6-bit check fits
    static constexpr double UncheckedLlr = 9.0;  // message words whose check does not fit
    // ... and each 0.25 of variance above that adds this much.
    static constexpr double LlrPerQuarterVariance = 6.0;
    // On four levels the soft values are less Gaussian (each symbol's spill
    // is taken off by decisions that may be wrong): all ratios times this.
    static constexpr double FourLevelFactor = 2.0;
    // From the line output what the equaliser leaves of the audio path is
    // not Gaussian noise either (3200/2 showed a wrong page in 1000 at 6 dB
    // with the ratios as they are, one in 3200 at 9 dB with them times 1.5):
    // all ratios times this too.
    static constexpr double LineFactor = 2.0;
    // Absolute margins below which a word is never trusted, whatever the
    // noise says (levels and noise are estimates).
    static constexpr double MinMargin = 0.4;
    static constexpr double MinStrongMargin = 0.3;
    // An address word whose bits had to move far to reach any codeword lies
    // in a spot noisier than its block shows: beyond this cost it is taken
    // only when its rival lies further beyond it than it lies from the word
    // received. (At 3 dB, taking them all gained 0.4 % of pages and one
    // wrong address per 600 pages gained, where all other pages together
    // show one in 40000.)
    static constexpr double MaxAddressCost = 1.0;
    bool AddressTrusted(const flex::Corrected& c) const;
    double RequiredLlr(double base, double noise) const;
    bool Trusted(const flex::Corrected& c, double base, double minMargin = MinMargin) const;
    // The FIW is read before any noise is measured: its correction must be cheap.
    static constexpr double FiwCost = 1.6;
    // A phase with more words than this that do not correct cheaply is not read.
    static constexpr double DoubtfulCost = 1.2;
    static constexpr int MaxDoubtfulWords = 60;
    // BIW1 and vectors: trusted at CheckedLlr, or where the sender is known
    // to fill their check character (learnt from the phase's words received
    // whole), only when it fits and then at this much less.
    static constexpr double CheckCharacterLlr = 2.0;
    bool CheckedTrusted(const flex::Corrected& c) const;
    // Where the words of a phase carry more wrong bits than this on average, a
    // word with five or more of them (that BCH takes for another codeword with
    // one or two changes) is no longer rare: a tone, short or numeric page (no
    // check, or 6 bits) is then shown only when it holds nothing a sender
    // leaves alone (bits a tone vector does not use, the spare digit code).
    static constexpr double WeakFlipsPerWord = 0.5;
    static bool ShortVectorPlain(const flex::Vector& v);

private:
    enum class State { Searching, Header, Sync2, Blocks };
    struct WordResult {
        bool done = false;
        flex::Corrected c;
    };

    SharedContext& ctx_;
    dsp::Biquad dcBlock_;
    // The receiver's line output (the POCSAG characteristic setting):
    // equalised back to the discriminator's levels first. Two levels come
    // through whole from 12 dB; four levels only in part, even clean (what
    // the equaliser leaves of the audio path is too much for their
    // spacing).
    bool lineOutput_ = false;
    // One for 1600/s symbols, one for 3200/s (flex_decoder.cpp: LineTaps).
    flex::LineEqualiser slowEqualiser_;
    flex::LineEqualiser fastEqualiser_;
    // The samples as they come (6400/4: at 3200/s on four levels the wider
    // matched pulse's spill costs more than its filtering gains), and through
    // the pulse filter of 1600/s and of 3200/s symbols.
    sensitive::SampleRing plainRing_;
    sensitive::SampleRing slowRing_;
    sensitive::SampleRing fastRing_;
    flex::PulseFilter slowFilter_;
    flex::PulseFilter fastFilter_;
    const sensitive::SampleRing& SymbolRing() const;
    flex::SyncSearch search_;
    flex::SymbolClock clock_;
    flex::Slicer slicer_;
    flex::FrameBuffer frame_;
    flex::Corrector corrector_;
    flex::FragmentJoiner joiner_;
    FlexStats stats_;
    State state_ = State::Searching;
    std::int64_t expectedBlockStart_ = 0;

    bool pending_ = false;
    flex::SyncHit pendingHit_{};
    flex::SyncHit hit_{};
    flex::Fiw fiw_{};
    int clocked_ = 0;     // symbols of the current section clocked
    int symbol_ = 0;      // and decided
    double mid_ = 0.0;    // the window across the boundary before the symbol in the slicer
    double previousDecision_ = 0.0;
    bool havePrevious_ = false;
    double frameEnd_ = 0.0;  // when the current frame's blocks end
    std::array<float, 32> fiwSoft_{};
    std::uint32_t fiwWord_ = 0;
    // Every word searched narrowly (how noisy a phase is), and the words a
    // page needs searched wide (their margins).
    std::array<std::array<WordResult, flex::WordsPerPhase>, 4> quick_{};
    std::array<std::array<WordResult, flex::WordsPerPhase>, 4> words_{};
    std::string scratch_;
    bool weak_ = false;  // the phase corrects more than a few bits: see WeakFlipsPerWord
    // The variance of the phase's soft values, and of each block's where that
    // is clearly more (a fade, a burst: BurstNoise times the phase's; the
    // estimate over one block's 256 bits wanders by about a tenth): words are
    // judged by their block's.
    static constexpr double BurstNoise = 1.3;
    double noise_ = 0.0;
    std::array<double, flex::Blocks> blockNoise_{};
    // What the description leaves uncertain, learnt from words received
    // whole or trusted: whether the sender sends even parity (only then used
    // in corrections), fills the BIW and vector check characters (per
    // phase), computes the alphanumeric and numeric checks as we do (only
    // then does a message that fails them stay hidden) and the signature
    // (two sources give it: a whole message must fit it unless the sender is
    // known not to).
    struct Agreement {
        int agree = 0, disagree = 0;
        void Add(bool agrees) {
            ++(agrees ? agree : disagree);
            if (agree + disagree > 4096) {  // the sender may change
                agree /= 2;
                disagree /= 2;
            }
        }
        // Seen at least `least` times, and four times as often as not; or
        // the other way round.
        bool Holds(int least) const { return agree >= least && agree >= 4 * disagree; }
        bool Fails(int least) const { return disagree >= least && disagree >= 4 * agree; }
    };
    Agreement parity_, alphaChecks_, signatures_, numericChecks_;
    std::array<Agreement, 4> checkCharacterHabit_{};  // by phase
    bool checkCharacters_ = false;    // the phase's sender fills them
    bool noCheckCharacters_ = false;  // or is seen to leave them

    // The words of one message as corrected.
    struct Message {
        int count = 0;
        std::array<std::uint32_t, flex::WordsPerPhase> info{};
        std::array<const flex::Corrected*, flex::WordsPerPhase> word{};
        int flipped = 0;
        // As an alphanumeric message: its fragment check fits; it is not
        // fragmented; the signature in its first body word fits.
        bool CheckFits() const;
        bool Whole() const;
        bool SignatureFits() const;
    };
    bool ReadMessage(int letter, int slot, bool isLong, const flex::Vector& v, int messageField, int n, Message& m);
    bool MessageTrusted(const Message& m, double base, double minMargin) const;
    // An alphanumeric message: trusted by its fragment check and signature,
    // or repaired by putting rivals in for its doubtful words (at most
    // MaxDoubtfulMessageWords of them).
    static constexpr int MaxDoubtfulMessageWords = 2;
    bool AlphaTrusted(Message& m);
    // An alphanumeric message with doubtful words whose check fits: a wrong
    // correction keeps the 10-bit sum one time in a thousand, so a whole
    // message must fit its signature too, and a fragment (its signature lies
    // elsewhere) must have been corrected with some confidence.
    bool DoubtfulButChecked(const Message& m) const;
    void Reset();
    void LearnCheckCharacters(int letter);
    // The words a BIW1 gives as its vector field, and how many of them that
    // are trusted fit their check characters (-1 if one does not).
    static void VectorField(std::uint32_t biw1Word, int& from, int& to);
    int VectorFieldFits(int letter, std::uint32_t biw1Word);
    void StartFrame(const flex::SyncHit& hit);
    void OnSymbol(const flex::Symbol& s);
    void OnDecided(double u, double d);
    void PutData(int index, double u);
    bool ChooseBiw1(int letter, flex::Biw1& biw);
    bool LayoutHolds(int letter, int first, int vectors);
    bool ChooseVector(int letter, int first, int vectors, int slot, bool isLong, std::uint32_t& info, int& flips);
    void Replay();
    // The blocks' first symbols, sliced again once the slicer has learnt.
    static constexpr int ReplaySymbols = 384;
    std::array<double, ReplaySymbols> early_{};
    std::array<double, ReplaySymbols> earlyDc_{};
    void EndHeader();
    void DecodeFrame();
    void DecodePhase(int letter);
    const flex::Corrected& WordAt(int letter, int w);
    const flex::Corrected& QuickAt(int letter, int w);
    int Sync2Symbols() const;
    int BlockSymbols() const;
};

}  // namespace quorvel
