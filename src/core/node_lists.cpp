#include "core/node_lists.hpp"

#include "core/scratch_region.hpp"

namespace kestrune::core {

void* take_list_memory(std::size_t bytes) {
  if (kNodeListsInRegion && bytes >= kRegionListBytes) {
    if (void* carved = take_region_bytes(bytes)) return carved;
  }
  return ::operator new(bytes);
}

void give_list_memory(void* data, std::size_t bytes) noexcept {
  if (data == nullptr) return;
  if (kNodeListsInRegion && bytes >= kRegionListBytes && in_scratch_region(data)) {
    give_region_bytes(data, bytes);
    return;
  }
  ::operator delete(data);
}

}  // namespace kestrune::core
