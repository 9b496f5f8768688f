#include "platform/preview_folder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace brevant::platform {
namespace {

// Deletes the contents of the open folder `dir` (taken over and closed). Every name is resolved
// relative to the folder's descriptor with O_NOFOLLOW, so a link swapped in while we work is
// removed as a link, not entered. With `stopAtFailure` the first failure ends the walk.
bool ClearContents(int dir, bool stopAtFailure, int depth) {
  DIR* stream = fdopendir(dir);
  if (stream == nullptr) {
    close(dir);
    return false;
  }
  // Names are read first: deleting while reading a directory stream may skip entries.
  std::vector<std::string> names;
  while (dirent* e = readdir(stream)) {
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    names.emplace_back(e->d_name);
  }
  bool ok = true;
  for (const std::string& name : names) {
    struct stat st;
    if (fstatat(dirfd(stream), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) continue;
      ok = false;
    } else if (S_ISDIR(st.st_mode)) {
      // Bounded depth: a folder nested past any real tree is left alone rather than recursed.
      int sub = depth < 256 ? openat(dirfd(stream), name.c_str(),
                                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                            : -1;
      if (sub < 0 || !ClearContents(sub, stopAtFailure, depth + 1) ||
          unlinkat(dirfd(stream), name.c_str(), AT_REMOVEDIR) != 0)
        ok = false;
    } else if (unlinkat(dirfd(stream), name.c_str(), 0) != 0) {
      ok = false;
    }
    if (!ok && stopAtFailure) break;
  }
  closedir(stream);
  return ok;
}

int OpenFolderNoFollow(const std::filesystem::path& folder) {
  return open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

std::string Problem(const struct stat& st, uid_t owner) {
  if (S_ISLNK(st.st_mode)) return "is a symbolic link";
  if (!S_ISDIR(st.st_mode)) return "is not a folder";
  if (st.st_uid != owner) return "belongs to another user";
  if ((st.st_mode & 077) != 0) return "can be read or written by other users";
  return {};
}

bool Refuse(const std::filesystem::path& folder, const std::string& problem, std::string* why) {
  if (why) *why = "the preview folder " + folder.string() + " " + problem + "; it is not used";
  return false;
}

bool IsPrivateFolder(const std::filesystem::path& folder, uid_t owner, std::string* why) {
  struct stat st;
  if (lstat(folder.c_str(), &st) != 0)
    return Refuse(folder, std::string("cannot be read: ") + std::strerror(errno), why);
  const std::string problem = Problem(st, owner);
  return problem.empty() || Refuse(folder, problem, why);
}

// Opens the folder without following a link and checks what was opened, so the folder
// checked is the folder cleared. -1 with the reason otherwise.
int OpenPrivateFolder(const std::filesystem::path& folder, uid_t owner, std::string* why) {
  const int dir = OpenFolderNoFollow(folder);
  if (dir < 0) {
    if (errno == ELOOP || errno == ENOTDIR)
      IsPrivateFolder(folder, owner, why);
    else
      Refuse(folder, std::string("cannot be opened: ") + std::strerror(errno), why);
    return -1;
  }
  struct stat st;
  const std::string problem = fstat(dir, &st) != 0 ? "cannot be read" : Problem(st, owner);
  if (!problem.empty()) {
    close(dir);
    Refuse(folder, problem, why);
    return -1;
  }
  return dir;
}

}  // namespace

bool DeleteFolderTree(const std::filesystem::path& folder) {
  std::filesystem::path p = folder;
  // "x/" names the same folder as "x", but would make lstat follow a link named x.
  while (p.has_relative_path() && !p.has_filename()) p = p.parent_path();
  const int dir = OpenFolderNoFollow(p);
  if (dir < 0) return false;
  if (!ClearContents(dir, true, 0)) return false;
  return rmdir(p.c_str()) == 0;
}

std::filesystem::path PrivateFolderBase() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
      runtime != nullptr && runtime[0] == '/' && IsPrivateFolder(runtime, geteuid(), nullptr))
    return runtime;
  if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && tmp[0] == '/') return tmp;
  return "/tmp";
}

PreviewFolder::PreviewFolder() : owner_(geteuid()), removeAtEnd_(true) {
  std::string pattern = (PrivateFolderBase() / "brevant-preview-XXXXXX").string();
  // mkdtemp makes the folder with mode 0700 under a fresh random name, or fails: nobody can
  // have prepared it for us.
  if (mkdtemp(pattern.data()) == nullptr) {
    error_ = "the preview folder cannot be made in " + PrivateFolderBase().string() + ": " +
             std::strerror(errno);
    return;
  }
  path_ = pattern;
}

PreviewFolder::PreviewFolder(std::filesystem::path folder, uid_t owner, bool removeAtEnd)
    : path_(std::move(folder)), owner_(owner), removeAtEnd_(removeAtEnd) {
  while (path_.has_relative_path() && !path_.has_filename()) path_ = path_.parent_path();
  Check(&error_);
}

PreviewFolder::~PreviewFolder() {
  if (!removeAtEnd_ || path_.empty()) return;
  const int dir = OpenPrivateFolder(path_, owner_, nullptr);
  if (dir >= 0 && ClearContents(dir, false, 0)) rmdir(path_.c_str());
}

bool PreviewFolder::Check(std::string* why) const {
  if (path_.empty()) {
    if (why) *why = error_.empty() ? "there is no preview folder" : error_;
    return false;
  }
  return IsPrivateFolder(path_, owner_, why);
}

bool PreviewFolder::Clear(std::string* why) const {
  if (path_.empty()) return Check(why);
  const int dir = OpenPrivateFolder(path_, owner_, why);
  if (dir < 0) return false;
  // What cannot be deleted (a file held open elsewhere) stays; the preview goes on.
  ClearContents(dir, false, 0);
  return true;
}

}  // namespace brevant::platform
