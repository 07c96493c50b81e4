#include "zvei.h"

namespace quorvel {

void ZveiDecoder::ZveiProcessBlock() {}

}  // namespace quorvel
