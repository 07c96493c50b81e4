#include "registry.h"

#include <algorithm>

#include "fms.h"
#include "pocsag.h"
#include "sensitive/flex_decoder.h"
#include "sensitive/sensitive_pocsag.h"
#include "sensitive/dtmf.h"
#include "sensitive/fms_sensitive.h"
#include "sensitive/tone_sensitive.h"
#include "zvei.h"

namespace quorvel {

namespace {

template <class D>
std::unique_ptr<BlockDecoder> Make(SharedContext& ctx) {
    return std::make_unique<D>(ctx);
}

}  // namespace

const std::vector<DecoderEntry>& StandardDecoders() {
    static const std::vector<DecoderEntry> entries = {
        {"pocsag", DecoderForm::Specified, &DecoderSettings::PocsagEnabled, &Make<PocsagDecoder>, &PocsagKind},
        {"pocsag", DecoderForm::Sensitive, &DecoderSettings::PocsagEnabled, &Make<SensitivePocsagDecoder>, &PocsagKind},
        {"fms", DecoderForm::Specified, &DecoderSettings::FmsEnabled, &Make<FmsDecoder>, &FmsKind},
        {"fms", DecoderForm::Sensitive, &DecoderSettings::FmsEnabled, &Make<SensitiveFmsDecoder>, &FmsKind},
        {"zvei", DecoderForm::Specified, &DecoderSettings::ZveiEnabled, &Make<ZveiDecoder>, &ToneKind},
        {"zvei", DecoderForm::Sensitive, &DecoderSettings::ZveiEnabled, &Make<SensitiveToneDecoder>, &ToneKind},
        {"dtmf", DecoderForm::Sensitive, &DecoderSettings::DtmfEnabled, &Make<DtmfDecoder>, &DtmfKind},
        {"flex", DecoderForm::Sensitive, &DecoderSettings::FlexEnabled, &Make<FlexDecoder>, &FlexKind},
    };
    return entries;
}

std::vector<std::string_view> DecoderKinds(const std::vector<DecoderEntry>& entries) {
    std::vector<std::string_view> kinds;
    for (const DecoderEntry& e : entries)
        if (std::find(kinds.begin(), kinds.end(), e.kind) == kinds.end()) kinds.push_back(e.kind);
    return kinds;
}

bool DecoderSlot::IsOn(const DecoderSettings& settings) const {
    if (entry->enabled != nullptr && !(settings.*(entry->enabled)).load()) return false;
    const bool sensitive = settings.Sensitive.load();
    // A kind with one form runs in it whatever the Sensitive switch says.
    if (entry->form == DecoderForm::Sensitive) return sensitive || sensitiveFormOnly;
    return !(sensitive && kindHasSensitiveForm);
}

DecoderSet::DecoderSet(const std::vector<DecoderEntry>& entries, SharedContext& ctx) {
    for (const DecoderEntry& e : entries) {
        auto hasForm = [&](DecoderForm form) {
            return std::any_of(entries.begin(), entries.end(),
                               [&](const DecoderEntry& other) { return other.kind == e.kind && other.form == form; });
        };
        decoders_.push_back(e.make(ctx));
        slots_.push_back({&e, decoders_.back().get(), hasForm(DecoderForm::Sensitive), !hasForm(DecoderForm::Specified)});
    }
    wasOn_.assign(slots_.size(), false);
}

DecoderSet::DecoderSet(std::vector<DecoderSlot> slots) : slots_(std::move(slots)) {
    wasOn_.assign(slots_.size(), false);
}

BlockDecoder* DecoderSet::Find(std::string_view kind, DecoderForm form) const {
    for (const DecoderSlot& s : slots_)
        if (s.entry->kind == kind && s.entry->form == form) return s.decoder;
    return nullptr;
}

bool DecoderSet::Busy(const DecoderSettings& settings) const {
    return std::any_of(slots_.begin(), slots_.end(),
                       [&settings](const DecoderSlot& s) { return s.IsOn(settings) && s.decoder->Busy(); });
}

void DecoderSet::FinishInput(const DecoderSettings& settings) {
    for (const DecoderSlot& s : slots_)
        if (s.IsOn(settings)) s.decoder->FinishInput();
}

void DecoderSet::AppendStats(const DecoderSettings& settings, std::string& out) const {
    for (const DecoderSlot& s : slots_)
        if (s.IsOn(settings)) s.decoder->AppendStats(out);
}

void DecoderSet::ProcessBlock(const DecoderSettings& settings) {
    auto finish = [this](std::size_t i) {
        if (slots_[i].decoder->Busy()) slots_[i].decoder->FinishInput();
        wasOn_[i] = false;
    };
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        // Each slot's switches are read when the loop reaches it.
        const bool on = slots_[i].IsOn(settings);
        if (on && !wasOn_[i]) {
            // The other form of this kind is going off: it finishes before this
            // one writes anything.
            for (std::size_t j = 0; j < slots_.size(); ++j)
                if (j != i && wasOn_[j] && slots_[j].entry->kind == slots_[i].entry->kind && !slots_[j].IsOn(settings))
                    finish(j);
        } else if (!on && wasOn_[i] && slots_[i].entry->form == DecoderForm::Sensitive) {
            finish(i);
        }
        // A specified decoder switched off keeps what it has collected, as the
        // window always did (it still counts as holding it until the other form
        // takes over); a sensitive one ends what is under way.
        if (on) {
            wasOn_[i] = true;
            slots_[i].decoder->ProcessBlock();
        }
    }
}

void ProcessPendingBlocks(SharedContext& ctx, InputConditioner& conditioner, BlockSource& source, DecoderSet& decoders) {
    while (source.PendingBlocks() > 0) {
        {
            std::lock_guard<std::mutex> guard(ctx.SampleBlockLock);
            source.ExtractBlock(ctx.SampleBlock);
        }
        conditioner.ConditionBlock(ctx);
        decoders.ProcessBlock(ctx.settings);
        ctx.PublishText();
        ctx.BlockStart += FramesPerBlock;
    }
}

}  // namespace quorvel
