#include "platform/fake/fake_file_system.h"

namespace vtx {

std::string FakeFileSystem::norm(const std::string& path) {
  std::string p = path;
  while (p.size() > 1 && p.back() == '/') p.pop_back();
  return p;
}

std::string FakeFileSystem::parent(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos || slash == 0) return "/";
  return path.substr(0, slash);
}

void FakeFileSystem::AddMount(FsMount m) {
  std::lock_guard g(lock_);
  mounts_.push_back(std::move(m));
}

void FakeFileSystem::AddFile(const std::string& path, std::string data, double mtime) {
  MakeDirs(parent(norm(path)));
  std::lock_guard g(lock_);
  files_[norm(path)] = File{std::move(data), mtime, false};
}

bool FakeFileSystem::HasFile(const std::string& path) const {
  std::lock_guard g(lock_);
  return files_.count(norm(path)) > 0;
}

bool FakeFileSystem::HasDir(const std::string& path) const {
  std::lock_guard g(lock_);
  return dirs_.count(norm(path)) > 0;
}

std::string FakeFileSystem::Data(const std::string& path) const {
  std::lock_guard g(lock_);
  auto it = files_.find(norm(path));
  return it == files_.end() ? std::string() : it->second.data;
}

const FakeFileSystem::File* FakeFileSystem::Find(const std::string& path) const {
  std::lock_guard g(lock_);
  auto it = files_.find(norm(path));
  return it == files_.end() ? nullptr : &it->second;
}

void FakeFileSystem::FailOn(const std::string& path) {
  std::lock_guard g(lock_);
  fail_.insert(norm(path));
}

std::vector<std::string> FakeFileSystem::Trashed() const {
  std::lock_guard g(lock_);
  return trashed_;
}

std::vector<std::string> FakeFileSystem::Paths() const {
  std::lock_guard g(lock_);
  std::vector<std::string> out;
  for (const auto& [name, f] : files_) out.push_back(name);
  return out;
}

std::vector<std::string> FakeFileSystem::Opened() const {
  std::lock_guard g(lock_);
  return opened_;
}

int FakeFileSystem::Reads() const {
  std::lock_guard g(lock_);
  return reads_;
}

std::size_t FakeFileSystem::LargestRead() const {
  std::lock_guard g(lock_);
  return largestRead_;
}

std::vector<FsMount> FakeFileSystem::Mounts() const {
  std::lock_guard g(lock_);
  return mounts_;
}

bool FakeFileSystem::Stat(const std::string& path, FsEntry& out, bool) const {
  std::lock_guard g(lock_);
  const std::string p = norm(path);
  if (failing(p)) return false;
  out = FsEntry{};
  out.name = p.substr(p.find_last_of('/') + 1);
  if (auto it = files_.find(p); it != files_.end()) {
    out.size = static_cast<int64_t>(it->second.data.size());
    out.mtime = it->second.mtime;
    out.readOnly = it->second.readOnly;
    return true;
  }
  if (dirs_.count(p)) {
    out.dir = true;
    return true;
  }
  return false;
}

bool FakeFileSystem::ListDir(const std::string& path, std::vector<FsEntry>& out) const {
  std::lock_guard g(lock_);
  const std::string p = norm(path);
  if (failing(p) || !dirs_.count(p)) return false;
  const std::string prefix = p == "/" ? "/" : p + "/";
  auto child = [&](const std::string& full) {
    return full.size() > prefix.size() && full.rfind(prefix, 0) == 0 &&
           full.find('/', prefix.size()) == std::string::npos;
  };
  for (const auto& d : dirs_)
    if (child(d)) {
      FsEntry e;
      e.name = d.substr(prefix.size());
      e.dir = true;
      out.push_back(e);
    }
  for (const auto& [name, f] : files_)
    if (child(name)) {
      FsEntry e;
      e.name = name.substr(prefix.size());
      e.size = static_cast<int64_t>(f.data.size());
      e.mtime = f.mtime;
      e.readOnly = f.readOnly;
      out.push_back(e);
    }
  return true;
}

int64_t FakeFileSystem::ReadAt(const std::string& path, int64_t offset, std::size_t count,
                               std::string& out) const {
  std::lock_guard g(lock_);
  ++reads_;
  if (count > largestRead_) largestRead_ = count;
  auto it = files_.find(norm(path));
  if (failing(path) || it == files_.end() || offset < 0) return -1;
  const std::string& d = it->second.data;
  if (static_cast<std::size_t>(offset) >= d.size()) {
    out.clear();
    return 0;
  }
  out = d.substr(static_cast<std::size_t>(offset), count);
  return static_cast<int64_t>(out.size());
}

bool FakeFileSystem::WriteAt(const std::string& path, int64_t offset, std::string_view data,
                             bool truncate) {
  std::lock_guard g(lock_);
  const std::string p = norm(path);
  if (failing(p) || offset < 0 || !dirs_.count(parent(p)) || dirs_.count(p)) return false;
  File& f = files_[p];
  if (f.readOnly) return false;
  if (truncate) f.data.clear();
  const auto end = static_cast<std::size_t>(offset) + data.size();
  if (f.data.size() < end) f.data.resize(end);
  f.data.replace(static_cast<std::size_t>(offset), data.size(), data);
  return true;
}

bool FakeFileSystem::MakeDirs(const std::string& path) {
  std::lock_guard g(lock_);
  std::string p = norm(path);
  if (p.empty() || p[0] != '/') return false;
  std::vector<std::string> chain;
  for (std::string q = p; q != "/"; q = parent(q)) chain.push_back(q);
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    if (failing(*it) || files_.count(*it)) return false;
    dirs_.insert(*it);
  }
  return true;
}

bool FakeFileSystem::Remove(const std::string& path) {
  std::lock_guard g(lock_);
  const std::string p = norm(path);
  if (failing(p)) return false;
  if (files_.erase(p)) return true;
  if (!dirs_.count(p)) return false;
  const std::string prefix = p + "/";
  for (const auto& d : dirs_)
    if (d.rfind(prefix, 0) == 0) return false;
  for (const auto& [n, f] : files_)
    if (n.rfind(prefix, 0) == 0) return false;
  dirs_.erase(p);
  return true;
}

bool FakeFileSystem::Rename(const std::string& from, const std::string& to) {
  std::lock_guard g(lock_);
  const std::string a = norm(from), b = norm(to);
  if (failing(a) || failing(b) || !dirs_.count(parent(b))) return false;
  if (auto it = files_.find(a); it != files_.end()) {
    if (dirs_.count(b)) return false;
    File f = std::move(it->second);
    files_.erase(it);
    files_[b] = std::move(f);
    return true;
  }
  if (!dirs_.count(a) || dirs_.count(b) || files_.count(b)) return false;
  const std::string prefix = a + "/";
  std::set<std::string> dirs;
  for (const auto& d : dirs_)
    dirs.insert(d == a ? b : d.rfind(prefix, 0) == 0 ? b + d.substr(a.size()) : d);
  dirs_ = std::move(dirs);
  std::map<std::string, File> files;
  for (auto& [n, f] : files_) files[n.rfind(prefix, 0) == 0 ? b + n.substr(a.size()) : n] = f;
  files_ = std::move(files);
  return true;
}

int FakeFileSystem::SetModTime(const std::string& path, double mtime) {
  std::lock_guard g(lock_);
  auto it = files_.find(norm(path));
  if (failing(path) || it == files_.end()) return 2;
  it->second.mtime = mtime;
  return 0;
}

bool FakeFileSystem::SetReadOnly(const std::string& path, bool readOnly) {
  std::lock_guard g(lock_);
  auto it = files_.find(norm(path));
  if (failing(path) || it == files_.end()) return false;
  it->second.readOnly = readOnly;
  return true;
}

bool FakeFileSystem::MoveToTrash(const std::string& path) {
  std::lock_guard g(lock_);
  const std::string p = norm(path);
  if (failing(p) || (!dirs_.count(p) && !files_.count(p))) return false;
  const std::string prefix = p + "/";
  for (auto it = files_.begin(); it != files_.end();)
    it = (it->first == p || it->first.rfind(prefix, 0) == 0) ? files_.erase(it) : std::next(it);
  for (auto it = dirs_.begin(); it != dirs_.end();)
    it = (*it == p || it->rfind(prefix, 0) == 0) ? dirs_.erase(it) : std::next(it);
  trashed_.push_back(p);
  return true;
}

bool FakeFileSystem::OpenWithDefault(const std::string& path, const std::string& params) {
  std::lock_guard g(lock_);
  if (failing(path)) return false;
  opened_.push_back(params.empty() ? path : path + " " + params);
  return true;
}

}  // namespace vtx
