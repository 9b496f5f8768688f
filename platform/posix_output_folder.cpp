// POSIX destination folders: a descriptor per folder, files made with openat, written with
// pwrite or copied by the kernel (copy_file_range, else sendfile), timed with futimens.
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/output_folder.h"
#include "platform/output_name.h"

namespace brevant::platform {
namespace {

std::atomic<bool> gInKernelCopy{std::getenv("BREVANT_NO_IN_KERNEL_COPY") == nullptr};

// How far down the ladder of kernel copies a destination has been pushed: what one refused
// for a file it refuses for the next, so it is asked only once.
enum CopyTier : int { kCopyFileRange = 0, kSendfile = 1, kUserSpace = 2 };
using TierHint = std::shared_ptr<std::atomic<int>>;

// Clash numbers tried for one name, at most: a folder never holds this many copies of one name.
constexpr unsigned kMaxNumber = 1000000;

bool IsFull(int error) { return error == ENOSPC || error == EDQUOT || error == EFBIG; }

std::string Describe(const std::filesystem::path& path, int error) {
  return path.string() + ": " + std::strerror(error);
}

class PosixOutputFile : public OutputFile {
 public:
  // `folder` (null for a stream) outlives the file; the file's path is only made for a message.
  PosixOutputFile(int fd, std::string name, const std::filesystem::path* folder, TierHint hint,
                  bool stream)
      : fd_(fd), name_(std::move(name)), folder_(folder), hint_(std::move(hint)), stream_(stream) {}
  ~PosixOutputFile() override {
    if (fd_ >= 0 && !stream_) ::close(fd_);
  }
  PosixOutputFile(const PosixOutputFile&) = delete;
  PosixOutputFile& operator=(const PosixOutputFile&) = delete;

  bool Write(const void* data, std::size_t length) override {
    const auto* p = static_cast<const char*>(data);
    while (length > 0) {
      const ssize_t n =
          stream_ ? ::write(fd_, p, length) : ::pwrite(fd_, p, length, static_cast<off_t>(pos_));
      if (n < 0) {
        if (errno == EINTR) continue;
        return Failed(errno);
      }
      if (n == 0) return Failed(ENOSPC);
      p += n;
      length -= static_cast<std::size_t>(n);
      pos_ += static_cast<std::uint64_t>(n);
      holeAtEnd_ = false;
    }
    return true;
  }

  bool Skip(std::uint64_t length) override {
    if (!stream_) {
      pos_ += length;  // the next write or Finish places the end: a hole, nothing written
      holeAtEnd_ = holeAtEnd_ || length > 0;
      return true;
    }
    static const std::vector<char> zeros(1 << 20, 0);
    while (length > 0) {
      const std::size_t piece = length < zeros.size() ? length : zeros.size();
      if (!Write(zeros.data(), piece)) return false;
      length -= piece;
    }
    return true;
  }

  bool MakesHoles() const override { return !stream_; }

  std::int64_t CopyFrom(SectorDevice& source, std::uint64_t offset, std::uint64_t length) override {
    const int in = source.NativeHandle();
    if (in < 0 || !InKernelCopy()) return 0;
    std::uint64_t done = 0;
    while (done < length) {
      const int tier = hint_->load(std::memory_order_relaxed);
      if (tier >= kUserSpace) break;
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(length - done, std::uint64_t{1} << 30));
      auto from = static_cast<off_t>(offset + done);
      ssize_t n;
      if (tier == kCopyFileRange) {
        auto to = static_cast<off_t>(pos_);
        n = ::copy_file_range(in, &from, fd_, stream_ ? nullptr : &to, want, 0);
      } else {
        // sendfile writes at the descriptor's own position, which only it moves: it is
        // placed once after a hole or a pwrite, not before every call.
        if (!stream_ && filePos_ != pos_) {
          if (::lseek(fd_, static_cast<off_t>(pos_), SEEK_SET) < 0) {
            Failed(errno);
            return -1;
          }
          filePos_ = pos_;
        }
        n = ::sendfile(fd_, in, &from, want);
        if (n > 0) filePos_ += static_cast<std::uint64_t>(n);
      }
      if (n < 0) {
        const int e = errno;
        if (e == EINTR || e == EAGAIN) continue;
        if (IsFull(e)) {
          Failed(e);
          return -1;
        }
        if (e == EXDEV || e == EINVAL || e == ENOSYS || e == EOPNOTSUPP || e == EBADF ||
            e == ESPIPE || e == ETXTBSY || e == EPERM) {
          int expected = tier;
          hint_->compare_exchange_strong(expected, tier + 1);
          continue;
        }
        break;  // a read error (EIO): the caller reads around it
      }
      if (n == 0) break;  // past the end of the source
      done += static_cast<std::uint64_t>(n);
      pos_ += static_cast<std::uint64_t>(n);
      holeAtEnd_ = false;
    }
    return static_cast<std::int64_t>(done);
  }

  std::uint64_t Position() const override { return pos_; }

  bool Finish() override {
    // Only a file that ends in a hole needs its length set.
    if (stream_ || !holeAtEnd_) return true;
    if (::ftruncate(fd_, static_cast<off_t>(pos_)) != 0) return Failed(errno);
    return true;
  }

  bool SetModifiedTime(std::int64_t unixSeconds) override {
    struct timespec times[2];
    times[0].tv_sec = static_cast<time_t>(unixSeconds);
    times[0].tv_nsec = 0;
    times[1] = times[0];
    return ::futimens(fd_, times) == 0;
  }

  bool Close() override {
    if (stream_ || fd_ < 0) return error_.empty();
    const int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0 && errno != EINTR) return Failed(errno);
    return error_.empty();
  }

  const std::string& Name() const override { return name_; }
  const std::string& Error() const override { return error_; }
  bool DestinationFull() const override { return full_; }

 private:
  // Records a failure; always false, so callers can return it.
  bool Failed(int error) {
    full_ = full_ || IsFull(error);
    error_ = Describe(folder_ ? *folder_ / name_ : std::filesystem::path(name_), error);
    return false;
  }

  int fd_;
  std::string name_;
  const std::filesystem::path* folder_;
  TierHint hint_;
  bool stream_;
  std::uint64_t pos_ = 0;      // where the next byte goes
  std::uint64_t filePos_ = 0;  // the descriptor's own position (pwrite leaves it alone)
  bool holeAtEnd_ = false;
  std::string error_;
  bool full_ = false;
};

class PosixOutputFolder : public OutputFolder {
 public:
  PosixOutputFolder(int fd, std::filesystem::path path, TierHint hint)
      : fd_(fd), path_(std::move(path)), hint_(std::move(hint)) {}
  ~PosixOutputFolder() override { ::close(fd_); }
  PosixOutputFolder(const PosixOutputFolder&) = delete;
  PosixOutputFolder& operator=(const PosixOutputFolder&) = delete;

  std::unique_ptr<OutputFolder> OpenChild(std::string_view name, bool create,
                                          std::string* error) override {
    std::string component(name);
    // A file or a link that holds the name gets the folder numbered as a clashing file is:
    // the first of "name", "name (1)", ... that is a folder, or (with `create`) is free. The
    // same name is found again when the folder is opened once more.
    for (unsigned n = 1;; ++n) {
      if (create && ::mkdirat(fd_, component.c_str(), 0755) != 0 && errno != EEXIST) {
        if (error) *error = Describe(path_ / component, errno);
        return nullptr;
      }
      // No links followed: a link planted in the destination never leads the writes elsewhere.
      const int fd =
          ::openat(fd_, component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (fd >= 0) return std::make_unique<PosixOutputFolder>(fd, path_ / component, hint_);
      const int e = errno;
      // Bounded as files are: a folder never holds this many copies of one name.
      if ((e != ENOTDIR && e != ELOOP) || n > kMaxNumber) {
        if (error) *error = Describe(path_ / component, e);
        return nullptr;
      }
      component = NumberedName(name, n);
    }
  }

  std::unique_ptr<OutputFile> CreateFile(std::string_view name, std::string* error) override {
    std::string candidate(name);
    for (unsigned n = 1; n <= kMaxNumber; ++n) {
      const int fd = ::openat(fd_, candidate.c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (fd >= 0)
        return std::make_unique<PosixOutputFile>(fd, std::move(candidate), &path_, hint_, false);
      if (errno != EEXIST) {
        if (error) *error = Describe(path_ / candidate, errno);
        return nullptr;
      }
      candidate = NumberedName(name, n);
    }
    if (error) *error = Describe(path_ / std::string(name), EEXIST);
    return nullptr;
  }

  bool RemoveFile(std::string_view name) override {
    return ::unlinkat(fd_, std::string(name).c_str(), 0) == 0;
  }

  std::optional<std::uint64_t> FreeBytes() override {
    struct statvfs st {};
    if (::fstatvfs(fd_, &st) != 0) return std::nullopt;
    // The blocks kept for the superuser are free to a superuser only.
    const std::uint64_t blocks = ::geteuid() == 0 ? st.f_bfree : st.f_bavail;
    return blocks * static_cast<std::uint64_t>(st.f_frsize);
  }

  const std::filesystem::path& Path() const override { return path_; }

 private:
  int fd_;
  std::filesystem::path path_;
  TierHint hint_;
};

// The sysfs folder of a block device number ("/sys/devices/.../sdb/sdb1"), empty when unknown.
std::string SysfsPath(dev_t device) {
  const std::string link =
      "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
  char* real = ::realpath(link.c_str(), nullptr);
  if (!real) return {};
  std::string out(real);
  std::free(real);
  return out;
}

}  // namespace

std::unique_ptr<OutputFolder> OpenOutputFolder(const std::filesystem::path& path, bool create,
                                               std::string* error) {
  auto fail = [&](const std::string& why) -> std::unique_ptr<OutputFolder> {
    if (error) *error = path.string() + ": " + why;
    return nullptr;
  };
  if (path.empty()) return fail("an empty folder name");
  std::error_code ec;
  if (create && !std::filesystem::exists(path, ec)) {
    std::filesystem::create_directories(path, ec);
    if (ec) return fail("cannot create the folder (" + ec.message() + ")");
  }
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    const int e = errno;
    return fail(e == ENOTDIR ? "is not a folder" : std::strerror(e));
  }
  if (::faccessat(fd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
    const int e = errno;
    ::close(fd);
    return fail(e == EROFS ? "is on a read-only file system" : "is not writable");
  }
  struct statvfs st {};
  if (::fstatvfs(fd, &st) == 0 && (st.f_flag & ST_RDONLY)) {
    ::close(fd);
    return fail("is on a read-only file system");
  }
  return std::make_unique<PosixOutputFolder>(fd, path,
                                             std::make_shared<std::atomic<int>>(kCopyFileRange));
}

std::unique_ptr<OutputFile> StandardOutput() {
  static const std::string name = "standard output";
  return std::make_unique<PosixOutputFile>(
      STDOUT_FILENO, name, nullptr, std::make_shared<std::atomic<int>>(kCopyFileRange), true);
}

bool SameDevice(const std::filesystem::path& folder, const std::string& source) {
  struct stat f {
  }, s{};
  if (::stat(folder.c_str(), &f) != 0 || ::stat(source.c_str(), &s) != 0) return false;
  if (!S_ISBLK(s.st_mode)) return false;  // an image: writing beside it leaves it unchanged
  if (f.st_dev == s.st_rdev) return true;
  // The folder's file system may sit on a partition of the disk being read.
  const std::string disk = SysfsPath(s.st_rdev), part = SysfsPath(f.st_dev);
  return !disk.empty() && part.size() > disk.size() && part.compare(0, disk.size(), disk) == 0 &&
         part[disk.size()] == '/';
}

void SetInKernelCopy(bool enabled) { gInKernelCopy.store(enabled); }
bool InKernelCopy() { return gInKernelCopy.load(); }

}  // namespace brevant::platform
