// Reading an assembled RAID 0 and RAID 5 (md reference sets) healthy, and
// the RAID 5 with one member missing, against reading the member images raw. Each
// iteration reads the whole array (or every member) in 1 MiB requests;
// compare the bytes_per_second counters.
#include <benchmark/benchmark.h>

#include <filesystem>

#include "common/log.h"
#include "devices/device_manager.h"
#include "volumes/raid/raid_manager.h"
#include "support/fixtures.h"

namespace vandrel {
namespace {

constexpr std::int32_t kRequestSectors = 2048;

std::vector<std::string> Members(const std::string& set, std::string& why) {
  const std::string folder = test::SharedFixtureDir("raid/" + set + ".tar.zst", why);
  std::vector<std::string> images;
  if (folder.empty()) return images;
  for (int i = 0; i < 3; ++i) images.push_back((std::filesystem::path(folder) / set / ("m" + std::to_string(i) + ".img")).string());
  return images;
}

// The member images of a set; skips the benchmark when they are missing.
std::vector<std::string> MembersOrSkip(benchmark::State& state, const std::string& set) {
  std::string why;
  std::vector<std::string> images = Members(set, why);
  if (images.empty()) state.SkipWithError(why.c_str());
  return images;
}

std::int64_t ReadAll(TStorage& storage) {
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(kRequestSectors) * 512);
  std::int64_t bytes = 0;
  for (std::int64_t at = 0; at < storage.SectorCount; at += kRequestSectors) {
    const auto count = static_cast<std::int32_t>(std::min<std::int64_t>(kRequestSectors, storage.SectorCount - at));
    if (!storage.ReadSectors(buffer.data(), count, at)) return -1;
    bytes += std::int64_t{count} * 512;
  }
  return bytes;
}

void ArrayRead(benchmark::State& state, const std::string& set, bool oneMissing) {
  ScopedLogSink quiet([](const std::string&, int) {});
  const std::vector<std::string> images = MembersOrSkip(state, set);
  if (images.empty()) return;
  TDeviceManager manager(nullptr, nullptr, DeviceManagerOptions{false});
  for (std::size_t i = oneMissing ? 1 : 0; i < images.size(); ++i) manager.AddByPath(images[i]);
  TBusManager* raid = manager.Manager(kSlotRaid);
  manager.RefreshManager(raid);
  TDevice* array = raid->DeviceCount() == 1 ? raid->GetDevice(0) : nullptr;
  if (array == nullptr || !array->Open(true, false, false)) {
    state.SkipWithError("array did not assemble");
    return;
  }
  std::int64_t total = 0;
  for (auto _ : state) {
    const std::int64_t bytes = ReadAll(*array);
    if (bytes < 0) {
      state.SkipWithError("read failed");
      break;
    }
    total += bytes;
  }
  array->Close(false);
  state.SetBytesProcessed(total);
}

void RawMembers(benchmark::State& state, const std::string& set) {
  ScopedLogSink quiet([](const std::string&, int) {});
  const std::vector<std::string> images = MembersOrSkip(state, set);
  if (images.empty()) return;
  TDeviceManager manager(nullptr, nullptr, DeviceManagerOptions{false});
  std::vector<TStorage*> disks;
  for (const std::string& image : images) disks.push_back(manager.AddByPath(image));
  std::int64_t total = 0;
  for (auto _ : state) {
    for (TStorage* disk : disks) {
      disk->Open(true, false, false);
      total += ReadAll(*disk);
      disk->Close(false);
    }
  }
  state.SetBytesProcessed(total);
}

BENCHMARK_CAPTURE(RawMembers, raid0_members, std::string("md090-raid0"));
BENCHMARK_CAPTURE(ArrayRead, raid0_healthy, std::string("md090-raid0"), false);
BENCHMARK_CAPTURE(RawMembers, raid5_members, std::string("md090-raid5-ls3"));
BENCHMARK_CAPTURE(ArrayRead, raid5_healthy, std::string("md090-raid5-ls3"), false);
BENCHMARK_CAPTURE(ArrayRead, raid5_one_missing, std::string("md090-raid5-ls3"), true);

}  // namespace
}  // namespace vandrel

BENCHMARK_MAIN();
