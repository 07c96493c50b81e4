#include "json_renderer.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "core/processing.h"

namespace quorvel {

namespace {

using json = nlohmann::ordered_json;

std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

json ToValue(const FieldValue& value, const JsonWriter& writer);

json ToObject(const FieldList& fields, const JsonWriter& writer) {
    json j = json::object();
    for (const Field& f : fields) j[f.name] = ToValue(f.value, writer);
    return j;
}

json ToValue(const FieldValue& value, const JsonWriter& writer) {
    struct Visit {
        const JsonWriter& writer;
        json operator()(bool v) const { return v; }
        json operator()(std::int64_t v) const { return v; }
        json operator()(double v) const { return v; }
        json operator()(const std::string& v) const { return v; }
        json operator()(const DateTime& v) const { return writer.IsoTime(v); }
        json operator()(const std::vector<FieldList>& v) const {
            json a = json::array();
            for (const FieldList& object : v) a.push_back(ToObject(object, writer));
            return a;
        }
    };
    return std::visit(Visit{writer}, value);
}

}  // namespace

std::string JsonWriter::IsoTime(const DateTime& local) const {
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

double JsonWriter::OffsetSeconds(std::int64_t sample) const {
    return std::round(static_cast<double>(sample) * 1000.0 / sampleRate_) / 1000.0;
}

std::string JsonWriter::ToJson(const Call& call) const {
    json j;
    if (!call.event.empty()) j["event"] = call.event;
    j["time"] = IsoTime(call.at.time);
    j["offset"] = OffsetSeconds(call.at.sample);
    j["protocol"] = call.protocol;
    for (const Field& f : call.fields) j[f.name] = ToValue(f.value, *this);
    if (call.incomplete) j["incomplete"] = true;
    if (!call.name.empty()) j["name"] = call.name;
    return Dump(j);
}

bool JsonEvents::ToJson(const Event& event, std::string& out) {
    if (!calls_.Take(event, call_)) return false;
    out = writer_.ToJson(call_);
    return true;
}

JsonRenderer::JsonRenderer(SharedContext& ctx, TextOptions options)
    : ctx_(ctx), json_(ctx.clock, ctx.SampleRate, options) {
    ctx_.events.Subscribe(*this);
}

JsonRenderer::~JsonRenderer() { ctx_.events.Unsubscribe(*this); }

void JsonRenderer::OnEvent(const Event& event) {
    if (!json_.ToJson(event, line_)) return;
    ctx_.MessageText += line_;
    ctx_.MessageText += '\n';
}

}  // namespace quorvel
