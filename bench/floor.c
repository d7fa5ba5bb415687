/* The object-creation floor: WD1 events built from records already in memory, with no I/O, the
 * plain way a C extension would build them: a copy of a dict of interned keys, six new ints, and
 * a malloc'd copy of the samples as a uint16 array whose base frees them. bench/floor.py builds
 * it; the benchmark times it beside the readers. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>
#include <string.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/arrayobject.h>

static const char* const KEYS[] = {"event_size",    "board_id",  "pattern", "board_channel",
                                   "event_counter", "timestamp", "data"};
#define KEY_COUNT 7
static PyObject* keys[KEY_COUNT];
static PyObject* template_dict;

typedef struct {
  PyObject_HEAD
  Py_buffer view;
  Py_ssize_t offset;
} FloorEvents;

static void free_samples(PyObject* capsule) { free(PyCapsule_GetPointer(capsule, NULL)); }

static int32_t load_i32(const unsigned char* p) {
  uint32_t v = (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
  return (int32_t)v;
}

static int set(PyObject* dict, int index, PyObject* value) {
  if (value == NULL) return -1;
  int failed = PyDict_SetItem(dict, keys[index], value);
  Py_DECREF(value);
  return failed;
}

static PyObject* floor_next(FloorEvents* self) {
  const unsigned char* data = self->view.buf;
  if (self->offset + 24 > self->view.len) return NULL;
  const unsigned char* header = data + self->offset;
  int32_t size = load_i32(header);
  Py_ssize_t block = (size - 24) / 2 * 2;
  if (block < 0 || self->offset + 24 + block > self->view.len) return NULL;
  PyObject* event = PyDict_Copy(template_dict);
  if (event == NULL) return NULL;
  for (int i = 0; i < 6; ++i) {
    if (set(event, i, PyLong_FromLong(load_i32(header + 4 * i))) != 0) goto fail;
  }
  void* samples = malloc(block ? block : 1);
  if (samples == NULL) goto fail;
  memcpy(samples, header + 24, block);
  npy_intp length = block / 2;
  PyObject* array = PyArray_SimpleNewFromData(1, &length, NPY_UINT16, samples);
  PyObject* base = PyCapsule_New(samples, NULL, free_samples);
  if (array == NULL || base == NULL || PyArray_SetBaseObject((PyArrayObject*)array, base) != 0) {
    Py_XDECREF(array);
    Py_XDECREF(base);
    goto fail;
  }
  if (set(event, 6, array) != 0) goto fail;
  self->offset += 24 + block;
  return event;
fail:
  Py_DECREF(event);
  return NULL;
}

static PyObject* floor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* source;
  if (!PyArg_ParseTuple(args, "O", &source)) return NULL;
  FloorEvents* self = (FloorEvents*)type->tp_alloc(type, 0);
  if (self == NULL) return NULL;
  if (PyObject_GetBuffer(source, &self->view, PyBUF_SIMPLE) != 0) {
    Py_DECREF(self);
    return NULL;
  }
  return (PyObject*)self;
}

static void floor_dealloc(FloorEvents* self) {
  if (self->view.obj != NULL) PyBuffer_Release(&self->view);
  Py_TYPE(self)->tp_free(self);
}

static PyTypeObject FloorEventsType = {
    PyVarObject_HEAD_INIT(NULL, 0).tp_name = "pluvo_floor.FloorEvents",
    .tp_basicsize = sizeof(FloorEvents),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_new = floor_new,
    .tp_dealloc = (destructor)floor_dealloc,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = (iternextfunc)floor_next,
};

static struct PyModuleDef module = {PyModuleDef_HEAD_INIT, "pluvo_floor", NULL, -1, NULL};

PyMODINIT_FUNC PyInit_pluvo_floor(void) {
  import_array();
  template_dict = PyDict_New();
  if (template_dict == NULL) return NULL;
  for (int i = 0; i < KEY_COUNT; ++i) {
    keys[i] = PyUnicode_InternFromString(KEYS[i]);
    if (keys[i] == NULL || PyDict_SetItem(template_dict, keys[i], Py_None) != 0) return NULL;
  }
  if (PyType_Ready(&FloorEventsType) < 0) return NULL;
  PyObject* m = PyModule_Create(&module);
  if (m == NULL) return NULL;
  Py_INCREF(&FloorEventsType);
  if (PyModule_AddObject(m, "FloorEvents", (PyObject*)&FloorEventsType) < 0) return NULL;
  return m;
}
