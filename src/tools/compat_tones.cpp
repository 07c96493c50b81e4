#include "compat_tones.h"

#include <algorithm>

#include "core/sensitive/tone_sensitive.h"

namespace quorvel::tools {

namespace {

constexpr std::int32_t kCcir = 3;

std::unique_ptr<BlockDecoder> MakeCcir(SharedContext& ctx) { return std::make_unique<ExtraToneDecoder>(ctx, kCcir); }

}  // namespace

ExtraToneDecoder::ExtraToneDecoder(SharedContext& engine, std::int32_t table)
    : engine_(engine), own_(engine.clock), decoder_(std::make_unique<SensitiveToneDecoder>(own_)) {
    own_.settings.SelectToneTable(table);
    own_.events.Subscribe(*this);
}

ExtraToneDecoder::~ExtraToneDecoder() { own_.events.Unsubscribe(*this); }

void ExtraToneDecoder::ProcessBlock() {
    // The processing thread alone writes the engine's block; no lock needed to read it.
    own_.SampleBlock = engine_.SampleBlock;
    own_.BlockStart = engine_.BlockStart;
    decoder_->ProcessBlock();
}

DecoderEntry ExtraCcirEntry() { return {"ccir", DecoderForm::Sensitive, nullptr, &MakeCcir}; }

}  // namespace quorvel::tools
