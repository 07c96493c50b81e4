#include "aliases.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "address.h"
#include "utf8.h"

namespace quorvel::station {

namespace {

std::string Trim(const std::string& s) {
    const auto b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    const auto e = s.find_last_not_of(" \t");
    return s.substr(b, e - b + 1);
}

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// One CSV record of one line: fields split at commas, "..." quoting with "".
bool SplitCsv(const std::string& line, std::vector<std::string>& fields, std::string& error) {
    fields.clear();
    std::string field;
    bool quoted = false, wasQuoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (quoted) {
            if (c == '"') {
                if (i + 1 < line.size() && line[i + 1] == '"') {
                    field += '"';
                    ++i;
                } else {
                    quoted = false;
                }
            } else {
                field += c;
            }
        } else if (c == '"') {
            if (!Trim(field).empty() || wasQuoted) {
                error = "a quote inside an unquoted field";
                return false;
            }
            field.clear();
            quoted = wasQuoted = true;
        } else if (c == ',') {
            fields.push_back(wasQuoted ? field : Trim(field));
            field.clear();
            wasQuoted = false;
        } else {
            if (wasQuoted && c != ' ' && c != '\t') {
                error = "text after a closing quote";
                return false;
            }
            if (!wasQuoted) field += c;
        }
    }
    if (quoted) {
        error = "a quoted field that does not end on its line";
        return false;
    }
    fields.push_back(wasQuoted ? field : Trim(field));
    return true;
}

}  // namespace

bool AliasTable::Load(const std::string& path, std::vector<std::string>& errors) {
    std::error_code ignored;
    if (std::filesystem::is_directory(path, ignored)) {
        errors.push_back(path + ": a directory, not an alias file");
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        errors.push_back(path + ": cannot be read");
        return false;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        errors.push_back(path + ": read error");
        return false;
    }
    return Parse(text.str(), path, errors);
}

bool AliasTable::Parse(const std::string& textIn, const std::string& source, std::vector<std::string>& errors) {
    entries_.clear();
    std::string text = textIn;
    if (text.rfind("\xEF\xBB\xBF", 0) == 0) text.erase(0, 3);  // a byte order mark
    std::map<std::tuple<std::string, std::string, std::string>, Alias> entries;
    const std::size_t errorsBefore = errors.size();
    auto bad = [&](int line, const std::string& what) {
        errors.push_back(source + ":" + std::to_string(line) + ": " + what);
    };
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    bool header = false;
    while (std::getline(lines, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (Trim(line).empty() || Trim(line)[0] == '#') continue;
        if (!ValidUtf8(line)) {
            bad(number, "not UTF-8");
            continue;
        }
        std::vector<std::string> f;
        std::string error;
        if (!SplitCsv(line, f, error)) {
            bad(number, error);
            continue;
        }
        if (!header) {
            header = true;
            std::vector<std::string> names;
            for (const std::string& s : f) names.push_back(Lower(s));
            const std::vector<std::string> four = {"protocol", "address", "subaddress", "name"};
            std::vector<std::string> five = four;
            five.push_back("action");
            if (names != four && names != five) {
                bad(number, "the header must be protocol,address,subaddress,name[,action]");
                break;  // without the header the columns mean nothing
            }
            continue;
        }
        if (f.size() < 4 || f.size() > 5) {
            bad(number, "4 or 5 fields expected (protocol,address,subaddress,name[,action]), found " +
                            std::to_string(f.size()));
            continue;
        }
        const std::string protocol = Lower(f[0]);
        if (!KnownProtocol(protocol)) {
            bad(number, "unknown protocol '" + f[0] + "' (" + KnownProtocols() + ")");
            continue;
        }
        const std::string address = CanonicalAddress(protocol, f[1]);
        if (address.empty()) {
            bad(number, "bad " + protocol + " address '" + f[1] + "' (" + AddressForm(protocol) + ")");
            continue;
        }
        std::string sub = Lower(f[2]);
        if (!sub.empty()) {
            if (protocol != "pocsag") {
                bad(number, "a subaddress is only for pocsag");
                continue;
            }
            if (sub.size() == 1 && sub[0] >= 'a' && sub[0] <= 'd') sub = std::string(1, static_cast<char>('0' + sub[0] - 'a'));
            if (sub.size() != 1 || sub[0] < '0' || sub[0] > '3') {
                bad(number, "bad subaddress '" + f[2] + "' (0-3, a-d or empty)");
                continue;
            }
        }
        Alias alias;
        alias.name = f[3];
        alias.line = number;
        const std::string action = f.size() == 5 ? Lower(f[4]) : "";
        if (action == "show") alias.action = AliasAction::Show;
        else if (action == "ignore") alias.action = AliasAction::Ignore;
        else if (!action.empty()) {
            bad(number, "unknown action '" + f[4] + "' (show, ignore or empty)");
            continue;
        }
        if (alias.name.size() > kMaxAliasNameBytes) {
            bad(number, "a name of " + std::to_string(alias.name.size()) + " bytes (at most " +
                            std::to_string(kMaxAliasNameBytes) + ")");
            continue;
        }
        if (alias.name.empty() && alias.action == AliasAction::None) {
            bad(number, "no name and no action");
            continue;
        }
        for (char c : alias.name) {
            if (static_cast<unsigned char>(c) < 32) {
                bad(number, "a control character in the name");
                alias.line = 0;
                break;
            }
        }
        if (alias.line == 0) continue;
        const auto key = std::make_tuple(protocol, address, sub);
        const auto [it, inserted] = entries.emplace(key, alias);
        if (!inserted) {
            bad(number, "the same protocol, address and subaddress as line " + std::to_string(it->second.line));
            continue;
        }
    }
    if (!header && errors.size() == errorsBefore) errors.push_back(source + ": empty (no header line)");
    if (errors.size() != errorsBefore) return false;
    entries_ = std::move(entries);
    return true;
}

const Alias* AliasTable::Find(const std::string& protocol, const std::string& address,
                              const std::string& function) const {
    if (entries_.empty() || address.empty()) return nullptr;
    const std::string canonical = CanonicalAddress(protocol, address);
    if (canonical.empty()) return nullptr;
    if (protocol == "pocsag" && !function.empty()) {
        const auto it = entries_.find(std::make_tuple(protocol, canonical, function));
        if (it != entries_.end()) return &it->second;
    }
    const auto it = entries_.find(std::make_tuple(protocol, canonical, std::string()));
    return it == entries_.end() ? nullptr : &it->second;
}

}  // namespace quorvel::station
