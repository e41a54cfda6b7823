#include "backend_cpu/partition.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "backend_cpu/row_store.hpp"
#include "core/scratch_region.hpp"
#include "engine/error.hpp"
#include "engine/routing.hpp"
#include "parallel/parallel.hpp"
#include "parallel/per_thread.hpp"
#include "parallel/spin.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::backend_cpu {

namespace {

// Where the split feature's codes are: the code of row r at codes[r * row_step + offset], for
// every row below row_limit.
template <typename Code>
struct FeatureCodes {
  std::span<const Code> codes;
  std::size_t row_step = 0;
  std::size_t offset = 0;
  std::size_t row_limit = 0;
};

template <typename Code>
FeatureCodes<Code> locate_feature_codes(const core::BinnedMatrix& binned, std::span<const Code> codes,
                                        bool column_major, std::size_t feature, std::size_t gradient_count) {
  support::invariant(feature < binned.feature_count, "split feature must lie inside the matrix");
  FeatureCodes<Code> located{codes, 0, 0, std::min(binned.row_count, gradient_count)};
  if (column_major) {
    const auto needed = support::checked_mul(feature + 1, binned.row_count);
    if (!needed || *needed > codes.size()) support::panic("column-major bin codes are shorter than the matrix");
    located.row_step = 1;
    located.offset = feature * binned.row_count;
  } else {
    const std::size_t covered = codes.size() <= feature ? 0 : (codes.size() - feature - 1) / binned.feature_count + 1;
    located.row_limit = std::min(located.row_limit, covered);
    located.row_step = binned.feature_count;
    located.offset = feature;
  }
  return located;
}

// The side of every 8-bit code, decided once per partition by the routing rule.
std::array<bool, 256> routing_table(const engine::SplitCandidate& split, std::uint16_t missing_bin) {
  std::array<bool, 256> goes_left{};
  for (std::size_t code = 0; code < goes_left.size(); ++code) {
    goes_left[code] = engine::routes_left(static_cast<std::uint16_t>(code), missing_bin, split.threshold_bin,
                                          split.default_left, split.is_categorical, split.category_bitset);
  }
  return goes_left;
}

// Rows ahead whose codes and gradient pair are fetched while the current rows are routed: a
// node's rows lie scattered over the matrix, and each one would otherwise wait for its cache misses.
// One group ahead: fetching further ahead gained nothing on one thread and lost 10-20% on eight,
// where the rows' reads share the memory bandwidth.
constexpr std::size_t kPrefetchRows = 32;

// Rows whose sides are all decided before the first of them is stored. Some cores hold every load
// back until the addresses of all older stores are known, and the slot a row is stored at depends
// on the sides of the rows before it: reading a row's index and code after the previous row's
// store would make every row wait for the previous row's code to arrive, a memory round trip per
// row. The group's sides are read first, into one register; its stores then depend on nothing
// still in flight, and the loads wait once per group.
constexpr std::size_t kGroupRows = 32;

[[noreturn]] void row_outside(std::uint32_t row, std::size_t row_limit) {
  support::panic("partition row " + std::to_string(row) + " is outside the " + std::to_string(row_limit) +
                 " rows the gradients and bin codes cover");
}

// Panics on the first of rows[0, count) at or past row_limit.
[[noreturn, gnu::cold, gnu::noinline]] void first_row_outside(const std::uint32_t* rows, std::size_t count,
                                                              std::size_t row_limit) {
  for (std::size_t k = 0; k < count; ++k) {
    if (rows[k] >= row_limit) row_outside(rows[k], row_limit);
  }
  support::panic("a partition group holds no row outside the data");
}

// Fetches the cache line at an address that may lie outside every object: prefetching never faults.
inline void prefetch_address(std::uintptr_t address) { __builtin_prefetch(reinterpret_cast<const void*>(address)); }

// Routes rows[0, n) without a branch on the side: each row is written at the front of `out` when
// it goes left and at the back when it goes right, so the left rows end in order at the front and
// the right rows in reverse order at the back. With kReadPairs, `on_row(left, pair)` sees every
// row's side and gradient pair in order. A row outside the data panics before any row of its
// group is stored. kUnitStep: the codes are column-major (row_step 1). Returns the number of left
// rows.
template <bool kReadPairs, bool kUnitStep, typename Code, typename GoesLeft, typename OnRow>
std::size_t route_block(const FeatureCodes<Code>& located, std::span<const core::GradientPair> gradients,
                        std::span<const std::uint32_t> rows, GoesLeft&& goes_left, std::uint32_t* out,
                        OnRow&& on_row) {
  static_assert(kGroupRows <= 64, "a group's sides fit one 64-bit word");
  const std::size_t n = rows.size();
  const std::uint32_t* const row_data = rows.data();
  const core::GradientPair* const pair_data = gradients.data();
  const std::size_t row_step = kUnitStep ? 1 : located.row_step;
  const std::size_t row_limit = located.row_limit;
  const std::uintptr_t code_base =
      reinterpret_cast<std::uintptr_t>(located.codes.data()) + located.offset * sizeof(Code);
  const std::uintptr_t pair_base = reinterpret_cast<std::uintptr_t>(pair_data);
  std::size_t front = 0;
  const auto route_group = [&](std::size_t first, std::size_t count) {
    if (first + kPrefetchRows + count <= n) {
#pragma GCC unroll 8
      for (std::size_t k = 0; k < count; ++k) {
        const std::size_t ahead = row_data[first + kPrefetchRows + k];
        prefetch_address(code_base + ahead * row_step * sizeof(Code));
        if constexpr (kReadPairs) prefetch_address(pair_base + ahead * sizeof(core::GradientPair));
      }
    }
    std::uint32_t highest = 0;
#pragma GCC unroll 8
    for (std::size_t k = 0; k < count; ++k) highest = std::max(highest, row_data[first + k]);
    if (highest >= row_limit) [[unlikely]] first_row_outside(row_data + first, count, row_limit);
    std::uint64_t sides = 0;  // bit k: row first + k goes left
#pragma GCC unroll 8
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t row = row_data[first + k];
      sides |= std::uint64_t{goes_left(located.codes[row * row_step + located.offset])} << k;
    }
    // The rows' indices (and pairs) are read again here: only the slots depend on the sides.
    // The next right slot is n - 1 - (rows routed right so far) = front + (n - 1 - i) for row i:
    // the slot is chosen by a mask, not by a branch the sides would mispredict.
    std::size_t right_offset = n - 1 - first;
#pragma GCC unroll 4
    for (std::size_t k = 0; k < count; ++k, --right_offset, sides >>= 1) {
      const std::uint32_t row = row_data[first + k];
      const std::size_t left = sides & 1u;
      const std::size_t slot = front + ((left - 1) & right_offset);
      out[slot] = row;
      front += left;
      if constexpr (kReadPairs) on_row(left != 0, pair_data[row]);
    }
  };
  std::size_t first = 0;
  for (; first + kGroupRows <= n; first += kGroupRows) route_group(first, kGroupRows);
  if (first < n) route_group(first, n - first);
  return front;
}

// Calls route_block with the split's routing rule for the storage's code width and layout.
template <bool kReadPairs, typename Code, typename OnRow>
std::size_t route_with_rule(const FeatureCodes<Code>& located, std::span<const core::GradientPair> gradients,
                            std::span<const std::uint32_t> rows, const engine::SplitCandidate& split,
                            std::uint16_t missing_bin, std::uint32_t* out, OnRow&& on_row) {
  const auto route = [&](auto&& goes_left) {
    if (located.row_step == 1) return route_block<kReadPairs, true>(located, gradients, rows, goes_left, out, on_row);
    return route_block<kReadPairs, false>(located, gradients, rows, goes_left, out, on_row);
  };
  if constexpr (sizeof(Code) == 1) {
    const std::array<bool, 256> table = routing_table(split, missing_bin);
    return route([&](Code code) { return table[code]; });
  } else {
    return route([&](Code code) {
      return engine::routes_left(code, missing_bin, split.threshold_bin, split.default_left, split.is_categorical,
                                 split.category_bitset);
    });
  }
}

// A side's three sums are lanes of one vector: lane by lane the additions are the scalar ones.
using Lanes = float __attribute__((vector_size(16)));
using LaneBits = std::uint32_t __attribute__((vector_size(16)));
using Halves = std::uint64_t __attribute__((vector_size(16)));

// {grad, hess, grad * grad, hess * hess}: what a row adds to its side's sums (lane 3 is never read).
inline Lanes row_lanes(core::GradientPair pair) {
  const Lanes values = std::bit_cast<Lanes>(Halves{std::bit_cast<std::uint64_t>(pair), 0});
  const Lanes squares = values * values;
  return std::bit_cast<Lanes>(Halves{std::bit_cast<Halves>(values)[0], std::bit_cast<Halves>(squares)[0]});
}

core::HistogramBin stats_of(const Lanes& sums, std::size_t count) {
  core::HistogramBin stats;
  stats.grad_sum = sums[0];
  stats.hess_sum = sums[1];
  stats.grad_sq_sum = sums[2];
  stats.count = support::wrapping_cast<std::uint32_t>(count);
  return stats;
}

// The serial partition's buffer, kept by each thread from call to call.
parallel::PerThread<std::vector<std::uint32_t>>& serial_buffers() {
  static parallel::PerThread<std::vector<std::uint32_t>> buffers;
  return buffers;
}

template <typename Code>
core::PartitionResult partition_serially(const FeatureCodes<Code>& located,
                                         std::span<const core::GradientPair> gradients,
                                         std::span<const std::uint32_t> rows, const engine::SplitCandidate& split,
                                         std::uint16_t missing_bin) {
  std::vector<std::uint32_t>& buffer = serial_buffers().local();
  if (buffer.size() < rows.size()) buffer.resize(rows.size());
  // Each side's sums take every row of the node in order, the other side's rows as +0.0: a sum
  // that starts at +0.0 is never -0.0, so adding +0.0 leaves its bits as they are, and the sums
  // equal those of the side's rows alone without a branch on the side.
  Lanes left_sums{};
  Lanes right_sums{};
  const std::size_t left_count = route_with_rule<true>(
      located, gradients, rows, split, missing_bin, buffer.data(), [&](bool left, core::GradientPair pair) {
        const Lanes row_sums = row_lanes(pair);
        // All ones for the side the row takes, all zeros (+0.0) for the other: masks, not a branch.
        const LaneBits left_mask = LaneBits{} - static_cast<std::uint32_t>(left);
        const LaneBits bits = std::bit_cast<LaneBits>(row_sums);
        const LaneBits left_bits = bits & left_mask;
        const LaneBits right_bits = bits ^ left_bits;
        left_sums += std::bit_cast<Lanes>(left_bits);
        right_sums += std::bit_cast<Lanes>(right_bits);
      });
  // Taken before the lists: the sums need not live across the calls that make them.
  const core::HistogramBin left_stats = stats_of(left_sums, left_count);
  const core::HistogramBin right_stats = stats_of(right_sums, rows.size() - left_count);
  core::PartitionResult result;
  result.left_rows = take_row_list(left_count);
  result.left_rows.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(left_count));
  result.right_rows = take_row_list(rows.size() - left_count);
  result.right_rows.assign(buffer.rbegin() + static_cast<std::ptrdiff_t>(buffer.size() - rows.size()),
                           buffer.rend() - static_cast<std::ptrdiff_t>(left_count));
  result.left_stats = left_stats;
  result.right_stats = right_stats;
  return result;
}

// Adds one routed block's rows to both sides' sums, each side in node order: the block's left rows
// run forward from its front, its right rows backward from its back. A side's sums are one chain
// of additions, as long as its rows, that no split of the work can shorten without changing their
// bits; the two chains advance in the same loop, so that the pass takes about as long as the
// larger side's chain alone.
void add_block_sums(const core::GradientPair* gradients, const std::uint32_t* block_rows, std::size_t length,
                    std::size_t lefts, Lanes& left_sums, Lanes& right_sums) {
  // The left rows are walked forward, the right ones backward. Fetching pairs ahead of the walks
  // made the pass slower: the pairs' reads do not wait on the chains, and the core runs them early.
  const auto left_pair = [&](std::size_t k) { return gradients[block_rows[k]]; };
  const auto right_pair = [&](std::size_t k) { return gradients[block_rows[length - 1 - k]]; };  // from the back
  const std::size_t rights = length - lefts;
  const std::size_t both = std::min(lefts, rights);
  Lanes left = left_sums;
  Lanes right = right_sums;
  for (std::size_t k = 0; k < both; ++k) {
    left += row_lanes(left_pair(k));
    right += row_lanes(right_pair(k));
  }
  for (std::size_t k = both; k < lefts; ++k) left += row_lanes(left_pair(k));
  for (std::size_t k = both; k < rights; ++k) right += row_lanes(right_pair(k));
  left_sums = left;
  right_sums = right;
}

// A partition in blocks, shared by the threads that work on it. Blocks are claimed in node order
// from one counter by whichever thread is free, so that workers that join late (the pool is often
// busy with other nodes) still take a share; each routes its block's rows into the block's own
// stretch of one buffer (left in order from the front, right reversed from the back). One thread,
// the summer, adds the routed blocks to the sides' sums in node order as they become ready,
// routing the next unclaimed block itself while the one it needs is still being routed elsewhere:
// its pass, which no other thread can share, starts with the first block instead of after the
// last. The thread that routes the last block sizes the children's lists; then every thread
// copies blocks into them, claimed from a second counter, the smaller side's gradient pairs with
// its rows.
template <typename Code>
class BlockPartition {
 public:
  BlockPartition(const FeatureCodes<Code>& located, std::span<const core::GradientPair> gradients,
                 std::span<const std::uint32_t> rows, const engine::SplitCandidate& split, std::uint16_t missing_bin,
                 std::size_t block_size, std::uint32_t* routed)
      : located_(located),
        gradients_(gradients),
        rows_(rows),
        split_(split),
        missing_bin_(missing_bin),
        block_size_(block_size),
        block_count_(rows.size() / block_size + (rows.size() % block_size != 0 ? 1 : 0)),
        routed_(routed),
        blocks_(std::make_unique<BlockState[]>(block_count_)) {}

  std::size_t block_count() const { return block_count_; }

  // The summer's part: every block added to the sums in order, then copies.
  void sum_and_copy() noexcept {
    sum();
    copy();
  }

  // Every block added to the sums in order, routing blocks still unclaimed meanwhile.
  void sum() noexcept {
    for (std::size_t next = 0; next < block_count_;) {
      const BlockState& block = blocks_[next];
      if (block.routed.load(std::memory_order_acquire)) {
        if (!block.failure) {
          add_block_sums(gradients_.data(), routed_ + next * block_size_, length(next), block.lefts, left_sums_,
                         right_sums_);
        }
        ++next;
      } else if (!route_next()) {
        // Every block is claimed: the next one is being routed by another thread.
        parallel::wait_until([&] { return block.routed.load(std::memory_order_acquire); });
      }
    }
  }

  // Any other thread's part: routes blocks while some are unclaimed, then copies.
  void route_and_copy() noexcept {
    while (route_next()) {
    }
    copy();
  }

  // Once every block is copied (by whichever threads): both row lists and the smaller side's
  // pairs, without the sums. False when a block or the lists failed (finish reports it).
  bool wait_for_lists() noexcept {
    parallel::wait_until([&] { return lists_ready_.load(std::memory_order_acquire); });
    parallel::wait_until([&] { return copied_.load(std::memory_order_acquire) == copy_blocks_; });
    return copy_blocks_ == block_count_;
  }

  core::PartitionResult& lists() noexcept { return result_; }

  // Once every thread is done: the result, or the failure of the first failed block in node order.
  core::PartitionResult finish() {
    for (std::size_t b = 0; b < block_count_; ++b) {
      if (blocks_[b].failure) std::rethrow_exception(blocks_[b].failure);
    }
    if (lists_failure_) std::rethrow_exception(lists_failure_);
    result_.left_stats = stats_of(left_sums_, total_left_);
    result_.right_stats = stats_of(right_sums_, rows_.size() - total_left_);
    return std::move(result_);
  }

 private:
  struct BlockState {
    std::atomic<bool> routed{false};  // set once lefts (or failure) is written
    std::size_t lefts = 0;
    std::exception_ptr failure;
    std::size_t left_start = 0;  // where the block's rows go in each side's list
    std::size_t right_start = 0;
  };

  std::size_t length(std::size_t block) const { return std::min(block_size_, rows_.size() - block * block_size_); }

  // Routes the next unclaimed block; false when none is left.
  bool route_next() noexcept {
    const std::size_t b = next_route_.fetch_add(1, std::memory_order_relaxed);
    if (b >= block_count_) return false;
    BlockState& block = blocks_[b];
    const std::size_t first = b * block_size_;
    try {
      block.lefts = route_with_rule<false>(located_, gradients_, rows_.subspan(first, length(b)), split_,
                                           missing_bin_, routed_ + first, [](bool, core::GradientPair) {});
    } catch (...) {
      block.failure = std::current_exception();
    }
    block.routed.store(true, std::memory_order_release);
    if (routed_count_.fetch_add(1, std::memory_order_acq_rel) + 1 == block_count_) prepare_lists();
    return true;
  }

  // Run once, by the thread that routed the last block (the acq_rel count makes every block's
  // count visible to it): places every block's rows and sizes the lists.
  void prepare_lists() noexcept {
    bool failed = false;
    for (std::size_t b = 0; b < block_count_; ++b) failed = failed || blocks_[b].failure != nullptr;
    if (!failed) {
      try {
        std::size_t total_left = 0;
        for (std::size_t b = 0; b < block_count_; ++b) {
          blocks_[b].left_start = total_left;
          blocks_[b].right_start = b * block_size_ - total_left;
          total_left += blocks_[b].lefts;
        }
        total_left_ = total_left;
        const std::size_t total_right = rows_.size() - total_left;
        // The smaller side also keeps its pairs in its row order, for its histograms.
        right_smaller_ = total_right < total_left;
        result_.left_rows = take_sized_row_list(total_left);
        result_.right_rows = take_sized_row_list(total_right);
        result_.smaller_side_pairs = take_sized_pair_list(right_smaller_ ? total_right : total_left);
        copy_blocks_ = block_count_;
      } catch (...) {
        lists_failure_ = std::current_exception();
      }
    }
    lists_ready_.store(true, std::memory_order_release);
  }

  void copy() noexcept {
    parallel::wait_until([&] { return lists_ready_.load(std::memory_order_acquire); });
    const core::GradientPair* const pairs = gradients_.data();
    for (std::size_t b = next_copy_.fetch_add(1, std::memory_order_relaxed); b < copy_blocks_;
         b = next_copy_.fetch_add(1, std::memory_order_relaxed)) {
      const BlockState& block = blocks_[b];
      const std::uint32_t* const first = routed_ + b * block_size_;
      const std::uint32_t* const middle = first + block.lefts;
      const std::uint32_t* const last = first + length(b);
      std::copy(first, middle, result_.left_rows.data() + block.left_start);
      std::reverse_copy(middle, last, result_.right_rows.data() + block.right_start);
      core::GradientPair* const kept = result_.smaller_side_pairs.data();
      if (right_smaller_) {
        const std::size_t rights = static_cast<std::size_t>(last - middle);
        for (std::size_t k = 0; k < rights; ++k) {
          kept[block.right_start + k] = pairs[last[-1 - static_cast<std::ptrdiff_t>(k)]];
        }
      } else {
        for (std::size_t k = 0; k < block.lefts; ++k) kept[block.left_start + k] = pairs[first[k]];
      }
      copied_.fetch_add(1, std::memory_order_acq_rel);
    }
  }

  const FeatureCodes<Code>& located_;
  std::span<const core::GradientPair> gradients_;
  std::span<const std::uint32_t> rows_;
  const engine::SplitCandidate& split_;
  std::uint16_t missing_bin_;
  std::size_t block_size_;
  std::size_t block_count_;
  std::uint32_t* routed_;
  std::unique_ptr<BlockState[]> blocks_;
  alignas(64) std::atomic<std::size_t> next_route_{0};
  alignas(64) std::atomic<std::size_t> routed_count_{0};
  alignas(64) std::atomic<std::size_t> next_copy_{0};
  alignas(64) std::atomic<bool> lists_ready_{false};
  alignas(64) std::atomic<std::size_t> copied_{0};
  // Written by prepare_lists before lists_ready_ is set, read once it is seen.
  std::size_t copy_blocks_ = 0;
  std::size_t total_left_ = 0;
  bool right_smaller_ = false;
  std::exception_ptr lists_failure_;
  core::PartitionResult result_;
  // The summer's own.
  Lanes left_sums_{};
  Lanes right_sums_{};
};

// A partition made whole before `while_summing` sees it, as nodes partitioned on one thread are.
core::PartitionResult finished_then(core::PartitionResult result, const WhileSumming& while_summing) {
  if (while_summing) while_summing(result);
  return result;
}

template <typename Code>
core::PartitionResult partition_in_blocks(const FeatureCodes<Code>& located,
                                          std::span<const core::GradientPair> gradients,
                                          std::span<const std::uint32_t> rows, const engine::SplitCandidate& split,
                                          std::uint16_t missing_bin, std::size_t block_size,
                                          const WhileSumming& while_summing) {
  const std::size_t n = rows.size();
  // The routed rows live in a scratch block.
  core::ScratchBlock scratch = core::take_scratch_block(n * sizeof(std::uint32_t));
  // The sums are not combined from per-block partial sums: each side is summed in one pass in node
  // row order, exactly as the serial loop does, so the children's statistics (and every leaf value
  // and gain computed from them) do not depend on the blocks.
  BlockPartition<Code> partition(located, gradients, rows, split, missing_bin, block_size,
                                 reinterpret_cast<std::uint32_t*>(scratch.data()));
  const std::size_t threads = std::min({partition.block_count(), parallel::current_num_threads(),
                                        std::max<std::size_t>(n / kPartitionRowsPerThread, 1)});
  // The helpers' part, posted: waking the workers (a system call for each sleeping one) is left
  // to the first of them to arrive, so that it holds up none of the calling thread's work.
  const auto helpers_route_and_copy = [&](std::size_t helpers) {
    parallel::parallel_for(
        0, helpers, [&](std::size_t) { partition.route_and_copy(); }, parallel::kDefaultMinParallel, helpers);
  };
  if (threads <= 1) {
    partition.sum_and_copy();
  } else if (while_summing) {
    // The sums go to a worker of their own, and this thread routes and copies with the helpers;
    // once the lists are whole it goes on with the caller's work while the sums are added. A sum
    // that no worker takes is added here afterwards, as one thread would have anyway. The routed
    // rows are read by the copies and the sums only: whichever of the two ends last hands the
    // scratch block back, while this thread may still be working on the lists.
    std::atomic<int> scratch_readers{2};
    const auto done_with_scratch = [&] {
      if (scratch_readers.fetch_sub(1, std::memory_order_acq_rel) == 1) scratch.reset();
    };
    parallel::PostedTask summing([&] {
      partition.sum();
      done_with_scratch();
    });
    const std::size_t helpers = threads - 2;
    std::optional<parallel::PostedTask<std::function<void()>>> helping;
    if (helpers > 0) helping.emplace([&] { helpers_route_and_copy(helpers); });
    partition.route_and_copy();
    const bool whole = partition.wait_for_lists();
    done_with_scratch();
    if (whole) while_summing(partition.lists());
    summing.wait();
    if (helping) helping->wait();
    return partition.finish();
  } else {
    // The calling thread starts summing and routing at once.
    parallel::PostedTask helping([&] { helpers_route_and_copy(threads - 1); });
    partition.sum_and_copy();
    helping.wait();
  }
  scratch.reset();
  return finished_then(partition.finish(), while_summing);
}

}  // namespace

std::size_t partition_chunk_size(std::size_t rows, std::size_t chunks) {
  return std::max(rows / std::max<std::size_t>(chunks, 1), kMinPartitionChunk);
}

core::PartitionResult partition_rows(const core::BinnedMatrix& binned, std::span<const core::GradientPair> gradients,
                                     std::span<const std::uint32_t> rows, const engine::SplitCandidate& split,
                                     std::size_t chunk_size, const WhileSumming& while_summing) {
  const bool column_major = !binned.bins_column_major.empty();
  const core::BinStorage& source = column_major ? binned.bins_column_major : binned.bins;
  return source.visit([&](auto codes) {
    const auto located = locate_feature_codes(binned, codes, column_major, split.feature_index, gradients.size());
    if (chunk_size == 0 || rows.empty()) {
      return finished_then(partition_serially(located, gradients, rows, split, binned.missing_bin), while_summing);
    }
    return partition_in_blocks(located, gradients, rows, split, binned.missing_bin, chunk_size, while_summing);
  });
}

core::PartitionResult apply_split_with_stats(const core::BinnedMatrix& binned,
                                             std::span<const core::GradientPair> gradients, const core::NodeSlice& node,
                                             const engine::SplitCandidate& split, const WhileSumming& while_summing) {
  // The bounds check is a pass over the node's rows, and routing checks every row against the
  // data anyway: it runs first only when another check fails (its error comes first), or once
  // routing has met a row outside the data, to report that row as it would have.
  const bool gradients_match = gradients.size() == binned.row_count;
  const bool feature_inside = split.feature_index < binned.feature_count;
  const auto check_bounds = [&] { engine::with_core_errors([&] { node.validate_bounds(binned.row_count); }); };
  if (!gradients_match) {
    check_bounds();
    throw engine::EngineError::contract_violation("gradients length " + std::to_string(gradients.size()) +
                                                  " does not match row_count " + std::to_string(binned.row_count));
  }
  if (!feature_inside) {
    check_bounds();
    throw engine::EngineError::contract_violation("split feature_index " + std::to_string(split.feature_index) +
                                                  " exceeds feature_count " + std::to_string(binned.feature_count));
  }
  const std::size_t rows = node.row_indices.size();
  // On a pool of one thread the blocks would only add a pass and copies: the serial loop gives
  // the same result.
  const std::size_t threads = parallel::current_num_threads();
  const std::size_t chunk_size = rows >= kParallelPartitionRows && threads > 1
                                     ? partition_chunk_size(rows, threads * kPartitionBlocksPerThread)
                                     : 0;
  try {
    return partition_rows(binned, gradients, node.row_indices, split, chunk_size, while_summing);
  } catch (const support::Panic&) {
    check_bounds();
    throw;
  }
}

}  // namespace kestrune::backend_cpu
