#include "core/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <vector>

#include "core/catalogue.h"
#include "core/text.h"
#include "platform/output_name.h"

namespace brevant {

bool ByteSink::WriteZeros(std::uint64_t length) {
  static const std::vector<char> zeros(1 << 20, 0);
  while (length > 0) {
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(length, zeros.size()));
    if (!Write(zeros.data(), piece)) return false;
    length -= piece;
  }
  return true;
}

bool OutputFileSink::Write(const void* data, std::size_t length) {
  return length == 0 || file_.Write(data, length);
}

bool OutputFileSink::WriteZeros(std::uint64_t length) { return file_.Skip(length); }

std::int64_t OutputFileSink::CopyFromDevice(platform::SectorDevice& device, std::uint64_t offset,
                                            std::uint64_t length) {
  return file_.CopyFrom(device, offset, length);
}

bool FileSink::Write(const void* data, std::size_t length) {
  return length == 0 || std::fwrite(data, 1, length, file_) == length;
}

std::u16string SanitiseName(std::u16string_view name) {
  std::u16string out;
  out.reserve(name.size());
  for (char16_t c : name) {
    if (c < 0x20 || c == 0x7F || c == u'/' || c == u'\\' || c == 0)
      out.push_back(u'_');
    else
      out.push_back(c);
  }
  if (out.empty() || out == u"." || out == u"..") out = u"_" + out;
  // Whole up to what the destination takes; only a longer name is shortened.
  const std::string utf8 = ToUtf8(out);
  if (utf8.size() <= platform::kMaxNameBytes) return out;
  return FromUtf8(platform::FitName(utf8));
}

std::filesystem::path PathFromText(std::u16string_view text) {
  return std::filesystem::path(ToUtf8(text));
}

std::filesystem::path UniqueOutputPath(const std::filesystem::path& folder, std::u16string_view name) {
  const std::string safe = ToUtf8(SanitiseName(name));
  std::filesystem::path candidate = folder / safe;
  std::error_code ec;
  if (!std::filesystem::exists(std::filesystem::symlink_status(candidate, ec))) return candidate;
  for (unsigned n = 1;; ++n) {
    candidate = folder / platform::NumberedName(safe, n);
    if (!std::filesystem::exists(std::filesystem::symlink_status(candidate, ec))) return candidate;
  }
}

std::FILE* CreateOutputFile(const std::filesystem::path& path, std::string* error) {
  // O_EXCL: never overwrite, and never follow a link planted where the file should go.
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) {
    if (error) *error = path.string() + ": " + std::strerror(errno);
    return nullptr;
  }
  std::FILE* file = ::fdopen(fd, "wb");
  if (!file) {
    if (error) *error = path.string() + ": " + std::strerror(errno);
    ::close(fd);
  }
  return file;
}

bool SetModifiedTime(const std::filesystem::path& path, std::int64_t unixSeconds) {
  struct timespec times[2];
  times[0].tv_sec = static_cast<time_t>(unixSeconds);
  times[0].tv_nsec = 0;
  times[1] = times[0];
  return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

std::optional<std::int64_t> FatTimeToUnix(std::uint16_t date, std::uint16_t time) {
  int day = date & 0x1F, month = (date >> 5) & 0x0F, year = 1980 + (date >> 9);
  int second = (time & 0x1F) * 2, minute = (time >> 5) & 0x3F, hour = time >> 11;
  if (day < 1 || month < 1 || month > 12 || hour > 23 || minute > 59 || second > 59)
    return std::nullopt;
  // Days from the civil date (proleptic Gregorian), no time zone applied.
  int y = year - (month <= 2);
  int era = y / 400;
  int yoe = y - era * 400;
  int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  std::int64_t days = static_cast<std::int64_t>(era) * 146097 + doe - 719468;
  return days * 86400 + hour * 3600 + minute * 60 + second;
}

std::int64_t FileTimeToUnix(std::int64_t fileTime) {
  return fileTime / 10000000 - 11644473600LL;
}

std::optional<std::int64_t> ListedTime(const CatalogueNode& entry, bool fat) {
  if (fat) {
    const std::int64_t date = TextToInt(entry.date), time = TextToInt(entry.time);
    // exFAT keeps a 10 ms increment (0-199) above the time word.
    if (date < 0 || date > 0xFFFF || time < 0 || time > 0xC7FFFF) return std::nullopt;
    auto t = FatTimeToUnix(static_cast<std::uint16_t>(date), static_cast<std::uint16_t>(time));
    if (t) *t += (time >> 16) / 100;
    return t;
  }
  const std::int64_t fileTime = TextToInt(entry.date);
  if (fileTime <= 0) return std::nullopt;
  return FileTimeToUnix(fileTime);
}

}  // namespace brevant
