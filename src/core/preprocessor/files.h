// How the preprocessor finds and reads include files: through an interface
// the caller gives, so that a caller may serve files from memory (the tests
// do) or from the disk (`DiskFiles`).
//
// Paths are UTF-8 with '/' between their parts ('\' is read as '/', as code
// written on Windows has it); a path that starts with '/' or a drive letter
// ("C:/") is absolute.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

class FileSystem {
 public:
  enum class Read : std::uint8_t { Ok, Missing, Failed };
  virtual ~FileSystem() = default;
  // Reads the regular file at `path` into `bytes`: Missing when there is
  // none, Failed (with `why`) when there is one that cannot be read.
  virtual Read read(const std::string& path, std::string& bytes, std::string& why) = 0;
  // The names of the entries of the folder `path` ("" is the current
  // folder); false when it is no folder.
  virtual bool list(const std::string& path, std::vector<std::string>& names) = 0;
};

// Files held in memory, by path: for tests and for callers that hold their
// sources themselves. A folder is every path prefix that ends before a '/'.
class MemoryFiles final : public FileSystem {
 public:
  void add(std::string path, std::string bytes) { files_[normal_path(path)] = std::move(bytes); }
  Read read(const std::string& path, std::string& bytes, std::string& why) override;
  bool list(const std::string& path, std::vector<std::string>& names) override;

  // `path` with '\' as '/', no "." parts and no part before a "..".
  static std::string normal_path(std::string_view path);

 private:
  std::map<std::string, std::string, std::less<>> files_;
};

// The files of the disk. Only regular files are read (a named pipe or a
// device would block or never end).
class DiskFiles final : public FileSystem {
 public:
  Read read(const std::string& path, std::string& bytes, std::string& why) override;
  bool list(const std::string& path, std::vector<std::string>& names) override;
};

namespace paths {

// True when `path` starts with '/' or a drive letter.
bool is_absolute(std::string_view path);
// The folder part of `path`: everything before its last '/' ("" when none;
// "/" for a file at the root).
std::string_view folder_of(std::string_view path);
// `name` below `folder` ("" is the current folder), lexically normalised:
// '\' as '/', no "." parts, a ".." takes the part before it away.
std::string join(std::string_view folder, std::string_view name);
// True when the last part of `path` holds a '.' that does not start it.
bool has_extension(std::string_view path);

}  // namespace paths

}  // namespace tarnwick
