#include "shap_binning.hpp"

#include <string>

#include "conversions.hpp"
#include "shap/error.hpp"

namespace kestrune::python {
namespace {

std::optional<std::vector<float>> optional_f32_list(PyObject* object) {
  if (object == Py_None) return std::nullopt;
  return to_f32_list(object);
}

template <typename T>
T required(std::optional<T>& value, std::string_view kind, std::string_view name) {
  if (!value) {
    throw shap::ShapError::invalid_input("binning_kind='" + std::string(kind) + "' requires " + std::string(name));
  }
  return std::move(*value);
}

}  // namespace

BinningArguments read_binning_arguments(Arguments& args) {
  BinningArguments out;
  out.binning_kind = args.required("binning_kind", to_text);
  out.feature_mins = args.optional("feature_mins", to_f32_list);
  out.feature_maxs = args.optional("feature_maxs", to_f32_list);
  out.max_data_bin = args.optional("max_data_bin", to_u16);
  out.feature_cuts = args.optional("feature_cuts", to_f32_rows);
  out.linear_rank_per_feature = args.optional("linear_rank_per_feature", list_of(optional_f32_list));
  return out;
}

shap::BinningContext build_binning_context(BinningArguments a) {
  const std::string_view kind = a.binning_kind;
  if (kind == "linear") {
    shap::LinearBinning linear;
    linear.feature_mins = required(a.feature_mins, kind, "feature_mins");
    linear.feature_maxs = required(a.feature_maxs, kind, "feature_maxs");
    linear.max_data_bin = required(a.max_data_bin, kind, "max_data_bin");
    return linear;
  }
  if (kind == "quantile") return shap::QuantileBinning{required(a.feature_cuts, kind, "feature_cuts")};
  if (kind == "prebinned") return shap::PreBinned{};
  if (kind == "linear_rank") {
    shap::LinearRankBinning rank;
    rank.per_feature = required(a.linear_rank_per_feature, kind, "linear_rank_per_feature");
    rank.feature_mins = required(a.feature_mins, kind, "feature_mins");
    rank.feature_maxs = required(a.feature_maxs, kind, "feature_maxs");
    rank.max_data_bin = required(a.max_data_bin, kind, "max_data_bin");
    return rank;
  }
  throw shap::ShapError::invalid_input("unknown binning_kind '" + std::string(kind) +
                                       "' (expected linear|quantile|prebinned|linear_rank)");
}

}  // namespace kestrune::python
