// CLASS_FTPClient: the class made from its methods' signatures (see
// session/signature.h), as a class statement would make it.
#include "client_class.h"

#include <iterator>

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
const Method* const kMethods[] = {
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

Ref default_value(const Default& d) {
  switch (d.kind) {
    case Default::Kind::int_:
      return Ref::steal(PyLong_FromLong(d.integer));
    case Default::Kind::bool_:
      return Ref::borrow(d.integer ? Py_True : Py_False);
    case Default::Kind::str:
      return Ref::steal(PyUnicode_FromString(d.text));
    case Default::Kind::absent:
      break;
  }
  return Ref();
}

// __defaults__: the trailing parameters' defaults, or no tuple at all.
Ref make_defaults(const Method& m) {
  int first = m.spec.param_count;
  while (first > 0 && m.defaults[first - 1].kind != Default::Kind::absent) --first;
  if (first == m.spec.param_count) return Ref();
  Ref defaults = Ref::steal(PyTuple_New(m.spec.param_count - first));
  if (!defaults) return Ref();
  for (int i = first; i < m.spec.param_count; ++i) {
    Ref value = default_value(m.defaults[i]);
    if (!value) return Ref();
    PyTuple_SET_ITEM(defaults.get(), i - first, value.release());
  }
  return defaults;
}

// The value an annotation evaluates to.  `List[str]` is evaluated here, when
// the function is being made, from the module global List as it is then.
Ref annotation_value(Annotation ann, PyObject* globals, PyObject* builtins) {
  switch (ann) {
    case Annotation::str:
      return Ref::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    case Annotation::int_:
      return Ref::borrow(reinterpret_cast<PyObject*>(&PyLong_Type));
    case Annotation::bool_:
      return Ref::borrow(reinterpret_cast<PyObject*>(&PyBool_Type));
    case Annotation::none:
      return Ref::borrow(Py_None);
    case Annotation::list_str: {
      Ref list_name = Ref::steal(PyUnicode_InternFromString("List"));
      if (!list_name) return Ref();
      Ref list = load_global(globals, builtins, list_name.get());
      if (!list) return Ref();
      return Ref::steal(PyObject_GetItem(list.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    }
    case Annotation::absent:
      break;
  }
  return Ref();
}

// A dict of its own for every function: parameters in order, then "return",
// each annotation given by `value(ann)`.
template <class Value>
Ref annotation_dict(const Method& m, Value&& value) {
  Ref dict = Ref::steal(PyDict_New());
  if (!dict) return Ref();
  for (int i = 0; i < m.spec.param_count; ++i) {
    if (m.annotations[i] == Annotation::absent) continue;
    Ref v = value(m.annotations[i]);
    if (!v || PyDict_SetItemString(dict.get(), m.spec.params[i], v.get()) < 0) return Ref();
  }
  if (m.returns != Annotation::absent) {
    Ref v = value(m.returns);
    if (!v || PyDict_SetItemString(dict.get(), "return", v.get()) < 0) return Ref();
  }
  return dict;
}

Ref make_annotations(const Method& m, PyObject* globals, PyObject* builtins) {
  return annotation_dict(
      m, [&](Annotation ann) { return annotation_value(ann, globals, builtins); });
}

#if PY_VERSION_HEX >= 0x030E0000
// An annotation as its source text, as annotationlib's STRING format gives it.
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

Ref make_annotation_texts(const Method& m) {
  return annotation_dict(
      m, [](Annotation ann) { return Ref::steal(PyUnicode_FromString(annotation_text(ann))); });
}

bool has_annotations(const Method& m) {
  if (m.returns != Annotation::absent) return true;
  for (int i = 0; i < m.spec.param_count; ++i) {
    if (m.annotations[i] != Annotation::absent) return true;
  }
  return false;
}

// A method's __annotate__(format), as the compiler makes one: VALUE and
// FORWARDREF evaluate the annotations now, from the module globals (every
// name they use is the module's own), STRING gives them as written; other
// formats raise NotImplementedError, which annotationlib understands.  Its
// state is the method's index in kMethods.
PyObject* annotate_body(const Call& c) {
  enum { kValue = 1, kForwardRef = 3, kString = 4 };  // annotationlib.Format
  long format = PyLong_AsLong(c.arg(0));
  if (format == -1 && PyErr_Occurred()) return nullptr;
  const Method& m = *kMethods[PyLong_AsSsize_t(c.state())];
  if (format == kValue || format == kForwardRef) {
    return make_annotations(m, c.globals(), c.builtins()).release();
  }
  if (format == kString) return make_annotation_texts(m).release();
  PyErr_SetNone(PyExc_NotImplementedError);
  return nullptr;
}

const FunctionSpec kAnnotateSpec = {"__annotate__", annotate_body, 1, {"format"}};

Ref make_annotate(Py_ssize_t index_in_class, PyObject* qualname, PyObject* globals,
                  PyObject* names) {
  if (!has_annotations(*kMethods[index_in_class])) return Ref();
  Ref index = Ref::steal(PyLong_FromSsize_t(index_in_class));
  if (!index) return Ref();
  Ref annotate_qualname = Ref::steal(PyUnicode_FromFormat("%U.__annotate__", qualname));
  if (!annotate_qualname) return Ref();
  return new_function(&kAnnotateSpec, annotate_qualname.get(), globals, names, index.get(),
                      nullptr, nullptr, nullptr);
}
#endif

Ref make_doc(const char* text) {
  if (text == nullptr) return Ref::borrow(Py_None);
  return Ref::steal(PyUnicode_FromFormat("\n        %s\n        ", text));
}

bool add_method(Py_ssize_t index_in_class, PyObject* namespace_dict, PyObject* globals,
                PyObject* builtins, PyObject* names, PyObject* state) {
  const Method& m = *kMethods[index_in_class];
  Ref defaults = make_defaults(m);
  if (!defaults && PyErr_Occurred()) return false;
  Ref annotations = make_annotations(m, globals, builtins);
  if (!annotations) return false;
  Ref doc = make_doc(m.doc);
  if (!doc) return false;
  Ref qualname = Ref::steal(PyUnicode_FromFormat("%s.%s", kClassName, m.spec.name));
  if (!qualname) return false;
  Ref annotate;
#if PY_VERSION_HEX >= 0x030E0000
  annotate = make_annotate(index_in_class, qualname.get(), globals, names);
  if (!annotate && PyErr_Occurred()) return false;
#endif
  Ref function = new_function(&m.spec, qualname.get(), globals, names, state, doc.get(),
                              defaults.get(), annotations.get(), annotate.get());
  return function && PyDict_SetItemString(namespace_dict, m.spec.name, function.get()) == 0;
}

}  // namespace

Ref create_client_class(PyObject* globals, PyObject* builtins, PyObject* names,
                        PyObject* state) {
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
  for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(std::size(kMethods)); ++i) {
    if (!add_method(i, namespace_dict.get(), globals, builtins, names, state)) return Ref();
  }
  Ref bases = Ref::steal(PyTuple_New(0));
  if (!bases) return Ref();
  return call(reinterpret_cast<PyObject*>(&PyType_Type),
              {class_name.get(), bases.get(), namespace_dict.get()});
}

}  // namespace quorvan
