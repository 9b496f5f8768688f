#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace brevant {

// Copies `count` 512-byte sectors starting at `startSector` into `buffer`. The whole run is
// asked for in one request; when that fails, every sector is read on its own and the readable
// ones are filled in at their place (unreadable ones are left untouched). Returns 1 for a
// complete read, 0 otherwise; a count of 0 returns 1.
int ReadSectors(const std::string& devicePath, void* buffer, std::uint64_t startSector,
                std::uint32_t count);

// The same read for data that must be copied whole: sectors that cannot be read are set to
// zeros. Returns how many sectors could not be read (0 for a complete read).
std::uint32_t ReadSectorsZeroFilling(const std::string& devicePath, void* buffer,
                                     std::uint64_t startSector, std::uint32_t count);

// The zero-filling read that also names the sectors it could not read: their offsets from
// `startSector`, in order, appended to `unreadable`. Returns how many there were.
std::uint32_t ReadSectorsListingUnreadable(const std::string& devicePath, void* buffer,
                                           std::uint64_t startSector, std::uint32_t count,
                                           std::vector<std::uint32_t>& unreadable);

// The number of sectors a device or image holds (a last partial sector included); 0 when
// unknown or it cannot be opened.
std::uint64_t DeviceSectorCount(const std::string& devicePath);

// The logical sector size the system reports for the device (a block device's own query); 0
// for an image file or a device that cannot be opened.
std::uint32_t DeviceLogicalSectorSize(const std::string& devicePath);

// Tests only: `observer` is told of every read of the program (its device, first sector and
// count) before it is made, on the thread that makes it; null stops it. Set it only while no
// read is under way.
using ReadObserver = void (*)(void* context, const std::string& devicePath,
                              std::uint64_t startSector, std::uint32_t count);
void SetReadObserverForTesting(ReadObserver observer, void* context);

// The backend marker of the last device read ('P' POSIX, 'T' test devices), 0 before any read.
char LastReadMethod();

}  // namespace brevant
