#include "registry.hpp"

#include <algorithm>
#include <vector>

#include "support/panic.hpp"

namespace kestrune::python {
namespace {

// Function-local so that registrations from any file's static initialisation find them built.
std::vector<RegisteredClass>& class_table() {
  static std::vector<RegisteredClass> table;
  return table;
}

std::vector<RegisteredFunction>& function_table() {
  static std::vector<RegisteredFunction> table;
  return table;
}

template <typename Entry>
std::vector<Entry> in_position_order(std::vector<Entry> entries) {
  std::stable_sort(entries.begin(), entries.end(),
                   [](const Entry& a, const Entry& b) { return a.slot < b.slot; });
  for (std::size_t i = 1; i < entries.size(); ++i) {
    support::invariant(entries[i - 1].slot != entries[i].slot, "one registration per module position");
  }
  return entries;
}

}  // namespace

ClassRegistration::ClassRegistration(ClassSlot slot, TypeFactory factory) {
  class_table().push_back({slot, factory});
}

FunctionRegistration::FunctionRegistration(FunctionSlot slot, PyMethodDef* definition) {
  function_table().push_back({slot, definition});
}

std::vector<RegisteredClass> registered_classes() { return in_position_order(class_table()); }
std::vector<RegisteredFunction> registered_functions() { return in_position_order(function_table()); }

}  // namespace kestrune::python
