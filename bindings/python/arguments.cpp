#include "arguments.hpp"

#include <cstring>

#include "support/panic.hpp"

namespace kestrune::python {
namespace {

std::string_view trim(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

// Splits the parameter list at top-level commas (a default may be a quoted string).
std::vector<std::string_view> split_parameters(std::string_view list) {
  std::vector<std::string_view> items;
  std::size_t start = 0;
  char quote = 0;
  for (std::size_t i = 0; i < list.size(); ++i) {
    const char c = list[i];
    if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == ',') {
      items.push_back(trim(list.substr(start, i - start)));
      start = i + 1;
    }
  }
  const std::string_view last = trim(list.substr(start));
  if (!last.empty() || !items.empty()) items.push_back(last);
  return items;
}

std::string join_missing_names(const std::vector<std::string>& names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) text += ',';
      text += (i + 1 == names.size()) ? " and " : " ";
    }
    text += '\'';
    text += names[i];
    text += '\'';
  }
  return text;
}

// The UTF-8 form of a keyword name, or nullopt when it has none (it then matches nothing).
std::optional<std::string_view> keyword_text(PyObject* name) {
  if (!PyUnicode_Check(name)) return std::nullopt;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &size);
  if (text == nullptr) {
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string_view(text, static_cast<std::size_t>(size));
}

}  // namespace

Signature::Signature(std::string_view doc, const char* owner) {
  const std::size_t open = doc.find('(');
  const std::size_t close = doc.find(")\n--\n\n");
  support::invariant(open != std::string_view::npos && close != std::string_view::npos && open < close,
                     "documentation starts with a text signature");
  name_ = std::string(doc.substr(0, open));
  display_name_ = owner != nullptr ? std::string(owner) + "." + name_ + "()" : name_ + "()";
  std::vector<std::string_view> items = split_parameters(doc.substr(open + 1, close - open - 1));
  if (!items.empty() && items.front() == "$self") {
    support::invariant(owner != nullptr, "a method signature names its class");
    items.erase(items.begin());
  }
  bool seen_default = false;
  for (std::string_view item : items) {
    Parameter parameter;
    const std::size_t equals = item.find('=');
    parameter.name = std::string(equals == std::string_view::npos ? item : item.substr(0, equals));
    if (equals != std::string_view::npos) parameter.default_text = std::string(item.substr(equals + 1));
    support::invariant(!parameter.name.empty(), "parameter names are not empty");
    support::invariant(equals == std::string_view::npos || !parameter.default_text.empty(),
                       "a default is not empty");
    if (parameter.required()) {
      support::invariant(!seen_default, "required parameters come before the defaulted ones");
      ++required_count_;
    } else {
      seen_default = true;
    }
    parameters_.push_back(std::move(parameter));
  }
}

std::size_t Signature::index_of(std::string_view name) const {
  for (std::size_t i = 0; i < parameters_.size(); ++i) {
    if (parameters_[i].name == name) return i;
  }
  support::panic("parameter '" + std::string(name) + "' is not in the signature of " + display_name_);
}

Arguments Signature::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const {
  if (nargs < 0) support::panic("negative positional argument count");
  const auto count = static_cast<std::size_t>(nargs);
  std::vector<std::pair<PyObject*, PyObject*>> keywords;
  if (kwnames != nullptr) {
    const Py_ssize_t size = PyTuple_Size(kwnames);
    if (size < 0) throw PythonErrorSet{};
    keywords.reserve(static_cast<std::size_t>(size));
    for (Py_ssize_t i = 0; i < size; ++i) {
      keywords.emplace_back(check(PyTuple_GetItem(kwnames, i)), args[count + static_cast<std::size_t>(i)]);
    }
  }
  return bind_pairs(args, count, keywords);
}

Arguments Signature::bind(PyObject* args, PyObject* kwargs) const {
  const Py_ssize_t size = PyTuple_Size(args);
  if (size < 0) throw PythonErrorSet{};
  std::vector<PyObject*> positional;
  positional.reserve(static_cast<std::size_t>(size));
  for (Py_ssize_t i = 0; i < size; ++i) positional.push_back(check(PyTuple_GetItem(args, i)));
  std::vector<std::pair<PyObject*, PyObject*>> keywords;
  if (kwargs != nullptr) {
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &position, &key, &value)) keywords.emplace_back(key, value);
  }
  return bind_pairs(positional.data(), positional.size(), keywords);
}

Arguments Signature::bind_pairs(PyObject* const* positional, std::size_t count,
                                const std::vector<std::pair<PyObject*, PyObject*>>& keywords) const {
  const std::size_t total = parameters_.size();
  if (count > total) {
    const char* was = count == 1 ? "was" : "were";
    if (required_count_ == total) {
      PyErr_Format(PyExc_TypeError, "%s takes %zu positional %s but %zu %s given", display_name_.c_str(), total,
                   total == 1 ? "argument" : "arguments", count, was);
    } else {
      PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zu %s given",
                   display_name_.c_str(), required_count_, total, count, was);
    }
    throw PythonErrorSet{};
  }
  std::vector<PyObject*> values(total, nullptr);
  for (std::size_t i = 0; i < count; ++i) values[i] = positional[i];

  for (const auto& [name, value] : keywords) {
    const std::optional<std::string_view> text = keyword_text(name);
    std::size_t index = total;
    if (text) {
      for (std::size_t i = 0; i < total; ++i) {
        if (parameters_[i].name == *text) {
          index = i;
          break;
        }
      }
    }
    if (index == total) {
      PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", display_name_.c_str(), name);
      throw PythonErrorSet{};
    }
    if (values[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%U'", display_name_.c_str(), name);
      throw PythonErrorSet{};
    }
    values[index] = value;
  }

  std::vector<std::string> missing;
  for (std::size_t i = 0; i < required_count_; ++i) {
    if (values[i] == nullptr) missing.push_back(parameters_[i].name);
  }
  if (!missing.empty()) {
    const std::string names = join_missing_names(missing);
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional %s: %s", display_name_.c_str(),
                 missing.size(), missing.size() == 1 ? "argument" : "arguments", names.c_str());
    throw PythonErrorSet{};
  }
  return Arguments(*this, std::move(values));
}

std::size_t Arguments::claim(std::string_view name, Use use) {
  const std::size_t index = signature_->index_of(name);
  support::invariant(index >= next_index_, "arguments are converted in declaration order");
  next_index_ = index + 1;
  const Parameter& parameter = signature_->parameters()[index];
  switch (use) {
    case Use::Required:
      support::invariant(parameter.required(), "a required conversion names a required parameter");
      break;
    case Use::Optional:
      support::invariant(parameter.required() || parameter.none_is_omitted() || parameter.hidden_default(),
                         "an optional conversion names a parameter whose default is None");
      break;
    case Use::Defaulted:
      support::invariant(!parameter.required() && !parameter.none_is_omitted(),
                         "a defaulted conversion names a parameter with a default other than None");
      break;
  }
  return index;
}

PyObject* Arguments::raw(std::string_view name) {
  const std::size_t index = signature_->index_of(name);
  support::invariant(index >= next_index_, "arguments are converted in declaration order");
  next_index_ = index + 1;
  return values_[index];
}

void Arguments::fail_conversion(std::size_t index) {
  // The failed conversion's exception, whatever its origin, becomes the interpreter's current
  // exception; then it receives the note and travels on unchanged.
  raise_current_exception();
  add_note_to_current_exception("while processing '" + signature_->parameters()[index].name + "'");
  throw PythonErrorSet{};
}

}  // namespace kestrune::python
