// The two fixed codewords of POCSAG: the synchronisation codeword that opens
// every batch of sixteen codewords, and the idle codeword that fills a frame
// without a call.
#pragma once

#include <cstdint>

namespace quorvel {

constexpr std::uint32_t SyncCodeword = 0x7CD215D8u;
constexpr std::uint32_t IdleCodeword = 0x7A89C197u;

}  // namespace quorvel
