// The one argument binder of every function, method and constructor of the module.
//
// A `Signature` is read from the text signature at the head of the documentation string
// ("name(a, b, c=None, d=1)\n--\n\n"), so the names, order and defaults that `inspect.signature`
// shows are the ones the binder uses. Every parameter is positional-or-keyword. Binding follows
// CPython's rules and wording:
//   "{f}() takes {n} positional arguments but {m} {was|were} given"
//   "{f}() takes from {required} to {n} positional arguments but {m} {was|were} given"
//   "{f}() got an unexpected keyword argument '{k}'"
//   "{f}() got multiple values for argument '{k}'"
//   "{f}() missing {count} required positional argument(s): 'a', 'b', and 'c'"
// where {f} is the function name, or "Class.method" for methods.
//
// The bound `Arguments` are then converted by the body, parameter by parameter, strictly in
// declaration order (the first failure ends the call, and a conversion that goes back in the
// order is a programming error). A conversion failure keeps its exception and receives the note
// "while processing '{name}'". A parameter whose default is None treats None as omitted; every
// other parameter converts None like any value, so its kind refuses it. A default shown as "..."
// may stand for either, as the body's conversion says.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "errors.hpp"
#include "python.hpp"

namespace kestrune::python {

struct Parameter {
  std::string name;
  // The default as the signature shows it ("None", "True", "...", "\"auto\""); empty when the
  // parameter is required.
  std::string default_text;

  bool required() const { return default_text.empty(); }
  bool none_is_omitted() const { return default_text == "None"; }
  // A default the signature shows as "...": either a value the body supplies or None taken as
  // omitted, so both optional and defaulted conversions may name it.
  bool hidden_default() const { return default_text == "..."; }
};

class Arguments;

class Signature {
 public:
  // `doc` starts with the text signature; `owner` is the class name for methods (whose
  // signature starts with "$self"), or null.
  Signature(std::string_view doc, const char* owner);

  const std::string& name() const { return name_; }
  // "f()" or "Class.f()", as binding messages name the callable.
  const std::string& display_name() const { return display_name_; }
  const std::vector<Parameter>& parameters() const { return parameters_; }
  std::size_t required_count() const { return required_count_; }
  // Index of `name`; a name the signature lacks is a programming error (panic).
  std::size_t index_of(std::string_view name) const;

  // Binds a vectorcall-style argument list (positional values, then one value per keyword name).
  Arguments bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) const;
  // Binds a tuple of positional values and an optional dict of keywords (type constructors).
  Arguments bind(PyObject* args, PyObject* kwargs) const;

 private:
  Arguments bind_pairs(PyObject* const* positional, std::size_t count,
                       const std::vector<std::pair<PyObject*, PyObject*>>& keywords) const;

  std::string name_;
  std::string display_name_;
  std::vector<Parameter> parameters_;
  std::size_t required_count_ = 0;
};

class Arguments {
 public:
  Arguments(const Signature& signature, std::vector<PyObject*> values)
      : signature_(&signature), values_(std::move(values)) {}

  // A required parameter.
  template <typename Convert>
  auto required(std::string_view name, Convert&& convert) {
    const std::size_t index = claim(name, Use::Required);
    return convert_at(index, convert);
  }

  // A parameter whose default is None, or a required one that accepts None: absent when omitted
  // or None.
  template <typename Convert>
  auto optional(std::string_view name, Convert&& convert)
      -> std::optional<std::invoke_result_t<Convert&, PyObject*>> {
    const std::size_t index = claim(name, Use::Optional);
    PyObject* value = values_[index];
    if (value == nullptr || value == Py_None) return std::nullopt;
    return convert_at(index, convert);
  }

  // A parameter with a default other than None: `fallback` when omitted; None is converted (and
  // refused by its kind).
  template <typename Convert, typename T>
  auto value_or(std::string_view name, Convert&& convert, T fallback)
      -> std::invoke_result_t<Convert&, PyObject*> {
    const std::size_t index = claim(name, Use::Defaulted);
    if (values_[index] == nullptr) return fallback;
    return convert_at(index, convert);
  }

  // The bound object (borrowed), or null when omitted; claims the parameter like a conversion.
  PyObject* raw(std::string_view name);

 private:
  enum class Use { Required, Optional, Defaulted };

  std::size_t claim(std::string_view name, Use use);
  [[noreturn]] void fail_conversion(std::size_t index);

  template <typename Convert>
  auto convert_at(std::size_t index, Convert& convert) -> std::invoke_result_t<Convert&, PyObject*> {
    try {
      return convert(values_[index]);
    } catch (...) {
      fail_conversion(index);
    }
  }

  const Signature* signature_;
  std::vector<PyObject*> values_;  // borrowed from the caller; null for an omitted parameter
  std::size_t next_index_ = 0;
};

}  // namespace kestrune::python
