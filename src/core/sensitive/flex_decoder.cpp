// The FLEX decoder: per-block loop, frame reading and the pages (see
// flex_decoder.h for how it listens, flex_protocol.h for the format).
#include "flex_decoder.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <string>
#include <utility>

#include "core/pocsag.h"

namespace quorvel {

namespace {

using flex::Corrected;
using flex::Mode;

// Clock loop gains (per symbol): while reading sync 1 and the FIW the clock
// still has to find its error; through the blocks it only follows.
constexpr double kHeaderProportional = 0.06;
constexpr double kHeaderIntegral = 0.002;
constexpr double kBlockProportional = 0.03;
constexpr double kBlockIntegral = 0.0004;
// The slicer learns the blocks' levels, DC and spill faster over their first
// symbols (the level wanders as the data begin, and at 3200/s the spill is
// new).
constexpr int kFirstSymbols = 192;
constexpr double kFirstSymbolsSpeed = 4.0;
// On four levels the level decides inner from outer symbols. It is a
// property of transmitter and receiver, learnt over the blocks' first
// symbols and then held: where the phases carry idle fill the symbols repeat
// a few patterns, and a level still following them read the blocks after
// worse (at 6 dB, 2 to 4 % of pages lost). The DC must keep following.
constexpr int kLevelSymbols = 1024;
// Only the static offset goes before the sync search; the slicer follows
// what the receiver's coupling makes the level wander by (data are not
// balanced), and a faster high-pass would add wander of its own.
constexpr double kDcBlockHz = 0.5;
// A sync found within this many samples before the current frame's end
// belongs to the next frame.
constexpr double kNextFrameMargin = 16.0 * flex::HeaderPeriod;
// Words received whole before their parity bit is believed; messages whose
// every word was trusted before a failing check means a wrong word.
constexpr int kParityWords = 32;
constexpr int kCheckedMessages = 2;
// BIW1 and vector words received whole that tell a sender's check characters.
constexpr int kCheckCharacterWords = 4;
// Trusted vectors fitting their check characters, none failing, that confirm
// the layout a BIW1 gives (a wrong layout's fit one time in 16 each).
constexpr int kLayoutFits = 3;

// The line output's equalisers, for 1600/s and 3200/s symbols, designed once
// for all decoders: for noise at a fifth of the signal (lower: less noise
// raised, more of the audio path left in).
constexpr double kLineNoiseToSignal = 0.2;
const flex::LineEqualiser::TapArray& LineTaps(bool fast) {
    static const auto slow = flex::LineEqualiser::Design(flex::HeaderPeriod, kLineNoiseToSignal);
    static const auto fastTaps = flex::LineEqualiser::Design(flex::HeaderPeriod / 2, kLineNoiseToSignal);
    return fast ? fastTaps : slow;
}

// Windows-1252 text of 7-bit characters: control codes as their <NAME> tokens.
void AppendText(const std::string& raw, std::string& out) {
    for (const char ch : raw) {
        const int c = static_cast<unsigned char>(ch) & 0x7F;
        if (c < 32 || c == 127)
            out += AlphaCharTable[static_cast<std::size_t>(c)];
        else
            out.push_back(static_cast<char>(c));
    }
}

}  // namespace

FlexDecoder::FlexDecoder(SharedContext& ctx)
    : ctx_(ctx), dcBlock_(dsp::FirstOrderHighPass(kDcBlockHz, flex::SampleRateHz)),
      slowEqualiser_(LineTaps(false)), fastEqualiser_(LineTaps(true)),
      slowFilter_(flex::PulseFilter::ShapeSigma(flex::HeaderRate)),
      fastFilter_(flex::PulseFilter::ShapeSigma(2 * flex::HeaderRate)) {
    scratch_.reserve(4 * 256);
}

const sensitive::SampleRing& FlexDecoder::SymbolRing() const {
    const flex::ModeInfo& info = flex::Info(hit_.mode);
    if (state_ == State::Header || info.symbolRate == flex::HeaderRate) return slowRing_;
    return info.levels == 2 ? fastRing_ : plainRing_;
}

void FlexDecoder::Reset() {
    state_ = State::Searching;
    pending_ = false;
    search_.Reset();
    dcBlock_.Clear();
    slowFilter_.Clear();
    fastFilter_.Clear();
    slowEqualiser_.Clear();
    fastEqualiser_.Clear();
    stats_.droppedFragments += joiner_.Clear();
    parity_ = alphaChecks_ = signatures_ = numericChecks_ = Agreement{};
    checkCharacterHabit_.fill(Agreement{});
}

void FlexDecoder::FinishInput() { Reset(); }

void FlexDecoder::AppendStats(std::string& out) const {
    const std::pair<const char*, std::int64_t> counts[] = {
        {"FlexFrames", stats_.frames},
        {"FlexFiwRejected", stats_.fiwRejected},
        {"FlexPages", stats_.pages},
        {"FlexPagesRejected", stats_.rejectedPages},
        {"FlexFragmentsDropped", stats_.droppedFragments},
        {"FlexOtherVectors", stats_.otherVectors},
        {"FlexCheckMismatches", stats_.checkMismatches},
        {"FlexNoisyPhases", stats_.noisyPhases},
        {"FlexRivalsTaken", stats_.rivalsTaken},
    };
    for (const auto& [name, value] : counts) out += std::string(name) + ": " + std::to_string(value) + "\n";
}

int FlexDecoder::Sync2Symbols() const { return 40 * flex::Info(hit_.mode).symbolRate / flex::HeaderRate; }
int FlexDecoder::BlockSymbols() const {
    return flex::BitsPerPhase * flex::Info(hit_.mode).symbolRate / flex::HeaderRate;
}

void FlexDecoder::ProcessBlock() {
    const std::int64_t base = ctx_.BlockStart;
    const std::int32_t characteristic = ctx_.settings.PocsagCharacteristic.load();
    const bool line = characteristic == 1;
    if (base != expectedBlockStart_ || (line != lineOutput_ && (characteristic == 0 || characteristic == 1))) {
        // Another input, or another tap of the receiver.
        Reset();
        if (characteristic == 0 || characteristic == 1) lineOutput_ = line;
    }
    expectedBlockStart_ = base + FramesPerBlock;
    const std::int64_t end = base + FramesPerBlock;

    for (std::int32_t i = 0; i < FramesPerBlock; ++i) {
        const double raw = dcBlock_.Step(ctx_.SampleBlock[static_cast<std::size_t>(i)]);
        const double x = lineOutput_ ? slowEqualiser_.Step(raw) : raw;
        const double fast = lineOutput_ ? fastEqualiser_.Step(raw) : raw;
        const std::int64_t index = base + i;
        plainRing_.Put(index, fast);
        slowRing_.Put(index - flex::PulseFilter::Delay, slowFilter_.Step(x));
        fastRing_.Put(index - flex::PulseFilter::Delay, fastFilter_.Step(fast));
        if (!search_.Step(x, index)) continue;
        const flex::SyncHit& h = search_.Hit();
        const bool next = state_ == State::Searching || state_ == State::Header || h.aStart >= frameEnd_ - kNextFrameMargin;
        if (next && (!pending_ || h.score > pendingHit_.score || h.aStart > pendingHit_.aStart + kNextFrameMargin)) {
            pending_ = true;
            pendingHit_ = h;
        }
    }
    for (;;) {
        if (state_ == State::Searching) {
            if (!pending_) break;
            pending_ = false;
            // The ring must still hold the frame's start.
            if (pendingHit_.aStart < static_cast<double>(end - sensitive::SampleRing::Size) + 8.0) continue;
            StartFrame(pendingHit_);
        }
        flex::Symbol s;
        while (state_ != State::Searching && clock_.Next(SymbolRing(), end - flex::PulseFilter::Delay, s)) OnSymbol(s);
        if (state_ != State::Searching) break;
    }
}

void FlexDecoder::StartFrame(const flex::SyncHit& hit) {
    hit_ = hit;
    clock_.Start(hit.aStart, flex::HeaderPeriod);
    clock_.SetGains(kHeaderProportional, kHeaderIntegral);
    slicer_.Start(hit.dc, hit.amplitude, 2);
    slicer_.SetAdapt(true);
    state_ = State::Header;
    symbol_ = 0;
    clocked_ = 0;
    havePrevious_ = false;
    frameEnd_ = hit.aStart + (flex::BlockOffset + flex::BitsPerPhase) * flex::HeaderPeriod;
}

void FlexDecoder::PutData(int index, double u) {
    float first = 0.0f, second = 0.0f;
    slicer_.Soft(u, first, second);
    const int s2 = index >> 1;
    switch (hit_.mode) {
        case Mode::M1600_2: frame_.Put(0, index, first); break;
        case Mode::M3200_2: frame_.Put((index & 1) != 0 ? 2 : 0, s2, first); break;
        case Mode::M3200_4:
            frame_.Put(0, index, first);
            frame_.Put(1, index, second);
            break;
        case Mode::M6400_4:
            frame_.Put((index & 1) != 0 ? 2 : 0, s2, first);
            frame_.Put((index & 1) != 0 ? 3 : 1, s2, second);
            break;
    }
}

void FlexDecoder::Replay() {
    // The first symbols of the blocks were sliced while the slicer was still
    // learning their levels; slice them again from what it knows now.
    // The DC as it was then (it wanders as the data begin); the levels and
    // spill as learnt since.
    flex::Slicer again = slicer_;
    again.Restart();
    again.SetAdapt(false);
    int index = 0;
    for (std::size_t i = 0; i < early_.size(); ++i) {
        double u = 0.0, d = 0.0;
        again.SetDc(earlyDc_[i]);
        if (again.Push(early_[i], u, d)) PutData(index++, hit_.inverted ? -u : u);
    }
}

void FlexDecoder::OnSymbol(const flex::Symbol& s) {
    double u = 0.0, d = 0.0;
    if (state_ == State::Blocks && clocked_ < ReplaySymbols) {
        early_[static_cast<std::size_t>(clocked_)] = s.value;
        earlyDc_[static_cast<std::size_t>(clocked_)] = slicer_.Dc();
    }
    if (slicer_.Push(s.value, u, d)) OnDecided(u, d);
    mid_ = s.mid;
    const int length = state_ == State::Header ? flex::Sync2Offset : state_ == State::Sync2 ? Sync2Symbols() : BlockSymbols();
    ++clocked_;
    if (state_ == State::Blocks && clocked_ == ReplaySymbols) Replay();
    if (clocked_ < length) return;
    // The section ends: its last symbol out, then the next section.
    if (slicer_.Flush(u, d)) OnDecided(u, d);
    clocked_ = 0;
    symbol_ = 0;
    slicer_.Restart();
    havePrevious_ = false;
    switch (state_) {
        case State::Header: EndHeader(); break;
        case State::Sync2:
            state_ = State::Blocks;
            clock_.SetGains(kBlockProportional, kBlockIntegral);
            slicer_.SetAdapt(true, kFirstSymbolsSpeed);
            break;
        case State::Blocks:
            state_ = State::Searching;
            DecodeFrame();
            break;
        case State::Searching: break;
    }
}

void FlexDecoder::OnDecided(double u, double d) {
    if (havePrevious_ && d != previousDecision_) {
        // The window across the boundary before this symbol holds as much of
        // each symbol as the clock is early or late.
        const double diff = d - previousDecision_;
        const double mid = slicer_.Normalise(mid_);
        const double tau = (mid - 0.5 * (d + previousDecision_)) / diff;
        clock_.Correct(tau * 0.25 * diff * diff);
    }
    previousDecision_ = d;
    havePrevious_ = true;
    const double data = hit_.inverted ? -u : u;
    switch (state_) {
        case State::Header:
            if (symbol_ >= flex::FiwOffset) fiwSoft_[static_cast<std::size_t>(symbol_ - flex::FiwOffset)] = static_cast<float>(data);
            break;
        case State::Blocks:
            if (symbol_ == kFirstSymbols) slicer_.SetAdapt(true);
            if (symbol_ == kLevelSymbols && slicer_.Levels() == 4) slicer_.HoldLevel();
            PutData(symbol_, data);
            break;
        default: break;
    }
    ++symbol_;
}

void FlexDecoder::EndHeader() {
    std::uint32_t word = 0;
    for (int k = 0; k < 32; ++k)
        if (fiwSoft_[static_cast<std::size_t>(k)] > 0.0f) word |= 1u << k;
    const Corrected c = corrector_.Soft(word, fiwSoft_, flex::Corrector::WideChaseBits, parity_.Holds(kParityWords));
    if (!c.ok || c.cost > FiwCost || !flex::ParseFiw(flex::InfoOf(c.word), fiw_)) {
        ++stats_.fiwRejected;
        state_ = State::Searching;
        return;
    }
    ++stats_.frames;
    if (pending_ && pendingHit_.aStart < frameEnd_ - kNextFrameMargin) pending_ = false;
    const flex::ModeInfo& info = flex::Info(hit_.mode);
    clock_.ChangeRate(flex::SampleRateHz / info.symbolRate);
    slicer_.SetLevels(info.levels);
    if (info.symbolRate != flex::HeaderRate) slicer_.ForgetSpill();
    // Sync 2's content is not known: nothing to learn from.
    slicer_.SetAdapt(false);
    state_ = State::Sync2;
}

void FlexDecoder::VectorField(std::uint32_t biw1Word, int& from, int& to) {
    const flex::Biw1 biw = flex::ParseBiw1(flex::InfoOf(biw1Word));
    const int first = biw.extraBiws + 1;
    from = biw.vectorStart;
    to = biw.vectorStart > first ? std::min(flex::WordsPerPhase, 2 * biw.vectorStart - first) : from;
}

int FlexDecoder::VectorFieldFits(int letter, std::uint32_t biw1Word) {
    int from = 0, to = 0;
    VectorField(biw1Word, from, to);
    int fits = 0;
    for (int w = from; w < to; ++w) {
        const Corrected& c = WordAt(letter, w);
        if (!Trusted(c, CheckedLlr)) continue;
        if (!flex::CheckCharacterFits(flex::InfoOf(c.word))) return -1;
        ++fits;
    }
    return fits;
}

void FlexDecoder::LearnCheckCharacters(int letter) {
    // A BIW1 that fails its check character while its rival fits: when the
    // rival's vector field fits too, the sender fills them and the BIW1 is
    // to be weighed as such (ChooseBiw1); its own layout's words, message
    // words if it is wrong, would say otherwise.
    const Corrected& wide = WordAt(letter, 0);
    if (wide.ok && wide.hasRival && !flex::CheckCharacterFits(flex::InfoOf(wide.word)) &&
        flex::CheckCharacterFits(flex::InfoOf(wide.rival)) && VectorFieldFits(letter, wide.rival) >= kLayoutFits) {
        checkCharacters_ = true;
        noCheckCharacters_ = false;
        return;
    }
    // The BIW1 and the words of its vector field received whole, in this
    // frame and those before: a sender either fills their check characters
    // or leaves them (recordings show 0). A long address puts a message word
    // among the vectors.
    Agreement& habit = checkCharacterHabit_[static_cast<std::size_t>(letter)];
    const auto count = [&habit](const Corrected& c) {
        if (c.ok && c.flipped == 0) habit.Add(flex::CheckCharacterFits(flex::InfoOf(c.word)));
    };
    const Corrected& b1 = QuickAt(letter, 0);
    count(b1);
    int from = 0, to = 0;
    VectorField(b1.word, from, to);
    for (int w = from; b1.ok && w < to; ++w) count(QuickAt(letter, w));
    checkCharacters_ = habit.Holds(kCheckCharacterWords);
    noCheckCharacters_ = habit.Fails(kCheckCharacterWords);
}

double FlexDecoder::RequiredLlr(double base, double noise) const {
    const double llr = base + LlrPerQuarterVariance * std::max(0.0, noise - 0.25) / 0.25;
    return (flex::Info(hit_.mode).levels == 4 ? FourLevelFactor * llr : llr) * (lineOutput_ ? LineFactor : 1.0);
}

bool FlexDecoder::Trusted(const Corrected& c, double base, double minMargin) const {
    return c.ok && c.margin >= minMargin && 2.0 * c.margin >= RequiredLlr(base, c.noise) * c.noise;
}

bool FlexDecoder::AddressTrusted(const Corrected& c) const {
    const double base = flex::Info(hit_.mode).levels == 4 ? FourLevelAddressLlr : AddressLlr;
    return (c.cost <= MaxAddressCost || c.margin >= c.cost) && Trusted(c, base);
}

bool FlexDecoder::CheckedTrusted(const Corrected& c) const {
    if (!checkCharacters_) return Trusted(c, CheckedLlr);
    // A sender known to fill the check character: a wrong codeword passes it
    // one time in 16, and one that fails it is not the word sent.
    return flex::CheckCharacterFits(flex::InfoOf(c.word)) && Trusted(c, CheckedLlr - CheckCharacterLlr, MinStrongMargin);
}

bool FlexDecoder::ShortVectorPlain(const flex::Vector& v) {
    switch (v.shortKind) {
        case 0:
            for (int d = 0; d < 3; ++d)
                if (flex::NumericChar((v.shortData >> (4 * d)) & 0xF) == flex::UncertainSpareNumeric) return false;
            return true;
        case 1: return (v.shortData >> 3) == 0;   // the source alone
        case 2: return (v.shortData >> 10) == 0;  // source, number, retrieval flag
        default: return true;
    }
}

bool FlexDecoder::ChooseBiw1(int letter, flex::Biw1& biw) {
    // A wrong BIW1 would have addresses read from vectors and messages, which
    // are codewords as good as any: unless it is beyond doubt, the layout it
    // gives must hold together.
    const auto fits = [&](std::uint32_t word) {
        biw = flex::ParseBiw1(flex::InfoOf(word));
        return biw.vectorStart > biw.extraBiws + 1 && biw.vectorStart < flex::WordsPerPhase;
    };
    const auto holds = [&](std::uint32_t word) { return fits(word) && LayoutHolds(letter, biw.extraBiws + 1, biw.vectorStart); };
    const Corrected& b1 = WordAt(letter, 0);
    if (!b1.ok) return false;
    if (CheckedTrusted(b1)) {
        // Even a BIW1 far likelier than its rival has its layout looked at
        // when its check character fails where the sender may fill it.
        const bool firm = Trusted(b1, FirmBiwLlr) && (noCheckCharacters_ || flex::CheckCharacterFits(flex::InfoOf(b1.word)));
        return firm ? fits(b1.word) : holds(b1.word);
    }
    // Where it is not known whether the sender fills check characters, one
    // that fits still tells, as long as the layout holds too.
    if (!checkCharacters_ && flex::CheckCharacterFits(flex::InfoOf(b1.word)) &&
        Trusted(b1, CheckedLlr - CheckCharacterLlr, MinStrongMargin))
        return holds(b1.word);
    // Where the sender fills check characters, a BIW1 that fails its own has
    // its rival taken when that fits and gives a layout that holds.
    if (checkCharacters_ && b1.hasRival && !flex::CheckCharacterFits(flex::InfoOf(b1.word)) &&
        flex::CheckCharacterFits(flex::InfoOf(b1.rival)) && holds(b1.rival)) {
        ++stats_.rivalsTaken;
        return true;
    }
    // A BIW1 in doubt, or its rival, is taken when its check character and
    // its vector field's fit (confirmed: exactly one of the two).
    const auto confirmed = [&](std::uint32_t word) {
        return flex::CheckCharacterFits(flex::InfoOf(word)) && VectorFieldFits(letter, word) >= kLayoutFits && holds(word);
    };
    const bool own = confirmed(b1.word);
    const bool rival = b1.hasRival && confirmed(b1.rival);
    if (own == rival) return false;
    if (rival) ++stats_.rivalsTaken;
    return fits(own ? b1.word : b1.rival);
}

bool FlexDecoder::ChooseVector(int letter, int first, int vectors, int slot, bool isLong, std::uint32_t& info, int& flips) {
    const Corrected& vw = WordAt(letter, slot);
    if (CheckedTrusted(vw)) {
        info = flex::InfoOf(vw.word);
        flips = vw.flipped;
        return true;
    }
    if (!vw.ok || !vw.hasRival) return false;
    // A doubtful vector: of it and its rival, the one that points at an
    // alphanumeric message no other vector claims, whose check (and for a
    // whole message its signature) fits, is taken if exactly one does.
    const int messageField = 2 * vectors - first;
    const auto claimed = [&](int start) {
        for (int w = vectors; w < messageField; ++w) {
            const Corrected& other = WordAt(letter, w);
            if (w != slot && CheckedTrusted(other) && flex::ParseVector(flex::InfoOf(other.word)).start == start) return true;
        }
        return false;
    };
    int found = 0;
    for (const std::uint32_t word : {vw.word, vw.rival}) {
        const std::uint32_t candidate = flex::InfoOf(word);
        if (checkCharacters_ && !flex::CheckCharacterFits(candidate)) continue;
        const flex::Vector v = flex::ParseVector(candidate);
        Message m;
        if (v.type != flex::VectorType::Alpha || v.words < 2 ||
            !ReadMessage(letter, slot, isLong, v, messageField, v.words, m) || !m.CheckFits() || !DoubtfulButChecked(m) ||
            claimed(v.start))
            continue;
        ++found;
        info = candidate;
        flips = std::popcount((word ^ vw.received) & 0x7FFFFFFFu);
    }
    if (found != 1) return false;
    if (info != flex::InfoOf(vw.word)) ++stats_.rivalsTaken;
    return true;
}

bool FlexDecoder::LayoutHolds(int letter, int first, int vectors) {
    // Only what is trusted counts: an address field holds no idle word, and
    // vectors point into the message field.
    const int slots = vectors - first;
    const int messageField = vectors + slots;
    if (messageField > flex::WordsPerPhase) return false;
    for (int i = first; i < vectors; ++i) {
        const Corrected& a = WordAt(letter, i);
        if (Trusted(a, AddressLlr) && flex::ClassifyAddress(flex::InfoOf(a.word)) == flex::AddressWord::Idle) return false;
        const Corrected& v = WordAt(letter, vectors + (i - first));
        if (!CheckedTrusted(v)) continue;
        const flex::Vector vector = flex::ParseVector(flex::InfoOf(v.word));
        if (vector.type == flex::VectorType::ShortMessage || vector.type == flex::VectorType::Instruction) continue;
        if (flex::ClassifyAddress(flex::InfoOf(a.word)) == flex::AddressWord::LongSecond) continue;
        if (vector.start < messageField || vector.words < 1 || vector.start + vector.words > flex::WordsPerPhase + 1)
            return false;
    }
    return true;
}

const Corrected& FlexDecoder::QuickAt(int letter, int w) {
    WordResult& r = quick_[static_cast<std::size_t>(letter)][static_cast<std::size_t>(w)];
    if (!r.done) {
        std::array<float, 32> soft{};
        const std::uint32_t word = frame_.Word(letter, w, soft);
        r.c = corrector_.Soft(word, soft);
        r.done = true;
    }
    return r.c;
}

const Corrected& FlexDecoder::WordAt(int letter, int w) {
    WordResult& r = words_[static_cast<std::size_t>(letter)][static_cast<std::size_t>(w)];
    if (!r.done) {
        std::array<float, 32> soft{};
        const std::uint32_t word = frame_.Word(letter, w, soft);
        r.c = corrector_.Soft(word, soft, flex::Corrector::WideChaseBits, parity_.Holds(kParityWords));
        r.c.noise = blockNoise_[static_cast<std::size_t>(w / flex::WordsPerBlock)];
        r.done = true;
    }
    return r.c;
}

bool FlexDecoder::ReadMessage(int letter, int slot, bool isLong, const flex::Vector& v, int messageField, int n,
                              Message& m) {
    if (n < 1 || n > flex::WordsPerPhase) return false;
    m = {};
    for (int k = 0; k < n; ++k) {
        // With a long address the first message word stands in the second
        // vector slot and the vector's start points at the second.
        const int w = isLong ? (k == 0 ? slot + 1 : v.start + k - 1) : v.start + k;
        // Messages follow the vector field.
        if (w < 1 || w >= flex::WordsPerPhase || (w < messageField && !(isLong && k == 0))) return false;
        const Corrected& c = WordAt(letter, w);
        if (!c.ok) return false;
        m.word[static_cast<std::size_t>(k)] = &c;
        m.info[static_cast<std::size_t>(k)] = flex::InfoOf(c.word);
        m.flipped += c.flipped;
    }
    m.count = n;
    return true;
}

bool FlexDecoder::MessageTrusted(const Message& m, double base, double minMargin) const {
    for (int k = 0; k < m.count; ++k)
        if (!Trusted(*m.word[static_cast<std::size_t>(k)], base, minMargin)) return false;
    return true;
}

bool FlexDecoder::Message::CheckFits() const {
    return flex::FragmentCheckFits(std::span<const std::uint32_t>(info.data(), static_cast<std::size_t>(count)));
}

bool FlexDecoder::Message::Whole() const {
    const flex::AlphaHeader h = flex::ParseAlphaHeader(info[0]);
    return h.fragment == 3 && !h.more;
}

bool FlexDecoder::Message::SignatureFits() const {
    return flex::SignatureFits(std::span<const std::uint32_t>(info.data() + 1, static_cast<std::size_t>(count - 1)));
}

bool FlexDecoder::DoubtfulButChecked(const Message& m) const {
    return m.Whole() ? m.SignatureFits() : MessageTrusted(m, StrongLlr, MinStrongMargin);
}

bool FlexDecoder::AlphaTrusted(Message& m) {
    const bool whole = m.Whole();
    // Words whose correction is in doubt; past a few the message is too
    // noisy for its checks to tell a right choice from a lucky one.
    std::array<int, MaxDoubtfulMessageWords> doubtful{};
    int n = 0;
    for (int k = 0; k < m.count; ++k) {
        const Corrected& c = *m.word[static_cast<std::size_t>(k)];
        if (Trusted(c, MessageLlr, MinMargin)) continue;
        if (n == MaxDoubtfulMessageWords) return false;
        doubtful[static_cast<std::size_t>(n++)] = k;
    }
    if (n == 0) {
        alphaChecks_.Add(m.CheckFits());
        if (whole) signatures_.Add(m.SignatureFits());
    }
    if (m.CheckFits()) return n == 0 || DoubtfulButChecked(m);
    ++stats_.checkMismatches;
    // Doubtful words may be their rivals: a whole message is repaired when
    // exactly one choice of them fits both check and signature.
    const auto swap = [&m](int k) {
        const Corrected& c = *m.word[static_cast<std::size_t>(k)];
        if (!c.hasRival) return;
        auto& info = m.info[static_cast<std::size_t>(k)];
        info = info == flex::InfoOf(c.word) ? flex::InfoOf(c.rival) : flex::InfoOf(c.word);
    };
    const auto swapSet = [&](unsigned set) {
        for (int j = 0; j < n; ++j)
            if ((set >> j) & 1u) swap(doubtful[static_cast<std::size_t>(j)]);
    };
    int found = 0;
    unsigned choice = 0;
    for (unsigned set = 1; whole && set < (1u << n); ++set) {
        swapSet(set);
        if (m.CheckFits() && m.SignatureFits()) {
            ++found;
            choice = set;
        }
        swapSet(set);
    }
    if (found == 1) {
        swapSet(choice);
        stats_.rivalsTaken += std::popcount(choice);
        for (int j = 0; j < n; ++j)
            if ((choice >> j) & 1u) {
                const Corrected& c = *m.word[static_cast<std::size_t>(doubtful[static_cast<std::size_t>(j)])];
                m.flipped += std::popcount((c.rival ^ c.received) & 0x7FFFFFFFu) - c.flipped;
            }
        return true;
    }
    // Whether a sender computes the check as we do is a guess: unless it is
    // known to, words that needed no doubtful correction at all stand
    // without it.
    const bool signature = !whole || m.SignatureFits() || signatures_.Fails(kCheckedMessages);
    return signature && !alphaChecks_.Holds(kCheckedMessages) && MessageTrusted(m, UncheckedLlr, MinMargin);
}

void FlexDecoder::DecodeFrame() {
    for (auto& phase : words_)
        for (WordResult& r : phase) r.done = false;
    for (auto& phase : quick_)
        for (WordResult& r : phase) r.done = false;
    const int frameCount = fiw_.cycle * flex::Frames + fiw_.frame;
    stats_.droppedFragments += joiner_.Expire(frameCount);
    const flex::ModeInfo& info = flex::Info(hit_.mode);
    for (int p = 0; p < info.phases; ++p) DecodePhase(flex::PhaseLetter(hit_.mode, p));
}

void FlexDecoder::DecodePhase(int letter) {
    noise_ = 0.0;
    // A phase that is mostly noise yields words that correct by chance.
    int doubtful = 0, flips = 0;
    for (int w = 0; w < flex::WordsPerPhase; ++w) {
        const Corrected& c = QuickAt(letter, w);
        doubtful += c.ok && c.cost <= DoubtfulCost ? 0 : 1;
        flips += c.flipped;
        // The parity bit of a word received whole is wrong as often as any
        // bit (8 % at 0 dB); a sender without even parity shows half or all odd.
        if (c.ok && c.flipped == 0) parity_.Add(c.parityEven);
    }
    weak_ = flips > WeakFlipsPerWord * flex::WordsPerPhase;
    const bool sign = flex::Info(hit_.mode).levels == 4 && (letter == 0 || letter == 2);
    noise_ = frame_.NoiseVariance(letter, sign, 0, flex::BitsPerPhase);
    for (int b = 0; b < flex::Blocks; ++b) {
        const double block = frame_.NoiseVariance(letter, sign, b * 256, 256);
        blockNoise_[static_cast<std::size_t>(b)] = block > BurstNoise * noise_ ? block : noise_;
    }
    if (doubtful > MaxDoubtfulWords) {
        ++stats_.noisyPhases;
        return;
    }
    LearnCheckCharacters(letter);
    flex::Biw1 biw;
    if (!ChooseBiw1(letter, biw)) return;
    const int first = biw.extraBiws + 1;
    const int vectors = biw.vectorStart;
    const int frameCount = fiw_.cycle * flex::Frames + fiw_.frame;
    const int messageField = vectors + (vectors - first);

    for (int i = first; i < vectors; ++i) {
        const int slot = vectors + (i - first);
        const Corrected& aw = WordAt(letter, i);
        if (!AddressTrusted(aw)) {
            ++stats_.rejectedPages;
            continue;
        }
        const std::uint32_t a = flex::InfoOf(aw.word);
        std::uint64_t capcode = 0;
        bool isLong = false;
        int corrected = aw.flipped;
        switch (flex::ClassifyAddress(a)) {
            case flex::AddressWord::Short: capcode = flex::ShortCapcode(a); break;
            case flex::AddressWord::LongFirst: {
                if (i + 1 >= vectors) continue;
                const Corrected& second = WordAt(letter, i + 1);
                if (!AddressTrusted(second) ||
                    flex::ClassifyAddress(flex::InfoOf(second.word)) != flex::AddressWord::LongSecond) {
                    ++stats_.rejectedPages;
                    continue;
                }
                capcode = flex::LongCapcode(a, flex::InfoOf(second.word));
                isLong = true;
                corrected += second.flipped;
                ++i;
                break;
            }
            default: continue;
        }
        if (slot >= flex::WordsPerPhase || (isLong && slot + 1 >= flex::WordsPerPhase)) {
            ++stats_.rejectedPages;
            continue;
        }
        std::uint32_t vectorInfo = 0;
        int vectorFlips = 0;
        if (!ChooseVector(letter, first, vectors, slot, isLong, vectorInfo, vectorFlips)) {
            ++stats_.rejectedPages;
            continue;
        }
        const flex::Vector v = flex::ParseVector(vectorInfo);
        corrected += vectorFlips;

        FlexPage page;
        page.capcode = capcode;
        page.longAddress = isLong;
        page.mode = static_cast<FlexMode>(hit_.mode);
        page.phase = letter;
        page.cycle = fiw_.cycle;
        page.frame = fiw_.frame;
        page.inverted = hit_.inverted;
        page.at = {std::max<std::int64_t>(0, std::llround(frameEnd_)), ctx_.clock.LocalNow()};

        Message m;
        const auto read = [&](int n) { return ReadMessage(letter, slot, isLong, v, messageField, n, m); };
        const std::span<const std::uint32_t> words(m.info.data(), flex::WordsPerPhase);

        switch (v.type) {
            case flex::VectorType::ShortMessage:
                if (weak_ && corrected > 0 && !ShortVectorPlain(v)) {
                    ++stats_.rejectedPages;
                    continue;
                }
                if (v.shortKind == 0) {
                    // (With a long address five more digits follow the vector;
                    // see UncertainLongShortMessageDigits.)
                    page.type = FlexPageType::Numeric;
                    for (int d = 0; d < 3; ++d) page.text.push_back(flex::NumericChar((v.shortData >> (4 * d)) & 0xF));
                    while (!page.text.empty() && page.text.back() == ' ') page.text.pop_back();
                } else if (v.shortKind == 1 || v.shortKind == 2) {
                    page.type = FlexPageType::Tone;
                } else {
                    ++stats_.otherVectors;
                    continue;
                }
                break;
            case flex::VectorType::Alpha: {
                if (v.words < 2 || !read(v.words) || !AlphaTrusted(m)) {
                    ++stats_.rejectedPages;
                    continue;
                }
                const flex::AlphaHeader h = flex::ParseAlphaHeader(m.info[0]);
                scratch_.clear();
                int signature = -1;
                flex::UnpackAlpha(words.subspan(1, static_cast<std::size_t>(m.count - 1)), scratch_, signature);
                std::string whole;
                int fragments = 1, total = 0;
                const auto r = joiner_.Add(capcode, h.number, h.fragment, h.more, frameCount, scratch_,
                                           corrected + m.flipped, whole, fragments, total);
                if (r == flex::FragmentJoiner::Result::Dropped) ++stats_.droppedFragments;
                if (r != flex::FragmentJoiner::Result::Complete) continue;
                page.type = FlexPageType::Alpha;
                AppendText(whole, page.text);
                page.fragments = fragments;
                page.fragmentState = fragments > 1 ? FlexFragments::Last : FlexFragments::Whole;
                corrected = total - m.flipped;
                break;
            }
            case flex::VectorType::NumberedNumeric:
                if (!flex::UncertainNumberedAsStandard) {
                    ++stats_.otherVectors;
                    continue;
                }
                [[fallthrough]];
            case flex::VectorType::Numeric:
            case flex::VectorType::SpecialNumeric: {
                if (!read(v.words)) {
                    ++stats_.rejectedPages;
                    continue;
                }
                const bool fits = flex::NumericCheckFits(words.subspan(0, static_cast<std::size_t>(m.count)), vectorInfo);
                if (!fits) ++stats_.checkMismatches;
                if (MessageTrusted(m, MessageLlr, MinMargin)) numericChecks_.Add(fits);
                if (fits ? !MessageTrusted(m, NumericLlr, MinStrongMargin)
                         : numericChecks_.Holds(kCheckedMessages) || !MessageTrusted(m, UncheckedLlr, MinMargin)) {
                    ++stats_.rejectedPages;
                    continue;
                }
                page.type = FlexPageType::Numeric;
                flex::UnpackNumeric(words.subspan(0, static_cast<std::size_t>(m.count)), page.text);
                if (weak_ && corrected + m.flipped > 0 && page.text.find(flex::UncertainSpareNumeric) != std::string::npos) {
                    ++stats_.rejectedPages;
                    continue;
                }
                break;
            }
            case flex::VectorType::Binary:
            case flex::VectorType::Secure:
                if (v.words < 1 || !read(v.words) || !MessageTrusted(m, MessageLlr, MinMargin)) {
                    ++stats_.rejectedPages;
                    continue;
                }
                page.type = v.type == flex::VectorType::Binary ? FlexPageType::Binary : FlexPageType::Secure;
                page.rawWords.assign(m.info.begin(), m.info.begin() + m.count);
                break;
            default:
                ++stats_.otherVectors;
                continue;
        }
        page.corrected = corrected + m.flipped;
        ++stats_.pages;
        ctx_.events.OnEvent(page);
    }
}

}  // namespace quorvel
