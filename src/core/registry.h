// The decoders as one ordered list. Each entry names a kind of signal ("pocsag",
// "fms", "zvei": the names --decoders takes), says whether it is the specified
// form or the sensitive one, points at the kind's switch in the settings and
// makes a decoder. The processing loop runs the entries in list order; of the two
// forms of a kind exactly one runs: the sensitive one while the Sensitive switch
// is on, else the specified one.
//
// Adding a decoder: one file with a class derived from BlockDecoder that emits
// events into ctx.events, and one line in StandardDecoders() that points to the
// description of its kind (kind.h).
#pragma once

#include <atomic>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "processing.h"

namespace quorvel {

// One decoder as the processing loop sees it.
class BlockDecoder {
public:
    virtual ~BlockDecoder() = default;
    // Decode ctx.SampleBlock (capture thread, once per block while switched on).
    virtual void ProcessBlock() = 0;
    // True while something is under way that more input would complete (a
    // transmission, a telegram's text, a tone sequence).
    virtual bool Busy() const = 0;
    // The input ended (after the silence that lets Busy() fall): emit whatever is
    // still under way as it stands, marked incomplete, and start afresh.
    virtual void FinishInput() = 0;
    // Counts for --stats, one "Name: value\n" line each (e.g. calls found but
    // not shown); most decoders have none.
    virtual void AppendStats(std::string& out) const { (void)out; }
};

enum class DecoderForm { Specified, Sensitive };

struct KindDescription;

struct DecoderEntry {
    std::string_view kind;
    DecoderForm form = DecoderForm::Specified;
    // The kind's switch; an entry without one runs whenever it is listed.
    std::atomic<bool> DecoderSettings::*enabled = nullptr;
    std::unique_ptr<BlockDecoder> (*make)(SharedContext& ctx) = nullptr;
    const KindDescription* description = nullptr;  // what its events mean (named `kind`)
};

// POCSAG, FMS, five-tone: the order of the specified loop (and of its draws from
// NextRandom).
const std::vector<DecoderEntry>& StandardDecoders();

// The kinds of a list in order, each once.
std::vector<std::string_view> DecoderKinds(const std::vector<DecoderEntry>& entries);

// An entry with its decoder, as the loop runs it.
struct DecoderSlot {
    const DecoderEntry* entry = nullptr;
    BlockDecoder* decoder = nullptr;
    bool kindHasSensitiveForm = false;
    bool sensitiveFormOnly = false;  // the kind has no specified form: it runs whatever Sensitive says

    // Reads the kind's switch (and the Sensitive switch) now.
    bool IsOn(const DecoderSettings& settings) const;
};

// The decoders of a list, made for one context, in list order.
class DecoderSet {
public:
    DecoderSet(const std::vector<DecoderEntry>& entries, SharedContext& ctx);
    // Decoders made elsewhere (tests), run in the order given.
    explicit DecoderSet(std::vector<DecoderSlot> slots);
    std::span<const DecoderSlot> Slots() const { return slots_; }
    // The decoder of a kind and form, or nullptr.
    BlockDecoder* Find(std::string_view kind, DecoderForm form = DecoderForm::Specified) const;
    // Whether any decoder that is switched on is still busy.
    bool Busy(const DecoderSettings& settings) const;
    // FinishInput of every decoder that is switched on, in list order.
    void FinishInput(const DecoderSettings& settings);
    // AppendStats of every decoder that is switched on, in list order.
    void AppendStats(const DecoderSettings& settings, std::string& out) const;
    // One block through the decoders that are on, in list order, each slot's
    // switches read when the loop reaches it. A decoder that was on for the last
    // block and is off now because the other form of its kind was chosen is
    // finished when it was busy, before the other form runs: its call comes out
    // whole or marked incomplete, never lost or glued to another decoder's text.
    // A sensitive decoder switched off is finished too; a specified one keeps
    // its state, as the window has always done.
    void ProcessBlock(const DecoderSettings& settings);

private:
    std::vector<std::unique_ptr<BlockDecoder>> decoders_;
    std::vector<DecoderSlot> slots_;
    std::vector<bool> wasOn_;
};

// For every pending block: extract, condition, run the decoders, publish the text.
void ProcessPendingBlocks(SharedContext& ctx, InputConditioner& conditioner, BlockSource& source, DecoderSet& decoders);

}  // namespace quorvel
