// Process-wide diagnostic log: dated and undated lines in files under the log folder.
// Any thread may write; nothing here ever throws to the caller.
//
// Files are named "<program file>.<suffix>": "<yyyy_mm_dd>[.<name>].log" for dated lines,
// "<name>.log" (or "log") for undated and exception lines. Each line is
// [thread id "#"] [time prefix] text CR LF, in UTF-8. The folder ("LOG" by default) lies beside
// the executable when that folder is writable, else under the data root; when it cannot be
// created the system's temporary folder is used instead.
#pragma once

#include <chrono>
#include <exception>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace vtx {

// Enables writing. Called when a blocking socket transport is created.
void StartLogging();
// Disables writing and flushes buffered lines.
void StopLogging();
// Writes one line prefixed with the time to "<program>.<yyyy_mm_dd>[.<name>].log".
void WriteDatedLog(std::string_view utf8Text, std::string_view name = {});
// Writes one line prefixed with the time to "<program>.<name>.log" ("<program>.log" without a
// name).
void WriteLog(std::string_view utf8Text, std::string_view name = {});
// Writes "<tag> Exception! <class>: <message>" through WriteLog when exception logging is on.
void WriteExceptionLog(std::string_view tag, const std::exception& e, std::string_view name = {});

// Settings (process-wide). The folder name takes effect until the folder is first resolved.
void SetLogFolderName(std::string name);          // default "LOG"
void SetLogLinePrefixFormat(std::string format);  // default "yyyy-mm-dd hh:nn:ss.zzz; "
void SetLogThreadPrefix(bool on);                 // default false
void SetLogKeepDays(int days);                    // default 0: never delete
void SetLogExceptions(bool on);                   // default true
void SetLogBuffered(bool on);                     // default false; off flushes
bool LogExceptions();
bool LoggingEnabled();
// Buffered mode writes everything once this many bytes are waiting.
inline constexpr size_t kLogBufferLimit = 64 * 1024;

// The folder lines go to (resolved on first write; empty before).
std::filesystem::path LogFolder();

// Test seam: the wall clock, the program path and the temporary folder used by the log, and a
// reset of every setting and of the resolved folder. Empty arguments restore the real ones.
using LogClock = std::function<std::chrono::system_clock::time_point()>;
void SetLogClockForTest(LogClock clock);
void SetLogProgramPathForTest(std::filesystem::path program);
void SetLogTempFolderForTest(std::filesystem::path temp);
void ResetLogForTest();

}  // namespace vtx
