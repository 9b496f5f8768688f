#include "test_support.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>

namespace brevant::test {

std::string InstallMemoryDisk(std::string bytes) {
  static std::atomic<int> counter{0};
  std::string path = "mem://disk" + std::to_string(counter++);
  platform::DeviceTable::Instance().Install(path, std::make_shared<platform::MemoryDevice>(std::move(bytes)));
  return path;
}

std::filesystem::path TempDir() {
  static std::filesystem::path dir = [] {
    std::string templ = (std::filesystem::temp_directory_path() / "brevant-test-XXXXXX").string();
    char* made = ::mkdtemp(templ.data());
    std::filesystem::path p = made ? made : templ;
    static struct Cleanup {
      std::filesystem::path p;
      ~Cleanup() {
        std::error_code ec;
        std::filesystem::remove_all(p, ec);
      }
    } cleanup{p};
    return p;
  }();
  return dir;
}

std::filesystem::path FixtureImage(const std::string& name) {
  static std::mutex mutex;
  static std::map<std::string, std::filesystem::path> done;
  std::lock_guard lock(mutex);
  if (auto it = done.find(name); it != done.end()) return it->second;
  std::filesystem::path gz = std::filesystem::path(BREVANT_FIXTURES_DIR) / (name + ".img.gz");
  if (!std::filesystem::exists(gz)) return {};
  std::filesystem::path out = TempDir() / (name + ".img");
  std::string cmd = "gzip -dc '" + gz.string() + "' > '" + out.string() + "'";
  if (std::system(cmd.c_str()) != 0) return {};
  done[name] = out;
  return out;
}

void Put16(std::string& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<char>(v & 0xFF);
  b[at + 1] = static_cast<char>(v >> 8);
}
void Put32(std::string& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Put64(std::string& b, std::size_t at, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace brevant::test
