// NativeContinuousBinningMetadata, NativeTrainingSummary, NativeTrainingResult and
// NativeIterationDiagnostics: read-only getters over the record each object holds. Every read
// builds new Python objects from the record; nothing is cached or shared between reads.
#include "result_classes.hpp"

#include <optional>
#include <string>
#include <vector>

#include "conversions.hpp"
#include "record_object.hpp"
#include "registry.hpp"

namespace kestrune::python {
namespace {

using quantization::ContinuousBinningMetadataInternal;

PyObject* iteration_diagnostics_type();
PyObject* continuous_binning_metadata_type();
PyObject* training_summary_type();
PyObject* training_result_type();

// Field values as new Python objects. The overloads are declared before the templates below so
// that every field type finds its conversion.
PyObject* field_value(bool value) { return to_python(value); }
PyObject* field_value(float value) { return to_python(value); }
PyObject* field_value(double value) { return to_python(value); }
PyObject* field_value(std::size_t value) { return to_python(static_cast<std::uint64_t>(value)); }
PyObject* field_value(const std::string& value) { return to_python(std::string_view(value)); }
PyObject* field_value(const std::vector<float>& values) { return to_python(std::span<const float>(values)); }
PyObject* field_value(const std::vector<std::uint8_t>& bytes) { return bytes_to_python(bytes); }

PyObject* field_value(const std::vector<bool>& flags) {
  Ref list(check(PyList_New(static_cast<Py_ssize_t>(flags.size()))));
  for (std::size_t i = 0; i < flags.size(); ++i) {
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), to_python(static_cast<bool>(flags[i]))) != 0) {
      throw PythonErrorSet{};
    }
  }
  return list.release();
}

PyObject* field_value(const std::vector<std::vector<float>>& rows) {
  Ref list(check(PyList_New(static_cast<Py_ssize_t>(rows.size()))));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), field_value(rows[i])) != 0) throw PythonErrorSet{};
  }
  return list.release();
}

PyObject* field_value(const std::vector<IterationDiagnosticsRecord>& rounds) {
  Ref list(check(PyList_New(static_cast<Py_ssize_t>(rounds.size()))));
  for (std::size_t i = 0; i < rounds.size(); ++i) {
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), new_iteration_diagnostics(rounds[i])) != 0) {
      throw PythonErrorSet{};
    }
  }
  return list.release();
}

PyObject* field_value(const TrainingSummaryRecord& summary) { return new_training_summary(summary); }

PyObject* field_value(const ContinuousBinningMetadataInternal& metadata) {
  return new_continuous_binning_metadata(metadata);
}

PyObject* field_value(const std::map<std::size_t, std::map<std::string, std::uint32_t>>& mappings) {
  Ref outer(check(PyDict_New()));
  for (const auto& [feature, categories] : mappings) {
    Ref inner(check(PyDict_New()));
    for (const auto& [name, id] : categories) {
      Ref key(to_python(std::string_view(name)));
      Ref value(to_python(id));
      if (PyDict_SetItem(inner.get(), key.get(), value.get()) != 0) throw PythonErrorSet{};
    }
    Ref key(to_python(static_cast<std::uint64_t>(feature)));
    if (PyDict_SetItem(outer.get(), key.get(), inner.get()) != 0) throw PythonErrorSet{};
  }
  return outer.release();
}

template <typename T>
PyObject* field_value(const std::optional<T>& value) {
  return value ? field_value(*value) : none();
}

template <typename Record, auto Member>
PyObject* get_field(PyObject* self, void*) {
  return guarded([&] { return field_value(record_of<Record>(self).*Member); }, static_cast<PyObject*>(nullptr));
}

constexpr PyGetSetDef kGetSetEnd = {nullptr, nullptr, nullptr, nullptr, nullptr};

// NativeIterationDiagnostics ---------------------------------------------------------------

using Diagnostics = IterationDiagnosticsRecord;

PyGetSetDef diagnostics_getset[] = {
    {"gradient_l2_norm", get_field<Diagnostics, &Diagnostics::gradient_l2_norm>, nullptr, nullptr, nullptr},
    {"gradient_variance", get_field<Diagnostics, &Diagnostics::gradient_variance>, nullptr, nullptr, nullptr},
    {"hessian_l2_norm", get_field<Diagnostics, &Diagnostics::hessian_l2_norm>, nullptr, nullptr, nullptr},
    {"original_gradient_l2_norm", get_field<Diagnostics, &Diagnostics::original_gradient_l2_norm>, nullptr,
     nullptr, nullptr},
    {"projected_gradient_l2_norm", get_field<Diagnostics, &Diagnostics::projected_gradient_l2_norm>, nullptr,
     nullptr, nullptr},
    {"neutralization_effectiveness", get_field<Diagnostics, &Diagnostics::neutralization_effectiveness>, nullptr,
     "`1 - projected_l2 / original_l2`, clamped to `[0, 1]`.  Higher means\n"
     "more gradient signal was projected away.",
     nullptr},
    {"n_active_rows", get_field<Diagnostics, &Diagnostics::n_active_rows>, nullptr, nullptr, nullptr},
    {"n_active_features", get_field<Diagnostics, &Diagnostics::n_active_features>, nullptr, nullptr, nullptr},
    kGetSetEnd,
};

PyType_Slot diagnostics_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<Diagnostics>)},
    {Py_tp_getset, diagnostics_getset},
    {Py_tp_doc, const_cast<char*>(
                    "Gradient diagnostics of one boosting round, a view of the engine's\n"
                    "`IterationDiagnostics` snapshot; attribute names mirror its fields one to one.\n"
                    "The projection-related attributes are None when factor neutralization is not\n"
                    "active for the fit.")},
    {0, nullptr},
};

PyType_Spec diagnostics_spec = {
    "_kestrune.NativeIterationDiagnostics", static_cast<int>(sizeof(RecordObject<Diagnostics>)), 0,
    kResultClassFlags, diagnostics_slots,
};

// NativeContinuousBinningMetadata ----------------------------------------------------------

using Metadata = ContinuousBinningMetadataInternal;

PyGetSetDef metadata_getset[] = {
    {"uses_continuous_binning", get_field<Metadata, &Metadata::uses_continuous_binning>, nullptr, nullptr, nullptr},
    {"feature_mins", get_field<Metadata, &Metadata::feature_mins>, nullptr, nullptr, nullptr},
    {"feature_maxs", get_field<Metadata, &Metadata::feature_maxs>, nullptr, nullptr, nullptr},
    {"feature_sorted_values", get_field<Metadata, &Metadata::feature_sorted_values>, nullptr, nullptr, nullptr},
    {"feature_quantile_cuts", get_field<Metadata, &Metadata::feature_quantile_cuts>, nullptr, nullptr, nullptr},
    {"feature_linear_rank_flags", get_field<Metadata, &Metadata::feature_linear_rank_flags>, nullptr, nullptr,
     nullptr},
    kGetSetEnd,
};

PyType_Slot metadata_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<Metadata>)},
    {Py_tp_getset, metadata_getset},
    {0, nullptr},
};

PyType_Spec metadata_spec = {
    "_kestrune.NativeContinuousBinningMetadata", static_cast<int>(sizeof(RecordObject<Metadata>)), 0,
    kResultClassFlags, metadata_slots,
};

// NativeTrainingSummary --------------------------------------------------------------------

using Summary = TrainingSummaryRecord;

PyGetSetDef summary_getset[] = {
    {"rounds_requested", get_field<Summary, &Summary::rounds_requested>, nullptr, nullptr, nullptr},
    {"rounds_completed", get_field<Summary, &Summary::rounds_completed>, nullptr, nullptr, nullptr},
    {"best_validation_round", get_field<Summary, &Summary::best_validation_round>, nullptr, nullptr, nullptr},
    {"best_validation_loss", get_field<Summary, &Summary::best_validation_loss>, nullptr, nullptr, nullptr},
    {"train_rmse", get_field<Summary, &Summary::train_rmse>, nullptr, nullptr, nullptr},
    {"validation_rmse", get_field<Summary, &Summary::validation_rmse>, nullptr, nullptr, nullptr},
    {"train_loss", get_field<Summary, &Summary::train_loss>, nullptr,
     "Raw objective loss per completed round (no sqrt transform).", nullptr},
    {"validation_loss", get_field<Summary, &Summary::validation_loss>, nullptr,
     "Raw validation objective loss per completed round (no sqrt transform).", nullptr},
    {"objective", get_field<Summary, &Summary::objective>, nullptr,
     "Objective name (e.g. \"squared_error\", \"binary_crossentropy\").", nullptr},
    {"stop_reason", get_field<Summary, &Summary::stop_reason>, nullptr, nullptr, nullptr},
    {"bridge_prepare_seconds", get_field<Summary, &Summary::bridge_prepare_seconds>, nullptr, nullptr, nullptr},
    {"native_train_seconds", get_field<Summary, &Summary::native_train_seconds>, nullptr, nullptr, nullptr},
    {"custom_metric_values", get_field<Summary, &Summary::custom_metric_values>, nullptr,
     "Custom eval metric values per completed round (empty when no custom metric).", nullptr},
    {"custom_metric_name", get_field<Summary, &Summary::custom_metric_name>, nullptr,
     "Custom eval metric name (None when no custom metric).", nullptr},
    {"diagnostics_per_round", get_field<Summary, &Summary::diagnostics_per_round>, nullptr,
     "Per-round diagnostic snapshot.  Each entry is a `NativeIterationDiagnostics`\n"
     "pyclass exposing the fields of `engine::IterationDiagnostics`.  Length\n"
     "equals `rounds_completed` after a successful fit.",
     nullptr},
    kGetSetEnd,
};

PyType_Slot summary_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<Summary>)},
    {Py_tp_getset, summary_getset},
    {0, nullptr},
};

PyType_Spec summary_spec = {
    "_kestrune.NativeTrainingSummary", static_cast<int>(sizeof(RecordObject<Summary>)), 0, kResultClassFlags,
    summary_slots,
};

// NativeTrainingResult ---------------------------------------------------------------------

using Result = TrainingResultRecord;

PyGetSetDef result_getset[] = {
    {"artifact_bytes", get_field<Result, &Result::artifact_bytes>, nullptr, nullptr, nullptr},
    {"summary", get_field<Result, &Result::summary>, nullptr, nullptr, nullptr},
    {"continuous_binning_metadata", get_field<Result, &Result::continuous_binning_metadata>, nullptr, nullptr,
     nullptr},
    {"native_cat_mappings", get_field<Result, &Result::native_cat_mappings>, nullptr,
     "Per-feature category\u2192ID mappings for native categorical splits.\n"
     "Keys are feature indices, values are dicts {category_name: integer_id}.",
     nullptr},
    kGetSetEnd,
};

PyType_Slot result_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(record_dealloc<Result>)},
    {Py_tp_getset, result_getset},
    {0, nullptr},
};

PyType_Spec result_spec = {
    "_kestrune.NativeTrainingResult", static_cast<int>(sizeof(RecordObject<Result>)), 0, kResultClassFlags,
    result_slots,
};

PyObject* iteration_diagnostics_type() {
  static PyObject* type = nullptr;
  return type_from_spec_once(type, diagnostics_spec);
}

PyObject* continuous_binning_metadata_type() {
  static PyObject* type = nullptr;
  return type_from_spec_once(type, metadata_spec);
}

PyObject* training_summary_type() {
  static PyObject* type = nullptr;
  return type_from_spec_once(type, summary_spec);
}

PyObject* training_result_type() {
  static PyObject* type = nullptr;
  return type_from_spec_once(type, result_spec);
}

const ClassRegistration metadata_registration(ClassSlot::NativeContinuousBinningMetadata,
                                              continuous_binning_metadata_type);
const ClassRegistration summary_registration(ClassSlot::NativeTrainingSummary, training_summary_type);
const ClassRegistration result_registration(ClassSlot::NativeTrainingResult, training_result_type);
const ClassRegistration diagnostics_registration(ClassSlot::NativeIterationDiagnostics, iteration_diagnostics_type);

}  // namespace

PyObject* new_training_result(TrainingResultRecord record) {
  return new_record_object(training_result_type, "NativeTrainingResult", std::move(record));
}

PyObject* new_training_summary(TrainingSummaryRecord record) {
  return new_record_object(training_summary_type, "NativeTrainingSummary", std::move(record));
}

PyObject* new_continuous_binning_metadata(ContinuousBinningMetadataInternal record) {
  return new_record_object(continuous_binning_metadata_type, "NativeContinuousBinningMetadata", std::move(record));
}

PyObject* new_iteration_diagnostics(IterationDiagnosticsRecord record) {
  return new_record_object(iteration_diagnostics_type, "NativeIterationDiagnostics", std::move(record));
}

}  // namespace kestrune::python
