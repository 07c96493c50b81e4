#include "station.h"

#include <CLI/CLI.hpp>

#include <nlohmann/json.hpp>

#include "core/engine.h"
#include "core/processing.h"
#include "render/text_renderer.h"

namespace quorvel::station {

namespace {

// The name as a last TAB field of the call's text: before the line end that
// closes it.
std::string WithName(std::string text, const std::string& name) {
    if (name.empty()) return text;
    const std::string field = "\t" + Utf8ToCp1252(name);
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) {
        text.insert(text.size() - 2, field);
    } else {
        text += field;
    }
    return text;
}

}  // namespace

namespace {

// Filters and the broker's URL are checked as the command line is read, so that
// a bad one in a config file is reported with its line.
CLI::Validator ReadAs(bool (*parse)(const std::string&, std::string&)) {
    return CLI::Validator(
        [parse](std::string& text) {
            std::string error;
            return parse(text, error) ? std::string() : error;
        },
        "");
}

bool IsFilterRule(const std::string& text, std::string& error) { return ParseFilterRule(text, error).has_value(); }

bool IsMqttUrl(const std::string& text, std::string& error) {
    MqttTarget target;
    return ParseMqttUrl(text, target, error);
}

}  // namespace

void AddOptions(CLI::App& app, StationOptions& o) {
    const std::string group = "Station";
    app.add_option("--aliases", o.aliases,
                   "names for addresses: a CSV file with the header protocol,address,subaddress,name[,action]")
        ->group(group);
    app.add_option("--only", o.only,
                   "write and pass on only these calls: PROTOCOL[:ADDRESS or :LOW-HIGH], e.g. pocsag:1234000-1234999 "
                   "(repeatable)")
        ->group(group)
        ->allow_extra_args(false)
        ->check(ReadAs(IsFilterRule));
    app.add_option("--ignore", o.ignore, "leave out these calls, written like --only (repeatable)")
        ->group(group)
        ->allow_extra_args(false)
        ->check(ReadAs(IsFilterRule));
    app.add_option("--dedup", o.dedupSeconds,
                   "do not write a call again that is identical (protocol, address, function, text) to one "
                   "written within the last SECONDS")
        ->group(group)
        ->check(CLI::Range(0.0, 86400.0));
    app.add_option("--exec", o.exec,
                   "run COMMAND (through /bin/sh) for each call: its JSON on standard input, QUORVEL_PROTOCOL, "
                   "_ADDRESS, _FUNCTION, _MESSAGE, _NAME, _TIME in the environment (repeatable)")
        ->group(group)
        ->allow_extra_args(false);
    app.add_option("--exec-timeout", o.execTimeout, "seconds a command may run before it is killed (default 30)")
        ->group(group)
        ->check(CLI::Range(0.1, 86400.0));
    app.add_option("--mqtt", o.mqtt,
                   "publish each call's JSON with QoS 1 to TOPIC/<protocol>: mqtt[s]://[USER[:PASSWORD]@]HOST[:PORT]/"
                   "TOPIC (or QUORVEL_MQTT_USER, QUORVEL_MQTT_PASSWORD)")
        ->group(group)
        ->check(ReadAs(IsMqttUrl));
    app.add_option("--mqtt-wait", o.mqttWait,
                   "at the end of the input, wait at most SECONDS for the broker to take the queued calls (default 10)")
        ->group(group)
        ->check(CLI::Range(0.0, 86400.0));
}

bool Configure(const StationOptions& o, StationConfig& c, std::vector<std::string>& errors) {
    const std::size_t before = errors.size();
    if (!o.aliases.empty()) c.aliases.Load(o.aliases, errors);
    for (const auto& [texts, rules, option] :
         {std::tuple{&o.only, &c.only, "--only"}, std::tuple{&o.ignore, &c.ignore, "--ignore"}}) {
        for (const std::string& t : *texts) {
            std::string error;
            if (auto rule = ParseFilterRule(t, error)) rules->push_back(*rule);
            else errors.push_back(std::string(option) + " " + error);
        }
    }
    c.dedupSeconds = o.dedupSeconds;
    for (const std::string& command : o.exec) {
        const std::string problem = CheckCommand(command);
        if (!problem.empty()) errors.push_back("--exec '" + command + "': " + problem);
    }
    c.exec = o.exec;
    c.execTimeout = o.execTimeout;
    if (!o.mqtt.empty()) {
        std::string error;
        c.mqttWait = o.mqttWait;
        if (ParseMqttUrl(o.mqtt, c.mqttTarget, error)) c.mqtt = true;
        else errors.push_back("--mqtt " + error);
    }
    return errors.size() == before;
}

Station::Station(const Clock& clock, std::int32_t sampleRate, StationConfig config, bool json)
    : config_(std::move(config)),
      json_(json),
      events_(clock, sampleRate),
      duplicates_(config_.dedupSeconds) {
    if (!config_.exec.empty()) hooks_ = std::make_unique<HookRunner>(config_.exec, config_.execTimeout);
    if (config_.mqtt) mqtt_ = std::make_unique<MqttPublisher>(config_.mqttTarget);
}

Station::~Station() {
    Follow(nullptr, nullptr);
    // Without Finish (an early end): stop the workers at once.
    if (hooks_) hooks_->Finish(0.0);
    if (mqtt_) mqtt_->Finish(0.0);
}

void Station::Follow(Engine* engine, EventSink* jsonRenderer) {
    if (ctx_ != nullptr) ctx_->events.Unsubscribe(*this);
    ctx_ = nullptr;
    pocsagPending_.clear();
    fmsTextPending_.clear();
    transmissionCalls_ = 0;
    transmissionWritten_ = 0;
    // Offsets of another input do not compare with this one's.
    duplicates_ = DuplicateFilter(config_.dedupSeconds);
    if (engine == nullptr) return;
    engine->ctx.events.Unsubscribe(engine->text);
    if (jsonRenderer != nullptr) engine->ctx.events.Unsubscribe(*jsonRenderer);
    if (engine->ctx.events.Subscribe(*this)) ctx_ = &engine->ctx;
}

void Station::Write(const std::string& text) {
    if (ctx_ != nullptr) ctx_->MessageText += text;
}

void Station::OnEvent(const Event& event) {
    std::string object;
    const bool complete = events_.ToJson(event, object);
    std::string text;
    if (!json_) AppendEventText(event, text);
    if (std::holds_alternative<PocsagCallBegin>(event)) {
        pocsagPending_ += text;
    } else if (std::holds_alternative<FmsTextBlock>(event)) {
        fmsTextPending_ += text;
    } else if (std::holds_alternative<PocsagCallEnd>(event)) {
        ++transmissionCalls_;
        text.insert(0, pocsagPending_);
        pocsagPending_.clear();
        OnCall(object, std::move(text));
    } else if (std::holds_alternative<FmsTextEnd>(event)) {
        text.insert(0, fmsTextPending_);
        fmsTextPending_.clear();
        OnCall(object, std::move(text));
    } else if (std::holds_alternative<PocsagTransmissionEnd>(event)) {
        if (transmissionCalls_ == 0 || transmissionWritten_ > 0) {
            if (json_) Write(object + "\n");
            else Write(pocsagPending_ + text);
        }
        pocsagPending_.clear();
        transmissionCalls_ = transmissionWritten_ = 0;
    } else if (complete) {  // an FMS telegram, a tone sequence
        OnCall(object, std::move(text));
    }
}

void Station::OnCall(const std::string& object, std::string text) {
    Call call;
    if (!CallFromJson(object, call)) {
        if (json_) Write(object + "\n");
        else Write(text);
        return;
    }
    const Alias* alias = config_.aliases.Find(call.protocol, call.address, call.function);
    if (alias != nullptr) call.name = alias->name;
    const bool onlyActive = !config_.only.empty() || config_.aliases.HasShow();
    const bool shown = MatchesAny(config_.only, call) || (alias != nullptr && alias->action == AliasAction::Show);
    const bool ignored = MatchesAny(config_.ignore, call) || (alias != nullptr && alias->action == AliasAction::Ignore);
    if ((onlyActive && !shown) || ignored) {
        ++counts_.filtered;
        return;
    }
    if (duplicates_.IsDuplicate(call)) {
        ++counts_.duplicates;
        return;
    }
    ++counts_.calls;
    if (call.protocol == "pocsag") ++transmissionWritten_;
    if (!call.name.empty()) {
        // "name" last, escaped as the renderer escapes everything.
        call.json.pop_back();
        call.json += ",\"name\":" +
                     nlohmann::json(call.name).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "}";
    }
    if (json_) Write(call.json + "\n");
    else Write(WithName(std::move(text), call.name));
    if (hooks_) hooks_->Submit(call);
    if (mqtt_) mqtt_->Publish(call.protocol, call.json);
}

void Station::Finish(bool stats, std::FILE* out) {
    if (hooks_) hooks_->Finish(config_.execTimeout + 5.0);
    if (mqtt_) mqtt_->Finish(config_.mqttWait);
    if (!stats) return;
    std::fprintf(out, "calls: %llu\nfiltered: %llu\nduplicates: %llu\n",
                 static_cast<unsigned long long>(counts_.calls), static_cast<unsigned long long>(counts_.filtered),
                 static_cast<unsigned long long>(counts_.duplicates));
    if (hooks_) {
        std::fprintf(out, "hooks run: %llu\nhooks failed: %llu\nhooks dropped: %llu\n",
                     static_cast<unsigned long long>(hooks_->Runs()), static_cast<unsigned long long>(hooks_->Failed()),
                     static_cast<unsigned long long>(hooks_->Dropped()));
    }
    if (mqtt_) {
        std::fprintf(out, "mqtt delivered: %llu\nmqtt queued: %llu\nmqtt dropped: %llu\n",
                     static_cast<unsigned long long>(mqtt_->Delivered()),
                     static_cast<unsigned long long>(mqtt_->Waiting()),
                     static_cast<unsigned long long>(mqtt_->Dropped()));
    }
    std::fflush(out);
}

std::unique_ptr<Station> Create(const StationOptions& options, const Clock& clock, bool json,
                                std::vector<std::string>& errors) {
    if (!options.Any()) return nullptr;
    StationConfig config;
    if (!Configure(options, config, errors)) return nullptr;
    return std::make_unique<Station>(clock, DefaultSampleRate, std::move(config), json);
}

}  // namespace quorvel::station
