// Low-level pieces of the code text reader and writer.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include "values/object.h"

namespace vtx::wire {

// Deepest nesting of containers the reader accepts (ERtcInfo "Value nesting too deep.").
constexpr int kMaxDepth = 256;
void checkDepth(int depth);

// Payload between CODE "=" and ";" (raises the plain-payload errors); moves past the ";".
std::string_view readPlain(std::string_view s, std::size_t& at, std::string_view code);
// Data of a counted payload (LENGTH "\"" DATA "\"" ";", or empty "CODE=;").
std::string_view readCounted(std::string_view s, std::size_t& at, std::string_view code);
// Bytes up to the next `mark`, moving past it; ERtcInfo `error` when there is none.
std::string_view readUpTo(std::string_view s, std::size_t& at, char mark, const char* error);
// Type code of the item at `at` (ERtcInfo when there is no "=" or the code is unknown).
std::string_view peekCode(std::string_view s, std::size_t at);
// One item of any kind (none for "X=;").
std::unique_ptr<TRtcValueObject> readItem(std::string_view s, std::size_t& at, int depth);

void writePlain(std::string& out, std::string_view code, std::string_view payload);
void writeCounted(std::string& out, std::string_view code, std::string_view data);
// The parts of a non-empty counted payload around its `length` data bytes, for writers that
// put the data in place themselves: CODE "=" LENGTH "\"" and "\"" ";".
void writeCountedHead(std::string& out, std::string_view code, std::size_t length);
void writeCountedTail(std::string& out);
void writeItem(std::string& out, const TRtcValueObject* v);  // "X=;" for none

}  // namespace vtx::wire
