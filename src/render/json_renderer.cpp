#include "json_renderer.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "core/processing.h"
#include "core/sensitive/flex_format.h"
#include "core/zvei.h"
#include "text_renderer.h"

namespace quorvel {

namespace {

using json = nlohmann::ordered_json;

std::string Utf8(const std::string& cp1252) { return Cp1252ToUtf8(cp1252); }

// Seconds from the start of the input, to the millisecond.
double OffsetSeconds(std::int64_t sample, std::int32_t rate) {
    return std::round(static_cast<double>(sample) * 1000.0 / rate) / 1000.0;
}

std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

std::string BitsHex(const std::array<std::uint8_t, 48>& bits) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t k = 0; k < 48; k += 4) {
        unsigned v = 0;
        for (std::size_t i = 0; i < 4; ++i) v = (v << 1) | (bits[k + i] == 1 ? 1u : 0u);
        hex += digits[v];
    }
    return hex;
}

const char* CheckName(FmsCheck c) {
    switch (c) {
        case FmsCheck::Ok: return "ok";
        case FmsCheck::Failed: return "failed";
        default: return "undecided";
    }
}

}  // namespace

std::string FmsIdentity(const FmsTelegram& t) {
    std::string id;
    for (int a = 0; a < 32; a += 4) id += FmsHexDigits[t.Field(a, a + 3)];
    return id;
}

std::string JsonEvents::IsoTime(const DateTime& local) const {
    const std::int64_t offsetSeconds = (CivilMilliseconds(clock_.LocalNow()) - CivilMilliseconds(clock_.UtcNow())) / 1000;
    // Whole minutes: the two readings of the clock lie a moment apart.
    const auto offsetMinutes = static_cast<std::int64_t>(std::llround(static_cast<double>(offsetSeconds) / 60.0));
    const char sign = offsetMinutes < 0 ? '-' : '+';
    const std::int64_t m = offsetMinutes < 0 ? -offsetMinutes : offsetMinutes;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", local.year, local.month, local.day,
                  local.hour, local.minute, local.second, local.millisecond, sign, static_cast<int>(m / 60),
                  static_cast<int>(m % 60));
    return text;
}

bool JsonEvents::ToJson(const Event& event, std::string& out) {
    json j;
    auto stamp = [&](const EventOrigin& at) {
        j["time"] = IsoTime(at.time);
        j["offset"] = OffsetSeconds(at.sample, sampleRate_);
    };
    if (const auto* e = std::get_if<PocsagCallEnd>(&event)) {
        stamp(e->at);
        j["protocol"] = "pocsag";
        j["ric"] = e->ric;
        j["function"] = e->function;
        j["bitrate"] = std::lround(e->bitRate);
        j["polarity"] = e->inverted ? "inverted" : "normal";
        const char* type = e->codewords == 0 ? "tone" : (e->hasNumeric && e->function == 0) ? "numeric" : "alpha";
        j["type"] = type;
        j["message"] = e->codewords == 0 ? "" : Utf8(std::string(type) == "numeric" ? e->numeric : e->alpha);
        if (e->hasNumeric) {
            j["numeric"] = Utf8(e->numeric);
            j["alpha"] = Utf8(e->alpha);
        }
        if (e->offsetMode) j["offset_mode"] = true;
        j["codewords"] = e->codewords;
        j["errors"] = e->errors;
        j["corrected"] = e->corrected;
        if (!e->complete) j["incomplete"] = true;
    } else if (const auto* e = std::get_if<PocsagTransmissionEnd>(&event)) {
        j["event"] = "transmission_end";
        stamp(e->at);
        j["protocol"] = "pocsag";
        j["begin"] = IsoTime(e->beginTime);
        j["idles"] = e->idles;
        j["syncs"] = e->syncs;
        j["bits"] = e->bits;
        j["bitrate"] = std::round(e->bitRate * 100.0) / 100.0;
        j["polarity"] = e->inverted ? "inverted" : "normal";
        j["fails"] = e->fails;
        j["crc_errors"] = e->crcErrors;
        j["corrected"] = e->corrected;
    } else if (const auto* e = std::get_if<FmsTelegram>(&event)) {
        stamp(e->at);
        j["protocol"] = "fms";
        fmsText_.clear();
        fmsAddress_.clear();
        if (e->DataDecided()) {
            fmsAddress_ = FmsIdentity(*e);
            j["address"] = fmsAddress_;
            j["organisation"] = e->Field(0, 3);
            j["organisation_name"] = Utf8(FmsOrganisationNames[e->Field(0, 3)]);
            j["land"] = e->Field(4, 7);
            j["land_name"] = Utf8(FmsLandNames[e->Field(4, 7)]);
            j["location"] = fmsAddress_.substr(2, 2);
            j["vehicle"] = fmsAddress_.substr(4, 4);
            j["status"] = std::string(1, FmsHexDigits[e->Field(32, 35)]);
            j["build_stage"] = e->Field(36, 36);
            j["direction"] = FmsDirectionNames[e->Field(37, 37)];
            j["tactical"] = e->Field(38, 39);
            j["tactical_name"] = FmsTacticalInfoNames[e->Field(38, 39)][0] == ' ' ? "I" : FmsTacticalInfoNames[e->Field(38, 39)];
        }
        j["bits"] = BitsHex(e->bits);
        j["check"] = CheckName(e->check);
        if (e->corrected) j["corrected"] = true;
        if (e->firstUndecided < 48) j["undecided_bit"] = e->firstUndecided + 1;
    } else if (const auto* e = std::get_if<FmsTextBlock>(&event)) {
        if (e->index == 1) {
            fmsText_.clear();
            fmsTextNumber_ = e->number;
            fmsTextSample_ = e->at.sample;
        }
        fmsText_ += e->characters;
        return false;
    } else if (const auto* e = std::get_if<FmsTextEnd>(&event)) {
        j["event"] = "fms_text";
        stamp(e->at);
        j["protocol"] = "fms";
        if (!fmsAddress_.empty()) j["address"] = fmsAddress_;
        j["number"] = fmsTextNumber_;
        j["text"] = Utf8(fmsText_);
        if (!e->complete) j["incomplete"] = true;
        fmsText_.clear();
    } else if (const auto* e = std::get_if<FlexPage>(&event)) {
        stamp(e->at);
        flex::AddJsonFields(*e, j);
    } else if (const auto* e = std::get_if<ToneSequence>(&event)) {
        if (e->table < 0 || e->table >= zvei::TableCount) return false;
        const zvei::ToneTable& t = zvei::Table(e->table);
        stamp(e->at);
        j["protocol"] = e->table == 3 ? "ccir" : "zvei";
        j["table"] = std::string(t.name);
        std::string sequence;
        std::string digits;
        int failed = 0;
        json tones = json::array();
        for (std::int32_t k = 0; k < e->count && k < 5; ++k) {
            const std::int32_t entry = e->entries[static_cast<std::size_t>(k)];
            const double f = std::round(e->frequencies[static_cast<std::size_t>(k)] * 10.0) / 10.0;
            std::string text = entry >= 0 && entry < t.entryCount ? std::string(t.entries[entry].text) : "?";
            if (entry < 0) ++failed;
            sequence += text;
            // The repeat tone stands for the digit before it.
            digits += (text == "R" && !digits.empty()) ? std::string(1, digits.back()) : text;
            tones.push_back({{"tone", text}, {"frequency", f}});
        }
        j["sequence"] = sequence;
        j["digits"] = digits;
        j["address"] = digits;
        j["failed"] = failed;
        j["tones"] = tones;
    } else {
        return false;
    }
    out = Dump(j);
    return true;
}

JsonRenderer::JsonRenderer(SharedContext& ctx) : ctx_(ctx), json_(ctx.clock, ctx.SampleRate) {
    ctx_.events.Subscribe(*this);
}

JsonRenderer::~JsonRenderer() { ctx_.events.Unsubscribe(*this); }

void JsonRenderer::OnEvent(const Event& event) {
    if (!json_.ToJson(event, line_)) return;
    ctx_.MessageText += line_;
    ctx_.MessageText += '\n';
}

}  // namespace quorvel
