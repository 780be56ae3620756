// What a fetch lets the host write on the analyst's machine: only the entries the analyst asked
// for, each under its own name below the chosen local folder, within a byte budget and the free
// space there, and no existing file replaced unless the analyst allowed it.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace vtx::analyst {

class FetchGuard {
 public:
  struct Limits {
    int64_t maxBytes = int64_t{4} << 30;  // offered bytes over the whole command
    bool overwrite = false;
  };
  // Entries the host pushes unasked land in `pushFolder` when one is given, else are refused.
  FetchGuard(Limits limits, std::string pushFolder)
      : limits_(limits), pushFolder_(std::move(pushFolder)) {}

  // The analyst asked `host` for `remote` (a file or a folder) to land in `folder`.
  void Expect(const std::string& host, const std::string& remote, const std::string& folder);

  // The file module's receive check: empty accepts, else why not.
  std::string Check(const std::string& user, const std::string& path, const std::string& file,
                    const std::string& target, int64_t size);

  struct Tally {
    int64_t offered = 0;               // bytes accepted in offers
    std::set<std::string> files;       // local names accepted
    std::vector<std::string> refused;  // "NAME: why"
  };
  Tally Result() const;

 private:
  std::string refuse(const std::string& name, const std::string& why);

  const Limits limits_;
  const std::string pushFolder_;
  mutable std::mutex lock_;
  std::map<std::pair<std::string, std::string>, std::string> expected_;  // (host, entry) -> folder
  Tally tally_;
};

}  // namespace vtx::analyst
