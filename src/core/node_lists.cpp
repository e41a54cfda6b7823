#include "core/node_lists.hpp"

#include "core/scratch_region.hpp"

namespace kestrune::core {

namespace {

std::size_t region_bytes(std::size_t bytes) {
  return (bytes + kScratchGranule - 1) / kScratchGranule * kScratchGranule;
}

}  // namespace

void* take_list_memory(std::size_t bytes) {
  if (kNodeListsInRegion && bytes >= kRegionListBytes && bytes <= kScratchRegionBytes) {
    if (void* carved = take_region_bytes(region_bytes(bytes))) return carved;
  }
  return ::operator new(bytes);
}

void give_list_memory(void* data, std::size_t bytes) noexcept {
  if (data == nullptr) return;
  if (kNodeListsInRegion && bytes >= kRegionListBytes && in_scratch_region(data)) {
    give_region_bytes(data, region_bytes(bytes));
    return;
  }
  ::operator delete(data);
}

}  // namespace kestrune::core
