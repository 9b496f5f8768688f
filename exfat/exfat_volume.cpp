#include "exfat/exfat_volume.h"

#include <algorithm>
#include <mutex>
#include <unordered_set>

#include "core/read_sectors.h"
#include "core/text.h"
#include "disk/exfat_boot.h"
#include "platform/sector_device.h"

namespace brevant::exfat {
namespace {

std::uint16_t Le16(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}
std::uint32_t Le32(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint32_t>(Le16(b, at)) | static_cast<std::uint32_t>(Le16(b, at + 2)) << 16;
}
std::uint64_t Le64(std::span<const std::uint8_t> b, std::size_t at) {
  return static_cast<std::uint64_t>(Le32(b, at)) | static_cast<std::uint64_t>(Le32(b, at + 4)) << 32;
}

std::string ClusterText(std::uint64_t c) { return "cluster " + std::to_string(c); }

}  // namespace

std::optional<ExfatVolume> VolumeFromParameters(const PartitionParameters& p, std::string device,
                                                std::uint64_t partStart, std::uint64_t partEnd) {
  const std::uint64_t spc = p.sectorsPerCluster;
  // Clusters up to 32 MiB, a power of two.
  if (spc == 0 || spc > (32u << 20) / kSectorBytes || (spc & (spc - 1)) != 0) return std::nullopt;
  if (p.clusterCount == 0 || p.clusterCount > 0xFFFFFFF5u || partEnd <= partStart)
    return std::nullopt;
  ExfatVolume v;
  v.device = std::move(device);
  v.partStart = partStart;
  v.partEnd = partEnd;
  v.sectorsPerCluster = spc;
  v.clusterBase = p.clusterBase;
  v.clusterCount = static_cast<std::uint32_t>(p.clusterCount);
  v.fatStart = p.fat1Start;
  v.fatSectors = p.fatSizeSectors;
  v.rootCluster = static_cast<std::uint32_t>(std::min<std::uint64_t>(p.rootDirStart, 0xFFFFFFFF));
  const std::uint64_t heap = v.ClusterSector(2);
  if (heap < partStart || heap >= partEnd) return std::nullopt;
  if (v.fatStart < partStart || v.fatStart >= partEnd || v.fatSectors == 0) return std::nullopt;
  // Clusters beyond the partition are no part of the volume read here.
  const std::uint64_t fit = (partEnd - heap) / spc;
  if (fit < v.clusterCount) v.clusterCount = static_cast<std::uint32_t>(fit);
  if (v.clusterCount == 0) return std::nullopt;
  return v;
}

bool ReadZeroFilled(const std::string& device, std::uint8_t* buffer, std::uint64_t start,
                    std::uint64_t count) {
  bool all = true;
  constexpr std::uint64_t kMaxRequest = 65536;
  for (std::uint64_t done = 0; done < count;) {
    const auto n = static_cast<std::uint32_t>(std::min(kMaxRequest, count - done));
    if (ReadSectorsZeroFilling(device, buffer + done * kSectorBytes, start + done, n) != 0)
      all = false;
    done += n;
  }
  return all;
}

std::optional<std::uint32_t> FatTable::Entry(std::uint32_t cluster) {
  const std::uint64_t byte = std::uint64_t{cluster} * 4;
  if (byte + 4 > volume_.fatSectors * kSectorBytes) return std::nullopt;
  const std::uint64_t sector = byte / kSectorBytes;
  const std::uint64_t chunk = sector / kChunkSectors;
  auto it = chunks_.find(chunk);
  if (it == chunks_.end()) {
    if (chunks_.size() >= kMaxChunks) chunks_.clear();
    const std::uint64_t first = chunk * kChunkSectors;
    const std::uint64_t count = std::min<std::uint64_t>(kChunkSectors, volume_.fatSectors - first);
    const std::uint64_t at = volume_.fatStart + first;
    if (at >= volume_.partEnd) return std::nullopt;
    const std::uint64_t inside = std::min(count, volume_.partEnd - at);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count * kSectorBytes), 0);
    // An unreadable FAT sector reads as zeros: free clusters, so chains through it break.
    ReadZeroFilled(volume_.device, bytes.data(), at, inside);
    it = chunks_.emplace(chunk, std::move(bytes)).first;
  }
  const std::size_t at = static_cast<std::size_t>(byte - chunk * kChunkSectors * kSectorBytes);
  return Le32(it->second, at);
}

bool MarkedInUse(const Bitmap& bitmap, std::uint64_t cluster) {
  if (cluster < 2 || (cluster - 2) / 8 >= bitmap.size()) return true;
  return (bitmap[static_cast<std::size_t>((cluster - 2) / 8)] >> ((cluster - 2) % 8)) & 1;
}

std::shared_ptr<const Bitmap> VolumeBitmap(const ExfatVolume& v) {
  static std::mutex mutex;
  static std::string key;
  static std::weak_ptr<platform::SectorDevice> keptDevice;
  static std::shared_ptr<const Bitmap> kept;
  // The same volume of the same open device: a path opened again (another image put in its
  // place) is read again.
  const std::shared_ptr<platform::SectorDevice> device = platform::DeviceTable::Instance().Get(v.device);
  const std::string k = v.device + '\n' + std::to_string(v.partStart) + '\n' +
                        std::to_string(v.partEnd) + '\n' + std::to_string(v.fatStart);
  std::lock_guard lock(mutex);
  if (k == key && device && keptDevice.lock() == device) return kept;
  std::shared_ptr<const Bitmap> bitmap;
  if (auto boot = disk::ReadExfatBoot(v.device, v.partStart, v.partEnd))
    if (auto bytes = disk::ReadExfatBitmap(v.device, v.partStart, v.partEnd, *boot))
      bitmap = std::make_shared<const Bitmap>(std::move(*bytes));
  key = k;
  keptDevice = device;
  kept = bitmap;
  return bitmap;
}

std::optional<DataLayout> LayoutOf(const ExfatVolume& v, FatTable& fat, std::uint32_t first,
                                   std::uint64_t bytes, bool noFatChain, bool deleted,
                                   std::string* error, const Bitmap* bitmap) {
  DataLayout out;
  if (bytes == 0) return out;
  if (!v.IsDataCluster(first)) {
    *error = "starting cluster " + std::to_string(first) + " lies outside the volume";
    return std::nullopt;
  }
  const std::uint64_t needed = v.ClustersFor(bytes);
  if (needed > v.clusterCount) {
    *error = "the file is larger than the volume";
    return std::nullopt;
  }
  auto contiguous = [&]() -> bool {
    if (std::uint64_t{first} + needed - 1 > v.LastCluster()) {
      *error = "the file's clusters would run past the end of the volume";
      return false;
    }
    out.runs = {ClusterRun{0, first, needed}};
    return true;
  };
  if (noFatChain) {
    if (!contiguous()) return std::nullopt;
    return out;
  }
  std::vector<std::uint32_t> clusters;
  std::unordered_set<std::uint32_t> seen;
  std::string why;
  std::uint32_t c = first;
  bool endsWell = false;
  while (true) {
    clusters.push_back(c);
    seen.insert(c);
    auto next = fat.Entry(c);
    if (clusters.size() == needed) {
      endsWell = next && *next == kEndOfChain;
      break;
    }
    if (!next) {
      why = "the FAT entry of " + ClusterText(c) + " cannot be read";
      break;
    }
    if (*next == kEndOfChain) {
      why = "the chain ends at " + ClusterText(c);
      break;
    }
    if (!v.IsDataCluster(*next)) {
      why = *next == 0 ? ClusterText(c) + " is marked free"
            : *next == 0xFFFFFFF7 ? ClusterText(c) + " is marked bad"
                                  : ClusterText(c) + " links to " + std::to_string(*next) +
                                        ", no cluster of this volume";
      break;
    }
    if (seen.count(*next)) {
      why = ClusterText(c) + " links back to " + ClusterText(*next);
      break;
    }
    c = *next;
  }
  const bool whole = clusters.size() == needed;
  // A deleted file's chain counts only when it is all still there and ends with its size.
  if (deleted && !(whole && endsWell)) {
    out.guessed = true;
    if (!bitmap || MarkedInUse(*bitmap, first)) {
      if (!contiguous()) return std::nullopt;
      return out;
    }
    std::uint64_t taken = 0;
    for (std::uint64_t c = first; taken < needed; ++c) {
      if (c > v.LastCluster()) {
        *error = "the file's clusters would run past the end of the volume";
        return std::nullopt;
      }
      if (c != first && MarkedInUse(*bitmap, c)) continue;
      if (!out.runs.empty() && out.runs.back().lcn + out.runs.back().length == c)
        ++out.runs.back().length;
      else
        out.runs.push_back({taken, c, 1});
      ++taken;
    }
    return out;
  }
  for (std::uint32_t k : clusters) {
    if (!out.runs.empty() && out.runs.back().lcn + out.runs.back().length == k)
      ++out.runs.back().length;
    else
      out.runs.push_back({out.runs.empty() ? 0 : out.runs.back().vcn + out.runs.back().length, k, 1});
  }
  if (!whole) {
    out.soundBytes = clusters.size() * v.ClusterBytes();
    out.broken = "chain broken after " + std::to_string(out.soundBytes) + " bytes (" + why + ")";
  }
  return out;
}

std::uint16_t EntrySetChecksum(std::span<const std::uint8_t> bytes, std::size_t entries,
                               bool asInUse) {
  std::uint16_t sum = 0;
  const std::size_t n = std::min(bytes.size(), entries * kEntryBytes);
  for (std::size_t i = 0; i < n; ++i) {
    if (i == 2 || i == 3) continue;
    std::uint8_t b = bytes[i];
    if (asInUse && i % kEntryBytes == 0) b |= kInUse;
    sum = static_cast<std::uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + b);
  }
  return sum;
}

SetParse ParseEntrySet(std::span<const std::uint8_t> b, EntrySet& out) {
  if (b.size() < kEntryBytes || (b[0] | kInUse) != kFileEntry) return SetParse::NotASet;
  const bool deleted = (b[0] & kInUse) == 0;
  const std::size_t secondaries = b[1];
  // A stream extension and at least one name entry follow the File entry.
  if (secondaries < 2) return SetParse::Bad;
  const std::size_t entries = secondaries + 1;
  if (entries * kEntryBytes > b.size()) return SetParse::Bad;
  // Every entry of the set is in use, or every one deleted: a slot taken again breaks the set.
  for (std::size_t i = 1; i < entries; ++i) {
    const std::uint8_t type = b[i * kEntryBytes];
    if ((type & kInUse) != (b[0] & kInUse) || (type & 0x40) == 0) return SetParse::Bad;
  }
  if (EntrySetChecksum(b, entries, deleted) != Le16(b, 2)) return SetParse::Bad;
  const auto stream = b.subspan(kEntryBytes, kEntryBytes);
  if ((stream[0] | kInUse) != kStreamEntry) return SetParse::Bad;
  const std::size_t nameLength = stream[3];
  const std::size_t nameEntries = (nameLength + kNameUnitsPerEntry - 1) / kNameUnitsPerEntry;
  if (nameLength == 0 || nameEntries > secondaries - 1) return SetParse::Bad;
  EntrySet s;
  s.deleted = deleted;
  s.entries = entries;
  s.attributes = Le16(b, 4);
  s.modified = Le32(b, 12);
  s.modified10ms = b[21];
  s.modifiedUtcOffset = b[23];
  s.streamFlags = stream[1];
  s.nameHash = Le16(stream, 4);
  s.validDataLength = Le64(stream, 8);
  s.firstCluster = Le32(stream, 20);
  s.dataLength = Le64(stream, 24);
  s.name.reserve(nameLength);
  for (std::size_t k = 0; k < nameEntries; ++k) {
    const auto e = b.subspan((2 + k) * kEntryBytes, kEntryBytes);
    if ((e[0] | kInUse) != kNameEntry) return SetParse::Bad;
    for (std::size_t u = 0; u < kNameUnitsPerEntry && s.name.size() < nameLength; ++u)
      s.name.push_back(static_cast<char16_t>(Le16(e, 2 + 2 * u)));
  }
  // Bytes past the valid data length are never more than the data.
  s.validDataLength = std::min(s.validDataLength, s.dataLength);
  out = std::move(s);
  return SetParse::Ok;
}

std::uint16_t NameHash(std::u16string_view name, const std::vector<char16_t>& upcase) {
  std::uint16_t hash = 0;
  for (char16_t c : name) {
    const char16_t up = upcase.size() == 65536 ? upcase[c] : c;
    for (std::uint8_t byte : {static_cast<std::uint8_t>(up & 0xFF), static_cast<std::uint8_t>(up >> 8)})
      hash = static_cast<std::uint16_t>(((hash & 1) ? 0x8000 : 0) + (hash >> 1) + byte);
  }
  return hash;
}

std::optional<std::vector<char16_t>> ExpandUpcaseTable(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 2 || bytes.size() > 65536 * 2 * 2) return std::nullopt;
  std::vector<char16_t> table(65536);
  for (std::size_t i = 0; i < table.size(); ++i) table[i] = static_cast<char16_t>(i);
  std::size_t next = 0;
  for (std::size_t at = 0; at + 2 <= bytes.size() && next < table.size(); at += 2) {
    const std::uint16_t v = Le16(bytes, at);
    if (v == 0xFFFF && at + 4 <= bytes.size()) {
      at += 2;
      next += Le16(bytes, at);  // kept as they are
      continue;
    }
    table[next++] = static_cast<char16_t>(v);
  }
  return table;
}

std::uint32_t UpcaseTableChecksum(std::span<const std::uint8_t> bytes) {
  std::uint32_t sum = 0;
  for (std::uint8_t b : bytes) sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + b;
  return sum;
}

std::u16string DateText(const EntrySet& set) { return ToText(set.modified >> 16); }

std::u16string TimeText(const EntrySet& set) {
  const std::uint32_t increment = set.modified10ms < 200 ? set.modified10ms : 0;
  return ToText((set.modified & 0xFFFF) | increment << 16);
}

std::u16string SpareText(const EntrySet& set, bool chainGone) {
  std::u16string text = ToText(set.validDataLength);
  if (set.NoFatChain()) text += u" nofatchain";
  if (chainGone) text += kChainGoneWord;
  return text;
}

SpareFacts ParseSpareText(std::u16string_view text) {
  SpareFacts f;
  const std::int64_t v = TextToInt(text);
  f.validDataLength = v < 0 ? 0 : static_cast<std::uint64_t>(v);
  f.noFatChain = text.find(u" nofatchain") != std::u16string_view::npos;
  f.chainGone = text.find(kChainGoneWord) != std::u16string_view::npos;
  return f;
}

}  // namespace brevant::exfat
