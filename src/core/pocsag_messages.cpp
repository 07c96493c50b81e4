// POCSAG message assembly, character tables, status lines and transmission end.
//
// In: Batch, the codewords of one batch as received (element 0 the sync
// codeword, elements 1..16 frames 0..7, two codewords per frame).
// Stage: last of the decoder. An address codeword (bit 31 = 0) gives the RIC,
// its 18 address bits x 8 + the frame number, and the function bits 12..11.
// The message codewords after it (bit 31 = 1, 20 message bits each, across
// batch boundaries) end at the next address or idle codeword and are rendered
// as digits (4 bits each, first bit least significant) when there are fewer
// than five, and always as 7-bit characters (first bit least significant, with
// the German letters of the 7-bit table in Windows-1252 and control codes as
// names). Addresses 4000..4999 use the offset mode of their service. No
// message codewords: a tone-only call, "Beep".
// Out: a call-begin event at every address, a call-end event when its message
// ends; every block the status line, during a batch the activity line; at the
// end of a transmission the summary event.
#include <algorithm>
#include <cstdio>

#include "pocsag.h"

namespace quorvel {

const std::array<const char*, 128> AlphaCharTable = {
    "<NUL>", "<SOH>", "<STX>", "<ETX>", "<EOT>", "<ENQ>", "<ACK>", "<BEL>", "<BS>",  "<HT>",  "<LF>",
    "<VT>",  "<FF>",  "<CR>",  "<SO>",  "<SI>",  "<DLE>", "<DC1>", "<DC2>", "<DC3>", "<DC4>", "<NAK>",
    "<SYN>", "<ETB>", "<CAN>", "<EM>",  "<SUB>", "<ESC>", "<FS>",  "<GS>",  "<RS>",  "<US>",  " ",
    "!",     "\"",    "#",     "$",     "%",     "&",     "'",     "(",     ")",     "*",     "+",
    ",",     "-",     ".",     "/",     "0",     "1",     "2",     "3",     "4",     "5",     "6",
    "7",     "8",     "9",     ":",     ";",     "<",     "=",     ">",     "?",     "@",     "A",
    "B",     "C",     "D",     "E",     "F",     "G",     "H",     "I",     "J",     "K",     "L",
    "M",     "N",     "O",     "P",     "Q",     "R",     "S",     "T",     "U",     "V",     "W",
    "X",     "Y",     "Z",     "\xC4",  "\xD6",  "\xDC",  "^",     "_",     "`",     "a",     "b",
    "c",     "d",     "e",     "f",     "g",     "h",     "i",     "j",     "k",     "l",     "m",
    "n",     "o",     "p",     "q",     "r",     "s",     "t",     "u",     "v",     "w",     "x",
    "y",     "z",     "\xE4",  "\xF6",  "\xFC",  "\xDF",  "<DEL>",
};

const char NumericCharTable[17] = "0123456789 U -][";

namespace {

bool IsMessageWord(std::uint32_t cw) { return (cw >> 31) != 0; }

}  // namespace

void PocsagDecoder::PocsagFindAddress() {
    while (BatchReady && MessageState == 0) {
        if (BatchRead < BatchCount) {
            const std::uint32_t cw = Batch[static_cast<std::size_t>(BatchRead)];
            if (!IsMessageWord(cw)) {
                MessageWordCount = 0;
                if (cw == SyncCodeword) {
                    ++SyncCount;
                } else if (cw == IdleCodeword) {
                    ++IdleCount;
                } else {
                    CallOwnErrors = BatchBad[static_cast<std::size_t>(BatchRead)];
                    CurrentFunction = static_cast<std::int32_t>((cw >> 11) & 3u);
                    const std::uint32_t frame = static_cast<std::uint32_t>((BatchRead - 1) / 2);
                    CurrentAddress = ((cw >> 13) & 0x3FFFFu) * 8u + frame;
                    CallBeginTime = ctx_.clock.LocalNow();
                    PocsagCallBegin begin;
                    begin.at = {CodewordEndSample(BatchRead), CallBeginTime};
                    begin.ric = CurrentAddress;
                    begin.function = CurrentFunction;
                    begin.frame = static_cast<std::int32_t>(frame);
                    begin.bitRate = MeasuredBitRate();
                    begin.inverted = Inverted;
                    ctx_.events.OnEvent(begin);
                    MessageState = 1;
                }
            }
        }
        ++BatchRead;
        if (BatchRead >= BatchCount) BatchReady = false;
    }
}

void PocsagDecoder::PocsagCollectMessage() {
    while (BatchReady && MessageState == 1) {
        if (BatchRead >= BatchCount) {
            BatchReady = false;
            break;
        }
        const std::uint32_t cw = Batch[static_cast<std::size_t>(BatchRead)];
        if (IsMessageWord(cw)) {
            MessageWords[static_cast<std::size_t>(MessageWordCount)] = cw;
            // The 64th and later words overwrite the last place: the call shows 63.
            if (MessageWordCount < 63) {
                ++MessageWordCount;
            } else {
                MessageTruncated = true;
            }
            CallOwnErrors += BatchBad[static_cast<std::size_t>(BatchRead)];
            ++BatchRead;
        } else if (cw == SyncCodeword) {
            ++SyncCount;
            ++BatchRead;
        } else {
            // The call's last codeword is the one before this.
            EmitCallEnd(true, CodewordEndSample(BatchRead - 1));
        }
        if (BatchRead >= BatchCount) BatchReady = false;
    }
}

void PocsagDecoder::EmitCallEnd(bool complete, std::int64_t sample) {
    PocsagCallEnd end;
    end.at = {sample, ctx_.clock.LocalNow()};
    end.beginTime = CallBeginTime;
    end.ric = CurrentAddress;
    end.function = CurrentFunction;
    end.bitRate = MeasuredBitRate();
    end.inverted = Inverted;
    end.codewords = MessageWordCount;
    end.errors = CallOwnErrors;
    end.logErrors = CallCrcErrors;
    end.complete = complete;
    end.truncated = MessageTruncated;
    if (MessageWordCount > 0) {
        end.hasNumeric = MessageWordCount < 5;
        if (end.hasNumeric) PocsagDecodeNumeric(end.numeric);
        end.offsetMode = CurrentAddress >= 4000 && CurrentAddress <= 4999;
        PocsagDecodeAlpha(end.offsetMode ? 1 : 0, end.alpha);
    }
    ctx_.events.OnEvent(end);
    CallCrcErrors = 0;
    CallOwnErrors = 0;
    MessageTruncated = false;
    MessageWordCount = 0;
    MessageState = 0;
}

double PocsagDecoder::MeasuredBitRate() const {
    if (RunSamples > 0) return static_cast<double>(ctx_.SampleRate) * RunBits / RunSamples;
    return BitPeriod > 0 ? ctx_.SampleRate / BitPeriod : 0.0;
}

void PocsagNumericText(const std::uint32_t* words, std::int32_t count, std::string& digits) {
    digits.clear();
    for (std::int32_t w = 0; w < count; ++w) {
        const std::uint32_t cw = words[w];
        for (int i = 0; i < 5; ++i) {
            auto bit = [cw](int k) { return (cw >> k) & 1u; };
            const std::uint32_t v = bit(30 - 4 * i) + 2 * bit(29 - 4 * i) + 4 * bit(28 - 4 * i) + 8 * bit(27 - 4 * i);
            digits += NumericCharTable[v];
        }
    }
}

void PocsagAlphaText(const std::uint32_t* words, std::int32_t count, bool offsetMode, std::string& text) {
    text.clear();
    std::int32_t bits = 0;
    std::int32_t used = 0;
    for (std::int32_t w = 0; w < count; ++w) {
        const std::uint32_t cw = words[w];
        for (int k = 30; k >= 11; --k) {
            bits |= static_cast<std::int32_t>((cw >> k) & 1u) << used;
            used = (used + 1) % 7;
            if (used != 0) continue;
            if (offsetMode) bits = std::max(bits - 1, 0);
            if (offsetMode && w == 0) {
                char hex[16];
                std::snprintf(hex, sizeof hex, "%02X ", static_cast<unsigned>(bits));
                text += hex;
            } else {
                text += AlphaCharTable[static_cast<std::size_t>(bits)];
            }
            bits = 0;
        }
    }
}

void PocsagDecoder::PocsagDecodeNumeric(std::string& digits) {
    PocsagNumericText(MessageWords.data(), MessageWordCount, digits);
}

void PocsagDecoder::PocsagDecodeAlpha(int mode, std::string& text) {
    PocsagAlphaText(MessageWords.data(), MessageWordCount, mode == 1, text);
    CharBits = 0;
    CharBitCount = 0;
}

void PocsagDecoder::PocsagBuildStatusLine() {
    const auto& W = MultipleWeights;
    char text[128];
    int n = std::snprintf(text, sizeof text, "level\tfreq\tspeed\r\n%d\t", RoundHalfEven(InputPeak));
    if (W[1] > 90) {
        n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "%d\t", AverageBitRate / 2);
    } else {
        n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "no tone\t");
    }
    if (W[1] / 10 > W[0] && W[4] < W[1]) {
        n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "%d", AverageBitRate);
    } else {
        n += std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n), "noise");
    }
    ctx_.PocsagStatusLine.Set(std::string_view(text, static_cast<std::size_t>(n)));
}

void PocsagDecoder::PocsagBuildActivityLine() {
    char text[128];
    const int n = std::snprintf(text, sizeof text, "POCSAG\r\nidles\tsyncs\tfails\tcount\r\n%d\t%d\t%d\t%d", IdleCount,
                                SyncCount, FailCount, RunBits);
    ctx_.ActivityLine.Set(std::string_view(text, static_cast<std::size_t>(n)));
}

void PocsagDecoder::PocsagEndTransmission() {
    if (IdleCount > 0 || SyncCount > 0) {
        if (MessageState == 1) EmitCallEnd(false, ctx_.BlockStart);
        PocsagTransmissionEnd end;
        end.at = ctx_.Origin();
        end.beginTime = StartTime;
        end.idles = IdleCount;
        end.syncs = SyncCount;
        end.bits = TransmissionBits;
        end.bitRate = TransmissionBitRate;
        end.fails = FailCount;
        end.crcErrors = CrcErrorCount;
        end.inverted = Inverted;
        ctx_.events.OnEvent(end);
        CallCrcErrors = 0;
    }
    IdleCount = 0;
    SyncCount = 0;
    FailCount = 0;
    CrcErrorCount = 0;
    SignalLost = false;
    PocsagState = psSearchRate;
    BatchRead = 0;
    MessageState = 0;
    CurrentFunction = 0;
}

void PocsagDecoder::FinishInput() {
    if (PocsagState == psSearchRate) return;
    if (RunSamples > 0) TransmissionBitRate = static_cast<double>(ctx_.SampleRate) * RunBits / RunSamples;
    TransmissionBits = RunBits;
    PocsagEndTransmission();
    RunSamples = 0;
    RunBits = 0;
}

}  // namespace quorvel
