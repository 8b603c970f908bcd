/* The floor of an RTU register read through a Python channel object: the least work the
 * C API allows for the same channel calls that Master.read_registers makes on its
 * minimal road. Built as the extension module rtu_floor by `make bench-tools`.
 *
 *   rtu_floor.read_registers(channel, station, address, count) -> list of int
 *
 * Steps, as the master takes them: channel.in_waiting (read away any stale input with
 * channel.read(in_waiting) when above 0), channel.write(frame) with the 8-byte request
 * as bytes, then channel.read(5), channel.read(0) and channel.read(byte count); the
 * answer's length, CRC, station and function code are checked. No record is kept, no
 * argument is checked beyond the C conversions: this is the cost of the channel calls
 * and the few objects they need, nothing else.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string.h>

#include "crc16.h"

static PyObject *s_in_waiting, *s_read, *s_write, *o_zero, *o_five;

/* channel.read(size), checked to be bytes. */
static PyObject *channel_read(PyObject *channel, PyObject *size) {
    PyObject *args[2] = {channel, size};
    PyObject *data = PyObject_VectorcallMethod(s_read, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
    if (data && !PyBytes_CheckExact(data)) {
        Py_DECREF(data);
        PyErr_SetString(PyExc_TypeError, "channel.read() must give bytes");
        return NULL;
    }
    return data;
}

/* The bytes of data appended to buf[*have..room). */
static int take(uint8_t *buf, size_t *have, size_t room, PyObject *data) {
    const size_t n = (size_t)PyBytes_GET_SIZE(data);
    if (*have + n > room) {
        PyErr_SetString(PyExc_ValueError, "answer too long");
        return -1;
    }
    memcpy(buf + *have, PyBytes_AS_STRING(data), n);
    *have += n;
    return 0;
}

static PyObject *timeout_error(void) {
    PyErr_SetString(PyExc_OSError, "modbus: read from slave timeout");
    return NULL;
}

static PyObject *read_registers(PyObject *module, PyObject *const *args, Py_ssize_t nargs) {
    (void)module;
    if (nargs != 4) {
        PyErr_SetString(PyExc_TypeError, "read_registers(channel, station, address, count)");
        return NULL;
    }
    PyObject *channel = args[0];
    const long station = PyLong_AsLong(args[1]);
    const long address = PyLong_AsLong(args[2]);
    const long count = PyLong_AsLong(args[3]);
    if (PyErr_Occurred()) return NULL;

    uint8_t frame[8] = {(uint8_t)station, 3, (uint8_t)(address >> 8), (uint8_t)address, (uint8_t)(count >> 8),
                        (uint8_t)count};
    const uint16_t crc = crc16_modbus(frame, 6);
    frame[6] = (uint8_t)(crc & 0xFF);
    frame[7] = (uint8_t)(crc >> 8);

    PyObject *waiting = PyObject_GetAttr(channel, s_in_waiting);
    if (!waiting) return NULL;
    const long stale = PyLong_AsLong(waiting);
    Py_DECREF(waiting);
    if (stale == -1 && PyErr_Occurred()) return NULL;
    if (stale > 0) {
        PyObject *again = PyObject_GetAttr(channel, s_in_waiting);
        if (!again) return NULL;
        PyObject *dropped = channel_read(channel, again);
        Py_DECREF(again);
        if (!dropped) return NULL;
        Py_DECREF(dropped);
    }

    PyObject *request = PyBytes_FromStringAndSize((const char *)frame, 8);
    if (!request) return NULL;
    PyObject *wargs[2] = {channel, request};
    PyObject *written = PyObject_VectorcallMethod(s_write, wargs, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, NULL);
    Py_DECREF(request);
    if (!written) return NULL;
    Py_DECREF(written);

    uint8_t answer[5 + 255 + 2];
    size_t have = 0;
    PyObject *data = channel_read(channel, o_five);
    if (!data) return NULL;
    int rc = take(answer, &have, sizeof answer, data);
    Py_DECREF(data);
    if (rc < 0) return NULL;
    if (have != 5) return timeout_error();
    if (answer[1] & 0x80) {
        PyErr_Format(PyExc_RuntimeError, "exception answer %d", answer[2]);
        return NULL;
    }
    data = channel_read(channel, o_zero);
    if (!data) return NULL;
    rc = take(answer, &have, sizeof answer, data);
    Py_DECREF(data);
    if (rc < 0) return NULL;

    const size_t left = answer[2];
    PyObject *size = PyLong_FromSize_t(left);
    if (!size) return NULL;
    data = channel_read(channel, size);
    Py_DECREF(size);
    if (!data) return NULL;
    rc = take(answer, &have, sizeof answer, data);
    Py_DECREF(data);
    if (rc < 0) return NULL;
    if (have != 5 + left) return timeout_error();
    const uint16_t got = (uint16_t)(answer[have - 2] | (answer[have - 1] << 8));
    if (crc16_modbus(answer, have - 2) != got) {
        PyErr_SetString(PyExc_ValueError, "crc error");
        return NULL;
    }
    if (answer[0] != frame[0] || answer[1] != frame[1] || left != 2 * (size_t)count) {
        PyErr_SetString(PyExc_ValueError, "answer does not match the request");
        return NULL;
    }

    const Py_ssize_t n = (Py_ssize_t)(left / 2);
    PyObject *values = PyList_New(n);
    if (!values) return NULL;
    for (Py_ssize_t k = 0; k < n; ++k) {
        PyObject *v = PyLong_FromLong((answer[3 + 2 * k] << 8) | answer[4 + 2 * k]);
        if (!v) {
            Py_DECREF(values);
            return NULL;
        }
        PyList_SET_ITEM(values, k, v);
    }
    return values;
}

static PyMethodDef methods[] = {
    {"read_registers", (PyCFunction)(void (*)(void))read_registers, METH_FASTCALL,
     "read_registers(channel, station, address, count): the floor of Master.read_registers"},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "rtu_floor", NULL, -1, methods,
                                        NULL,                  NULL,        NULL, NULL};

PyMODINIT_FUNC PyInit_rtu_floor(void) {
    crc16_init();
    s_in_waiting = PyUnicode_InternFromString("in_waiting");
    s_read = PyUnicode_InternFromString("read");
    s_write = PyUnicode_InternFromString("write");
    o_zero = PyLong_FromLong(0);
    o_five = PyLong_FromLong(5);
    if (!s_in_waiting || !s_read || !s_write || !o_zero || !o_five) return NULL;
    return PyModule_Create(&module_def);
}
