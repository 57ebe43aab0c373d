// CLASS_FTPClient: the class made from its methods' signatures (see
// session/signature.h), as a class statement would make it.  Each method is
// a Python function compiled from its signature, whose code hands the
// arguments to the C++ body (runtime/function.h).
#include "client_class.h"

#include <array>
#include <cstdarg>
#include <iterator>
#include <utility>

#include "runtime/function.h"
#include "runtime/globals.h"
#include "runtime/objects.h"
#include "session/session.h"

namespace quorvan {

namespace {

constexpr const char kClassName[] = "CLASS_FTPClient";

using session::Annotation;
using session::Default;
using session::Method;

// In the order they stand in the class body; each signature is defined
// beside its body.
constexpr const Method* kMethods[] = {
    &session::kInit,
    &session::kOpen,
    &session::kClose,
    &session::kKeepAlive,
    &session::kCheckAlive,
    &session::kOnKeepAliveTimer,
    &session::kStartKeepAliveTimer,
    &session::kStopKeepAliveTimer,
    &session::kChangeDir,
    &session::kGetCurrentDir,
    &session::kListFiles,
    &session::kMakeDir,
    &session::kRemoveDir,
    &session::kDeleteFile,
    &session::kRenameFile,
    &session::kFileExists,
    &session::kDownloadFile,
    &session::kUploadFile,
    &session::kIsConnected,
};

constexpr std::size_t kMethodCount = std::size(kMethods);

// Each method's body built-in: a C entry per method, so that the built-in's
// self can be the name table alone.
template <std::size_t I>
PyObject* body_entry(PyObject* name_table, PyObject* const* args, Py_ssize_t nargs) {
  return call_body(kMethods[I]->spec, name_table, args, nargs);
}

template <std::size_t... I>
std::array<PyMethodDef, sizeof...(I)> make_body_defs(std::index_sequence<I...>) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wcast-function-type"
  return {{{kMethods[I]->spec.name, reinterpret_cast<PyCFunction>(body_entry<I>), METH_FASTCALL,
            nullptr}...}};
#pragma GCC diagnostic pop
}

// Plain data, the same for every module instance, made once.
PyMethodDef* body_def(std::size_t index) {
  static std::array<PyMethodDef, kMethodCount> defs =
      make_body_defs(std::make_index_sequence<kMethodCount>{});
  return &defs[index];
}

// An annotation as written in the class body.
const char* annotation_text(Annotation ann) {
  switch (ann) {
    case Annotation::str:
      return "str";
    case Annotation::int_:
      return "int";
    case Annotation::bool_:
      return "bool";
    case Annotation::none:
      return "None";
    case Annotation::list_str:
      return "List[str]";
    case Annotation::absent:
      break;
  }
  return nullptr;
}

// A default as written in the class body.
Ref default_text(const Default& d) {
  switch (d.kind) {
    case Default::Kind::int_:
      return Ref::steal(PyUnicode_FromFormat("%ld", d.integer));
    case Default::Kind::bool_:
      return Ref::steal(PyUnicode_FromString(d.integer ? "True" : "False"));
    case Default::Kind::str: {
      Ref text = Ref::steal(PyUnicode_FromString(d.text));
      if (!text) return Ref();
      return Ref::steal(PyObject_Repr(text.get()));
    }
    case Default::Kind::absent:
      break;
  }
  return Ref::steal(PyUnicode_FromString(""));
}

bool append_text(PyObject* parts, PyObject* text) {
  return text != nullptr && PyList_Append(parts, text) == 0;
}

bool append_format(PyObject* parts, const char* format, ...) {
  va_list vargs;
  va_start(vargs, format);
  Ref text = Ref::steal(PyUnicode_FromFormatV(format, vargs));
  va_end(vargs);
  return append_text(parts, text.get());
}

// The method as its class body would define it, its body handing the
// parameters on in order:
//     def CUF_Open(self, Ps_Host: str, Pi_Port: int = 21, ...) -> bool:
//         body = <the body built-in, linked in later>
//         return body(self, Ps_Host, Pi_Port, ...)
bool append_method_source(PyObject* parts, const Method& m) {
  if (!append_format(parts, "    def %s(", m.spec.name)) return false;
  for (int i = 0; i < m.spec.param_count; ++i) {
    const char* ann = annotation_text(m.annotations[i]);
    Ref value = default_text(m.defaults[i]);
    if (!value) return false;
    bool has_default = m.defaults[i].kind != Default::Kind::absent;
    if (!append_format(parts, "%s%s%s%s%s%U", i == 0 ? "" : ", ", m.spec.params[i],
                       ann != nullptr ? ": " : "", ann != nullptr ? ann : "",
                       !has_default ? "" : ann != nullptr ? " = " : "=", value.get())) {
      return false;
    }
  }
  const char* returns = annotation_text(m.returns);
  if (!append_format(parts, ")%s%s:\n        %s = '%s'\n        return %s(", returns ? " -> " : "",
                     returns ? returns : "", kBodyLocal, kBodyPlaceholder, kBodyLocal)) {
    return false;
  }
  for (int i = 0; i < m.spec.param_count; ++i) {
    if (!append_format(parts, "%s%s", i == 0 ? "" : ", ", m.spec.params[i])) return false;
  }
  return append_format(parts, ")\n");
}

Ref class_source() {
  Ref parts = Ref::steal(PyList_New(0));
  if (!parts || !append_format(parts.get(), "class %s:\n", kClassName)) return Ref();
  for (const Method* m : kMethods) {
    if (!append_method_source(parts.get(), *m)) return Ref();
  }
  Ref empty = Ref::steal(PyUnicode_FromString(""));
  if (!empty) return Ref();
  return Ref::steal(PyUnicode_Join(empty.get(), parts.get()));
}

// The docstring as the class body holds it, indented (a function's __doc__
// keeps it so on every version).
Ref make_doc(const char* text) {
  if (text == nullptr) return Ref::borrow(Py_None);
  return Ref::steal(PyUnicode_FromFormat("\n        %s\n        ", text));
}

// The function the class statement made, linked to its body and given its
// docstring.
bool add_method(std::size_t index, PyObject* made, PyObject* namespace_dict, PyObject* names) {
  const Method& m = *kMethods[index];
  Ref function = Ref::steal(PyMapping_GetItemString(made, m.spec.name));
  if (!function || !link_body(function.get(), body_def(index), names)) return false;
  Ref doc = make_doc(m.doc);
  return doc && PyObject_SetAttrString(function.get(), "__doc__", doc.get()) == 0 &&
         PyDict_SetItemString(namespace_dict, m.spec.name, function.get()) == 0;
}

}  // namespace

Ref create_client_class(PyObject* globals, PyObject* builtins, PyObject* names) {
  // The methods as a class statement makes them (defaults, annotations, and
  // from 3.14 __annotate__, all as the compiler gives them), in a class of
  // its own that is then dropped.
  Ref source = class_source();
  if (!source) return Ref();
  Ref made = run_class_statement(source.get(), kClassName, globals);
  if (!made) return Ref();
  Ref namespace_dict = Ref::steal(PyDict_New());
  if (!namespace_dict) return Ref();
  // __module__ = __name__, resolved as a class body resolves names.
  Ref module_name = load_global(globals, builtins, name_at(names, RuntimeName::dunder_name));
  if (!module_name ||
      PyDict_SetItemString(namespace_dict.get(), "__module__", module_name.get()) < 0) {
    return Ref();
  }
  Ref class_name = Ref::steal(PyUnicode_FromString(kClassName));
  if (!class_name ||
      PyDict_SetItemString(namespace_dict.get(), "__qualname__", class_name.get()) < 0) {
    return Ref();
  }
  for (std::size_t i = 0; i < kMethodCount; ++i) {
    if (!add_method(i, made.get(), namespace_dict.get(), names)) return Ref();
  }
  Ref bases = Ref::steal(PyTuple_New(0));
  if (!bases) return Ref();
  return call(reinterpret_cast<PyObject*>(&PyType_Type),
              {class_name.get(), bases.get(), namespace_dict.get()});
}

}  // namespace quorvan
