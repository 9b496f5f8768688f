#pragma once
// What the parser fuzz targets share: the fuzz input as an in-memory disk.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/sector_device.h"

namespace brevant::fuzz {

// Installs `bytes` as the disk at a fixed path and returns that path.
inline const std::string& InstallDisk(const std::uint8_t* data, std::size_t size) {
  static const std::string path = "mem://fuzz";
  platform::DeviceTable::Instance().Install(
      path, std::make_shared<platform::MemoryDevice>(
                std::string(reinterpret_cast<const char*>(data), size)));
  return path;
}

}  // namespace brevant::fuzz
