// The partition-table walk: a whole-disk volume, a GPT, or the MBR with its extended chain.
#include <algorithm>
#include <set>
#include <string_view>

#include "core/read_sectors.h"
#include "core/text.h"
#include "disk/disks.h"
#include "disk/gpt.h"
#include "disk/on_disk.h"
#include "disk/sector_size.h"
#include "disk/volume_search.h"
#include "platform/sector_device.h"

namespace brevant {
namespace {

using disk::Sector;

// A chain longer than this is damaged or crafted; real disks hold a few dozen logicals at most.
constexpr int kMaxExtendedRecords = 128;
constexpr std::uint8_t kProtectiveGpt = 0xEE;

bool IsExtendedType(std::uint8_t type) { return type == 0x05 || type == 0x0F; }

// Names a table entry: the boot sector's own text first, then the type byte. Empty when the
// entry is no partition of a file system this program reads.
std::string_view Recognise(std::uint8_t type, disk::Bytes bootSector, bool /*inExtendedRecord*/) {
  if (auto fs = disk::BootSectorFsName(bootSector); !fs.empty()) return fs;
  switch (type) {
    case 0x01:
      return "FAT12";
    case 0x07:
      return "NTFS";
    case 0x04:
    case 0x06:
    case 0x0E:
      return "FAT16";
    case 0x0B:
    case 0x0C:
      return "FAT32";
    default:
      return {};
  }
}

// 512-byte sectors the volume in a whole-disk boot sector claims, for a disk whose size is
// unknown.
std::uint64_t VolumeSectors(disk::Bytes boot, std::string_view fs) {
  const std::uint64_t unit = std::max<std::uint64_t>(disk::Le16(boot, 11) / disk::kSectorBytes, 1);
  std::uint64_t total = 0;
  if (fs == "exFAT") {
    total = disk::Le64(boot, 72);
    const std::uint64_t units = std::uint64_t{1} << (disk::Le8(boot, 108) - 9);
    return total > UINT64_MAX / units ? UINT64_MAX : total * units;
  }
  if (fs == "NTFS") {
    total = disk::Le64(boot, 40);
    if (total != UINT64_MAX) ++total;  // the backup boot sector follows the volume
  } else {
    total = disk::Le16(boot, 19);
    if (total == 0) total = disk::Le32(boot, 32);
  }
  return total > UINT64_MAX / unit ? UINT64_MAX : total * unit;
}

class Walk {
 public:
  Walk(RecoverySession& session, ui::ResultTree& tree, int d, const std::u16string& diskPath)
      : tree_(tree),
        diskPath_(diskPath),
        device_(session.devicePath[d]),
        record_(session.driveRecords[d]) {
    record_ = DriveRecord{};
    record_.diskIndex = d;
    std::uint64_t bytes = 0;
    if (auto dev = platform::DeviceTable::Instance().Get(device_)) bytes = dev->SizeBytes();
    diskSectors_ = bytes / disk::kSectorBytes;
    sectorBytes_ = disk::DetectSectorSize(device_, bytes, DeviceLogicalSectorSize(device_)).bytes;
    unit_ = sectorBytes_ / disk::kSectorBytes;
    record_.sectorSize = sectorBytes_;
  }

  void Run() {
    Sector mbr;
    disk::ReadSector(device_, 0, mbr);
    // A volume without a partition table (a USB stick, an image of one partition): its boot
    // code must never be read as partition entries. Partitioning a former whole-disk volume
    // (sfdisk in a script, for one) leaves its boot sector in place under the new table, and
    // the table is then what holds.
    if (auto fs = disk::BootSectorFsName(mbr);
        !fs.empty() && disk::PlausibleBpb(mbr) && !CredibleTable(mbr)) {
      File(fs, 0, diskSectors_ != 0 ? diskSectors_ : VolumeSectors(mbr, fs));
      return;
    }
    if (!disk::HasTableSignature(mbr)) return;
    bool gpt = false;
    for (int i = 0; i < 4 && !gpt; ++i)
      gpt = disk::ParseTableEntry(mbr, i).type == kProtectiveGpt && WalkGpt();
    if (!gpt) WalkMbr(mbr);
    ClampToDisk();
  }

 private:
  // A table a partitioning tool wrote over a stale boot sector: every entry empty or well formed
  // (boot flag 0x00 or 0x80, a type, a start past sector 0 and on the disk, a length), and at
  // least one entry leading to something real: a volume's own boot sector, an extended boot
  // record, or a GPT header. Boot code and message text never pass.
  bool CredibleTable(const Sector& mbr) const {
    bool evidence = false;
    for (int i = 0; i < 4; ++i) {
      disk::Bytes raw =
          disk::Bytes(mbr).subspan(disk::kTableOffset + 16 * static_cast<std::size_t>(i), 16);
      if (std::all_of(raw.begin(), raw.end(), [](unsigned char b) { return b == 0; })) continue;
      auto e = disk::ParseTableEntry(mbr, i);
      if ((raw[0] != 0x00 && raw[0] != 0x80) || e.type == 0 || e.firstSector == 0 ||
          e.sectorCount == 0)
        return false;
      if (diskSectors_ != 0 && e.firstSector >= diskSectors_ / unit_) return false;
      if (!evidence) evidence = LeadsSomewhere(e);
    }
    return evidence;
  }

  bool LeadsSomewhere(const disk::TableEntry& e) const {
    Sector s;
    if (e.type == kProtectiveGpt) {
      disk::ReadSector(device_, unit_, s);
      return disk::HasText(s, 0, "EFI PART");
    }
    disk::ReadSector(device_, e.firstSector * unit_, s);
    if (IsExtendedType(e.type)) return disk::HasBootSignature(s);
    return disk::BootSectorBytes(s) != 0;
  }

  bool WalkGpt() {
    auto gpt = disk::ReadGpt(device_, diskSectors_, sectorBytes_);
    if (!gpt) return false;
    for (const auto& p : gpt->partitions) starts_.push_back(p.firstLba * unit_);
    for (const auto& p : gpt->partitions) {
      // ReadGpt keeps (lastLba + 1) * unit within 64 bits.
      const std::uint64_t start = p.firstLba * unit_, end = (p.lastLba + 1) * unit_;
      Sector boot;
      disk::ReadSector(device_, start, boot);
      // A GPT entry has no type byte to fall back on: the boot sector alone decides.
      if (auto fs = disk::BootSectorFsName(boot); !fs.empty()) File(fs, start, end);
    }
    return true;
  }

  // Files a table entry at `lba` (in the disk's sectors) of `count` sectors. An entry named
  // only by its type byte, whose volume's boot sector lies where the same numbers would put it
  // in sectors of another size, is filed with the disagreement as its problem: reading it where
  // the table says would find nothing.
  void FileEntry(std::string_view fs, std::uint64_t lba, std::uint64_t count,
                 disk::Bytes bootSector) {
    std::string problem;
    if (disk::BootSectorFsName(bootSector).empty()) {
      for (std::uint32_t other : {512u, 4096u, 1024u, 2048u}) {
        if (other == sectorBytes_ || !disk::BootSectorStates(device_, lba, other)) continue;
        problem = "its boot sector is not where the partition table puts it (byte " +
                  std::to_string(lba * sectorBytes_) + ", counting " +
                  std::to_string(sectorBytes_) + "-byte sectors); a boot sector stating " +
                  std::to_string(other) + " bytes per sector lies at byte " +
                  std::to_string(lba * other) +
                  ": the table and the volume disagree on the sector size";
        break;
      }
    }
    File(fs, lba * unit_, (lba + count) * unit_, std::move(problem));
  }

  void WalkMbr(const Sector& mbr) {
    bool extended = false;
    std::uint64_t extendedBase = 0;
    for (int i = 0; i < 4; ++i) {
      auto e = disk::ParseTableEntry(mbr, i);
      if (e.type == 0) continue;
      starts_.push_back(e.firstSector * unit_);
      Sector boot;
      disk::ReadSector(device_, e.firstSector * unit_, boot);
      if (auto fs = Recognise(e.type, boot, false); !fs.empty()) {
        FileEntry(fs, e.firstSector, e.sectorCount, boot);
      } else if (IsExtendedType(e.type)) {
        extended = true;  // the last extended entry wins
        extendedBase = e.firstSector;
      }
    }

    // Link offsets are relative to the extended base; logicals to their own record.
    std::uint64_t link = 0;
    std::set<std::uint64_t> visited{0};
    for (int records = 0; extended && records < kMaxExtendedRecords; ++records) {
      extended = false;
      const std::uint64_t at = extendedBase + link;                // in the disk's sectors
      if (diskSectors_ != 0 && at >= diskSectors_ / unit_) break;  // link off the disk
      if (!visited.insert(at).second) break;                       // link back to an earlier record
      Sector ebr;
      if (!disk::ReadSector(device_, at * unit_, ebr)) break;
      starts_.push_back(at * unit_);
      for (int i = 0; i < 2; ++i) {
        auto e = disk::ParseTableEntry(ebr, i);
        if (e.type == 0) continue;
        Sector boot;  // cleared by ReadSector, and left clear for a link entry
        boot.fill(0);
        const std::uint64_t first = at + e.firstSector;
        if (!IsExtendedType(e.type)) disk::ReadSector(device_, first * unit_, boot);
        if (auto fs = Recognise(e.type, boot, true); !fs.empty()) {
          FileEntry(fs, first, e.sectorCount, boot);
          starts_.push_back(first * unit_);
        } else if (IsExtendedType(e.type)) {
          extended = true;
          link = e.firstSector;
        }
      }
      // The link belongs in the second entry, but some tools put it in the third or fourth
      // (the Linux kernel and The Sleuth Kit follow it there too): the first one found there
      // serves when the first two hold none. Only links are taken from those two entries,
      // which otherwise often hold leftovers.
      for (int i = 2; i < 4 && !extended; ++i) {
        auto e = disk::ParseTableEntry(ebr, i);
        if (IsExtendedType(e.type)) {
          extended = true;
          link = e.firstSector;
        }
      }
    }
  }

  // A partition whose table entry reaches beyond the end of the disk is read only up to that
  // end; and as its claimed size is then known to be wrong, not into the next partition a
  // table lists either (else its sweeps would take that partition's records for its own). An
  // entry inside the disk is left as the table gives it. So is one whose volume reaches as far
  // by its own boot sector: the entry is right and the disk or image is cut short, so what is
  // missing is unreadable (and counted so), not outside the partition.
  void ClampToDisk() {
    if (diskSectors_ == 0) return;
    for (PartitionEntry& p : record_.partitions) {
      if (p.endSector <= diskSectors_) continue;
      p.tableEndSector = p.endSector;
      const std::string claim = "the partition table says it ends at sector " +
                                std::to_string(p.tableEndSector) + ", beyond the end of the disk (" +
                                std::to_string(diskSectors_) + " sectors)";
      if (p.startSector >= diskSectors_) {
        p.endSector = p.startSector;
        p.note = "the partition table puts it at sector " + std::to_string(p.startSector) +
                 ", beyond the end of the disk (" + std::to_string(diskSectors_) +
                 " sectors): nothing of it can be read";
        continue;
      }
      Sector boot;
      BootSectorFacts facts;
      if (disk::ReadSector(device_, p.startSector, boot) &&
          DescribeBootSector(boot.data(), facts) &&
          facts.volumeSectors > diskSectors_ - p.startSector) {
        p.note = claim + ", and so does its volume: the disk or image ends early, and what "
                         "lies beyond its end reads as unreadable sectors";
        continue;
      }
      std::uint64_t end = diskSectors_;
      for (std::uint64_t s : starts_)
        if (s > p.startSector && s < end) end = s;
      p.endSector = end;
      p.note = claim + "; it is read up to sector " + std::to_string(end) +
               (end < diskSectors_ ? ", where the next partition starts" : "");
    }
  }

  void File(std::string_view fs, std::uint64_t start, std::uint64_t end, std::string problem = {}) {
    const int k = record_.partitionCount + 1;
    std::u16string label =
        u"Partition - " + ToText(static_cast<std::uint64_t>(k)) + u" ( " + Widen(fs) + u" )\\";
    ui::TreeItem* item = ui::InsertTreePath(tree_, diskPath_ + label);
    record_.fsName.emplace_back(fs);
    PartitionEntry entry{item, start, end, false, std::move(problem)};
    record_.partitions.push_back(std::move(entry));
    record_.partitionCount = k;
  }

  ui::ResultTree& tree_;
  const std::u16string& diskPath_;
  const std::string& device_;
  DriveRecord& record_;
  std::uint64_t diskSectors_ = 0;    // 512-byte units; 0 when unknown
  std::uint32_t sectorBytes_ = 512;  // the disk's logical sector size
  std::uint64_t unit_ = 1;           // 512-byte units per disk sector
  std::vector<std::uint64_t> starts_;  // where every table entry and record begins, 512-byte units
};

}  // namespace

void WalkPartitionTable(RecoverySession& session, ui::ResultTree& tree, int d,
                        const std::u16string& diskPath) {
  if (d < 0) return;
  session.EnsureDisk(static_cast<std::size_t>(d));
  std::u16string path = diskPath;
  if (!path.empty() && path.back() != u'\\') path += u'\\';
  Walk(session, tree, d, path).Run();
}

}  // namespace brevant
