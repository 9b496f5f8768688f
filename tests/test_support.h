#pragma once
// Helpers shared by the unit tests: in-memory disks, fixture images.
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/sector_device.h"

namespace brevant::test {

// Installs `bytes` as an in-memory disk and returns the path to read it by.
std::string InstallMemoryDisk(std::string bytes);
// Unpacks tests/fixtures/images/NAME.img.gz once per test process; returns the image path.
// Empty when the fixture is missing.
std::filesystem::path FixtureImage(const std::string& name);
// A private temporary folder, removed at process exit.
std::filesystem::path TempDir();
// The whole content of a file (empty when it cannot be read).
std::string ReadFileBytes(const std::filesystem::path& path);

// Little-endian writers for crafting on-disk structures.
void Put16(std::string& b, std::size_t at, std::uint16_t v);
void Put32(std::string& b, std::size_t at, std::uint32_t v);
void Put64(std::string& b, std::size_t at, std::uint64_t v);

}  // namespace brevant::test
