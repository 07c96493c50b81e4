// The decoded text of the window and of quorvel-decode's text output: every event
// as the lines the decoders have always written (Windows-1252, TAB-separated, CR
// LF), appended to the context's MessageText, from where the text hand-off takes
// it to the window or the command line.
//
//   POCSAG call begins:  "<RIC, 7 digits>:\t<function>\t"
//   call ends:           "Beep \r\n" for a tone-only call, else an optional
//                        "Numerisch:\t<digits>\r\n\t\t", then
//                        "AlphaNum:\t[Skyper: ]<text>\r\n"; a call cut off by the
//                        end of its transmission only ends its line: "\r\n"
//   transmission ends:   "<begin> - <end>\tidles: ...  crcerrors: N\r\n\r\n"
//   FMS telegram:        "<time>\t<organisation>\t<Land>\t<location>\t<vehicle>\t
//                        <status>\t<build stage>\t<direction>\t<tactical>\t\t"
//                        [" Fehler im Redundanzteil im Bit: N"] "\r\n", or
//                        "<time>\t Fehler im Datenteil im Bit: N\r\n"
//   FMS follow-on text:  "<2 x number>\t" and three characters, then four per
//                        block, "\r\n" when it ends
//   tone sequence:       "<time>\t<table prefix><tones>\r\n", a tone outside the
//                        table as " fail: <Hz> "
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "core/events.h"

namespace quorvel {

struct SharedContext;

// The FMS field tables (Windows-1252).
extern const std::array<const char*, 16> FmsOrganisationNames;
extern const std::array<const char*, 16> FmsLandNames;
extern const char FmsHexDigits[17];
extern const std::array<const char*, 2> FmsDirectionNames;
extern const std::array<const char*, 4> FmsTacticalInfoNames;

// Appends the text of one field of a telegram's bits. Codes: 1 organisation,
// 2 Land, 3 location, 4 vehicle, 5 status, 6 build stage, 7 direction, 8 tactical
// information, 12 the doubled number of bits 1-6 and a tab, 14 one 7-bit
// character at `offset`; any other code is empty.
void FmsFieldText(const std::array<std::uint8_t, 48>& bits, std::uint8_t offset, std::int32_t code,
                  std::string& out);

// The text of an event, appended to `out`.
void AppendEventText(const Event& event, std::string& out);

// Subscribes to the context's events for its lifetime and appends their text to
// its MessageText.
class TextRenderer final : public EventSink {
public:
    explicit TextRenderer(SharedContext& ctx);
    ~TextRenderer() override;
    TextRenderer(const TextRenderer&) = delete;
    TextRenderer& operator=(const TextRenderer&) = delete;
    void OnEvent(const Event& event) override;

private:
    SharedContext& ctx_;
};

}  // namespace quorvel
