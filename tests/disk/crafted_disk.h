#pragma once
// Disks crafted byte by byte for the disk-layer tests: partition tables, boot sectors, GPTs.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "disk/gpt.h"
#include "test_support.h"

namespace brevant::test {

class CraftedDisk {
 public:
  explicit CraftedDisk(std::uint64_t sectors)
      : bytes(static_cast<std::size_t>(sectors) * 512, '\0') {}

  std::uint64_t Sectors() const { return bytes.size() / 512; }
  std::size_t At(std::uint64_t sector, std::size_t offset = 0) const {
    return static_cast<std::size_t>(sector) * 512 + offset;
  }
  void Text(std::uint64_t sector, std::size_t offset, std::string_view text) {
    std::memcpy(bytes.data() + At(sector, offset), text.data(), text.size());
  }
  void Byte(std::uint64_t sector, std::size_t offset, std::uint8_t v) {
    bytes[At(sector, offset)] = static_cast<char>(v);
  }
  void Signature(std::uint64_t sector, bool first = true, bool second = true) {
    if (first) Byte(sector, 510, 0x55);
    if (second) Byte(sector, 511, 0xAA);
  }
  // Entry i of the table sector at `sector` (MBR or EBR).
  void Entry(std::uint64_t sector, int i, std::uint8_t type, std::uint32_t first,
             std::uint32_t count) {
    std::size_t e = 446 + 16 * static_cast<std::size_t>(i);
    Byte(sector, e + 4, type);
    Put32(bytes, At(sector, e + 8), first);
    Put32(bytes, At(sector, e + 12), count);
  }
  // A FAT16 boot sector: `fatSize` sectors per FAT, two FATs, FAT #1 marked with 0xF8.
  void Fat16(std::uint64_t sector, std::uint8_t spc = 4, std::uint16_t reserved = 1,
             std::uint16_t rootEntries = 512, std::uint16_t fatSize = 8) {
    Text(sector, 3, "MSDOS5.0");
    Put16(bytes, At(sector, 11), 512);
    Byte(sector, 13, spc);
    Put16(bytes, At(sector, 14), reserved);
    Byte(sector, 16, 2);
    Put16(bytes, At(sector, 17), rootEntries);
    Put16(bytes, At(sector, 22), fatSize);
    Text(sector, 54, "FAT16   ");
    Signature(sector);
    if (sector + reserved < Sectors()) Byte(sector + reserved, 0, 0xF8);
  }
  // A FAT32 boot sector and its backup at +6; FAT #1 and FAT #2 marked with 0xF8.
  void Fat32(std::uint64_t sector, std::uint8_t spc = 8, std::uint16_t reserved = 32,
             std::uint32_t fatSize = 16, std::uint32_t rootCluster = 2, bool backup = true) {
    for (std::uint64_t s : {sector, sector + 6}) {
      if (s != sector && !backup) continue;
      Text(s, 3, "MSWIN4.1");
      Put16(bytes, At(s, 11), 512);
      Byte(s, 13, spc);
      Put16(bytes, At(s, 14), reserved);
      Byte(s, 16, 2);
      Put32(bytes, At(s, 36), fatSize);
      Put32(bytes, At(s, 44), rootCluster);
      Text(s, 82, "FAT32   ");
      Signature(s);
    }
    Byte(sector + reserved, 0, 0xF8);
    Byte(sector + reserved + fatSize, 0, 0xF8);
  }
  // An NTFS boot sector (copy at `sector`) with the MFT and its mirror at the given clusters.
  void NtfsBootSector(std::uint64_t sector, std::uint64_t volumeSectors, std::uint8_t spc,
                      std::uint64_t mftCluster, std::uint64_t mirrCluster,
                      std::uint32_t recordValue = 0xF6, std::uint32_t indexValue = 0xF4) {
    Text(sector, 3, "NTFS    ");
    Put16(bytes, At(sector, 11), 512);
    Byte(sector, 13, spc);
    Put64(bytes, At(sector, 40), volumeSectors - 1);
    Put64(bytes, At(sector, 48), mftCluster);
    Put64(bytes, At(sector, 56), mirrCluster);
    Put32(bytes, At(sector, 64), recordValue);
    Put32(bytes, At(sector, 68), indexValue);
    Signature(sector);
  }
  // A whole NTFS volume: primary and backup boot sectors, "FILE" records at MFT and mirror.
  void Ntfs(std::uint64_t start, std::uint64_t sectors, std::uint8_t spc, std::uint64_t mftCluster,
            std::uint64_t mirrCluster) {
    NtfsBootSector(start, sectors, spc, mftCluster, mirrCluster);
    NtfsBootSector(start + sectors - 1, sectors, spc, mftCluster, mirrCluster);
    Text(start + mftCluster * spc, 0, "FILE0");
    Text(start + mirrCluster * spc, 0, "FILE0");
  }

  struct GptEntry {
    std::uint64_t first;
    std::uint64_t last;  // inclusive
  };
  // A protective MBR, the primary GPT (header at 1, entries at 2..33) and the backup
  // (entries before the last sector, header in it), 128 entries of 128 bytes.
  void Gpt(const std::vector<GptEntry>& entries) {
    Entry(0, 0, 0xEE, 1, static_cast<std::uint32_t>(Sectors() - 1));
    Signature(0);
    std::string array(128 * 128, '\0');
    for (std::size_t i = 0; i < entries.size(); ++i) {
      std::size_t e = i * 128;
      // Microsoft basic data type GUID, some unique GUID.
      const unsigned char type[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                                      0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
      std::memcpy(array.data() + e, type, 16);
      array[e + 16] = static_cast<char>(i + 1);
      Put64(array, e + 32, entries[i].first);
      Put64(array, e + 40, entries[i].last);
    }
    const std::uint64_t last = Sectors() - 1;
    WriteGptCopy(1, last, 2, array);
    WriteGptCopy(last, 1, last - 32, array);
  }
  void WriteGptCopy(std::uint64_t lba, std::uint64_t alternate, std::uint64_t entriesLba,
                    const std::string& array) {
    std::memcpy(bytes.data() + At(entriesLba), array.data(), array.size());
    std::string h(512, '\0');
    std::memcpy(h.data(), "EFI PART", 8);
    Put32(h, 8, 0x00010000);
    Put32(h, 12, 92);
    Put64(h, 24, lba);
    Put64(h, 32, alternate);
    Put64(h, 40, 34);
    Put64(h, 48, Sectors() - 34);
    Put64(h, 72, entriesLba);
    Put32(h, 80, 128);
    Put32(h, 84, 128);
    Put32(h, 88, Crc(array.data(), array.size()));
    Put32(h, 16, Crc(h.data(), 92));
    std::memcpy(bytes.data() + At(lba), h.data(), 512);
  }
  static std::uint32_t Crc(const char* p, std::size_t n) {
    return disk::Crc32(disk::Bytes(reinterpret_cast<const unsigned char*>(p), n));
  }

  std::string Install() const { return InstallMemoryDisk(bytes); }

  std::string bytes;
};

// A huge disk that holds only the sectors written into it (zeros elsewhere), for sector
// numbers beyond 32 bits.
class SparseDevice : public platform::SectorDevice {
 public:
  explicit SparseDevice(std::uint64_t sectors) : sectors_(sectors) {}
  // Copies the sectors of `disk` to `at`.
  void Place(std::uint64_t at, const CraftedDisk& disk) {
    for (std::uint64_t s = 0; s < disk.Sectors(); ++s)
      data_[at + s] = disk.bytes.substr(disk.At(s), 512);
  }
  std::string& Sector(std::uint64_t s) {
    auto& d = data_[s];
    d.resize(512, '\0');
    return d;
  }
  std::int64_t ReadAt(std::uint64_t offset, void* buffer, std::size_t length) override {
    const std::uint64_t size = sectors_ * 512;
    if (offset >= size) return 0;
    std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, size - offset));
    auto* out = static_cast<char*>(buffer);
    std::memset(out, 0, n);
    for (auto it = data_.lower_bound(offset / 512);
         it != data_.end() && it->first * 512 < offset + n; ++it) {
      std::uint64_t from = std::max(offset, it->first * 512);
      std::uint64_t to = std::min(offset + n, it->first * 512 + 512);
      std::memcpy(out + (from - offset), it->second.data() + (from - it->first * 512),
                  static_cast<std::size_t>(to - from));
    }
    return static_cast<std::int64_t>(n);
  }
  std::uint64_t SizeBytes() const override { return sectors_ * 512; }
  char Method() const override { return 'T'; }

 private:
  std::uint64_t sectors_;
  std::map<std::uint64_t, std::string> data_;
};

// Installs `device` under a fresh path and returns the path.
inline std::string InstallDevice(std::shared_ptr<platform::SectorDevice> device) {
  static int counter = 0;
  std::string path = "mem://crafted" + std::to_string(counter++);
  platform::DeviceTable::Instance().Install(path, std::move(device));
  return path;
}

}  // namespace brevant::test
