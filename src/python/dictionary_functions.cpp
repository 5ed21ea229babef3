#include "dictionary/dictionary.hpp"
#include "python/errors.hpp"
#include "python/functions.hpp"

namespace morvelin::py {
namespace {

PyObject* predefined_dictionaries(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(kPredefinedDictionaryNames.size())));
    if (!list) return nullptr;
    Py_ssize_t i = 0;
    for (auto name : kPredefinedDictionaryNames) {
      PyObject* text = PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
      if (!text) return nullptr;
      PyList_SetItem(list.get(), i++, text);
    }
    return list.release();
  });
}

}  // namespace

const PyMethodDef kPredefinedDictionaries = {
    "predefined_dictionaries", predefined_dictionaries, METH_NOARGS,
    "predefined_dictionaries()\n--\n\nList the names of the predefined dictionaries this build supports."};

}  // namespace morvelin::py
