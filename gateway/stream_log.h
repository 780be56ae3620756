// A log sink that writes each line to a stream, prefixed with the UTC time
// ("ts=2026-12-09T14:05:23.123Z level=info event=..."), one line at a time.
#pragma once

#include <ostream>

#include "gateway/log_line.h"

namespace vtx::gateway {

// The stream is observed and must outlive the sink.
LogSink StreamLog(std::ostream& out);

}  // namespace vtx::gateway
