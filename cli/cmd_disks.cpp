#include "cli/cmd_disks.h"

#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "core/file_systems.h"
#include "core/recovery_session.h"
#include "core/text.h"
#include "disk/disks.h"
#include "disk/volume_search.h"
#include "cli/cli_view.h"
#include "cli/output.h"
#include "platform/disk_source.h"
#include "model/display_format.h"
#include "model/result_tree.h"

namespace brevant::cli {
namespace {

std::uint64_t Number(const std::u16string& text) {
  std::int64_t v = TextToInt(text);
  return v < 0 ? 0 : static_cast<std::uint64_t>(v);
}

const DriveRecord* RecordOf(const RecoverySession& s, const DiskInfoNode& disk) {
  if (disk.diskIndex < 0 || static_cast<std::size_t>(disk.diskIndex) >= s.driveRecords.size())
    return nullptr;
  return &s.driveRecords[static_cast<std::size_t>(disk.diskIndex)];
}

PartitionFigures FiguresOf(const RecoverySession& s, const DiskInfoNode& disk, const DriveRecord& r,
                           std::size_t i) {
  return ReadPartitionFigures(s.devicePath[static_cast<std::size_t>(disk.diskIndex)],
                              r.partitions[i].startSector, r.partitions[i].endSector, r.fsName[i]);
}

// A path of the system (or a message naming one) may hold bytes that are not UTF-8: written
// with U+FFFD for them, and its bytes in hex beside it under "<key>Bytes".
void PutSystemText(nlohmann::ordered_json& j, const std::string& key, const std::string& text) {
  j[key] = ValidUtf8(text);
  if (!IsValidUtf8(text)) j[key + "Bytes"] = HexBytes(text);
}

nlohmann::ordered_json DisksJson(const RecoverySession& s) {
  nlohmann::ordered_json disks = nlohmann::ordered_json::array();
  for (const DiskInfoNode& disk : s.diskInfoList) {
    nlohmann::ordered_json partitions = nlohmann::ordered_json::array();
    if (const DriveRecord* r = RecordOf(s, disk)) {
      for (std::size_t i = 0; i < r->partitions.size() && i < r->fsName.size(); ++i) {
        const PartitionFigures f = FiguresOf(s, disk, *r, i);
        nlohmann::ordered_json p = {{"number", i + 1},
                                    {"fs", r->fsName[i]},
                                    {"start", r->partitions[i].startSector},
                                    {"end", r->partitions[i].endSector},
                                    {"size", f.sizeBytes}};
        if (f.freeBytes) p["free"] = *f.freeBytes;  // only where the allocation map was read
        // Only a volume the search found says so; the table's partitions stay as they were.
        if (r->partitions[i].found) p["found"] = true;
        if (!r->partitions[i].problem.empty())
          PutSystemText(p, "problem", r->partitions[i].problem);
        // An entry reaching beyond the disk: listed (and read) up to `end`, with what the
        // table said.
        if (!r->partitions[i].note.empty()) {
          p["tableEnd"] = r->partitions[i].tableEndSector;
          p["note"] = r->partitions[i].note;
        }
        partitions.push_back(std::move(p));
      }
    }
    nlohmann::ordered_json j = {{"index", disk.diskIndex},
                                {"path", nullptr},
                                {"label", ToUtf8(disk.label)},
                                {"model", ToUtf8(disk.model)},
                                {"size", Number(disk.size)},
                                {"cylinders", Number(disk.cylinders)},
                                {"heads", TextToInt(disk.heads)},
                                {"sectorsPerTrack", TextToInt(disk.sectorsPerTrack)},
                                // start and end below count 512-byte units whatever this is
                                {"sectorSize", disk.sectorSize},
                                {"partitions", std::move(partitions)}};
    PutSystemText(j, "path", s.devicePath[static_cast<std::size_t>(disk.diskIndex)]);
    if (!disk.openError.empty()) PutSystemText(j, "error", disk.openError);
    disks.push_back(std::move(j));
  }
  return {{"disks", std::move(disks)}};
}

void PrintTree(std::ostream& out, const RecoverySession& s) {
  if (s.diskInfoList.empty()) {
    out << "No disks found.\n";
    return;
  }
  out << "My Computer\n";
  for (const DiskInfoNode& disk : s.diskInfoList) {
    out << "  " << ToUtf8Line(disk.label) << "  ("
        << s.devicePath[static_cast<std::size_t>(disk.diskIndex)] << ")\n";
    out << "    HDD Model:        " << ToUtf8Line(disk.model) << "\n";
    out << "    Capacity:         " << ToUtf8(disk.size) << " bytes\n";
    out << "    Cylinders:        " << ToUtf8(disk.cylinders) << "\n";
    out << "    Head:             " << ToUtf8(disk.heads) << "\n";
    out << "    Sector Per Track: " << ToUtf8(disk.sectorsPerTrack) << "\n";
    out << "    Sector Size:      " << disk.sectorSize << " bytes\n";
    if (!disk.openError.empty()) {
      out << "    cannot be read: " << disk.openError << "\n";
      continue;
    }
    const DriveRecord* r = RecordOf(s, disk);
    if (!r || r->partitions.empty()) {
      out << "    no " << kFileSystemsOrText << " partition found\n";
      continue;
    }
    for (std::size_t i = 0; i < r->partitions.size() && i < r->fsName.size(); ++i) {
      const PartitionFigures f = FiguresOf(s, disk, *r, i);
      out << "    Partition - " << i + 1 << " ( " << r->fsName[i] << " )   first sector "
          << r->partitions[i].startSector << "   end sector " << r->partitions[i].endSector
          << "   size " << ToUtf8(ui::FormatSize(f.sizeBytes)) << "   free "
          << (f.freeBytes ? ToUtf8(ui::FormatSize(*f.freeBytes)) : std::string("unknown"))
          << (r->partitions[i].found ? "   found by search" : "") << "\n";
      if (!r->partitions[i].problem.empty())
        out << "      cannot be scanned: " << r->partitions[i].problem << "\n";
      if (!r->partitions[i].note.empty()) out << "      note: " << r->partitions[i].note << "\n";
    }
  }
}

}  // namespace

int RunDisks(const std::vector<std::string>& images, bool json, bool includePhysical,
             const DiskSearch& search) {
  namespace fs = std::filesystem;
  for (const std::string& image : images) {
    std::error_code ec;
    if (!fs::exists(image, ec)) {
      std::cerr << "brevant: " << image << ": no such disk image\n";
      return 2;
    }
    if (fs::is_directory(image, ec)) {
      std::cerr << "brevant: " << image << ": is a directory, not a disk image\n";
      return 2;
    }
    // Like a folder, a pipe or a character device is no disk image: refused, never opened.
    const fs::file_type type = fs::status(image, ec).type();
    if (type != fs::file_type::regular && type != fs::file_type::block) {
      std::cerr << "brevant: " << image << ": is neither a disk image file nor a block device\n";
      return 2;
    }
  }
  const bool searching = search.search || search.deep;
  if (!search.devices.empty() && !searching) {
    std::cerr << "brevant: --device names a disk to search: give --search or --deep-search too\n";
    return 2;
  }
  for (const std::string& device : search.devices) {
    std::error_code ec;
    const fs::file_type type = fs::status(device, ec).type();
    if (type == fs::file_type::not_found || type == fs::file_type::none) {
      std::cerr << "brevant: " << device << ": no such device\n";
      return 2;
    }
    if (type != fs::file_type::block) {
      std::cerr << "brevant: " << device
                << ": is not a block device (a disk image is given with --image)\n";
      return 2;
    }
  }
  RecoverySession session;
  ui::ResultTree tree;
  std::unique_ptr<platform::DiskSource> source;
  if (includePhysical) source = platform::MakeSysfsDiskSource();
  EnumerateDisks(session, tree, source.get(), images);
  if (searching) {
    // Which disks to search: the images, and the machine's disks only when named with
    // --device or when no image is given (a search of every disk of the machine can take
    // hours). A named device the machine's list lacks is listed after the images.
    const std::size_t machine = session.diskInfoList.size() - images.size();
    std::vector<bool> chosen(session.diskInfoList.size(), search.devices.empty() && images.empty());
    for (std::size_t d = machine; d < chosen.size(); ++d) chosen[d] = true;
    for (const std::string& device : search.devices) {
      // The same node by its real path (a /dev/disk/by-id link names its disk); compared by
      // path, as the library will not compare device nodes.
      std::error_code ec;
      const fs::path named = fs::canonical(device, ec);
      const std::size_t listed = session.diskInfoList.size();
      std::size_t d = 0;
      for (; d < listed; ++d) {
        std::error_code ec2;
        if (fs::canonical(session.devicePath[d], ec2) == named && !ec && !ec2) break;
      }
      if (d == listed)
        d = static_cast<std::size_t>(AddDisk(
            session, tree,
            platform::ImageDiskFacts(static_cast<int>(session.diskInfoList.size()), device)));
      if (d >= chosen.size()) chosen.resize(d + 1, false);
      chosen[d] = true;
    }
    CliView view;
    VolumeSearchOptions options;
    options.deep = search.deep;
    options.view = &view;
    for (std::size_t d = 0; d < session.diskInfoList.size(); ++d)
      if (chosen[d] && session.diskInfoList[d].openError.empty())
        AddFoundVolumes(session, tree, static_cast<int>(d), options);
    view.Finish();
  }
  StdOut& out = StdOut::Get();
  if (json) {
    out << DisksJson(session).dump(1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  } else {
    std::ostringstream text;
    PrintTree(text, session);
    out << ValidUtf8(text.str());
  }
  if (!out.Flush()) {
    std::cerr << "brevant: standard output: " << out.Error() << " (the output is cut short)\n";
    return 1;
  }
  return 0;
}

}  // namespace brevant::cli
