#include "util/log.h"

#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <system_error>

#include "util/exceptions.h"
#include "util/paths.h"

namespace vtx {
namespace fs = std::filesystem;

namespace {

struct LogState {
  std::mutex lock;
  // Settings.
  std::string folderName = "LOG";
  std::string prefixFormat = "yyyy-mm-dd hh:nn:ss.zzz; ";
  bool threadPrefix = false;
  int keepDays = 0;
  bool logExceptions = true;
  bool buffered = false;
  bool enabled = false;
  // Seams.
  LogClock clock;
  fs::path program;
  fs::path temp;
  // Resolved state.
  fs::path folder;
  std::map<std::string, std::string> buffers;
  size_t buffered_bytes = 0;

  ~LogState() {
    std::lock_guard g(lock);
    flushLocked();
  }

  std::chrono::system_clock::time_point now() const {
    return clock ? clock() : std::chrono::system_clock::now();
  }

  fs::path programPath() const { return program.empty() ? ExecutablePath() : program; }

  static bool ensureDir(const fs::path& dir) {
    std::error_code ec;
    if (fs::is_directory(dir, ec)) return true;
    fs::create_directories(dir, ec);
    return fs::is_directory(dir, ec);
  }

  const fs::path& folderLocked() {
    if (!folder.empty()) return folder;
    fs::path base = programPath().parent_path();
    if (base.empty() || !IsWritableDir(base)) base = DataRoot();
    fs::path dir = base / folderName;
    if (!ensureDir(dir)) {
      std::error_code ec;
      fs::path tmp = temp.empty() ? fs::temp_directory_path(ec) : temp;
      if (tmp.empty()) tmp = "/tmp";
      dir = tmp / folderName;
      ensureDir(dir);
    }
    folder = dir;
    return folder;
  }

  void deleteOldFiles(const fs::path& dir) {
    std::error_code ec;
    auto limit = fs::file_time_type::clock::now() - std::chrono::hours(24) * keepDays;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
      std::error_code e2;
      if (it->path().extension() != ".log" || !it->is_regular_file(e2)) continue;
      if (it->last_write_time(e2) < limit && !e2) fs::remove(it->path(), e2);
    }
  }

  void writeFile(const std::string& fileName, const std::string& bytes) {
    const fs::path& dir = folderLocked();
    fs::path file = dir / fileName;
    std::FILE* f = std::fopen(file.c_str(), "r+b");
    if (!f) {
      if (keepDays > 0) deleteOldFiles(dir);
      f = std::fopen(file.c_str(), "w+b");
      if (!f) return;  // the line is dropped
    }
    if (std::fseek(f, 0, SEEK_END) == 0) std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
  }

  void flushLocked() {
    while (!buffers.empty()) {
      auto node = buffers.extract(buffers.begin());
      writeFile(node.key(), node.mapped());
    }
    buffered_bytes = 0;
  }

  void append(const std::string& fileName, std::string line) {
    if (!buffered) return writeFile(fileName, line);
    buffered_bytes += line.size();
    buffers[fileName] += line;
    if (buffered_bytes > kLogBufferLimit) flushLocked();
  }
};

LogState& state() {
  static LogState s;
  return s;
}

std::string two(int v) {
  char b[8];
  std::snprintf(b, sizeof b, "%02d", v % 100);
  return b;
}

// Formats the subset of date-time format codes the log uses: yyyy, yy, mm, dd, hh, nn, ss, zzz.
std::string formatTime(const std::string& fmt, const std::tm& t, int ms) {
  std::string out;
  for (size_t i = 0; i < fmt.size();) {
    auto at = [&](const char* code) { return fmt.compare(i, std::strlen(code), code) == 0; };
    if (at("yyyy")) {
      out += std::to_string(t.tm_year + 1900), i += 4;
    } else if (at("yy")) {
      out += two(t.tm_year + 1900), i += 2;
    } else if (at("mm")) {
      out += two(t.tm_mon + 1), i += 2;
    } else if (at("dd")) {
      out += two(t.tm_mday), i += 2;
    } else if (at("hh")) {
      out += two(t.tm_hour), i += 2;
    } else if (at("nn")) {
      out += two(t.tm_min), i += 2;
    } else if (at("ss")) {
      out += two(t.tm_sec), i += 2;
    } else if (at("zzz")) {
      char b[8];
      std::snprintf(b, sizeof b, "%03d", ms);
      out += b, i += 3;
    } else {
      out += fmt[i++];
    }
  }
  return out;
}

void writeLine(std::string_view text, std::string_view name, bool dated) noexcept {
  try {
    LogState& s = state();
    {
      std::lock_guard g(s.lock);
      if (!s.enabled) return;
    }
    auto now = s.now();
    std::time_t secs = std::chrono::system_clock::to_time_t(now);
    int ms = static_cast<int>(
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000);
    if (ms < 0) ms += 1000;
    std::tm local{};
    localtime_r(&secs, &local);

    std::lock_guard g(s.lock);
    if (!s.enabled) return;
    std::string line;
    if (s.threadPrefix) line += std::to_string(::syscall(SYS_gettid)) + "#";
    if (!s.prefixFormat.empty()) line += formatTime(s.prefixFormat, local, ms);
    line.append(text);
    line += "\r\n";

    std::string suffix;
    if (dated) {
      char day[48];
      std::snprintf(day, sizeof day, "%04d_%02d_%02d", local.tm_year + 1900, local.tm_mon + 1,
                    local.tm_mday);
      suffix = day;
      if (!name.empty()) suffix += "." + std::string(name);
      suffix += ".log";
    } else {
      suffix = name.empty() ? std::string("log") : std::string(name) + ".log";
    }
    std::string program = s.programPath().filename().string();
    if (program.empty()) program = "vorantelix";
    s.append(program + "." + suffix, std::move(line));
  } catch (...) {
    // The log never fails its caller.
  }
}

template <class F>
void withState(F&& f) noexcept {
  try {
    LogState& s = state();
    std::lock_guard g(s.lock);
    f(s);
  } catch (...) {
  }
}

}  // namespace

void StartLogging() {
  withState([](LogState& s) { s.enabled = true; });
}

void StopLogging() {
  withState([](LogState& s) {
    s.enabled = false;
    s.flushLocked();
  });
}

void WriteDatedLog(std::string_view utf8Text, std::string_view name) {
  writeLine(utf8Text, name, true);
}

void WriteLog(std::string_view utf8Text, std::string_view name) {
  writeLine(utf8Text, name, false);
}

void WriteExceptionLog(std::string_view tag, const std::exception& e, std::string_view name) {
  if (!LogExceptions()) return;
  try {
    std::string text(tag);
    text += " Exception! ";
    text += exceptionClassName(e);
    text += ": ";
    text += e.what();
    WriteLog(text, name);
  } catch (...) {
  }
}

void SetLogFolderName(std::string name) {
  withState([&](LogState& s) { s.folderName = std::move(name); });
}
void SetLogLinePrefixFormat(std::string format) {
  withState([&](LogState& s) { s.prefixFormat = std::move(format); });
}
void SetLogThreadPrefix(bool on) {
  withState([&](LogState& s) { s.threadPrefix = on; });
}
void SetLogKeepDays(int days) {
  withState([&](LogState& s) { s.keepDays = days; });
}
void SetLogExceptions(bool on) {
  withState([&](LogState& s) { s.logExceptions = on; });
}
void SetLogBuffered(bool on) {
  withState([&](LogState& s) {
    if (!on) s.flushLocked();
    s.buffered = on;
  });
}
bool LogExceptions() {
  bool on = false;
  withState([&](LogState& s) { on = s.logExceptions; });
  return on;
}
bool LoggingEnabled() {
  bool on = false;
  withState([&](LogState& s) { on = s.enabled; });
  return on;
}
fs::path LogFolder() {
  fs::path p;
  withState([&](LogState& s) { p = s.folder; });
  return p;
}

void SetLogClockForTest(LogClock clock) {
  withState([&](LogState& s) { s.clock = std::move(clock); });
}
void SetLogProgramPathForTest(fs::path program) {
  withState([&](LogState& s) {
    s.program = std::move(program);
    s.folder.clear();
  });
}
void SetLogTempFolderForTest(fs::path temp) {
  withState([&](LogState& s) {
    s.temp = std::move(temp);
    s.folder.clear();
  });
}
void ResetLogForTest() {
  withState([](LogState& s) {
    s.flushLocked();
    s.folderName = "LOG";
    s.prefixFormat = "yyyy-mm-dd hh:nn:ss.zzz; ";
    s.threadPrefix = false;
    s.keepDays = 0;
    s.logExceptions = true;
    s.buffered = false;
    s.enabled = false;
    s.clock = nullptr;
    s.program.clear();
    s.temp.clear();
    s.folder.clear();
  });
}

}  // namespace vtx
