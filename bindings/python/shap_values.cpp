// The SHAP functions: per-row, per-feature SHAP values and per-row feature-by-feature interaction
// values of an artifact's model, for rows given as a list or as one flat row-major buffer, with or
// without a binning description, for one output or for every output (`_multi`), and the global
// importance built on the SHAP values (which already pools every output, so it has no `_multi`
// form). All arguments are converted,
// the flat buffer cut into rows and the binning context built before the artifact is looked at.
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "conversions.hpp"
#include "dense_rows.hpp"
#include "registry.hpp"
#include "shap/explain.hpp"
#include "shap/importance.hpp"
#include "shap_binning.hpp"

namespace kestrune::python {
namespace {

enum class Input { Rows, Dense };

struct Request {
  std::span<const std::uint8_t> artifact_bytes;
  std::vector<std::vector<float>> rows;
  std::optional<shap::BinningContext> binning;
};

template <Input Form, bool Binning>
Request read_request(Arguments& args) {
  Request request;
  request.artifact_bytes = args.required("artifact_bytes", to_bytes);
  std::vector<float> values;
  std::size_t row_count = 0;
  std::size_t feature_count = 0;
  if constexpr (Form == Input::Rows) {
    request.rows = args.required("rows", to_f32_rows);
  } else {
    values = args.required("values", to_f32_list);
    row_count = args.required("row_count", to_size);
    feature_count = args.required("feature_count", to_size);
  }
  std::optional<BinningArguments> binning;
  if constexpr (Binning) binning = read_binning_arguments(args);
  if constexpr (Form == Input::Dense) {
    auto cut = dense_rows_from_flat_values(values, row_count, feature_count);
    if (auto* error = std::get_if<std::string>(&cut)) throw PythonError::value_error(std::move(*error));
    request.rows = std::move(std::get<std::vector<std::vector<float>>>(cut));
  }
  if (binning) request.binning = build_binning_context(std::move(*binning));
  return request;
}

// Takes ownership of `item`.
void set_list_item(const Ref& list, std::size_t index, PyObject* item) {
  if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(index), item) != 0) throw PythonErrorSet{};
}

PyObject* rows_to_python(const std::vector<std::vector<float>>& rows) {
  Ref list(check(PyList_New(static_cast<Py_ssize_t>(rows.size()))));
  for (std::size_t r = 0; r < rows.size(); ++r) set_list_item(list, r, to_python(std::span<const float>(rows[r])));
  return list.release();
}

PyObject* pair(const Ref& first, const Ref& second) { return check(PyTuple_Pack(2, first.get(), second.get())); }

template <Input Form, bool Binning>
PyObject* explain_single(PyObject*, Arguments& args) {
  const Request request = read_request<Form, Binning>(args);
  const shap::ShapExplanationBatch batch = shap::explain_rows_from_artifact_bytes(
      request.artifact_bytes, request.rows, request.binning ? &*request.binning : nullptr);
  const Ref expected(to_python(batch.expected_value));
  const Ref values(rows_to_python(batch.values));
  return pair(expected, values);
}

template <Input Form, bool Binning>
PyObject* explain_multi(PyObject*, Arguments& args) {
  const Request request = read_request<Form, Binning>(args);
  const std::vector<shap::ShapExplanationBatch> batches = shap::explain_rows_from_artifact_bytes_per_output(
      request.artifact_bytes, request.rows, request.binning ? &*request.binning : nullptr);
  std::vector<float> expected;
  for (const shap::ShapExplanationBatch& batch : batches) expected.push_back(batch.expected_value);
  const Ref expected_list(to_python(std::span<const float>(expected)));
  const Ref outputs(check(PyList_New(static_cast<Py_ssize_t>(batches.size()))));
  for (std::size_t k = 0; k < batches.size(); ++k) set_list_item(outputs, k, rows_to_python(batches[k].values));
  return pair(expected_list, outputs);
}

// One list of feature_count lists per row.
PyObject* matrices_to_python(const shap::ShapInteractionBatch& batch) {
  const std::size_t features = batch.feature_count;
  Ref list(check(PyList_New(static_cast<Py_ssize_t>(batch.values.size()))));
  for (std::size_t r = 0; r < batch.values.size(); ++r) {
    const std::span<const float> matrix(batch.values[r]);
    Ref rows(check(PyList_New(static_cast<Py_ssize_t>(features))));
    for (std::size_t k = 0; k < features; ++k) set_list_item(rows, k, to_python(matrix.subspan(k * features, features)));
    set_list_item(list, r, rows.release());
  }
  return list.release();
}

template <Input Form, bool Binning>
PyObject* interactions_single(PyObject*, Arguments& args) {
  const Request request = read_request<Form, Binning>(args);
  const shap::ShapInteractionBatch batch = shap::explain_interactions_from_artifact_bytes(
      request.artifact_bytes, request.rows, request.binning ? &*request.binning : nullptr);
  const Ref expected(to_python(batch.expected_value));
  const Ref values(matrices_to_python(batch));
  return pair(expected, values);
}

template <Input Form, bool Binning>
PyObject* interactions_multi(PyObject*, Arguments& args) {
  const Request request = read_request<Form, Binning>(args);
  const std::vector<shap::ShapInteractionBatch> batches = shap::explain_interactions_from_artifact_bytes_per_output(
      request.artifact_bytes, request.rows, request.binning ? &*request.binning : nullptr);
  std::vector<float> expected;
  for (const shap::ShapInteractionBatch& batch : batches) expected.push_back(batch.expected_value);
  const Ref expected_list(to_python(std::span<const float>(expected)));
  const Ref outputs(check(PyList_New(static_cast<Py_ssize_t>(batches.size()))));
  for (std::size_t k = 0; k < batches.size(); ++k) set_list_item(outputs, k, matrices_to_python(batches[k]));
  return pair(expected_list, outputs);
}

template <Input Form, bool Binning>
PyObject* global_importance(PyObject*, Arguments& args) {
  const Request request = read_request<Form, Binning>(args);
  const shap::FeatureImportance pairs =
      shap::global_importance_helper(request.artifact_bytes, request.rows, request.binning ? &*request.binning : nullptr);
  Ref list(check(PyList_New(static_cast<Py_ssize_t>(pairs.size()))));
  for (std::size_t i = 0; i < pairs.size(); ++i) {
    const Ref name(to_python(std::string_view(pairs[i].first)));
    const Ref importance(to_python(pairs[i].second));
    set_list_item(list, i, pair(name, importance));
  }
  return list.release();
}

#define KESTRUNE_SHAP_R "artifact_bytes, rows"
#define KESTRUNE_SHAP_D "artifact_bytes, values, row_count, feature_count"
#define KESTRUNE_SHAP_B                                                                                       \
  ", binning_kind, feature_mins=None, feature_maxs=None, max_data_bin=None, feature_cuts=None, " \
  "linear_rank_per_feature=None"

// One signature, definition and registration per function, at its fixed module position.
#define KESTRUNE_SHAP_FUNCTION(name, params, body)                                            \
  constexpr FunctionSpec name##_spec = {#name, #name "(" params ")\n--\n\n", body};           \
  PyMethodDef name##_definition = module_function_definition<name##_spec>();                 \
  const FunctionRegistration name##_registration(FunctionSlot::name, &name##_definition);

KESTRUNE_SHAP_FUNCTION(shap_explain_rows, KESTRUNE_SHAP_R, (explain_single<Input::Rows, false>))
KESTRUNE_SHAP_FUNCTION(shap_explain_rows_dense, KESTRUNE_SHAP_D, (explain_single<Input::Dense, false>))
KESTRUNE_SHAP_FUNCTION(shap_explain_rows_with_binning, KESTRUNE_SHAP_R KESTRUNE_SHAP_B,
                       (explain_single<Input::Rows, true>))
KESTRUNE_SHAP_FUNCTION(shap_explain_rows_dense_with_binning, KESTRUNE_SHAP_D KESTRUNE_SHAP_B,
                       (explain_single<Input::Dense, true>))
KESTRUNE_SHAP_FUNCTION(shap_explain_rows_multi, KESTRUNE_SHAP_R, (explain_multi<Input::Rows, false>))
KESTRUNE_SHAP_FUNCTION(shap_explain_rows_dense_multi, KESTRUNE_SHAP_D, (explain_multi<Input::Dense, false>))
KESTRUNE_SHAP_FUNCTION(shap_explain_rows_with_binning_multi, KESTRUNE_SHAP_R KESTRUNE_SHAP_B,
                       (explain_multi<Input::Rows, true>))
KESTRUNE_SHAP_FUNCTION(shap_explain_rows_dense_with_binning_multi, KESTRUNE_SHAP_D KESTRUNE_SHAP_B,
                       (explain_multi<Input::Dense, true>))
KESTRUNE_SHAP_FUNCTION(shap_explain_interactions, KESTRUNE_SHAP_R, (interactions_single<Input::Rows, false>))
KESTRUNE_SHAP_FUNCTION(shap_explain_interactions_dense, KESTRUNE_SHAP_D, (interactions_single<Input::Dense, false>))
KESTRUNE_SHAP_FUNCTION(shap_explain_interactions_with_binning, KESTRUNE_SHAP_R KESTRUNE_SHAP_B,
                       (interactions_single<Input::Rows, true>))
KESTRUNE_SHAP_FUNCTION(shap_explain_interactions_dense_with_binning, KESTRUNE_SHAP_D KESTRUNE_SHAP_B,
                       (interactions_single<Input::Dense, true>))
KESTRUNE_SHAP_FUNCTION(shap_explain_interactions_multi, KESTRUNE_SHAP_R, (interactions_multi<Input::Rows, false>))
KESTRUNE_SHAP_FUNCTION(shap_explain_interactions_dense_multi, KESTRUNE_SHAP_D,
                       (interactions_multi<Input::Dense, false>))
KESTRUNE_SHAP_FUNCTION(shap_explain_interactions_with_binning_multi, KESTRUNE_SHAP_R KESTRUNE_SHAP_B,
                       (interactions_multi<Input::Rows, true>))
KESTRUNE_SHAP_FUNCTION(shap_explain_interactions_dense_with_binning_multi, KESTRUNE_SHAP_D KESTRUNE_SHAP_B,
                       (interactions_multi<Input::Dense, true>))
KESTRUNE_SHAP_FUNCTION(shap_global_importance, KESTRUNE_SHAP_R, (global_importance<Input::Rows, false>))
KESTRUNE_SHAP_FUNCTION(shap_global_importance_dense, KESTRUNE_SHAP_D, (global_importance<Input::Dense, false>))
KESTRUNE_SHAP_FUNCTION(shap_global_importance_with_binning, KESTRUNE_SHAP_R KESTRUNE_SHAP_B,
                       (global_importance<Input::Rows, true>))
KESTRUNE_SHAP_FUNCTION(shap_global_importance_dense_with_binning, KESTRUNE_SHAP_D KESTRUNE_SHAP_B,
                       (global_importance<Input::Dense, true>))

}  // namespace
}  // namespace kestrune::python
