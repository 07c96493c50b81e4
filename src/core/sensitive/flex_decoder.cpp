// The FLEX decoder: per-block loop, frame reading and the pages (see
// flex_decoder.h for how it listens, flex_protocol.h for the format).
#include "flex_decoder.h"

#include <algorithm>
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
// Only the static offset goes before the sync search; the slicer follows
// what the receiver's coupling makes the level wander by (data are not
// balanced), and a faster high-pass would add wander of its own.
constexpr double kDcBlockHz = 0.5;
// A sync found within this many samples before the current frame's end
// belongs to the next frame.
constexpr double kNextFrameMargin = 16.0 * flex::HeaderPeriod;

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

FlexDecoder::FlexDecoder(SharedContext& ctx) : ctx_(ctx), dcBlock_(dsp::FirstOrderHighPass(kDcBlockHz, flex::SampleRateHz)) { scratch_.reserve(4 * 256); }

void FlexDecoder::Reset() {
    state_ = State::Searching;
    pending_ = false;
    search_.Reset();
    dcBlock_.Clear();
    stats_.droppedFragments += joiner_.Clear();
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
    };
    for (const auto& [name, value] : counts) out += std::string(name) + ": " + std::to_string(value) + "\n";
}

int FlexDecoder::Sync2Symbols() const { return 40 * flex::Info(hit_.mode).symbolRate / flex::HeaderRate; }
int FlexDecoder::BlockSymbols() const {
    return flex::BitsPerPhase * flex::Info(hit_.mode).symbolRate / flex::HeaderRate;
}

void FlexDecoder::ProcessBlock() {
    const std::int64_t base = ctx_.BlockStart;
    if (base != expectedBlockStart_) Reset();  // another input
    expectedBlockStart_ = base + FramesPerBlock;
    const std::int64_t end = base + FramesPerBlock;

    for (std::int32_t i = 0; i < FramesPerBlock; ++i) {
        const double x = dcBlock_.Step(ctx_.SampleBlock[static_cast<std::size_t>(i)]);
        const std::int64_t index = base + i;
        ring_.Put(index, x);
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
        while (state_ != State::Searching && clock_.Next(ring_, end, s)) OnSymbol(s);
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
    const Corrected c = corrector_.Soft(word, fiwSoft_);
    if (!c.ok || c.cost > FirmCost || !flex::ParseFiw(flex::InfoOf(c.word), fiw_)) {
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

bool FlexDecoder::Firm(const Corrected& c) const {
    return c.ok && c.cost <= AddressCost && c.margin >= std::max(AddressMargin, MarginInNoise * noise_) &&
           (!noisy_ || c.flipped == 0);
}

bool FlexDecoder::Checked(const Corrected& c) {
    return !flex::UncertainBiwVectorCheckRequired || flex::CheckCharacterFits(flex::InfoOf(c.word));
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

bool FlexDecoder::AddressFirm(const Corrected& c) const {
    return c.flipped <= 2 && c.cost <= AddressWordCost &&
           c.margin >= std::max(AddressWordMargin, AddressMarginInNoise * noise_);
}

bool FlexDecoder::LayoutHolds(int letter, int first, int vectors) {
    const int slots = vectors - first;
    const int messageField = vectors + slots;
    if (messageField > flex::WordsPerPhase) return false;
    for (int i = first; i < vectors; ++i) {
        const Corrected& a = WordAt(letter, i);
        if (!a.ok || flex::ClassifyAddress(flex::InfoOf(a.word)) == flex::AddressWord::Idle) return false;
        const Corrected& v = WordAt(letter, vectors + (i - first));
        if (!v.ok) return false;
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
        r.c = corrector_.Soft(word, soft, flex::Corrector::WideChaseBits);
        r.done = true;
    }
    return r.c;
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
    noisy_ = false;
    noise_ = 0.0;
    const Corrected& b1 = WordAt(letter, 0);
    // A phase that is mostly noise yields words that correct by chance.
    int doubtful = 0, flips = 0;
    for (int w = 0; w < flex::WordsPerPhase; ++w) {
        const Corrected& c = QuickAt(letter, w);
        doubtful += c.ok && c.cost <= AddressCost ? 0 : 1;
        flips += c.flipped;
    }
    // Wrong bits per word the corrections found: where words carry many, a
    // correction of an address, vector or BIW (no check covers them) may
    // have landed on the wrong codeword, and only words received whole count.
    noisy_ = flips > MaxFlipsPerWord * flex::WordsPerPhase;
    weak_ = flips > WeakFlipsPerWord * flex::WordsPerPhase;
    const bool sign = flex::Info(hit_.mode).levels == 4 && (letter == 0 || letter == 2);
    noise_ = frame_.NoiseVariance(letter, sign);
    if (doubtful > MaxDoubtfulWords) {
        ++stats_.noisyPhases;
        return;
    }
    if (!b1.ok || !Checked(b1)) return;
    const flex::Biw1 biw = flex::ParseBiw1(flex::InfoOf(b1.word));
    const int first = biw.extraBiws + 1;
    const int vectors = biw.vectorStart;
    if (vectors <= first || vectors >= flex::WordsPerPhase) return;
    // A BIW1 that is not firm is still taken when the layout it gives holds
    // together: only addresses in the address field, and vectors whose
    // messages lie in the message field.
    if (!Firm(b1) && !(b1.cost <= FirmCost && b1.margin >= LooseBiwMargin && LayoutHolds(letter, first, vectors))) return;
    const int frameCount = fiw_.cycle * flex::Frames + fiw_.frame;
    const int messageField = vectors + (vectors - first);

    for (int i = first; i < vectors; ++i) {
        const int slot = vectors + (i - first);
        const Corrected& aw = WordAt(letter, i);
        if (!Firm(aw) || !AddressFirm(aw)) {
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
                if (!Firm(second) || !AddressFirm(second) ||
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
        const Corrected& vw = WordAt(letter, slot);
        if (!Firm(vw) || !Checked(vw)) {
            ++stats_.rejectedPages;
            continue;
        }
        const std::uint32_t vectorInfo = flex::InfoOf(vw.word);
        const flex::Vector v = flex::ParseVector(vectorInfo);
        corrected += vw.flipped;

        FlexPage page;
        page.capcode = capcode;
        page.longAddress = isLong;
        page.mode = static_cast<FlexMode>(hit_.mode);
        page.phase = letter;
        page.cycle = fiw_.cycle;
        page.frame = fiw_.frame;
        page.inverted = hit_.inverted;
        page.at = {std::max<std::int64_t>(0, std::llround(frameEnd_)), ctx_.clock.LocalNow()};

        // The message words: with a long address the first stands in the
        // second vector slot and the vector's start points at the second.
        std::array<std::uint32_t, flex::WordsPerPhase> msg{};
        int count = 0;
        // strong: a check of 10 bits or more covers the message.
        bool checked = false, strong = false, fits = false;
        bool heavy = false;  // taken only because a strong check fits
        const auto gather = [&](int n) {
            if (n < 1) return false;
            double worst = 0.0, margin = 1e9;
            for (int k = 0; k < n; ++k) {
                const int w = isLong ? (k == 0 ? slot + 1 : v.start + k - 1) : v.start + k;
                // Messages follow the vector field.
                if (w < 1 || w >= flex::WordsPerPhase || (w < messageField && !(isLong && k == 0))) return false;
                const Corrected& c = WordAt(letter, w);
                if (!c.ok) return false;
                worst = std::max(worst, c.cost);
                margin = std::min(margin, c.margin);
                corrected += c.flipped;
                msg[static_cast<std::size_t>(count++)] = flex::InfoOf(c.word);
            }
            // Trust: firm corrections where a check fits, only light ones elsewhere.
            if (checked && !fits) ++stats_.checkMismatches;
            const bool light = worst <= StrictCost && margin >= std::max(MinMargin, MarginInNoise * noise_);
            heavy = !light;
            if (strong && fits) return worst <= FirmCost && margin >= 0.5 * MinMargin;
            return light;
        };
        const std::span<const std::uint32_t> words(msg.data(), flex::WordsPerPhase);

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
                count = 0;
                // The check is known only once the words are in.
                std::array<std::uint32_t, flex::WordsPerPhase> probe{};
                int n = v.words;
                bool ok = n >= 2 && n <= flex::WordsPerPhase;
                for (int k = 0; ok && k < n; ++k) {
                    const int w = isLong ? (k == 0 ? slot + 1 : v.start + k - 1) : v.start + k;
                    if (w < 1 || w >= flex::WordsPerPhase || !WordAt(letter, w).ok) ok = false;
                    else probe[static_cast<std::size_t>(k)] = flex::InfoOf(WordAt(letter, w).word);
                }
                checked = strong = true;
                fits = ok && flex::FragmentCheckFits(std::span<const std::uint32_t>(probe.data(), static_cast<std::size_t>(n)));
                if (!ok || !gather(n)) {
                    ++stats_.rejectedPages;
                    continue;
                }
                const flex::AlphaHeader h = flex::ParseAlphaHeader(msg[0]);
                // A wrong correction can keep the 10-bit sum by chance (a few
                // in ten thousand weak pages): a whole message corrected
                // heavily must fit its signature too.
                if (heavy && h.fragment == 3 && !h.more &&
                    !flex::SignatureFits(words.subspan(1, static_cast<std::size_t>(count - 1)))) {
                    ++stats_.checkMismatches;
                    ++stats_.rejectedPages;
                    continue;
                }
                scratch_.clear();
                int signature = -1;
                flex::UnpackAlpha(words.subspan(1, static_cast<std::size_t>(count - 1)), scratch_, signature);
                std::string whole;
                int fragments = 1, total = 0;
                const auto r = joiner_.Add(capcode, h.number, h.fragment, h.more, frameCount, scratch_, corrected, whole,
                                           fragments, total);
                if (r == flex::FragmentJoiner::Result::Dropped) ++stats_.droppedFragments;
                if (r != flex::FragmentJoiner::Result::Complete) continue;
                page.type = FlexPageType::Alpha;
                AppendText(whole, page.text);
                page.fragments = fragments;
                page.fragmentState = fragments > 1 ? FlexFragments::Last : FlexFragments::Whole;
                corrected = total;
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
                count = 0;
                std::array<std::uint32_t, flex::NumericMaxWords> probe{};
                bool ok = true;
                for (int k = 0; ok && k < v.words; ++k) {
                    const int w = isLong ? (k == 0 ? slot + 1 : v.start + k - 1) : v.start + k;
                    if (w < 1 || w >= flex::WordsPerPhase || !WordAt(letter, w).ok) ok = false;
                    else probe[static_cast<std::size_t>(k)] = flex::InfoOf(WordAt(letter, w).word);
                }
                checked = true;
                fits = ok && flex::NumericCheckFits(std::span<const std::uint32_t>(probe.data(), static_cast<std::size_t>(v.words)),
                                                    vectorInfo);
                if (!ok || !gather(v.words)) {
                    ++stats_.rejectedPages;
                    continue;
                }
                page.type = FlexPageType::Numeric;
                flex::UnpackNumeric(words.subspan(0, static_cast<std::size_t>(count)), page.text);
                if (weak_ && corrected > 0 && page.text.find(flex::UncertainSpareNumeric) != std::string::npos) {
                    ++stats_.rejectedPages;
                    continue;
                }
                break;
            }
            case flex::VectorType::Binary:
            case flex::VectorType::Secure:
                count = 0;
                if (v.words < 1 || !gather(v.words)) {
                    ++stats_.rejectedPages;
                    continue;
                }
                page.type = v.type == flex::VectorType::Binary ? FlexPageType::Binary : FlexPageType::Secure;
                page.rawWords.assign(msg.begin(), msg.begin() + count);
                break;
            default:
                ++stats_.otherVectors;
                continue;
        }
        page.corrected = corrected;
        ++stats_.pages;
        ctx_.events.OnEvent(page);
    }
}

}  // namespace quorvel
