// The alerting station of quorvel-decode: names for addresses, filters,
// duplicate suppression, command hooks and MQTT, all on the decoders' call
// events. When any of its options is given it stands in for the text (or JSON)
// renderer on the engine's event bus: only calls that pass are written, with
// their name, and passed on to hooks and MQTT. Without its options nothing of
// it is attached and the output is what it always was.
#pragma once

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "aliases.h"
#include "call.h"
#include "core/events.h"
#include "filters.h"
#include "hooks.h"
#include "mqtt.h"
#include "core/kind.h"
#include "render/json_renderer.h"
#include "store/call_writer.h"

namespace CLI {
class App;
}

namespace quorvel {
class Clock;
class Engine;
struct SharedContext;
}  // namespace quorvel

namespace quorvel::station {

struct StationOptions {
    std::string aliases;
    std::vector<std::string> only;
    std::vector<std::string> ignore;
    bool onlyNamed = false;
    double dedupSeconds = 0.0;
    std::vector<std::string> exec;
    double execTimeout = 30.0;
    std::string mqtt;
    std::string mqttPasswordFile;
    double mqttWait = 10.0;  // at the end of the input, for queued calls
    std::string db;          // the call history (SQLite file), when given
    std::string label;       // the rows' source instead of the input's name
    bool Any() const {
        return !aliases.empty() || !only.empty() || !ignore.empty() || onlyNamed || dedupSeconds > 0.0 ||
               !exec.empty() || !mqtt.empty() || !db.empty() || !label.empty();
    }
};

// Adds --aliases, --only, --only-named, --ignore, --dedup, --exec, --exec-timeout,
// --mqtt, --mqtt-password-file, --mqtt-wait, --db, --label.
void AddOptions(CLI::App& app, StationOptions& options);

// What the station does, checked and loaded.
struct StationConfig {
    AliasTable aliases;
    std::vector<FilterRule> only;
    std::vector<FilterRule> ignore;
    bool onlyNamed = false;  // pass only calls whose address has a name (or --only, or show)
    double dedupSeconds = 0.0;
    std::vector<std::string> exec;
    double execTimeout = 30.0;
    bool mqtt = false;
    MqttTarget mqttTarget;
    double mqttWait = 10.0;
    std::string db;
    std::string label;
};

// Checks the options and reads the alias file; false with every problem in
// `errors` (one line each).
bool Configure(const StationOptions& options, StationConfig& config, std::vector<std::string>& errors);

struct StationCounts {
    std::uint64_t calls = 0;       // written and passed on
    std::uint64_t filtered = 0;    // held back by --only/--ignore or the alias file
    std::uint64_t duplicates = 0;  // held back by --dedup
    std::uint64_t stored = 0;      // added to the --db file (known after Finish)
    std::uint64_t lost = 0;        // that could not be added
};

class Station final : public EventSink {
public:
    // `json`: write JSON Lines instead of the decoded text. `clock`: that of the
    // engines it will follow (for the UTC offset of the time stamps).
    // `text`: how the text output is written; `utf8Text`: text as UTF-8 with LF
    // (names as they are), not in the decoders' Windows-1252 with CR LF.
    Station(const Clock& clock, std::int32_t sampleRate, StationConfig config, bool json, TextOptions text = {},
            bool utf8Text = false);
    ~Station() override;
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    void OnEvent(const Event& event) override;
    // Take the events of `engine` (in place of a text or JSON renderer), leaving
    // the engine followed before; nullptr: follow none. Each input of a run has
    // an engine of its own; hooks and MQTT go on.
    void Follow(Engine* engine);

    // After the input: lets queued hooks and MQTT publishes finish (bounded
    // waits), says how many calls were lost, then prints the counts when
    // `stats`. Returns the number of calls lost on any path.
    std::uint64_t Finish(bool stats, std::FILE* out);

    // Calls (or hook runs) lost on any path so far: a hook that failed or never
    // ran, a call MQTT dropped or could not deliver, and what other sinks add.
    std::uint64_t Losses() const { return losses_->load(); }
    void AddLosses(std::uint64_t n) { *losses_ += n; }

    // Opens the --db file (when given) before any decoding; false with the reason.
    bool OpenStore(std::string& error);
    // The input the following calls come from (a file's name, a device), kept
    // with each stored call unless --label names it.
    void SetSource(std::string source) { source_ = std::move(source); }

    const StationCounts& Counts() const { return counts_; }
    HookRunner* Hooks() { return hooks_.get(); }
    MqttPublisher* Mqtt() { return mqtt_.get(); }

private:
    void OnCall(quorvel::Call& record);
    // A record that is not a call (a transmission's summary).
    void OnSummary(const quorvel::Call& record);
    // Text (Windows-1252, CR LF) or a JSON line; `name` (UTF-8) as the last
    // field of a call's text.
    void Write(const std::string& text, const std::string& name = {});
    void Store(const Call& call);

    SharedContext* ctx_ = nullptr;
    StationConfig config_;
    bool json_;
    bool utf8Text_;
    std::shared_ptr<std::atomic<std::uint64_t>> losses_ = std::make_shared<std::atomic<std::uint64_t>>(0);
    JsonWriter writer_;
    TextOptions text_;
    std::unique_ptr<CallAssembler> calls_;
    quorvel::Call record_;
    DuplicateFilter duplicates_;
    std::unique_ptr<HookRunner> hooks_;
    std::unique_ptr<MqttPublisher> mqtt_;
    std::unique_ptr<store::CallWriter> store_;
    std::string source_;
    StationCounts counts_;
    // Per protocol, the calls since its last summary and those of them written:
    // a summary is written unless all its calls were held back.
    struct Tally {
        std::string protocol;
        int calls = 0;
        int written = 0;
    };
    Tally& TallyOf(const std::string& protocol);
    std::vector<Tally> tallies_;
};

// With any station option: the station, configured and its alias file read, not
// yet following an engine. Without one: null with `errors` empty. On a problem:
// null with `errors` filled (wrong usage: exit status 2).
std::unique_ptr<Station> Create(const StationOptions& options, const Clock& clock, bool json,
                                std::vector<std::string>& errors, TextOptions text = {}, bool utf8Text = false);

}  // namespace quorvel::station
