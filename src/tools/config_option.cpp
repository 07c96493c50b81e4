#include "config_option.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <utility>
#include <vector>

namespace quorvel::tools {

namespace {

constexpr int kExitUsage = 2;

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t\r");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t\r") - b + 1);
}

std::string Unquote(const std::string& s) {
    if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) return s.substr(1, s.size() - 2);
    return s;
}

// The keys of a config file with the line each is set on, read the way CLI11
// reads the file: '#' and ';' start comments, [section] prefixes its keys
// ([default] is the top level), a line without '=' names a flag, and a list
// opened with '[' may continue over the following lines.
std::vector<std::pair<std::string, int>> KeyLines(const std::string& path) {
    std::vector<std::pair<std::string, int>> keys;
    std::ifstream in(path);
    std::string line, section;
    bool inList = false;
    for (int number = 1; std::getline(in, line); ++number) {
        const std::string t = Trim(line);
        if (inList) {
            inList = t.find(']') == std::string::npos;
            continue;
        }
        if (t.empty() || t[0] == '#' || t[0] == ';') continue;
        if (t[0] == '[' && t.back() == ']') {
            section = Trim(t.substr(1, t.size() - 2));
            if (section == "default") section.clear();
            if (!section.empty()) keys.emplace_back(section + ".++", number);  // how CLI11 names a section's start
            continue;
        }
        const auto eq = t.find('=');
        std::string key = Unquote(Trim(t.substr(0, eq)));
        if (!section.empty()) key = section + "." + key;
        keys.emplace_back(key, number);
        if (eq != std::string::npos) {
            const std::string value = Trim(t.substr(eq + 1));
            inList = !value.empty() && value[0] == '[' && value.find(']') == std::string::npos;
        }
    }
    return keys;
}

// The option a config key sets, found as CLI11 finds it.
const CLI::Option* OptionOfKey(const CLI::App& app, const std::string& key) {
    const CLI::Option* op = app.get_option_no_throw("--" + key);
    if (op == nullptr && key.size() == 1) op = app.get_option_no_throw("-" + key);
    if (op == nullptr) op = app.get_option_no_throw(key);
    return op;
}

// Whether the command line itself gives the option (then the file's value was
// not used, and a fault in the value is the command line's).
bool OnCommandLine(const CLI::Option& op, int argc, const char* const* argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--") break;
        for (const std::string& l : op.get_lnames()) {
            if (arg == "--" + l || arg.rfind("--" + l + "=", 0) == 0) return true;
        }
        for (const std::string& s : op.get_snames()) {
            if (arg.size() >= 2 && arg[1] != '-' && arg.rfind("-" + s, 0) == 0) return true;
        }
    }
    return false;
}

// Whether `text` holds `word` not as part of a longer name.
bool NamesWord(const std::string& text, const std::string& word) {
    const auto nameChar = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_'; };
    for (auto at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        const bool startOk = at == 0 || !nameChar(text[at - 1]);
        const bool endOk = at + word.size() == text.size() || !nameChar(text[at + word.size()]);
        if (startOk && endOk) return true;
    }
    return false;
}

int LineOf(const std::vector<std::pair<std::string, int>>& keys, const std::string& key) {
    for (const auto& [k, line] : keys) {
        if (k == key) return line;
    }
    return 0;
}

std::string Where(const std::string& path, int line) {
    return line > 0 ? path + ":" + std::to_string(line) : path;
}

// Why a config file cannot be read, or "" when it can.
std::string Unreadable(const std::string& path) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) return "it is a folder";
    std::ifstream in(path);
    if (!in) return errno != 0 ? std::strerror(errno) : "cannot be opened";
    in.get();
    if (in.bad()) return "cannot be read";
    return "";
}

std::string Wrapped(const std::string& text, std::size_t width) {
    std::string out, line;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        const std::string word = text.substr(start, end - start);
        if (!line.empty() && line.size() + 1 + word.size() > width) {
            out += "# " + line + "\n";
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
        start = end + 1;
    }
    if (!line.empty()) out += "# " + line + "\n";
    return out;
}

bool IsNumber(const std::string& s) {
    if (s.empty()) return false;
    char* end = nullptr;
    std::strtod(s.c_str(), &end);
    return end != nullptr && *end == '\0';
}

std::string Quoted(const std::string& s) { return IsNumber(s) ? s : "\"" + s + "\""; }

// The example value of an option: its default, in the file's syntax.
std::string ExampleValue(CLI::Option& op) {
    // A flag shows how to turn it on: given as false it would still count as
    // given, and clash with the options it excludes.
    if (op.get_expected_min() == 0) return "true";
    op.capture_default_str();
    std::string d = op.get_default_str();
    const bool list = op.get_expected_max() > 1 || op.get_items_expected_max() > 1;
    if (!list) {
        // No value where the default means "not given" (an empty text, or a
        // number the option would refuse, like a rate of 0): uncommented as it
        // stands it must never be an error.
        if (d.empty()) return "";
        for (int i = 0;; ++i) {
            CLI::Validator* v = nullptr;
            try {
                v = op.get_validator(i);
            } catch (const CLI::OptionNotFound&) {
                break;
            }
            std::string copy = d;
            if (!(*v)(copy).empty()) return "";
        }
        return Quoted(d);
    }
    if (d.size() >= 2 && d.front() == '[' && d.back() == ']') d = d.substr(1, d.size() - 2);
    if (Trim(d).empty()) return "";  // an empty list is no value at all to CLI11
    std::string items;
    std::size_t start = 0;
    while (!d.empty() && start <= d.size()) {
        auto end = d.find(',', start);
        if (end == std::string::npos) end = d.size();
        items += (items.empty() ? "" : ", ") + Quoted(Trim(d.substr(start, end - start)));
        start = end + 1;
    }
    return "[" + items + "]";
}

}  // namespace

void AddConfigOption(CLI::App& app) {
    app.set_config("--config", "",
                   "read options from this file (key = value, the long options without dashes; lists as "
                   "key = [\"a\", \"b\"]); the command line wins over it")
        ->type_name("FILE");
    app.allow_config_extras(CLI::config_extras_mode::error);
    app.add_flag_callback(
        "--print-config",
        [&app]() {
            std::cout << ConfigTemplate(app);
            throw CLI::Success();
        },
        "write a config file with every option commented out, each under its help line, and end")
        ->configurable(false);
}

int ReportParseError(const CLI::App& app, const CLI::ParseError& error, const std::string& program, int argc,
                     const char* const* argv) {
    if (error.get_exit_code() == 0) return app.exit(error);
    const CLI::Option* config = app.get_config_ptr();
    const std::string path = config != nullptr && config->count() > 0 ? config->results().back() : "";
    const std::string what = error.what();
    if (path.empty()) {
        std::cerr << program << ": " << what << "\n";
        return kExitUsage;
    }
    if (dynamic_cast<const CLI::FileError*>(&error) != nullptr) {
        const std::string why = Unreadable(path);
        std::cerr << program << ": config file " << path << ": " << (why.empty() ? what : "cannot read it: " + why)
                  << "\n";
        return kExitUsage;
    }
    const auto keys = KeyLines(path);
    if (dynamic_cast<const CLI::ConfigError*>(&error) != nullptr) {
        // CLI11 names the key: "INI was not able to parse KEY" for a key no option
        // has, "KEY: This option is not allowed ..." for --config, --help and such.
        const std::string unknownPrefix = "INI was not able to parse ";
        if (what.rfind(unknownPrefix, 0) == 0) {
            const std::string key = what.substr(unknownPrefix.size());
            const std::string sectionEnd = ".++";
            if (key.size() > sectionEnd.size() && key.compare(key.size() - sectionEnd.size(), sectionEnd.size(), sectionEnd) == 0) {
                std::cerr << program << ": " << Where(path, LineOf(keys, key)) << ": unknown section ["
                          << key.substr(0, key.size() - sectionEnd.size()) << "] (the keys belong at the top)\n";
                return kExitUsage;
            }
            std::cerr << program << ": " << Where(path, LineOf(keys, key)) << ": unknown key '" << key
                      << "' (the keys are the long options of --help, without the dashes)\n";
            return kExitUsage;
        }
        const auto colon = what.find(':');
        const std::string key = what.substr(0, colon);
        std::cerr << program << ": " << Where(path, LineOf(keys, key)) << ": key '" << key
                  << "' cannot be set in a config file\n";
        return kExitUsage;
    }
    // A bad value: the message names the option; the longest name wins (--mqtt
    // against --mqtt-wait), dashed names before bare keys.
    std::string bestKey;
    int bestLine = 0;
    std::size_t bestScore = 0;
    for (const auto& [key, line] : keys) {
        const CLI::Option* op = OptionOfKey(app, key);
        if (op == nullptr || OnCommandLine(*op, argc, argv)) continue;
        std::vector<std::pair<std::string, std::size_t>> names;
        for (const std::string& l : op->get_lnames()) names.emplace_back("--" + l, 1000 + l.size());
        for (const std::string& s : op->get_snames()) names.emplace_back("-" + s, 1000 + s.size());
        names.emplace_back(key, key.size());
        for (const auto& [name, score] : names) {
            if (score > bestScore && NamesWord(what, name)) {
                bestKey = key;
                bestLine = line;
                bestScore = score;
            }
        }
    }
    if (bestScore > 0) {
        std::cerr << program << ": " << Where(path, bestLine) << ": key '" << bestKey << "': " << what << "\n";
    } else {
        std::cerr << program << ": " << what << "\n";
    }
    return kExitUsage;
}

std::string ConfigTemplate(const CLI::App& constApp) {
    // Capturing a default string changes nothing that parsing reads.
    auto& app = const_cast<CLI::App&>(constApp);
    const std::string name = app.get_name();
    std::string out = "# " + name + " configuration, read with: " + name + " --config FILE\n" +
                      "# One option a line as key = value, the keys being the long options of\n"
                      "# " + name + " --help without the dashes; lists as key = [\"a\", \"b\"], flags\n"
                      "# as true. The command line wins over this file. Every option is commented\n"
                      "# out with its default value (none where it has none; flags, which are off,\n"
                      "# with true): remove the '#' to set it.\n";
    std::string group;
    for (CLI::Option* op : app.get_options()) {
        if (!op->get_configurable() || op->get_lnames().empty()) continue;
        const std::string key = op->get_lnames().front();
        if (key == "help" || key == "help-all" || key == "version" || key == "print-config") continue;
        if (op->get_group() != group) {
            group = op->get_group();
            out += "\n# --- " + group + " ---\n";
        }
        const std::string value = ExampleValue(*op);
        out += "\n" + Wrapped(op->get_description(), 76) + "# " + key + " =" + (value.empty() ? "" : " " + value) + "\n";
    }
    return out;
}

}  // namespace quorvel::tools
