// The alias file: names for addresses, and whether to show or ignore them.
//
//   protocol,address,subaddress,name[,action]
//   pocsag,1234567,,Fire brigade Nord
//   pocsag,1234567,b,"Nord, siren test",ignore
//   fms,63123456,,HLF 1
//   zvei,12345,,Siren Mitte,show
//
// UTF-8; the first line is the header (those column names, in that order).
// Fields may be quoted ("..." with "" for a quote). Empty lines and lines
// starting with # are skipped. subaddress: the POCSAG function 0-3 or a-d, empty
// for all of them (other protocols: empty). action: show, ignore or empty; it
// applies to the calls of its own address only (show: pass even where --only or
// --ignore would hold them back). A file with any bad line is not loaded at all.
#pragma once

#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace quorvel::station {

// Names go into every hook's environment and every line; a name far longer
// than any label would make each of them fail or swamp the output.
constexpr std::size_t kMaxAliasNameBytes = 256;

enum class AliasAction { None, Show, Ignore };

struct Alias {
    std::string name;  // UTF-8
    AliasAction action = AliasAction::None;
    int line = 0;
};

class AliasTable {
public:
    // Reads `path`. On any fault returns false and fills `errors` with one
    // message per bad line ("names.csv:7: ..."); the table stays empty.
    bool Load(const std::string& path, std::vector<std::string>& errors);
    // The same from text already read; `source` names it in messages.
    bool Parse(const std::string& text, const std::string& source, std::vector<std::string>& errors);

    // The entry for a call: one with the call's subaddress before one for all
    // subaddresses. `function` is the POCSAG function (0..3), ignored otherwise.
    const Alias* Find(const std::string& protocol, const std::string& address, const std::string& function) const;

    std::size_t Size() const { return entries_.size(); }

private:
    // (protocol, canonical address, subaddress 0..3 or "")
    std::map<std::tuple<std::string, std::string, std::string>, Alias> entries_;
};

}  // namespace quorvel::station
