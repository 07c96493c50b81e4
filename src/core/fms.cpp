#include "fms.h"

namespace quorvel {

void FmsDecoder::FmsProcessBlock() {}

}  // namespace quorvel
