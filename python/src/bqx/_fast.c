/* The per-message calls of the package in C: BQXPROD, and BQXCONS followed
 * by BQXINFO, without ctypes' conversions per argument. The entry points
 * come from the library the package loaded (bind), so that this module
 * follows the package's choice of library and links against none.
 *
 * Every length passed to the library is taken from the Python object that
 * holds the bytes: no caller's number can make it read or write past one.
 * The interpreter lock is released around each library call, so that other
 * threads (the log reader among them) run while a call waits. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>

typedef int32_t (*ProduceFn)(int32_t, const char *, uint32_t, const char *, uint32_t, uint32_t);
typedef int32_t (*ConsumeFn)(int32_t, const char *, int32_t, char *, uint32_t *, int32_t, int32_t);
typedef int32_t (*InfoFn)(int32_t, char *, uint32_t *, int32_t *, int64_t *, int64_t *,
                          uint32_t *);

static ProduceFn produceFn;
static ConsumeFn consumeFn;
static InfoFn infoFn;
static PyObject *messageType; /* bqx.Message, a tuple subclass */

enum { kShortKey = 31, kWholeKey = 1024 };

/* The bytes of a value or key: a str as UTF-8, else any contiguous buffer.
 * view->obj is NULL for a str (its UTF-8 form lives as long as the str). */
typedef struct {
    const char *data;
    Py_ssize_t length;
    Py_buffer view;
} Bytes;

static int bytesOf(PyObject *object, Bytes *out, const char *what) {
    out->view.obj = NULL;
    if (PyUnicode_Check(object)) {
        out->data = PyUnicode_AsUTF8AndSize(object, &out->length);
        return out->data ? 0 : -1;
    }
    if (PyObject_GetBuffer(object, &out->view, PyBUF_SIMPLE) != 0) {
        PyErr_Format(PyExc_TypeError, "%s: str or bytes needed, not %.80s", what,
                     Py_TYPE(object)->tp_name);
        return -1;
    }
    out->data = out->view.buf;
    out->length = out->view.len;
    return 0;
}

static void bytesRelease(Bytes *bytes) {
    if (bytes->view.obj)
        PyBuffer_Release(&bytes->view);
}

static int checkKey(const Bytes *key, int wholeKeys) {
    if (wholeKeys) {
        if (key->length > kWholeKey) {
            PyErr_Format(PyExc_ValueError, "key: at most %d bytes", kWholeKey);
            return -1;
        }
        return 0;
    }
    if (key->length > kShortKey || memchr(key->data, 0, (size_t)key->length)) {
        PyErr_Format(PyExc_ValueError,
                     "key: at most %d bytes without a zero byte (whole keys: "
                     "conf('partitioner', 'murmur2'))",
                     kShortKey);
        return -1;
    }
    return 0;
}

static int bound(void) {
    if (produceFn && consumeFn && infoFn)
        return 1;
    PyErr_SetString(PyExc_RuntimeError, "bqx._fast: bind() was not called");
    return 0;
}

/* One BQXPROD; -1 with an exception set when an argument is refused. */
static int produceOne(int32_t handle, PyObject *value, PyObject *key, uint32_t convert,
                      int wholeKeys, int32_t *result) {
    Bytes valueBytes, keyBytes = {"", 0, {.obj = NULL}};
    if (bytesOf(value, &valueBytes, "value") != 0)
        return -1;
    if (key != Py_None && bytesOf(key, &keyBytes, "key") != 0) {
        bytesRelease(&valueBytes);
        return -1;
    }
    int ok = checkKey(&keyBytes, wholeKeys) == 0;
    if (ok && (uint64_t)valueBytes.length > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value: longer than 4 GiB");
        ok = 0;
    }
    if (ok) {
        Py_BEGIN_ALLOW_THREADS
        *result = produceFn(handle, keyBytes.data, (uint32_t)keyBytes.length, valueBytes.data,
                            (uint32_t)valueBytes.length, convert);
        Py_END_ALLOW_THREADS
    }
    bytesRelease(&keyBytes);
    bytesRelease(&valueBytes);
    return ok ? 0 : -1;
}

static PyObject *fastBind(PyObject *self, PyObject *args) {
    (void)self;
    unsigned long long produce, consume, info;
    PyObject *message;
    if (!PyArg_ParseTuple(args, "KKKO!", &produce, &consume, &info, &PyType_Type, &message))
        return NULL;
    if (!produce || !consume || !info) {
        PyErr_SetString(PyExc_ValueError, "bind: null entry point");
        return NULL;
    }
    if (!PyType_IsSubtype((PyTypeObject *)message, &PyTuple_Type)) {
        PyErr_SetString(PyExc_TypeError, "bind: the message type must be a tuple subclass");
        return NULL;
    }
    Py_INCREF(message);
    Py_XSETREF(messageType, message);
    produceFn = (ProduceFn)(uintptr_t)produce;
    consumeFn = (ConsumeFn)(uintptr_t)consume;
    infoFn = (InfoFn)(uintptr_t)info;
    Py_RETURN_NONE;
}

/* produce(handle, value, key, convert, whole_keys) -> return code */
static PyObject *fastProduce(PyObject *self, PyObject *const *args, Py_ssize_t count) {
    (void)self;
    if (count != 5) {
        PyErr_SetString(PyExc_TypeError, "produce takes 5 arguments");
        return NULL;
    }
    int32_t handle = (int32_t)PyLong_AsLong(args[0]);
    long convert = PyLong_AsLong(args[3]);
    int wholeKeys = PyObject_IsTrue(args[4]);
    if (PyErr_Occurred() || wholeKeys < 0 || !bound())
        return NULL;
    int32_t result = 0;
    if (produceOne(handle, args[1], args[2], convert ? 1 : 0, wholeKeys, &result) != 0)
        return NULL;
    return PyLong_FromLong(result);
}

/* produce_many(handle, values, key, convert, whole_keys) -> (index, code):
 * stops at the first message whose code is not 0 and gives its index and
 * code; (len(values), 0) when every one returned 0. */
static PyObject *fastProduceMany(PyObject *self, PyObject *args) {
    (void)self;
    int handle, convert, wholeKeys;
    PyObject *values, *key;
    if (!PyArg_ParseTuple(args, "iOOpp", &handle, &values, &key, &convert, &wholeKeys))
        return NULL;
    if (!bound())
        return NULL;
    PyObject *iterator = PyObject_GetIter(values);
    if (!iterator)
        return NULL;
    Py_ssize_t index = 0;
    int32_t result = 0;
    PyObject *value;
    while ((value = PyIter_Next(iterator)) != NULL) {
        int failed = produceOne(handle, value, key, (uint32_t)convert, wholeKeys, &result);
        Py_DECREF(value);
        if (failed) {
            Py_DECREF(iterator);
            return NULL;
        }
        if (result != 0)
            break;
        ++index;
    }
    Py_DECREF(iterator);
    if (PyErr_Occurred())
        return NULL;
    return Py_BuildValue("(ni)", index, (int)result);
}

/* A message of the bound type from its five fields (references stolen). */
static PyObject *newMessage(PyObject *value, PyObject *key, int32_t partition, int64_t offset,
                            int64_t timestamp) {
    PyObject *items = Py_BuildValue("(NNiLL)", value, key, (int)partition, (long long)offset,
                                    (long long)timestamp);
    if (!items)
        return NULL;
    PyObject *args = PyTuple_Pack(1, items);
    Py_DECREF(items);
    if (!args)
        return NULL;
    PyObject *message = PyTuple_Type.tp_new((PyTypeObject *)messageType, args, NULL);
    Py_DECREF(args);
    return message;
}

/* consume(handle, group, buffer, key_buffer, convert, timeout, size):
 * BQXCONS into buffer, then BQXINFO into key_buffer (writable buffers, e.g.
 * bytearray: the value may fill all of buffer but its last byte, the
 * library's terminating zero; size is at most that). Returns the return
 * code (an int) when either call failed, else a Message with value and key
 * cut to size bytes, or (Message, True) when one of them was cut. */
static PyObject *fastConsume(PyObject *self, PyObject *args) {
    (void)self;
    int handle, convert, timeout;
    Py_ssize_t size;
    Py_buffer group, buffer, keyBuffer;
    if (!PyArg_ParseTuple(args, "iy*w*w*iin", &handle, &group, &buffer, &keyBuffer, &convert,
                          &timeout, &size))
        return NULL;
    PyObject *out = NULL;
    if (!bound() || !messageType) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_RuntimeError, "bqx._fast: bind() was not called");
        goto done;
    }
    if (buffer.len < 2 || (uint64_t)buffer.len > (uint64_t)UINT32_MAX + 1 ||
        (uint64_t)keyBuffer.len > UINT32_MAX || group.len > INT32_MAX || size < 1 ||
        size > buffer.len - 1 || size > keyBuffer.len) {
        PyErr_SetString(PyExc_ValueError,
                        "consume: 1 <= size < len(buffer) <= 4 GiB, size <= len(key_buffer)");
        goto done;
    }
    uint32_t length = (uint32_t)(buffer.len - 1);
    uint32_t keyLength = (uint32_t)keyBuffer.len;
    int32_t partition = -1, result;
    int64_t offset = -1, timestamp = -1;
    uint32_t flags = 0;
    Py_BEGIN_ALLOW_THREADS
    result = consumeFn(handle, group.buf, (int32_t)group.len, buffer.buf, &length, convert,
                       timeout);
    if (result == 0)
        result = infoFn(handle, keyBuffer.buf, &keyLength, &partition, &offset, &timestamp,
                        &flags);
    Py_END_ALLOW_THREADS
    if (result != 0) {
        out = PyLong_FromLong(result);
        goto done;
    }
    int valueNull = (flags & 1u) != 0, keyNull = (flags & 2u) != 0;
    int cut = (!valueNull && length > (uint64_t)size) || (!keyNull && keyLength > (uint64_t)size);
    PyObject *value = valueNull ? (Py_INCREF(Py_None), Py_None)
                                : PyBytes_FromStringAndSize(
                                      buffer.buf, length < (uint64_t)size ? length : size);
    PyObject *key = keyNull ? (Py_INCREF(Py_None), Py_None)
                            : PyBytes_FromStringAndSize(
                                  keyBuffer.buf, keyLength < (uint64_t)size ? keyLength : size);
    if (!value || !key) {
        Py_XDECREF(value);
        Py_XDECREF(key);
        goto done;
    }
    out = newMessage(value, key, partition, offset, timestamp);
    if (out && cut)
        out = Py_BuildValue("(NO)", out, Py_True);
done:
    PyBuffer_Release(&group);
    PyBuffer_Release(&buffer);
    PyBuffer_Release(&keyBuffer);
    return out;
}

static PyMethodDef methods[] = {
    {"bind", fastBind, METH_VARARGS,
     "bind(produce, consume, info, message_type): the entry points' addresses and the type "
     "of consume's messages"},
    {"produce", (PyCFunction)(void (*)(void))fastProduce, METH_FASTCALL,
     "produce(handle, value, key, convert, whole_keys) -> BQXPROD's return code"},
    {"produce_many", fastProduceMany, METH_VARARGS,
     "produce_many(handle, values, key, convert, whole_keys) -> (index, code)"},
    {"consume", fastConsume, METH_VARARGS,
     "consume(handle, group, buffer, key_buffer, convert, timeout, size) -> code, Message "
     "or (Message, True) when cut"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    PyModuleDef_HEAD_INIT, "bqx._fast", "BQXPROD, BQXCONS and BQXINFO called from C.", -1,
    methods, NULL, NULL, NULL, NULL,
};

PyMODINIT_FUNC PyInit__fast(void) {
    return PyModule_Create(&module);
}
