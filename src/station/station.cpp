#include "station.h"

#include <CLI/CLI.hpp>

#include "core/engine.h"
#include "core/processing.h"

namespace quorvel::station {

namespace {

// The name as a last TAB field of the call's text: before the line end that
// closes it.
std::string WithName(std::string text, const std::string& name) {
    if (name.empty()) return text;
    const std::string field = "\t" + name;
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) {
        text.insert(text.size() - 2, field);
    } else if (!text.empty() && text.back() == '\n') {
        text.insert(text.size() - 1, field);
    } else {
        text += field;
    }
    return text;
}

// Filters are checked as the command line is read, so that a bad one in a
// config file is reported with its line.
CLI::Validator ReadAs(bool (*parse)(const std::string&, std::string&)) {
    return CLI::Validator(
        [parse](std::string& text) {
            std::string error;
            return parse(text, error) ? std::string() : error;
        },
        "");
}

bool IsFilterRule(const std::string& text, std::string& error) { return ParseFilterRule(text, error).has_value(); }

}  // namespace

void AddOptions(CLI::App& app, StationOptions& o) {
    const std::string group = "Station";
    app.add_option("--aliases", o.aliases,
                   "names for addresses: a CSV file with the header protocol,address,subaddress,name[,action]; "
                   "action ignore holds that address's calls back, show passes them where --only or --only-named "
                   "would not")
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
    app.add_flag("--only-named", o.onlyNamed,
                 "write and pass on only calls whose address has a name in the alias file (and those of --only)")
        ->group(group);
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
                   "TOPIC. A password in the URL shows in the process list: give it with --mqtt-password-file or in "
                   "the environment (QUORVEL_MQTT_USER, QUORVEL_MQTT_PASSWORD) instead")
        ->group(group);
    app.add_option("--mqtt-password-file", o.mqttPasswordFile,
                   "read the MQTT password from the first line of FILE (before QUORVEL_MQTT_PASSWORD)")
        ->group(group);
    app.add_option("--mqtt-wait", o.mqttWait,
                   "at the end of the input, wait at most SECONDS for the broker to take the queued calls (default 10)")
        ->group(group)
        ->check(CLI::Range(0.0, 86400.0));
    app.add_option("--db", o.db,
                   "also keep every call written in this SQLite file (created if missing; several runs may share "
                   "it; quorvel-web serves it)")
        ->group(group);
    app.add_option("--label", o.label, "with --db: the calls' source (default: the input file's name or the device)")
        ->group(group);
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
    c.onlyNamed = o.onlyNamed;
    if (o.onlyNamed && o.aliases.empty()) errors.push_back("--only-named needs the names of an alias file (--aliases)");
    if (!o.mqtt.empty()) {
        std::string error;
        c.mqttWait = o.mqttWait;
        if (ParseMqttUrl(o.mqtt, c.mqttTarget, error)) c.mqtt = true;
        else errors.push_back("--mqtt " + error);
        if (c.mqtt && !o.mqttPasswordFile.empty()) {
            if (c.mqttTarget.passwordInUrl) {
                errors.push_back("--mqtt-password-file: the --mqtt URL has a password already");
            } else if (c.mqttTarget.user.empty()) {
                errors.push_back("--mqtt-password-file: no user to go with it (USER@ in the URL, or "
                                 "QUORVEL_MQTT_USER)");
            } else if (!ReadPasswordFile(o.mqttPasswordFile, c.mqttTarget.password, error)) {
                errors.push_back("--mqtt-password-file " + error);
            }
        }
    } else if (!o.mqttPasswordFile.empty()) {
        errors.push_back("--mqtt-password-file needs --mqtt");
    }
    if (!o.label.empty() && o.db.empty()) errors.push_back("--label names the source of --db rows: add --db FILE");
    c.db = o.db;
    c.label = o.label;
    return errors.size() == before;
}

Station::Station(const Clock& clock, std::int32_t sampleRate, StationConfig config, bool json, TextOptions text,
                 bool utf8Text)
    : config_(std::move(config)),
      json_(json),
      utf8Text_(utf8Text && !json),
      writer_(clock, sampleRate),
      text_(text),
      calls_(std::make_unique<CallAssembler>(text)),
      duplicates_(config_.dedupSeconds) {
    if (!config_.exec.empty())
        hooks_ = std::make_unique<HookRunner>(config_.exec, config_.execTimeout, 4, 256, losses_.get());
    if (config_.mqtt) mqtt_ = std::make_unique<MqttPublisher>(config_.mqttTarget, 10000, losses_);
}

Station::~Station() {
    Follow(nullptr);
    // Without Finish (an early end): stop the workers at once.
    if (hooks_) hooks_->Finish(0.0);
    if (mqtt_) mqtt_->Finish(0.0);
}

void Station::Follow(Engine* engine) {
    if (ctx_ != nullptr) ctx_->events.Unsubscribe(*this);
    ctx_ = nullptr;
    calls_ = std::make_unique<CallAssembler>(text_);
    tallies_.clear();
    // Offsets of another input do not compare with this one's.
    duplicates_ = DuplicateFilter(config_.dedupSeconds);
    if (engine == nullptr) return;
    if (engine->ctx.events.Subscribe(*this)) ctx_ = &engine->ctx;
}

void Station::Write(const std::string& text, const std::string& name) {
    if (ctx_ == nullptr) return;
    if (json_) ctx_->MessageText += text;
    else if (utf8Text_) ctx_->MessageText += WithName(Cp1252LinesToUtf8(text), name);
    else ctx_->MessageText += WithName(text, Utf8ToCp1252(name));
}

Station::Tally& Station::TallyOf(const std::string& protocol) {
    for (Tally& t : tallies_)
        if (t.protocol == protocol) return t;
    tallies_.push_back({protocol});
    return tallies_.back();
}

void Station::OnEvent(const Event& event) {
    if (!calls_->Take(event, record_)) return;
    if (record_.isCall) OnCall(record_);
    else OnSummary(record_);
}

void Station::OnSummary(const quorvel::Call& record) {
    Tally& tally = TallyOf(record.protocol);
    if (tally.calls == 0 || tally.written > 0) Write(json_ ? writer_.ToJson(record) + "\n" : record.line);
    tally.calls = tally.written = 0;
}

void Station::OnCall(quorvel::Call& record) {
    Tally& tally = TallyOf(record.protocol);
    ++tally.calls;
    Call call;
    call.protocol = record.protocol;
    call.address = record.address;
    call.function = record.subaddress;
    call.detail = record.detail;
    call.message = record.text;
    call.time = writer_.IsoTime(record.at.time);
    call.offset = writer_.OffsetSeconds(record.at.sample);
    const Alias* alias = config_.aliases.Find(call.protocol, call.address, call.function);
    if (alias != nullptr) call.name = record.name = alias->name;
    // An alias's action is about its own address; a whitelist is asked for
    // with --only or --only-named.
    const bool onlyActive = !config_.only.empty() || config_.onlyNamed;
    const bool shown = MatchesAny(config_.only, call) || (config_.onlyNamed && !call.name.empty()) ||
                       (alias != nullptr && alias->action == AliasAction::Show);
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
    ++tally.written;
    call.json = writer_.ToJson(record);
    if (json_) Write(call.json + "\n");
    else Write(record.line, call.name);
    if (hooks_) hooks_->Submit(call);
    if (mqtt_) mqtt_->Publish(call.protocol, call.json, Describe(call));
    if (store_) Store(call);
}

bool Station::OpenStore(std::string& error) {
    if (config_.db.empty()) return true;
    auto file = store::CallStore::Open(config_.db, store::CallStore::Mode::Write, error);
    if (!file) return false;
    // Written off the decoding thread; what fails is reported with its call.
    store_ = std::make_unique<store::CallWriter>(std::move(file), [](const store::StoredCall& row, const std::string& e) {
        Call call;
        call.protocol = row.protocol;
        call.address = row.address;
        call.function = row.subaddress;
        call.name = row.name;
        call.message = row.text;
        call.time = row.time;
        std::fprintf(stderr, "quorvel-decode: call not stored: %s: %s\n", Describe(call).c_str(), e.c_str());
    });
    return true;
}

void Station::Store(const Call& call) {
    store::StoredCall row{call.time,     call.offset,  config_.label.empty() ? source_ : config_.label,
                          call.protocol, call.address, call.function, call.name, call.message, call.json};
    if (!store_->Submit(std::move(row)))
        std::fprintf(stderr, "quorvel-decode: call not stored: %s: the --db queue is full\n", Describe(call).c_str());
}

std::uint64_t Station::Finish(bool stats, std::FILE* out) {
    if (hooks_) hooks_->Finish(config_.execTimeout + 5.0);
    if (mqtt_) mqtt_->Finish(config_.mqttWait);
    if (store_) {
        store_->Drain();
        counts_.stored = store_->Stored();
        counts_.lost = store_->Lost();
        *losses_ += counts_.lost;
    }
    const std::uint64_t lost = losses_->load();
    if (lost > 0) {
        std::fprintf(stderr, "quorvel-decode: %llu call(s) or hook run(s) lost (see above); ending with status 1\n",
                     static_cast<unsigned long long>(lost));
        std::fflush(stderr);
    }
    if (!stats) return lost;
    std::fprintf(out, "calls: %llu\nfiltered: %llu\nduplicates: %llu\n",
                 static_cast<unsigned long long>(counts_.calls), static_cast<unsigned long long>(counts_.filtered),
                 static_cast<unsigned long long>(counts_.duplicates));
    if (store_) {
        std::fprintf(out, "stored: %llu\nnot stored: %llu\n", static_cast<unsigned long long>(counts_.stored),
                     static_cast<unsigned long long>(counts_.lost));
    }
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
    std::fprintf(out, "lost: %llu\n", static_cast<unsigned long long>(lost));
    std::fflush(out);
    return lost;
}

std::unique_ptr<Station> Create(const StationOptions& options, const Clock& clock, bool json,
                                std::vector<std::string>& errors, TextOptions text, bool utf8Text) {
    if (!options.Any()) {
        if (!options.mqttPasswordFile.empty()) errors.push_back("--mqtt-password-file needs --mqtt");
        return nullptr;
    }
    StationConfig config;
    if (!Configure(options, config, errors)) return nullptr;
    return std::make_unique<Station>(clock, DefaultSampleRate, std::move(config), json, text, utf8Text);
}

}  // namespace quorvel::station
