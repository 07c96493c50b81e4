#include "kind.h"

#include <algorithm>
#include <vector>

#include "registry.h"

namespace quorvel {

namespace {

std::optional<std::uint64_t> Digits(std::string_view text, int base, std::size_t minLength, std::size_t maxLength) {
    if (text.size() < minLength || text.size() > maxLength) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return std::nullopt;
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(d);
    }
    return value;
}

}  // namespace

std::optional<std::uint64_t> DecimalAddress(std::string_view text, std::size_t minLength, std::size_t maxLength) {
    return Digits(text, 10, minLength, maxLength);
}

std::optional<std::uint64_t> HexAddress(std::string_view text, std::size_t minLength, std::size_t maxLength) {
    return Digits(text, 16, minLength, maxLength);
}

const FieldValue* FindField(const Call& call, std::string_view name) {
    for (const Field& f : call.fields)
        if (f.name == name) return &f.value;
    return nullptr;
}

std::span<const KindDescription* const> Kinds() {
    static const std::vector<const KindDescription*> kinds = [] {
        std::vector<const KindDescription*> list;
        for (const DecoderEntry& e : StandardDecoders())
            if (e.description != nullptr && std::find(list.begin(), list.end(), e.description) == list.end())
                list.push_back(e.description);
        return list;
    }();
    return kinds;
}

const KindDescription* FindKind(std::string_view name) {
    for (const KindDescription* k : Kinds())
        if (k->name == name) return k;
    return nullptr;
}

const KindDescription* FindKindOfProtocol(std::string_view protocol) {
    for (const KindDescription* k : Kinds())
        for (std::string_view p : k->protocols)
            if (p == protocol) return k;
    return nullptr;
}

void AppendEventText(const Event& event, std::string& out, const TextOptions& options) {
    if (const KindDescription* k = FindKind(EventKind(event))) k->appendText(event, options, out);
}

CallAssembler::CallAssembler(TextOptions options) : options_(options) {
    for (const KindDescription* k : Kinds()) pending_.push_back({k, k->makeBuilder(options_), {}});
}

CallAssembler::Pending* CallAssembler::PendingOf(std::string_view kind) {
    for (Pending& p : pending_)
        if (p.kind->name == kind) return &p;
    return nullptr;
}

bool CallAssembler::Take(const Event& event, Call& call) {
    Pending* p = PendingOf(EventKind(event));
    if (p == nullptr) return false;
    p->kind->appendText(event, options_, p->line);
    call = Call{};
    if (!p->builder->Take(event, call)) return false;
    call.line = std::move(p->line);
    p->line.clear();
    return true;
}

}  // namespace quorvel
