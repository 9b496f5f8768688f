// Copies the unnamed data stream of one MFT record out of the raw sectors.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/read_sectors.h"
#include "ntfs/extents.h"
#include "ntfs/lznt1.h"
#include "ntfs/ntfs_engine.h"
#include "ntfs/record_info.h"

namespace brevant {
namespace {

using ntfs::DataRun;
using ntfs::DataStream;
using ntfs::Volume;

constexpr std::uint64_t kBatchBytes = 4u << 20;

class Copier {
 public:
  Copier(const Volume& volume, ByteSink& sink, ExtractResult& result, std::uint64_t size,
         std::uint64_t validBytes)
      : volume_(volume), sink_(sink), result_(result), size_(size), validBytes_(validBytes) {}

  bool Fail(std::string error) {
    result_.ok = false;
    result_.error = std::move(error);
    return false;
  }

  // Writes `bytes` as the file's next bytes, zeroing what lies past the initialized data.
  bool Emit(std::uint8_t* bytes, std::uint64_t length) {
    length = std::min(length, size_ - result_.bytesWritten);
    if (result_.bytesWritten + length > validBytes_) {
      const std::uint64_t from =
          validBytes_ > result_.bytesWritten ? validBytes_ - result_.bytesWritten : 0;
      std::memset(bytes + from, 0, length - from);
    }
    if (!sink_.Write(bytes, length)) return Fail("the output cannot be written");
    result_.bytesWritten += length;
    return true;
  }

  bool EmitZeros(std::uint64_t length) {
    length = std::min(length, size_ - result_.bytesWritten);
    std::vector<std::uint8_t> zeros(std::min<std::uint64_t>(length, kBatchBytes), 0);
    while (length > 0) {
      const std::uint64_t piece = std::min<std::uint64_t>(length, zeros.size());
      if (!sink_.Write(zeros.data(), piece)) return Fail("the output cannot be written");
      result_.bytesWritten += piece;
      length -= piece;
    }
    return true;
  }

  // Reads `clusters` clusters at `lcn` into `out` (resized), checking the partition's bounds.
  bool ReadClusters(std::uint64_t lcn, std::uint64_t clusters, std::vector<std::uint8_t>& out) {
    auto sector = volume_.ClusterSector(lcn, clusters);
    if (!sector)
      return Fail("a data run (cluster " + std::to_string(lcn) + ", " + std::to_string(clusters) +
                  " clusters) lies outside the partition");
    const std::uint64_t sectors = clusters * volume_.sectorsPerCluster;
    out.assign(sectors * ntfs::kSectorBytes, 0);
    if (!ReadSectors(volume_.device, out.data(), *sector, static_cast<std::uint32_t>(sectors)))
      return Fail("sectors " + std::to_string(*sector) + " to " +
                  std::to_string(*sector + sectors - 1) + " cannot be read");
    return true;
  }

  bool Done() const { return result_.bytesWritten >= size_; }
  std::uint64_t Written() const { return result_.bytesWritten; }

 private:
  const Volume& volume_;
  ByteSink& sink_;
  ExtractResult& result_;
  std::uint64_t size_;
  std::uint64_t validBytes_;
};

bool CopyRuns(const Volume& volume, const std::vector<DataRun>& runs, Copier& copier) {
  const std::uint64_t clusterBytes = volume.sectorsPerCluster * ntfs::kSectorBytes;
  const std::uint64_t batchClusters = std::max<std::uint64_t>(kBatchBytes / clusterBytes, 1);
  std::vector<std::uint8_t> buffer;
  for (const DataRun& run : runs) {
    if (copier.Done()) break;
    if (static_cast<unsigned __int128>(run.vcn) * clusterBytes != copier.Written())
      return copier.Fail("its run list has a gap");
    if (run.sparse) {
      if (!copier.EmitZeros(static_cast<std::uint64_t>(std::min<unsigned __int128>(
              static_cast<unsigned __int128>(run.length) * clusterBytes, UINT64_MAX))))
        return false;
      continue;
    }
    // The whole run must lie inside the partition, even the part past the file's end.
    if (!volume.ClusterSector(run.lcn, run.length))
      return copier.Fail("a data run (cluster " + std::to_string(run.lcn) + ", " +
                         std::to_string(run.length) + " clusters) lies outside the partition");
    for (std::uint64_t done = 0; done < run.length && !copier.Done();) {
      const std::uint64_t clusters = std::min(batchClusters, run.length - done);
      if (!copier.ReadClusters(run.lcn + done, clusters, buffer)) return false;
      if (!copier.Emit(buffer.data(), clusters * clusterBytes)) return false;
      done += clusters;
    }
  }
  return true;
}

// Compressed data: each compression unit is either all sparse (zeros), fully allocated
// (stored as is) or a few clusters of LZNT1 followed by sparse ones.
bool CopyCompressed(const Volume& volume, const DataStream& stream, Copier& copier) {
  const std::uint64_t clusterBytes = volume.sectorsPerCluster * ntfs::kSectorBytes;
  if (stream.compressionUnit == 0 || stream.compressionUnit > 16)
    return copier.Fail("its compression unit size is invalid");
  const std::uint64_t unitClusters = 1ULL << stream.compressionUnit;
  const std::uint64_t unitBytes = unitClusters * clusterBytes;
  if (unitBytes > (64u << 20)) return copier.Fail("its compression unit size is invalid");
  std::vector<std::uint8_t> compressed, unit(unitBytes), clusters;
  std::size_t r = 0;
  for (std::uint64_t vcn = 0; !copier.Done(); vcn += unitClusters) {
    // Collect the unit's clusters from the runs, in order.
    compressed.clear();
    std::uint64_t allocated = 0, covered = 0;
    while (r < stream.runs.size() && stream.runs[r].vcn + stream.runs[r].length <= vcn) ++r;
    for (std::size_t k = r; k < stream.runs.size() && stream.runs[k].vcn < vcn + unitClusters;
         ++k) {
      const DataRun& run = stream.runs[k];
      const std::uint64_t from = std::max(run.vcn, vcn);
      const std::uint64_t to = std::min(run.vcn + run.length, vcn + unitClusters);
      if (from != vcn + covered) return copier.Fail("its run list has a gap");
      covered += to - from;
      if (run.sparse) continue;
      if (!copier.ReadClusters(run.lcn + (from - run.vcn), to - from, clusters)) return false;
      compressed.insert(compressed.end(), clusters.begin(), clusters.end());
      allocated += to - from;
    }
    if (covered == 0) return copier.Fail("its data runs end before the file does");
    std::fill(unit.begin(), unit.end(), 0);
    if (allocated == unitClusters) {
      std::memcpy(unit.data(), compressed.data(), unitBytes);
    } else if (allocated > 0 && !ntfs::Lznt1Decompress(compressed, unit)) {
      return copier.Fail("its compressed data is damaged (compression unit at cluster " +
                         std::to_string(vcn) + ")");
    }
    if (!copier.Emit(unit.data(), unitBytes)) return false;
    if (covered < unitClusters && !copier.Done())
      return copier.Fail("its data runs end before the file does");
  }
  return true;
}

}  // namespace

ExtractResult ExtractNtfsFileTo(RecoverySession& session, ByteSink& sink, std::uint64_t size,
                                std::uint64_t recordSector) {
  ExtractResult result;
  auto fail = [&result](std::string error) {
    result.ok = false;
    result.error = std::move(error);
    return result;
  };
  const Volume volume = ntfs::VolumeOf(session);
  if (volume.sectorsPerCluster == 0) return fail("the partition's NTFS parameters are unknown");
  // Extension records are found through the MFT's extents; a lone extraction maps them itself.
  MftExtentTable ownTable;
  const MftExtentTable* table = &session.mftExtents;
  if (table->mftRunCount == 0) {
    ownTable =
        ntfs::LocateMft(volume, session.scanParams.mftStart, session.scanParams.mftMirrStart);
    table = &ownTable;
  }

  std::vector<std::uint8_t> record;
  if (!ntfs::ReadRecordAtSector(volume, *table, recordSector, record))
    return fail("the MFT record at sector " + std::to_string(recordSector) + " cannot be read");
  auto header = ntfs::FileRecordHeader::Parse(record);
  if (!header) return fail("sector " + std::to_string(recordSector) + " holds no MFT record");
  if (header->IsExtension())
    return fail("sector " + std::to_string(recordSector) +
                " holds an extension record, not a file");

  ntfs::ExtensionSource source{
      &volume, table, ntfs::RecordNumberAtSector(*table, recordSector, volume.recordBytes)};
  ntfs::RecordInfo info;
  ntfs::DescribeRecord(record, *header, source, info);
  if (info.hasStandardInformation)
    result.modifiedTime = FileTimeToUnix(info.standardInformation.modificationTime);
  else if (info.hasName)
    result.modifiedTime = FileTimeToUnix(info.Name().creationTime);

  std::string why;
  auto stream = ntfs::GatherDataStream(record, *header, source, &why);
  if (!stream) {
    if (size == 0 && !header->IsDirectory()) {
      result.ok = true;  // nothing to copy
      return result;
    }
    return fail("not recoverable: " + why);
  }
  if (stream->flags & ntfs::kAttrFlagEncrypted)
    return fail("not recoverable: its data is encrypted (EFS)");
  if (stream->resident) {
    if (size > stream->residentValue.size())
      return fail("not recoverable: its MFT record holds " +
                  std::to_string(stream->residentValue.size()) + " bytes, not " +
                  std::to_string(size));
    if (size > 0 && !sink.Write(stream->residentValue.data(), size))
      return fail("the output cannot be written");
    result.bytesWritten = size;
    result.ok = true;
    return result;
  }
  const std::uint16_t compression = stream->flags & 0x00FF;
  if (compression > 1) return fail("not recoverable: its data uses an unknown compression");

  // Past the initialized length the data reads as zeros, whatever the clusters hold.
  Copier copier(volume, sink, result, size, std::min(stream->initializedSize, stream->realSize));
  result.ok = true;
  const bool copied = compression == 1 ? CopyCompressed(volume, *stream, copier)
                                       : CopyRuns(volume, stream->runs, copier);
  if (!copied) return result;
  if (result.bytesWritten < size)
    return fail("its data runs end after " + std::to_string(result.bytesWritten) + " of " +
                std::to_string(size) + " bytes");
  return result;
}

ExtractResult ExtractNtfsFile(RecoverySession& session, const std::filesystem::path& folder,
                              std::u16string_view name, std::uint64_t size,
                              std::uint64_t recordSector) {
  ExtractResult result;
  const std::filesystem::path path = UniqueOutputPath(folder, name);
  std::string error;
  std::FILE* file = CreateOutputFile(path, &error);
  if (!file) {
    result.error = error;
    return result;
  }
  FileSink sink(file);
  result = ExtractNtfsFileTo(session, sink, size, recordSector);
  if (std::fclose(file) != 0 && result.ok) {
    result.ok = false;
    result.error = path.string() + ": the output cannot be written";
  }
  if (!result.ok && result.bytesWritten == 0 && size > 0) {
    // Nothing of the file could be copied: an empty file would only pass for it.
    std::error_code ec;
    std::filesystem::remove(path, ec);
    return result;
  }
  // A partial copy is kept, as the FAT engine keeps one: what could be read is the user's data,
  // and the failure is reported with it.
  result.path = path;
  if (result.modifiedTime) SetModifiedTime(path, *result.modifiedTime);
  return result;
}

}  // namespace brevant
