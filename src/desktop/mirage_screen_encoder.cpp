#include "desktop/mirage_screen_encoder.h"

namespace vtx {

TRtcMirageScreenEncoder::TRtcMirageScreenEncoder(EncoderContext context)
    : TRtcBaseScreenEncoder(std::move(context)) {}

TRtcMirageScreenEncoder::~TRtcMirageScreenEncoder() {
  Stop();
}

std::unique_ptr<TRtcAbstractScreenEncoder> TRtcMirageScreenEncoder::Make(EncoderContext context) {
  return std::make_unique<TRtcMirageScreenEncoder>(std::move(context));
}

}  // namespace vtx
