#include "desktop/block_pack.h"

#include <algorithm>
#include <string>

#include "util/exceptions.h"

namespace vtx {

size_t ConvertAndPackBlock(const BlockPackJob& job, MutableBytes dest) {
  const ConvertTarget& t = job.target;
  size_t length = t.stride * static_cast<size_t>(std::max(0, t.height));
  if (dest.size() < PackedSizeBound(length))
    throw ERtcInfo("ConvertAndPackBlock: output buffer of " + std::to_string(dest.size()) +
                   " bytes is smaller than the " + std::to_string(PackedSizeBound(length)) +
                   " bytes needed");
  ConvertPixels(*job.raw, t, job.image);
  if (job.dwordMask) MaskPixels(job.image, length, job.dwordMask);
  ConstBytes image(job.image, length);
  return job.previous ? PackImageDelta({job.previous, length}, image, dest)
                      : PackImage(image, dest);
}

}  // namespace vtx
