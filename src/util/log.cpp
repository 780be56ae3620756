// Interim: logging starts disabled and stays so until the writer lands.
#include "util/log.h"

namespace vtx {

void StartLogging() {}
void StopLogging() {}
void WriteDatedLog(std::string_view, std::string_view) {}
void WriteLog(std::string_view, std::string_view) {}
void WriteExceptionLog(std::string_view, const std::exception&, std::string_view) {}

}  // namespace vtx
