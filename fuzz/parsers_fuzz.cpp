// libFuzzer harness for what quorvel-decode parses from its users before it
// decodes anything: alias files, --only/--ignore rules, MQTT URLs and
// --start-time. Beyond crashes and sanitizer reports it checks what each
// accepts: a table or rule or target the rest of the program can rely on.
//
// Input: byte 0 chooses the parser (modulo 4); the rest is its text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "start_time.h"
#include "station/aliases.h"
#include "station/filters.h"
#include "station/mqtt.h"
#include "station/utf8.h"

namespace {

using namespace quorvel;

void Check(bool condition) {
    if (!condition) std::abort();
}

void AliasFile(const std::string& text) {
    station::AliasTable table;
    std::vector<std::string> errors;
    const bool ok = table.Parse(text, "fuzz.csv", errors);
    Check(ok == errors.empty());
    if (!ok) {
        Check(table.Size() == 0);
        return;
    }
    // Every name found is UTF-8, short and without control characters.
    for (const char* protocol : {"pocsag", "fms", "zvei", "ccir"})
        for (const char* address : {"1234567", "0", "2097151", "63123456", "12345", "1?345"})
            for (const char* function : {"", "0", "3"})
                if (const station::Alias* a = table.Find(protocol, address, function)) {
                    Check(a->name.size() <= station::kMaxAliasNameBytes);
                    Check(station::ValidUtf8(a->name));
                    for (char c : a->name) Check(static_cast<unsigned char>(c) >= 32);
                }
}

void FilterRule(const std::string& text) {
    std::string error;
    const auto rule = station::ParseFilterRule(text, error);
    Check(rule.has_value() == error.empty());
    if (rule) Check(rule->low <= rule->high);
}

void MqttUrl(const std::string& text) {
    station::MqttTarget target;
    std::string error;
    if (!station::ParseMqttUrl(text, target, error)) {
        Check(!error.empty());
        return;
    }
    Check(!target.host.empty() && target.port >= 1 && target.port <= 65535);
    Check(!target.topic.empty() && target.topic.size() <= station::kMaxTopicBytes);
    Check(target.topic.find_first_of("#+") == std::string::npos);
    Check(station::ValidUtf8(target.topic) && !station::HasControlCharacter(target.topic));
}

void StartTime(const std::string& text) {
    DateTime t;
    std::int64_t offset = 0;
    if (!tools::ParseStartTime(text, t, offset)) return;
    Check(t.month >= 1 && t.month <= 12 && t.day >= 1 && t.day <= 31);
    Check(t.hour <= 23 && t.minute <= 59 && t.second <= 60 && t.millisecond >= 0 && t.millisecond <= 999);
    Check(offset >= -24 * 60 && offset <= 24 * 60);
    // A day that exists: the calendar gives the same date back.
    DateTime midnight = t;
    midnight.hour = midnight.minute = midnight.second = midnight.millisecond = 0;
    const DateTime back = CivilFromMilliseconds(CivilMilliseconds(midnight));
    Check(back.year == t.year && back.month == t.month && back.day == t.day);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The URL parser reads these; the fuzzer's input alone should decide.
    for (const char* name : {"QUORVEL_MQTT_USER", "QUORVEL_MQTT_PASSWORD", "QUORVEL_MQTT_CAFILE"}) ::unsetenv(name);
    ::setenv("TZ", "Europe/Berlin", 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 4) {
        case 0: AliasFile(text); break;
        case 1: FilterRule(text); break;
        case 2: MqttUrl(text); break;
        default: StartTime(text); break;
    }
    return 0;
}
