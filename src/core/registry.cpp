#include "registry.h"

#include <algorithm>

#include "fms.h"
#include "pocsag.h"
#include "sensitive/flex_decoder.h"
#include "sensitive/sensitive_pocsag.h"
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
        {"pocsag", DecoderForm::Specified, &DecoderSettings::PocsagEnabled, &Make<PocsagDecoder>},
        {"pocsag", DecoderForm::Sensitive, &DecoderSettings::PocsagEnabled, &Make<SensitivePocsagDecoder>},
        {"fms", DecoderForm::Specified, &DecoderSettings::FmsEnabled, &Make<FmsDecoder>},
        {"fms", DecoderForm::Sensitive, &DecoderSettings::FmsEnabled, &Make<SensitiveFmsDecoder>},
        {"zvei", DecoderForm::Specified, &DecoderSettings::ZveiEnabled, &Make<ZveiDecoder>},
        {"zvei", DecoderForm::Sensitive, &DecoderSettings::ZveiEnabled, &Make<SensitiveToneDecoder>},
        {"flex", DecoderForm::Sensitive, &DecoderSettings::FlexEnabled, &Make<FlexDecoder>},
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
    if (entry->form == DecoderForm::Sensitive) return sensitive || !kindHasSpecifiedForm;
    return !(sensitive && kindHasSensitiveForm);
}

DecoderSet::DecoderSet(const std::vector<DecoderEntry>& entries, SharedContext& ctx) {
    for (const DecoderEntry& e : entries) {
        const bool sensitiveForm = std::any_of(entries.begin(), entries.end(), [&e](const DecoderEntry& other) {
            return other.kind == e.kind && other.form == DecoderForm::Sensitive;
        });
        const bool specifiedForm = std::any_of(entries.begin(), entries.end(), [&e](const DecoderEntry& other) {
            return other.kind == e.kind && other.form == DecoderForm::Specified;
        });
        decoders_.push_back(e.make(ctx));
        slots_.push_back({&e, decoders_.back().get(), sensitiveForm, specifiedForm});
    }
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

void ProcessPendingBlocks(SharedContext& ctx, InputConditioner& conditioner, BlockSource& source,
                          std::span<const DecoderSlot> decoders) {
    while (source.PendingBlocks() > 0) {
        {
            std::lock_guard<std::mutex> guard(ctx.SampleBlockLock);
            source.ExtractBlock(ctx.SampleBlock);
        }
        conditioner.ConditionBlock(ctx);
        for (const DecoderSlot& slot : decoders)
            if (slot.IsOn(ctx.settings)) slot.decoder->ProcessBlock();
        ctx.PublishText();
        ctx.BlockStart += FramesPerBlock;
    }
}

}  // namespace quorvel
