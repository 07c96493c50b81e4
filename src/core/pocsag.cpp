#include "pocsag.h"

namespace quorvel {

void PocsagDecoder::PocsagProcessBlock() {}

}  // namespace quorvel
