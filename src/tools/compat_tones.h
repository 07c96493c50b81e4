// A second five-tone decoder beside the engine's own, for one more tone table:
// a station that asks for ZVEI and CCIR at once hears both, where the engine's
// decoder listens to one table (the settings' ZveiTableIndex).
//
// It keeps a context of its own (its table and run limits, its decoder's
// state), is handed each block of the engine's context as it is decoded and
// passes the tone sequences it finds on to the engine's event bus, with the
// engine's positions.
#pragma once

#include <cstdint>
#include <memory>

#include "core/events.h"
#include "core/processing.h"
#include "core/registry.h"

namespace quorvel::tools {

class ExtraToneDecoder final : public BlockDecoder, private EventSink {
public:
    ExtraToneDecoder(SharedContext& engine, std::int32_t table);
    ~ExtraToneDecoder() override;
    void ProcessBlock() override;
    bool Busy() const override { return decoder_->Busy(); }
    void FinishInput() override { decoder_->FinishInput(); }

private:
    void OnEvent(const Event& event) override { engine_.events.OnEvent(event); }

    SharedContext& engine_;
    SharedContext own_;
    std::unique_ptr<BlockDecoder> decoder_;
};

// The registry entry of a CCIR decoder beside the engine's (runs whenever listed).
DecoderEntry ExtraCcirEntry();

}  // namespace quorvel::tools
