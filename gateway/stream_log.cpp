#include "gateway/stream_log.h"

#include <chrono>
#include <ctime>
#include <memory>
#include <mutex>

namespace vtx::gateway {

LogSink StreamLog(std::ostream& out) {
  auto lock = std::make_shared<std::mutex>();
  return [&out, lock](const std::string& line) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[40];
    const std::size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03dZ", static_cast<int>(millis));
    std::lock_guard<std::mutex> hold(*lock);
    out << "ts=" << stamp << ' ' << line << '\n' << std::flush;
  };
}

}  // namespace vtx::gateway
