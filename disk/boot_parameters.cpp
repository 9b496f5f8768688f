// The parameter reader: the selected partition's boot sector into partParams.
#include <algorithm>
#include <atomic>
#include <mutex>

#include "disk/disks.h"
#include "disk/exfat_boot.h"
#include "disk/on_disk.h"
#include "disk/sector_size.h"

namespace brevant {
namespace {

using disk::Sector;

// What a parameter read works on, taken from the selection at one moment.
// Sector numbers count 512-byte units; a boot sector's own counts are converted by the bytes
// per sector it states.
struct Target {
  std::string device;
  std::uint64_t start = 0;
  std::uint64_t end = 0;  // one past the last sector
  std::string fsName;
  std::uint32_t sectorBytes = 512;  // the disk's logical sector size
};

Target TargetOf(const RecoverySession& session) {
  return {session.SelectedDevice(), session.selectedPartitionStart, session.selectedPartitionEnd,
          session.selectedFsName, session.selectedSectorSize};
}

// 512-byte units per sector of the volume whose boot sector is `boot`; 0 when it states no
// sector size a volume can have.
std::uint64_t UnitOf(const Sector& boot) {
  const std::uint64_t bytes = disk::Le16(boot, 11);
  return disk::IsSectorSize(bytes) ? bytes / disk::kSectorBytes : 0;
}

bool Inside(const Target& t, std::uint64_t sector) { return sector >= t.start && sector < t.end; }

// First byte of the sector, or -1 when the sector lies outside the partition.
int FirstByte(const Target& t, std::uint64_t sector) {
  if (!Inside(t, sector)) return -1;
  Sector s;
  disk::ReadSector(t.device, sector, s);
  return s[0];
}

constexpr std::uint8_t kFixedDiskMedia = 0xF8;

// FAT12 and FAT16 share the layout: a fixed root directory after the FATs. A fixed disk's FAT
// starts with 0xF8; a floppy's (FAT12) with its own media byte (0xF0, 0xF9, ...), which the
// boot sector repeats.
int ReadFat16(const Target& t, PartitionParameters& p, bool fat12 = false) {
  Sector boot;
  disk::ReadSector(t.device, t.start, boot);
  if (!disk::HasBootSignature(boot)) return 0;
  const std::uint64_t unit = UnitOf(boot);
  const std::uint64_t spcField = disk::Le8(boot, 13);
  // A cluster size the FAT engine cannot step by is no parameter set at all.
  if (unit == 0 || !disk::IsClusterSize(spcField)) return 0;
  const std::uint64_t spc = spcField * unit;
  const std::uint64_t reserved = disk::Le16(boot, 14) * unit;
  const std::uint64_t rootEntries = disk::Le16(boot, 17);
  const std::uint64_t fatSize = disk::Le16(boot, 22) * unit;
  const int media = FirstByte(t, t.start + reserved);
  const bool mediaOk = fat12 ? media == disk::Le8(boot, 21) && (media == 0xF0 || media >= 0xF8)
                             : media == kFixedDiskMedia;
  if (!mediaOk) return 0;
  // The root directory fills whole sectors of the volume.
  const std::uint64_t volumeSectorBytes = unit * disk::kSectorBytes;
  const std::uint64_t rootDirSectors =
      (rootEntries * 32 + volumeSectorBytes - 1) / volumeSectorBytes * unit;
  const std::uint64_t dataStart = t.start + reserved + 2 * fatSize + rootDirSectors;
  if (dataStart < 2 * spc) return 0;
  p.rootDirSectors = rootDirSectors;
  p.clusterBase = dataStart - 2 * spc;
  p.fat1Start = t.start + reserved;
  p.fat2Start = t.start + reserved + fatSize;
  p.sectorsPerCluster = spc;
  p.rootDirStart = t.start + reserved + 2 * fatSize;
  p.fatSizeSectors = fatSize;
  p.reservedSectors = reserved;
  return 1;
}

int ReadFat32(const Target& t, PartitionParameters& p) {
  // The backup lies 6 of the volume's sectors in; before the primary is read, the disk's
  // sector size is the best guess of how large those are.
  const std::uint64_t diskUnit = std::max<std::uint64_t>(t.sectorBytes / disk::kSectorBytes, 1);
  auto usable = [](const Sector& s) {
    return disk::HasBootSignature(s) && disk::IsClusterSize(disk::Le8(s, 13)) && UnitOf(s) != 0;
  };
  Sector boot;
  disk::ReadSector(t.device, t.start, boot);
  std::uint64_t backupAt = t.start + 6 * (UnitOf(boot) != 0 ? UnitOf(boot) : diskUnit);
  if (!usable(boot)) {
    disk::ReadSector(t.device, backupAt, boot);
    if (!usable(boot)) return 0;
  }
  std::uint64_t unit = UnitOf(boot);
  std::uint64_t spc = disk::Le8(boot, 13) * unit;
  std::uint64_t reserved = disk::Le16(boot, 14) * unit;
  std::uint64_t fatSize = std::uint64_t{disk::Le32(boot, 36)} * unit;
  std::uint64_t rootCluster = disk::Le32(boot, 44);
  if (FirstByte(t, t.start + reserved) != kFixedDiskMedia) {
    // FAT #1 is not where this boot sector says: trust the backup and its FAT #2.
    disk::ReadSector(t.device, backupAt, boot);
    unit = UnitOf(boot);
    if (unit == 0 || !disk::IsClusterSize(disk::Le8(boot, 13))) return 0;
    spc = disk::Le8(boot, 13) * unit;
    reserved = disk::Le16(boot, 14) * unit;
    fatSize = std::uint64_t{disk::Le32(boot, 36)} * unit;
    rootCluster = disk::Le32(boot, 44);
    if (FirstByte(t, t.start + reserved + fatSize) != kFixedDiskMedia) return 0;
  }
  const std::uint64_t dataStart = t.start + reserved + 2 * fatSize;
  if (dataStart < 2 * spc) return 0;
  p.rootDirStart = rootCluster;
  p.clusterBase = dataStart - 2 * spc;
  p.fat1Start = t.start + reserved;
  p.fat2Start = t.start + reserved + fatSize;
  p.sectorsPerCluster = spc;
  p.fatSizeSectors = fatSize;
  p.rootDirSectors = 0;
  p.reservedSectors = reserved;
  return 1;
}

// NTFS record sizes: a signed byte (the three after it are unused); 0x80 or more is a negative
// power of two in bytes (0xF6 is 1024 bytes), anything else a count of clusters. In sectors; 0
// when not a whole sector count.
std::uint64_t RecordSectors(std::uint8_t value, std::uint64_t spc) {
  if (value >= 0x80) {
    const unsigned shift = 256 - value;
    if (shift < 9 || shift > 31) return 0;
    return (std::uint64_t{1} << shift) / disk::kSectorBytes;
  }
  return std::uint64_t{value} * spc;
}

bool IsFileRecordSize(std::uint64_t sectors) {
  return sectors == 2 || sectors == 4 || sectors == 6 || sectors == 8;
}

// 512-byte units per cluster of the NTFS volume whose boot sector is `boot`; 0 when its sector
// or cluster size is no valid one.
std::uint64_t ClusterSectors(const Sector& boot) {
  return disk::NtfsSectorsPerCluster(boot) * UnitOf(boot);
}

// The two copies of an NTFS boot sector: the primary at the start, the backup in the last sector
// of the volume (the last of the primary's sectors, or of the disk's when the primary states
// no size).
class NtfsBootCopies {
 public:
  explicit NtfsBootCopies(const Target& t) : t_(t) {}
  // Reads the primary, or the backup when the primary lacks its signature.
  bool Open() {
    Read(false);
    const std::uint64_t diskUnit = std::max<std::uint64_t>(t_.sectorBytes / disk::kSectorBytes, 1);
    backupUnit_ = UnitOf(current_);
    if (disk::HasBootSignature(current_)) {
      if (backupUnit_ == 0) backupUnit_ = diskUnit;
      return true;
    }
    // With the primary gone, so is the size of the volume's sectors: the backup is looked for in
    // the last sector of the disk's size, then of 4096 and 512 bytes.
    for (std::uint64_t unit : {diskUnit, std::uint64_t{8}, std::uint64_t{1}}) {
      backupUnit_ = unit;
      Read(true);
      if (disk::HasBootSignature(current_)) return true;
    }
    return false;
  }
  // Switches to the other copy (no signature test).
  void SwitchCopy() { Read(!onBackup_); }
  const Sector& Current() const { return current_; }
  // The copy last read, or the last one read with a signature if that one has none.
  const Sector& LastGood() const {
    return disk::HasBootSignature(current_) || !haveGood_ ? current_ : good_;
  }

 private:
  void Read(bool backup) {
    onBackup_ = backup;
    const std::uint64_t backupAt = t_.end - std::min(backupUnit_, t_.end - t_.start);
    disk::ReadSector(t_.device, backup ? backupAt : t_.start, current_);
    if (disk::HasBootSignature(current_)) {
      good_ = current_;
      haveGood_ = true;
    }
  }
  const Target& t_;
  Sector current_{};
  Sector good_{};
  bool haveGood_ = false;
  bool onBackup_ = false;
  std::uint64_t backupUnit_ = 1;
};

// The first sector of the record that a cluster number at `offset` of `boot` names, when it
// lies in the partition and begins with "FILE"; 0 otherwise.
std::uint64_t FileRecordAt(const Target& t, const Sector& boot, std::size_t offset,
                           std::uint64_t spc) {
  const std::uint64_t lcn = disk::Le64(boot, offset);
  if (spc == 0 || lcn > (UINT64_MAX - t.start) / spc) return 0;
  const std::uint64_t sector = t.start + lcn * spc;
  if (sector == 0 || !Inside(t, sector) || !Inside(t, sector + 1)) return 0;
  Sector record;
  disk::ReadSector(t.device, sector, record);
  return disk::HasText(record, 0, "FILE") ? sector : 0;
}

int ReadNtfs(const Target& t, PartitionParameters& p) {
  NtfsBootCopies copies(t);
  if (!copies.Open()) return 0;

  std::uint64_t spc = ClusterSectors(copies.Current());
  if (spc == 0) {
    copies.SwitchCopy();
    spc = ClusterSectors(copies.Current());
    if (spc == 0) return 0;
  }
  std::uint64_t fileRecord = RecordSectors(disk::Le8(copies.Current(), 64), spc);
  if (!IsFileRecordSize(fileRecord)) {
    copies.SwitchCopy();
    spc = ClusterSectors(copies.Current());
    if (spc == 0) return 0;
    fileRecord = RecordSectors(disk::Le8(copies.Current(), 64), spc);
    if (!IsFileRecordSize(fileRecord)) return 0;
  }

  auto locate = [&](std::size_t offset) {
    std::uint64_t sector = FileRecordAt(t, copies.Current(), offset, spc);
    if (sector == 0) {
      copies.SwitchCopy();
      sector = FileRecordAt(t, copies.Current(), offset, spc);
    }
    return sector;
  };
  const std::uint64_t mftStart = locate(48);
  const std::uint64_t mftMirrStart = locate(56);
  if (mftStart == 0 && mftMirrStart == 0) return 0;

  const std::uint64_t indexRecord = RecordSectors(disk::Le8(copies.LastGood(), 68), spc);

  p.mftMirrStart = mftMirrStart;
  p.sectorsPerCluster = spc;
  p.clusterBase = t.start;
  p.mftStart = mftStart;
  p.sectorsPerFileRecord = fileRecord;
  p.sectorsPerIndexRecord = indexRecord;
  return 1;
}

int ReadInto(const Target& t, PartitionParameters& p) {
  if (t.end <= t.start) return 0;
  if (t.fsName == "FAT12") return ReadFat16(t, p, true);
  if (t.fsName == "FAT16") return ReadFat16(t, p);
  if (t.fsName == "FAT32") return ReadFat32(t, p);
  if (t.fsName == "NTFS") return ReadNtfs(t, p);
  if (t.fsName == "exFAT") {
    // The main boot region, or its backup when the main one fails its checksum.
    auto boot = disk::ReadExfatBoot(t.device, t.start, t.end);
    if (!boot) return 0;
    p = disk::ExfatParameters(*boot, t.start);
    return 1;
  }
  return 0;
}

// Parameter workers of every session store one at a time.
std::mutex gStoreMutex;
std::atomic<std::uint64_t> gNextParamWorker{1};

PartitionFigures FiguresOf(const Target& t) {
  return ReadPartitionFigures(t.device, t.start, t.end, t.fsName);
}

}  // namespace

int ReadBootSectorParameters(RecoverySession& session) {
  const Target target = TargetOf(session);
  session.SetSelectedFigures(FiguresOf(target));
  PartitionParameters p = session.partParams;
  if (ReadInto(target, p) == 0) return 0;
  std::lock_guard lock(gStoreMutex);
  session.partParams = p;
  return 1;
}

std::thread StartParamWorker(RecoverySession& session,
                             std::function<void(const PartitionFigures&)> onFigures) {
  const std::uint64_t id = gNextParamWorker.fetch_add(1);
  session.paramThread.store(id);
  Target target = TargetOf(session);
  PartitionParameters start = session.partParams;
  return std::thread([&session, target = std::move(target), start, id,
                      onFigures = std::move(onFigures)] {
    PartitionParameters p = start;
    const bool stored = ReadInto(target, p) != 0;
    const PartitionFigures figures = FiguresOf(target);
    {
      std::lock_guard lock(gStoreMutex);
      // A worker for an earlier selection must not overwrite the current one's values.
      if (session.paramThread.load() != id) return;
      if (stored) session.partParams = p;
      session.SetSelectedFigures(figures);
    }
    if (onFigures) onFigures(figures);
  });
}

}  // namespace brevant
