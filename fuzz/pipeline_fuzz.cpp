// libFuzzer target: the fuzz input is a whole disk, run through every engine.
#include <cstdio>
#include <cstdlib>

#include "pipeline.h"
#include "platform/sector_device.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace brevant;
  static const std::string path = "mem://fuzz";
  platform::DeviceTable::Instance().Install(
      path, std::make_shared<platform::MemoryDevice>(std::string(reinterpret_cast<const char*>(data), size)));
  platform::DiskFacts facts;
  facts.deviceName = path;
  facts.label = "fuzz";
  facts.capacityBytes = size;
  facts.heads = 255;
  facts.sectorsPerTrack = 63;
  PipelineResult r = RunWholePipeline(facts, 1 << 16);
  if (r.violations) {
    std::fprintf(stderr, "broken promise: %s\n", r.firstViolation.c_str());
    std::abort();
  }
  return 0;
}
