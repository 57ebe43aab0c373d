#include "runtime/suggestions.h"

#include <algorithm>
#include <cstddef>

namespace quorvan {

namespace {

// The interpreter's limits: past them it offers no suggestion.
constexpr Py_ssize_t kMaxCandidates = 750;
constexpr std::size_t kMaxStringSize = 40;
constexpr std::size_t kMoveCost = 2;
constexpr std::size_t kCaseCost = 1;

std::size_t substitution_cost(unsigned char a, unsigned char b) {
  if ((a & 31) != (b & 31)) return kMoveCost;  // neither equal nor a case flip
  if (a == b) return 0;
  if ('A' <= a && a <= 'Z') a += 'a' - 'A';
  if ('A' <= b && b <= 'Z') b += 'a' - 'A';
  return a == b ? kCaseCost : kMoveCost;
}

// The distance, or anything above max_cost once it is certain to exceed it.
std::size_t distance(const char* a, std::size_t a_size, const char* b, std::size_t b_size,
                     std::size_t max_cost) {
  while (a_size != 0 && b_size != 0 && a[0] == b[0]) {
    ++a, ++b, --a_size, --b_size;
  }
  while (a_size != 0 && b_size != 0 && a[a_size - 1] == b[b_size - 1]) {
    --a_size, --b_size;
  }
  if (a_size == 0 || b_size == 0) return (a_size + b_size) * kMoveCost;
  if (a_size > kMaxStringSize || b_size > kMaxStringSize) return max_cost + 1;
  if (b_size < a_size) {
    std::swap(a, b);
    std::swap(a_size, b_size);
  }
  if ((b_size - a_size) * kMoveCost > max_cost) return max_cost + 1;

  // One row of the edit matrix, updated in place: row[i] is the cost from
  // b[:b_index] to a[:i + 1].
  std::size_t row[kMaxStringSize];
  for (std::size_t i = 0; i < a_size; ++i) row[i] = (i + 1) * kMoveCost;
  std::size_t result = 0;
  for (std::size_t b_index = 0; b_index < b_size; ++b_index) {
    const unsigned char code = static_cast<unsigned char>(b[b_index]);
    std::size_t diagonal = result = b_index * kMoveCost;
    std::size_t minimum = static_cast<std::size_t>(-1);
    for (std::size_t i = 0; i < a_size; ++i) {
      std::size_t substitute = diagonal + substitution_cost(code, static_cast<unsigned char>(a[i]));
      diagonal = row[i];
      std::size_t insert_delete = std::min(result, diagonal) + kMoveCost;
      result = std::min(insert_delete, substitute);
      row[i] = result;
      minimum = std::min(minimum, result);
    }
    if (minimum > max_cost) return max_cost + 1;  // the whole row is too dear
  }
  return result;
}

}  // namespace

Ref closest_name(PyObject* candidates, PyObject* name) {
  const Py_ssize_t count = PyTuple_GET_SIZE(candidates);
  if (count >= kMaxCandidates) return Ref();
  Py_ssize_t name_size;
  const char* name_text = PyUnicode_AsUTF8AndSize(name, &name_size);
  if (name_text == nullptr) {
    PyErr_Clear();  // e.g. a lone surrogate: the plain message, as the interpreter gives
    return Ref();
  }
  PyObject* best = nullptr;
  std::size_t best_distance = static_cast<std::size_t>(-1);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GET_ITEM(candidates, i);
    Py_ssize_t item_size;
    const char* item_text = PyUnicode_AsUTF8AndSize(item, &item_size);
    if (item_text == nullptr) {
      PyErr_Clear();
      return Ref();
    }
    if (item_size == name_size && std::equal(name_text, name_text + name_size, item_text)) {
      continue;  // the name itself is no suggestion
    }
    // No more than a third of the characters involved may change, and a
    // candidate must beat the best one so far.
    std::size_t max_distance = static_cast<std::size_t>(name_size + item_size + 3) * kMoveCost / 6;
    if (best != nullptr) max_distance = std::min(max_distance, best_distance - 1);
    std::size_t d = distance(name_text, static_cast<std::size_t>(name_size), item_text,
                             static_cast<std::size_t>(item_size), max_distance);
    if (d > max_distance) continue;
    best = item;
    best_distance = d;
  }
  return Ref::borrow(best);
}

}  // namespace quorvan
