#include "engine.h"

#include <stdexcept>
#include <string>

namespace quorvel {

namespace {

// Every list an engine runs holds the three specified decoders.
template <class D>
D& Specified(const DecoderSet& set, std::string_view kind) {
    BlockDecoder* d = set.Find(kind, DecoderForm::Specified);
    if (d == nullptr) throw std::logic_error("decoder list without the specified " + std::string(kind) + " decoder");
    return *static_cast<D*>(d);
}

// One block of digital silence.
class SilentBlock final : public BlockSource {
public:
    std::int32_t PendingBlocks() const override { return done_ ? 0 : 1; }
    void ExtractBlock(SampleArray& block) override {
        block.fill(0.0);
        done_ = true;
    }

private:
    bool done_ = false;
};

}  // namespace

Engine::Engine(const Clock& clock, const std::vector<DecoderEntry>& entries)
    : ctx(clock),
      decoders(entries, ctx),
      pocsag(Specified<PocsagDecoder>(decoders, "pocsag")),
      fms(Specified<FmsDecoder>(decoders, "fms")),
      zvei(Specified<ZveiDecoder>(decoders, "zvei")) {}

void Engine::DecodeOneSilentBlock() {
    SilentBlock silence;
    ProcessPendingBlocks(silence);
}

}  // namespace quorvel
