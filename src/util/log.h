// Process-wide diagnostic log: dated and undated lines in files under the log folder.
// Any thread may write; nothing here ever throws to the caller.
#pragma once

#include <exception>
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

}  // namespace vtx
