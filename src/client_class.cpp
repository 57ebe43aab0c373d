// CLASS_FTPClient: its nineteen functions with their parameters, defaults,
// annotations and docstrings, in the order they stand in the class body.
#include "client_class.h"

#include "runtime/function.h"
#include "runtime/globals.h"
#include "runtime/objects.h"
#include "session/session.h"

namespace quorvan {

namespace {

constexpr const char kClassName[] = "CLASS_FTPClient";

// An annotation as written in the class body.
enum class Ann { absent, str, int_, bool_, none, list_str };

enum class Defaults { none, open, keep_alive_interval, block_size };

struct Method {
  FunctionSpec spec;
  Ann params[kMaxParams];  // per parameter; self is never annotated
  Ann returns;
  Defaults defaults;
  const char* doc;  // the text between the docstring's indentation, or null
};

using A = Ann;
namespace s = session;

const Method kMethods[] = {
    {{"__init__", s::init, 1, {"self"}}, {}, A::absent, Defaults::none, nullptr},
    {{"CUF_Open", s::open, 9,
      {"self", "Pms_Host", "Pmi_Port", "Pms_User", "Pms_Password", "Pmi_Timeout", "Pmb_Passive",
       "Pms_Encoding", "Pmi_KeepAliveInterval"}},
     {A::absent, A::str, A::int_, A::str, A::str, A::int_, A::bool_, A::str, A::int_},
     A::bool_, Defaults::open, "開啟 FTP 連線並啟動 KeepAlive Timer"},
    {{"CUF_Close", s::close, 1, {"self"}}, {}, A::none, Defaults::none,
     "關閉 FTP 連線並停止 KeepAlive"},
    {{"CUF_KeepAlive", s::keep_alive, 1, {"self"}}, {}, A::bool_, Defaults::none,
     "傳送 NOOP\uFF0C避免 FTP Server timeout"},
    {{"CUF_CheckAlive", s::check_alive, 1, {"self"}}, {}, A::bool_, Defaults::none,
     "檢查連線是否仍然存在"},
    {{"CUF__OnKeepAliveTimer", s::on_keep_alive_timer, 1, {"self"}}, {}, A::none,
     Defaults::none, nullptr},
    {{"CUF_StartKeepAliveTimer", s::start_keep_alive_timer, 2, {"self", "Pmi_Interval"}},
     {A::absent, A::int_}, A::none, Defaults::keep_alive_interval, nullptr},
    {{"CUF_StopKeepAliveTimer", s::stop_keep_alive_timer, 1, {"self"}}, {}, A::none,
     Defaults::none, nullptr},
    {{"CUF_ChangeDir", s::change_dir, 2, {"self", "Pms_Path"}}, {A::absent, A::str}, A::none,
     Defaults::none, nullptr},
    {{"CUF_GetCurrentDir", s::get_current_dir, 1, {"self"}}, {}, A::str, Defaults::none,
     nullptr},
    {{"CUF_ListFiles", s::list_files, 1, {"self"}}, {}, A::list_str, Defaults::none, nullptr},
    {{"CUF_MakeDir", s::make_dir, 2, {"self", "Pms_DirName"}}, {A::absent, A::str}, A::none,
     Defaults::none, nullptr},
    {{"CUF_RemoveDir", s::remove_dir, 2, {"self", "Pms_DirName"}}, {A::absent, A::str}, A::none,
     Defaults::none, nullptr},
    {{"CUF_DeleteFile", s::delete_file, 2, {"self", "Pms_FileName"}}, {A::absent, A::str},
     A::none, Defaults::none, nullptr},
    {{"CUF_RenameFile", s::rename_file, 3, {"self", "Pms_OldName", "Pms_NewName"}},
     {A::absent, A::str, A::str}, A::none, Defaults::none, nullptr},
    {{"CUF_FileExists", s::file_exists, 2, {"self", "Pms_FileName"}}, {A::absent, A::str},
     A::bool_, Defaults::none, nullptr},
    {{"CUF_DownloadFile", s::download_file, 4,
      {"self", "Pms_RemoteFile", "Pms_LocalFile", "Pmi_BlockSize"}},
     {A::absent, A::str, A::str, A::int_}, A::none, Defaults::block_size,
     "下載檔案\uFF08binary\uFF09"},
    {{"CUF_UploadFile", s::upload_file, 4,
      {"self", "Pms_LocalFile", "Pms_RemoteFile", "Pmi_BlockSize"}},
     {A::absent, A::str, A::str, A::int_}, A::none, Defaults::block_size,
     "上傳檔案\uFF08binary\uFF09"},
    {{"CUF_IsConnected", s::is_connected, 1, {"self"}}, {}, A::bool_, Defaults::none, nullptr},
};

Ref make_defaults(Defaults kind) {
  switch (kind) {
    case Defaults::none:
      return Ref();
    case Defaults::open:
      return Ref::steal(Py_BuildValue("(issiOsi)", 21, "", "", 10, Py_True, "utf-8", 30));
    case Defaults::keep_alive_interval:
      return Ref::steal(Py_BuildValue("(i)", 30));
    case Defaults::block_size:
      return Ref::steal(Py_BuildValue("(i)", 8192));
  }
  return Ref();
}

// The value an annotation evaluates to.  `List[str]` is evaluated here, when
// the function is being made, from the module global List as it is then.
Ref annotation_value(Ann ann, PyObject* globals, PyObject* builtins) {
  switch (ann) {
    case Ann::str:
      return Ref::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
    case Ann::int_:
      return Ref::borrow(reinterpret_cast<PyObject*>(&PyLong_Type));
    case Ann::bool_:
      return Ref::borrow(reinterpret_cast<PyObject*>(&PyBool_Type));
    case Ann::none:
      return Ref::borrow(Py_None);
    case Ann::list_str: {
      Ref list_name = Ref::steal(PyUnicode_InternFromString("List"));
      if (!list_name) return Ref();
      Ref list = load_global(globals, builtins, list_name.get());
      if (!list) return Ref();
      return Ref::steal(PyObject_GetItem(list.get(), reinterpret_cast<PyObject*>(&PyUnicode_Type)));
    }
    case Ann::absent:
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
    if (m.params[i] == Ann::absent) continue;
    Ref v = value(m.params[i]);
    if (!v || PyDict_SetItemString(dict.get(), m.spec.params[i], v.get()) < 0) return Ref();
  }
  if (m.returns != Ann::absent) {
    Ref v = value(m.returns);
    if (!v || PyDict_SetItemString(dict.get(), "return", v.get()) < 0) return Ref();
  }
  return dict;
}

Ref make_annotations(const Method& m, PyObject* globals, PyObject* builtins) {
  return annotation_dict(m, [&](Ann ann) { return annotation_value(ann, globals, builtins); });
}

#if PY_VERSION_HEX >= 0x030E0000
// An annotation as its source text, as annotationlib's STRING format gives it.
const char* annotation_text(Ann ann) {
  switch (ann) {
    case Ann::str:
      return "str";
    case Ann::int_:
      return "int";
    case Ann::bool_:
      return "bool";
    case Ann::none:
      return "None";
    case Ann::list_str:
      return "List[str]";
    case Ann::absent:
      break;
  }
  return nullptr;
}

Ref make_annotation_texts(const Method& m) {
  return annotation_dict(
      m, [](Ann ann) { return Ref::steal(PyUnicode_FromString(annotation_text(ann))); });
}

bool has_annotations(const Method& m) {
  if (m.returns != Ann::absent) return true;
  for (int i = 0; i < m.spec.param_count; ++i) {
    if (m.params[i] != Ann::absent) return true;
  }
  return false;
}

// A method's __annotate__(format), as the compiler makes one: VALUE and
// FORWARDREF evaluate the annotations now, from the module globals (every
// name they use is the module's own), STRING gives them as written; other
// formats raise NotImplementedError, which annotationlib understands.  Its
// data is the method's index in kMethods.
PyObject* annotate_body(const Call& c) {
  enum { kValue = 1, kForwardRef = 3, kString = 4 };  // annotationlib.Format
  long format = PyLong_AsLong(c.arg(0));
  if (format == -1 && PyErr_Occurred()) return nullptr;
  const Method& m = kMethods[PyLong_AsSsize_t(c.data())];
  if (format == kValue || format == kForwardRef) {
    return make_annotations(m, c.globals(), c.builtins()).release();
  }
  if (format == kString) return make_annotation_texts(m).release();
  PyErr_SetNone(PyExc_NotImplementedError);
  return nullptr;
}

const FunctionSpec kAnnotateSpec = {"__annotate__", annotate_body, 1, {"format"}};

Ref make_annotate(PyTypeObject* type, const Method& m, PyObject* qualname, PyObject* globals,
                  PyObject* names) {
  if (!has_annotations(m)) return Ref();
  Ref index = Ref::steal(PyLong_FromSsize_t(&m - kMethods));
  if (!index) return Ref();
  Ref annotate_qualname = Ref::steal(PyUnicode_FromFormat("%U.__annotate__", qualname));
  if (!annotate_qualname) return Ref();
  return new_function(type, &kAnnotateSpec, annotate_qualname.get(), globals, names,
                      index.get(), nullptr, nullptr, nullptr);
}
#endif

Ref make_doc(const char* text) {
  if (text == nullptr) return Ref::borrow(Py_None);
  return Ref::steal(PyUnicode_FromFormat("\n        %s\n        ", text));
}

bool add_method(PyTypeObject* type, const Method& m, PyObject* namespace_dict,
                PyObject* globals, PyObject* builtins, PyObject* names) {
  Ref defaults = make_defaults(m.defaults);
  if (!defaults && PyErr_Occurred()) return false;
  Ref annotations = make_annotations(m, globals, builtins);
  if (!annotations) return false;
  Ref doc = make_doc(m.doc);
  if (!doc) return false;
  Ref qualname = Ref::steal(PyUnicode_FromFormat("%s.%s", kClassName, m.spec.name));
  if (!qualname) return false;
  Ref annotate;
#if PY_VERSION_HEX >= 0x030E0000
  annotate = make_annotate(type, m, qualname.get(), globals, names);
  if (!annotate && PyErr_Occurred()) return false;
#endif
  Ref function = new_function(type, &m.spec, qualname.get(), globals, names, nullptr, doc.get(),
                              defaults.get(), annotations.get(), annotate.get());
  return function && PyDict_SetItemString(namespace_dict, m.spec.name, function.get()) == 0;
}

}  // namespace

Ref create_client_class(PyObject* globals, PyObject* builtins, PyObject* names,
                        PyTypeObject* function_type) {
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
  for (const Method& m : kMethods) {
    if (!add_method(function_type, m, namespace_dict.get(), globals, builtins, names)) {
      return Ref();
    }
  }
  Ref bases = Ref::steal(PyTuple_New(0));
  if (!bases) return Ref();
  return call(reinterpret_cast<PyObject*>(&PyType_Type),
              {class_name.get(), bases.get(), namespace_dict.get()});
}

}  // namespace quorvan
