// Each callable's parameters, declared once in a table, in the manner of
// CPython's Argument Clinic: a parameter's name, the conversion of its
// argument, the field of the record it fills and, for an optional parameter,
// its default. Everything else follows from the table: the binder's
// signature, the number of argument slots, the reading of the arguments in
// declaration order, and the text signature Python shows, built at compile
// time from the names and the defaults themselves.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>

#include "lib/arguments.h"

namespace corvane::py {

// A parameter without a default. `convert(object, name)` returns the field's
// value, or an empty optional with the exception set.
template <class Record, class Field, class Convert>
struct Required {
  using RecordType = Record;
  const char* name;
  Field Record::*field;
  Convert convert;
};

// A parameter that takes `fallback` when its argument is left out.
template <class Record, class Field, class Convert>
struct Defaulted : Required<Record, Field, Convert> {
  Field fallback;
};

template <class Record, class Field, class Convert>
consteval Required<Record, Field, Convert> required(const char* name, Field Record::*field, Convert convert) {
  return {name, field, convert};
}

template <class Record, class Field, class Convert>
consteval Defaulted<Record, Field, Convert> defaulted(const char* name, Field Record::*field, Convert convert,
                                                      std::type_identity_t<Field> fallback) {
  return {{name, field, convert}, fallback};
}

namespace parameter_table_detail {

consteval bool same_text(const char* a, const char* b) {
  for (; *a != '\0' && *a == *b; ++a, ++b) {
  }
  return *a == *b;
}

// Text of a fixed capacity, written at compile time.
template <std::size_t Capacity>
struct Text {
  char chars[Capacity] = {};
  std::size_t size = 0;

  consteval void put(char c) {
    if (size + 1 >= Capacity) throw "text longer than its capacity";  // not a constant expression: no build
    chars[size++] = c;
  }
  consteval void put(const char* text) {
    while (*text != '\0') put(*text++);
  }
  consteval void put_digits(std::uint64_t value, std::size_t at_least = 1) {
    char digits[20] = {};
    std::size_t count = 0;
    do {
      digits[count++] = static_cast<char>('0' + value % 10);
      value /= 10;
    } while (value != 0 || count < at_least);
    while (count > 0) put(digits[--count]);
  }
  // A default as Python's repr() shows it: an integer in decimal; a float
  // (from 1e-4 up, where repr() writes no exponent) with the fewest
  // decimals, at least one, that read back as exactly its value. Reading
  // back is the division of two integers below 2^53, which rounds as
  // parsing the decimal does; a default it cannot show does not build.
  template <class T>
  consteval void put_default(T value) {
    if constexpr (std::is_integral_v<T>) {
      static_assert(std::is_unsigned_v<T>, "only unsigned integer defaults are shown");
      put_digits(value);
    } else {
      if (!(value >= 0.0 && value < 0x1p52)) throw "a float default outside [0, 2^52)";
      double power = 1.0;
      for (std::size_t decimals = 1; decimals <= 15; ++decimals) {
        power *= 10.0;
        const auto scaled = static_cast<std::uint64_t>(value * power + 0.5);
        if (scaled < (std::uint64_t{1} << 53) && static_cast<double>(scaled) / power == value) {
          const auto whole = static_cast<std::uint64_t>(power);
          put_digits(scaled / whole);
          put('.');
          put_digits(scaled % whole, decimals);
          return;
        }
      }
      throw "a float default with more than 15 decimals";
    }
  }
  constexpr const char* c_str() const noexcept { return chars; }
};

using SignatureText = Text<192>;

template <class Parameter>
inline constexpr bool kHasDefault = false;
template <class Record, class Field, class Convert>
inline constexpr bool kHasDefault<Defaulted<Record, Field, Convert>> = true;

template <class Field>
inline constexpr bool kOptional = false;
template <class T>
inline constexpr bool kOptional<std::optional<T>> = true;

}  // namespace parameter_table_detail

// The parameters of `class_name`.`function`(), in declaration order; every
// required one comes before every optional one. Declared as a constexpr
// variable, so that the texts are built as the program is compiled.
template <class RecordType, class... Parameters>
class ParameterTable {
 public:
  using Record = RecordType;
  static constexpr std::size_t kCount = sizeof...(Parameters);
  // One per parameter: the owned argument, or empty for a left-out optional one.
  using Slots = std::array<PyRef, kCount>;

  consteval ParameterTable(const char* class_name, const char* function, Parameters... parameters)
      : parameters_(parameters...), names_{parameters.name...} {
    static_assert(kCount >= 1, "a callable that takes no arguments needs no table");
    constexpr bool flags[] = {parameter_table_detail::kHasDefault<Parameters>...};
    for (std::size_t k = 0; k < kCount; ++k) {
      if (!flags[k]) {
        if (k != required_) throw "a required parameter after an optional one";
        ++required_;
      }
    }
    full_name_.put(class_name);
    full_name_.put('.');
    full_name_.put(function);
    full_name_.put("()");
    // A constructor's text signature; a method's docstring, "name($self, ...)\n--\n\n".
    const bool method = !parameter_table_detail::same_text(function, "__new__");
    if (method) text_signature_.put(function);
    text_signature_.put(method ? "($self, " : "(");
    std::size_t k = 0;
    (put_parameter(text_signature_, parameters, k++), ...);
    text_signature_.put(')');
    if (method) text_signature_.put("\n--\n\n");
  }

  constexpr Signature signature() const noexcept { return {full_name_.c_str(), names_.data(), kCount, required_}; }
  // The constructor's text signature, e.g. "(kmax=100)"; for a method, its
  // docstring, e.g. "solve($self, task)\n--\n\n".
  constexpr const char* text_signature() const noexcept { return text_signature_.c_str(); }

  // Binds the arguments of either calling convention into `slots`.
  bool bind(PyObject* args, PyObject* kwargs, Slots& slots) const {
    return bind_arguments(signature(), args, kwargs, slots.data());
  }
  bool bind(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Slots& slots) const {
    return bind_arguments(signature(), args, nargsf, kwnames, slots.data());
  }

  // visit(name, value) for every parameter, with its value in `record`, in
  // declaration order.
  template <class Visit>
  void visit(const Record& record, Visit&& visit) const {
    std::apply([&](const Parameters&... parameter) { (visit(parameter.name, record.*parameter.field), ...); },
               parameters_);
  }

  // Converts the bound arguments into `record`, one after another in
  // declaration order; false, with the exception set, at the first failure.
  bool read(const Slots& slots, Record& record) const {
    return std::apply(
        [&](const Parameters&... parameter) {
          std::size_t k = 0;
          return (read_one(parameter, slots[k++].get(), record) && ...);
        },
        parameters_);
  }

 private:
  template <class Parameter>
  static consteval void put_parameter(parameter_table_detail::SignatureText& text, const Parameter& parameter,
                                      std::size_t k) {
    if (k > 0) text.put(", ");
    text.put(parameter.name);
    if constexpr (parameter_table_detail::kHasDefault<Parameter>) {
      text.put('=');
      text.put_default(parameter.fallback);
    }
  }

  template <class Parameter>
  static bool read_one(const Parameter& parameter, PyObject* argument, Record& record) {
    if constexpr (parameter_table_detail::kHasDefault<Parameter>) {
      if (argument == nullptr) {
        record.*parameter.field = parameter.fallback;
        return true;
      }
    }
    auto value = parameter.convert(argument, parameter.name);
    if (!value) return false;
    auto& field = record.*parameter.field;
    if constexpr (parameter_table_detail::kOptional<std::remove_reference_t<decltype(field)>>) {
      field.emplace(std::move(*value));  // a borrow or a view: constructed in place, never assigned
    } else {
      field = *value;
    }
    return true;
  }

  std::tuple<Parameters...> parameters_;
  std::array<const char*, kCount> names_;
  std::size_t required_ = 0;
  parameter_table_detail::Text<96> full_name_;
  parameter_table_detail::SignatureText text_signature_;
};

template <class... Parameters>
ParameterTable(const char*, const char*, Parameters...)
    -> ParameterTable<typename std::tuple_element_t<0, std::tuple<Parameters...>>::RecordType, Parameters...>;

}  // namespace corvane::py
