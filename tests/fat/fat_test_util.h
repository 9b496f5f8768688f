#pragma once
// Crafted FAT16/FAT32 volumes in memory, real ones made by mkfs.fat and mtools, and a session
// pointed at either.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/recovery_session.h"
#include "core/text.h"
#include "fat/directory_entry.h"
#include "fat/fat_engine.h"
#include "test_support.h"

namespace brevant::fattest {

using test::Put16;
using test::Put32;

struct Layout {
  bool fat32 = true;
  std::uint64_t partStart = 63;
  std::uint32_t sectorsPerCluster = 4;
  std::uint32_t reserved = 32;
  std::uint32_t fats = 2;
  std::uint32_t fatSize = 16;
  std::uint32_t rootEntries = 512;  // FAT16 only
  std::uint32_t clusters = 1000;    // data clusters (2 .. clusters + 1)
};

// An 8.3 name as stored: "NOTES   TXT".
inline std::array<std::uint8_t, 11> Name83(const std::string& base, const std::string& ext) {
  std::array<std::uint8_t, 11> n;
  n.fill(0x20);
  for (std::size_t i = 0; i < base.size() && i < 8; ++i) n[i] = static_cast<std::uint8_t>(base[i]);
  for (std::size_t i = 0; i < ext.size() && i < 3; ++i) n[8 + i] = static_cast<std::uint8_t>(ext[i]);
  return n;
}

inline std::string ShortEntryBytes(const std::array<std::uint8_t, 11>& name, std::uint8_t attr,
                                   std::uint32_t cluster, std::uint32_t size,
                                   std::uint16_t date = 0x5A21, std::uint16_t time = 0x6000,
                                   std::uint8_t caseFlags = 0) {
  std::string e(32, '\0');
  for (int i = 0; i < 11; ++i) e[i] = static_cast<char>(name[i]);
  e[11] = static_cast<char>(attr);
  e[12] = static_cast<char>(caseFlags);
  Put16(e, 20, static_cast<std::uint16_t>(cluster >> 16));
  Put16(e, 22, time);
  Put16(e, 24, date);
  Put16(e, 26, static_cast<std::uint16_t>(cluster & 0xFFFF));
  Put32(e, 28, size);
  return e;
}

// The long-name entries of `name` for the short name `shortName`, in on-disk order.
inline std::vector<std::string> LongEntries(const std::u16string& name,
                                            const std::array<std::uint8_t, 11>& shortName) {
  static const int offsets[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  const std::uint8_t sum = fat::ShortNameChecksum(shortName);
  const std::size_t count = (name.size() + 12) / 13;
  std::vector<std::string> out;
  for (std::size_t k = count; k >= 1; --k) {
    std::string e(32, '\0');
    e[0] = static_cast<char>(k | (k == count ? 0x40 : 0));
    e[11] = 0x0F;
    e[13] = static_cast<char>(sum);
    for (int i = 0; i < 13; ++i) {
      std::size_t at = (k - 1) * 13 + i;
      std::uint16_t unit = at < name.size() ? name[at] : (at == name.size() ? 0x0000 : 0xFFFF);
      Put16(e, offsets[i], unit);
    }
    out.push_back(e);
  }
  return out;
}

inline std::string DotEntries(std::uint32_t self, std::uint32_t parent) {
  return ShortEntryBytes(Name83(".", ""), 0x10, self, 0) + ShortEntryBytes(Name83("..", ""), 0x10, parent, 0);
}

// A FAT volume inside a disk held in memory.
class CraftedVolume {
 public:
  explicit CraftedVolume(const Layout& l, std::uint64_t extraSectors = 0) : l_(l) {
    rootSectors_ = l.fat32 ? 0 : (l.rootEntries * 32 + 511) / 512;
    dataStart_ = l.partStart + l.reserved + static_cast<std::uint64_t>(l.fats) * l.fatSize + rootSectors_;
    total_ = dataStart_ - l.partStart + static_cast<std::uint64_t>(l.clusters) * l.sectorsPerCluster;
    bytes_.assign((l.partStart + total_ + extraSectors) * 512, '\0');
    std::string bs(512, '\0');
    bs[0] = static_cast<char>(0xEB);
    bs[1] = 0x3C;
    bs[2] = static_cast<char>(0x90);
    Put16(bs, 11, 512);
    bs[13] = static_cast<char>(l.sectorsPerCluster);
    Put16(bs, 14, static_cast<std::uint16_t>(l.reserved));
    bs[16] = static_cast<char>(l.fats);
    Put16(bs, 17, static_cast<std::uint16_t>(l.fat32 ? 0 : l.rootEntries));
    bs[21] = static_cast<char>(0xF8);
    if (total_ < 65536)
      Put16(bs, 19, static_cast<std::uint16_t>(total_));
    else
      Put32(bs, 32, static_cast<std::uint32_t>(total_));
    if (l.fat32) {
      Put32(bs, 36, l.fatSize);
      Put32(bs, 44, 2);
      bs.replace(82, 8, "FAT32   ");
    } else {
      Put16(bs, 22, static_cast<std::uint16_t>(l.fatSize));
      bs.replace(54, 8, "FAT16   ");
    }
    bs[510] = 0x55;
    bs[511] = static_cast<char>(0xAA);
    PutSector(l.partStart, bs);
    if (l.fat32) PutSector(l.partStart + 6, bs);
    for (std::uint32_t c = 0; c < 2; ++c) SetFat(c, c == 0 ? (l.fat32 ? 0x0FFFFFF8 : 0xFFF8) : (l.fat32 ? 0x0FFFFFFF : 0xFFFF));
    if (l.fat32) SetFat(2, 0x0FFFFFFF);  // root directory
  }

  const Layout& layout() const { return l_; }
  std::uint64_t DataStart() const { return dataStart_; }
  std::uint64_t RootStart() const { return l_.partStart + l_.reserved + static_cast<std::uint64_t>(l_.fats) * l_.fatSize; }
  std::uint64_t PartEnd() const { return l_.partStart + total_; }
  std::uint64_t ClusterSector(std::uint64_t c) const { return dataStart_ + (c - 2) * l_.sectorsPerCluster; }
  std::uint64_t Fat1() const { return l_.partStart + l_.reserved; }
  std::string& bytes() { return bytes_; }

  void PutSector(std::uint64_t sector, const std::string& data) {
    bytes_.replace(sector * 512, data.size(), data);
  }
  void PutBytes(std::uint64_t offset, const std::string& data) { bytes_.replace(offset, data.size(), data); }

  // Writes `value` into FAT copy `copy` (or every copy).
  void SetFat(std::uint32_t cluster, std::uint32_t value, int copy = -1) {
    for (std::uint32_t f = 0; f < l_.fats; ++f) {
      if (copy >= 0 && static_cast<std::uint32_t>(copy) != f) continue;
      std::uint64_t at = (Fat1() + static_cast<std::uint64_t>(f) * l_.fatSize) * 512 +
                         static_cast<std::uint64_t>(cluster) * (l_.fat32 ? 4 : 2);
      if (l_.fat32)
        Put32(bytes_, at, value);
      else
        Put16(bytes_, at, static_cast<std::uint16_t>(value));
    }
  }
  void Chain(const std::vector<std::uint32_t>& clusters) {
    for (std::size_t i = 0; i < clusters.size(); ++i)
      SetFat(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : (l_.fat32 ? 0x0FFFFFFF : 0xFFFF));
  }

  // Lays `entries` (32 bytes each) out over `clusters` in order and chains them.
  void WriteDirectory(const std::vector<std::uint32_t>& clusters, const std::vector<std::string>& entries,
                      bool chain = true) {
    std::string all;
    for (const auto& e : entries) all += e;
    const std::size_t clusterBytes = static_cast<std::size_t>(l_.sectorsPerCluster) * 512;
    for (std::size_t i = 0; i < clusters.size(); ++i) {
      std::string part = all.size() > i * clusterBytes ? all.substr(i * clusterBytes, clusterBytes) : "";
      part.resize(clusterBytes, '\0');
      PutSector(ClusterSector(clusters[i]), part);
    }
    if (chain) Chain(clusters);
  }
  void WriteRoot16(const std::vector<std::string>& entries) {
    std::string all;
    for (const auto& e : entries) all += e;
    PutSector(RootStart(), all);
  }
  // File data: `data` over consecutive clusters from `first`.
  void WriteData(std::uint32_t first, const std::string& data) {
    PutSector(ClusterSector(first), data);
  }

 private:
  Layout l_;
  std::uint64_t rootSectors_ = 0, dataStart_ = 0, total_ = 0;
  std::string bytes_;
};

// A session whose selection is the crafted volume's partition on an in-memory disk.
inline void SelectDisk(RecoverySession& s, const std::string& path, std::uint64_t start,
                       std::uint64_t end, const std::string& fsName) {
  s.EnsureDisk(0);
  s.devicePath[0] = path;
  s.selectedDisk = 0;
  s.selectedPartitionStart = start;
  s.selectedPartitionEnd = end;
  s.selectedFsName = fsName;
  s.scanFsName = fsName;
}

inline void Select(RecoverySession& s, CraftedVolume& v) {
  SelectDisk(s, test::InstallMemoryDisk(v.bytes()), v.layout().partStart, v.PartEnd(),
             v.layout().fat32 ? "FAT32" : "FAT16");
}

// Runs what the worker runs for a FAT partition, up to the tree.
inline void ScanSelected(RecoverySession& s, RecoveryView& view, const FatReadOptions& options = {}) {
  FindFatGeometry(s, view, options);
  ScanFatClusters(s, view, options);
  static_cast<PartitionParameters&>(s.scanParams) = s.partParams;
  s.scanParams.fsName = s.scanFsName;
}

struct Found {
  std::string name, sector, id, parentId, date, time, size, attributes, type, deleted;
  int sequence = 0;
  bool folder = false;
};

inline std::vector<Found> Entries(const Catalogue& c) {
  std::vector<Found> out;
  for (int list = 0; list < 2; ++list) {
    const auto& l = list == 0 ? c.folderList : c.fileList;
    for (const CatalogueNode* n = l.First(); n; n = CatalogueList<CatalogueNode>::Next(n))
      out.push_back({ToUtf8(n->name), ToUtf8(n->sector), ToUtf8(n->id), ToUtf8(n->parentId),
                     ToUtf8(n->date), ToUtf8(n->time), ToUtf8(n->size), ToUtf8(n->attributes),
                     ToUtf8(n->type), ToUtf8(n->deleted), n->sequence, list == 0});
  }
  return out;
}

inline const Found* FindByName(const std::vector<Found>& all, const std::string& name) {
  for (const auto& f : all)
    if (f.name == name) return &f;
  return nullptr;
}

// ---- real volumes made by mkfs.fat and mtools

inline bool HaveTool(const char* tool) {
  std::string cmd = std::string("command -v ") + tool + " >/dev/null 2>&1";
  return std::system(cmd.c_str()) == 0;
}
inline bool HaveFatTools() { return HaveTool("mkfs.fat") && HaveTool("mcopy") && HaveTool("mmd"); }

inline int RunTool(const std::string& cmd) {
  std::string full = "export MTOOLS_SKIP_CHECK=1 LC_ALL=C.UTF-8 TZ=UTC; " + cmd + " >/dev/null 2>&1";
  return std::system(full.c_str());
}

inline std::string Capture(const std::string& cmd) {
  std::string out;
  std::string full = "export LC_ALL=C.UTF-8 TZ=UTC; " + cmd + " 2>/dev/null";
  FILE* p = ::popen(full.c_str(), "r");
  if (!p) return out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  return out;
}

inline void WriteFile(const std::filesystem::path& p, const std::string& data) {
  std::filesystem::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << data;
}

inline std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Deterministic bytes for file contents.
inline std::string Pattern(std::size_t size, unsigned seed) {
  std::string s(size, '\0');
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& c : s) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  return s;
}

}  // namespace brevant::fattest
