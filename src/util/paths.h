// Where the program lives and where its data go.
#pragma once

#include <filesystem>

namespace vtx {

// Full path of the running executable ("/proc/self/exe"); empty when unknown.
std::filesystem::path ExecutablePath();
// The data root: $VORANTELIX_HOME when set and not empty, else ~/VARNELIKO_VTX5/.
std::filesystem::path DataRoot();
// True when files can be created in `dir` (which must exist).
bool IsWritableDir(const std::filesystem::path& dir);

}  // namespace vtx
