// Paths and the two file systems of files.h.
#include "preprocessor/files.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <system_error>

namespace tarnwick {
namespace paths {
namespace {

// The length of the root of a normalised path: "/" or "C:/" (or "C:").
std::size_t root_length(std::string_view p) {
  if (!p.empty() && p[0] == '/') return 1;
  const bool drive = p.size() >= 2 && p[1] == ':' &&
                     ((p[0] >= 'a' && p[0] <= 'z') || (p[0] >= 'A' && p[0] <= 'Z'));
  if (drive) return p.size() >= 3 && p[2] == '/' ? 3 : 2;
  return 0;
}

std::string normalise(std::string path) {
  for (char& c : path)
    if (c == '\\') c = '/';
  const std::size_t root = root_length(path);
  std::vector<std::string_view> parts;
  const std::string_view rest = std::string_view(path).substr(root);
  std::size_t i = 0;
  while (i <= rest.size()) {
    std::size_t j = rest.find('/', i);
    if (j == std::string_view::npos) j = rest.size();
    const std::string_view part = rest.substr(i, j - i);
    if (part == "..") {
      if (!parts.empty() && parts.back() != "..") {
        parts.pop_back();
      } else if (root == 0) {
        parts.push_back(part);  // above the current folder: kept
      }
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    i = j + 1;
  }
  std::string out = path.substr(0, root);
  for (std::size_t k = 0; k < parts.size(); ++k) {
    if (k > 0) out.push_back('/');
    out.append(parts[k]);
  }
  return out;
}

}  // namespace

bool is_absolute(std::string_view path) {
  if (!path.empty() && (path[0] == '/' || path[0] == '\\')) return true;
  return path.size() >= 3 && path[1] == ':' && (path[2] == '/' || path[2] == '\\') &&
         ((path[0] >= 'a' && path[0] <= 'z') || (path[0] >= 'A' && path[0] <= 'Z'));
}

std::string_view folder_of(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  if (slash == std::string_view::npos) return {};
  if (slash == 0) return path.substr(0, 1);
  return path.substr(0, slash);
}

std::string join(std::string_view folder, std::string_view name) {
  if (folder.empty() || is_absolute(name)) return normalise(std::string(name));
  std::string path(folder);
  path.push_back('/');
  path.append(name);
  return normalise(std::move(path));
}

bool has_extension(std::string_view path) {
  const std::size_t slash = path.find_last_of("/\\");
  const std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const std::size_t dot = last.rfind('.');
  return dot != std::string_view::npos && dot > 0;
}

}  // namespace paths

std::string MemoryFiles::normal_path(std::string_view path) { return paths::join({}, path); }

FileSystem::Read MemoryFiles::read(const std::string& path, std::string& bytes, std::string&) {
  const auto it = files_.find(normal_path(path));
  if (it == files_.end()) return Read::Missing;
  bytes = it->second;
  return Read::Ok;
}

bool MemoryFiles::list(const std::string& path, std::vector<std::string>& names) {
  std::string prefix = normal_path(path);
  if (!prefix.empty() && prefix.back() != '/') prefix.push_back('/');
  std::set<std::string, std::less<>> found;
  for (const auto& [file, bytes] : files_) {
    (void)bytes;
    if (file.size() <= prefix.size() || file.compare(0, prefix.size(), prefix) != 0) continue;
    if (prefix.empty() && paths::is_absolute(file)) continue;
    const std::string_view rest = std::string_view(file).substr(prefix.size());
    found.emplace(rest.substr(0, rest.find('/')));
  }
  if (found.empty()) return false;
  names.assign(found.begin(), found.end());
  return true;
}

namespace {

std::filesystem::path native_path(const std::string& p) {
  if (p.empty()) return std::filesystem::path(".");
  return std::filesystem::path(std::u8string(reinterpret_cast<const char8_t*>(p.data()), p.size()));
}

}  // namespace

FileSystem::Read DiskFiles::read(const std::string& path, std::string& bytes, std::string& why) {
  const std::filesystem::path p = native_path(path);
  std::error_code ec;
  const std::filesystem::file_status status = std::filesystem::status(p, ec);
  if (ec || !std::filesystem::exists(status)) return Read::Missing;
  if (!std::filesystem::is_regular_file(status)) {
    why = "not a regular file";
    return Read::Failed;
  }
  std::ifstream in(p, std::ios::binary);
  if (!in) {
    why = std::strerror(errno);
    return Read::Failed;
  }
  in.seekg(0, std::ios::end);
  const std::streamoff size = in.tellg();
  in.seekg(0, std::ios::beg);
  if (size < 0) {
    why = "its size cannot be read";
    return Read::Failed;
  }
  bytes.resize(static_cast<std::size_t>(size));
  in.read(bytes.data(), size);
  if (in.gcount() != size) {
    why = "it could not be read whole";
    return Read::Failed;
  }
  return Read::Ok;
}

bool DiskFiles::list(const std::string& path, std::vector<std::string>& names) {
  std::error_code ec;
  std::filesystem::directory_iterator it(native_path(path), ec);
  if (ec) return false;
  names.clear();
  for (const std::filesystem::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) return false;
    const std::u8string name = it->path().filename().u8string();
    names.emplace_back(reinterpret_cast<const char*>(name.data()), name.size());
  }
  return !ec;
}

}  // namespace tarnwick
