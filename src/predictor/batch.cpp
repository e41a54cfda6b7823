// Batch prediction: the entry points' input checks, and the row scoring that runs serially or on
// the worker pool. Rows are scored in blocks, each block walking one tree after another, so a
// tree's nodes stay in cache while every row of the block passes through it.
#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <new>
#include <string>
#include <type_traits>

#include "parallel/parallel.hpp"
#include "predictor/error.hpp"
#include "predictor/evaluation.hpp"
#include "predictor/predictor.hpp"
#include "support/casts.hpp"
#include "support/panic.hpp"

namespace kestrune::predictor {
namespace {

// Rows per block: their scores stay in L1 and their values close by while one tree's nodes are
// walked by all of them.
constexpr std::size_t kBlockRows = 512;
// The byte path decodes one block at a time; wide rows get fewer rows per block so that the
// scratch block stays this small.
constexpr std::size_t kScratchBlockBytes = 256 * 1024;
constexpr std::size_t kParallelMinRows = 256;
constexpr std::size_t kParallelMinEvaluations = 16384;
// The byte path's chunks: at least this many rows, about four chunks per pool thread.
constexpr std::size_t kByteChunkMinRows = 4096;
constexpr std::size_t kChunksPerThread = 4;

__extension__ typedef unsigned __int128 Wide;

// Exact decimal text of a product that may not fit 64 bits.
std::string product_text(std::uint64_t a, std::uint64_t b) {
  Wide value = static_cast<Wide>(a) * b;
  if (value == 0) return "0";
  std::string digits;
  while (value != 0) {
    digits.push_back(static_cast<char>('0' + static_cast<int>(value % 10)));
    value /= 10;
  }
  return {digits.rbegin(), digits.rend()};
}

std::size_t output_length(std::size_t rows, std::size_t per_row) {
  const auto length = support::checked_mul(rows, per_row);
  if (!length) throw std::bad_alloc();
  return *length;
}

// Scores blocks of rows for one model: transformed single-output scores, or class probabilities.
class BlockScorer {
 public:
  explicit BlockScorer(const Predictor& predictor)
      : predictor_(predictor),
        transform_(output_transform_for(predictor.metadata.objective)),
        feature_count_(predictor.feature_count()),
        classes_(predictor.class_trees ? predictor.class_trees->size() : 0),
        multiclass_(predictor.num_classes.has_value()) {
    if (multiclass_) {
      support::invariant(predictor.class_trees && predictor.class_baselines &&
                             predictor.class_baselines->size() == classes_,
                         "a multiclass predictor holds one forest and one baseline per class");
    }
  }

  std::size_t outputs_per_row() const { return multiclass_ ? classes_ : 1; }

  // Scores rows[0 .. count) into out[0 .. count x outputs_per_row()); count <= kBlockRows.
  // Categorical node tests and linear leaves read raw_rows[i], or rows[i] when raw_rows is null.
  void score(const float* const* rows, const float* const* raw_rows, std::size_t count, float* out) const {
    try {
      if (multiclass_) {
        score_multiclass(rows, raw_rows, count, out);
      } else {
        score_single(rows, raw_rows, count, out);
      }
    } catch (const PredictorError&) {
      // The block failed somewhere across its rows; the error to report is that of its first
      // failing row, as a row-by-row walk meets it.
      for (std::size_t i = 0; i < count; ++i) walk_row(rows[i], raw_rows != nullptr ? raw_rows[i] : rows[i]);
      throw;
    }
  }

 private:
  std::span<const float> row_span(const float* row) const { return {row, feature_count_}; }

  float walk(const Forest& forest, const float* row, const float* raw_row, float start) const {
    return predictor_.thresholds_are_float
               ? walk_forest<true>(forest, row_span(row), row_span(raw_row), feature_count_, start)
               : walk_forest<false>(forest, row_span(row), row_span(raw_row), feature_count_, start);
  }

  void walk_row(const float* row, const float* raw_row) const {
    if (!multiclass_) {
      walk(predictor_.trees, row, raw_row, predictor_.base_score);
      return;
    }
    for (std::size_t c = 0; c < classes_; ++c) walk((*predictor_.class_trees)[c], row, raw_row, 0.0f);
  }

  void accumulate(const Forest& forest, const float* const* rows, const float* const* raw_rows, std::size_t count,
                  float* acc) const {
    if (feature_count_ == 0) {
      for (std::size_t i = 0; i < count; ++i) {
        acc[i] = walk(forest, rows[i], raw_rows != nullptr ? raw_rows[i] : rows[i], acc[i]);
      }
      return;
    }
    accumulate_forest_block(forest, predictor_.thresholds_are_float, rows, count, feature_count_, acc, raw_rows);
  }

  void score_single(const float* const* rows, const float* const* raw_rows, std::size_t count, float* out) const {
    float acc[kBlockRows];
    std::fill_n(acc, count, predictor_.base_score);
    accumulate(predictor_.trees, rows, raw_rows, count, acc);
    for (std::size_t i = 0; i < count; ++i) out[i] = apply_output_transform(transform_, acc[i]);
  }

  void score_multiclass(const float* const* rows, const float* const* raw_rows, std::size_t count, float* out) const {
    float acc[kBlockRows];
    for (std::size_t c = 0; c < classes_; ++c) {
      std::fill_n(acc, count, (*predictor_.class_baselines)[c]);
      accumulate((*predictor_.class_trees)[c], rows, raw_rows, count, acc);
      for (std::size_t i = 0; i < count; ++i) out[i * classes_ + c] = acc[i];
    }
    for (std::size_t i = 0; i < count; ++i) softmax_in_place({out + i * classes_, classes_});
  }

  const Predictor& predictor_;
  OutputTransform transform_;
  std::size_t feature_count_;
  std::size_t classes_;
  bool multiclass_;
};

// The rows' own values serve categorical nodes and linear leaves: no second source to read.
struct SameRows {};

// Scores rows [first, last) into `out` (the whole batch's output), `block_rows` at a time; stops
// early once another chunk has failed. Categorical node tests and linear leaves read raw_at(row)
// unless RawAt is SameRows.
template <typename RowAt, typename RawAt>
void score_rows(const BlockScorer& scorer, RowAt& row_at, RawAt& raw_at, std::size_t first, std::size_t last,
                float* out, const std::atomic<bool>* stop, std::size_t block_rows = kBlockRows) {
  constexpr bool kSeparateRaw = !std::is_same_v<RawAt, SameRows>;
  const float* rows[kBlockRows];
  const float* raw_rows[kSeparateRaw ? kBlockRows : 1];
  for (std::size_t begin = first; begin < last; begin += block_rows) {
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) return;
    const std::size_t count = std::min(block_rows, last - begin);
    for (std::size_t i = 0; i < count; ++i) rows[i] = row_at(begin + i);
    if constexpr (kSeparateRaw) {
      for (std::size_t i = 0; i < count; ++i) raw_rows[i] = raw_at(begin + i);
      scorer.score(rows, raw_rows, count, out + begin * scorer.outputs_per_row());
    } else {
      scorer.score(rows, nullptr, count, out + begin * scorer.outputs_per_row());
    }
  }
}

// Runs `chunk_body(first, last)` over chunks of `chunk_rows` on the pool; the first failure
// makes the other chunks stop at their next block.
template <typename ChunkBody>
void run_chunks_on_pool(std::size_t row_count, std::size_t chunk_rows, std::atomic<bool>& stop,
                        ChunkBody&& chunk_body) {
  parallel::parallel_for_chunks(row_count, chunk_rows, [&](std::size_t first, std::size_t last) {
    try {
      chunk_body(first, last);
    } catch (...) {
      stop.store(true, std::memory_order_relaxed);
      throw;
    }
  });
}

// Scores every row, serially in row order for small batches, else on the pool; the output is
// the same either way.
template <typename RowAt, typename RawAt = SameRows>
std::vector<float> score_batch(const Predictor& predictor, std::size_t row_count, RowAt row_at, RawAt raw_at = {}) {
  const BlockScorer scorer(predictor);
  std::vector<float> out(output_length(row_count, scorer.outputs_per_row()));
  if (!uses_parallel_evaluation(row_count, predictor.total_tree_count())) {
    score_rows(scorer, row_at, raw_at, 0, row_count, out.data(), nullptr);
    return out;
  }
  const std::size_t threads = std::max<std::size_t>(parallel::current_num_threads(), 1);
  const std::size_t per_chunk = (row_count + threads * kChunksPerThread - 1) / (threads * kChunksPerThread);
  std::atomic<bool> stop{false};
  run_chunks_on_pool(row_count, std::max(per_chunk, kBlockRows), stop, [&](std::size_t first, std::size_t last) {
    RawAt chunk_raw_at = raw_at;
    score_rows(scorer, row_at, chunk_raw_at, first, last, out.data(), &stop);
  });
  return out;
}

void check_row_lengths(std::span<const std::vector<float>> rows, std::size_t feature_count) {
  if (rows.empty()) throw PredictorError::invalid_input("rows cannot be empty");
  for (const std::vector<float>& row : rows) {
    if (row.size() != feature_count) {
      throw PredictorError::invalid_input("feature length " + std::to_string(row.size()) +
                                          " does not match model feature_count " + std::to_string(feature_count));
    }
  }
}

void check_dense_shape(std::size_t values_length, std::size_t row_count, std::size_t feature_count,
                       std::size_t model_feature_count) {
  if (feature_count != model_feature_count) {
    throw PredictorError::invalid_input("feature_count " + std::to_string(feature_count) +
                                        " does not match model feature_count " + std::to_string(model_feature_count));
  }
  const auto expected = support::checked_mul(row_count, feature_count);
  if (!expected || values_length != *expected) {
    throw PredictorError::invalid_input("values length " + std::to_string(values_length) +
                                        " does not match row_count * feature_count " +
                                        product_text(row_count, feature_count));
  }
  if (row_count == 0) throw PredictorError::invalid_input("row_count must be greater than 0");
}

std::vector<float> score_row_list(const Predictor& predictor, std::span<const std::vector<float>> rows) {
  return score_batch(predictor, rows.size(), [rows](std::size_t i) { return rows[i].data(); });
}

std::vector<float> score_dense(const Predictor& predictor, std::span<const float> values, std::size_t row_count,
                               std::size_t feature_count) {
  const float* base = values.data();
  return score_batch(predictor, row_count, [base, feature_count](std::size_t i) { return base + i * feature_count; });
}

// Decodes rows of little-endian float32 bytes into a scratch block of `block_rows` rows, in place
// of building a float matrix; a decoded row stays valid while the next block_rows - 1 rows are.
class ByteRowDecoder {
 public:
  ByteRowDecoder(std::span<const std::uint8_t> bytes, std::size_t feature_count, std::size_t first,
                 std::size_t block_rows)
      : bytes_(bytes), feature_count_(feature_count), first_(first), block_rows_(block_rows),
        scratch_(block_rows * feature_count) {}

  const float* operator()(std::size_t row) {
    float* slot = scratch_.data() + ((row - first_) % block_rows_) * feature_count_;
    const std::size_t row_bytes = feature_count_ * sizeof(float);
    const std::uint8_t* source = bytes_.data() + row * row_bytes;
    if constexpr (std::endian::native == std::endian::little) {
      // Any address: the bytes are copied, never read as floats where they lie.
      if (row_bytes != 0) std::memcpy(slot, source, row_bytes);
    } else {
      for (std::size_t j = 0; j < feature_count_; ++j) {
        std::uint32_t bits = 0;
        for (std::size_t k = 0; k < 4; ++k) bits |= static_cast<std::uint32_t>(source[4 * j + k]) << (8 * k);
        slot[j] = std::bit_cast<float>(bits);
      }
    }
    return slot;
  }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t feature_count_;
  std::size_t first_;
  std::size_t block_rows_;
  std::vector<float> scratch_;
};

// The byte path, always on the pool in chunks of at least kByteChunkMinRows rows. Node tests read
// the decoded rows, or bins[row] when `bins` is given (numeric nodes only); categorical nodes and
// linear leaves read the decoded rows.
std::vector<float> score_byte_rows(const Predictor& predictor, std::span<const std::uint8_t> bytes, const float* bins,
                                   std::size_t row_count, std::size_t feature_count) {
  const BlockScorer scorer(predictor);
  std::vector<float> out(row_count);
  const std::size_t threads = std::max<std::size_t>(parallel::current_num_threads(), 1);
  const std::size_t chunk_rows = std::max(row_count / (kChunksPerThread * threads), kByteChunkMinRows);
  const std::size_t row_bytes = feature_count * sizeof(float);
  const std::size_t block_rows = std::clamp<std::size_t>(kScratchBlockBytes / std::max<std::size_t>(row_bytes, 1), 1,
                                                         kBlockRows);
  std::atomic<bool> stop{false};
  run_chunks_on_pool(row_count, chunk_rows, stop, [&](std::size_t first, std::size_t last) {
    ByteRowDecoder decoded(bytes, feature_count, first, block_rows);
    if (bins == nullptr) {
      SameRows same;
      score_rows(scorer, decoded, same, first, last, out.data(), &stop, block_rows);
    } else {
      auto bin_row = [bins, feature_count](std::size_t row) { return bins + row * feature_count; };
      score_rows(scorer, bin_row, decoded, first, last, out.data(), &stop, block_rows);
    }
  });
  return out;
}

}  // namespace

bool uses_parallel_evaluation(std::size_t rows, std::size_t trees) {
  if (rows < kParallelMinRows) return false;
  const auto evaluations = support::checked_mul(rows, std::max<std::size_t>(trees, 1));
  return !evaluations || *evaluations >= kParallelMinEvaluations;
}

std::vector<float> Predictor::predict_batch(std::span<const std::vector<float>> rows) const {
  if (num_classes) throw PredictorError::invalid_model("use predict_batch_multiclass for multi-class models");
  check_row_lengths(rows, feature_count());
  return score_row_list(*this, rows);
}

std::vector<float> Predictor::predict_batch_dense(std::span<const float> values, std::size_t row_count,
                                                  std::size_t feature_count) const {
  if (num_classes) throw PredictorError::invalid_model("use predict_batch_dense_multiclass for multi-class models");
  check_dense_shape(values.size(), row_count, feature_count, this->feature_count());
  return score_dense(*this, values, row_count, feature_count);
}

std::vector<float> Predictor::predict_batch_multiclass(std::span<const std::vector<float>> rows) const {
  if (!num_classes) throw PredictorError::invalid_model("predict_batch_multiclass called on single-output model");
  check_row_lengths(rows, feature_count());
  return score_row_list(*this, rows);
}

std::vector<float> Predictor::predict_batch_dense_multiclass(std::span<const float> values, std::size_t row_count,
                                                             std::size_t feature_count) const {
  if (!num_classes) {
    throw PredictorError::invalid_model("predict_batch_dense_multiclass called on single-output model");
  }
  check_dense_shape(values.size(), row_count, feature_count, this->feature_count());
  return score_dense(*this, values, row_count, feature_count);
}

std::vector<float> Predictor::predict_batch_dense_bytes(std::span<const std::uint8_t> bytes, std::size_t row_count,
                                                        std::size_t feature_count) const {
  if (num_classes) throw PredictorError::invalid_model("use predict_batch_multiclass for multi-class models");
  if (feature_count != this->feature_count()) {
    throw PredictorError::invalid_input("feature_count " + std::to_string(feature_count) +
                                        " does not match model feature_count " + std::to_string(this->feature_count()));
  }
  const auto values = support::checked_mul(row_count, feature_count);
  const auto expected = values ? support::checked_mul(*values, 4) : std::nullopt;
  if (!expected || bytes.size() != *expected) {
    const std::string expected_text =
        values ? product_text(*values, 4) : product_text(row_count, feature_count) + " * 4";
    throw PredictorError::invalid_input("bytes length " + std::to_string(bytes.size()) + " does not match expected " +
                                        expected_text + " (row_count=" + std::to_string(row_count) +
                                        " * feature_count=" + std::to_string(feature_count) + " * 4)");
  }
  if (row_count == 0) throw PredictorError::invalid_input("row_count must be greater than 0");

  return score_byte_rows(*this, bytes, nullptr, row_count, feature_count);
}

namespace {

// Whether `flag` is set on the single-output forest or on any class's forest.
bool any_forest(const Predictor& predictor, bool Forest::*flag) {
  if (predictor.trees.*flag) return true;
  if (!predictor.class_trees) return false;
  return std::any_of(predictor.class_trees->begin(), predictor.class_trees->end(),
                     [flag](const Forest& f) { return f.*flag; });
}

}  // namespace

bool Predictor::has_linear_leaves() const { return any_forest(*this, &Forest::has_linear_leaves); }

bool Predictor::has_categorical_splits() const { return any_forest(*this, &Forest::has_categorical_splits); }

namespace {

// Whether the binned paths read the raw values at all; models that do not take the plain bin path.
bool reads_raw_values_when_binned(const Predictor& predictor) {
  return predictor.has_linear_leaves() || predictor.has_categorical_splits();
}

}  // namespace

std::vector<float> Predictor::predict_batch_dense_binned(std::span<const float> bins, std::span<const float> raw,
                                                         std::size_t row_count, std::size_t feature_count) const {
  if (!reads_raw_values_when_binned(*this)) return predict_batch_dense(bins, row_count, feature_count);
  if (num_classes) throw PredictorError::invalid_model("use predict_batch_dense_multiclass for multi-class models");
  check_dense_shape(bins.size(), row_count, feature_count, this->feature_count());
  support::invariant(raw.size() == bins.size(), "raw rows match their bins");
  const float* bin_base = bins.data();
  const float* raw_base = raw.data();
  return score_batch(
      *this, row_count, [bin_base, feature_count](std::size_t i) { return bin_base + i * feature_count; },
      [raw_base, feature_count](std::size_t i) { return raw_base + i * feature_count; });
}

std::vector<float> Predictor::predict_batch_dense_binned_bytes(std::span<const float> bins,
                                                               std::span<const std::uint8_t> raw_bytes,
                                                               std::size_t row_count, std::size_t feature_count) const {
  if (!reads_raw_values_when_binned(*this)) return predict_batch_dense(bins, row_count, feature_count);
  if (num_classes) throw PredictorError::invalid_model("use predict_batch_dense_multiclass for multi-class models");
  check_dense_shape(bins.size(), row_count, feature_count, this->feature_count());
  support::invariant(raw_bytes.size() / sizeof(float) >= bins.size(), "raw bytes cover their bins");
  return score_byte_rows(*this, raw_bytes, bins.data(), row_count, feature_count);
}

float Predictor::predict_row_with_feature_count(std::span<const float> row, std::size_t feature_count) const {
  return thresholds_are_float ? walk_forest<true>(trees, row, feature_count, base_score)
                              : walk_forest<false>(trees, row, feature_count, base_score);
}

float Predictor::predict_row_dense_unchecked(std::span<const float> row, std::size_t feature_count) const {
  return predict_row_with_feature_count(row, feature_count);
}

}  // namespace kestrune::predictor
